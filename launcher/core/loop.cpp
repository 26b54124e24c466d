// Start-up, the main loop, input and the dispatch of actions.
#include "core.h"

#include "family.h"

#include "../desktop/desktop.h"
#include "../game/game.h"
#include "../installer/installer.h"
#include "../screens/screens.h"
#include "../speech/speech.h"

#include <csignal>
#include <poll.h>

SDL_Window *WIN;
SDL_Renderer *R;
TTF_Font *F_TITLE, *F_BODY, *F_SMALL, *F_BUTTON;

static const char *dirs[] = {
    nullptr,    // ORVL_FONTS, filled at each lookup
    "/usr/share/fonts/dejavu",
    "/usr/share/fonts/truetype/dejavu",
    "/usr/share/fonts/TTF",
    "/usr/share/fonts/dejavu-sans-fonts",
    nullptr,
};

constexpr int WAIT_WORKING_MS = 50, WAIT_IDLE_MS = 250;
constexpr int POLL_SLICE_MS = 10;   // how late an event may be seen while output is watched
constexpr int QUIT_GRACE_MS = 3000; // a build child's time to end after SIGTERM at quit
constexpr SDL_Keycode REPEAT_KEY = SDLK_F5;  // speaks the screen again; neither the desktop's nor a screen reader's

static bool job_moved;  // the build's output changed the state while the loop waited

// DejaVu Sans from ORVL_FONTS or the usual folders; else the face that
// fontconfig matches for it, which may be the desktop's sans-serif.
TTF_Font *font(int bold, int size)
{
    dirs[0] = env_or("ORVL_FONTS", "/usr/share/fonts/dejavu");
    const char *face = bold ? "DejaVuSans-Bold.ttf" : "DejaVuSans.ttf";
    char path[1100];
    for (const char **d = dirs; *d; d++) {
        snprintf(path, sizeof path, "%s/%s", *d, face);
        if (TTF_Font *f = TTF_OpenFont(path, size)) {
            keep_face(f, path, 0, size, bold);
            return f;
        }
    }
    int index = 0;
    bool embolden = false;
    if (!find_font(bold, 0, path, sizeof path, &index, &embolden))
        return nullptr;
    TTF_Font *f = TTF_OpenFontIndex(path, size, index);
    if (f) {
        if (embolden)
            TTF_SetFontStyle(f, TTF_STYLE_BOLD);
        keep_face(f, path, index, size, bold);
    }
    return f;
}

