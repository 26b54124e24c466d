#include "support.h"

#include "installer/installer.h"
#include "screens/screens.h"

#include <iterator>
#include <unistd.h>

static void row(std::initializer_list<Button> buttons)
{
    NB = 0;
    for (const Button &b : buttons)
        B[NB++] = b;
}

static SDL_Event key(SDL_Keycode sym, Uint16 mod = 0)
{
    SDL_Event e = {};
    e.type = SDL_KEYDOWN;
    e.key.keysym.sym = sym;
    e.key.keysym.mod = mod;
    return e;
}

static int send(const SDL_Event &e, bool *activated = nullptr)
{
    bool dummy = false;
    return handle(e, activated ? activated : &dummy);
}

TEST(Input, HitIncludesLeftAndTopEdgesOnly)
{
    reset_state();
    row({{"Quit", ACT_QUIT, 532, 488, 180, 64}, {"Play", ACT_PLAY, 732, 488, 180, 64}});
    struct {
        int x, y, want;
    } cases[] = {
        {532, 488, 0}, {711, 551, 0}, {712, 500, -1}, {731, 500, -1}, {732, 500, 1},
        {911, 551, 1}, {912, 500, -1}, {800, 552, -1}, {800, 487, -1}, {0, 0, -1},
    };
    for (auto c : cases)
        EXPECT_EQ(hit(c.x, c.y), c.want) << c.x << "," << c.y;
    NB = 0;
    EXPECT_EQ(hit(600, 500), -1);
}

static SDL_Event pad(Uint8 button)
{
    SDL_Event e = {};
    e.type = SDL_CONTROLLERBUTTONDOWN;
    e.cbutton.button = button;
    return e;
}

TEST(Input, FocusMovesByKeysAndPadWithoutWrapping)
{
    reset_state();
    row({{"Quit", ACT_QUIT, 532, 488, 180, 64}, {"Play", ACT_PLAY, 732, 488, 180, 64}});
    FOCUS = 0;
    struct {
        SDL_Event e;
        int focus;
    } steps[] = {
        {key(SDLK_LEFT), 0},
        {key(SDLK_TAB, KMOD_LSHIFT), 1},    // Shift+Tab moves forward like Tab
        {key(SDLK_RIGHT), 1},
        {key(SDLK_DOWN), 1},
        {key(SDLK_UP), 0},
        {pad(SDL_CONTROLLER_BUTTON_DPAD_RIGHT), 1},
        {pad(SDL_CONTROLLER_BUTTON_DPAD_DOWN), 1},
        {pad(SDL_CONTROLLER_BUTTON_DPAD_LEFT), 0},
        {pad(SDL_CONTROLLER_BUTTON_DPAD_UP), 0},
        {key(SDLK_TAB), 1},
        {pad(SDL_CONTROLLER_BUTTON_X), 1},  // other buttons do nothing
    };
    for (size_t i = 0; i < std::size(steps); i++) {
        EXPECT_EQ(send(steps[i].e), 0) << i;
        EXPECT_EQ(FOCUS, steps[i].focus) << i;
    }
}

TEST(Input, ActivationKeysRunTheFocusedButtonOnly)
{
    for (SDL_Keycode k : {SDLK_RETURN, SDLK_SPACE, SDLK_KP_ENTER}) {
        reset_state();
        S.state = ST_READY;
        row({{"Quit", ACT_QUIT, 532, 488, 180, 64}, {"Play", ACT_QUIT, 732, 488, 180, 64}});
        FOCUS = 1;
        bool activated = false;
        EXPECT_EQ(send(key(k), &activated), 1);
        EXPECT_TRUE(activated);
    }
    // Before a row is laid out (the checking screen) focus 99 points nowhere.
    reset_state();
    FOCUS = 99;
    bool activated = false;
    EXPECT_EQ(send(key(SDLK_RETURN), &activated), 0);
    EXPECT_FALSE(activated);
    EXPECT_EQ(send(pad(SDL_CONTROLLER_BUTTON_A)), 0);
}

TEST(Input, MouseFocusesAndClicksWithTheLeftButton)
{
    reset_state();
    S.state = ST_SETUP;
    row({{"Quit", ACT_QUIT, 532, 488, 180, 64}, {"Build", ACT_CANCEL, 732, 488, 180, 64}});
    FOCUS = 1;
    SDL_Event m = {};
    m.type = SDL_MOUSEMOTION;
    m.motion.x = 600;
    m.motion.y = 500;
    send(m);
    EXPECT_EQ(FOCUS, 0);
    m.motion.x = 100;   // off every button: the focus stays
    send(m);
    EXPECT_EQ(FOCUS, 0);

    SDL_Event up = {};
    up.type = SDL_MOUSEBUTTONUP;
    up.button.button = SDL_BUTTON_RIGHT;
    up.button.x = 600;
    up.button.y = 500;
    EXPECT_EQ(send(up), 0);
    up.button.button = SDL_BUTTON_LEFT;
    up.button.x = 100;
    EXPECT_EQ(send(up), 0);
    EXPECT_EQ(FOCUS, 0);
    up.button.x = 600;
    bool activated = false;
    EXPECT_EQ(send(up, &activated), 1);     // Quit, under the release point
    EXPECT_TRUE(activated);
    EXPECT_EQ(FOCUS, 0);
}

