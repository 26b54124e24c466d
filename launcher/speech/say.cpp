// What the launcher says, read from the shared records once a pass: a new
// screen whole, then the focused button; a focus move; the build's steps and,
// sparingly, its progress; a failure or a crash at once. The words are the
// screens' own, through the same catalogs.
#include "speech.h"

#include "../core/core.h"

#include <cstring>

constexpr Uint32 PROGRESS_EVERY_MS = 10000;  // a long build is not one long count
constexpr double PROGRESS_MOVED = 0.10;
constexpr int LINE = 2048;

static int SCREEN = -1;         // state whose screen was said; -1: none yet
static int FOCUSED = -1;        // button said last
static char STEP[256];          // step line said last
static char FAILURE[sizeof S.message];  // failure or crash said last
static double PROGRESS_SAID;    // fraction said last, or where the step began
static Uint32 PROGRESS_AT;      // SDL_GetTicks() of that
static bool AGAIN;              // the repeat key was pressed
static char LAST[LINE];         // the text said last, never said twice in a row

// Appends a sentence, ending the one before with a full stop when it has none.
static void add(char *out, size_t size, const char *sentence)
{
    if (!sentence[0])
        return;
    size_t len = strlen(out);
    if (len > 0) {
        static const char *ends[] = {".", "!", "?", ":", "\u2026", "\u3002"};
        bool ended = false;
        for (const char *e : ends)
            ended |= len >= strlen(e) && strcmp(out + len - strlen(e), e) == 0;
        snprintf(out + len, size - len, "%s ", ended ? "" : ".");
        len = strlen(out);
    }
    snprintf(out + len, size - len, "%.*s", utf8_whole(sentence, (int)SDL_min(strlen(sentence), size - len - 1)),
             sentence);
}

static void percent(char *out, size_t size)
{
    // TRANSLATORS: the build's progress, spoken.
    snprintf(out, size, _("%d percent"), (int)(SDL_min(S.progress, 1.0) * 100));
}

static void elapsed(char *out, size_t size)
{
    unsigned t = (SDL_GetTicks() - S.started) / 1000;
    char minutes[64], seconds[64];
    snprintf(minutes, sizeof minutes, ngettext("%u minute", "%u minutes", t / 60), t / 60);
    snprintf(seconds, sizeof seconds, ngettext("%u second", "%u seconds", t % 60), t % 60);
    // TRANSLATORS: the time the build has taken so far: minutes, then seconds.
    snprintf(out, size, _("Time taken: %s %s"), minutes, seconds);
}

// The screen's title and text; full adds what changes by itself (progress,
// time, the time left, the latest line), spoken only when asked for.
static void words(char *out, size_t size, bool full)
{
    char part[LINE];
    out[0] = '\0';
    switch (S.state) {
    case ST_CHECKING:
    case ST_SETUP:
    case ST_UPDATE:
        add(out, size, screen_title());
        add(out, size, screen_text(S.state));
        break;
    case ST_WORKING:
        add(out, size, screen_title());
        step_words(part, sizeof part);
        add(out, size, part);
        if (full && S.progress >= 0) {
            percent(part, sizeof part);
            add(out, size, part);
        }
        if (full) {
            elapsed(part, sizeof part);
            add(out, size, part);
            add(out, size, S.left);
        }
        if (full && S.detail[0]) {
            // TRANSLATORS: the build's latest output line, as it came.
            char line[sizeof S.detail];
            snprintf(line, sizeof line, "%.*s", utf8_whole(S.detail, (int)strnlen(S.detail, 255)), S.detail);
            snprintf(part, sizeof part, _("Latest line: %.255s"), line);
            add(out, size, part);
        }
        add(out, size, screen_text(ST_WORKING));
        break;
    case ST_FAILED:
    case ST_CRASHED:
        // A failure comes first: the title is the screen before's.
        if (full)
            add(out, size, screen_title());
        snprintf(part, sizeof part, "%.*s", utf8_whole(S.message, (int)strnlen(S.message, 511)), S.message);
        add(out, size, part);
        logs_words(part, sizeof part);
        add(out, size, part);
        break;
    case ST_READY:
        add(out, size, screen_title());
        ready_words(part, sizeof part);
        add(out, size, part);
        break;
    }
}

static void button(char *out, size_t size)
{
    out[0] = '\0';
    if (FOCUS >= 0 && FOCUS < NB)
        // TRANSLATORS: the focused button, spoken: its caption, then its place in the row.
        snprintf(out, size, _("%s, button, %d of %d"), B[FOCUS].label, FOCUS + 1, NB);
}

// again: the player asked, so a text said just before is said once more.
static void tell(int kind, const char *text, bool again)
{
    if (!text[0] || (!again && strcmp(text, LAST) == 0))
        return;
    snprintf(LAST, sizeof LAST, "%s", text);
    say(kind, text);
}

static void screen(bool full, bool again)
{
    char text[LINE];
    bool failure = S.state == ST_FAILED || S.state == ST_CRASHED;
    words(text, sizeof text, full);
    say(SAY_CANCEL, "");
    tell(failure && !full ? SAY_ALERT : SAY_SCREEN, text, again);
    button(text, sizeof text);
    tell(SAY_SCREEN, text, again);
    SCREEN = S.state;
    FOCUSED = FOCUS;
    step_words(STEP, sizeof STEP);
    snprintf(FAILURE, sizeof FAILURE, "%s", S.message);
    PROGRESS_SAID = SDL_max(S.progress, 0.0);
    PROGRESS_AT = SDL_GetTicks();
}

static void build_moved()
{
    char line[sizeof STEP];
    step_words(line, sizeof line);
    if (strcmp(line, STEP) != 0) {
        snprintf(STEP, sizeof STEP, "%s", line);
        tell(SAY_STEP, line, false);
        PROGRESS_SAID = SDL_max(S.progress, 0.0);
        PROGRESS_AT = SDL_GetTicks();
    }
    if (S.progress < 0 || S.cancelled)
        return;
    bool end = S.progress >= 1.0 && PROGRESS_SAID < 1.0;
    bool moved = SDL_fabs(S.progress - PROGRESS_SAID) >= PROGRESS_MOVED;
    if (!end && (!moved || SDL_GetTicks() - PROGRESS_AT < PROGRESS_EVERY_MS))
        return;
    PROGRESS_SAID = S.progress;
    PROGRESS_AT = SDL_GetTicks();
    percent(line, sizeof line);
    tell(SAY_PROGRESS, line, false);
}

void speech_pass(bool acted)
{
    if (!speaking())
        return;
    bool failure = S.state == ST_FAILED || S.state == ST_CRASHED;
    bool again = AGAIN;
    AGAIN = false;
    bool missed = say_missed();
    // A button that failed again ("Try Again", "Play Again") leaves the state
    // as it was: the player still hears what came of it, as when the server
    // was away while the failure was said.
    if (again || S.state != SCREEN || (failure && (acted || missed || strcmp(S.message, FAILURE) != 0))) {
        screen(again, again || acted || missed);
        return;
    }
    if (FOCUS != FOCUSED) {
        FOCUSED = FOCUS;
        char line[LINE];
        button(line, sizeof line);
        say(SAY_CANCEL, "");
        tell(SAY_FOCUS, line, false);
    }
    if (S.state == ST_WORKING)
        build_moved();
}

void speech_repeat()
{
    AGAIN = speaking();
}

void say_afresh()
{
    SCREEN = -1;
    LAST[0] = '\0';
}
