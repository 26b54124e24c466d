// The status query and the build job against small stand-in installers.
#include "support.h"

#include "installer/installer.h"

#include <csignal>
#include <algorithm>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

struct Job : ::testing::Test {
    Scratch s;
    void SetUp() override
    {
        reset_state();
        snprintf(g_home, sizeof g_home, "%s/home", s.dir.c_str());
        snprintf(g_logs, sizeof g_logs, "%s/logs", g_home);
        snprintf(g_share, sizeof g_share, "%s/share", s.dir.c_str());
    }
    void TearDown() override { reset_state(); }
    std::string log() { return read_file(std::string(g_logs) + "/install.log"); }
    // Starts a build with this installer body from the set-up screen.
    void build(const std::string &body, int from = ST_SETUP)
    {
        fake_installer(s, body);
        S.state = from;
        start_build();
    }
};

TEST_F(Job, StatusQueryOutcomes)
{
    struct {
        const char *body;
        int state;
    } cases[] = {
        {"echo 'progress...'; echo '{\"ready\": true, \"needs_disc\": true}'", ST_READY},
        {"echo '{\"ready\": false, \"needs_disc\": true}'", ST_SETUP},
        {"echo '{\"ready\": false, \"needs_disc\": false}'", ST_UPDATE},
        {"echo '{\"ready\": true}'; exit 1", ST_FAILED},
        {"exit 0", ST_FAILED},
        {"echo nothing here", ST_FAILED},
        {"echo '{\"ready\": true}' >&2; echo '{}'", ST_UPDATE},   // stderr is not read
        {"kill -9 $$", ST_FAILED},
        // Past 4095 bytes nothing is seen: the object starts beyond it.
        {"head -c 5000 /dev/zero | tr '\\0' x; echo '{\"ready\": true}'", ST_FAILED},
        {"head -c 4000 /dev/zero | tr '\\0' x; echo '{\"ready\": true}'", ST_READY},
        // Megabytes of output: the query ends, the writer finds the pipe closed.
        {"head -c 5000000 /dev/zero; echo '{\"ready\": true}'", ST_FAILED},
    };
    for (auto c : cases) {
        reset_state();
        fake_installer(s, c.body);
        int fds = open_fds();
        check_status(nullptr);
        EXPECT_EQ(S.state, c.state) << c.body;
        EXPECT_EQ(open_fds(), fds) << c.body;
    }
}

TEST_F(Job, StatusQueryArgumentsAndFailureMessage)
{
    fake_installer(s, "for a; do echo \"$a\"; done > " + s.path("args") + "; echo '{\"ready\": true}'");
    check_status(nullptr);
    EXPECT_EQ(S.state, ST_READY);
    EXPECT_EQ(read_file(s.path("args")),
              "-I\n" + std::string(g_share) + "/src/orvl/tools/install/install.py\n--dest\n" + g_home +
                  "\n--vantrel\n" + g_share + "/src/vantrel\n--status\n");

    reset_state();
    snprintf(g_python, sizeof g_python, "python3-not-a-path");
    check_status(nullptr);
    EXPECT_EQ(S.state, ST_FAILED);
    EXPECT_STREQ(S.message, "The installer could not run (python3-not-a-path). Reinstalling the app may help.");

    std::string longpath = "/" + std::string(400, 'p');
    snprintf(g_python, sizeof g_python, "%s", longpath.c_str());
    check_status(nullptr);
    EXPECT_EQ(std::string(S.message),
              "The installer could not run (" + longpath.substr(0, 300) + "). Reinstalling the app may help.");
}

TEST_F(Job, StatusQueryThatNeverAnswersIsBounded)
{
    int saved = STATUS_TIMEOUT_MS;
    STATUS_TIMEOUT_MS = 500;
    fake_installer(s, "exec sleep 60");
    check_status(nullptr);
    EXPECT_EQ(S.state, ST_FAILED);
    // Output closed but the installer lingers: the same bound.
    fake_installer(s, "exec >&-; sleep 60");
    check_status(nullptr);
    EXPECT_EQ(S.state, ST_FAILED);
    STATUS_TIMEOUT_MS = saved;
}

