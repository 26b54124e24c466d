#include "child.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

extern char **environ;

// SDL and SDL2_ttf open files without close-on-exec (the fonts stay open for
// the whole run), so a child closes everything above its standard streams.
static void close_from(int lowest)
{
    if (close_range(lowest, ~0U, 0) == 0)
        return;
    struct rlimit rl;
    int top = getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < 65536 ? (int)rl.rlim_cur : 65536;
    for (int fd = lowest; fd < top; fd++)
        close(fd);
}

// Appends s to buf (holding len bytes) without passing size - 1; returns the new length.
static size_t append(char *buf, size_t size, size_t len, const char *s)
{
    while (*s && len + 1 < size)
        buf[len++] = *s++;
    buf[len] = '\0';
    return len;
}

static void dies_with(pid_t parent)
{
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    for (int sig : QUIT_SIGNALS)
        sigaction(sig, &dfl, nullptr);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    // The launcher may have died before the line above took effect.
    if (getppid() != parent)
        raise(SIGTERM);
}

constexpr int YIELD_NICE = 10;
constexpr int NICEST = 19;
constexpr int IOPRIO_WHO_PROCESS = 1;
constexpr int IOPRIO_CLASS_SHIFT = 13;
// Best-effort at its lowest level rather than the idle class: an idle-class
// build is starved outright while anything else reads the disk, and can
// stall the desktop behind a file-system lock it holds while starved.
constexpr int IOPRIO_BEST_EFFORT_LOWEST = (2 << IOPRIO_CLASS_SHIFT) | 7;

// Both are inherited across fork and exec, so everything the child starts
// yields too. A sandbox may forbid either: the child then runs as it is.
static void yield_priority(int nice)
{
    setpriority(PRIO_PROCESS, 0, nice);
    syscall(SYS_ioprio_set, IOPRIO_WHO_PROCESS, 0, IOPRIO_BEST_EFFORT_LOWEST);
}

pid_t spawn(const Spawn &s)
{
    int own = getpriority(PRIO_PROCESS, 0);
    int niced = own + YIELD_NICE < NICEST ? own + YIELD_NICE : NICEST;
    char failure[1400];
    size_t failure_len = append(failure, sizeof failure, 0, s.failure ? s.failure : "");
    char *const *envp = s.envp ? s.envp : environ;
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid != 0) {
        for (int fd : {s.in, s.out, s.err == s.out ? -1 : s.err})
            if (fd >= 0)
                close(fd);
        return pid;
    }
    if (s.dies_with_parent)
        dies_with(parent);
    if (s.yields)
        yield_priority(niced);
    if (s.in >= 0)
        dup2(s.in, 0);
    if (s.out >= 0)
        dup2(s.out, 1);
    if (s.err >= 0)
        dup2(s.err, 2);
    close_from(3);
    execve(s.argv[0], s.argv, envp);
    if (s.failure) {
        const char *why = strerrordesc_np(errno);
        failure_len = append(failure, sizeof failure, failure_len, why ? why : "Unknown error");
        failure_len = append(failure, sizeof failure, failure_len, "\n");
        ssize_t written = write(2, failure, failure_len);
        (void)written;
    }
    _exit(127);
}

pid_t spawn_answering(char *const *argv, char *const *envp, int *out)
{
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0)
        return -1;
    int null_in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int null_out = open("/dev/null", O_WRONLY | O_CLOEXEC);
    pid_t pid = spawn({argv, envp, null_in, p[1], null_out, true, nullptr, false});
    if (pid < 0)
        close(p[0]);
    *out = pid < 0 ? -1 : p[0];
    return pid;
}
