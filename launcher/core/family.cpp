// A child and everything it starts: found through /proc, ended, reaped.
#include "family.h"

#include "child.h"
#include "core.h"

#include <SDL.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

constexpr int PROC_MAX = 16384;     // processes looked at in one scan of /proc
constexpr int MEMBERS_MAX = 1024;   // members of one family that can be ended in one round
constexpr int KILL_ROUNDS = 100;    // a member may fork while the others are being killed

volatile int QUIT_SIGNAL;

struct Proc {
    pid_t pid, ppid;
    char state;
    unsigned long long start;   // clock ticks after boot
};
static Proc PROCS[PROC_MAX];

static void noted(int sig)
{
    QUIT_SIGNAL = sig;
}

void supervise()
{
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    struct sigaction sa = {};
    sa.sa_handler = noted;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : QUIT_SIGNALS)
        sigaction(sig, &sa, nullptr);
}

// pid, parent and state of one process; the name in parentheses may hold
// anything, so the fields are read after its last ")".
static bool read_stat(const char *pid, Proc *p)
{
    char path[64], buf[1024];
    snprintf(path, sizeof path, "/proc/%.20s/stat", pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0)
        return false;
    buf[n] = '\0';
    const char *close_paren = strrchr(buf, ')');
    if (!close_paren || sscanf(buf, "%d", &p->pid) != 1 ||
        sscanf(close_paren + 1, " %c %d", &p->state, &p->ppid) != 2)
        return false;
    // The start time is the 22nd field; the state, the 3rd, follows ") ".
    const char *f = close_paren + 2;
    for (int field = 3; *f && field < 22; f++)
        field += *f == ' ';
    p->start = strtoull(f, nullptr, 10);
    return true;
}

static int scan()
{
    DIR *d = opendir("/proc");
    if (!d)
        return 0;
    int n = 0;
    while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] < '1' || e->d_name[0] > '9')
            continue;
        if (n < PROC_MAX && read_stat(e->d_name, &PROCS[n]))
            n++;
    }
    closedir(d);
    return n;
}

static bool ended(char state)
{
    return state == 'Z' || state == 'X';
}

void family_root(Family *f, pid_t root)
{
    char pid[24];
    snprintf(pid, sizeof pid, "%d", root);
    Proc p;
    f->root = root;
    f->born = read_stat(pid, &p) ? p.start : 0;
}

// Once reaped, the root's id is no longer its own: it is never signalled again.
int family_reap(Family *f, int options)
{
    int status = reap(f->root, options);
    if (status != -1)
        f->root = 0;
    return status;
}

// The root, the children the launcher adopted that are younger than the
// root, and everything below them; living ones only. What the launcher had
// before the root (a bus daemon started at start-up, the game's leftovers)
// is older and so never taken for the root's.
int family_alive(const Family *f, pid_t *out, int max)
{
    static pid_t MEMBERS[MEMBERS_MAX];
    pid_t self = getpid();
    int n = scan(), count = 0;
    for (int i = 0; i < n && count < MEMBERS_MAX; i++) {
        const Proc &p = PROCS[i];
        if (p.pid == f->root || (p.ppid == self && p.start >= f->born))
            MEMBERS[count++] = p.pid;
    }
    for (bool grew = true; grew;) {
        grew = false;
        for (int i = 0; i < n && count < MEMBERS_MAX; i++)
            if (among(PROCS[i].ppid, MEMBERS, count) && !among(PROCS[i].pid, MEMBERS, count)) {
                MEMBERS[count++] = PROCS[i].pid;
                grew = true;
            }
    }
    int alive = 0;
    for (int i = 0; i < n && alive < max; i++)
        if (!ended(PROCS[i].state) && among(PROCS[i].pid, MEMBERS, count))
            out[alive++] = PROCS[i].pid;
    return alive;
}

void family_signal(const Family *f, int sig)
{
    if (f->root > 0)
        kill(-f->root, sig);    // its process group, when it made one
    pid_t m[MEMBERS_MAX];
    int n = family_alive(f, m, MEMBERS_MAX);
    for (int i = 0; i < n; i++)
        kill(m[i], sig);
}

// SIGTERM and SIGCONT (a stopped process acts on nothing else), up to
// grace_ms for the family to end, then SIGKILL until no member lives.
// The root, when it is still there, is left for its owner to reap.
void family_end(Family *f, int grace_ms, void (*meanwhile)())
{
    pid_t m[MEMBERS_MAX];
    family_signal(f, SIGTERM);
    family_signal(f, SIGCONT);
    Uint32 begin = SDL_GetTicks();
    for (;;) {
        reap_adopted(f->root);
        if (family_alive(f, m, MEMBERS_MAX) == 0 || (int)(SDL_GetTicks() - begin) >= grace_ms)
            break;
        if (meanwhile)
            meanwhile();
        SDL_Delay(5);
    }
    for (int round = 0; round < KILL_ROUNDS; round++) {
        int n = family_alive(f, m, MEMBERS_MAX);
        if (n == 0)
            break;
        if (f->root > 0)
            kill(-f->root, SIGKILL);
        for (int i = 0; i < n; i++)
            kill(m[i], SIGKILL);
        reap_adopted(f->root);
        SDL_Delay(1);
    }
    reap_adopted(f->root);
}

int reap(pid_t pid, int options)
{
    int status = 0;
    pid_t r;
    while ((r = waitpid(pid, &status, options)) < 0 && errno == EINTR) {
    }
    if (r == 0)
        return -1;
    // A child that cannot be waited for (reaped elsewhere) never counts as a success.
    return r < 0 ? W_EXITCODE(255, 0) : status;
}

void reap_adopted(pid_t keep)
{
    for (;;) {
        siginfo_t si;
        si.si_pid = 0;
        if (waitid(P_ALL, 0, &si, WEXITED | WNOHANG | WNOWAIT) != 0 || si.si_pid == 0)
            return;
        if (si.si_pid == keep)
            break;
        waitpid(si.si_pid, nullptr, WNOHANG);
    }
    // The kept child has ended and waits for its owner; the others may be behind it.
    pid_t self = getpid();
    int n = scan();
    for (int i = 0; i < n; i++)
        if (PROCS[i].ppid == self && ended(PROCS[i].state) && PROCS[i].pid != keep)
            waitpid(PROCS[i].pid, nullptr, WNOHANG);
}
