// Shared helpers of the in-process tests: a fresh state, scratch folders,
// small executable scripts standing in for the installer and the game,
// pixels and images of screenshot mode.
#pragma once

#include "app/app.h"
#include "core/core.h"

#include <gtest/gtest.h>
#include <string>

// A scratch folder under /tmp, removed with everything in it at the end.
struct Scratch {
    std::string dir;
    Scratch();
    ~Scratch();
    std::string path(const std::string &name) const { return dir + "/" + name; }
};

void reset_state();
void write_file(const std::string &path, const std::string &content, int mode = 0644);
std::string read_file(const std::string &path);
bool exists(const std::string &path);
// Points g_python at an executable shell script with this body.
void fake_installer(const Scratch &s, const std::string &body);
// Starts SDL with the offscreen driver, as the launcher starts, once per process.
void offscreen();
// Runs pump_build until the build output has ended, or fails after seconds.
bool pump_until_done(int seconds);
// Pixel of the last frame drawn, as 0xAARRGGBB.
uint32_t pixel(int x, int y);
// Pixel of a surface of 32 bits, 0 outside it.
uint32_t at(const SDL_Surface *s, int x, int y);
// Whether two pixels differ by at most levels in every channel (blending may
// round either way).
bool near(uint32_t a, uint32_t b, int levels);
// Runs the launcher in screenshot mode in a child, with the offscreen driver
// and untranslated texts: the screen of state (null: none named) written to
// path, for the data folder home. Its exit status, or -1.
int run_shot(const char *state, const char *path, const char *home = "/data/u");
// An image of screenshot mode as opaque ARGB8888, or null.
SDL_Surface *load_shot(const std::string &path);
// What a shell command writes to its standard output.
std::string command(const std::string &cmd);
// Number of processes whose process group is pgid.
int group_size(int pgid);
// Open descriptors of this process.
int open_fds();
// Environment variable for one test.
struct Env {
    std::string name;
    bool had;
    std::string old;
    Env(const char *n, const char *value);  // value null: unset
    ~Env();
};
