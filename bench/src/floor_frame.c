/* The floor program: a minimal SDL2 + SDL2_ttf program that draws the
 * launcher's kind of frame with the same renderer settings.
 *
 * FLOOR_SHOT=path   draws one frame of FLOOR_STATE (default "working") with the
 *                   software renderer into a hidden window and writes it to a
 *                   960x600 BMP, like the launcher's screenshot mode.
 * otherwise         opens a shown window "Floor" with renderer index -1 and
 *                   PRESENTVSYNC and redraws FLOOR_STATE (default "ready")
 *                   every FLOOR_PERIOD_MS (default 250) until Escape or a
 *                   window close. With FLOOR_STATUS=program it first presents
 *                   the checking screen and runs "program --status" to its
 *                   end, as the launcher's start-up does.
 *                   With FLOOR_CHILD=program, Return on the set-up screen runs
 *                   "program --download" (ORVL_PGROUP=1) with its output on a
 *                   non-blocking pipe that is drained, logged to FLOOR_LOG and
 *                   parsed between frames (every 50 ms while it runs), and
 *                   the display connection is watched beside it; Escape
 *                   sends SIGTERM to its group. Its end shows the ready screen
 *                   (the set-up screen after a cancel). */
#define _GNU_SOURCE
#include "floor_draw.h"
#include "floor_parse.h"

#include <SDL_syswm.h>
#include <X11/Xlib.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

static int die(void)
{
    fprintf(stderr, "floor: %s\n", SDL_GetError());
    return 1;
}

static const char *env(const char *name, const char *fallback)
{
    const char *v = getenv(name);
    return v && *v ? v : fallback;
}

static void status_query(const char *program)
{
    int p[2];
    if (pipe(p) != 0)
        return;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(p[1], 1);
        close(p[0]);
        close(p[1]);
        execl(program, program, "--status", (char *)NULL);
        _exit(127);
    }
    close(p[1]);
    char buf[4096];
    while (read(p[0], buf, sizeof buf) > 0) {
    }
    close(p[0]);
    if (pid > 0)
        waitpid(pid, NULL, 0);
}

