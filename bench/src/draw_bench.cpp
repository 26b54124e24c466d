// Draw cost of one frame, in-process: the launcher's draw() for each of its
// seven screens beside the floor's frame for the same screen, on the same
// kind of renderer.
//   draw_bench --renderer=soft   hidden window, software renderer (the
//                                screenshot settings); a frame is draw()
//                                and SDL_RenderFlush
//   draw_bench --renderer=gl     shown window, renderer index -1 with
//                                PRESENTVSYNC (the interactive settings);
//                                a frame is draw() and SDL_RenderPresent,
//                                with vsync then turned off so that the
//                                figure is the frame's work, not the wait
//                                for the display's refresh
// Both also measure the working screen at three output sizes, the window
// resized to each ("scaled/WxH/text"), and the same frame with its texts
// left out ("scaled/WxH/notext": no font, so nothing is measured or drawn
// as text; bands, bar and button faces stay): the difference is what text
// costs. These report the CPU time of the whole process (the OpenGL
// renderer's llvmpipe threads included).
// Other arguments go to Google Benchmark.
#include "app/app.h"
#include "core/core.h"
#include "floor_draw.h"
#include "screens/screens.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

static const char *const NAMES[] = {"checking", "setup", "update", "working", "failed", "ready", "crashed"};

static bool gl;
static floor_frame FLOOR;
static SDL_Window *floor_window;

static void finish_frame(SDL_Renderer *r)
{
    if (gl)
        SDL_RenderPresent(r);
    else
        SDL_RenderFlush(r);
}

static void launcher_frame(benchmark::State &state, int screen)
{
    if (screen == ST_CHECKING) {
        S.state = ST_CHECKING;
        S.needs_disc = 1;
    } else {
        shot_fill(NAMES[screen]);
    }
    FOCUS = FOCUS_DEFAULT;
    for (auto _ : state) {
        draw();
        finish_frame(R);
    }
}

struct Size {
    int w, h;
};
static const Size SIZES[] = {{960, 600}, {1280, 800}, {1920, 1200}};

// Resizes the launcher's window and waits until its renderer has the new
// output size; a frame is drawn and shown so that the new size has settled.
static bool resize(int w, int h)
{
    SDL_SetWindowPosition(WIN, 0, 0);
    SDL_SetWindowSize(WIN, w, h);
    int ow = 0, oh = 0;
    for (int i = 0; i < 500 && (ow != w || oh != h); i++) {
        SDL_Event e;
        while (SDL_PollEvent(&e)) {
        }
        SDL_GetRendererOutputSize(R, &ow, &oh);
        if (ow != w || oh != h)
            SDL_Delay(10);
    }
    draw();
    finish_frame(R);
    return ow == w && oh == h;
}

static void scaled_frame(benchmark::State &state, Size size, bool with_text)
{
    if (!resize(size.w, size.h)) {
        state.SkipWithError("the window did not take the size");
        return;
    }
    shot_fill("working");
    FOCUS = FOCUS_DEFAULT;
    TTF_Font *fonts[] = {F_TITLE, F_BODY, F_SMALL, F_BUTTON};
    if (!with_text)
        F_TITLE = F_BODY = F_SMALL = F_BUTTON = nullptr;
    for (auto _ : state) {
        draw();
        finish_frame(R);
    }
    F_TITLE = fonts[0];
    F_BODY = fonts[1];
    F_SMALL = fonts[2];
    F_BUTTON = fonts[3];
    resize(960, 600);
}

static void floor_frame_bench(benchmark::State &state, int screen)
{
    for (auto _ : state) {
        floor_draw(&FLOOR, screen);
        finish_frame(FLOOR.r);
    }
}

int main(int argc, char **argv)
{
    std::vector<char *> rest;
    for (int i = 0; i < argc; i++) {
        if (std::strcmp(argv[i], "--renderer=gl") == 0)
            gl = true;
        else if (std::strcmp(argv[i], "--renderer=soft") != 0)
            rest.push_back(argv[i]);
    }
    resolve_paths();
    if (startup(!gl))
        return 1;
    floor_window = SDL_CreateWindow("Floor", SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, 960, 600,
                                    gl ? 0 : SDL_WINDOW_HIDDEN);
    FLOOR.r = floor_window ? SDL_CreateRenderer(floor_window, -1, gl ? SDL_RENDERER_PRESENTVSYNC : SDL_RENDERER_SOFTWARE)
                           : nullptr;
    if (!FLOOR.r) {
        fprintf(stderr, "draw_bench: %s\n", SDL_GetError());
        return 1;
    }
    SDL_RenderSetLogicalSize(FLOOR.r, 960, 600);
    SDL_SetRenderDrawBlendMode(FLOOR.r, SDL_BLENDMODE_BLEND);
    FLOOR.logs = g_logs;
    if (floor_open_fonts(&FLOOR) != 0 || !F_BODY) {
        fprintf(stderr, "draw_bench: fonts missing\n");
        return 1;
    }
    if (gl) {
        SDL_RenderSetVSync(R, 0);
        SDL_RenderSetVSync(FLOOR.r, 0);
    }
    SDL_RendererInfo info;
    SDL_GetRendererInfo(R, &info);
    benchmark::AddCustomContext("launcher_renderer", info.name);
    SDL_GetRendererInfo(FLOOR.r, &info);
    benchmark::AddCustomContext("floor_renderer", info.name);

    for (int s = 0; s <= ST_CRASHED; s++) {
        benchmark::RegisterBenchmark((std::string("launcher/") + NAMES[s]).c_str(), launcher_frame, s)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark((std::string("floor/") + NAMES[s]).c_str(), floor_frame_bench, s)
            ->Unit(benchmark::kMicrosecond);
    }
    for (Size size : SIZES)
        for (bool with_text : {true, false}) {
            std::string name = "scaled/" + std::to_string(size.w) + "x" + std::to_string(size.h) +
                               (with_text ? "/text" : "/notext");
            benchmark::RegisterBenchmark(name.c_str(), scaled_frame, size, with_text)
                ->Unit(benchmark::kMicrosecond)
                ->MeasureProcessCPUTime();
        }
    int n = (int)rest.size();
    benchmark::Initialize(&n, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
