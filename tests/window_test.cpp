// The launcher's own window on a real X server (tests/e2e/window_test.sh runs
// this under Xvfb), resized as a player resizes it: text rasterised at the
// output's scale, clicks landing on the buttons where they are drawn, and a
// 960x600 window pixel for pixel the image of screenshot mode.
#include "support.h"

#include "screens/screens.h"

#include <SDL_syswm.h>
#include <cstring>
#include <string>
#include <vector>

constexpr uint32_t CREAM_PX = 0xfffaf8f0;

struct Frame {
    int w = 0, h = 0;
    std::vector<uint32_t> px;
    uint32_t at(int x, int y) const { return px[(size_t)y * w + x]; }
};

static void window()
{
    if (R)
        return;
    ASSERT_EQ(startup(false), 0) << SDL_GetError();
}

static unsigned long xid()
{
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    return SDL_GetWindowWMInfo(WIN, &info) ? info.info.x11.window : 0;
}

static void xdotool(const std::string &args)
{
    std::string cmd = "xdotool " + args;
    ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
}

// Resizes the window through the X server, at the screen's corner so that
// all of it can be clicked, and waits until SDL has seen it.
static void resize(int w, int h)
{
    xdotool("windowmove " + std::to_string(xid()) + " 0 0");
    xdotool("windowsize " + std::to_string(xid()) + " " + std::to_string(w) + " " + std::to_string(h));
    int ow = 0, oh = 0;
    for (int i = 0; i < 400; i++) {
        SDL_Event e;
        while (SDL_PollEvent(&e)) {
        }
        SDL_GetRendererOutputSize(R, &ow, &oh);
        if (ow == w && oh == h)
            break;
        SDL_Delay(10);
    }
    ASSERT_EQ(ow, w);
    ASSERT_EQ(oh, h);
    // The GL drawable takes the new size at the next buffer swap.
    draw();
    SDL_RenderPresent(R);
}

// The screen of screenshot mode's state, drawn and read back; progress, when
// given, in place of its own.
static Frame show(const char *state, double progress = -2)
{
    reset_state();
    shot_fill(state);
    if (progress > -2)
        S.progress = progress;
    FOCUS = FOCUS_DEFAULT;
    draw();
    Frame f;
    SDL_GetRendererOutputSize(R, &f.w, &f.h);
    f.px.resize((size_t)f.w * f.h);
    SDL_RenderReadPixels(R, nullptr, SDL_PIXELFORMAT_ARGB8888, f.px.data(), f.w * 4);
    SDL_RenderPresent(R);
    return f;
}

// White text of this alpha over the background of the frame's row y.
static uint32_t over(const Frame &f, int y, int alpha)
{
    uint32_t bg = f.at(2, y), out = 0xff000000;
    for (int shift = 0; shift < 24; shift += 8) {
        int b = bg >> shift & 255;
        out |= (uint32_t)((255 * alpha + b * (255 - alpha)) / 255) << shift;
    }
    return out;
}

// Pixels of the frame's box at (x, y) that do not show the alpha map drawn
// in white over the background, among the pixels either of them lights.
static double mismatch(const Frame &f, int x, int y, SDL_Surface *alpha)
{
    int lit = 0, wrong = 0;
    for (int r = 0; r < alpha->h; r++)
        for (int c = 0; c < alpha->w; c++) {
            int a = at(alpha, c, r) >> 24;
            uint32_t want = over(f, y + r, a), got = f.at(x + c, y + r);
            if (a == 0 && got == f.at(2, y + r))
                continue;
            lit++;
            wrong += !near(got, want, 3);
        }
    return lit ? (double)wrong / lit : 1.0;
}

