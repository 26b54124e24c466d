/* The floors' progress parser: the protocol's forms, parsed plainly. */
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

struct floor_progress {
    int step, steps, failed;
    double progress;
    char label[160], detail[256], message[512];
    char line[8192];
    size_t len;
    long long lines;
};

void floor_progress_init(struct floor_progress *p);
void floor_feed(struct floor_progress *p, const char *bytes, size_t n);   /* splits lines and parses them */

#ifdef __cplusplus
}
#endif