TEST(Input, EscapeCloseAndPadBDependOnTheBuild)
{
    reset_state();
    for (int st : {ST_SETUP, ST_UPDATE, ST_FAILED, ST_READY, ST_CRASHED, ST_CHECKING}) {
        S.state = st;
        EXPECT_EQ(send(key(SDLK_ESCAPE)), 1);
        SDL_Event q = {};
        q.type = SDL_QUIT;
        EXPECT_EQ(send(q), 1);
        EXPECT_EQ(send(pad(SDL_CONTROLLER_BUTTON_B)), 0);
    }
    // During a build, Escape and B cancel and the launcher stays; a close cancels and leaves.
    Scratch s;
    snprintf(g_home, sizeof g_home, "%s", s.dir.c_str());
    snprintf(g_logs, sizeof g_logs, "%s/logs", s.dir.c_str());
    fake_installer(s, "exec perl -e 'setpgrp(0,0); sleep 30'");
    S.state = ST_SETUP;
    S.needs_disc = 1;
    start_build();
    ASSERT_EQ(S.state, ST_WORKING);
    for (int i = 0; i < 200 && getpgid(S.pid) != S.pid; i++)
        SDL_Delay(10);
    EXPECT_EQ(send(key(SDLK_ESCAPE)), 0);
    EXPECT_EQ(S.cancelled, 1);
    ASSERT_TRUE(pump_until_done(10));
    EXPECT_EQ(S.state, ST_SETUP);
}

TEST(Input, ActIgnoresUnknownCodesAndActionsNotOnScreen)
{
    reset_state();
    S.state = ST_READY;
    EXPECT_EQ(act(0), 0);
    EXPECT_EQ(act(6), 0);
    EXPECT_EQ(act(-1), 0);
    EXPECT_EQ(act(ACT_QUIT), 1);
    // The ready screen offers no build: a stale "Download and Build" starts nothing.
    EXPECT_EQ(act(ACT_BUILD), 0);
    EXPECT_EQ(S.pid, 0);
    EXPECT_EQ(S.state, ST_READY);
    S.state = ST_WORKING;
    EXPECT_EQ(act(ACT_RETRY), 0);
    EXPECT_EQ(S.pid, 0);
}

// Events that reach the loop through SDL's own queue, as a real device sends them.
TEST(Input, VirtualControllerIsOpenedAndDrivesTheRow)
{
    offscreen();
    reset_state();
    S.state = ST_SETUP;
    row({{"Quit", ACT_QUIT, 532, 488, 180, 64}, {"Go", ACT_QUIT, 732, 488, 180, 64}});
    FOCUS = 1;
    SDL_VirtualJoystickDesc desc = {};
    desc.version = SDL_VIRTUAL_JOYSTICK_DESC_VERSION;
    desc.type = SDL_JOYSTICK_TYPE_GAMECONTROLLER;
    desc.nbuttons = SDL_CONTROLLER_BUTTON_MAX;
    desc.naxes = SDL_CONTROLLER_AXIS_MAX;
    // The hidden test window never has focus, and SDL drops pad events of unfocused programs.
    SDL_SetHint(SDL_HINT_JOYSTICK_ALLOW_BACKGROUND_EVENTS, "1");
    int index = SDL_JoystickAttachVirtualEx(&desc);
    ASSERT_GE(index, 0) << SDL_GetError();

    auto drain = [](int *leave, bool *opened) {
        SDL_Event e;
        SDL_PumpEvents();
        while (SDL_PollEvent(&e)) {
            bool activated = false;
            if (e.type == SDL_CONTROLLERDEVICEADDED)
                *opened = true;
            *leave |= handle(e, &activated);
        }
    };
    int leave = 0;
    bool opened = false;
    drain(&leave, &opened);
    ASSERT_TRUE(opened);
    SDL_Joystick *js = SDL_JoystickOpen(index);
    ASSERT_TRUE(js);

    auto press = [&](SDL_GameControllerButton b) {
        SDL_JoystickSetVirtualButton(js, b, 1);
        drain(&leave, &opened);
        SDL_JoystickSetVirtualButton(js, b, 0);
        drain(&leave, &opened);
    };
    press(SDL_CONTROLLER_BUTTON_DPAD_LEFT);
    EXPECT_EQ(FOCUS, 0);
    press(SDL_CONTROLLER_BUTTON_DPAD_RIGHT);
    EXPECT_EQ(FOCUS, 1);
    EXPECT_EQ(leave, 0);
    press(SDL_CONTROLLER_BUTTON_START);
    EXPECT_EQ(leave, 1);
    SDL_JoystickDetachVirtual(index);
}
