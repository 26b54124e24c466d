/* The floor's frame, kept as plain as it can be while drawing what each of
 * the launcher's screens shows: same canvas, fonts, texts, places and colours.
 * Every text is rendered, uploaded, copied and freed within the frame. */
#include "floor_draw.h"

#include <stdio.h>
#include <string.h>

static const SDL_Color WHITE = {255, 255, 255, 255}, SOFT = {230, 242, 232, 255}, DIM = {185, 208, 190, 255};
static const SDL_Color AMBER = {245, 178, 42, 255}, TRACK = {14, 34, 22, 255};
static const SDL_Color FACE = {28, 58, 40, 210}, FACE_FOCUSED = {250, 248, 240, 255};
static const SDL_Color LABEL_FOCUSED = {20, 42, 26, 255};

static const char SETUP_TEXT[] =
    "The game is built on this computer, once, before its first run. It downloads the game's disc "
    "image (337 MB), then builds the game from it.\n\nThat takes 10 to 20 minutes and about 4 GB of space.";
static const char UPDATE_TEXT[] =
    "This version needs the game rebuilt, which takes a few minutes. Your parks and saves are kept.";

static TTF_Font *open_face(const char *file, int size)
{
    static const char *const dirs[] = {"/usr/share/fonts/truetype/dejavu", "/usr/share/fonts/dejavu",
                                       "/usr/share/fonts/TTF", NULL};
    char path[256];
    for (int i = 0; dirs[i]; i++) {
        snprintf(path, sizeof path, "%s/%s", dirs[i], file);
        TTF_Font *f = TTF_OpenFont(path, size);
        if (f)
            return f;
    }
    return NULL;
}

int floor_open_fonts(struct floor_frame *f)
{
    f->title = open_face("DejaVuSans-Bold.ttf", 36);
    f->body = open_face("DejaVuSans.ttf", 24);
    f->small = open_face("DejaVuSans.ttf", 16);
    f->button = open_face("DejaVuSans-Bold.ttf", 24);
    return f->title && f->body && f->small && f->button ? 0 : -1;
}

int floor_screen(const char *name)
{
    static const char *const names[] = {"checking", "setup", "update", "working", "failed", "ready", "crashed"};
    for (int i = 0; i < 7; i++)
        if (name && strcmp(name, names[i]) == 0)
            return i;
    return FLOOR_READY;
}

static void fill(SDL_Renderer *r, int x, int y, int w, int h, SDL_Color c)
{
    SDL_Rect rect = {x, y, w, h};
    SDL_SetRenderDrawColor(r, c.r, c.g, c.b, c.a);
    SDL_RenderFillRect(r, &rect);
}

/* Draws a rendered text and frees it; right-aligned at x when right is set. */
static void put(SDL_Renderer *r, SDL_Surface *s, int x, int y, int right)
{
    if (!s)
        return;
    SDL_Texture *t = SDL_CreateTextureFromSurface(r, s);
    if (t) {
        SDL_Rect dst = {right ? x - s->w : x, y, s->w, s->h};
        SDL_RenderCopy(r, t, NULL, &dst);
        SDL_DestroyTexture(t);
    }
    SDL_FreeSurface(s);
}

static void text(const struct floor_frame *f, TTF_Font *face, int x, int y, int wrap, SDL_Color c, const char *s)
{
    put(f->r, wrap ? TTF_RenderUTF8_Blended_Wrapped(face, s, c, (Uint32)wrap) : TTF_RenderUTF8_Blended(face, s, c),
        x, y, 0);
}

