// Start-up, the main loop, input and the dispatch of actions.
#include "app.h"

#include "../core/core.h"
#include "../core/family.h"
#include "../desktop/desktop.h"
#include "../game/game.h"
#include "../installer/installer.h"
#include "../screens/screens.h"
#include "../speech/speech.h"

#include <csignal>
#include <poll.h>

constexpr int WAIT_WORKING_MS = 50, WAIT_IDLE_MS = 250;
constexpr int POLL_SLICE_MS = 10;   // how late an event may be seen while output is watched
constexpr int QUIT_GRACE_MS = 3000; // a build child's time to end after SIGTERM at quit

static bool JOB_MOVED;      // the build's output changed the state while the loop waited
static int ARGC;            // the launcher's own arguments, passed on to the game
static char **ARGV;

int die()
{
    fprintf(stderr, "launcher: %s\n", SDL_GetError());
    return 1;
}

// The icon the desktop entry names, for the taskbars and switchers that
// show a window's own: beside the program in a build folder, else where the
// install rules put it.
static void window_icon()
{
    static const char *const PLACES[] = {"%s/org.orvandel.launcher.bmp",
                                         "%s/../share/icons/hicolor/128x128/apps/org.orvandel.launcher.bmp"};
    char dir[1024], path[1200];
    program_dir(dir, sizeof dir);
    for (const char *place : PLACES) {
        snprintf(path, sizeof path, place, dir);
        if (SDL_Surface *icon = SDL_LoadBMP(path)) {
            SDL_SetWindowIcon(WIN, icon);
            SDL_FreeSurface(icon);
            return;
        }
    }
}

int startup(bool shot)
{
    signal(SIGPIPE, SIG_IGN);
    SDL_SetHint("SDL_VIDEO_X11_NET_WM_BYPASS_COMPOSITOR", "0");
    // Without this SDL backs the software renderer's window with an OpenGL
    // texture: about 90 MiB and a slower start for byte-identical pixels.
    SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    // The display's power saving is the desktop's: SDL would keep the
    // screen awake for as long as the window is open.
    SDL_SetHint(SDL_HINT_VIDEO_ALLOW_SCREENSAVER, "1");
    if (SDL_Init(SDL_INIT_VIDEO | SDL_INIT_GAMECONTROLLER) != 0)
        return die();
    if (TTF_Init() != 0)
        return die();
    // Asked before the window is made, so that it opens ready to be drawn.
    bool soft = !shot && probed_software();
    Uint32 flags = SDL_WINDOW_RESIZABLE | SDL_WINDOW_ALLOW_HIGHDPI | (shot ? SDL_WINDOW_HIDDEN : 0);
    WIN = SDL_CreateWindow("Orvandel", SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED,
                           CANVAS_W, CANVAS_H, flags);
    if (!WIN)
        return die();
    window_icon();
    if (soft)
        R = SDL_CreateRenderer(WIN, -1, SDL_RENDERER_SOFTWARE);
    if (!R)
        R = SDL_CreateRenderer(WIN, -1, shot ? SDL_RENDERER_SOFTWARE : SDL_RENDERER_PRESENTVSYNC);
    if (R && !shot)
        cheap_renderer();
    if (!R)
        R = SDL_CreateRenderer(WIN, -1, SDL_RENDERER_SOFTWARE);
    if (!R)
        return die();
    SDL_RenderSetLogicalSize(R, CANVAS_W, CANVAS_H);
    SDL_SetRenderDrawBlendMode(R, SDL_BLENDMODE_BLEND);
    F_TITLE = font(1, 36);
    F_BODY = font(0, 24);
    F_SMALL = font(0, 16);
    F_BUTTON = font(1, 24);
    if (!F_BODY)
        fputs(_("launcher: no DejaVu Sans font found; text will be missing\n"), stderr);
    return 0;
}

void keep_args(int argc, char **argv)
{
    ARGC = argc;
    ARGV = argv;
}

int act(int action)
{
    // A row drawn for an earlier state must not act on the new one:
    // a second "Download and Build" would start a second build child.
    if (action != ACT_QUIT && !offered(S.state, action))
        return 0;
    switch (action) {
    case ACT_PLAY: {
        int ended = play(WIN, ARGC, ARGV) == 0;
        redraw_soon();      // back from the game: the window is drawn anew
        return ended;
    }
    case ACT_BUILD:
    case ACT_RETRY:
        start_build();
        return 0;
    case ACT_CANCEL:
        cancel_build();
        return 0;
    case ACT_QUIT:
        return 1;
    default:
        return 0;
    }
}