TEST(Window, TextIsRasterisedAtTheOutputScale)
{
    window();
    std::string bold = command("fc-match -f '%{file}' 'DejaVu Sans:bold'");
    ASSERT_FALSE(bold.empty());
    for (int w : {1280, 1920}) {
        int h = w * 600 / 960;
        resize(w, h);
        Frame f = show("ready");
        double scale = w / 960.0;
        unsigned dpi = (unsigned)lround(72 * scale);
        // The title as the face opened at the scaled size draws it...
        TTF_Font *big = TTF_OpenFontDPI(bold.c_str(), 36, dpi, dpi);
        ASSERT_TRUE(big);
        SDL_Surface *crisp = TTF_RenderUTF8_Blended(big, "Orvandel", WHITE);
        // ...and the 960x600 rendering stretched to the same box.
        SDL_Surface *small = TTF_RenderUTF8_Blended(F_TITLE, "Orvandel", WHITE);
        SDL_Surface *stretched = SDL_CreateRGBSurfaceWithFormat(0, crisp->w, crisp->h, 32, SDL_PIXELFORMAT_ARGB8888);
        SDL_SetSurfaceBlendMode(small, SDL_BLENDMODE_NONE);
        SDL_Rect box = {0, 0, (int)lround(small->w * scale), (int)lround(small->h * scale)};
        SDL_BlitScaled(small, nullptr, stretched, &box);
        int x = (int)lround(48 * scale), y = (int)lround(48 * scale);
        double as_crisp = mismatch(f, x, y, crisp), as_stretched = mismatch(f, x, y, stretched);
        EXPECT_LT(as_crisp, 0.03) << w << "x" << h;
        EXPECT_GT(as_stretched, 0.2) << w << "x" << h;
        // The layout stays the canvas's: the row still ends at 912.
        EXPECT_EQ(f.at((int)(914 * scale), (int)(520 * scale)), 0xfff5b22a) << w;
        for (SDL_Surface *s : {crisp, small, stretched})
            SDL_FreeSurface(s);
        TTF_CloseFont(big);
    }
}

// Clicks at the middle of each button as it appears on the screen reach
// that button, and a click beside the row reaches none.
TEST(Window, ClicksLandOnTheButtonsDrawn)
{
    window();
    for (int w : {1280, 1920}) {
        int h = w * 600 / 960;
        resize(w, h);
        Frame f = show("setup");
        int row = h * 520 / 600, left = -1, right = -1;
        for (int x = 0; x < w; x++)
            if (f.at(x, row) == CREAM_PX) {
                left = left < 0 ? x : left;
                right = x;
            }
        ASSERT_GT(right, left) << "no focused face on the row at " << w;
        int left_mid = (int)lround((B[0].x + B[0].w / 2.0) * w / 960.0);
        EXPECT_NE(f.at(left_mid, row), f.at(2, row)) << "the other button is drawn where it is laid out";
        struct {
            int x;
            int want;
        } clicks[] = {{(left + right) / 2, NB - 1}, {left_mid, 0}, {(int)lround((B[0].x - 10) * w / 960.0), -1}};
        for (auto c : clicks) {
            xdotool("mousemove --window " + std::to_string(xid()) + " " + std::to_string(c.x) + " " +
                    std::to_string(row) + " click 1");
            int got = -2;
            for (int i = 0; i < 300 && got == -2; i++) {
                SDL_Event e;
                while (SDL_PollEvent(&e))
                    if (e.type == SDL_MOUSEBUTTONUP)
                        got = hit(e.button.x, e.button.y);
                SDL_Delay(10);
            }
            EXPECT_EQ(got, c.want) << w << "x" << h << " at " << c.x;
        }
    }
}

TEST(Window, At960x600EveryPixelIsScreenshotModes)
{
    window();
    resize(960, 600);
    snprintf(g_logs, sizeof g_logs, "/data/u/logs");
    // OpenGL blends a level or two off the software renderer of screenshot
    // mode (up to 4 where a label lies over a translucent face); a window on
    // the software renderer matches it exactly.
    SDL_RendererInfo info;
    SDL_GetRendererInfo(R, &info);
    bool exact = strcmp(info.name, "software") == 0;
    Scratch s;
    for (const char *state : {"setup", "working", "failed"}) {
        std::string bmp = s.path(std::string(state) + ".bmp");
        ASSERT_EQ(run_shot(state, bmp.c_str()), 0);
        SDL_Surface *shot = load_shot(bmp);
        ASSERT_TRUE(shot);
        Frame f = show(state);
        int differ = 0;
        for (int y = 0; y < 600; y++)
            for (int x = 0; x < 960; x++)
                differ += exact ? at(shot, x, y) != f.at(x, y) : !near(at(shot, x, y), f.at(x, y), 4);
        EXPECT_EQ(differ, 0) << state;
        SDL_FreeSurface(shot);
    }
}

