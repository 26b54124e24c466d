// The time-left estimate on short builds replayed at chosen times, and the
// record of the build before: used, and ignored when it cannot be trusted.
#include "support.h"

#include "installer/estimate.h"
#include "installer/installer.h"

#include <climits>
#include <string>
#include <vector>

struct At {
    double t;           // seconds since the build started
    std::string line;
};

// The lines of n counts of total, one every gap seconds from start.
static std::vector<At> counts(double start, int from, int n, int total, double gap)
{
    std::vector<At> v;
    for (int i = 0; i < n; i++)
        v.push_back({start + (i + 1) * gap, "[" + std::to_string(from + i) + "/" + std::to_string(total) + "] cc"});
    return v;
}

static std::vector<At> join(std::vector<At> a, const std::vector<At> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

constexpr uint32_t BASE = 1000;

static uint32_t ms(double t)
{
    return BASE + (uint32_t)(t * 1000 + 0.5);
}

// Replays a build's lines as the window takes them in.
static void replay(const std::vector<At> &lines, const char *record)
{
    reset_state();
    S.state = ST_WORKING;
    est_start(record, BASE);
    for (const At &a : lines) {
        handle_line(a.line.c_str());
        est_take(ms(a.t));
    }
}

static const std::vector<At> STEADY = join({{0, "@step 1 1 Building"}}, counts(0, 1, 40, 100, 1));

// The figure at now lies within low..high seconds (-1, -1: no figure).
static void expect_left(const char *what, double now, int low, int high, bool step_only)
{
    bool only;
    int s = est_seconds(ms(now), &only);
    if (low < 0) {
        EXPECT_EQ(s, -1) << what;
        return;
    }
    EXPECT_GE(s, low) << what;
    EXPECT_LE(s, high) << what;
    EXPECT_EQ(only, step_only) << what;
}

TEST(Estimate, ShortBuilds)
{
    std::vector<At> stall = STEADY;
    std::vector<At> uneven = join(join({{0, "@step 1 1 Building"}}, counts(0, 1, 50, 100, 0.2)), counts(10, 51, 10, 100, 2));
    std::vector<At> silent = {{0, "@step 1 1 Building"}, {10, "checking"}, {20, "checking"}};
    std::vector<At> ahead = join({{0, "@step 1 2 Fetching"}}, counts(0, 1, 40, 100, 1));
    struct {
        const char *what;
        const std::vector<At> &lines;
        double now;
        int low, high;          // seconds; -1 and -1: no figure
        bool step_only;
    } cases[] = {
        {"steady: 60 counts at one a second", STEADY, 40, 55, 65, false},
        {"nothing in the first seconds", STEADY, 3, -1, -1, false},
        {"no counts, nothing learned", silent, 25, -1, -1, false},
        // Since the start it went at 2 counts a second; lately at one every 2 s.
        {"uneven: the recent pace, not the average", uneven, 30, 70, 90, false},
        {"a stall lets the figure grow", stall, 100, 600, INT_MAX, false},
        {"steps ahead unknown: this step only", ahead, 40, 55, 65, true},
    };
    for (const auto &c : cases) {
        replay(c.lines, nullptr);
        expect_left(c.what, c.now, c.low, c.high, c.step_only);
    }
}

// The build before took 20 s to fetch and 40 s to build: the next one knows
// the step ahead, and the shape of a step whose last counts are slow.
TEST(Estimate, RecordOfTheBuildBefore)
{
    Scratch dir;
    std::string record = dir.path("build-times");
    std::vector<At> before = join(join({{0, "@step 1 2 Fetching"}}, counts(0, 1, 20, 20, 1)),
                                  join({{20, "@step 2 2 Building"}}, counts(20, 1, 9, 10, 1)));
    before.push_back({60, "[10/10] linking"});  // the last count took 30 s
    replay(before, record.c_str());
    est_end(record.c_str(), true, ms(60));

    struct {
        const char *what;
        std::vector<At> lines;
        double now;
        int low, high;
        bool step_only;
    } cases[] = {
        {"halfway through the fetch: 10 s of it and 40 s ahead",
         join({{0, "@step 1 2 Fetching"}}, counts(0, 1, 10, 20, 1)), 10, 45, 55, false},
        {"nine counts of ten done in 9 s: the last took 30 s before",
         join({{0, "@step 1 2 Fetching"}, {20, "@step 2 2 Building"}}, counts(20, 1, 9, 10, 1)), 29.5, 25, 36,
         false},
        // A quarter in 10 s: 30 s more at this pace, and the step ahead;
        // taken as the recorded step it would read as twice as slow, 110 s.
        {"another label: the step is new, the one ahead known",
         join({{0, "@step 1 2 Downloading"}}, counts(0, 1, 5, 20, 2)), 10, 65, 75, false},
        {"another count total: the step is new, the one ahead known",
         join({{0, "@step 1 2 Fetching"}}, counts(0, 1, 10, 40, 1)), 10, 65, 75, false},
    };
    for (const auto &c : cases) {
        replay(c.lines, record.c_str());
        expect_left(c.what, c.now, c.low, c.high, c.step_only);
    }

    const char *garbled[] = {
        "",
        "build-times 1\nsteps 2\n1 20 20000 2000 4000 6000 8000 10000 12000 14000 16000 18000 Fetching\n2 10 40",
        "build-times 1\nsteps 2\n1 20 -5 0 0 0 0 0 0 0 0 0 Fetching\n",
        "build-times 1\nsteps 2\n7 20 20000 0 0 0 0 0 0 0 0 0 Fetching\n",
        "build-times 1\nsteps 99999999999\n",
        "build-times 1\nsteps 2\n1 20 20000 9 8 7 6 5 4 3 2 1 Fetching\n",
        "\x01\xff\n\n\n",
    };
    for (const char *g : garbled) {
        write_file(record, g);
        replay(join({{0, "@step 1 2 Fetching"}}, counts(0, 1, 10, 20, 1)), record.c_str());
        bool step_only;
        est_seconds(ms(10), &step_only);
        EXPECT_TRUE(step_only) << "a garbled record is not used: " << g;
    }
}

// Over a steady build the shown line only counts down: it never goes back
// to a figure it left, and changes about once a minute.
TEST(Estimate, TheLineMovesCalmly)
{
    std::vector<At> lines = join({{0, "@step 1 1 Building"}}, counts(0, 1, 600, 600, 1));
    reset_state();
    S.state = ST_WORKING;
    est_start(nullptr, BASE);
    std::vector<std::string> shown;
    size_t next = 0;
    for (double t = 0; t < 600; t += 0.5) {
        for (; next < lines.size() && lines[next].t <= t; next++) {
            handle_line(lines[next].line.c_str());
            est_take(ms(lines[next].t));
        }
        char words[128];
        est_words(words, sizeof words, ms(t));
        if (words[0] && (shown.empty() || shown.back() != words)) {
            for (const std::string &w : shown)
                EXPECT_NE(w, words) << "at " << t << " s the line went back";
            shown.push_back(words);
        }
    }
    ASSERT_GE(shown.size(), 2u);
    EXPECT_EQ(shown.front(), "About 10 minutes left");
    EXPECT_EQ(shown.back(), "Less than a minute left");
    EXPECT_LE(shown.size(), 11u);
}
