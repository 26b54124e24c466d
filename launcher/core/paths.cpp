// The shared records, the directories resolved from the environment, and mkdirs.
#include "core.h"

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

LauncherState S = S_INITIAL;
Button B[3];
int32_t NB = 0;
int32_t FOCUS = 0;

SDL_Window *WIN;
SDL_Renderer *R;
TTF_Font *F_TITLE, *F_BODY, *F_SMALL, *F_BUTTON;

char g_share[1024];
char g_python[1024];
char g_home[1024];
char g_logs[1100];

static_assert(sizeof g_logs >= sizeof g_home + sizeof "/logs" - 1, "g_logs holds any g_home + /logs");

const char *env_or(const char *name, const char *fallback)
{
    const char *v = getenv(name);
    return v && *v ? v : fallback;
}

void resolve_paths()
{
    snprintf(g_share, sizeof g_share, "%s", env_or("ORVL_SHARE", "/app/share/orvandel"));
    snprintf(g_python, sizeof g_python, "%s", env_or("ORVL_PYTHON", "/app/venv/bin/python3"));
    const char *home = env_or("ORVL_HOME", "");
    const char *xdg = env_or("XDG_DATA_HOME", "");
    if (*home)
        snprintf(g_home, sizeof g_home, "%s", home);
    else if (*xdg)
        snprintf(g_home, sizeof g_home, "%s/orvandel", xdg);
    else
        snprintf(g_home, sizeof g_home, "%s/.local/share/orvandel", env_or("HOME", "."));
    snprintf(g_logs, sizeof g_logs, "%s/logs", g_home);
}

void mkdir_all(const char *dir)
{
    char path[1200];
    snprintf(path, sizeof path, "%s", dir);
    // Starting at the second character keeps a leading "/" from being an empty component.
    for (char *p = path + 1; *p; p++) {
        if (*p != '/')
            continue;
        *p = '\0';
        mkdir(path, 0755);
        *p = '/';
    }
    mkdir(path, 0755);
}

void mkdirs()
{
    mkdir_all(g_logs);
}

static bool is_dir(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

void program_dir(char *out, size_t size)
{
    ssize_t n = readlink("/proc/self/exe", out, size - 1);
    out[n > 0 ? n : 0] = '\0';
    if (char *slash = strrchr(out, '/'))
        *slash = '\0';
}

// The language of the launcher's own texts follows LANGUAGE, LC_ALL,
// LC_MESSAGES and LANG. Only the messages category is taken from the
// environment: the installer's numbers ("@progress 0.5") keep the decimal
// point of the C locale. The catalogs are looked for beside the program
// (locale/ in a build folder) and then in ../share/locale from it (an
// installed tree, wherever its prefix); else gettext's own folder serves.
void language(const char *catalogs)
{
    setlocale(LC_MESSAGES, "");
    char dir[1100];
    if (!catalogs) {
        char exe[1024];
        program_dir(exe, sizeof exe);
        snprintf(dir, sizeof dir, "%s/locale", exe);
        if (!is_dir(dir))
            snprintf(dir, sizeof dir, "%s/../share/locale", exe);
        if (exe[0] && is_dir(dir))
            catalogs = dir;
    }
    if (catalogs)
        bindtextdomain("launcher", catalogs);
    bind_textdomain_codeset("launcher", "UTF-8");
    textdomain("launcher");
}
