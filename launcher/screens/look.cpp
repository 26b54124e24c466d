// What a frame shows, reduced to the values that decide its pixels, so that
// the loop can tell whether the next frame would differ from the last one
// presented, and when time alone will change it.
#include "screens.h"

#include "../core/core.h"

#include <cstring>

// "%.*s" without the formatter, the rest of the field left zero for memcmp.
static void copy(char *to, size_t size, const char *from)
{
    size_t k = strnlen(from, size - 1);
    memset(to, 0, size);
    memcpy(to, from, k);
}

void look(Look *l, uint32_t now)
{
    memset(l, 0, sizeof *l);
    int st = S.state;
    l->state = st;
    l->needs_disc = S.needs_disc;
    l->focus = -1;
    if (int n = row_size(st))
        l->focus = SDL_clamp(FOCUS, 0, n - 1);
    SDL_GetRendererOutputSize(R, &l->w, &l->h);
    if (st == ST_FAILED || st == ST_CRASHED)
        copy(l->message, sizeof l->message, S.message);
    if (st == ST_WORKING)
        look_build(l, now);
}

void look_build(Look *l, uint32_t now)
{
    l->cancelled = S.cancelled;
    l->step = S.step;
    l->steps = S.steps;
    l->fill = S.progress >= 0 ? fill_width(S.progress) : -1;
    l->sweep = S.progress >= 0 ? -1 : (int)(now / SWEEP_STEP_MS);
    l->clock = (now - S.started) / 1000u;
    copy(l->label, sizeof l->label, S.step_label);
    copy(l->detail, sizeof l->detail, S.detail);
    copy(l->left, sizeof l->left, S.left);
}

bool same_look(const Look &a, const Look &b)
{
    return memcmp(&a, &b, sizeof a) == 0;
}

int look_next(uint32_t now)
{
    if (S.state != ST_WORKING)
        return -1;
    int clock = 1000 - (int)((now - S.started) % 1000u);
    if (S.progress >= 0)
        return clock;
    return SDL_min(clock, (int)(SWEEP_STEP_MS - now % SWEEP_STEP_MS));
}
