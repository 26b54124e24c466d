// Frames as the launcher draws them: exact numbers where the layout fixes
// them, presence and place where a font rasterises.
#include "support.h"

#include "screens/screens.h"

#include <string>
#include <vector>

constexpr uint32_t AMBER_PX = 0xfff5b22a, CREAM_PX = 0xfffaf8f0, TRACK_PX = 0xff0e2216;

static uint32_t argb(SDL_Color c)
{
    return (uint32_t)c.a << 24 | c.r << 16 | c.g << 8 | c.b;
}

// The colour of the translucent face blended over the band at y.
static uint32_t face_over_band(int y)
{
    SDL_Color band;
    band_colour(y, &band);
    auto mix = [](int top, int under) { return (top * 210 + under * (255 - 210)) / 255; };
    SDL_Color c = {(Uint8)mix(28, band.r), (Uint8)mix(58, band.g), (Uint8)mix(40, band.b), 255};
    return argb(c);
}

TEST(Screens, BackgroundBands)
{
    struct {
        int y;
        uint32_t want;
    } cases[] = {{0, 0xff122c1e}, {300, 0xff384826}, {500, 0xff1b2c18}, {596, 0xff0e1e12}};
    for (auto c : cases) {
        SDL_Color col;
        band_colour(c.y, &col);
        EXPECT_EQ(argb(col), c.want) << c.y;
    }
    offscreen();
    reset_state();
    S.state = ST_READY;
    draw();
    for (auto c : cases) {
        EXPECT_EQ(pixel(2, c.y), c.want) << c.y;
        EXPECT_EQ(pixel(957, c.y + 3), c.want) << c.y;
    }
}

TEST(Screens, ClockAndFillNumbers)
{
    struct {
        uint32_t ms;
        const char *want;
    } clocks[] = {{754000, "12:34"}, {59999, "0:59"}, {4503000, "75:03"}, {0, "0:00"}, {4294967295u, "71582:47"}};
    for (auto c : clocks) {
        char buf[32];
        clock_text(c.ms, buf);
        EXPECT_STREQ(buf, c.want);
    }
    EXPECT_EQ(fill_width(0.42), 362);
    EXPECT_EQ(fill_width(1.0), 864);
    EXPECT_EQ(fill_width(0.0), 0);
    EXPECT_GT(fill_width(1.05), 864);           // past the end of the track, as documented
    EXPECT_EQ(fill_width(4294967295.0), 960);   // bounded, never an overflowing conversion
    EXPECT_EQ(fill_width(1e300), 960);
}

TEST(Screens, SweepRectangles)
{
    struct {
        uint32_t p;
        bool drawn;
        SDL_Rect want;
    } cases[] = {
        {0, false, {}}, {100, true, {48, 160, 100, 14}}, {500, true, {332, 160, 216, 14}},
        {1000, true, {832, 160, 80, 14}}, {1079, true, {911, 160, 1, 14}}, {1080, false, {}},
    };
    for (auto c : cases) {
        SDL_Rect r = {};
        EXPECT_EQ(sweep(c.p, &r), c.drawn) << c.p;
        if (c.drawn) {
            EXPECT_TRUE(SDL_RectEquals(&r, &c.want)) << c.p << ": " << r.x << "," << r.w;
        }
    }
}

