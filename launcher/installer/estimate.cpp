// The time left in a build. Two sources: the rate of the current step's
// progress over recent time, and the record of the build before (how long
// each step took and when its progress passed each tenth), which knows the
// steps still ahead and the shape of the current one, such as a long
// linking tail. The raw figure is then rounded and held so that the line
// moves calmly.
#include "estimate.h"

#include "../core/core.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

constexpr int STEPS_MAX = 32;           // steps a record holds; more are not learned
constexpr int MARKS = 9;                // when progress passed 0.1, 0.2 ... 0.9
constexpr uint32_t SETTLE_MS = 5000;    // nothing in a build's or a step's first seconds
constexpr uint32_t WINDOW_MIN_MS = 15000, WINDOW_MAX_MS = 120000;
constexpr uint32_t SAMPLE_MS = 250;     // progress closer than this shares one sample
constexpr int RING = 512;               // covers WINDOW_MAX_MS at SAMPLE_MS
constexpr uint32_t CHANGE_EVERY_MS = 5000;  // the shown figure changes at most this often
constexpr uint32_t STEP_MS_MAX = 24u * 3600u * 1000u;  // a recorded step longer than a day is garbage
constexpr double RATIO_MIN = 0.5, RATIO_MAX = 2.0;  // how far this build may differ from the last
constexpr int RECORD_LINE = 512;

static_assert(RING * SAMPLE_MS >= WINDOW_MAX_MS, "the ring covers the window");

struct Past {
    int32_t total;              // the step's count total, 0 for fractions or none
    uint32_t ms;                // how long it took; 0: not known
    uint32_t mark[MARKS];       // ms into the step when progress passed each tenth; 0: not reached
    char label[160];
};

struct Record {
    int32_t steps;
    Past step[STEPS_MAX + 1];   // by step number, 1 up
};

static Record BEFORE;           // the build before, as read at the start
static Record THIS;             // this build, as it goes

static struct {
    uint32_t started, step_at;  // the build's and the step's start
    int32_t step, steps;        // as S has them
    char label[160];
    int32_t total;              // the step's count total, once a count came
    double f;                   // the step's progress, or -1
    struct { uint32_t t; double f; } ring[RING];
    int head, count;            // samples in ring; head: the newest
} E;

static struct {
    int key;                    // minutes shown, 0: less than one; -1: nothing shown
    bool step_only;
    uint32_t at;                // when the key last changed
} CALM = {-1, false, 0};

// ---- the record file ----

// A record is never trusted: every number is bounded and every line must
// parse, or the whole record is dropped as if there were none.
static bool parse_step(char *line, Record *r)
{
    char *p = line, *end;
    long number = strtol(p, &end, 10);
    if (end == p || number < 1 || number > r->steps)
        return false;
    p = end;
    long total = strtol(p, &end, 10);
    if (end == p || total < 0 || total > INT32_MAX)
        return false;
    p = end;
    unsigned long long ms = strtoull(p, &end, 10);
    if (end == p || ms == 0 || ms > STEP_MS_MAX || *p == '-')
        return false;
    Past &s = r->step[number];
    s.total = (int32_t)total;
    s.ms = (uint32_t)ms;
    uint32_t last = 0;
    for (int i = 0; i < MARKS; i++) {
        p = end;
        unsigned long long m = strtoull(p, &end, 10);
        if (end == p || *p == '-' || m > ms || (m && m < last))
            return false;
        s.mark[i] = (uint32_t)m;
        last = m ? (uint32_t)m : last;
    }
    if (*end != ' ')
        return false;
    snprintf(s.label, sizeof s.label, "%.159s", end + 1);
    return true;
}