int main(void)
{
    const char *shot = getenv("FLOOR_SHOT");
    SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    if (SDL_Init(SDL_INIT_VIDEO) != 0 || TTF_Init() != 0)
        return die();
    SDL_Window *w = SDL_CreateWindow("Floor", SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, 960, 600,
                                     shot ? SDL_WINDOW_HIDDEN : 0);
    if (!w)
        return die();
    SDL_Renderer *r = SDL_CreateRenderer(w, -1, shot ? SDL_RENDERER_SOFTWARE : SDL_RENDERER_PRESENTVSYNC);
    if (!r)
        return die();
    SDL_RenderSetLogicalSize(r, 960, 600);
    SDL_SetRenderDrawBlendMode(r, SDL_BLENDMODE_BLEND);
    struct floor_frame f = {r, NULL, NULL, NULL, NULL, "/root/.local/share/orvandel/logs"};
    if (floor_open_fonts(&f) != 0)
        fprintf(stderr, "floor: a DejaVu Sans face is missing\n");

    if (shot) {
        floor_draw(&f, floor_screen(env("FLOOR_STATE", "working")));
        SDL_Surface *s = SDL_CreateRGBSurfaceWithFormat(0, 960, 600, 32, SDL_PIXELFORMAT_ARGB8888);
        if (!s)
            return die();
        SDL_RenderReadPixels(r, NULL, SDL_PIXELFORMAT_ARGB8888, s->pixels, s->pitch);
        int saved = SDL_SaveBMP_RW(s, SDL_RWFromFile(shot, "wb"), 1);
        SDL_FreeSurface(s);
        return saved == 0 ? 0 : 1;
    }

    int screen = floor_screen(env("FLOOR_STATE", "ready"));
    int period = atoi(env("FLOOR_PERIOD_MS", "250"));
    const char *status = getenv("FLOOR_STATUS");
    if (status && *status) {
        floor_draw(&f, FLOOR_CHECKING);
        SDL_RenderPresent(r);
        status_query(status);
    }
    int xfd = -1;
    SDL_SysWMinfo wm;
    SDL_VERSION(&wm.version);
    if (SDL_GetWindowWMInfo(w, &wm) && wm.subsystem == SDL_SYSWM_X11)
        xfd = ConnectionNumber(wm.info.x11.display);
    const char *child = getenv("FLOOR_CHILD");
    if (child && *child)
        screen = FLOOR_SETUP;
    int leave = 0, cancelled = 0, fd = -1, idle_period = period;
    pid_t pid = 0;
    FILE *log = NULL;
    static struct floor_progress pr;
    Uint32 last = 0;
    int redraw = 1;
    SDL_Event e;
    while (!leave) {
        Uint32 now = SDL_GetTicks();
        if (redraw || now - last >= (Uint32)period) {
            floor_draw(&f, screen);
            SDL_RenderPresent(r);
            last = SDL_GetTicks();
            redraw = 0;
        }
        int got = 0, left = period - (int)(SDL_GetTicks() - last);
        if (left < 0)
            left = 0;
        if (fd < 0) {
            got = SDL_WaitEventTimeout(&e, left);
        } else {
            got = SDL_PollEvent(&e);
            if (!got) {
                /* Sleeps until output, input or the next frame; without a
                 * display connection to watch, in slices of 10 ms. */
                struct pollfd p[2] = {{fd, POLLIN, 0}, {xfd, POLLIN, 0}};
                int ready = poll(p, xfd >= 0 ? 2 : 1, xfd >= 0 ? left : left < 10 ? left : 10);
                if (ready > 0 && (p[0].revents & (POLLIN | POLLHUP))) {
                    char buf[4096];
                    ssize_t n;
                    size_t total = 0;
                    while (total < (1u << 20) && (n = read(fd, buf, sizeof buf)) > 0) {
                        if (log) {
                            fwrite(buf, 1, (size_t)n, log);
                            fflush(log);
                        }
                        floor_feed(&pr, buf, (size_t)n);
                        total += (size_t)n;
                    }
                    if (n == 0) {
                        close(fd);
                        fd = -1;
                        waitpid(pid, NULL, 0);
                        pid = 0;
                        if (log)
                            fclose(log);
                        log = NULL;
                        screen = cancelled ? FLOOR_SETUP : FLOOR_READY;
                        period = idle_period;
                        redraw = 1;
                    }
                }
            }
        }
        for (; got; got = SDL_PollEvent(&e)) {
            if (e.type == SDL_QUIT) {
                leave = 1;
            } else if (e.type == SDL_KEYDOWN && e.key.keysym.sym == SDLK_ESCAPE) {
                if (fd >= 0) {
                    cancelled = 1;
                    kill(-pid, SIGTERM);
                } else {
                    leave = 1;
                }
            } else if (e.type == SDL_KEYDOWN && e.key.keysym.sym == SDLK_RETURN && child && *child &&
                       screen == FLOOR_SETUP && fd < 0) {
                int p[2];
                if (pipe(p) != 0)
                    continue;
                const char *lp = getenv("FLOOR_LOG");
                log = lp && *lp ? fopen(lp, "w") : NULL;
                setenv("ORVL_PGROUP", "1", 1);  /* before the fork: other threads may hold the heap */
                pid = fork();
                if (pid == 0) {
                    dup2(p[1], 1);
                    dup2(p[1], 2);
                    close(p[0]);
                    close(p[1]);
                    execl(child, child, "--download", (char *)NULL);
                    _exit(127);
                }
                close(p[1]);
                fd = p[0];
                fcntl(fd, F_SETFL, O_NONBLOCK);
                floor_progress_init(&pr);
                cancelled = 0;
                screen = FLOOR_WORKING;
                period = 50;
                redraw = 1;
            }
        }
    }
    TTF_Quit();
    SDL_Quit();
    return 0;
}
