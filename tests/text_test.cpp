// Text beyond DejaVu Sans and English: lines broken as SDL2_ttf breaks them,
// characters from a fallback face, textures kept between frames, and every
// screen of every catalog in its place.
#include "support.h"

#include "installer/installer.h"
#include "screens/screens.h"

#include <clocale>
#include <fstream>
#include <string>
#include <vector>

// Pixels of two rendered texts that differ, placed with their top-left corners
// at the given offsets (a transparent pixel's colour does not count).
static int differing(SDL_Surface *a, int ax, int ay, SDL_Surface *b, int bx, int by, int w, int h)
{
    int n = 0;
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            uint32_t p = at(a, x - ax, y - ay), q = at(b, x - bx, y - by);
            if ((p >> 24) != (q >> 24) || ((p >> 24) && p != q))
                n++;
        }
    return n;
}

// Where the desktop's font configuration finds a face with this character,
// asked of fontconfig's own tool rather than of the code under test.
static std::string face_with(const char *hex)
{
    return command(std::string("fc-match -f '%{file}' 'DejaVu Sans:charset=") + hex + "'");
}

TEST(Text, OwnLineBreaksAreSdlTtfs)
{
    offscreen();
    const char *texts[] = {
        "The game is built on this computer, once, before its first run. It downloads the game's disc "
        "image (337 MB), then builds the game from it.\n\nThat takes 10 to 20 minutes and about 4 GB of space.",
        "The logs are in /home/someone-with-a-long-name/.local/share/orvandel-sample-data-folder/logs/and/more",
        "two  spaces   here and\ttabs\r\nand a carriage return\rin the middle  ",
        "Ein Satz mit Umlauten: Größenänderung übernimmt die Einstellungen für alle Fenster.",
        "Unbreakablewordthatislongerthananylineofthiswidthcanholdatall and then words",
    };
    for (const char *t : texts)
        for (int wrap : {864, 300, 90}) {
            int top_a, top_b;
            SDL_Surface *theirs = rasterise(F_BODY, t, wrap, SOFT, 72, false, &top_a);
            SDL_Surface *ours = rasterise(F_BODY, t, wrap, SOFT, 72, true, &top_b);
            ASSERT_TRUE(theirs && ours) << t;
            EXPECT_EQ(top_b, 0);
            EXPECT_EQ(ours->h, theirs->h) << wrap << ": " << t;
            EXPECT_EQ(differing(theirs, 0, 0, ours, 0, 0, theirs->w, SDL_max(theirs->h, ours->h)), 0)
                << wrap << ": " << t;
            SDL_FreeSurface(theirs);
            SDL_FreeSurface(ours);
        }
}

TEST(Text, CharactersDejaVuLacksComeFromTheFallbackFace)
{
    offscreen();
    std::string cjk = face_with("5f20");
    ASSERT_FALSE(cjk.empty()) << "no face with Chinese characters (scripts install fonts-droid-fallback)";
    ASSERT_EQ(cjk, face_with("30c7")) << "one face for the Japanese too";
    TTF_Font *small = TTF_OpenFont(cjk.c_str(), 16), *body = TTF_OpenFont(cjk.c_str(), 24);
    ASSERT_TRUE(small && body);

    // A logs path under a Chinese user name: DejaVu's runs, then the
    // fallback face's, side by side at the widths each face gives them.
    const char *before = "The logs are in /home/", *name = "张伟", *after = "/.local/share/orvandel/logs";
    int w_before, w_name, w_after, dejavu_name, h;
    TTF_SizeUTF8(F_SMALL, before, &w_before, &h);
    TTF_SizeUTF8(small, name, &w_name, &h);
    TTF_SizeUTF8(F_SMALL, after, &w_after, &h);
    TTF_SizeUTF8(F_SMALL, name, &dejavu_name, &h);
    ASSERT_NE(w_name, dejavu_name);
    std::string path = std::string(before) + name + after;
    int w;
    measure(F_SMALL, path.c_str(), &w, &h);
    EXPECT_EQ(w, w_before + w_name + w_after);
    EXPECT_EQ(h, TTF_FontHeight(F_SMALL));

    // Its pixels are the fallback face's glyphs, on DejaVu's baseline, not
    // DejaVu's boxes.
    int top;
    SDL_Surface *drawn = rasterise(F_SMALL, path.c_str(), 864, WHITE, 72, false, &top);
    SDL_Surface *glyphs = TTF_RenderUTF8_Blended(small, name, WHITE);
    SDL_Surface *boxes = TTF_RenderUTF8_Blended(F_SMALL, name, WHITE);
    ASSERT_TRUE(drawn && glyphs && boxes);
    EXPECT_EQ(top, SDL_min(0, TTF_FontAscent(F_SMALL) - TTF_FontAscent(small)));
    EXPECT_EQ(drawn->w, w);
    int baseline = TTF_FontAscent(F_SMALL) - top;
    EXPECT_EQ(differing(drawn, -w_before, 0, glyphs, 0, baseline - TTF_FontAscent(small), w_name, drawn->h), 0);
    EXPECT_GT(differing(drawn, -w_before, 0, boxes, 0, -top, w_name, drawn->h), 20);
    // DejaVu's part keeps its own pixels.
    SDL_Surface *plain = TTF_RenderUTF8_Blended(F_SMALL, before, WHITE);
    EXPECT_EQ(differing(drawn, 0, 0, plain, 0, -top, w_before - 2, drawn->h), 0);

    // An installer's sentence in Chinese and Japanese, through the protocol
    // to the failed screen: wrapped at the fallback face's widths, in place.
    reset_state();
    S.state = ST_WORKING;
    const char *sentence = "无法下载游戏的光盘映像，服务器无法访问。ゲームのディスクイメージをダウンロードできませんでした。"
                           "しばらくしてからもう一度お試しください。";
    handle_line((std::string("@error ") + sentence).c_str());
    ASSERT_EQ(S.state, ST_FAILED);
    int whole;
    TTF_SizeUTF8(body, sentence, &whole, &h);
    measure(F_BODY, S.message, &w, &h);
    EXPECT_EQ(w, whole);
    draw();
    SDL_Rect box[16];
    int n = text_boxes(box, 16);
    ASSERT_GE(n, 3);    // title, message, logs line
    int lines = (whole + 863) / 864;
    EXPECT_EQ(box[1].y, 112 + TTF_FontAscent(F_BODY) - TTF_FontAscent(body));
    EXPECT_GE(box[1].y + box[1].h, 112 + lines * TTF_FontLineSkip(F_BODY));
    EXPECT_LE(box[1].x + box[1].w, 48 + 864);
    EXPECT_GT(box[1].w, 864 - 2 * 24);  // full lines: no break left a line half empty
    for (SDL_Surface *s : {drawn, glyphs, boxes, plain})
        SDL_FreeSurface(s);
    TTF_CloseFont(small);
    TTF_CloseFont(body);
}

