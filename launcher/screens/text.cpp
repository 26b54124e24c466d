// Text: every string on every screen reaches the renderer through text().
// It is laid out in the 960x600 canvas with the faces start-up opened, and
// rasterised at the renderer's real output scale, so that a larger window
// shows crisp letters rather than stretched ones. A character that DejaVu
// Sans lacks is drawn from a face that fontconfig names, run by run within
// the line. What a frame draws is kept as a texture until a frame no longer
// draws it, so an unchanged frame rasterises nothing.
#include "screens.h"

#include "../core/core.h"

#include <cmath>
#include <cstdarg>
#include <cstring>
#include <iterator>

const SDL_Color DIM = {185, 208, 190, 255};
const SDL_Color SOFT = {230, 242, 232, 255};
const SDL_Color WHITE = {255, 255, 255, 255};
const SDL_Color AMBER = {245, 178, 42, 255};

constexpr unsigned BASE_DPI = 72;   // SDL2_ttf's own: a face opened at its point size
constexpr int TEXT_MAX = 1024;      // the formatting buffer
constexpr int RUNS_MAX = 64, LINES_MAX = 64;

// ---- faces ----

struct Face {               // a face start-up opened, and its copy at the output scale
    TTF_Font *base;         // at its point size: measures and lays out every text
    char path[1100];
    int index;
    int size;
    int bold;
    TTF_Font *scaled;       // the same face at dpi, opened when first drawn there
    unsigned dpi;
};
static Face FACES[4];

struct Fallback {           // a face fontconfig named for characters DejaVu Sans lacks
    char path[1024];
    int index;
    int bold;               // asked for the bold faces
    bool embolden;          // a regular face standing in for a bold one
    int size;
    unsigned dpi;
    TTF_Font *font;
    unsigned used;          // frame that last used it, for reuse of its slot
};
static Fallback FALLBACKS[16];

// Characters that no installed face has, so that they cost one question to
// fontconfig rather than one per frame: the character, and bit 31 for bold.
static uint32_t MISSING[64];
static int MISSING_NEXT;

static unsigned FRAME = 1;  // counts frames, for the kept textures and the fallback slots
static unsigned RASTERISED; // texts rasterised since start

// An empty rectangle draws nothing (SDL's software renderer would widen it
// to a pixel). Scaled, each edge is rounded to an output pixel once, as
// text() places its letters, so that abutting rectangles meet and every
// renderer covers the same pixels whatever its own rounding.
void fill(SDL_Rect r, SDL_Color c)
{
    if (r.w <= 0 || r.h <= 0)
        return;
    SDL_SetRenderDrawColor(R, c.r, c.g, c.b, c.a);
    float sx = 1, sy = 1;
    SDL_RenderGetScale(R, &sx, &sy);
    if (sx == 1 && sy == 1) {
        SDL_RenderFillRect(R, &r);
        return;
    }
    int left = (int)lroundf(r.x * sx), right = (int)lroundf((r.x + r.w) * sx);
    int top = (int)lroundf(r.y * sy), bottom = (int)lroundf((r.y + r.h) * sy);
    if (left >= right || top >= bottom)
        return;
    constexpr float NUDGE = 1 / 64.0f;
    SDL_FRect f = {(left + NUDGE) / sx, (top + NUDGE) / sy, (right - left + NUDGE) / sx, (bottom - top + NUDGE) / sy};
    SDL_RenderFillRectF(R, &f);
}

void keep_face(TTF_Font *f, const char *path, int index, int size, int bold)
{
    for (Face &k : FACES) {
        if (k.base && k.base != f)
            continue;
        if (k.scaled)
            TTF_CloseFont(k.scaled);
        k = {};
        k.base = f;
        k.index = index;
        k.size = size;
        k.bold = bold;
        snprintf(k.path, sizeof k.path, "%s", path);
        return;
    }
}

static Face *face_of(TTF_Font *f)
{
    for (Face &k : FACES)
        if (k.base == f)
            return &k;
    return nullptr;
}