int die()
{
    fprintf(stderr, "launcher: %s\n", SDL_GetError());
    return 1;
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
    Uint32 flags = SDL_WINDOW_RESIZABLE | SDL_WINDOW_ALLOW_HIGHDPI | (shot ? SDL_WINDOW_HIDDEN : 0);
    WIN = SDL_CreateWindow("Orvandel", SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED,
                           CANVAS_W, CANVAS_H, flags);
    if (!WIN)
        return die();
    R = SDL_CreateRenderer(WIN, -1, shot ? SDL_RENDERER_SOFTWARE : SDL_RENDERER_PRESENTVSYNC);
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

int hit(int x, int y)
{
    for (int i = 0; i < NB; i++)
        if (x >= B[i].x && x < B[i].x + B[i].w && y >= B[i].y && y < B[i].y + B[i].h)
            return i;
    return -1;
}

int act(int action, int argc, char **argv)
{
    // A row drawn for an earlier state must not act on the new one:
    // a second "Download and Build" would start a second build child.
    if (action != ACT_QUIT && !offered(S.state, action))
        return 0;
    switch (action) {
    case ACT_PLAY:
        return play(WIN, argc, argv) == 0;
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

static void focus_next()
{
    if (FOCUS < NB - 1)
        FOCUS++;
}

static void focus_prev()
{
    if (FOCUS > 0)
        FOCUS--;
}

static int activate(int i, int argc, char **argv, bool *activated)
{
    if (i < 0 || i >= NB)
        return 0;
    *activated = true;
    return act(B[i].action, argc, argv);
}

// Handles one event; the result is non-zero when the launcher is to end.
int handle(const SDL_Event &e, int argc, char **argv, bool *activated)
{
    switch (e.type) {
    case SDL_QUIT:
        if (S.state == ST_WORKING)
            cancel_build();
        return 1;
    case SDL_KEYDOWN:
        switch (e.key.keysym.sym) {
        case SDLK_TAB:
        case SDLK_RIGHT:
        case SDLK_DOWN:
            focus_next();
            return 0;
        case SDLK_LEFT:
        case SDLK_UP:
            focus_prev();
            return 0;
        case SDLK_RETURN:
        case SDLK_SPACE:
        case SDLK_KP_ENTER:
            return activate(FOCUS, argc, argv, activated);
        case SDLK_ESCAPE:
            if (S.state != ST_WORKING)
                return 1;
            cancel_build();
            return 0;
        case REPEAT_KEY:
            speech_repeat();
            return 0;
        }
        return 0;
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
        return activate(i, argc, argv, activated);
    }
    case SDL_CONTROLLERBUTTONDOWN:
        switch (e.cbutton.button) {
        case SDL_CONTROLLER_BUTTON_A:
        case SDL_CONTROLLER_BUTTON_START:
            return activate(FOCUS, argc, argv, activated);
        case SDL_CONTROLLER_BUTTON_B:
            if (S.state == ST_WORKING)
                cancel_build();
            return 0;
        case SDL_CONTROLLER_BUTTON_DPAD_UP:
        case SDL_CONTROLLER_BUTTON_DPAD_LEFT:
            focus_prev();
            return 0;
        case SDL_CONTROLLER_BUTTON_DPAD_DOWN:
        case SDL_CONTROLLER_BUTTON_DPAD_RIGHT:
            focus_next();
            return 0;
        }
        return 0;
    case SDL_CONTROLLERDEVICEADDED:
        SDL_GameControllerOpen(e.cdevice.which);
        return 0;
    }
    return 0;
}

// Waits for an event as SDL_WaitEventTimeout does. While build output is
// open it also watches the pipe and takes in what arrives, so that a fast
// writer is never left blocked on a full pipe until the next pass.
static int wait_event(SDL_Event *e, int timeout)
{
    if (S.fd < 0)
        return SDL_WaitEventTimeout(e, timeout);
    Uint32 begin = SDL_GetTicks();
    for (;;) {
        if (SDL_PollEvent(e))
            return 1;
        int left = timeout - (int)(SDL_GetTicks() - begin);
        if (left <= 0)
            return 0;
        struct pollfd p = {S.fd, POLLIN, 0};
        if (poll(&p, 1, pump_pending() ? 0 : SDL_min(left, POLL_SLICE_MS)) <= 0)
            continue;
        int before = S.state;
        bool ended = pump_quick();
        if (S.state != before)
            job_moved = true;
        if (ended)
            return 0;
    }
}

void end_pass()
{
    int noted = S.state;
    pump_build();
    if (S.state != noted || job_moved)
        FOCUS = FOCUS_DEFAULT;
    job_moved = false;
    reap_adopted(S.pid);
    answer_peers();
    draw();
    SDL_RenderPresent(R);
}

// Tells the desktop what the pass did to the build, begun in state before.
static void follow_build(int before)
{
    desktop_hold(S.pid > 0);
    desktop_progress(S.state == ST_WORKING, S.progress);
    // A cancelled build can pass through the failed state on its way out.
    if (before == ST_WORKING && !S.cancelled && (S.state == ST_READY || S.state == ST_FAILED))
        desktop_done(S.state == ST_READY ? _("Orvandel is ready to play") : S.message);
    desktop_pass();
}

int run(int argc, char **argv)
{
    resolve_paths();
    language(nullptr);
    const char *shot_path = getenv("ORVL_LAUNCHER_SHOT");
    if (!shot_path) {
        if (claim_home())
            return 0;
        supervise();
    }
    if (startup(shot_path != nullptr))
        return 1;
    if (shot_path)
        return shot(shot_path);
    desktop_open();
    draw();
    SDL_RenderPresent(R);
    check_status();
    FOCUS = FOCUS_DEFAULT;

    SDL_Event e;
    int leave = 0;
    while (!leave) {
        int before = S.state;
        bool activated = false;
        if (wait_event(&e, S.state == ST_WORKING ? WAIT_WORKING_MS : WAIT_IDLE_MS)) {
            // An activation ends the batch: what is queued behind it meets
            // the row of the new state, laid out by this pass's redraw.
            leave = handle(e, argc, argv, &activated);
            while (!leave && !activated && SDL_PollEvent(&e))
                leave = handle(e, argc, argv, &activated);
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
