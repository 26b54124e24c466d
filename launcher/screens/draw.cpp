// One whole frame for the current state.
#include "screens.h"

#include "../core/core.h"

#include <iterator>

constexpr int BODY_Y = 112, DETAIL_Y = 196, LOGS_Y = 222, FOOTER_Y = 510;
constexpr int WRAP = 864;
constexpr size_t TEXT_LINE = 1024;   // as text() formats
constexpr int BAND_H = 4;
constexpr double FILL_MAX = CANVAS_W;   // a fill past the canvas shows nothing more

static const SDL_Color TRACK = {14, 34, 22, 255};
static const SDL_Color TOP = {18, 44, 30, 255}, MIDDLE = {56, 72, 38, 255}, BOTTOM = {14, 30, 18, 255};

static const Row ROWS[] = {
    /* ST_CHECKING */ {0, {}, {}},
    /* ST_SETUP    */ {2, {N_("Quit"), N_("Download and Build")}, {ACT_QUIT, ACT_BUILD}},
    /* ST_UPDATE   */ {2, {N_("Quit"), N_("Build")}, {ACT_QUIT, ACT_BUILD}},
    /* ST_WORKING  */ {1, {N_("Cancel")}, {ACT_CANCEL}},
    /* ST_FAILED   */ {2, {N_("Quit"), N_("Try Again")}, {ACT_QUIT, ACT_RETRY}},
    /* ST_READY    */ {2, {N_("Quit"), N_("Play")}, {ACT_QUIT, ACT_PLAY}},
    /* ST_CRASHED  */ {2, {N_("Quit"), N_("Play Again")}, {ACT_QUIT, ACT_PLAY}},
};
static_assert(std::size(ROWS) == ST_CRASHED + 1, "a row for every state");

int row_size(int state)
{
    return state < 0 || state > ST_CRASHED ? 0 : ROWS[state].count;
}

bool offered(int state, int action)
{
    if (state < 0 || state > ST_CRASHED)
        return false;
    const Row &r = ROWS[state];
    for (int i = 0; i < r.count; i++)
        if (r.action[i] == action)
            return true;
    return false;
}

static Uint8 channel(Uint8 top, Uint8 middle, Uint8 bottom, double t)
{
    double v = t < 0.5 ? top + (middle - top) * (2 * t) : middle + (bottom - middle) * (2 * (t - 0.5));
    return (Uint8)v;
}

void band_colour(int y, SDL_Color *c)
{
    double t = y / 600.0;
    c->r = channel(TOP.r, MIDDLE.r, BOTTOM.r, t);
    c->g = channel(TOP.g, MIDDLE.g, BOTTOM.g, t);
    c->b = channel(TOP.b, MIDDLE.b, BOTTOM.b, t);
    c->a = 255;
}

void clock_text(uint32_t elapsed, char out[32])
{
    snprintf(out, 32, "%u:%02u", elapsed / 60000u, elapsed / 1000u % 60u);
}

// Values above 1 draw past the end of the track, as a count line can ask for;
// the bound keeps the conversion to int defined for any value.
int fill_width(double progress)
{
    return (int)SDL_min(progress * TRACK_W, FILL_MAX);
}

bool sweep(uint32_t p, SDL_Rect *r)
{
    int left = SDL_max((int)p - SWEEP_W, 0);
    int right = SDL_min((int)p, TRACK_W);
    if (left >= right)
        return false;
    *r = {MARGIN + left, TRACK_Y, right - left, TRACK_H};
    return true;
}

static void working(const Look &l)
{
    char step[TEXT_LINE];
    step_line(step, sizeof step, l.cancelled, l.step, l.steps, l.label);
    text(F_BODY, MARGIN, BODY_Y, 0, WHITE, "%s", step);

    char clock[32];
    clock_text(l.clock * 1000u, clock);
    int w, h;
    measure(F_BODY, clock, &w, &h);
    text(F_BODY, RIGHT_EDGE - w, BODY_Y, 0, DIM, "%s", clock);

    fill({MARGIN, TRACK_Y, TRACK_W, TRACK_H}, TRACK);
    SDL_Rect r;
    if (l.fill >= 0)
        fill({MARGIN, TRACK_Y, l.fill, TRACK_H}, AMBER);
    else if (sweep((uint32_t)l.sweep * SWEEP_STEP_MS / 4 % SWEEP_PERIOD, &r))
        fill(r, AMBER);

    text(F_SMALL, MARGIN, DETAIL_Y, 0, DIM, "%s", l.detail);
    if (l.left[0])
        text(F_SMALL, MARGIN, LOGS_Y, 0, DIM, "%s", l.left);
    text(F_SMALL, MARGIN, FOOTER_Y, 0, DIM, "%s", screen_text(ST_WORKING));
}

static void bands()
{
    for (int y = 0; y < CANVAS_H; y += BAND_H) {
        SDL_Color c;
        band_colour(y, &c);
        fill({0, y, CANVAS_W, BAND_H}, c);
    }
}