// The face to rasterise with at dpi; a face of unknown origin stays at its size.
static TTF_Font *base_at(TTF_Font *base, unsigned dpi)
{
    Face *k = face_of(base);
    if (dpi == BASE_DPI || !k)
        return base;
    if (k->dpi != dpi) {
        if (k->scaled)
            TTF_CloseFont(k->scaled);
        k->scaled = TTF_OpenFontIndexDPI(k->path, k->size, k->index, dpi, dpi);
        k->dpi = dpi;
        if (k->scaled)
            TTF_SetFontStyle(k->scaled, TTF_GetFontStyle(base));
    }
    return k->scaled ? k->scaled : base;
}

// The slot of the fallback face (path, index) at size and dpi, opened when
// needed in a free slot or the one unused longest; -1 when none can be had.
static int open_fallback(const Fallback &want, unsigned dpi)
{
    int slot = -1;
    for (int i = 0; i < (int)std::size(FALLBACKS); i++) {
        Fallback &f = FALLBACKS[i];
        if (f.font && f.size == want.size && f.dpi == dpi && f.bold == want.bold && f.index == want.index &&
            strcmp(f.path, want.path) == 0) {
            f.used = FRAME;
            return i;
        }
        if (f.used != FRAME && (slot < 0 || f.used < FALLBACKS[slot].used))
            slot = i;
    }
    if (slot < 0)
        return -1;
    Fallback &f = FALLBACKS[slot];
    if (f.font)
        TTF_CloseFont(f.font);
    f = want;
    f.dpi = dpi;
    f.used = FRAME;
    f.font = TTF_OpenFontIndexDPI(f.path, f.size, f.index, dpi, dpi);
    if (!f.font)
        return -1;
    if (f.embolden)
        TTF_SetFontStyle(f.font, TTF_STYLE_BOLD);
    return slot;
}

// The fallback slot (at the base size) whose face has cp, or -1.
static int fallback(const Face *k, uint32_t cp)
{
    for (int i = 0; i < (int)std::size(FALLBACKS); i++) {
        Fallback &f = FALLBACKS[i];
        if (f.font && f.dpi == BASE_DPI && f.size == k->size && f.bold == k->bold &&
            TTF_GlyphIsProvided32(f.font, cp)) {
            f.used = FRAME;
            return i;
        }
    }
    uint32_t key = cp | (k->bold ? 1u << 31 : 0);
    for (uint32_t m : MISSING)
        if (m == key)
            return -1;
    Fallback want = {};
    want.size = k->size;
    want.bold = k->bold;
    int slot = -1;
    if (find_font(k->bold, cp, want.path, sizeof want.path, &want.index, &want.embolden))
        slot = open_fallback(want, BASE_DPI);
    if (slot < 0) {
        MISSING[MISSING_NEXT] = key;
        MISSING_NEXT = (MISSING_NEXT + 1) % (int)std::size(MISSING);
    }
    return slot;
}

// ---- runs: the pieces of a line that one face draws ----

struct Run {
    int start, len;         // bytes of the text
    int face;               // fallback slot at the base size, or -1 for the base face
};

// Splits s into runs by the face that has each character: the base face
// wherever it has it. Returns the number of runs; *covered when the base
// face draws all of s.
static int split(TTF_Font *base, const char *s, int len, Run *runs, bool *covered)
{
    const Face *k = face_of(base);
    int n = 0;
    *covered = true;
    for (int at = 0, step; at < len; at += step) {
        uint32_t c = utf8_next(s + at, len - at, &step);
        int face = -1;
        // Control characters and what the face has stay with it, as do all
        // characters of a face whose file is unknown.
        if (c >= 0x20 && c != 0x7f && k && !TTF_GlyphIsProvided32(base, c))
            face = fallback(k, c);
        if (face >= 0)
            *covered = false;
        if (n > 0 && (runs[n - 1].face == face || n == RUNS_MAX)) {
            runs[n - 1].len += step;
            continue;
        }
        runs[n++] = {at, step, face};
    }
    return n;
}