TEST(Screens, ButtonLayoutFromLabelWidths)
{
    offscreen();
    reset_state();
    // Without a button font every label measures 0.
    TTF_Font *saved = F_BUTTON;
    F_BUTTON = nullptr;
    FOCUS = 99;
    buttons({2, {"Quit", "Play"}, {ACT_QUIT, ACT_PLAY}});
    EXPECT_EQ(NB, 2);
    EXPECT_EQ(FOCUS, 1);
    EXPECT_TRUE(B[0].x == 532 && B[0].y == 488 && B[0].w == 180 && B[0].h == 64);
    EXPECT_TRUE(B[1].x == 732 && B[1].y == 488 && B[1].w == 180 && B[1].h == 64);
    buttons({1, {"Cancel"}, {ACT_CANCEL}});
    EXPECT_EQ(FOCUS, 0);
    EXPECT_EQ(B[0].x, 732);
    F_BUTTON = saved;

    // With the font: a label measuring w gives max(w, 116) + 64, right-aligned at 912.
    int quit_w, build_w, h;
    TTF_SizeUTF8(F_BUTTON, "Quit", &quit_w, &h);
    TTF_SizeUTF8(F_BUTTON, "Download and Build", &build_w, &h);
    ASSERT_LT(quit_w, 116);
    ASSERT_GT(build_w, 116);
    FOCUS = 0;
    buttons({2, {"Quit", "Download and Build"}, {ACT_QUIT, ACT_BUILD}});
    EXPECT_EQ(FOCUS, 0);
    EXPECT_EQ(B[1].w, build_w + 64);
    EXPECT_EQ(B[1].x, 912 - build_w - 64);
    EXPECT_EQ(B[0].w, 180);
    EXPECT_EQ(B[0].x, B[1].x - 20 - 180);
    EXPECT_STREQ(B[1].label, "Download and Build");
    EXPECT_EQ(B[1].action, ACT_BUILD);
}

TEST(Screens, RowsRingsAndFacesForEveryState)
{
    offscreen();
    struct {
        int state;
        int nb;
        int actions[2];
    } cases[] = {
        {ST_SETUP, 2, {ACT_QUIT, ACT_BUILD}}, {ST_UPDATE, 2, {ACT_QUIT, ACT_BUILD}},
        {ST_WORKING, 1, {ACT_CANCEL}}, {ST_FAILED, 2, {ACT_QUIT, ACT_RETRY}},
        {ST_READY, 2, {ACT_QUIT, ACT_PLAY}}, {ST_CRASHED, 2, {ACT_QUIT, ACT_PLAY}},
    };
    for (auto c : cases) {
        reset_state();
        S.state = c.state;
        FOCUS = 99;
        draw();
        ASSERT_EQ(NB, c.nb) << c.state;
        EXPECT_EQ(FOCUS, c.nb - 1);
        for (int i = 0; i < NB; i++)
            EXPECT_EQ(B[i].action, c.actions[i]) << c.state;
        const Button &f = B[NB - 1];
        // Ring 4 pixels outside the face on every side, cream face inside it.
        EXPECT_EQ(pixel(f.x - 4, f.y - 4), AMBER_PX);
        EXPECT_EQ(pixel(f.x + f.w + 3, f.y + f.h + 3), AMBER_PX);
        EXPECT_EQ(pixel(f.x - 1, f.y + 30), AMBER_PX);
        EXPECT_NE(pixel(f.x - 5, f.y + 30), AMBER_PX);
        EXPECT_EQ(pixel(f.x + 2, f.y + 2), CREAM_PX);
        if (NB == 2) {
            EXPECT_TRUE(near(pixel(B[0].x + 2, B[0].y + 2), face_over_band(B[0].y), 2)) << c.state;
            EXPECT_NE(pixel(B[0].x - 2, B[0].y + 2), AMBER_PX);
        }
    }
}

TEST(Screens, CheckingScreenHasNoRow)
{
    offscreen();
    reset_state();
    FOCUS = 7;
    NB = 2;
    draw();
    EXPECT_EQ(NB, 0);
    EXPECT_EQ(FOCUS, 7);
    SDL_Color band;
    band_colour(520, &band);
    EXPECT_EQ(pixel(820, 520), argb(band));     // where "Play" would stand
}