// R made anew as the named renderer, set up as start-up sets it.
static void use_renderer(const char *name)
{
    drop_kept();
    SDL_DestroyRenderer(R);
    R = nullptr;
    for (int i = 0; i < SDL_GetNumRenderDrivers(); i++) {
        SDL_RendererInfo info;
        if (SDL_GetRenderDriverInfo(i, &info) == 0 && strcmp(info.name, name) == 0)
            R = SDL_CreateRenderer(WIN, i, 0);
    }
    ASSERT_TRUE(R) << name << ": " << SDL_GetError();
    SDL_RenderSetLogicalSize(R, 960, 600);
    SDL_SetRenderDrawBlendMode(R, SDL_BLENDMODE_BLEND);
}

// The background's colour of canvas row y: bands of 4 rows, each the colour
// of its first row between the stops at the top, middle and bottom.
static uint32_t gradient_px(int y)
{
    const int top[] = {18, 44, 30}, middle[] = {56, 72, 38}, bottom[] = {14, 30, 18};
    double t = (y - y % 4) / 600.0;
    uint32_t px = 0xff000000;
    for (int c = 0; c < 3; c++) {
        double v = t < 0.5 ? top[c] + (middle[c] - top[c]) * 2 * t : middle[c] + (bottom[c] - middle[c]) * 2 * (t - 0.5);
        px |= (uint32_t)v << (16 - 8 * c);
    }
    return px;
}

// Scaled by a fraction, both renderers show one picture: every output row
// of the margin the colour of a canvas row it covers, the bar's and the
// buttons' edges on the same pixels, text off by anti-aliasing alone.
TEST(Window, ScaledFramesAreTheSameOnEveryRenderer)
{
    window();
    snprintf(g_logs, sizeof g_logs, "/data/u/logs");
    const struct {
        const char *state;
        double progress;
    } screens[] = {{"ready", 0}, {"working", 0}, {"working", 0.42}, {"failed", 0}};
    for (int w : {1280, 1440}) {
        int h = w * 600 / 960;
        double scale = w / 960.0;
        std::vector<Frame> frames[2];
        const char *drivers[] = {"software", "opengl"};
        for (int d = 0; d < 2; d++) {
            use_renderer(drivers[d]);
            resize(w, h);
            for (auto sc : screens) {
                if (sc.state == screens[0].state)
                    drop_kept();    // the first frame of a size fills bands; the others copy the gradient
                frames[d].push_back(show(sc.state, sc.progress));
            }
        }
        for (size_t i = 0; i < std::size(screens); i++) {
            const Frame &soft = frames[0][i], &gl = frames[1][i];
            std::string what = std::to_string(w) + " " + screens[i].state + " " + std::to_string(screens[i].progress);
            int seams = 0, differ = 0;
            for (int y = 0; y < h; y++) {
                int first = (int)(y / scale), last = SDL_min((int)((y + 1) / scale - 1e-9), 599);
                for (const Frame *f : {&soft, &gl}) {
                    uint32_t got = f->at(2, y);
                    seams += got != gradient_px(first) && got != gradient_px(last);
                }
                for (int x = 0; x < w; x++)
                    differ += !near(soft.at(x, y), gl.at(x, y), 4);
            }
            EXPECT_EQ(seams, 0) << what;
            // Glyphs' edges may round apart where anti-aliasing does.
            EXPECT_LT(differ, w * h / 2000) << what;
            int row = (int)lround(166 * scale);
            int fill_end = (int)lround((48 + fill_width(screens[i].progress)) * scale);
            for (const Frame *f : {&soft, &gl})
                if (!strcmp(screens[i].state, "working")) {
                    EXPECT_EQ(f->at((int)lround(48 * scale), row) == 0xfff5b22a, screens[i].progress > 0) << what;
                    EXPECT_EQ(f->at(fill_end - 1, row) == 0xfff5b22a, screens[i].progress > 0) << what;
                    EXPECT_NE(f->at(fill_end, row), 0xfff5b22aU) << what;
                }
        }
    }
}
