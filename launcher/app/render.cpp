// The window's renderer. Where OpenGL is itself drawn in software (Mesa's
// rasterisers: virtual machines, remote desktops, computers without a GPU),
// SDL's own software renderer draws the same pixels for a fraction of the
// CPU and memory; a real GPU keeps the accelerated renderer.
//
// Merely opening OpenGL costs a software rasteriser more memory than the
// whole launcher needs, and it is never given back: so the program asks a
// copy of itself, started with ORVL_GL_PROBE=1 while it opens its own
// window, which OpenGL the accelerated renderer would get.
#include "app.h"

#include "../core/core.h"

#include "../core/child.h"
#include "../core/family.h"
#include "../screens/screens.h"

#include <SDL_syswm.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <poll.h>
#include <unistd.h>

extern char **environ;

constexpr unsigned GL_RENDERER_NAME = 0x1F01;  // glGetString's GL_RENDERER

bool software_gl(const char *name)
{
    static const char *const RASTERISERS[] = {"llvmpipe", "softpipe", "swrast", "Software Rasterizer"};
    for (const char *r : RASTERISERS)
        if (strstr(name, r))
            return true;
    return false;
}

// GL_RENDERER of R's OpenGL context, current since R was made; empty when R
// does not draw with OpenGL.
static void gl_name(char *out, size_t size)
{
    out[0] = '\0';
    SDL_RendererInfo info;
    if (SDL_GetRendererInfo(R, &info) != 0 || strncmp(info.name, "opengl", 6) != 0)
        return;
    using GetString = const unsigned char *(*)(unsigned);
    auto get = reinterpret_cast<GetString>(SDL_GL_GetProcAddress("glGetString"));
    const unsigned char *name = get ? get(GL_RENDERER_NAME) : nullptr;
    if (name)
        snprintf(out, size, "%.127s", reinterpret_cast<const char *>(name));
}

constexpr int PROBE_MS = 5000;  // an answer later than this is not waited for
constexpr int PROBE_ENV_MAX = 4096;

static pid_t PROBE_PID;
static int PROBE_FD = -1;

static bool user_driver()
{
    const char *asked = SDL_GetHint(SDL_HINT_RENDER_DRIVER);
    return asked && asked[0];
}

int gl_probe()
{
    if (SDL_Init(SDL_INIT_VIDEO) != 0)
        return 1;
    SDL_Window *w = SDL_CreateWindow("probe", 0, 0, 64, 64, SDL_WINDOW_HIDDEN);
    R = w ? SDL_CreateRenderer(w, -1, SDL_RENDERER_PRESENTVSYNC) : nullptr;
    char name[128] = "";
    if (R)
        gl_name(name, sizeof name);
    printf("%s\n", name);
    fflush(stdout);
    return 0;
}

void start_gl_probe()
{
    if (user_driver())
        return;
    // No session bus for the copy: libdbus would start one that outlives it.
    static char PROBE_VAR[] = "ORVL_GL_PROBE=1";
    static char NO_BUS_VAR[] = "DBUS_SESSION_BUS_ADDRESS=disabled:";
    static char *ENV[PROBE_ENV_MAX];
    static char SELF[] = "/proc/self/exe";
    static char *ARGV[] = {SELF, nullptr};
    int n = 0;
    for (char **e = environ; *e && n < PROBE_ENV_MAX - 3; e++)
        if (strncmp(*e, "ORVL_GL_PROBE=", 14) != 0 && strncmp(*e, "DBUS_SESSION_BUS_ADDRESS=", 25) != 0)
            ENV[n++] = *e;
    ENV[n++] = PROBE_VAR;
    ENV[n++] = NO_BUS_VAR;
    ENV[n] = nullptr;
    int out;
    pid_t pid = spawn_answering(ARGV, ENV, &out);
    if (pid < 0)
        return;
    PROBE_PID = pid;
    PROBE_FD = out;
}

// The probe's answer, a line: the OpenGL that renderer -1 gets, empty when
// none. The probe is ended once it has answered or taken too long.
static bool probe_answer(char *name, size_t size)
{
    if (PROBE_FD < 0)
        return false;
    size_t len = 0;
    char *nl = nullptr;
    Uint32 begin = SDL_GetTicks();
    while (!nl && len < size - 1) {
        int left = PROBE_MS - (int)(SDL_GetTicks() - begin);
        struct pollfd p = {PROBE_FD, POLLIN, 0};
        if (left <= 0 || (poll(&p, 1, left) < 0 && errno != EINTR))
            break;
        ssize_t n = read(PROBE_FD, name + len, size - 1 - len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        nl = static_cast<char *>(memchr(name + len, '\n', n));
        len += n;
    }
    close(PROBE_FD);
    PROBE_FD = -1;
    kill(PROBE_PID, SIGKILL);
    reap(PROBE_PID, 0);
    if (!nl)
        return false;
    *nl = '\0';
    return true;
}

bool probed_software()
{
    char name[128];
    return probe_answer(name, sizeof name) && !user_driver() && software_gl(name);
}

void cheap_renderer()
{
    // A driver the user names is the one used.
    if (user_driver())
        return;
    char name[128];
    gl_name(name, sizeof name);
    if (!software_gl(name))
        return;
    drop_kept();
    SDL_DestroyRenderer(R);
    R = SDL_CreateRenderer(WIN, -1, SDL_RENDERER_SOFTWARE);
    if (!R)
        R = SDL_CreateRenderer(WIN, -1, SDL_RENDERER_PRESENTVSYNC);
}

int display_fd()
{
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    // With a joystick SDL reads devices of its own that no descriptor here
    // tells of: then the wait goes on in slices, as SDL's own does.
    if (SDL_NumJoysticks() > 0 || !SDL_GetWindowWMInfo(WIN, &info) || info.subsystem != SDL_SYSWM_X11)
        return -1;
    return ConnectionNumber(info.info.x11.display);
}
