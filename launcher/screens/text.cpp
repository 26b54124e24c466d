#include "screens.h"

#include "../core/core.h"

#include <cstdarg>

const SDL_Color DIM = {185, 208, 190, 255};
const SDL_Color SOFT = {230, 242, 232, 255};
const SDL_Color WHITE = {255, 255, 255, 255};
const SDL_Color AMBER = {245, 178, 42, 255};

void fill(SDL_Rect r, SDL_Color c)
{
    SDL_SetRenderDrawColor(R, c.r, c.g, c.b, c.a);
    SDL_RenderFillRect(R, &r);
}

void measure(TTF_Font *face, const char *s, int *w, int *h)
{
    if (!face || TTF_SizeUTF8(face, s, w, h) != 0)
        *w = *h = 0;
}

void text(TTF_Font *face, int x, int y, int wrap, SDL_Color colour, const char *format, ...)
{
    char buf[1024];
    va_list ap;
    va_start(ap, format);
    vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    if (!face || !buf[0])
        return;
    SDL_Surface *s = wrap ? TTF_RenderUTF8_Blended_Wrapped(face, buf, colour, (Uint32)wrap)
                          : TTF_RenderUTF8_Blended(face, buf, colour);
    if (!s)
        return;
    if (SDL_Texture *t = SDL_CreateTextureFromSurface(R, s)) {
        SDL_Rect src = {0, 0, s->w, s->h};
        SDL_Rect dst = {x, y, s->w, s->h};
        int room = CROP_EDGE - x;
        if (!wrap && room < s->w)
            src.w = dst.w = room;
        SDL_RenderCopy(R, t, &src, &dst);
        SDL_DestroyTexture(t);
    }
    SDL_FreeSurface(s);
}
