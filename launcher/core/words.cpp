// The words of the screens, in the player's language: drawn by screens/ and
// spoken by speech/, so that what is heard is what is shown.
#include "core.h"

#include <cstring>

const char *title_of(int st, int needs_disc)
{
    if (st == ST_SETUP || st == ST_UPDATE || st == ST_WORKING || st == ST_FAILED)
        return needs_disc ? _("Set up Orvandel") : _("Updating Orvandel");
    return "Orvandel";
}

const char *screen_title()
{
    return title_of(S.state, S.needs_disc);
}

const char *screen_text(int state)
{
    switch (state) {
    case ST_CHECKING:
        return _("Checking the game\u2026");
    case ST_SETUP:
        return _("The game is built on this computer, once, before its first run. It downloads "
                 "the game's disc image (337 MB), then builds the game from it.\n\nThat takes "
                 "10 to 20 minutes and about 4 GB of space.");
    case ST_UPDATE:
        return _("This version needs the game rebuilt, which takes a few minutes. Your parks and "
                 "saves are kept.");
    case ST_WORKING:
        return _("You can leave it running; it needs no help.");
    }
    return "";
}

void step_line(char *out, size_t size, int cancelled, int step, int steps, const char *stored)
{
    // The stored label is cut by bytes; what is shown and said ends at a character.
    char label[sizeof S.step_label];
    snprintf(label, sizeof label, "%.*s", utf8_whole(stored, (int)strnlen(stored, sizeof label - 1)), stored);
    if (cancelled)
        snprintf(out, size, "%s", _("Cancelling\u2026"));
    else if (steps)
        // TRANSLATORS: the step's label comes from the installer, untranslated.
        snprintf(out, size, _("Step %d of %d: %s"), step, steps, label);
    else
        snprintf(out, size, "%s", label);
}

void step_words(char *out, size_t size)
{
    step_line(out, size, S.cancelled, S.step, S.steps, S.step_label);
}

void ready_words(char *out, size_t size)
{
    snprintf(out, size, _("Ready to play. Version %s."), LAUNCHER_VERSION);
}

void logs_words(char *out, size_t size)
{
    snprintf(out, size, _("The logs are in %s"), g_logs);
}
