// Output of a build child, in any bytes, through the line splitting and the
// progress protocol. Whatever comes in, the fields stay bounded and terminated.
#include "core/core.h"
#include "installer/installer.h"

#include <cstdlib>
#include <cstring>

static void expect(bool ok)
{
    if (!ok)
        abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    S = S_INITIAL;
    S.state = ST_WORKING;
    // Feed in two pieces, so that lines carried across reads are covered too.
    size_t half = size / 2;
    feed(reinterpret_cast<const char *>(data), half);
    feed(reinterpret_cast<const char *>(data) + half, size - half);
    expect(S.line_len <= sizeof S.line - 1);
    expect(memchr(S.message, 0, sizeof S.message) != nullptr);
    expect(memchr(S.step_label, 0, sizeof S.step_label) != nullptr);
    expect(memchr(S.detail, 0, sizeof S.detail) != nullptr);
    expect(S.state == ST_WORKING || S.state == ST_FAILED);
    expect(!(S.progress > 4294967295.0));
    return 0;
}
