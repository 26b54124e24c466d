#include "child.h"

#include <sys/resource.h>
#include <cstring>
#include <unistd.h>

// SDL and SDL2_ttf open files without close-on-exec (the fonts stay open for
// the whole run), so a child closes everything above its standard streams.
void close_from(int lowest)
{
    if (close_range(lowest, ~0U, 0) == 0)
        return;
    struct rlimit rl;
    int top = getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < 65536 ? (int)rl.rlim_cur : 65536;
    for (int fd = lowest; fd < top; fd++)
        close(fd);
}

// Appends s to buf (holding len bytes) without passing size - 1; returns the new length.
size_t append(char *buf, size_t size, size_t len, const char *s)
{
    while (*s && len + 1 < size)
        buf[len++] = *s++;
    buf[len] = '\0';
    return len;
}

// Ends a child whose exec returned: line (len bytes, prepared before the fork)
// gets the reason and a newline and goes to standard error.
void exec_failed(char *line, size_t size, size_t len, int err)
{
    const char *why = strerrordesc_np(err);
    len = append(line, size, len, why ? why : "Unknown error");
    len = append(line, size, len, "\n");
    ssize_t written = write(2, line, len);
    (void)written;
    _exit(127);
}