// The gradient is the same in every frame of an output size. The first
// frame of a size fills its bands, each edge rounded to an output pixel
// once (fill()); from the second on it is copied one to one from a texture
// computed in output pixels, each output row the colour of the canvas row
// under its centre. Either way no renderer's rounding of 150 scaled bands
// can leave a seam, and a frame alone, as screenshot mode draws, costs no
// more than its bands.
static struct {
    SDL_Renderer *owner;    // a renderer's textures end with it
    SDL_Texture *kept;      // the gradient at the output's scale, or none
    int w, h;               // its size: the canvas in output pixels
} GRADIENT;

static SDL_Texture *gradient(int w, int h, float sy)
{
    SDL_Surface *s = SDL_CreateRGBSurfaceWithFormat(0, w, h, 32, SDL_PIXELFORMAT_ARGB8888);
    if (!s)
        return nullptr;
    for (int y = 0; y < h; y++) {
        int row = SDL_min((int)((y + 0.5f) / sy), CANVAS_H - 1);
        SDL_Color c;
        band_colour(row - row % BAND_H, &c);
        SDL_Rect line = {0, y, w, 1};
        SDL_FillRect(s, &line, SDL_MapRGBA(s->format, c.r, c.g, c.b, c.a));
    }
    SDL_Texture *t = SDL_CreateTextureFromSurface(R, s);
    SDL_FreeSurface(s);
    if (t)
        SDL_SetTextureBlendMode(t, SDL_BLENDMODE_NONE);
    return t;
}

static void background()
{
    auto &g = GRADIENT;
    float sx = 1, sy = 1;
    SDL_RenderGetScale(R, &sx, &sy);
    int w = (int)(CANVAS_W * sx), h = (int)(CANVAS_H * sy);
    if (g.owner != R || w != g.w || h != g.h) {
        if (g.owner == R && g.kept)
            SDL_DestroyTexture(g.kept);
        g = {R, nullptr, w, h};
        bands();
        return;
    }
    if (!g.kept && w > 0 && h > 0)
        g.kept = gradient(w, h, sy);
    if (!g.kept) {
        bands();
        return;
    }
    constexpr float NUDGE = 1 / 64.0f;  // lands the renderer's truncation on the texture's pixels
    SDL_FRect dst = {0, 0, (w + NUDGE) / sx, (h + NUDGE) / sy};
    SDL_RenderCopyF(R, g.kept, nullptr, &dst);
}

void drop_kept()
{
    if (GRADIENT.owner == R && GRADIENT.kept)
        SDL_DestroyTexture(GRADIENT.kept);
    GRADIENT = {};
    text_drop();
}

// SDL's logical size letterboxes and scales the canvas: what it leaves of
// the output, and any row its rounding skips, would keep an earlier frame's
// pixels. A gradient kept for this size already covers the whole output.
static void clear_output()
{
    int w = 0, h = 0;
    SDL_GetRendererOutputSize(R, &w, &h);
    if (GRADIENT.owner == R && GRADIENT.kept && w == GRADIENT.w && h == GRADIENT.h)
        return;
    SDL_Color c;
    band_colour(CANVAS_H - 1, &c);
    SDL_SetRenderDrawColor(R, c.r, c.g, c.b, 255);
    SDL_RenderClear(R);
}

static void frame(const Look &l)
{
    clear_output();
    background();

    int st = l.state;
    text(F_TITLE, MARGIN, MARGIN, 0, WHITE, "%s", title_of(st, l.needs_disc));

    switch (st) {
    case ST_CHECKING:
        text(F_BODY, MARGIN, BODY_Y, 0, SOFT, "%s", screen_text(st));
        return;
    case ST_SETUP:
    case ST_UPDATE:
        text(F_BODY, MARGIN, BODY_Y, WRAP, SOFT, "%s", screen_text(st));
        break;
    case ST_WORKING:
        working(l);
        break;
    case ST_FAILED:
    case ST_CRASHED: {
        text(F_BODY, MARGIN, BODY_Y, WRAP, WHITE, "%s", l.message);
        char logs[TEXT_LINE];
        logs_words(logs, sizeof logs);
        text(F_SMALL, MARGIN, LOGS_Y, WRAP, DIM, "%s", logs);
        break;
    }
    case ST_READY: {
        char ready[TEXT_LINE];
        ready_words(ready, sizeof ready);
        text(F_BODY, MARGIN, BODY_Y, 0, SOFT, "%s", ready);
        break;
    }
    default:
        // No other value is ever stored; show no row rather than act on one.
        return;
    }

    Button row[std::size(B)];
    int n = layout(ROWS[st], row);
    draw_buttons(row, n, l.focus);
}

void lay_out(int state)
{
    static const Row NONE = {0, {}, {}};
    buttons(state > ST_CHECKING && state <= ST_CRASHED ? ROWS[state] : NONE);
}

void draw_look(const Look &l)
{
    frame(l);
    text_frame_end();
}

void draw()
{
    lay_out(S.state);
    Look l;
    look(&l, SDL_GetTicks());
    draw_look(l);
}
