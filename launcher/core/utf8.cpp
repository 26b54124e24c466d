// One decoder of UTF-8 for the whole program, the one SDL2_ttf uses.
#include "core.h"

uint32_t utf8_next(const char *s, int len, int *n)
{
    const unsigned char *p = (const unsigned char *)s;
    int more = p[0] >= 0xf8 ? 0 : p[0] >= 0xf0 ? 3 : p[0] >= 0xe0 ? 2 : p[0] >= 0xc0 ? 1 : 0;
    uint32_t c = more == 3 ? p[0] & 7 : more == 2 ? p[0] & 15 : more == 1 ? p[0] & 31 : p[0];
    bool bad = p[0] >= 0x80 && more == 0;
    int i = 1;
    for (; i <= more; i++) {
        if (i >= len || (p[i] & 0xc0) != 0x80) {
            bad = true;
            break;
        }
        c = c << 6 | (p[i] & 0x3f);
    }
    *n = i;
    int shortest = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
    if (bad || shortest != more || (c >= 0xd800 && c <= 0xdfff) || c == 0xfffe || c == 0xffff || c > 0x10ffff)
        return REPLACEMENT;
    return c;
}
