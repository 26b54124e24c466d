// Starting the built game and reading what its end means.
#pragma once

#include <SDL.h>

constexpr int GAME_ARGS = 59;   // the launcher's own arguments passed on, at most

int game_argv(char *argv[64], char *exe, char *dir, int argc, char **args);
int play(SDL_Window *window, int argc, char **argv);
