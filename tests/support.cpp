#include "support.h"

#include "installer/installer.h"

#include <SDL.h>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

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

uint32_t at(const SDL_Surface *s, int x, int y)
{
    if (x < 0 || y < 0 || x >= s->w || y >= s->h)
        return 0;
    return ((const uint32_t *)((const char *)s->pixels + y * s->pitch))[x];
}

bool near(uint32_t a, uint32_t b, int levels)
{
    for (int shift = 0; shift < 32; shift += 8)
        if (abs((int)(a >> shift & 255) - (int)(b >> shift & 255)) > levels)
            return false;
    return true;
}

int run_shot(const char *state, const char *path, const char *home)
{
    // The environment is made before the fork: SDL's threads may hold the
    // allocator's lock, and the child only execs.
    const char *own[] = {"SDL_VIDEODRIVER", "ORVL_HOME", "ORVL_PYTHON", "ORVL_LAUNCHER_STATE",
                         "ORVL_LAUNCHER_SHOT", "LC_ALL"};
    std::vector<std::string> vars = {"SDL_VIDEODRIVER=offscreen", std::string("ORVL_HOME=") + home,
                                     "ORVL_PYTHON=/nonexistent/python", std::string("ORVL_LAUNCHER_SHOT=") + path,
                                     "LC_ALL=C"};
    if (state)
        vars.push_back(std::string("ORVL_LAUNCHER_STATE=") + state);
    for (char **e = environ; *e; e++) {
        bool replaced = false;
        for (const char *name : own)
            replaced |= strncmp(*e, name, strlen(name)) == 0 && (*e)[strlen(name)] == '=';
        if (!replaced)
            vars.push_back(*e);
    }
    std::vector<char *> envp;
    for (std::string &v : vars)
        envp.push_back(v.data());
    envp.push_back(nullptr);
    char *argv[] = {(char *)LAUNCHER_BIN, nullptr};
    pid_t pid = fork();
    if (pid == 0) {
        execve(LAUNCHER_BIN, argv, envp.data());
        _exit(99);
    }
    int status;
    if (pid < 0 || waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

SDL_Surface *load_shot(const std::string &path)
{
    SDL_Surface *raw = SDL_LoadBMP(path.c_str());
    if (!raw)
        return nullptr;
    SDL_Surface *s = SDL_ConvertSurfaceFormat(raw, SDL_PIXELFORMAT_ARGB8888, 0);
    SDL_FreeSurface(raw);
    // The file keeps no alpha worth reading.
    for (int y = 0; s && y < s->h; y++)
        for (int x = 0; x < s->w; x++)
            ((uint32_t *)((char *)s->pixels + y * s->pitch))[x] |= 0xff000000;
    return s;
}

std::string command(const std::string &cmd)
{
    std::string out;
    if (FILE *p = popen(cmd.c_str(), "r")) {
        char buf[512];
        while (fgets(buf, sizeof buf, p))
            out += buf;
        pclose(p);
    }
    return out;
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
