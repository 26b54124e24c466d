// The installer's command line, and the status query run once at start-up.
#include "installer.h"

#include "../core/child.h"
#include "../core/core.h"
#include "../core/family.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

static char g_installer[1200];
static char g_vantrel[1200];

constexpr size_t STATUS_MAX = 4095;
constexpr int SLICE_MS = 50;            // how often the installer's end is looked for while it is silent

// An installer that never answers would leave the checking screen up for ever.
int STATUS_TIMEOUT_MS = 60000;

void install_argv(char *argv[16], int *count, const char *mode)
{
    snprintf(g_installer, sizeof g_installer, "%s/src/orvl/tools/install/install.py", g_share);
    snprintf(g_vantrel, sizeof g_vantrel, "%s/src/vantrel", g_share);
    int n = 0;
    argv[n++] = g_python;
    argv[n++] = const_cast<char *>("-I");
    argv[n++] = g_installer;
    argv[n++] = const_cast<char *>("--dest");
    argv[n++] = g_home;
    argv[n++] = const_cast<char *>("--vantrel");
    argv[n++] = g_vantrel;
    const char *ffmpeg = env_or("ORVL_FFMPEG", "");
    if (*ffmpeg) {
        argv[n++] = const_cast<char *>("--ffmpeg");
        argv[n++] = const_cast<char *>(ffmpeg);
    }
    const char *vorbis = env_or("ORVL_VORBIS", "");
    if (*vorbis) {
        argv[n++] = const_cast<char *>("--vorbis");
        argv[n++] = const_cast<char *>(vorbis);
    }
    argv[n++] = const_cast<char *>(mode);
    argv[n] = nullptr;
    *count = n;
}

static void status_failed()
{
    S.state = ST_FAILED;
    snprintf(S.message, sizeof S.message, _("The installer could not run (%.300s). Reinstalling the app may help."),
             g_python);
}

// A search for bytes, not a JSON parse: the keys must stand after the last "{".
void read_status(const char *out, size_t len)
{
    const char *brace = static_cast<const char *>(memrchr(out, '{', len));
    if (!brace) {
        status_failed();
        return;
    }
    size_t rest = len - (brace - out);
    static const char ready[] = "\"ready\": true", needs_disc[] = "\"needs_disc\": true";
    if (memmem(brace, rest, ready, sizeof ready - 1)) {
        S.state = ST_READY;
    } else if (memmem(brace, rest, needs_disc, sizeof needs_disc - 1)) {
        S.needs_disc = 1;
        S.state = ST_SETUP;
    } else {
        S.needs_disc = 0;
        S.state = ST_UPDATE;
    }
}

static int ms_left(Uint32 begin)
{
    return SDL_max(STATUS_TIMEOUT_MS - (int)(SDL_GetTicks() - begin), 0);
}

void check_status(void (*meanwhile)())
{
    char *argv[16];
    int count;
    install_argv(argv, &count, "--status");
    int answer;
    pid_t pid = spawn_answering(argv, nullptr, &answer);
    if (pid < 0) {
        status_failed();
        return;
    }
    Family query;
    family_root(&query, pid);

    char out[STATUS_MAX + 1] = {};
    size_t len = 0;
    Uint32 begin = SDL_GetTicks(), exited_at = 0;
    int status = -1;    // the installer's wait status, once it has ended
    bool late = false;
    while (len < STATUS_MAX && !QUIT_SIGNAL) {
        if (status == -1 && (status = family_reap(&query, WNOHANG)) != -1)
            exited_at = SDL_GetTicks();
        // Once the installer has ended, its answer is what came within the
        // grace: a process it left behind may hold the output for ever.
        if (status != -1 && SDL_GetTicks() - exited_at >= OUTPUT_GRACE_MS)
            break;
        int left = ms_left(begin);
        if (left == 0) {
            late = true;
            break;
        }
        struct pollfd w = {answer, POLLIN, 0};
        if (poll(&w, 1, SDL_min(left, SLICE_MS)) <= 0) {
            if (meanwhile)
                meanwhile();
            continue;
        }
        ssize_t n = read(answer, out + len, STATUS_MAX - len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        len += n;
    }
    close(answer);

    // An installer that has closed its output may still be finishing.
    while (status == -1 && !late && !QUIT_SIGNAL) {
        if ((status = family_reap(&query, WNOHANG)) != -1)
            break;
        if (ms_left(begin) == 0)
            late = true;
        else
            SDL_Delay(5);
    }
    family_end(&query, status == -1 ? 0 : LEFTOVER_GRACE_MS, nullptr);
    if (status == -1)
        status = family_reap(&query, 0);
    reap_adopted(0);
    if (late || QUIT_SIGNAL || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        status_failed();
        return;
    }
    read_status(out, len);
}
