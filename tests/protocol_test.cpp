#include "support.h"

#include "installer/installer.h"

#include <cmath>
#include <string>

static void lines(const std::string &bytes)
{
    feed(bytes.data(), bytes.size());
}

TEST(Protocol, StepLines)
{
    reset_state();
    snprintf(S.detail, sizeof S.detail, "kept");
    S.progress = 0.5;
    lines("@step 3 7 Compiling\n");
    EXPECT_EQ(S.step, 3);
    EXPECT_EQ(S.steps, 7);
    EXPECT_STREQ(S.step_label, "Compiling");
    EXPECT_LT(S.progress, 0);
    EXPECT_STREQ(S.detail, "kept");

    lines("@step 4 7\n");
    EXPECT_EQ(S.step, 4);
    EXPECT_STREQ(S.step_label, "");
    lines("@step  -2   +9   \t Two  words \n");
    EXPECT_EQ(S.step, -2);
    EXPECT_EQ(S.steps, 9);
    EXPECT_STREQ(S.step_label, "Two  words ");

    // Fewer than two numbers: no effect at all, and nothing shown.
    for (const char *bad : {"@step 5\n", "@step \n", "@step x 3 y\n", "@step 1 -\n"}) {
        lines(bad);
        EXPECT_EQ(S.step, -2) << bad;
        EXPECT_STREQ(S.detail, "kept") << bad;
    }
    // Numbers beyond an int saturate instead of overflowing.
    lines("@step 99999999999999999999 -99999999999 Big\n");
    EXPECT_EQ(S.step, INT32_MAX);
    EXPECT_EQ(S.steps, INT32_MIN);
    std::string label(300, 'L');
    lines("@step 1 2 " + label + "\n");
    EXPECT_EQ(std::string(S.step_label), label.substr(0, 159));
}

TEST(Protocol, ProgressLinesClampAndAcceptAnyNumber)
{
    reset_state();
    struct {
        const char *line;
        double want;
    } cases[] = {
        {"@progress 0.5\n", 0.5}, {"@progress 50\n", 1.0}, {"@progress -0.5\n", -1.0},
        {"@progress words\n", 0.0}, {"@progress    0.25xyz\n", 0.25}, {"@progress 1e400\n", 1.0},
    };
    for (auto c : cases) {
        S.progress = 0.77;
        lines(c.line);
        EXPECT_DOUBLE_EQ(S.progress, c.want) << c.line;
    }
    EXPECT_STREQ(S.detail, "");
}

TEST(Protocol, ErrorLinesFailAndKeepTheLatestText)
{
    reset_state();
    S.state = ST_WORKING;
    lines("@error The disc is unreadable.\n");
    EXPECT_EQ(S.state, ST_FAILED);
    EXPECT_STREQ(S.message, "The disc is unreadable.");
    lines("@error Second.\n");
    EXPECT_STREQ(S.message, "Second.");
    lines("@error \n");
    EXPECT_STREQ(S.message, "");
    EXPECT_STREQ(S.detail, "");
}

TEST(Protocol, CountLines)
{
    reset_state();
    lines("[74/176] Building C object a.c.o\n");
    EXPECT_NEAR(S.progress, 74.0 / 176, 1e-12);
    EXPECT_STREQ(S.detail, "[74/176] Building C object a.c.o");
    lines("[12/0] zero\n");
    EXPECT_NEAR(S.progress, 74.0 / 176, 1e-12);
    EXPECT_STREQ(S.detail, "[12/0] zero");
    lines("[9/4] over\n");
    EXPECT_DOUBLE_EQ(S.progress, 2.25);
    lines("[ 3/ 6 no bracket\n");
    EXPECT_DOUBLE_EQ(S.progress, 0.5);
    lines("[3 /6] space before the slash\n");
    EXPECT_DOUBLE_EQ(S.progress, 0.5);
    EXPECT_STREQ(S.detail, "[3 /6] space before the slash");
    lines("[4294967295/1]\n");
    EXPECT_DOUBLE_EQ(S.progress, 4294967295.0);
    lines("[99999999999999/2]\n");  // beyond 32 bits: saturated, defined
    EXPECT_DOUBLE_EQ(S.progress, 4294967295.0 / 2);
    lines("[-1/4294967295]\n");     // a sign wraps as an unsigned scan does
    EXPECT_DOUBLE_EQ(S.progress, 1.0);
    lines(" [1/2] not first\n");
    EXPECT_STREQ(S.detail, " [1/2] not first");
    EXPECT_DOUBLE_EQ(S.progress, 1.0);
}

TEST(Protocol, NearMissesAreShownAsDetail)
{
    for (const char *l : {"@step", "@step3 4 x", "@progress0.5", "@error", "@errorX", "@done!",
                          "@done ", "@STEP 1 2 x", "@warn hm", "plain text", "100% done %n %s"}) {
        reset_state();
        lines(std::string(l) + "\n");
        EXPECT_STREQ(S.detail, l);
        EXPECT_EQ(S.state, ST_CHECKING) << l;
        EXPECT_EQ(S.steps, 0) << l;
        EXPECT_LT(S.progress, 0) << l;
    }
    reset_state();
    lines("@done\n\n\r\n");
    EXPECT_STREQ(S.detail, "");
}