static void read_record(const char *path, Record *r)
{
    memset(r, 0, sizeof *r);
    FILE *f = path ? fopen(path, "re") : nullptr;
    if (!f)
        return;
    char line[RECORD_LINE];
    long steps = 0;
    bool ok = fgets(line, sizeof line, f) && strcmp(line, "build-times 1\n") == 0 && fgets(line, sizeof line, f) &&
              sscanf(line, "steps %ld", &steps) == 1 && steps >= 1 && steps <= STEPS_MAX;
    r->steps = ok ? (int32_t)steps : 0;
    int lines = 0;
    while (ok && lines++ < STEPS_MAX && fgets(line, sizeof line, f)) {
        size_t n = strlen(line);
        ok = n > 0 && line[n - 1] == '\n';
        if (ok) {
            line[n - 1] = '\0';
            ok = parse_step(line, r);
        }
    }
    if (ok && fgets(line, sizeof line, f))
        ok = false;     // more lines than a record can have
    fclose(f);
    if (!ok)
        memset(r, 0, sizeof *r);
}

static void write_record(const char *path, const Record &r)
{
    char tmp[1200];
    snprintf(tmp, sizeof tmp, "%.1100s.tmp", path);
    FILE *f = fopen(tmp, "we");
    if (!f)
        return;
    fprintf(f, "build-times 1\nsteps %d\n", r.steps);
    for (int i = 1; i <= r.steps; i++) {
        const Past &s = r.step[i];
        if (!s.ms)
            continue;
        fprintf(f, "%d %d %u", i, s.total, s.ms);
        for (uint32_t m : s.mark)
            fprintf(f, " %u", m);
        // A label is one line; a newline in it would end the record's line.
        fprintf(f, " %.159s\n", s.label);
    }
    bool ok = fflush(f) == 0 && fsync(fileno(f)) == 0;
    ok = fclose(f) == 0 && ok;
    if (!ok || rename(tmp, path) != 0)
        unlink(tmp);
}

// ---- what the build tells ----

// The record's step that this one repeats: same place, same label, the same
// count total once one is known; otherwise the step counts as new.
static const Past *known(int step)
{
    if (BEFORE.steps != E.steps || step < 1 || step > BEFORE.steps)
        return nullptr;
    const Past &p = BEFORE.step[step];
    if (!p.ms || (step == E.step && (strcmp(p.label, E.label) != 0 || (E.total && p.total != E.total))))
        return nullptr;
    return &p;
}

static void end_step(uint32_t now)
{
    if (E.step < 1 || E.step > STEPS_MAX || E.steps != THIS.steps)
        return;
    Past &s = THIS.step[E.step];
    s.ms = SDL_max(now - E.step_at, 1u);
    s.total = E.total;
    snprintf(s.label, sizeof s.label, "%s", E.label);
}

void est_start(const char *record, uint32_t now)
{
    read_record(record, &BEFORE);
    memset(&THIS, 0, sizeof THIS);
    memset(&E, 0, sizeof E);
    E.started = E.step_at = now;
    E.f = -1;
    CALM = {-1, false, 0};
}

static void sample(uint32_t now, double f)
{
    auto &newest = E.ring[E.head];
    if (E.count > 1 && now - newest.t < SAMPLE_MS) {
        newest.f = f;
        return;
    }
    E.head = (E.head + 1) % RING;
    E.ring[E.head] = {now, f};
    E.count = SDL_min(E.count + 1, RING);
}

void est_take(uint32_t now)
{
    bool moved = S.step != E.step || S.steps != E.steps || strncmp(S.step_label, E.label, sizeof E.label) != 0;
    if (moved) {
        end_step(now);
        E.step = S.step;
        E.steps = S.steps;
        snprintf(E.label, sizeof E.label, "%.159s", S.step_label);
        E.step_at = now;
        E.total = 0;
        E.f = -1;
        E.count = 0;
        if (E.steps >= 1 && E.steps <= STEPS_MAX && THIS.steps != E.steps) {
            memset(&THIS, 0, sizeof THIS);
            THIS.steps = E.steps;
        }
    }
    const char *count = S.detail[0] == '[' ? strchr(S.detail, '/') : nullptr;
    if (count) {
        long m = strtol(count + 1, nullptr, 10);
        E.total = m > 0 && m <= INT32_MAX ? (int32_t)m : E.total;
    }
    if (S.progress < 0 || S.progress == E.f)
        return;
    E.f = SDL_min(S.progress, 1.0);
    sample(now, E.f);
    if (E.step >= 1 && E.step <= STEPS_MAX && E.steps == THIS.steps) {
        Past &s = THIS.step[E.step];
        for (int i = 0; i < MARKS; i++)
            if (!s.mark[i] && E.f >= (i + 1) / 10.0)
                s.mark[i] = SDL_max(now - E.step_at, 1u);
    }
}

