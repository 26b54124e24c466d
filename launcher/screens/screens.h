// Everything that reaches the screen: text, the button row, and one frame per state.
#pragma once

#include <SDL.h>
#include <SDL_ttf.h>
#include <cstddef>
#include <cstdint>

extern const SDL_Color DIM, SOFT, WHITE, AMBER;

constexpr int CANVAS_W = 960, CANVAS_H = 600;
constexpr int MARGIN = 48;
constexpr int RIGHT_EDGE = 912;
constexpr int CROP_EDGE = 920;
constexpr int TRACK_Y = 160, TRACK_W = 864, TRACK_H = 14;
constexpr int SWEEP_W = 216, SWEEP_PERIOD = 1080;
constexpr uint32_t SWEEP_STEP_MS = 50;  // the sweep's frame period: the loop's while a build runs

// text.cpp
void fill(SDL_Rect r, SDL_Color c);
void keep_face(TTF_Font *f, const char *path, int index, int size, int bold);  // what font() opened
void measure(TTF_Font *face, const char *s, int *w, int *h);   // 0 and 0 when it cannot
void text(TTF_Font *face, int x, int y, int wrap, SDL_Color colour, const char *format, ...)
    __attribute__((format(printf, 6, 7)));
// s as text() rasterises it at dpi (72: the canvas's own size); runs: line by
// line and run by run even where SDL2_ttf alone could draw it.
SDL_Surface *rasterise(TTF_Font *face, const char *s, int wrap, SDL_Color colour, unsigned dpi, bool runs, int *top);
void text_frame_end();                          // drops the kept texts this frame did not draw
void text_drop();                               // drops every kept text
int text_boxes(SDL_Rect *boxes, int max);       // where the last frame's texts stand, uncropped
unsigned text_rasterised();                     // texts rasterised since start

// fonts.cpp
TTF_Font *font(int bold, int size);     // DejaVu Sans at size, or null
bool find_font(int bold, uint32_t cp, char *path, size_t size, int *index, bool *embolden);

// buttons.cpp
struct Button;
struct Row {                // a screen's buttons, left to right
    int count;
    const char *label[3];   // untranslated literals; translated when laid out
    int action[3];          // ACT_*
};
int layout(const Row &row, Button out[3]);     // a row's buttons laid out; their count
void buttons(const Row &row);   // lays out B and NB, brings FOCUS into the row
void draw_buttons(const Button *row, int n, int focus);
int hit(int x, int y);          // the button at a logical point, or -1

// draw.cpp
void band_colour(int y, SDL_Color *c);
void clock_text(uint32_t elapsed, char out[32]);
int fill_width(double progress);
bool sweep(uint32_t p, SDL_Rect *r);
bool offered(int state, int action);   // the state's row carries that action
int row_size(int state);               // buttons in the state's row
struct Look;
void lay_out(int state);               // B and NB for the state's row, FOCUS brought into it
void draw_look(const Look &l);         // the frame l describes; B, NB and FOCUS untouched
void draw();                           // S's frame now, its row laid out
void drop_kept();                      // what is kept on R (gradient, texts), before R ends

// look.cpp
struct Look {               // what decides a frame's pixels; zero where not shown
    int32_t state, needs_disc, cancelled;
    int32_t focus;          // the focused button as the row draws it, or -1
    int32_t w, h;           // the renderer's output size
    int32_t step, steps;
    int32_t fill;           // filled width of the bar, or -1 for the sweep
    int32_t sweep;          // the sweep's step, or -1
    uint32_t clock;         // the elapsed clock's second
    char label[160], detail[256], message[512];
    char left[128];         // the time-left line
};
void look(Look *l, uint32_t now);      // what S's frame shows at SDL_GetTicks() now
void look_build(Look *l, uint32_t now);    // only the working screen's part of it, from S
bool same_look(const Look &a, const Look &b);
int look_next(uint32_t now);           // ms until time alone changes the picture, or -1