// A NUL-terminated copy of bytes for SDL2_ttf, which takes no length.
static const char *piece(char out[TEXT_MAX], const char *s, int len)
{
    len = utf8_whole(s, SDL_min(len, TEXT_MAX - 1));
    memcpy(out, s, len);
    out[len] = '\0';
    return out;
}

static TTF_Font *run_face(TTF_Font *base, int face, unsigned dpi)
{
    if (face < 0)
        return base_at(base, dpi);
    if (dpi == BASE_DPI)
        return FALLBACKS[face].font;
    int at = open_fallback(FALLBACKS[face], dpi);
    return at >= 0 ? FALLBACKS[at].font : base_at(base, dpi);
}

static int run_width(TTF_Font *f, const char *s, int len)
{
    char buf[TEXT_MAX];
    int w = 0, h;
    if (TTF_SizeUTF8(f, piece(buf, s, len), &w, &h) != 0)
        return 0;
    return w;
}

void measure(TTF_Font *face, const char *s, int *w, int *h)
{
    *w = *h = 0;
    if (!face)
        return;
    Run runs[RUNS_MAX];
    bool covered;
    int n = split(face, s, (int)strlen(s), runs, &covered);
    if (covered) {
        if (TTF_SizeUTF8(face, s, w, h) != 0)
            *w = *h = 0;
        return;
    }
    for (int i = 0; i < n; i++)
        *w += run_width(run_face(face, runs[i].face, BASE_DPI), s + runs[i].start, runs[i].len);
    *h = TTF_FontHeight(face);
}

// ---- wrapping ----

struct Line {
    int start, len;
};

