// Starting the built game, its log, and what its exit status means.
#include "game.h"

#include "../core/child.h"
#include "../core/core.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

constexpr int EXIT_CRASHED = 3, EXIT_CANNOT_RUN = 127;

int game_argv(char *argv[64], char *exe, char *dir, int argc, char **args)
{
    int n = 0;
    argv[n++] = exe;
    argv[n++] = const_cast<char *>("--game");
    argv[n++] = dir;
    argv[n++] = const_cast<char *>("--run");
    for (int i = 1; i < argc && n < 4 + GAME_ARGS; i++)
        argv[n++] = args[i];
    argv[n] = nullptr;
    return n;
}

static int crashed(SDL_Window *window, const char *message)
{
    S.state = ST_CRASHED;
    snprintf(S.message, sizeof S.message, "%s", message);
    SDL_ShowWindow(window);
    SDL_RaiseWindow(window);
    return 1;
}

int play(SDL_Window *window, int argc, char **argv)
{
    char exe[1200], dir[1200], log[1200], previous[1200];
    snprintf(exe, sizeof exe, "%s/build/host/orvl", g_home);
    snprintf(dir, sizeof dir, "%s/game", g_home);
    mkdirs();
    snprintf(log, sizeof log, "%s/orvl.log", g_logs);
    snprintf(previous, sizeof previous, "%s/orvl.1.log", g_logs);
    rename(log, previous);

    char *args[64];
    game_argv(args, exe, dir, argc, argv);
    char failure[1400];
    snprintf(failure, sizeof failure, "cannot run %.1023s: ", exe);
    // From a terminal the game writes to it; otherwise to its log.
    int out = isatty(2) ? -1 : open(log, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);

    SDL_HideWindow(window);
    SDL_PumpEvents();
    pid_t pid = spawn({args, nullptr, -1, out, out, false, failure, false});
    if (out >= 0)
        close(out);
    if (pid < 0)
        return crashed(window, _("The game could not start."));

    // Processes the game leaves behind come back to the launcher, which is a
    // subreaper; those that end while the game runs are reaped here.
    int status = 0;
    for (;;) {
        int st = 0;
        pid_t r = waitpid(-1, &st, 0);
        if (r == pid) {
            status = st;
            break;
        }
        if (r < 0 && errno != EINTR)
            break;
    }
    if (!WIFEXITED(status))
        return crashed(window, _("The game stopped unexpectedly."));
    if (WEXITSTATUS(status) == EXIT_CANNOT_RUN)
        return crashed(window, _("The game could not start."));
    if (WEXITSTATUS(status) == EXIT_CRASHED)
        return crashed(window, _("The game stopped unexpectedly."));
    return 0;
}
