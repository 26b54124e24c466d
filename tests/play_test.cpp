#include "support.h"

#include "game/game.h"
#include "installer/installer.h"

#include <fcntl.h>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

struct Play : ::testing::Test {
    Scratch s;
    std::string game, log, previous;
    void SetUp() override
    {
        offscreen();
        reset_state();
        snprintf(g_home, sizeof g_home, "%s/home", s.dir.c_str());
        snprintf(g_logs, sizeof g_logs, "%s/logs", g_home);
        game = std::string(g_home) + "/build/host/orvl";
        log = std::string(g_logs) + "/orvl.log";
        previous = std::string(g_logs) + "/orvl.1.log";
        S.state = ST_READY;
        SDL_ShowWindow(WIN);
    }
    void fake_game(const std::string &body)
    {
        mkdir(g_home, 0755);
        mkdir((std::string(g_home) + "/build").c_str(), 0755);
        mkdir((std::string(g_home) + "/build/host").c_str(), 0755);
        write_file(game, "#!/bin/sh\n" + body + "\n", 0755);
    }
    int run(std::initializer_list<const char *> args = {})
    {
        char *argv[100];
        int argc = 0;
        argv[argc++] = const_cast<char *>("launcher");
        for (const char *a : args)
            argv[argc++] = const_cast<char *>(a);
        argv[argc] = nullptr;
        return play(WIN, argc, argv);
    }
    char name[9] = "launcher";
    char *self[2] = {name, nullptr};
    bool hidden() { return SDL_GetWindowFlags(WIN) & SDL_WINDOW_HIDDEN; }
};

TEST(GameArgv, FixedEntriesThenAtMost59Arguments)
{
    char exe[] = "/h/build/host/orvl", dir[] = "/h/game";
    char *own[80];
    char names[80][8];
    for (int i = 0; i < 80; i++) {
        snprintf(names[i], sizeof names[i], "a%d", i);
        own[i] = names[i];
    }
    char *argv[64];
    EXPECT_EQ(game_argv(argv, exe, dir, 1, own), 4);
    EXPECT_STREQ(argv[0], exe);
    EXPECT_STREQ(argv[1], "--game");
    EXPECT_STREQ(argv[2], dir);
    EXPECT_STREQ(argv[3], "--run");
    EXPECT_EQ(argv[4], nullptr);
    for (int argc : {60, 61, 80}) {
        EXPECT_EQ(game_argv(argv, exe, dir, argc, own), 63) << argc;
        EXPECT_STREQ(argv[4], "a1");
        EXPECT_STREQ(argv[62], "a59");
        EXPECT_EQ(argv[63], nullptr);
    }
    EXPECT_EQ(game_argv(argv, exe, dir, 59, own), 62);
    EXPECT_STREQ(argv[61], "a58");
}

TEST_F(Play, GameGetsItsCommandLineAndOnlyTheStandardStreams)
{
    fake_game("for a; do echo \"$a\"; done > " + s.path("args") + "; ls /proc/self/fd | tr '\\n' ' '; exit 0");
    EXPECT_EQ(run({"--game", "x y", "--run", "%s"}), 0);
    EXPECT_EQ(read_file(s.path("args")),
              "--game\n" + std::string(g_home) + "/game\n--run\n--game\nx y\n--run\n%s\n");
    EXPECT_EQ(read_file(log), "0 1 2 3 ");   // 3 is the listing of ls itself
}

TEST_F(Play, NormalEndsKeepTheWindowHiddenAndActQuits)
{
    for (int code : {0, 1, 2, 255}) {
        fake_game("exit " + std::to_string(code));
        SDL_ShowWindow(WIN);
        EXPECT_EQ(run(), 0) << code;
        EXPECT_TRUE(hidden()) << code;
        EXPECT_EQ(S.state, ST_READY);
    }
    SDL_ShowWindow(WIN);
    keep_args(1, self);
    EXPECT_EQ(act(ACT_PLAY), 1);
}

TEST_F(Play, CrashesBringTheWindowBackWithTheirMessage)
{
    struct {
        const char *body;
        const char *message;
    } cases[] = {
        {"exit 3", "The game stopped unexpectedly."},
        {"exit 127", "The game could not start."},
        {"kill -SEGV $$", "The game stopped unexpectedly."},
        {"kill -9 $$", "The game stopped unexpectedly."},
    };
    for (auto c : cases) {
        fake_game(c.body);
        snprintf(S.message, sizeof S.message, "earlier");
        EXPECT_EQ(run(), 1) << c.body;
        EXPECT_EQ(S.state, ST_CRASHED);     // also the second crash in a row
        EXPECT_STREQ(S.message, c.message);
        EXPECT_FALSE(hidden());
    }
    fake_game("exit 3");
    keep_args(1, self);
    EXPECT_EQ(act(ACT_PLAY), 0);
}

TEST_F(Play, MissingGameLeavesOneLineInItsLog)
{
    EXPECT_EQ(run(), 1);
    EXPECT_STREQ(S.message, "The game could not start.");
    EXPECT_EQ(read_file(log), "cannot run " + game + ": No such file or directory\n");
}

TEST_F(Play, LogRotationKeepsOneGeneration)
{
    fake_game("echo \"run $$\"");
    mkdirs();
    write_file(previous, "old previous\n");
    EXPECT_EQ(run(), 0);    // no current log: the previous one stays
    EXPECT_EQ(read_file(previous), "old previous\n");
    std::string first = read_file(log);
    EXPECT_EQ(first.rfind("run ", 0), 0u);
    EXPECT_EQ(run(), 0);    // now the first run's log replaces it
    EXPECT_EQ(read_file(previous), first);
    EXPECT_NE(read_file(log), first);
}

TEST_F(Play, OnATerminalTheGameWritesThereAndNoLogIsMade)
{
    fake_game("echo on-terminal >&2; exit 0");
    mkdirs();
    write_file(log, "earlier run\n");
    int master;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        char *argv[] = {const_cast<char *>("launcher"), nullptr};
        _exit(play(WIN, 1, argv) == 0 ? 0 : 1);
    }
    std::string seen;
    char buf[256];
    ssize_t n;
    while ((n = read(master, buf, sizeof buf)) > 0)
        seen.append(buf, n);
    int status;
    waitpid(pid, &status, 0);
    close(master);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(seen.find("on-terminal"), std::string::npos);
    EXPECT_FALSE(exists(log));
    EXPECT_EQ(read_file(previous), "earlier run\n");
}

TEST_F(Play, LogsFolderBlockedTheGameStillStarts)
{
    snprintf(g_logs, sizeof g_logs, "%s", s.path("blocked").c_str());
    write_file(g_logs, "a file");
    fake_game("touch " + s.path("ran") + "; exit 0");
    EXPECT_EQ(run(), 0);
    EXPECT_TRUE(exists(s.path("ran")));
}
