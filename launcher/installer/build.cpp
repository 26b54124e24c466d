// The download-and-build job: its start, the pump that reads and parses the
// child's output into the working screen, the log, and the cancel.
#include "installer.h"

#include "../core/child.h"
#include "../core/core.h"
#include "../core/family.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

constexpr size_t CHUNK = 4096;
constexpr size_t LINE_MAX_BYTES = sizeof S.line - 1;
// One pump call takes in at most this much, so that a child writing faster
// than the launcher parses cannot keep the loop from its events.
constexpr size_t PUMP_BUDGET = 1 << 20;
constexpr int RETRY_GRACE_MS = 2000;
constexpr int LINGER_MS = 3000;         // an installer's time to exit once its output has ended
constexpr int CANCEL_GRACE_MS = 5000;   // a cancelled job's time to end before SIGKILL
constexpr int ENV_MAX = 4096;

static bool pending;    // the last pump stopped at its budget with output left

static Family job;      // the installer and everything it starts; root 0 once it has ended
static int exit_status; // the installer's wait status, once it has ended
static Uint32 exited_at, cancel_at;

// The child's environment is made before the fork: between fork and exec
// only async-signal-safe calls are allowed, and setenv allocates.
static char pgroup_var[] = "ORVL_PGROUP=1";
static char unbuffered_var[] = "PYTHONUNBUFFERED=1";
static char *child_env[ENV_MAX];

static bool starts(const char *s, const char *prefix)
{
    return strncmp(s, prefix, strlen(prefix)) == 0;
}

// The rest of s after prefix, or null when s does not begin with it.
static const char *after(const char *s, const char *prefix)
{
    return starts(s, prefix) ? s + strlen(prefix) : nullptr;
}

static void make_env()
{
    int n = 0;
    for (char **e = environ; *e && n < ENV_MAX - 3; e++)
        if (!starts(*e, "ORVL_PGROUP=") && !starts(*e, "PYTHONUNBUFFERED="))
            child_env[n++] = *e;
    child_env[n++] = pgroup_var;
    child_env[n++] = unbuffered_var;
    child_env[n] = nullptr;
}

// Integers as "%d" and "%u" read them (white space, a sign, digits), but
// saturating: a number out of range must not be undefined behaviour.
static bool scan_magnitude(const char **p, bool *negative, unsigned long long *value)
{
    const char *s = *p;
    while (isspace((unsigned char)*s))
        s++;
    *negative = *s == '-';
    if (*s == '-' || *s == '+')
        s++;
    if (!isdigit((unsigned char)*s))
        return false;
    unsigned long long v = 0;
    for (; isdigit((unsigned char)*s); s++)
        v = v > UINT_MAX ? v : v * 10 + (*s - '0');
    *value = v;
    *p = s;
    return true;
}

static bool scan_int(const char **p, int *out)
{
    bool negative;
    unsigned long long v;
    if (!scan_magnitude(p, &negative, &v))
        return false;
    if (negative)
        *out = v > (unsigned long long)INT_MAX + 1 ? INT_MIN : (int)(0 - (long long)v);
    else
        *out = v > INT_MAX ? INT_MAX : (int)v;
    return true;
}

static bool scan_uint(const char **p, unsigned *out)
{
    bool negative;
    unsigned long long v;
    if (!scan_magnitude(p, &negative, &v))
        return false;
    unsigned u = v > UINT_MAX ? UINT_MAX : (unsigned)v;
    *out = negative ? 0u - u : u;
    return true;
}

// "%.255s" without the formatter: at most 255 bytes and a NUL.
static void set_detail(const char *line)
{
    size_t k = strnlen(line, sizeof S.detail - 1);
    memcpy(S.detail, line, k);
    S.detail[k] = '\0';
}