void est_end(const char *record, bool done, uint32_t now)
{
    if (done)
        end_step(now);
    if (!record || THIS.steps < 1)
        return;
    // What this build did not reach (a failure, a cancel) is kept from the
    // build before, so that a retry still knows the steps ahead.
    Record r = THIS;
    if (BEFORE.steps == THIS.steps)
        for (int i = 1; i <= r.steps; i++)
            if (!r.step[i].ms)
                r.step[i] = BEFORE.step[i];
    write_record(record, r);
    THIS.steps = 0;     // one record per build, however it ends
}

// ---- the estimate ----

// ms into the recorded step at which it had come as far as f now is.
static double recorded_at(const Past &p, double f)
{
    double prev_t = 0, prev_f = 0;
    for (int i = 0; i <= MARKS; i++) {
        double mf = (i + 1) / 10.0;
        double mt = i < MARKS ? p.mark[i] : p.ms;
        if (i < MARKS && !p.mark[i])
            continue;
        if (f <= mf)
            return prev_t + (mt - prev_t) * (f - prev_f) / (mf - prev_f);
        prev_t = mt;
        prev_f = mf;
    }
    return p.ms;
}

// The step's own rate: the progress over a recent window, not since the
// step's start, so that a slower phase (the links after the compiles, a
// download that slows down) shows within the window. The window is a third
// of the step's time so far, between 15 s and 2 min: long enough to smooth
// the jitter of single counts, short enough to follow a change of pace. It
// always reaches back past the sample before the newest, so it holds at
// least one advance, and it ends now: while nothing advances the rate falls
// and the figure grows.
static double step_rate(uint32_t now)
{
    if (E.count < 2)
        return 0;
    auto at = [](int back) { return E.ring[(E.head - back + RING) % RING]; };
    uint32_t span = SDL_clamp((now - E.step_at) / 3, WINDOW_MIN_MS, WINDOW_MAX_MS);
    span = SDL_max(span, now - at(1).t);
    span = SDL_min(span, now - at(E.count - 1).t);
    uint32_t start = now - span;
    double from = at(E.count - 1).f;
    for (int back = E.count - 1; back >= 0 && (int32_t)(at(back).t - start) <= 0; back--)
        from = at(back).f;
    double gained = E.f - from;
    return span > 0 && gained > 0 ? gained / span : 0;
}

