#include "support.h"

#include <string>
#include <sys/stat.h>

TEST(Paths, HomeFallsBackThroughXdgAndHome)
{
    struct Case {
        const char *orvl_home, *xdg, *home;
        const char *g_home, *g_logs;
    } cases[] = {
        {"/x", "/d", "/h", "/x", "/x/logs"},
        {"", "/d", "/h", "/d/orvandel", "/d/orvandel/logs"},
        {nullptr, "/d", "/h", "/d/orvandel", "/d/orvandel/logs"},
        {nullptr, "", "/h", "/h/.local/share/orvandel", "/h/.local/share/orvandel/logs"},
        {nullptr, nullptr, nullptr, "./.local/share/orvandel", "./.local/share/orvandel/logs"},
        {"", "", "", "./.local/share/orvandel", "./.local/share/orvandel/logs"},
        {"/x/", nullptr, nullptr, "/x/", "/x//logs"},
        {" ", nullptr, nullptr, " ", " /logs"},
    };
    for (const Case &c : cases) {
        Env a("ORVL_HOME", c.orvl_home), b("XDG_DATA_HOME", c.xdg), h("HOME", c.home);
        resolve_paths();
        EXPECT_STREQ(g_home, c.g_home) << (c.orvl_home ? c.orvl_home : "(unset)");
        EXPECT_STREQ(g_logs, c.g_logs);
    }
}

TEST(Paths, DefaultsAndOverlongValues)
{
    {
        Env a("ORVL_SHARE", nullptr), b("ORVL_PYTHON", "");
        resolve_paths();
        EXPECT_STREQ(g_share, "/app/share/orvandel");
        EXPECT_STREQ(g_python, "/app/venv/bin/python3");
    }
    std::string share(2000, 's'), home(1500, 'h');
    Env a("ORVL_SHARE", share.c_str()), b("ORVL_HOME", home.c_str());
    resolve_paths();
    EXPECT_EQ(std::string(g_share), share.substr(0, 1023));
    EXPECT_EQ(std::string(g_home), home.substr(0, 1023));
    EXPECT_EQ(std::string(g_logs), home.substr(0, 1023) + "/logs");
}

TEST(Paths, EnvOrTreatsOnlyTheEmptyValueAsAbsent)
{
    Env a("LAUNCHER_TEST_VAR", " ");
    EXPECT_STREQ(env_or("LAUNCHER_TEST_VAR", "fb"), " ");
    Env b("LAUNCHER_TEST_VAR", "");
    EXPECT_STREQ(env_or("LAUNCHER_TEST_VAR", "fb"), "fb");
    Env c("LAUNCHER_TEST_VAR", nullptr);
    EXPECT_STREQ(env_or("LAUNCHER_TEST_VAR", "fb"), "fb");
}

TEST(Paths, MkdirsCreatesNestedAbsoluteAndRelativePaths)
{
    Scratch s;
    snprintf(g_logs, sizeof g_logs, "%s/a//b/c/logs", s.dir.c_str());
    mkdirs();
    EXPECT_TRUE(exists(s.path("a/b/c/logs")));

    ASSERT_EQ(chdir(s.dir.c_str()), 0);
    snprintf(g_logs, sizeof g_logs, "./.local/share/orvandel/logs");
    mkdirs();
    EXPECT_TRUE(exists(s.path(".local/share/orvandel/logs")));
    mkdirs();   // all there already: nothing to report
    EXPECT_TRUE(exists(s.path(".local/share/orvandel/logs")));
    ASSERT_EQ(chdir("/"), 0);
}

TEST(Paths, MkdirsStopsSilentlyAtAPlainFile)
{
    Scratch s;
    write_file(s.path("file"), "x");
    snprintf(g_logs, sizeof g_logs, "%s/file/sub/logs", s.dir.c_str());
    mkdirs();
    EXPECT_FALSE(exists(s.path("file/sub")));
    EXPECT_EQ(read_file(s.path("file")), "x");
}
