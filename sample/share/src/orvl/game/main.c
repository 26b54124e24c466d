/*
 * orvl: the sample game.  Started as
 *
 *     orvl --game DIR --run [ARGS...]
 *
 * it opens a window and animates the translated code blocks until Escape or
 * the close button (exit status 0).  Among ARGS, for trying out a front-end:
 *   --crash             exit with status 3 after a second
 *   --signal            end by SIGSEGV after a second
 *   --exit N            exit with status N after a second
 *   --quit-after SECS   exit with status 0 after SECS seconds
 * Other ARGS are listed and passed over.  When ORVL_GAME_ARGS_FILE names a
 * file, the arguments (argv[1] on) are written to it, one per line.
 */
#define _POSIX_C_SOURCE 200809L
#define SDL_MAIN_HANDLED
#include <SDL.h>

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

#include "recomp.h"

#define WIDTH 640
#define HEIGHT 400
#define FAULT_DELAY_MS 1000

static unsigned char palette[16][3] = {
    {12, 20, 34},   {26, 42, 66},   {44, 70, 104},  {70, 110, 150},
    {245, 178, 42}, {230, 120, 40}, {200, 70, 50},  {150, 40, 70},
    {60, 140, 90},  {100, 180, 110}, {160, 210, 130}, {220, 230, 170},
    {240, 240, 230}, {180, 180, 190}, {110, 110, 130}, {60, 60, 80},
};

enum fault { FAULT_NONE, FAULT_CRASH, FAULT_SIGNAL, FAULT_EXIT };

struct options {
    const char *game_dir;
    enum fault fault;
    int exit_status;
    double quit_after; /* seconds; below 0 means never */
};

static void write_args_file(int argc, char **argv)
{
    const char *path = getenv("ORVL_GAME_ARGS_FILE");
    if (!path || !*path)
        return;
    FILE *f = fopen(path, "w");
    if (!f) {
        printf("orvl: cannot write the argument file %s\n", path);
        return;
    }
    for (int i = 1; i < argc; i++)
        fprintf(f, "%s\n", argv[i]);
    fclose(f);
}

/* Returns 0 when the command line is usable. */
static int parse(int argc, char **argv, struct options *o)
{
    int i = 1, run = 0;
    o->game_dir = NULL;
    o->fault = FAULT_NONE;
    o->exit_status = 0;
    o->quit_after = -1.0;

    while (i < argc && !run) {
        if (strcmp(argv[i], "--game") == 0 && i + 1 < argc) {
            o->game_dir = argv[i + 1];
            i += 2;
        } else if (strcmp(argv[i], "--run") == 0) {
            run = 1;
            i++;
        } else {
            fprintf(stderr, "orvl: unknown option %s\n", argv[i]);
            return -1;
        }
    }
    if (!o->game_dir || !run)
        return -1;

    for (; i < argc; i++) {
        printf("orvl: argument %s\n", argv[i]);
        if (strcmp(argv[i], "--crash") == 0) {
            o->fault = FAULT_CRASH;
        } else if (strcmp(argv[i], "--signal") == 0) {
            o->fault = FAULT_SIGNAL;
        } else if (strcmp(argv[i], "--exit") == 0 && i + 1 < argc) {
            o->fault = FAULT_EXIT;
            o->exit_status = atoi(argv[++i]);
            printf("orvl: argument %s\n", argv[i]);
        } else if (strcmp(argv[i], "--quit-after") == 0 && i + 1 < argc) {
            o->quit_after = strtod(argv[++i], NULL);
            printf("orvl: argument %s\n", argv[i]);
        }
    }
    return 0;
}

static void load_palette(const char *game_dir)
{
    char path[4096];
    snprintf(path, sizeof path, "%s/DATA/PALETTE.BIN", game_dir);
    FILE *f = fopen(path, "rb");
    if (!f) {
        printf("orvl: no palette at %s, using the built-in one\n", path);
        return;
    }
    unsigned char data[sizeof palette];
    if (fread(data, 1, sizeof data, f) == sizeof data)
        memcpy(palette, data, sizeof data);
    else
        printf("orvl: the palette at %s is short, using the built-in one\n", path);
    fclose(f);
}

static void set_colour(SDL_Renderer *r, int index)
{
    const unsigned char *c = palette[index & 15];
    SDL_SetRenderDrawColor(r, c[0], c[1], c[2], 255);
}