TEST(Text, FramesKeepWhatTheyDrawAndDropTheRest)
{
    offscreen();
    reset_state();
    shot_fill("working");
    S.started = SDL_GetTicks() - 754000u + 500;  // half a second before the clock moves
    draw();
    unsigned first = text_rasterised();
    draw();
    EXPECT_EQ(text_rasterised(), first) << "an unchanged frame rasterises nothing";
    S.started -= 1000;
    draw();
    EXPECT_EQ(text_rasterised(), first + 1) << "the clock alone";
    snprintf(S.detail, sizeof S.detail, "[75/176] next line");
    draw();
    EXPECT_EQ(text_rasterised(), first + 2) << "the detail line alone";

    S.state = ST_READY;
    draw();
    unsigned ready = text_rasterised();
    S.state = ST_SETUP;
    draw();
    S.state = ST_READY;
    draw();
    EXPECT_GT(text_rasterised(), ready + 2) << "texts a frame did not draw were dropped";
}

// ---- languages ----

static std::vector<std::string> catalogs()
{
    std::vector<std::string> langs;
    std::ifstream in(SOURCE_DIR "/po/LINGUAS");
    for (std::string l; std::getline(in, l);)
        if (!l.empty() && l[0] != '#')
            langs.push_back(l);
    return langs;
}

static bool overlap(const SDL_Rect &a, const SDL_Rect &b)
{
    return SDL_HasIntersection(&a, &b);
}