TEST_F(Job, SuccessLogsEveryByteAndClearsNeedsDisc)
{
    S.needs_disc = 1;
    build("echo '@step 1 2 Fetching'; printf 'a\\r\\nb'; echo ' [1/4]' >&2; echo '[2/4] x'; exit 0");
    ASSERT_EQ(S.state, ST_WORKING);
    EXPECT_STREQ(S.step_label, "Starting");
    EXPECT_GT(S.pid, 0);
    ASSERT_TRUE(pump_until_done(10));
    EXPECT_EQ(S.state, ST_READY);
    EXPECT_EQ(S.needs_disc, 0);
    EXPECT_EQ(S.pid, 0);
    EXPECT_EQ(S.fd, -1);
    EXPECT_EQ(S.log, nullptr);
    EXPECT_EQ(log(), "@step 1 2 Fetching\na\r\nb [1/4]\n[2/4] x\n");
    EXPECT_STREQ(S.detail, "[2/4] x");
    EXPECT_DOUBLE_EQ(S.progress, 0.5);
}

TEST_F(Job, EndStates)
{
    struct {
        const char *body;
        int state;
        const char *message;
    } cases[] = {
        {"exit 2", ST_FAILED, "The build stopped (exit 2). Its log has the details."},
        {"kill -9 $$", ST_FAILED, "The build stopped (signal 9). Its log has the details."},
        {"echo '@error No space left.'; exit 1", ST_FAILED, "No space left."},
        {"echo '@error No space left.'; kill -15 $$", ST_FAILED, "No space left."},
        {"echo '@error Looked bad.'; exit 0", ST_READY, "Looked bad."},
        {"printf '@error unfinished'; exit 4", ST_FAILED, "The build stopped (exit 4). Its log has the details."},
    };
    for (auto c : cases) {
        reset_state();
        snprintf(S.message, sizeof S.message, "before");
        build(c.body);
        ASSERT_TRUE(pump_until_done(10)) << c.body;
        EXPECT_EQ(S.state, c.state) << c.body;
        EXPECT_STREQ(S.message, c.message) << c.body;
    }
}

TEST_F(Job, InterpreterThatCannotRunSaysWhy)
{
    build("");
    reset_state();
    snprintf(g_python, sizeof g_python, "%s/missing/python3", s.dir.c_str());
    S.state = ST_SETUP;
    start_build();
    ASSERT_EQ(S.state, ST_WORKING);
    ASSERT_TRUE(pump_until_done(10));
    EXPECT_EQ(S.state, ST_FAILED);
    EXPECT_EQ(std::string(S.message), "cannot run " + s.dir + "/missing/python3: No such file or directory");
}

TEST_F(Job, ChildEnvironmentAndDescriptors)
{
    setenv("ORVL_PGROUP", "0", 1);
    build("echo \"pg=$ORVL_PGROUP unbuf=$PYTHONUNBUFFERED\"; ls /proc/self/fd | sort -n | tr '\\n' ' '; echo");
    unsetenv("ORVL_PGROUP");
    ASSERT_TRUE(pump_until_done(10));
    // Only the standard streams reach the child; 3 is the listing of ls itself.
    std::string out = log();
    EXPECT_NE(out.find("pg=1 unbuf=1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\n0 1 2 3 \n"), std::string::npos) << out;
}

TEST_F(Job, CancelEndsTheWholeGroupAndReturnsToTheScreenBefore)
{
    for (int needs_disc : {1, 0}) {
        reset_state();
        S.needs_disc = needs_disc;
        // Makes its own group as the contract asks, and starts a grandchild in it.
        build("exec perl -e 'setpgrp(0,0); print \"\\@step 1 1 Working\\n\"; $|=1; system(\"sleep 30\"); exit 0'");
        int pid = S.pid;
        for (int i = 0; i < 500 && group_size(pid) < 2; i++)
            SDL_Delay(10);
        ASSERT_EQ(group_size(pid), 2);
        cancel_build();
        cancel_build();     // a second cancel only signals again
        EXPECT_EQ(S.state, ST_WORKING);
        ASSERT_TRUE(pump_until_done(10));
        EXPECT_EQ(S.state, needs_disc ? ST_SETUP : ST_UPDATE);
        EXPECT_EQ(group_size(pid), 0);
        EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);   // no zombie left
    }
    // Cancelled counts even when the installer then exits 0.
    reset_state();
    S.needs_disc = 1;
    build("trap 'exit 0' TERM; while :; do sleep 0.05; done");
    SDL_Delay(200);
    kill(S.pid, SIGTERM);   // this one made no group: reach it directly
    S.cancelled = 1;
    ASSERT_TRUE(pump_until_done(10));
    EXPECT_EQ(S.state, ST_SETUP);
}