void handle_line(const char *line)
{
    const char *p;
    if ((p = after(line, "@step "))) {
        int step, steps;
        if (!scan_int(&p, &step) || !scan_int(&p, &steps))
            return;
        while (isspace((unsigned char)*p))
            p++;
        S.step = step;
        S.steps = steps;
        S.progress = -1.0;
        snprintf(S.step_label, sizeof S.step_label, "%.159s", p);
    } else if ((p = after(line, "@progress "))) {
        double v = strtod(p, nullptr);
        S.progress = v < 0 ? -1.0 : v > 1 ? 1.0 : v;
    } else if ((p = after(line, "@error "))) {
        S.state = ST_FAILED;
        snprintf(S.message, sizeof S.message, "%.511s", p);
    } else if (strcmp(line, "@done") == 0) {
    } else if ((p = after(line, "["))) {
        unsigned n, m;
        if (scan_uint(&p, &n) && *p == '/' && (++p, scan_uint(&p, &m)) && m != 0)
            S.progress = (double)n / m;
        set_detail(line);
    } else if (line[0]) {
        set_detail(line);
    }
}

// Copies runs up to the next newline with memchr and memcpy; the bytes
// handled are the same as one by one: carriage returns dropped, a line
// ended by its newline or, at 8191 bytes held, by whatever byte comes next.
void feed(const char *bytes, size_t n)
{
    const char *p = bytes, *end = bytes + n;
    while (p < end) {
        size_t room = LINE_MAX_BYTES - S.line_len;
        if (room == 0) {
            S.line[S.line_len] = '\0';
            handle_line(S.line);
            S.line_len = 0;
            p++;
            continue;
        }
        size_t take = SDL_min((size_t)(end - p), room);
        const char *nl = static_cast<const char *>(memchr(p, '\n', take));
        size_t seg = nl ? (size_t)(nl - p) : take;
        if (memchr(p, '\r', seg)) {
            for (size_t i = 0; i < seg; i++)
                if (p[i] != '\r')
                    S.line[S.line_len++] = p[i];
        } else {
            memcpy(S.line + S.line_len, p, seg);
            S.line_len += seg;
        }
        p += seg;
        if (nl) {
            S.line[S.line_len] = '\0';
            handle_line(S.line);
            S.line_len = 0;
            p++;
        }
    }
}

// Reads, logs and parses what the child has written; true at the end of output.
static bool take_in()
{
    char buf[CHUNK];
    size_t total = 0;
    pending = false;
    while (total < PUMP_BUDGET) {
        ssize_t n = read(S.fd, buf, sizeof buf);
        if (n == 0)
            return true;
        if (n < 0)
            return false;
        if (S.log) {
            fwrite(buf, 1, n, S.log);
            fflush(S.log);
        }
        feed(buf, n);
        total += n;
    }
    pending = true;
    return false;
}

static void close_job()
{
    if (S.fd >= 0)
        close(S.fd);
    S.fd = -1;
    S.pid = 0;
    pending = false;
    if (S.log) {
        fclose(S.log);
        S.log = nullptr;
    }
}

// Keeps the log whole and the writers from blocking on a full pipe while the
// launcher waits for the job's processes to end.
static void drain()
{
    if (S.fd >= 0)
        take_in();
}

// Reaps the installer if it has ended; true once it has.
static bool installer_ended(int options)
{
    if (job.root > 0) {
        int status = family_reap(&job, options);
        if (status == -1)
            return false;
        exit_status = status;
        exited_at = SDL_GetTicks();
    }
    return true;
}

// Ends the installer and everything it started; the installer's wait status.
static int end_family(int grace_ms)
{
    family_end(&job, grace_ms, drain);
    installer_ended(0);
    reap_adopted(0);
    return exit_status;
}

// Waits up to ms for the installer to end, still taking in its output.
static void reap_within(int ms)
{
    Uint32 begin = SDL_GetTicks();
    while (!installer_ended(WNOHANG) && (int)(SDL_GetTicks() - begin) < ms) {
        drain();
        SDL_Delay(2);
    }
}

static void settle(int status)
{
    close_job();
    if (S.cancelled) {
        S.state = S.needs_disc ? ST_SETUP : ST_UPDATE;
        return;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        S.state = ST_READY;
        S.needs_disc = 0;
        return;
    }
    if (S.state == ST_FAILED)
        return;                 // the "@error " line said why
    S.state = ST_FAILED;
    if (WIFSIGNALED(status))
        snprintf(S.message, sizeof S.message, _("The build stopped (signal %d). Its log has the details."),
                 WTERMSIG(status));
    else
        snprintf(S.message, sizeof S.message, _("The build stopped (exit %d). Its log has the details."),
                 WEXITSTATUS(status));
}

