// Screenshot mode: one canned screen written to a BMP file, nothing else.
#include "app.h"

#include "../core/core.h"
#include "../screens/screens.h"

#include <cstring>

void shot_fill(const char *state)
{
    S.needs_disc = 1;
    if (strcmp(state, "setup") == 0) {
        S.state = ST_SETUP;
    } else if (strcmp(state, "update") == 0) {
        S.state = ST_UPDATE;
        S.needs_disc = 0;
    } else if (strcmp(state, "working") == 0) {
        S.state = ST_WORKING;
        S.step = 7;
        S.steps = 7;
        S.progress = 0.42;
        snprintf(S.step_label, sizeof S.step_label, "Compiling");
        snprintf(S.detail, sizeof S.detail, "[74/176] Building C object CMakeFiles/orvl_gen.dir/recomp_simqz_0036.c.o");
        S.started = SDL_GetTicks() - 754000u;   // wraps: the clock shows 12:34
    } else if (strcmp(state, "failed") == 0) {
        S.state = ST_FAILED;
        snprintf(S.message, sizeof S.message, "The disc image did not download: the server could not be reached.");
    } else if (strcmp(state, "crashed") == 0) {
        S.state = ST_CRASHED;
        snprintf(S.message, sizeof S.message, "%s", _("The game stopped unexpectedly."));
    } else {
        S.state = ST_READY;
    }
}

// Reads the frame into the 960x600 capture. An output of another size (a
// display scale factor) is read whole and scaled, so nothing is written past
// the capture's pixels.
static void capture(SDL_Surface *out)
{
    int w = 0, h = 0;
    if (SDL_GetRendererOutputSize(R, &w, &h) == 0 && w == out->w && h == out->h) {
        SDL_RenderReadPixels(R, nullptr, SDL_PIXELFORMAT_ARGB8888, out->pixels, out->pitch);
        return;
    }
    if (w <= 0 || h <= 0)
        return;
    SDL_Surface *full = SDL_CreateRGBSurfaceWithFormat(0, w, h, 32, SDL_PIXELFORMAT_ARGB8888);
    if (!full)
        return;
    if (SDL_RenderReadPixels(R, nullptr, SDL_PIXELFORMAT_ARGB8888, full->pixels, full->pitch) == 0) {
        SDL_SetSurfaceBlendMode(full, SDL_BLENDMODE_NONE);
        SDL_BlitScaled(full, nullptr, out, nullptr);
    }
    SDL_FreeSurface(full);
}

int shot(const char *path)
{
    shot_fill(env_or("ORVL_LAUNCHER_STATE", ""));
    FOCUS = FOCUS_DEFAULT;
    draw();
    SDL_Surface *out = SDL_CreateRGBSurfaceWithFormat(0, CANVAS_W, CANVAS_H, 32, SDL_PIXELFORMAT_ARGB8888);
    if (!out)
        return die();
    capture(out);
    int saved = SDL_SaveBMP_RW(out, SDL_RWFromFile(path, "wb"), 1);
    SDL_FreeSurface(out);
    return saved == 0 ? 0 : 1;
}