TEST_F(Job, RetryWhileTheFailedChildRunsLeavesOneJob)
{
    build("echo '@error Broke.'; exec perl -e 'setpgrp(0,0); $SIG{TERM}=\"IGNORE\"; sleep 60'");
    for (int i = 0; i < 200 && S.state != ST_FAILED; i++) {
        pump_build();
        SDL_Delay(10);
    }
    ASSERT_EQ(S.state, ST_FAILED);
    int first = S.pid;
    int fds = open_fds();
    fake_installer(s, "echo second; exit 0");
    EXPECT_EQ(act(ACT_RETRY), 0);
    EXPECT_NE(S.pid, first);
    EXPECT_EQ(group_size(first), 0);
    EXPECT_EQ(kill(first, 0), -1);  // reaped, not a zombie
    EXPECT_EQ(open_fds(), fds);
    ASSERT_TRUE(pump_until_done(10));
    EXPECT_EQ(S.state, ST_READY);
    EXPECT_EQ(log(), "second\n");
}

TEST_F(Job, StopEndsAChildThatIgnoresTerm)
{
    build("exec perl -e '$SIG{TERM}=\"IGNORE\"; $|=1; print \"x\\n\" x 100000; sleep 60'");
    int pid = S.pid;
    SDL_Delay(100);
    stop_build(300);    // returns although the child ignores SIGTERM
    EXPECT_EQ(S.pid, 0);
    EXPECT_EQ(S.fd, -1);
    EXPECT_EQ(kill(pid, 0), -1);
    EXPECT_EQ(log().size(), 200000u);   // what it wrote before it ended is all logged
}

TEST_F(Job, StartFromFailedWithoutHomeNeedsTheDisc)
{
    build("exit 0", ST_FAILED);
    EXPECT_EQ(S.needs_disc, 1);
    ASSERT_TRUE(pump_until_done(10));
    reset_state();
    mkdir(g_home, 0755);
    build("exit 0", ST_FAILED);
    EXPECT_EQ(S.needs_disc, 0);
    ASSERT_TRUE(pump_until_done(10));
}

TEST_F(Job, EveryStartEmptiesTheLogAndAJobRunsWithoutOne)
{
    build("echo first run");
    ASSERT_TRUE(pump_until_done(10));
    EXPECT_EQ(log(), "first run\n");
    build("echo '@error x'; exit 1", ST_READY);
    ASSERT_TRUE(pump_until_done(10));
    EXPECT_EQ(log(), "@error x\n");

    // The logs folder is a plain file: the job runs and reports the same.
    reset_state();
    snprintf(g_logs, sizeof g_logs, "%s", s.path("blocked").c_str());
    write_file(g_logs, "not a folder");
    build("echo '@error Broke.'; exit 1");
    EXPECT_EQ(S.log, nullptr);
    ASSERT_TRUE(pump_until_done(10));
    EXPECT_EQ(S.state, ST_FAILED);
    EXPECT_STREQ(S.message, "Broke.");
}

TEST_F(Job, FloodingOutputLeavesEachPumpBounded)
{
    build("exec sleep 30");
    // Output that never runs dry: without a bound one pump would never return.
    close(S.fd);
    S.fd = open("/dev/zero", O_RDONLY | O_NONBLOCK);
    for (int i = 0; i < 5; i++) {
        pump_build();
        EXPECT_TRUE(pump_pending());
        EXPECT_EQ(S.state, ST_WORKING);
    }
    EXPECT_LE(S.line_len, 8191u);
    cancel_build();
    stop_build(1000);
    EXPECT_EQ(S.fd, -1);
    EXPECT_FALSE(pump_pending());
}

TEST_F(Job, LogIsOnDiskAsReadEvenWhenTheLauncherIsKilled)
{
    std::string expected;
    for (int i = 0; i < 3000; i++)
        expected += "[" + std::to_string(i) + "/3000] line\n";
    write_file(s.path("out"), expected);
    fake_installer(s, "echo $$ > " + s.path("pid") + "; cat " + s.path("out") + "; exec sleep 60");
    S.state = ST_SETUP;
    pid_t launcher = fork();
    if (launcher == 0) {
        start_build();
        for (;;) {
            pump_build();
            SDL_Delay(2);
        }
    }
    std::string path = std::string(g_logs) + "/install.log";
    for (int i = 0; i < 500 && read_file(path).size() < expected.size(); i++)
        SDL_Delay(10);
    kill(launcher, SIGKILL);
    waitpid(launcher, nullptr, 0);
    EXPECT_EQ(read_file(path), expected);
    kill(std::stoi(read_file(s.path("pid"))), SIGKILL);
}

