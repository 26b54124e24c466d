// Starting the built game, its log, and what its exit status means.
#include "game.h"

#include "../core/child.h"
#include "../core/core.h"

#include <SDL_syswm.h>
#include <X11/Xatom.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <sys/wait.h>
#include <unistd.h>

constexpr int EXIT_CRASHED = 3, EXIT_CANNOT_RUN = 127;

// ---- the window's place across the game ----

// A hidden window that SDL 2.26 shows again is mapped as a new one: the
// window manager forgets that it was maximised or full-screen and may put
// it anywhere. Its place is noted before it is hidden and given back.
static const char *const KEPT_STATES[] = {
    "_NET_WM_STATE_FULLSCREEN", "_NET_WM_STATE_MAXIMIZED_VERT", "_NET_WM_STATE_MAXIMIZED_HORZ"};

static struct {
    Atom held[std::size(KEPT_STATES)];  // those of the window manager's states it had
    int count;
    Uint32 flags;                       // SDL's, where the window is not on X11
    int x, y, w, h;                     // its place while neither maximised nor full-screen
} PLACE;

static bool x11(SDL_Window *window, Display **d, Window *w)
{
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (!SDL_GetWindowWMInfo(window, &info) || info.subsystem != SDL_SYSWM_X11)
        return false;
    *d = info.info.x11.display;
    *w = info.info.x11.window;
    return true;
}

static void note_place(SDL_Window *window)
{
    auto &p = PLACE;
    p.count = 0;
    p.flags = SDL_GetWindowFlags(window);
    SDL_GetWindowPosition(window, &p.x, &p.y);
    SDL_GetWindowSize(window, &p.w, &p.h);
    Display *d;
    Window w;
    if (!x11(window, &d, &w))
        return;
    Atom type;
    int format;
    unsigned long n = 0, after;
    unsigned char *data = nullptr;
    constexpr long STATES_MAX = 32;
    if (XGetWindowProperty(d, w, XInternAtom(d, "_NET_WM_STATE", False), 0, STATES_MAX, False, XA_ATOM,
                           &type, &format, &n, &after, &data) != Success || !data)
        return;
    if (type == XA_ATOM && format == 32) {
        const Atom *states = reinterpret_cast<const Atom *>(data);
        for (const char *name : KEPT_STATES) {
            Atom a = XInternAtom(d, name, False);
            for (unsigned long i = 0; i < n; i++)
                if (states[i] == a)
                    p.held[p.count++] = a;
        }
    }
    XFree(data);
}

static bool placed()
{
    return PLACE.count > 0 || (PLACE.flags & (SDL_WINDOW_MAXIMIZED | SDL_WINDOW_FULLSCREEN));
}

// Before the window is shown: a window manager takes the states a withdrawn
// window holds in _NET_WM_STATE when it maps it.
static void give_place(SDL_Window *window)
{
    Display *d;
    Window w;
    if (!placed()) {
        SDL_SetWindowSize(window, PLACE.w, PLACE.h);
        SDL_SetWindowPosition(window, PLACE.x, PLACE.y);
    } else if (x11(window, &d, &w)) {
        XChangeProperty(d, w, XInternAtom(d, "_NET_WM_STATE", False), XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char *>(PLACE.held), PLACE.count);
        XFlush(d);
    }
}

// After: elsewhere SDL's own flags are all there is.
static void show(SDL_Window *window)
{
    give_place(window);
    SDL_ShowWindow(window);
    Display *d;
    Window w;
    if (!x11(window, &d, &w) && (PLACE.flags & SDL_WINDOW_MAXIMIZED))
        SDL_MaximizeWindow(window);
}

// ---- the game ----

int game_argv(char *argv[64], char *exe, char *dir, int argc, char **args)
{
    int n = 0;
    argv[n++] = exe;
    argv[n++] = const_cast<char *>("--game");
    argv[n++] = dir;
    argv[n++] = const_cast<char *>("--run");
    for (int i = 1; i < argc && n < 4 + GAME_ARGS; i++)
        argv[n++] = args[i];
    argv[n] = nullptr;
    return n;
}

static int crashed(SDL_Window *window, const char *message)
{
    S.state = ST_CRASHED;
    snprintf(S.message, sizeof S.message, "%s", message);
    show(window);
    SDL_RaiseWindow(window);
    return 1;
}

int play(SDL_Window *window, int argc, char **argv)
{
    char exe[1200], dir[1200], log[1200], previous[1200];
    snprintf(exe, sizeof exe, "%s/build/host/orvl", g_home);
    snprintf(dir, sizeof dir, "%s/game", g_home);
    mkdirs();
    snprintf(log, sizeof log, "%s/orvl.log", g_logs);
    snprintf(previous, sizeof previous, "%s/orvl.1.log", g_logs);
    rename(log, previous);

    char *args[64];
    game_argv(args, exe, dir, argc, argv);
    char failure[1400];
    snprintf(failure, sizeof failure, "cannot run %.1023s: ", exe);
    // From a terminal the game writes to it; otherwise to its log.
    int out = isatty(2) ? -1 : open(log, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);

    note_place(window);
    SDL_HideWindow(window);
    SDL_PumpEvents();
    pid_t pid = spawn({args, nullptr, -1, out, out, false, failure, false});
    if (out >= 0)
        close(out);
    if (pid < 0)
        return crashed(window, _("The game could not start."));

    // Processes the game leaves behind come back to the launcher, which is a
    // subreaper; those that end while the game runs are reaped here.
    int status = 0;
    for (;;) {
        int st = 0;
        pid_t r = waitpid(-1, &st, 0);
        if (r == pid) {
            status = st;
            break;
        }
        if (r < 0 && errno != EINTR)
            break;
    }
    if (!WIFEXITED(status))
        return crashed(window, _("The game stopped unexpectedly."));
    if (WEXITSTATUS(status) == EXIT_CANNOT_RUN)
        return crashed(window, _("The game could not start."));
    if (WEXITSTATUS(status) == EXIT_CRASHED)
        return crashed(window, _("The game stopped unexpectedly."));
    return 0;
}
