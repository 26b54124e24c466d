#include "support.h"

#include "installer/installer.h"

#include <SDL.h>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

Scratch::Scratch()
{
    char tmpl[] = "/tmp/launcher-test-XXXXXX";
    dir = mkdtemp(tmpl);
}

Scratch::~Scratch()
{
    std::string cmd = "rm -rf '" + dir + "'";
    if (system(cmd.c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", dir.c_str());
}

void reset_state()
{
    if (S.pid > 0)
        stop_build(1000);
    S = S_INITIAL;
    NB = 0;
    FOCUS = 0;
}

void write_file(const std::string &path, const std::string &content, int mode)
{
    std::ofstream(path, std::ios::binary) << content;
    chmod(path.c_str(), mode);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

void fake_installer(const Scratch &s, const std::string &body)
{
    std::string path = s.path("python");
    write_file(path, "#!/bin/sh\n" + body + "\n", 0755);
    snprintf(g_python, sizeof g_python, "%s", path.c_str());
}

void offscreen()
{
    if (R)
        return;
    setenv("SDL_VIDEODRIVER", "offscreen", 1);
    ASSERT_EQ(startup(true), 0) << SDL_GetError();
}

bool pump_until_done(int seconds)
{
    Uint32 begin = SDL_GetTicks();
    while (S.fd >= 0) {
        if (SDL_GetTicks() - begin > (Uint32)seconds * 1000)
            return false;
        pump_build();
        SDL_Delay(2);
    }
    return true;
}

uint32_t pixel(int x, int y)
{
    uint32_t p = 0;
    SDL_Rect r = {x, y, 1, 1};
    SDL_RenderReadPixels(R, &r, SDL_PIXELFORMAT_ARGB8888, &p, 4);
    return p;
}

int group_size(int pgid)
{
    int n = 0;
    DIR *d = opendir("/proc");
    while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9')
            continue;
        std::string stat = read_file(std::string("/proc/") + e->d_name + "/stat");
        size_t close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        char st;
        int ppid, pgrp;
        if (sscanf(stat.c_str() + close + 1, " %c %d %d", &st, &ppid, &pgrp) == 3 && pgrp == pgid && st != 'Z')
            n++;
    }
    closedir(d);
    return n;
}

int open_fds()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.')
            n++;
    closedir(d);
    return n - 1;   // the listing itself
}

Env::Env(const char *n, const char *value) : name(n)
{
    const char *v = getenv(n);
    had = v != nullptr;
    old = v ? v : "";
    if (value)
        setenv(n, value, 1);
    else
        unsetenv(n);
}

Env::~Env()
{
    if (had)
        setenv(name.c_str(), old.c_str(), 1);
    else
        unsetenv(name.c_str());
}
