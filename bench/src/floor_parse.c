#include "floor_parse.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

void floor_progress_init(struct floor_progress *p)
{
    memset(p, 0, sizeof *p);
    p->progress = -1.0;
}

static void parse(struct floor_progress *p, const char *l)
{
    if (strncmp(l, "@step ", 6) == 0) {
        int a, b, at = 0;
        if (sscanf(l + 6, "%d %d %n", &a, &b, &at) >= 2) {
            p->step = a;
            p->steps = b;
            p->progress = -1.0;
            snprintf(p->label, sizeof p->label, "%.159s", l + 6 + at);
        }
    } else if (strncmp(l, "@progress ", 10) == 0) {
        double v = strtod(l + 10, NULL);
        p->progress = v < 0 ? -1.0 : v > 1 ? 1.0 : v;
    } else if (strncmp(l, "@error ", 7) == 0) {
        p->failed = 1;
        snprintf(p->message, sizeof p->message, "%.511s", l + 7);
    } else if (strcmp(l, "@done") == 0) {
    } else if (l[0] == '[') {
        unsigned n, m;
        if (sscanf(l, "[%u/%u]", &n, &m) == 2 && m)
            p->progress = (double)n / m;
        snprintf(p->detail, sizeof p->detail, "%.255s", l);
    } else if (l[0]) {
        snprintf(p->detail, sizeof p->detail, "%.255s", l);
    }
}

void floor_feed(struct floor_progress *p, const char *bytes, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        char c = bytes[i];
        if (c == '\n' || p->len == sizeof p->line - 1) {
            p->line[p->len] = '\0';
            parse(p, p->line);
            p->lines++;
            p->len = 0;
        } else if (c != '\r') {
            p->line[p->len++] = c;
        }
    }
}