// Every screen of every catalog, with every message the launcher makes
// itself: no text past the margin or the crop edge, none running into
// another or into a button, labels inside their buttons, and both buttons
// of a row within the margins.
TEST(Languages, EveryScreenOfEveryCatalogFits)
{
    offscreen();
    std::vector<std::string> langs = catalogs();
    ASSERT_GE(langs.size(), 7u);
    Env all("LC_ALL", "C.UTF-8");
    char python[] = "/app/venv/bin/python3", home[] = "/home/player/.local/share/orvandel";
    enum { NONE, PATH, NUMBER };
    struct {
        const char *id;
        int takes;
    } messages[] = {
        {"The installer could not run (%.300s). Reinstalling the app may help.", PATH},
        {"The build stopped (signal %d). Its log has the details.", NUMBER},
        {"The build stopped (exit %d). Its log has the details.", NUMBER},
        {"The build could not start.", NONE},
        {"The game could not start.", NONE},
        {"The game stopped unexpectedly.", NONE},
    };
    for (const std::string &lang : langs) {
        Env language_var("LANGUAGE", lang.c_str());
        language(LOCALE_DIR);
        ASSERT_STRNE(_("Quit"), "Quit") << lang << ": its catalog is not in use";
        snprintf(g_python, sizeof g_python, "%s", python);
        snprintf(g_logs, sizeof g_logs, "%s/logs", home);
        struct Screen {
            const char *state;
            int message;    // index in messages, or -1 for the screen's own
        };
        std::vector<Screen> screens = {{"checking", -1}, {"setup", -1}, {"update", -1}, {"working", -1},
                                       {"ready", -1}, {"crashed", -1}};
        for (int m = 0; m < (int)std::size(messages); m++)
            screens.push_back({"failed", m});
        screens.push_back({"working-starting", -1});
        screens.push_back({"working-cancelling", -1});
        screens.push_back({"working-left", -1});
        for (const Screen &sc : screens) {
            reset_state();
            std::string state = sc.state;
            if (state == "checking") {
                S.needs_disc = 1;
            } else if (state == "working-starting") {
                shot_fill("working");
                S.steps = 0;
                snprintf(S.step_label, sizeof S.step_label, "%s", _("Starting"));
            } else if (state == "working-left") {
                shot_fill("working");
                // The longest of the time-left lines.
                snprintf(S.left, sizeof S.left,
                         ngettext("About %d hour %d minutes left in this step",
                                  "About %d hours %d minutes left in this step", 2), 2, 50);
            } else if (state == "working-cancelling") {
                shot_fill("working");
                S.cancelled = 1;
            } else {
                shot_fill(sc.state);
            }
            if (sc.message >= 0) {
                const char *m = _(messages[sc.message].id);
                if (messages[sc.message].takes == PATH)
                    snprintf(S.message, sizeof S.message, m, python);
                else if (messages[sc.message].takes == NUMBER)
                    snprintf(S.message, sizeof S.message, m, 255);
                else
                    snprintf(S.message, sizeof S.message, "%s", m);
            }
            FOCUS = FOCUS_DEFAULT;
            draw();
            std::string where = lang + " " + state + (sc.message >= 0 ? " " + std::to_string(sc.message) : "");
            SDL_Rect box[16];
            int n = text_boxes(box, 16);
            ASSERT_GE(n, 2) << where;
            for (int i = 0; i < n; i++) {
                const SDL_Rect &b = box[i];
                EXPECT_GE(b.x, 48) << where << " text " << i;
                EXPECT_LE(b.x + b.w, 920) << where << " text " << i << " is cropped";
                EXPECT_GE(b.y, 0) << where << " text " << i;
                EXPECT_LE(b.y + b.h, 600) << where << " text " << i;
                for (int j = 0; j < i; j++)
                    EXPECT_FALSE(overlap(b, box[j])) << where << ": texts " << j << " and " << i << " meet";
                int label = 0;
                for (int k = 0; k < NB; k++) {
                    SDL_Rect ring = {B[k].x - 4, B[k].y - 4, B[k].w + 8, B[k].h + 8};
                    SDL_Rect face = {B[k].x, B[k].y, B[k].w, B[k].h};
                    SDL_Rect inside;
                    if (SDL_IntersectRect(&b, &face, &inside) && SDL_RectEquals(&inside, &b))
                        label++;
                    else
                        EXPECT_FALSE(overlap(b, ring)) << where << ": text " << i << " runs into button " << k;
                }
                EXPECT_LE(label, 1);
            }
            if (state == "checking")
                continue;
            int own = state == "failed" || state == "crashed" ? 3
                      : state == "working-left"           ? 6
                      : state.rfind("working", 0) == 0     ? 5
                                                           : 2;
            EXPECT_EQ(n, NB + own)
                << where << ": every text drawn";
            ASSERT_GE(NB, 1) << where;
            EXPECT_GE(B[0].x, 48) << where << ": the row starts within the margin";
            EXPECT_EQ(B[NB - 1].x + B[NB - 1].w, 912) << where;
        }
    }
}

// A German locale translates and still reads the installer's numbers with
// a decimal point.
TEST(Languages, GermanLocaleKeepsTheDecimalPoint)
{
    Scratch s;
    std::string made = command("localedef -i de_DE -f UTF-8 " + s.path("de_DE.UTF-8") + " 2>&1; echo $?");
    ASSERT_EQ(made.substr(made.size() - 2), "0\n") << made;
    Env locpath("LOCPATH", s.dir.c_str()), all("LC_ALL", nullptr), messages("LC_MESSAGES", nullptr),
        numeric("LC_NUMERIC", nullptr), lang("LANG", "de_DE.UTF-8"), language_var("LANGUAGE", nullptr);
    language(LOCALE_DIR);
    EXPECT_STREQ(_("Play Again"), "Erneut spielen");
    reset_state();
    handle_line("@progress 0.5");
    EXPECT_EQ(S.progress, 0.5);
    handle_line("@progress 0,25");
    EXPECT_EQ(S.progress, 0.0);
    setlocale(LC_MESSAGES, "C");
}
