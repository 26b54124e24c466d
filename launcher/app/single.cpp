// One launcher per data folder. The first takes a lock beside the folder (the
// kernel drops it when its holder dies, so a crash leaves nothing stale) and
// listens on a socket named after the folder; a second one asks it to raise
// its window and leaves.
#include "app.h"

#include "../core/core.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

constexpr int ANSWER_MS = 1000;     // how long a second launcher waits for the first
static const char RAISE[] = "raise", RAISED[] = "raised";

static int PEERS = -1;              // the first launcher's socket

constexpr size_t HOME_MAX = PATH_MAX + sizeof g_home + 8;  // a resolved data folder

// Appends the components of rest to path (holding an absolute path), taking
// "." and ".." by their names: nothing of it exists to follow.
static void join_names(char *path, size_t size, char *rest)
{
    for (char *name = strtok(rest, "/"); name; name = strtok(nullptr, "/")) {
        if (strcmp(name, ".") == 0)
            continue;
        size_t n = strlen(path);
        if (strcmp(name, "..") == 0) {
            char *slash = strrchr(path, '/');
            if (slash)
                slash[slash == path ? 1 : 0] = '\0';
            continue;
        }
        snprintf(path + n, size - n, "%s%s", n > 1 ? "/" : "", name);
    }
}

// g_home with its symbolic links, dots and doubled slashes resolved, so that
// two spellings of one folder meet at one lock. A folder that does not exist
// yet is resolved through the part of its path that does; nothing is made.
static void canonical_home(char *out, size_t size)
{
    char home[HOME_MAX];
    char cwd[PATH_MAX];
    if (g_home[0] != '/' && getcwd(cwd, sizeof cwd))
        snprintf(home, sizeof home, "%.4095s/%.1023s", cwd, g_home);
    else
        snprintf(home, sizeof home, "%s", g_home);
    // The longest leading part of the path that resolves.
    char real[PATH_MAX];
    size_t cut = strlen(home);
    for (;;) {
        char keep = home[cut];
        home[cut] = '\0';
        bool resolved = realpath(cut ? home : "/", real) != nullptr;
        home[cut] = keep;
        if (resolved)
            break;
        if (cut == 0) {
            snprintf(real, sizeof real, "/");
            break;
        }
        while (cut > 0 && home[cut - 1] != '/')
            cut--;
        while (cut > 0 && home[cut - 1] == '/')
            cut--;
    }
    snprintf(out, size, "%s", real);
    join_names(out, size, home + cut);
}

static unsigned long long fnv1a(const char *s)
{
    unsigned long long h = 14695981039346656037ull;
    for (; *s; s++)
        h = (h ^ (unsigned char)*s) * 1099511628211ull;
    return h;
}

// The lock beside the folder, or in the user's runtime folder when the
// folder's parent cannot be written; -1 when neither can be made.
static int open_lock(const char *home)
{
    char path[HOME_MAX + 8];
    snprintf(path, sizeof path, "%s", home);
    char *slash = strrchr(path, '/');
    if (slash && slash != path) {
        *slash = '\0';
        mkdir_all(path);    // the folder's parent, not the folder
    }
    snprintf(path, sizeof path, "%s.lock", home);
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    const char *runtime = env_or("XDG_RUNTIME_DIR", "");
    if (fd < 0 && *runtime) {
        snprintf(path, sizeof path, "%.900s/orvandel-launcher-%016llx.lock", runtime, fnv1a(home));
        fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    }
    return fd;
}

static socklen_t socket_name(const char *home, struct sockaddr_un *a)
{
    memset(a, 0, sizeof *a);
    a->sun_family = AF_UNIX;
    // An abstract name: nothing on disk to go stale.
    int n = snprintf(a->sun_path + 1, sizeof a->sun_path - 1, "orvandel-launcher-%u-%016llx",
                     (unsigned)getuid(), fnv1a(home));
    return (socklen_t)(offsetof(struct sockaddr_un, sun_path) + 1 + n);
}

// Asks the launcher that holds the lock to raise its window; true when it answered.
static bool ask_first(const struct sockaddr_un *to, socklen_t len)
{
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    struct sockaddr_un self = {};
    self.sun_family = AF_UNIX;
    bool answered = false;
    // An automatically bound name of its own, for the answer to reach it.
    if (bind(fd, (struct sockaddr *)&self, sizeof self.sun_family) == 0 &&
        sendto(fd, RAISE, sizeof RAISE, 0, (const struct sockaddr *)to, len) >= 0) {
        struct pollfd p = {fd, POLLIN, 0};
        char buf[16];
        answered = poll(&p, 1, ANSWER_MS) == 1 && recv(fd, buf, sizeof buf, 0) == sizeof RAISED &&
                   memcmp(buf, RAISED, sizeof RAISED) == 0;
    }
    close(fd);
    return answered;
}

int claim_home()
{
    char home[HOME_MAX];
    canonical_home(home, sizeof home);
    int lock = open_lock(home);
    if (lock < 0)
        return 0;       // no lock can be made here: run, as before there was one
    struct sockaddr_un name;
    socklen_t len = socket_name(home, &name);
    if (flock(lock, LOCK_EX | LOCK_NB) == 0) {
        // Held until the launcher ends; never closed.
        PEERS = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (PEERS >= 0 && bind(PEERS, (struct sockaddr *)&name, len) != 0) {
            close(PEERS);
            PEERS = -1;
        }
        return 0;
    }
    int err = errno;
    close(lock);
    if (err != EWOULDBLOCK)
        return 0;
    if (!ask_first(&name, len))
        fprintf(stderr, _("launcher: already running for %.1023s\n"), g_home);
    return 1;
}

void answer_peers()
{
    if (PEERS < 0)
        return;
    char buf[16];
    struct sockaddr_un from;
    socklen_t len = sizeof from;
    ssize_t n;
    while ((n = recvfrom(PEERS, buf, sizeof buf, 0, (struct sockaddr *)&from, &len)) >= 0) {
        if (n == sizeof RAISE && memcmp(buf, RAISE, sizeof RAISE) == 0 && WIN) {
            if (SDL_GetWindowFlags(WIN) & SDL_WINDOW_MINIMIZED)
                SDL_RestoreWindow(WIN);
            SDL_RaiseWindow(WIN);
            sendto(PEERS, RAISED, sizeof RAISED, MSG_DONTWAIT, (struct sockaddr *)&from, len);
        }
        len = sizeof from;
    }
}
