// When to draw. A frame is drawn and presented only when it would differ
// from the one last presented, or when the window asks to be drawn again
// (shown, uncovered, restored, resized, back from the game); an idle screen
// draws nothing. Between frames the loop may sleep until time alone changes
// the picture: the clock's next second, the sweep's next step, or the
// moment a new detail line may be shown.
#include "app.h"

#include "../core/core.h"

#include "../screens/screens.h"

#include <cstring>

// Output changes the detail line many times a second; it is shown at a
// pace a reader can follow, always the newest line.
constexpr Uint32 DETAIL_EVERY_MS = 250;

static Look SHOWN;          // what the last presented frame shows
static Look PASS;           // what this pass's frame shows, looked at once
static Uint32 PASS_AT;      // when
static bool STALE = true;   // the window needs drawing whatever it shows
static Uint32 DETAIL_AT;    // when a presented frame last brought a new detail line

static void present(const Look &l, Uint32 now)
{
    draw_look(l);
    SDL_RenderPresent(R);
    if (strcmp(l.detail, SHOWN.detail) != 0)
        DETAIL_AT = now;
    SHOWN = l;
    STALE = false;
}

// Whether l differs from what is shown in the detail line alone.
static bool only_detail(const Look &l)
{
    Look m = l;
    memcpy(m.detail, SHOWN.detail, sizeof m.detail);
    return same_look(m, SHOWN);
}

// A build that ends, fails or is cancelled may have written lines that the
// pace held back: the working screen as it was shown, with the newest line,
// comes before the screen that follows.
static void last_line(Uint32 now)
{
    if (STALE || SHOWN.state != ST_WORKING || S.state == ST_WORKING || strcmp(SHOWN.detail, S.detail) == 0)
        return;
    Look l = SHOWN;
    look_build(&l, now);
    l.cancelled = SHOWN.cancelled;
    present(l, now);
}

// Milliseconds until l may be presented: 0 at once, -1 when it is shown.
static int held(const Look &l, Uint32 now)
{
    if (STALE)
        return 0;
    if (same_look(l, SHOWN))
        return -1;
    Uint32 since = now - DETAIL_AT;
    if (only_detail(l) && since < DETAIL_EVERY_MS)
        return (int)(DETAIL_EVERY_MS - since);
    return 0;
}

void redraw()
{
    Uint32 now = SDL_GetTicks();
    last_line(now);
    lay_out(S.state);
    look(&PASS, now);
    PASS_AT = now;
    if (held(PASS, now) == 0)
        present(PASS, now);
}

void redraw_soon()
{
    STALE = true;
}

// From the pass's look: nothing has changed S since, only time has passed.
int wait_ms(int bound)
{
    Uint32 now = SDL_GetTicks();
    int due = held(PASS, now), next = look_next(PASS_AT);
    if (next >= 0)
        next = SDL_max(next - (int)(now - PASS_AT), 0);
    if (due < 0 || (next >= 0 && next < due))
        due = next;
    return due < 0 ? bound : SDL_min(due, bound);
}