// ---- input ----

enum Intent {
    NEXT,       // focus the next button
    PREVIOUS,   // focus the previous button
    PRESS,      // press the focused button
    BACK,       // cancel a running build, else leave
    CANCEL,     // cancel a running build, else nothing
    SPEAK,      // speak the whole screen again
};

struct Binding {
    Uint32 type;    // SDL_KEYDOWN or SDL_CONTROLLERBUTTONDOWN
    int code;       // the key code (modifiers are not looked at) or the controller button
    Intent intent;
};

static const Binding BINDINGS[] = {
    {SDL_KEYDOWN, SDLK_TAB, NEXT},
    {SDL_KEYDOWN, SDLK_RIGHT, NEXT},
    {SDL_KEYDOWN, SDLK_DOWN, NEXT},
    {SDL_KEYDOWN, SDLK_LEFT, PREVIOUS},
    {SDL_KEYDOWN, SDLK_UP, PREVIOUS},
    {SDL_KEYDOWN, SDLK_RETURN, PRESS},
    {SDL_KEYDOWN, SDLK_SPACE, PRESS},
    {SDL_KEYDOWN, SDLK_KP_ENTER, PRESS},
    {SDL_KEYDOWN, SDLK_ESCAPE, BACK},
    {SDL_KEYDOWN, SDLK_F5, SPEAK},     // bound by neither the desktops nor the screen readers
    {SDL_CONTROLLERBUTTONDOWN, SDL_CONTROLLER_BUTTON_A, PRESS},
    {SDL_CONTROLLERBUTTONDOWN, SDL_CONTROLLER_BUTTON_START, PRESS},
    {SDL_CONTROLLERBUTTONDOWN, SDL_CONTROLLER_BUTTON_B, CANCEL},
    {SDL_CONTROLLERBUTTONDOWN, SDL_CONTROLLER_BUTTON_DPAD_UP, PREVIOUS},
    {SDL_CONTROLLERBUTTONDOWN, SDL_CONTROLLER_BUTTON_DPAD_LEFT, PREVIOUS},
    {SDL_CONTROLLERBUTTONDOWN, SDL_CONTROLLER_BUTTON_DPAD_DOWN, NEXT},
    {SDL_CONTROLLERBUTTONDOWN, SDL_CONTROLLER_BUTTON_DPAD_RIGHT, NEXT},
};

static int activate(int i, bool *activated)
{
    if (i < 0 || i >= NB)
        return 0;
    *activated = true;
    return act(B[i].action);
}

// Carries out an intent; the result is non-zero when the launcher is to end.
static int follow(Intent intent, bool *activated)
{
    switch (intent) {
    case NEXT:
        if (FOCUS < NB - 1)
            FOCUS++;
        return 0;
    case PREVIOUS:
        if (FOCUS > 0)
            FOCUS--;
        return 0;
    case PRESS:
        return activate(FOCUS, activated);
    case BACK:
    case CANCEL:
        if (S.state != ST_WORKING)
            return intent == BACK;
        cancel_build();
        return 0;
    case SPEAK:
        speech_repeat();
        return 0;
    }
    return 0;
}

int handle(const SDL_Event &e, bool *activated)
{
    switch (e.type) {
    case SDL_QUIT:
        if (S.state == ST_WORKING)
            cancel_build();
        return 1;
    case SDL_KEYDOWN:
    case SDL_CONTROLLERBUTTONDOWN: {
        int code = e.type == SDL_KEYDOWN ? e.key.keysym.sym : e.cbutton.button;
        // A held key repeats: it may go on moving the focus, but only a new
        // press presses, cancels or leaves.
        bool held = e.type == SDL_KEYDOWN && e.key.repeat;
        for (const Binding &b : BINDINGS)
            if (b.type == e.type && b.code == code && (!held || b.intent == NEXT || b.intent == PREVIOUS))
                return follow(b.intent, activated);
        return 0;
    }
    case SDL_MOUSEMOTION: {
        int i = hit(e.motion.x, e.motion.y);
        if (i >= 0)
            FOCUS = i;
        return 0;
    }
    case SDL_MOUSEBUTTONUP: {
        if (e.button.button != SDL_BUTTON_LEFT)
            return 0;
        int i = hit(e.button.x, e.button.y);
        if (i < 0)
            return 0;
        FOCUS = i;
        return activate(i, activated);
    }
    case SDL_CONTROLLERDEVICEADDED:
        SDL_GameControllerOpen(e.cdevice.which);
        return 0;
    case SDL_WINDOWEVENT:
        switch (e.window.event) {
        case SDL_WINDOWEVENT_SHOWN:
        case SDL_WINDOWEVENT_EXPOSED:
        case SDL_WINDOWEVENT_RESTORED:
        case SDL_WINDOWEVENT_SIZE_CHANGED:
            redraw_soon();
        }
        return 0;
    }
    return 0;
}