static bool delimiter(uint32_t c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Ideographs, kana and Hangul take a line break after any of them, except
// after an opening bracket and before the punctuation that closes a phrase.
static bool wide(uint32_t c)
{
    return (c >= 0x2e80 && c <= 0x9fff) || (c >= 0xac00 && c <= 0xd7af) || (c >= 0xf900 && c <= 0xfaff) ||
           (c >= 0xff00 && c <= 0xffef) || (c >= 0x20000 && c <= 0x3ffff);
}

static const uint32_t OPENING[] = {0xff08, 0x300c, 0x300e, 0x3010, 0x3008, 0x300a};
static const uint32_t CLOSING[] = {0x3001, 0x3002, 0xff0c, 0xff0e, 0xff1a, 0xff1b, 0xff01, 0xff1f,
                                   0xff09, 0x300d, 0x300f, 0x3011, 0x3009, 0x300b, 0x30fc, 0x2026};

// How many characters of s, up to its first newline, fit in wrap pixels
// when drawn run by run.
static int fit_runs(TTF_Font *base, const char *s, int len, int wrap)
{
    int end = 0;
    while (end < len && s[end] != '\n')
        end++;
    Run runs[RUNS_MAX];
    bool covered;
    int n = split(base, s, end, runs, &covered);
    int used = 0, count = 0;
    char buf[TEXT_MAX];
    for (int i = 0; i < n; i++) {
        TTF_Font *f = run_face(base, runs[i].face, BASE_DPI);
        const char *r = piece(buf, s + runs[i].start, runs[i].len);
        int extent = 0, chars = 0;
        if (TTF_MeasureUTF8(f, r, wrap - used, &extent, &chars) != 0)
            break;
        count += chars;
        int w = run_width(f, s + runs[i].start, runs[i].len);
        int all = 0;
        for (int at = 0, step; at < runs[i].len; at += step, all++)
            utf8_next(r + at, runs[i].len - at, &step);
        if (chars < all)
            return SDL_max(count, 1);
        used += w;
    }
    return count + 1;   // the whole line fits: it ends at its newline, as it would in SDL2_ttf
}

// Breaks s into lines no wider than wrap. Text that the base face covers is
// broken exactly as SDL2_ttf breaks it (at the last blank or newline before
// the width runs out, else within the word), so that a text keeps its lines
// at every scale; text drawn in runs also breaks after wide characters.
static int wrap_lines(TTF_Font *base, const char *s, int len, int wrap, bool covered, Line *lines)
{
    int n = 0;
    for (int at = 0; at < len && n < LINES_MAX;) {
        int fits = 0;
        if (covered) {
            int extent;
            if (TTF_MeasureUTF8(base, s + at, wrap, &extent, &fits) != 0)
                fits = 0;
        } else {
            fits = fit_runs(base, s + at, len - at, wrap);
        }
        int p = at, count = 0, save = -1;
        while (p < len) {
            int step;
            uint32_t c = utf8_next(s + p, len - p, &step);
            p += step;
            if (c == 0xfeff)
                continue;
            count++;
            if (delimiter(c)) {
                save = p;
                if (c == '\n' || c == '\r')
                    break;
            } else if (!covered && wide(c) && !among(c, OPENING, std::size(OPENING)) && p < len) {
                int next_step;
                if (!among(utf8_next(s + p, len - p, &next_step), CLOSING, std::size(CLOSING)))
                    save = p;
            }
            if (count == fits)
                break;
        }
        if (save >= 0 && p < len)
            p = save;
        lines[n++] = {at, p - at};
        at = p;
    }
    for (int i = 0; i < n; i++)
        while (lines[i].len > 0 && strchr(" \r\n", s[lines[i].start + lines[i].len - 1]))
            lines[i].len--;
    return n;
}

// ---- rasterising ----

// Lays a run's pixels (ARGB, all of the text's colour) into the text's
// surface at (x, y): a pixel alone keeps its value exactly; where runs meet,
// their coverages add up as blending would.
static void lay(SDL_Surface *part, SDL_Surface *out, int x, int y)
{
    for (int r = SDL_max(0, -y); r < part->h && y + r < out->h; r++) {
        const uint32_t *src = (const uint32_t *)((const char *)part->pixels + r * part->pitch);
        uint32_t *dst = (uint32_t *)((char *)out->pixels + (y + r) * out->pitch);
        for (int c = SDL_max(0, -x); c < part->w && x + c < out->w; c++) {
            uint32_t sa = src[c] >> 24, da = dst[x + c] >> 24;
            if (sa == 0)
                continue;
            uint32_t a = da == 0 ? sa : sa + da - (sa * da + 127) / 255;
            dst[x + c] = a << 24 | (src[c] & 0xffffff);
        }
    }
}

// The lines of s drawn run by run into one surface at dpi; *top is where its
// first row stands against y, in output pixels (a fallback face may reach
// above the base face's line).
static SDL_Surface *compose(TTF_Font *base, const char *s, int len, int wrap, SDL_Color colour, unsigned dpi,
                            bool covered, int *top)
{
    Line lines[LINES_MAX];
    int nl = 1;
    lines[0] = {0, len};
    if (wrap)
        nl = wrap_lines(base, s, len, wrap, covered, lines);
    TTF_Font *body = base_at(base, dpi);
    double scale = dpi / (double)BASE_DPI;
    int skip = TTF_FontLineSkip(base);
    int ascent = TTF_FontAscent(body);
    char buf[TEXT_MAX];

    // First the extent, then the drawing: each run's surface is made once.
    int width = 0, up = 0, down = 0;
    for (int i = 0; i < nl; i++) {
        Run runs[RUNS_MAX];
        bool all;
        int n = split(base, s + lines[i].start, lines[i].len, runs, &all);
        int x = 0, y = (int)lround(i * skip * scale);
        down = SDL_max(down, y + TTF_FontHeight(body));
        for (int r = 0; r < n; r++) {
            TTF_Font *f = run_face(base, runs[r].face, dpi);
            x += run_width(f, s + lines[i].start + runs[r].start, runs[r].len);
            int dy = y + ascent - TTF_FontAscent(f);
            up = SDL_min(up, dy);
            down = SDL_max(down, dy + TTF_FontHeight(f));
        }
        width = SDL_max(width, x);
    }
    if (width == 0)
        return nullptr;
    SDL_Surface *out = SDL_CreateRGBSurfaceWithFormat(0, width, down - up, 32, SDL_PIXELFORMAT_ARGB8888);
    if (!out)
        return nullptr;
    SDL_FillRect(out, nullptr, SDL_MapRGBA(out->format, colour.r, colour.g, colour.b, 0));
    for (int i = 0; i < nl; i++) {
        Run runs[RUNS_MAX];
        bool all;
        int n = split(base, s + lines[i].start, lines[i].len, runs, &all);
        int x = 0, y = (int)lround(i * skip * scale);
        for (int r = 0; r < n; r++) {
            TTF_Font *f = run_face(base, runs[r].face, dpi);
            const char *run = piece(buf, s + lines[i].start + runs[r].start, runs[r].len);
            SDL_Surface *part = TTF_RenderUTF8_Blended(f, run, colour);
            if (!part)
                continue;
            if (part->format->format == SDL_PIXELFORMAT_ARGB8888)
                lay(part, out, x, y + ascent - TTF_FontAscent(f) - up);
            x += part->w;
            SDL_FreeSurface(part);
        }
    }
    *top = up;
    return out;
}

// s rendered at dpi: by SDL2_ttf alone where the base face covers it and
// its own wrapping serves, so that such text keeps exactly its pixels.
SDL_Surface *rasterise(TTF_Font *face, const char *s, int wrap, SDL_Color colour, unsigned dpi, bool runs,
                       int *top)
{
    int len = (int)strlen(s);
    Run parts[RUNS_MAX];
    bool covered;
    split(face, s, len, parts, &covered);
    *top = 0;
    RASTERISED++;
    if (covered && !runs && (dpi == BASE_DPI || !wrap)) {
        TTF_Font *f = base_at(face, dpi);
        return wrap ? TTF_RenderUTF8_Blended_Wrapped(f, s, colour, (Uint32)wrap) : TTF_RenderUTF8_Blended(f, s, colour);
    }
    return compose(face, s, len, wrap, colour, dpi, covered, top);
}

// ---- kept textures ----

struct Kept {               // a text rasterised for an earlier frame
    SDL_Texture *t;
    int w, h, top;          // its size and the offset of its first row, in output pixels
    TTF_Font *face;
    unsigned dpi;
    SDL_Color colour;
    int wrap;
    int len;
    char s[TEXT_MAX];
    unsigned frame;         // the last frame that drew it
};
static Kept KEPT[16];       // a frame draws at most seven texts

static SDL_Rect DRAWN[16], SHOWN[16];   // boxes of this frame's texts and of the last frame's
static int NDRAWN, NSHOWN;

static bool same(const Kept &k, TTF_Font *face, unsigned dpi, SDL_Color c, int wrap, const char *s, int len)
{
    return k.t && k.face == face && k.dpi == dpi && k.wrap == wrap && k.len == len && k.colour.r == c.r &&
           k.colour.g == c.g && k.colour.b == c.b && k.colour.a == c.a && memcmp(k.s, s, len) == 0;
}

// 72 while the output is not larger than the canvas; else the dpi at which
// a face has as many output pixels as its size has logical ones.
static unsigned output_dpi(float *scale)
{
    float sx = 1, sy = 1;
    SDL_RenderGetScale(R, &sx, &sy);
    *scale = SDL_min(sx, sy);
    if (*scale <= 1)
        return BASE_DPI;
    return (unsigned)lround(BASE_DPI * *scale);
}

// Draws a kept texture with its top-left at (x, y) of the canvas. At the
// base dpi the rectangles are those of a frame drawn at 960x600; above it,
// the texture's pixels meet the output's one for one, and the logical
// rectangle is nudged by a fraction of a pixel so that the renderer's
// rounding lands on the intended output pixel.
static void place(SDL_Texture *t, int w, int h, int top, int x, int y, int wrap, unsigned dpi, float scale)
{
    if (dpi == BASE_DPI) {
        SDL_Rect src = {0, 0, w, h};
        SDL_Rect dst = {x, y + top, w, h};
        int room = CROP_EDGE - x;
        if (!wrap && room < w)
            src.w = dst.w = room;
        SDL_RenderCopy(R, t, &src, &dst);
        return;
    }
    int px = (int)lroundf(x * scale), py = (int)lroundf(y * scale) + top;
    int room = (int)lroundf(CROP_EDGE * scale) - px;
    SDL_Rect src = {0, 0, w, h};
    if (!wrap && room < w)
        src.w = room;
    if (src.w <= 0)
        return;
    constexpr float NUDGE = 1 / 64.0f;
    SDL_FRect dst = {(px + NUDGE) / scale, (py + NUDGE) / scale, (src.w + NUDGE) / scale, (h + NUDGE) / scale};
    SDL_RenderCopyF(R, t, &src, &dst);
}

void text(TTF_Font *face, int x, int y, int wrap, SDL_Color colour, const char *format, ...)
{
    char raw[TEXT_MAX], buf[TEXT_MAX];
    va_list ap;
    va_start(ap, format);
    vsnprintf(raw, sizeof raw, format, ap);
    va_end(ap);
    // Text from outside may hold what SDL2_ttf draws as boxes (controls,
    // escapes) or a character cut short, which it draws as a replacement.
    clean_text(buf, sizeof buf, raw, false);
    if (!face || !buf[0])
        return;
    float scale;
    unsigned dpi = output_dpi(&scale);
    if (dpi != BASE_DPI && base_at(face, dpi) == face)
        dpi = BASE_DPI;     // no copy of the face at that size: drawn stretched
    int len = (int)strlen(buf);
    Kept *k = nullptr, *free_slot = nullptr;
    for (Kept &e : KEPT) {
        if (same(e, face, dpi, colour, wrap, buf, len))
            k = &e;
        else if (!e.t && !free_slot)
            free_slot = &e;
    }
    Kept once = {};
    if (!k) {
        k = free_slot ? free_slot : &once;
        SDL_Surface *s = rasterise(face, buf, wrap, colour, dpi, false, &k->top);
        if (!s)
            return;
        k->t = SDL_CreateTextureFromSurface(R, s);
        k->w = s->w;
        k->h = s->h;
        SDL_FreeSurface(s);
        if (!k->t)
            return;
        k->face = face;
        k->dpi = dpi;
        k->colour = colour;
        k->wrap = wrap;
        k->len = len;
        memcpy(k->s, buf, len);
    }
    k->frame = FRAME;
    place(k->t, k->w, k->h, k->top, x, y, wrap, dpi, scale);
    if (NDRAWN < (int)std::size(DRAWN)) {
        float per = dpi == BASE_DPI ? 1 : scale;
        DRAWN[NDRAWN++] = {x, y + (int)floorf(k->top / per), (int)ceilf(k->w / per), (int)ceilf(k->h / per)};
    }
    if (k == &once)
        SDL_DestroyTexture(once.t);
}

void text_drop()
{
    for (Kept &k : KEPT)
        if (k.t) {
            SDL_DestroyTexture(k.t);
            k.t = nullptr;
        }
}

void text_frame_end()
{
    for (Kept &k : KEPT)
        if (k.t && k.frame != FRAME) {
            SDL_DestroyTexture(k.t);
            k.t = nullptr;
        }
    memcpy(SHOWN, DRAWN, sizeof SHOWN);
    NSHOWN = NDRAWN;
    NDRAWN = 0;
    FRAME++;
}

int text_boxes(SDL_Rect *boxes, int max)
{
    int n = SDL_min(max, NSHOWN);
    memcpy(boxes, SHOWN, n * sizeof *boxes);
    return n;
}

unsigned text_rasterised()
{
    return RASTERISED;
}