TEST(Protocol, LineSplitting)
{
    reset_state();
    lines("a\rb\n");
    EXPECT_STREQ(S.detail, "ab");
    lines("par");     // a line is carried across reads
    lines("tial\n");
    EXPECT_STREQ(S.detail, "partial");

    // 10,000 bytes then a newline: 8191 handled, the 8192nd dropped, 1808 left.
    reset_state();
    std::string big;
    for (int i = 0; i < 10000; i++)
        big += (char)('a' + i % 26);
    lines("@error " + big.substr(7) + "\n");
    EXPECT_EQ(S.state, ST_FAILED);
    EXPECT_EQ(std::string(S.message), big.substr(7, 511));
    EXPECT_EQ(std::string(S.detail), big.substr(8192, 255));
    EXPECT_EQ(S.line_len, 0u);

    // Carriage returns do not count towards the limit, wherever they stand.
    reset_state();
    lines(std::string(8190, 'a') + "\r\r" + "xyz\n");
    EXPECT_EQ(std::string(S.detail), "z");  // "x" was the 8191st byte, "y" ended that line
    reset_state();
    lines(std::string(8191, 'b'));
    lines("\r");                           // ends the full line, like any byte, and is dropped
    lines("c\n");
    EXPECT_STREQ(S.detail, "c");

    // A last line without its newline is never handled.
    reset_state();
    lines("@error unfinished");
    EXPECT_EQ(S.state, ST_CHECKING);
    EXPECT_EQ(S.line_len, 17u);
}

TEST(Protocol, BinaryGarbageStaysWithinTheFields)
{
    reset_state();
    std::string junk;
    for (int i = 0; i < 100000; i++)
        junk += (char)((i * 7919) % 256);
    lines(junk + "\n");
    lines(std::string("\xff\xfe\0tail\n", 8));
    EXPECT_STREQ(S.detail, "\xff\xfe");
    EXPECT_LT(strlen(S.message), sizeof S.message);
    EXPECT_LT(strlen(S.step_label), sizeof S.step_label);
    EXPECT_LE(S.line_len, 8191u);
}

TEST(Status, ByteSearchOfTheLastObject)
{
    struct {
        const char *out;
        int state, needs_disc;
    } cases[] = {
        {"{\"ready\": true, \"needs_disc\": true}", ST_READY, 0},
        {"{\"ready\": false, \"needs_disc\": true}", ST_SETUP, 1},
        {"{\"ready\": false, \"needs_disc\": false}", ST_UPDATE, 0},
        {"{\"ready\":true}", ST_UPDATE, 0},
        {"log line\n{\"x\": 1}\nmore {\"needs_disc\": true}\n", ST_SETUP, 1},
        {"{\"needs_disc\": true, \"extra\": {\"a\": 1}}", ST_UPDATE, 0},
        {"no object at all", ST_FAILED, 7},
        {"", ST_FAILED, 7},
    };
    for (auto c : cases) {
        reset_state();
        S.needs_disc = 7;
        read_status(c.out, strlen(c.out));
        EXPECT_EQ(S.state, c.state) << c.out;
        EXPECT_EQ(S.needs_disc, c.state == ST_READY || c.state == ST_FAILED ? 7 : c.needs_disc) << c.out;
    }
    // A NUL byte does not hide what follows it.
    reset_state();
    std::string out("junk\0{\"ready\": true}", 20);
    read_status(out.data(), out.size());
    EXPECT_EQ(S.state, ST_READY);
}

TEST(Status, ArgumentVector)
{
    snprintf(g_python, sizeof g_python, "/py");
    snprintf(g_share, sizeof g_share, "/share");
    snprintf(g_home, sizeof g_home, "/home/u");
    auto vector = [](const char *mode) {
        char *argv[16];
        int n = -1;
        install_argv(argv, &n, mode);
        std::string all;
        for (int i = 0; argv[i]; i++)
            all += std::string(argv[i]) + "|";
        EXPECT_EQ(argv[n], nullptr);
        return all;
    };
    const std::string fixed = "/py|-I|/share/src/orvl/tools/install/install.py|--dest|/home/u|--vantrel|/share/src/vantrel|";
    {
        Env f("ORVL_FFMPEG", ""), v("ORVL_VORBIS", nullptr);
        EXPECT_EQ(vector("--status"), fixed + "--status|");
    }
    {
        Env f("ORVL_FFMPEG", "/ff"), v("ORVL_VORBIS", "/vo");
        EXPECT_EQ(vector("--download"), fixed + "--ffmpeg|/ff|--vorbis|/vo|--download|");
    }
    {
        Env f("ORVL_FFMPEG", nullptr), v("ORVL_VORBIS", " ");
        EXPECT_EQ(vector("--status"), fixed + "--vorbis| |--status|");
    }
}