/* A row of one or two buttons ending at x = 912, the last one focused. */
static void row(const struct floor_frame *f, int n, const char *a, const char *b)
{
    const char *labels[2] = {a, b};
    SDL_Surface *s[2] = {NULL, NULL};
    int x[2], w[2], right = 912;
    for (int i = n - 1; i >= 0; i--) {
        s[i] = TTF_RenderUTF8_Blended(f->button, labels[i], i == n - 1 ? LABEL_FOCUSED : WHITE);
        int lw = s[i] ? s[i]->w : 0;
        w[i] = (lw > 116 ? lw : 116) + 64;
        x[i] = right - w[i];
        right = x[i] - 20;
    }
    for (int i = 0; i < n; i++) {
        if (i == n - 1) {
            fill(f->r, x[i] - 4, 484, w[i] + 8, 72, AMBER);
            fill(f->r, x[i], 488, w[i], 64, FACE_FOCUSED);
        } else {
            fill(f->r, x[i], 488, w[i], 64, FACE);
        }
        int lw = s[i] ? s[i]->w : 0, lh = s[i] ? s[i]->h : 0;
        put(f->r, s[i], x[i] + (w[i] - lw) / 2, 488 + (64 - lh) / 2, 0);
    }
}

void floor_draw(const struct floor_frame *f, int screen)
{
    for (int y = 0; y < 600; y += 4) {
        double t = y / 600.0, s = t < 0.5 ? 2 * t : 2 * (t - 0.5);
        SDL_Color c = t < 0.5 ? (SDL_Color){(Uint8)(18 + 38 * s), (Uint8)(44 + 28 * s), (Uint8)(30 + 8 * s), 255}
                              : (SDL_Color){(Uint8)(56 - 42 * s), (Uint8)(72 - 42 * s), (Uint8)(38 - 20 * s), 255};
        fill(f->r, 0, y, 960, 4, c);
    }
    int disc = screen != FLOOR_UPDATE;
    const char *title = "Orvandel";
    if (screen == FLOOR_SETUP || screen == FLOOR_UPDATE || screen == FLOOR_WORKING || screen == FLOOR_FAILED)
        title = disc ? "Set up Orvandel" : "Updating Orvandel";
    text(f, f->title, 48, 48, 0, WHITE, title);

    char logs[1200];
    switch (screen) {
    case FLOOR_CHECKING:
        text(f, f->body, 48, 112, 0, SOFT, "Checking the game\xe2\x80\xa6");
        return;
    case FLOOR_SETUP:
        text(f, f->body, 48, 112, 864, SOFT, SETUP_TEXT);
        row(f, 2, "Quit", "Download and Build");
        return;
    case FLOOR_UPDATE:
        text(f, f->body, 48, 112, 864, SOFT, UPDATE_TEXT);
        row(f, 2, "Quit", "Build");
        return;
    case FLOOR_WORKING:
        text(f, f->body, 48, 112, 0, WHITE, "Step 7 of 7: Compiling");
        put(f->r, TTF_RenderUTF8_Blended(f->body, "12:34", DIM), 912, 112, 1);
        fill(f->r, 48, 160, 864, 14, TRACK);
        fill(f->r, 48, 160, (int)(0.42 * 864), 14, AMBER);
        text(f, f->small, 48, 196, 0, DIM,
             "[74/176] Building C object CMakeFiles/orvl_gen.dir/recomp_simqz_0036.c.o");
        text(f, f->small, 48, 510, 0, DIM, "You can leave it running; it needs no help.");
        row(f, 1, "Cancel", NULL);
        return;
    case FLOOR_FAILED:
    case FLOOR_CRASHED:
        text(f, f->body, 48, 112, 864, WHITE,
             screen == FLOOR_FAILED ? "The disc image did not download: the server could not be reached."
                                    : "The game stopped unexpectedly.");
        snprintf(logs, sizeof logs, "The logs are in %s", f->logs ? f->logs : "");
        text(f, f->small, 48, 222, 864, DIM, logs);
        row(f, 2, "Quit", screen == FLOOR_FAILED ? "Try Again" : "Play Again");
        return;
    default:
        text(f, f->body, 48, 112, 0, SOFT, "Ready to play. Version 1.0.1.");
        row(f, 2, "Quit", "Play");
        return;
    }
}
