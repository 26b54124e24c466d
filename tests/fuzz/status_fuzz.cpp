// Any status output through the search of its last object.
#include "core/core.h"
#include "installer/installer.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    S = S_INITIAL;
    size = size > 4095 ? 4095 : size;   // the query never reads more
    read_status(reinterpret_cast<const char *>(data), size);
    bool brace = memchr(data, '{', size) != nullptr;
    bool settled = S.state == ST_READY || S.state == ST_SETUP || S.state == ST_UPDATE;
    if (brace != settled || (!brace && S.state != ST_FAILED))
        abort();
    if (memchr(S.message, 0, sizeof S.message) == nullptr)
        abort();
    return 0;
}
