// Text from outside made fit to say and to show: valid UTF-8, cut at whole
// characters, without escape sequences or control characters.
#include "support.h"

#include "installer/installer.h"
#include "screens/screens.h"

#include <string>
#include <vector>

static std::string cleaned(const std::string &s, bool fold = true, size_t size = 256)
{
    char out[256];
    clean_text(out, size, s.c_str(), fold);
    return out;
}

TEST(Clean, MakesValidTextWithoutControls)
{
    const char *cases[][2] = {
        {"Disk \xff full", "Disk \uFFFD full"},
        {"over\xc0\xaflong half\xed\xa0\x80", "over\uFFFDlong half\uFFFD"},
        {"cut \xe2\x82 inside, at the end \xf0\x9f\x98", "cut \uFFFD inside, at the end"},
        {"a\x01""b\x7f""c\x08 next\xc2\x85line\xc2\x9c", "abc nextline"},
        {"\x1b[1;31mRed\x1b[0m \xc2\x9b""31mred", "Red red"},
        {"\x1b]0;title\x07""Done \x1b]8;;http://x\x1b\\link\x1b]8;;\x1b\\ here", "Done link here"},
        {"\x1b(Bplain\x1b""7saved\x1b""8\x1bP1$r\x1b[m end\x1b", "plainsaved end"},
        {"  a \t\n\n b\r\v ", "a b"},
        {"\xd0\x9d\xd0\xb5 \xe6\x97\xa5 \xf0\x9f\x98\x80", "\xd0\x9d\xd0\xb5 \xe6\x97\xa5 \xf0\x9f\x98\x80"},
    };
    for (auto &c : cases)
        EXPECT_EQ(cleaned(c[0]), c[1]) << c[0];
    // For the screens: line feeds stay, other white space is a space each.
    EXPECT_EQ(cleaned("  a \t\n\n b\r\v \x1b[m\xc3", false), "  a  \n\n b   ");
}

TEST(Clean, CutsFallAtWholeCharacters)
{
    const char *chars[] = {"\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80"};
    for (const char *ch : chars) {
        std::string whole = std::string("ab") + ch + "c";
        int n = (int)strlen(ch);
        for (int k = 0; k <= n; k++) {
            int kept = k == n ? 2 + n : 2;
            EXPECT_EQ(utf8_whole(whole.c_str(), 2 + k), kept) << ch << " cut after " << k;
            EXPECT_EQ(cleaned(whole.substr(0, 2 + k)), whole.substr(0, kept)) << ch << " cut after " << k;
            // The output's own bound cuts where a whole character no longer fits.
            EXPECT_EQ(cleaned(whole, true, 3 + k), whole.substr(0, kept)) << ch << " in " << 3 + k;
        }
    }
    EXPECT_EQ(cleaned("a b", true, 1), "");
}

// The frame the screens draw after the installer's line, at a fixed clock.
static std::vector<uint32_t> frame_after(const std::string &line)
{
    reset_state();
    S.state = ST_WORKING;
    handle_line(line.c_str());
    lay_out(S.state);
    Look l;
    look(&l, S.started + 1000);
    draw_look(l);
    std::vector<uint32_t> v(CANVAS_W * CANVAS_H);
    SDL_RenderReadPixels(R, nullptr, SDL_PIXELFORMAT_ARGB8888, v.data(), CANVAS_W * 4);
    return v;
}

TEST(Clean, ScreensDrawNoBoxForWhatIsNotText)
{
    offscreen();
    std::string russian;
    for (int i = 0; i < 27; i++)
        russian += "\xd0\x9e\xd0\xb1\xd1\x80\xd0\xb0\xd0\xb7 \xd0\xb4\xd0\xb8\xd1\x81\xd0\xba\xd0\xb0 ";  // 22 bytes
    // 594 bytes, kept at 511: the cut falls inside a letter, at byte 510.
    std::string cut = russian.substr(0, 510);
    struct Case {
        std::string dirty, clean;
    } cases[] = {
        {"@error " + russian, "@error " + cut},
        {"[1/2] \x1b[1;32mBuilding\x1b[0m\tparks\x01\x7f", "[1/2] Building parks"},
        {"@step 1 2 \x1b]0;title\x07Unpacking", "@step 1 2 Unpacking"},
    };
    for (const Case &c : cases)
        EXPECT_TRUE(frame_after(c.dirty) == frame_after(c.clean)) << c.clean;
    reset_state();
}