static void draw(SDL_Renderer *r, Uint32 frame, SDL_Rect *box, int *dx, int *dy)
{
    /* Bands of two colours whose boundary sweeps down the window. */
    int edge = (int)(frame * 2 % (HEIGHT + 80)) - 40;
    for (int y = 0; y < HEIGHT; y += 8) {
        SDL_Rect band = {0, y, WIDTH, 8};
        set_colour(r, y < edge ? 1 : 0);
        SDL_RenderFillRect(r, &band);
    }

    /* One bar per translated block: what the block computes sets its height. */
    int n = orvl_block_count;
    int slot = WIDTH / n;
    int left = (WIDTH - slot * n) / 2;
    for (int i = 0; i < n; i++) {
        uint32_t v = orvl_blocks[i](frame / 8, (uint32_t)i);
        int h = 20 + (int)(v % 120);
        SDL_Rect bar = {left + i * slot + 1, HEIGHT - h, slot > 2 ? slot - 2 : 1, h};
        set_colour(r, 8 + (int)((v >> 8) % 4));
        SDL_RenderFillRect(r, &bar);
    }

    box->x += *dx;
    box->y += *dy;
    if (box->x < 0 || box->x + box->w > WIDTH)
        *dx = -*dx;
    if (box->y < 0 || box->y + box->h > HEIGHT)
        *dy = -*dy;
    set_colour(r, 4 + (int)(frame / 60 % 4));
    SDL_RenderFillRect(r, box);
}

static void crash_by_signal(void)
{
    /* No core file: the crash is asked for, not worth keeping. */
    struct rlimit none = {0, 0};
    setrlimit(RLIMIT_CORE, &none);
    signal(SIGSEGV, SIG_DFL);
    raise(SIGSEGV);
}

int main(int argc, char **argv)
{
    struct options o;
    write_args_file(argc, argv);
    printf("orvl: version %s\n", ORVL_VERSION);
    if (parse(argc, argv, &o) != 0) {
        fprintf(stderr, "usage: orvl --game DIR --run [ARGS...]\n");
        return 2;
    }
    printf("orvl: game dir %s\n", o.game_dir);
    printf("orvl: %d translated code blocks\n", orvl_block_count);
    load_palette(o.game_dir);
    fflush(stdout);

    SDL_SetMainReady();
    /* Software drawing straight to the window, without a GL texture behind it. */
    SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    if (SDL_Init(SDL_INIT_VIDEO) != 0) {
        fprintf(stderr, "orvl: cannot start SDL: %s\n", SDL_GetError());
        return 127;
    }
    SDL_Window *win = SDL_CreateWindow("Orvandel (sample)", SDL_WINDOWPOS_CENTERED,
                                       SDL_WINDOWPOS_CENTERED, WIDTH, HEIGHT, 0);
    SDL_Renderer *r = win ? SDL_CreateRenderer(win, -1, SDL_RENDERER_SOFTWARE) : NULL;
    if (!r) {
        fprintf(stderr, "orvl: cannot open the window: %s\n", SDL_GetError());
        SDL_Quit();
        return 127;
    }
    printf("orvl: started\n");
    fflush(stdout);

    Uint32 start = SDL_GetTicks();
    SDL_Rect box = {40, 40, 96, 60};
    int dx = 3, dy = 2, status = 0, running = 1;
    for (Uint32 frame = 0; running; frame++) {
        SDL_Event e;
        while (SDL_PollEvent(&e)) {
            if (e.type == SDL_QUIT ||
                (e.type == SDL_KEYDOWN && e.key.keysym.sym == SDLK_ESCAPE))
                running = 0;
        }
        Uint32 elapsed = SDL_GetTicks() - start;
        if (o.fault != FAULT_NONE && elapsed >= FAULT_DELAY_MS) {
            if (o.fault == FAULT_CRASH) {
                printf("orvl: stopping unexpectedly, as asked (--crash)\n");
                fflush(stdout);
                exit(3);
            }
            if (o.fault == FAULT_SIGNAL) {
                printf("orvl: ending by SIGSEGV, as asked (--signal)\n");
                fflush(stdout);
                crash_by_signal();
            }
            status = o.exit_status;
            running = 0;
        }
        if (o.quit_after >= 0 && elapsed >= o.quit_after * 1000.0)
            running = 0;

        draw(r, frame, &box, &dx, &dy);
        SDL_RenderPresent(r);
        SDL_Delay(16);
    }

    printf("orvl: bye (status %d)\n", status);
    fflush(stdout);
    SDL_DestroyRenderer(r);
    SDL_DestroyWindow(win);
    SDL_Quit();
    return status;
}