TEST(Screens, WorkingScreenTrackFillAndTexts)
{
    offscreen();
    reset_state();
    S.state = ST_WORKING;
    S.progress = 0.42;
    S.started = SDL_GetTicks();
    draw();
    EXPECT_EQ(pixel(48, 160), AMBER_PX);
    EXPECT_EQ(pixel(48 + 361, 173), AMBER_PX);
    EXPECT_EQ(pixel(48 + 362, 160), TRACK_PX);
    EXPECT_EQ(pixel(911, 166), TRACK_PX);
    EXPECT_NE(pixel(47, 166), AMBER_PX);
    EXPECT_NE(pixel(100, 174), AMBER_PX);

    // Nothing done yet is an empty fill: the track alone, to its left end.
    S.progress = 0;
    draw();
    EXPECT_EQ(pixel(48, 160), TRACK_PX);
    EXPECT_EQ(pixel(48, 173), TRACK_PX);

    // A count far above 1 still draws, bounded, past the track's end.
    S.progress = 4294967295.0;
    draw();
    EXPECT_EQ(pixel(911, 166), AMBER_PX);
    EXPECT_EQ(pixel(950, 166), AMBER_PX);

    // An empty detail line leaves y = 196 blank; a non-empty one draws there.
    auto lit = [](int y0, int y1, int x0, int x1) {
        int n = 0;
        for (int y = y0; y < y1; y += 2)
            for (int x = x0; x < x1; x += 2) {
                SDL_Color band;
                band_colour(y - y % 4, &band);
                n += pixel(x, y) != argb(band);
            }
        return n;
    };
    S.detail[0] = '\0';
    draw();
    EXPECT_EQ(lit(196, 214, 48, 600), 0);
    snprintf(S.detail, sizeof S.detail, "[1/2] Building");
    draw();
    EXPECT_GT(lit(196, 214, 48, 200), 0);
    // Bytes that are not UTF-8, from a child's output, still draw (as replacement glyphs).
    snprintf(S.detail, sizeof S.detail, "\xff\xfe\xc3(%%n)");
    draw();
    EXPECT_GT(lit(196, 214, 48, 120), 0);
    // The step line starts at 48 with a label alone or with "Step n of m".
    S.steps = 0;
    snprintf(S.step_label, sizeof S.step_label, "Starting");
    draw();
    int alone = lit(112, 140, 48, 500);
    S.steps = 7;
    S.step = 7;
    draw();
    EXPECT_GT(lit(112, 140, 48, 500), alone);
    EXPECT_GT(alone, 0);

    // A cancel that was taken takes the step line's place, whatever the steps say.
    auto step_line = [] {
        std::vector<uint32_t> v;
        for (int y = 112; y < 140; y += 2)
            for (int x = 48; x < 500; x += 2)
                v.push_back(pixel(x, y));
        return v;
    };
    S.cancelled = 1;
    draw();
    std::vector<uint32_t> cancelling = step_line();
    S.cancelled = 0;
    S.steps = 0;
    snprintf(S.step_label, sizeof S.step_label, "Cancelling\u2026");
    draw();
    EXPECT_EQ(step_line(), cancelling);
}

TEST(Screens, TextCropsSingleLinesAtTheEdgeAndNeverWrappedOnes)
{
    offscreen();
    reset_state();
    std::string wide(200, 'W');
    int w, h;
    TTF_SizeUTF8(F_BODY, wide.c_str(), &w, &h);
    ASSERT_GT(w, 1000);
    auto column_lit = [&](int x) {
        for (int y = 300; y < 300 + h; y++)
            if ((pixel(x, y) & 0xffffff) == 0xffffff)
                return true;
        return false;
    };
    auto background = [] {
        SDL_SetRenderDrawColor(R, 0, 0, 0, 255);
        SDL_RenderClear(R);
    };
    background();
    text(F_BODY, 48, 300, 0, WHITE, "%s", wide.c_str());
    bool before_edge = false;
    for (int x = 900; x < 920; x++)
        before_edge |= column_lit(x);
    EXPECT_TRUE(before_edge);
    for (int x = 920; x < 960; x++)
        EXPECT_FALSE(column_lit(x)) << x;

    background();
    text(F_BODY, 920, 300, 0, WHITE, "%s", "W");
    text(F_BODY, 930, 300, 0, WHITE, "%s", "W");
    for (int x = 900; x < 960; x++)
        EXPECT_FALSE(column_lit(x)) << x;

    // A per-cent sign in data is drawn literally, and a format of 1500 bytes is cut, not overrun.
    background();
    text(F_BODY, 48, 300, 0, WHITE, "%s", "100% %n");
    EXPECT_TRUE(column_lit(60));
    std::string long_text(1500, 'i');
    text(F_SMALL, 0, 300, 864, WHITE, "%s", long_text.c_str());
    text(nullptr, 48, 300, 0, WHITE, "%s", "no font");
    text(F_BODY, 48, 300, 0, WHITE, "%s", "");
}

