/* The floor's frame: the least a program must do to draw the launcher's kind
 * of frame (150 bands, a bar or button faces, the screen's texts rendered
 * with SDL2_ttf's blended mode in that same frame). */
#pragma once

#include <SDL.h>
#include <SDL_ttf.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { FLOOR_CHECKING, FLOOR_SETUP, FLOOR_UPDATE, FLOOR_WORKING, FLOOR_FAILED, FLOOR_READY, FLOOR_CRASHED };

struct floor_frame {
    SDL_Renderer *r;
    TTF_Font *title, *body, *small, *button;
    const char *logs;   /* the logs directory the failed and crashed screens name */
};

int floor_open_fonts(struct floor_frame *f);   /* 0 when all four faces opened */
int floor_screen(const char *name);            /* "setup", ...; anything else: ready */
void floor_draw(const struct floor_frame *f, int screen);

#ifdef __cplusplus
}
#endif
