// The top of the program: start-up, the loop and its input, screenshot mode,
// and one launcher per data folder. It calls every other folder; none of
// them calls it.
#pragma once

#include <SDL.h>

// loop.cpp
int run(int argc, char **argv);         // the whole program; main's result
int startup(bool shot);                 // 0, or 1 after "launcher: ..." on stderr
int die();                              // "launcher: <SDL's error>" on stderr; 1
void keep_args(int argc, char **argv);  // the launcher's arguments, for the game
int act(int action);                    // non-zero when the launcher is to end
int handle(const SDL_Event &e, bool *activated);  // the same, for one event
void end_pass();

// render.cpp
bool software_gl(const char *name);     // an OpenGL renderer name that is a software rasteriser
int gl_probe();                         // ORVL_GL_PROBE: prints the OpenGL renderer -1 gets
void start_gl_probe();                  // asks that of a copy of the program, in the background
bool probed_software();                 // its answer: OpenGL is a software rasteriser here
void cheap_renderer();                  // R made the software renderer where OpenGL is software
int display_fd();                       // the X server's connection to wait on, or -1

// pace.cpp
void redraw();                          // draws and presents when the picture would change
void redraw_soon();                     // the window needs drawing whatever it shows
int wait_ms(int bound);                 // how long the loop may wait before the next change

// shot.cpp
void shot_fill(const char *state);
int shot(const char *path);

// single.cpp
int claim_home();                       // 1 when another launcher has this data folder
void answer_peers();                    // raises the window for a second launcher
