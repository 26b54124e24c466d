// The button row: laid out from a screen's row, drawn, and hit by a point.
#include "screens.h"

#include "../core/core.h"

#include <iterator>

constexpr int ROW_TOP = 488, ROW_H = 64;
constexpr int LABEL_MIN = 116, LABEL_PAD = 64, GAP = 20, RING = 4;

static const SDL_Color RING_COLOUR = AMBER;
static const SDL_Color FACE_FOCUSED = {250, 248, 240, 255};
static const SDL_Color LABEL_FOCUSED = {20, 42, 26, 255};
static const SDL_Color FACE = {28, 58, 40, 210};
static const SDL_Color LABEL = {255, 255, 255, 255};

int layout(const Row &r, Button out[3])
{
    int count = SDL_clamp(r.count, 0, (int)std::size(B));
    for (int i = 0; i < count; i++) {
        out[i] = {};
        out[i].label = _(r.label[i]);
        out[i].action = r.action[i];
    }
    int right = RIGHT_EDGE;
    for (int i = count - 1; i >= 0; i--) {
        int lw, lh;
        measure(F_BUTTON, out[i].label, &lw, &lh);
        out[i].w = SDL_max(lw, LABEL_MIN) + LABEL_PAD;
        out[i].h = ROW_H;
        out[i].y = ROW_TOP;
        out[i].x = right - out[i].w;
        right = out[i].x - GAP;
    }
    return count;
}

void buttons(const Row &r)
{
    NB = 0;
    Button row[std::size(B)] = {};
    int count = layout(r, row);
    for (int i = 0; i < count; i++)
        B[i] = row[i];
    NB = count;
    if (FOCUS >= NB && NB > 0)
        FOCUS = NB - 1;
}

void draw_buttons(const Button *row, int n, int focus)
{
    for (int i = 0; i < n; i++) {
        const Button &b = row[i];
        SDL_Color label = LABEL;
        if (i == focus) {
            fill({b.x - RING, b.y - RING, b.w + 2 * RING, b.h + 2 * RING}, RING_COLOUR);
            fill({b.x, b.y, b.w, b.h}, FACE_FOCUSED);
            label = LABEL_FOCUSED;
        } else {
            fill({b.x, b.y, b.w, b.h}, FACE);
        }
        int lw, lh;
        measure(F_BUTTON, b.label, &lw, &lh);
        text(F_BUTTON, b.x + (b.w - lw) / 2, b.y + (b.h - lh) / 2, 0, label, "%s", b.label);
    }
}

int hit(int x, int y)
{
    for (int i = 0; i < NB; i++)
        if (x >= B[i].x && x < B[i].x + B[i].w && y >= B[i].y && y < B[i].y + B[i].h)
            return i;
    return -1;
}