// ---- screenshot mode, through the program itself ----

TEST(Shot, EveryStateWritesA960x600Image)
{
    Scratch s;
    const char *states[] = {"setup", "update", "working", "failed", "crashed", "ready"};
    for (const char *st : states) {
        std::string path = s.path(std::string(st) + ".bmp");
        ASSERT_EQ(run_shot(st, path.c_str()), 0) << st;
        SDL_Surface *img = load_shot(path);
        ASSERT_TRUE(img) << st;
        EXPECT_EQ(img->w, 960);
        EXPECT_EQ(img->h, 600);
        EXPECT_EQ(at(img, 2, 0), 0xff122c1eu) << st;
        EXPECT_EQ(at(img, 2, 300), 0xff384826u) << st;
        EXPECT_EQ(at(img, 2, 500), 0xff1b2c18u) << st;
        EXPECT_EQ(at(img, 2, 596), 0xff0e1e12u) << st;
        // The focus ring on the last button of the row, ending at 912 + 4.
        EXPECT_EQ(at(img, 915, 484), AMBER_PX) << st;
        EXPECT_EQ(at(img, 910, 490), CREAM_PX) << st;
        if (std::string(st) == "working") {
            for (int x = 48; x < 48 + 362; x += 19)
                EXPECT_EQ(at(img, x, 166), AMBER_PX) << x;
            EXPECT_EQ(at(img, 48 + 361, 166), AMBER_PX);
            EXPECT_EQ(at(img, 48 + 362, 166), TRACK_PX);
            EXPECT_EQ(at(img, 911, 166), TRACK_PX);
        } else {
            EXPECT_NE(at(img, 100, 166), AMBER_PX) << st;
        }
        SDL_FreeSurface(img);
    }
}

TEST(Shot, UnknownStatesGiveTheReadyScreen)
{
    Scratch s;
    ASSERT_EQ(run_shot("ready", s.path("ready.bmp").c_str()), 0);
    std::string ready = read_file(s.path("ready.bmp"));
    for (const char *st : {(const char *)nullptr, "", "Setup", "nonsense"}) {
        ASSERT_EQ(run_shot(st, s.path("other.bmp").c_str()), 0);
        EXPECT_EQ(read_file(s.path("other.bmp")), ready) << (st ? st : "(unset)");
    }
    ASSERT_EQ(run_shot("setup", s.path("setup.bmp").c_str()), 0);
    EXPECT_NE(read_file(s.path("setup.bmp")), ready);
}

TEST(Shot, UnwritablePathsFailWithStatusOne)
{
    Scratch s;
    EXPECT_EQ(run_shot("ready", ""), 1);
    EXPECT_EQ(run_shot("ready", s.path("missing/dir/x.bmp").c_str()), 1);
    EXPECT_FALSE(exists(s.path("missing")));
    // Nothing else is written: no logs folder under the data directory.
    EXPECT_EQ(run_shot("failed", s.path("f.bmp").c_str(), s.path("home").c_str()), 0);
    EXPECT_FALSE(exists(s.path("home")));
}
