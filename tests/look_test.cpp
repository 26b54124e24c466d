// What decides whether a frame is drawn: the values of the picture that
// look() takes.
#include "support.h"

#include "screens/screens.h"

#include <cstring>

static Look working_look(void (*change)(), uint32_t now)
{
    reset_state();
    shot_fill("working");
    S.started = 1000;
    FOCUS = FOCUS_DEFAULT;
    if (change)
        change();
    Look l;
    look(&l, now);
    return l;
}

TEST(Look, TellsWhatChangesTheWorkingScreen)
{
    offscreen();
    const uint32_t NOW = 100000;
    Look base = working_look(nullptr, NOW);
    struct Case {
        const char *what;
        void (*change)();
        uint32_t now;
        bool differs;
    } cases[] = {
        {"nothing", nullptr, NOW, false},
        {"the same clock second", nullptr, NOW + 999, false},
        {"the next clock second", nullptr, NOW + 1000, true},
        {"a fraction within the same pixel", [] { S.progress += 0.0001; }, NOW, false},
        {"the bar's next pixel", [] { S.progress += 1.0 / TRACK_W; }, NOW, true},
        {"the detail line", [] { snprintf(S.detail, sizeof S.detail, "[75/176] next"); }, NOW, true},
        {"the step label", [] { snprintf(S.step_label, sizeof S.step_label, "Linking"); }, NOW, true},
        {"the step number", [] { S.step = 6; }, NOW, true},
        {"the cancel", [] { S.cancelled = 1; }, NOW, true},
        {"the focus clamped as the row draws it", [] { FOCUS = 0; }, NOW, false},
        {"a message the screen does not show", [] { snprintf(S.message, sizeof S.message, "x"); }, NOW, false},
        {"the state", [] { S.state = ST_READY; }, NOW, true},
    };
    for (const Case &c : cases)
        EXPECT_EQ(!same_look(working_look(c.change, c.now), base), c.differs) << c.what;
}