// The end of output.
static void finish()
{
    close(S.fd);
    S.fd = -1;
    reap_within(LINGER_MS);
    // An installer that closed its output but runs on would otherwise hold
    // the window in this wait: it is stopped as at quit. Nothing of a
    // finished job runs on either.
    settle(end_family(LEFTOVER_GRACE_MS));
}

// The job ends with its installer: once the installer has exited, what still
// holds its output has a short grace, then is ended. A cancel that the
// installer does not act on ends the job after its own grace.
static void watch_job()
{
    bool held = installer_ended(WNOHANG) && SDL_GetTicks() - exited_at >= OUTPUT_GRACE_MS;
    bool overdue = S.cancelled && SDL_GetTicks() - cancel_at >= CANCEL_GRACE_MS;
    if (!held && !overdue)
        return;
    int status = end_family(overdue ? 0 : LEFTOVER_GRACE_MS);
    drain();
    settle(status);
}

void pump_build()
{
    if (S.fd < 0)
        return;
    if (take_in())
        finish();
    else
        watch_job();
}

bool pump_quick()
{
    return S.fd >= 0 && take_in();
}

bool pump_pending()
{
    return pending;
}

void cancel_build()
{
    if (S.pid <= 0)
        return;
    // Pressed again, it signals again but does not move the deadline.
    if (!S.cancelled)
        cancel_at = SDL_GetTicks();
    S.cancelled = 1;
    family_signal(&job, SIGTERM);
    family_signal(&job, SIGCONT);
}

void stop_build(int grace_ms)
{
    if (S.pid <= 0)
        return;
    end_family(grace_ms);
    drain();
    close_job();
}

static void start_failed()
{
    snprintf(S.message, sizeof S.message, "%s", _("The build could not start."));
    S.state = ST_FAILED;
}

void start_build()
{
    // "Try Again" while the failed child still runs: one job at a time.
    if (S.pid > 0)
        stop_build(RETRY_GRACE_MS);
    struct stat st;
    if (S.state == ST_FAILED && stat(g_home, &st) != 0)
        S.needs_disc = 1;
    char *argv[16];
    int count;
    install_argv(argv, &count, "--download");
    mkdirs();
    char path[1200];
    snprintf(path, sizeof path, "%s/install.log", g_logs);
    if (S.log)
        fclose(S.log);
    S.log = fopen(path, "we");

    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) {
        start_failed();
        return;
    }
    make_env();
    int null_in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    pid_t parent = getpid();
    char failure[1400];
    size_t failure_len = snprintf(failure, sizeof failure, "@error ");
    // TRANSLATORS: the system's reason follows, in English.
    failure_len += snprintf(failure + failure_len, sizeof failure - failure_len, _("cannot run %.1023s: "), argv[0]);
    failure_len = SDL_min(failure_len, sizeof failure - 1);
    pid_t pid = fork();
    if (pid == 0) {
        child_dies_with_parent(parent);
        // A tool that reads standard input sees its end, instead of being
        // stopped for reading the terminal from a background group.
        if (null_in >= 0)
            dup2(null_in, 0);
        dup2(p[1], 1);
        dup2(p[1], 2);
        close_from(3);
        execve(argv[0], argv, child_env);
        exec_failed(failure, sizeof failure, failure_len, errno);
    }
    close(p[1]);
    if (null_in >= 0)
        close(null_in);
    if (pid < 0) {
        close(p[0]);
        start_failed();
        return;
    }
    family_root(&job, pid);
    fcntl(p[0], F_SETFL, fcntl(p[0], F_GETFL) | O_NONBLOCK);
    S.pid = pid;
    S.line_len = 0;
    S.fd = p[0];
    snprintf(S.step_label, sizeof S.step_label, "%.159s", _("Starting"));
    S.state = ST_WORKING;
    S.cancelled = 0;
    S.detail[0] = '\0';
    S.step = 0;
    S.steps = 0;
    S.progress = -1.0;
    S.started = SDL_GetTicks();
}
