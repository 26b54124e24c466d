// One decoder of UTF-8 for the whole program, the one SDL2_ttf uses.
#include "core.h"

#include <cstring>

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

// Bytes a sequence with this first byte has, as utf8_next reads it.
static int wanted(unsigned char lead)
{
    return lead >= 0xf8 ? 1 : lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 1;
}

int utf8_whole(const char *s, int len)
{
    int at = 0;
    while (at < len) {
        int n;
        utf8_next(s + at, len - at, &n);
        if (at + n == len && n < wanted((unsigned char)s[at]))
            break;
        at += n;
    }
    return at;
}

// An escape sequence (ECMA-48) from its introducer at s[at], of width n: a
// control sequence to its final byte, a control string to its terminator
// (BEL, ST, or the ESC that begins another), anything else to the byte that
// ends an ESC's intermediates. Returns where the text goes on.
static int skip_escape(const char *s, int len, int at, int n, uint32_t c)
{
    const unsigned char *p = (const unsigned char *)s;
    int i = at + n;
    if (c == 0x1b && i < len && p[i] == '[') {
        c = 0x9b;
        i++;
    } else if (c == 0x1b && i < len && p[i] && strchr("]PX^_", p[i])) {
        c = 0x9d;
        i++;
    }
    if (c == 0x9b) {
        while (i < len && p[i] >= 0x20 && p[i] < 0x40)
            i++;
        return i < len && p[i] >= 0x40 && p[i] < 0x7f ? i + 1 : i;
    }
    if (c == 0x9d || c == 0x90 || c == 0x98 || c == 0x9e || c == 0x9f) {
        while (i < len) {
            int step;
            uint32_t d = utf8_next(s + i, len - i, &step);
            if (d == 0x07 || d == 0x9c)
                return i + step;
            if (d == 0x1b)
                return i + 1 < len && p[i + 1] == '\\' ? i + 2 : i;
            i += step;
        }
        return i;
    }
    if (c != 0x1b)
        return i;
    while (i < len && p[i] >= 0x20 && p[i] < 0x30)
        i++;
    return i < len && p[i] >= 0x30 && p[i] < 0x7f ? i + 1 : i;
}

static bool blank(uint32_t c)
{
    return c == ' ' || (c >= 0x09 && c <= 0x0d);
}

void clean_text(char *out, size_t size, const char *s, bool fold)
{
    int len = utf8_whole(s, (int)strlen(s));
    size_t o = 0;
    bool gap = false;
    for (int at = 0, n; at < len && size > 0;) {
        uint32_t c = utf8_next(s + at, len - at, &n);
        if (c == 0x1b || (c >= 0x80 && c < 0xa0)) {
            at = skip_escape(s, len, at, n, c);
            continue;
        }
        at += n;
        if (fold && blank(c)) {
            gap = o > 0;
            continue;
        }
        // SDL2_ttf draws a box for a tab or a carriage return; it breaks
        // wrapped lines at a line feed.
        if (blank(c) && c != '\n')
            c = ' ';
        if (c < 0x20 && !blank(c))
            continue;
        if (c == 0x7f)
            continue;
        char bytes[5];
        int k = 0;
        if (gap)
            bytes[k++] = ' ';
        if (c < 0x80) {
            bytes[k++] = (char)c;
        } else if (c < 0x800) {
            bytes[k++] = (char)(0xc0 | c >> 6);
            bytes[k++] = (char)(0x80 | (c & 0x3f));
        } else if (c < 0x10000) {
            bytes[k++] = (char)(0xe0 | c >> 12);
            bytes[k++] = (char)(0x80 | (c >> 6 & 0x3f));
            bytes[k++] = (char)(0x80 | (c & 0x3f));
        } else {
            bytes[k++] = (char)(0xf0 | c >> 18);
            bytes[k++] = (char)(0x80 | (c >> 12 & 0x3f));
            bytes[k++] = (char)(0x80 | (c >> 6 & 0x3f));
            bytes[k++] = (char)(0x80 | (c & 0x3f));
        }
        if (o + k >= size)
            break;
        memcpy(out + o, bytes, k);
        o += k;
        gap = false;
    }
    if (size > 0)
        out[o] = '\0';
}