// ---- the loop ----

// Waits for an event as SDL_WaitEventTimeout does. While build output is
// open it also watches the pipe and takes in what arrives, so that a fast
// writer is never left blocked on a full pipe until the next pass.
static int wait_event(SDL_Event *e, int timeout)
{
    int x = display_fd();
    if (S.fd < 0 && x < 0)
        return SDL_WaitEventTimeout(e, timeout);
    Uint32 begin = SDL_GetTicks();
    bool events = true;     // SDL may have events to give
    for (;;) {
        if (events && SDL_PollEvent(e))
            return 1;
        int left = timeout - (int)(SDL_GetTicks() - begin);
        if (left <= 0)
            return 0;
        // The X server's connection beside the output: input wakes the
        // wait at once, with no slices. SDL has just taken in what Xlib held,
        // so while the connection stays quiet there is nothing to ask SDL.
        struct pollfd p[2] = {{S.fd, POLLIN, 0}, {x, POLLIN, 0}};
        int slice = x < 0 ? SDL_min(left, POLL_SLICE_MS) : left;
        bool pending = pump_pending();
        int n = poll(p, 2, pending ? 0 : slice);
        if (n == 0 && !pending && slice == left)
            return 0;   // the whole wait has passed; the next one starts by asking SDL
        events = x < 0 || p[1].revents;
        if (n <= 0 || !(p[0].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        int before = S.state;
        bool ended = pump_quick();
        if (S.state != before)
            JOB_MOVED = true;
        if (ended)
            return 0;
    }
}

void end_pass()
{
    int noted = S.state;
    pump_build();
    if (S.state != noted || JOB_MOVED)
        FOCUS = FOCUS_DEFAULT;
    JOB_MOVED = false;
    reap_adopted(S.pid);
    answer_peers();
    redraw();
}

// Tells the desktop what the pass did to the build, begun in state before.
static void follow_build(int before)
{
    static pid_t scoped;    // the build child last given to the service manager
    if (S.pid > 0 && S.pid != scoped && build_yields())
        desktop_scope(S.pid);
    scoped = S.pid;
    desktop_hold(S.pid > 0);
    desktop_progress(S.state == ST_WORKING, S.progress);
    // A cancelled build can pass through the failed state on its way out.
    if (before == ST_WORKING && !S.cancelled && (S.state == ST_READY || S.state == ST_FAILED))
        desktop_done(S.state == ST_READY ? _("Orvandel is ready to play") : S.message);
    desktop_pass();
}

int run(int argc, char **argv)
{
    if (getenv("ORVL_GL_PROBE"))
        return gl_probe();
    keep_args(argc, argv);
    resolve_paths();
    language(nullptr);
    const char *shot_path = getenv("ORVL_LAUNCHER_SHOT");
    if (!shot_path) {
        if (claim_home())
            return 0;
        supervise();
        start_gl_probe();
    }
    if (startup(shot_path != nullptr))
        return 1;
    if (shot_path)
        return shot(shot_path);
    desktop_open();
    redraw();
    check_status(answer_peers);    // a second launcher started meanwhile is answered
    FOCUS = FOCUS_DEFAULT;

    SDL_Event e;
    int leave = 0;
    while (!leave) {
        int before = S.state;
        bool activated = false;
        if (wait_event(&e, wait_ms(S.state == ST_WORKING ? WAIT_WORKING_MS : WAIT_IDLE_MS))) {
            // An activation ends the batch: what is queued behind it meets
            // the row of the new state, laid out by this pass's redraw.
            leave = handle(e, &activated);
            while (!leave && !activated && SDL_PollEvent(&e))
                leave = handle(e, &activated);
        }
        // SIGHUP, SIGINT and SIGTERM leave as the window's close button does.
        if (QUIT_SIGNAL)
            leave = 1;
        end_pass();
        follow_build(before);
        speech_on(desktop_screen_reader());
        speech_pass(activated);
    }
    if (S.pid > 0)
        stop_build(QUIT_GRACE_MS);
    reap_adopted(0);
    speech_close();
    desktop_close();
    TTF_Quit();
    SDL_Quit();
    return 0;
}