int est_seconds(uint32_t now, bool *step_only)
{
    *step_only = false;
    uint32_t in_step = now - E.step_at;
    if (now - E.started < SETTLE_MS || in_step < SETTLE_MS)
        return -1;
    const Past *p = known(E.step);

    // This build's pace against the record's, over the steps it repeats.
    double recorded = 0;
    bool whole_past = true;
    for (int i = 1; i < E.step; i++) {
        const Past *q = known(i);
        whole_past = whole_past && q;
        recorded += q ? q->ms : 0;
    }
    double at = p ? (E.f >= 0 ? recorded_at(*p, E.f) : SDL_min((double)in_step, (double)p->ms)) : 0;
    // The steps before tell the pace steadily; the current step's own
    // ratio is noisy while little of it is done, so it takes over only
    // gradually, wholly from its middle on.
    bool paced = whole_past && recorded > 1000;
    double ratio = paced ? SDL_clamp((E.step_at - E.started) / recorded, RATIO_MIN, RATIO_MAX) : 1;
    if (p && at > 1000) {
        double own = SDL_clamp(in_step / at, RATIO_MIN, RATIO_MAX);
        ratio += (own - ratio) * (paced ? SDL_min(2 * at / p->ms, 1.0) : 1.0);
    }

    double left;
    double rate = E.f >= 0 ? step_rate(now) : 0;
    if (p && E.f >= 0) {
        left = (p->ms - at) * ratio;
        // A stall shows in the recent rate before it shows in the ratio.
        if (rate > 0)
            left = SDL_max(left, SDL_min((1 - E.f) / rate, 2.0 * left));
    } else if (p) {
        // No progress inside the step: the record's length, and past it a
        // figure that grows with the overrun.
        double due = p->ms * ratio;
        left = in_step < due ? due - in_step : (in_step - due) / 2;
    } else if (rate > 0) {
        left = (1 - E.f) / rate;
    } else {
        return -1;
    }

    bool last = E.steps <= 0 || E.step >= E.steps;
    if (!last) {
        double ahead = 0;
        for (int i = E.step + 1; i <= E.steps && !*step_only; i++) {
            const Past *q = i <= BEFORE.steps && BEFORE.steps == E.steps ? &BEFORE.step[i] : nullptr;
            if (!q || !q->ms)
                *step_only = true;
            else
                ahead += q->ms;
        }
        if (!*step_only)
            left += ahead * ratio;
    }
    return (int)SDL_min(left / 1000 + 0.5, (double)INT32_MAX);
}

// ---- the line ----

// Minutes as shown: under one, whole minutes below an hour, tens of minutes above.
static int quantise(double minutes)
{
    if (minutes < 1)
        return 0;
    if (minutes < 59.5)
        return (int)(minutes + 0.5);
    return (int)(minutes / 10 + 0.5) * 10;
}

// Whether the shown key still fits: the raw figure must leave a band around
// it wider than the rounding, so that it does not flicker between two values.
static bool holds(int key, double minutes)
{
    if (key == 0)
        return minutes < 1.25;
    double band = key < 60 ? 0.75 : 7.5;
    return SDL_fabs(minutes - key) < band;
}

void est_words(char *out, size_t size, uint32_t now)
{
    bool step_only;
    int seconds = est_seconds(now, &step_only);
    out[0] = '\0';
    if (seconds < 0) {
        CALM.key = -1;
        return;
    }
    double minutes = seconds / 60.0;
    if (CALM.key < 0 || step_only != CALM.step_only ||
        (!holds(CALM.key, minutes) && now - CALM.at >= CHANGE_EVERY_MS)) {
        CALM.key = quantise(minutes);
        CALM.step_only = step_only;
        CALM.at = now;
    }
    int k = CALM.key, h = k / 60, m = k % 60;
    if (k == 0 && step_only)
        snprintf(out, size, "%s", _("Less than a minute left in this step"));
    else if (k == 0)
        snprintf(out, size, "%s", _("Less than a minute left"));
    else if (h == 0 && step_only)
        snprintf(out, size, ngettext("About %d minute left in this step", "About %d minutes left in this step", m), m);
    else if (h == 0)
        snprintf(out, size, ngettext("About %d minute left", "About %d minutes left", m), m);
    else if (m == 0 && step_only)
        snprintf(out, size, ngettext("About %d hour left in this step", "About %d hours left in this step", h), h);
    else if (m == 0)
        snprintf(out, size, ngettext("About %d hour left", "About %d hours left", h), h);
    else if (step_only)
        // TRANSLATORS: the minutes are always a multiple of ten.
        snprintf(out, size, ngettext("About %d hour %d minutes left in this step",
                                     "About %d hours %d minutes left in this step", h), h, m);
    else
        // TRANSLATORS: the minutes are always a multiple of ten.
        snprintf(out, size, ngettext("About %d hour %d minutes left", "About %d hours %d minutes left", h), h, m);
}
