// The launcher's shared records, its paths and translations: what every
// folder of the program may use. Nothing here calls up into the rest.
#pragma once

#include <SDL.h>
#include <SDL_ttf.h>
#include <libintl.h>
#include <sys/types.h>
#include <cstddef>
#include <cstdint>
#include <cstdio>

enum {
    ST_CHECKING,  // the status query has not finished
    ST_SETUP,     // never built: offer to download and build
    ST_UPDATE,    // built but outdated: offer to build again
    ST_WORKING,   // the download-and-build child runs
    ST_FAILED,    // the installer or the build failed; message says why
    ST_READY,     // ready to play
    ST_CRASHED,   // the game could not start or stopped unexpectedly
};

enum {
    ACT_PLAY = 1,
    ACT_BUILD,
    ACT_CANCEL,
    ACT_RETRY,
    ACT_QUIT,
};

struct LauncherState {
    int32_t state;          // one of ST_*
    char message[512];      // failure or crash text
    char step_label[160];   // label of the current build step
    int32_t step;           // number of the current build step
    int32_t steps;          // total build steps; 0 shows the label alone
    double progress;        // fraction done; negative means indeterminate
    char detail[256];       // last ordinary output line of the build
    uint32_t started;       // SDL_GetTicks() at the build start
    pid_t pid;              // build child, or not above 0 for none
    int32_t fd;             // non-blocking read end of its output, or -1
    char line[8192];        // output line being assembled
    size_t line_len;        // bytes held in line
    FILE *log;              // open install.log, or none
    int32_t cancelled;      // the user cancelled the running build
    int32_t needs_disc;     // set up from scratch rather than update
    char left[128];         // the time-left line of the working screen, or empty
};

struct Button {
    const char *label;      // static literal or its translation, never copied
    int32_t action;         // ACT_*
    int32_t x, y, w, h;     // face rectangle in logical pixels
};

constexpr LauncherState S_INITIAL = {
    ST_CHECKING, "", "", 0, 0, -1.0, "", 0, 0, -1, "", 0, nullptr, 0, 0, "",
};

// The launcher's own texts in the player's language (catalogs under po/);
// N_ marks a text in a table, translated where it is drawn.
#define _(s) gettext(s)
#define N_(s) s

constexpr int FOCUS_DEFAULT = 99;   // "the rightmost button", clamped by the layout

extern LauncherState S;
extern Button B[3];
extern int32_t NB;          // buttons of B in use
extern int32_t FOCUS;       // index of the focused button

extern char g_share[1024];  // read-only share tree holding the installer
extern char g_python[1024]; // interpreter that runs the installer
extern char g_home[1024];   // per-user data: build destination, game home
extern char g_logs[1100];   // g_home + "/logs"

extern SDL_Window *WIN;
extern SDL_Renderer *R;
extern TTF_Font *F_TITLE, *F_BODY, *F_SMALL, *F_BUTTON;

// paths.cpp
const char *env_or(const char *name, const char *fallback);
void resolve_paths();
void mkdir_all(const char *dir);        // dir and its missing parents; errors ignored
void mkdirs();
void language(const char *catalogs);   // catalogs: null finds them beside the program
void program_dir(char *out, size_t size);   // the running program's folder, or ""

// words.cpp: the screens' words, shown and spoken
const char *screen_title();             // of S's screen
const char *title_of(int state, int needs_disc);
const char *screen_text(int state);     // the fixed text of a state's screen, or ""
void step_words(char *out, size_t size);    // the working screen's step line
void step_line(char *out, size_t size, int cancelled, int step, int steps, const char *label);  // the same, of these
void ready_words(char *out, size_t size);   // the ready screen's line, with the version
void logs_words(char *out, size_t size);    // where the logs are, under a failure

// utf8.cpp
constexpr uint32_t REPLACEMENT = 0xfffd;
// The character at s (len bytes) as SDL2_ttf decodes UTF-8, and its length
// in *n: a broken sequence is one REPLACEMENT.
uint32_t utf8_next(const char *s, int len, int *n);
// How many of the len bytes of s end at a whole character: a sequence that
// the end cuts short is left out. A cut to max bytes is utf8_whole(s, max).
int utf8_whole(const char *s, int len);
// s as text to show or say, in at most size bytes with its NUL: valid UTF-8
// (a broken sequence one REPLACEMENT, one cut short at the end dropped),
// without escape sequences, control characters or DEL, cut at a whole
// character. fold: every run of white space one space, none at the ends
// (for speech); else line feeds stay and other white space is a space each.
void clean_text(char *out, size_t size, const char *s, bool fold);

template <typename T>
bool among(T v, const T *set, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (set[i] == v)
            return true;
    return false;
}
