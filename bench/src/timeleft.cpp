// Replays a recorded build through the launcher's own estimating code, as
// the window would feed it, and prints what the time-left line shows at the
// given moments:
//   timeleft TRACE RECORD [--keep] SECONDS...
// RECORD is the record of the build before ("-" for none); --keep writes
// this build's record there at its end. Each moment prints one line:
//   SECONDS<TAB>RAW<TAB>STEP_ONLY<TAB>PROGRESS<TAB>TEXT
// RAW is the raw estimate in seconds (-1: none), PROGRESS the build's share
// done counting each step alike (the straight rule's input).
#include "core/core.h"
#include "installer/estimate.h"
#include "installer/installer.h"

#include <cstdlib>
#include <cstring>

constexpr uint32_t BASE_MS = 1000;     // SDL_GetTicks() is never 0 in a window
constexpr uint32_t PASS_MS = 500;      // how often the window's loop asks at least

static void report(double at, uint32_t now)
{
    bool step_only;
    char words[128];
    est_words(words, sizeof words, now);
    int raw = est_seconds(now, &step_only);
    double f = S.progress < 0 ? 0 : SDL_min(S.progress, 1.0);
    double done = S.steps > 0 ? (SDL_max(S.step - 1, 0) + f) / S.steps : f;
    printf("%.3f\t%d\t%d\t%.6f\t%s\n", at, raw, step_only ? 1 : 0, done, words);
}

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: timeleft TRACE RECORD [--keep] SECONDS...\n");
        return 2;
    }
    FILE *trace = fopen(argv[1], "r");
    if (!trace)
        return 2;
    const char *record = strcmp(argv[2], "-") == 0 ? nullptr : argv[2];
    int first = 3;
    bool keep = argc > 3 && strcmp(argv[3], "--keep") == 0;
    first += keep;
    S = S_INITIAL;
    S.state = ST_WORKING;
    S.progress = -1;
    est_start(record, BASE_MS);
    int next = first;
    uint32_t now = BASE_MS, pass = BASE_MS;
    static char line[sizeof S.line + 64];
    bool ended = false;
    while (!ended && fgets(line, sizeof line, trace)) {
        line[strcspn(line, "\n")] = '\0';
        char *tab = strchr(line, '\t');
        if (!tab)
            continue;
        uint32_t t = BASE_MS + (uint32_t)(strtod(line, nullptr) * 1000 + 0.5);
        // The loop's passes between lines, then the moments asked for.
        for (; pass + PASS_MS <= t; pass += PASS_MS) {
            while (next < argc && BASE_MS + atof(argv[next]) * 1000 <= pass) {
                report(atof(argv[next]), pass);
                next++;
            }
            est_words(S.left, sizeof S.left, pass);
        }
        now = t;
        handle_line(tab + 1);
        est_take(now);
        ended = strcmp(tab + 1, "@done") == 0 || strncmp(tab + 1, "@error", 6) == 0;
    }
    for (; next < argc; next++)
        report(atof(argv[next]), now);
    fclose(trace);
    if (keep && record)
        est_end(record, S.state != ST_FAILED, now);
    return 0;
}