// The bundled sample installer, through the launcher's own query and job.
struct Sample : Job {
    void SetUp() override
    {
        Job::SetUp();
        snprintf(g_share, sizeof g_share, "%s/sample/share", SOURCE_DIR);
        snprintf(g_python, sizeof g_python, "/usr/bin/python3");
        setenv("ORVL_SAMPLE_UNITS", "3", 1);
        setenv("ORVL_SAMPLE_FETCH_SECONDS", "0.3", 1);
    }
};

TEST_F(Sample, StatusBuildAndStatusAgain)
{
    check_status(nullptr);
    ASSERT_EQ(S.state, ST_SETUP);
    EXPECT_EQ(S.needs_disc, 1);
    ASSERT_EQ(act(ACT_BUILD), 0);
    ASSERT_EQ(S.state, ST_WORKING);
    bool counted = false, stepped = false;
    for (int i = 0; i < 12000 && S.fd >= 0; i++) {
        pump_build();
        counted |= S.detail[0] == '[' && S.progress > 0;
        stepped |= S.steps > 0;
        SDL_Delay(10);
    }
    EXPECT_EQ(S.state, ST_READY) << S.message;
    EXPECT_EQ(S.needs_disc, 0);
    EXPECT_TRUE(counted);
    EXPECT_TRUE(stepped);
    EXPECT_TRUE(exists(std::string(g_home) + "/build/host/orvl"));
    EXPECT_NE(log().find("@step"), std::string::npos);
    reset_state();
    check_status(nullptr);
    EXPECT_EQ(S.state, ST_READY);
}

TEST_F(Sample, CancelMidBuildLeavesNoProcessOfItsGroup)
{
    S.needs_disc = 1;
    S.state = ST_SETUP;
    start_build();
    int pid = S.pid;
    // Wait for the compile step, where cmake, ninja and the compiler run.
    for (int i = 0; i < 6000 && S.fd >= 0 && !(S.steps > 0 && S.step == S.steps); i++) {
        pump_build();
        SDL_Delay(10);
    }
    ASSERT_GT(S.steps, 0);
    ASSERT_EQ(S.step, S.steps);
    SDL_Delay(300);
    cancel_build();
    ASSERT_TRUE(pump_until_done(30));
    EXPECT_EQ(S.state, ST_SETUP);
    for (int i = 0; i < 300 && group_size(pid) > 0; i++)
        SDL_Delay(10);
    EXPECT_EQ(group_size(pid), 0);
}

TEST_F(Job, InstallerThatClosesItsOutputAndRunsOnIsEnded)
{
    build("echo '[1/2] half'; exec >&- 2>&-; exec sleep 60");
    int pid = S.pid;
    ASSERT_TRUE(pump_until_done(30));
    EXPECT_EQ(S.state, ST_FAILED);
    EXPECT_STREQ(S.message, "The build stopped (signal 15). Its log has the details.");
    EXPECT_EQ(kill(pid, 0), -1);
}

TEST_F(Job, BuildAndWhatItStartsYieldUnlessToldNot)
{
    // The niceness (field 19 of /proc/PID/stat) and I/O priority of process p, else of the shell.
    std::string report = "p=${p:-$$}; printf '%s ' $(cut -d' ' -f19 /proc/$p/stat); ionice -p $p";
    std::string own = command("p=" + std::to_string(getpid()) + "; " + report);
    std::string lowered = std::to_string(std::min(getpriority(PRIO_PROCESS, 0) + 10, 19)) + " best-effort: prio 7\n";
    struct {
        const char *opt_out;
        std::string build;
    } cases[] = {
        {nullptr, lowered},
        {"1", lowered},
        {"", lowered},
        {"0", own},
    };
    write_file(s.path("report"), "#!/bin/sh\n" + report + "\n", 0755);
    for (auto &c : cases) {
        reset_state();
        Env opt("ORVL_BUILD_NICE", c.opt_out);
        build(report + "; " + s.path("report"));
        ASSERT_TRUE(pump_until_done(10));
        EXPECT_EQ(log(), c.build + c.build) << (c.opt_out ? c.opt_out : "unset");
    }
    reset_state();
    fake_installer(s, "{ " + report + "; } > " + s.path("status") + "; echo '{\"ready\": true}'");
    check_status(nullptr);
    EXPECT_EQ(read_file(s.path("status")), own);
}
