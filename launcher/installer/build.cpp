// The download-and-build JOB: its start, the pump that reads and parses the
// child's output into the working screen, the log, and the cancel.
#include "installer.h"
#include "estimate.h"

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
constexpr int CANCEL_GRACE_MS = 5000;   // a cancelled JOB's time to end before SIGKILL
constexpr int ENV_MAX = 4096;

static bool PENDING;
static char RECORD[1200];   // how long the steps of the build before took    // the last pump stopped at its budget with output left

static Family JOB;      // the installer and everything it starts; root 0 once it has ended
static int EXIT_STATUS; // the installer's wait status, once it has ended
static Uint32 EXITED_AT, CANCEL_AT;
static bool YIELDS;     // the JOB was started below the launcher's priority

// The child's environment is made before the fork: between fork and exec
// only async-signal-safe calls are allowed, and setenv allocates.
static char PGROUP_VAR[] = "ORVL_PGROUP=1";
static char UNBUFFERED_VAR[] = "PYTHONUNBUFFERED=1";
static char *CHILD_ENV[ENV_MAX];

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
            CHILD_ENV[n++] = *e;
    CHILD_ENV[n++] = PGROUP_VAR;
    CHILD_ENV[n++] = UNBUFFERED_VAR;
    CHILD_ENV[n] = nullptr;
}

// Integers as "%d" and "%u" read them (white space, a sign, digits), but
// saturating: a number out of range must not be undefined behaviour.
static bool scan(const char **p, long long *v)
{
    char *end;
    *v = strtoll(*p, &end, 10);
    bool read = end != *p;
    *p = end;
    return read;
}

static int to_int(long long v)
{
    return (int)SDL_clamp(v, (long long)INT_MIN, (long long)INT_MAX);
}

// As "%u": a negative number wraps around, from its magnitude at most UINT_MAX.
static unsigned to_unsigned(long long v)
{
    unsigned long long magnitude = v < 0 ? 0ull - (unsigned long long)v : (unsigned long long)v;
    unsigned u = (unsigned)SDL_min(magnitude, (unsigned long long)UINT_MAX);
    return v < 0 ? 0u - u : u;
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
        long long step, steps;
        if (!scan(&p, &step) || !scan(&p, &steps))
            return;
        while (isspace((unsigned char)*p))
            p++;
        S.step = to_int(step);
        S.steps = to_int(steps);
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
        long long n, m;
        if (scan(&p, &n) && *p == '/' && (++p, scan(&p, &m)) && to_unsigned(m) != 0)
            S.progress = (double)to_unsigned(n) / to_unsigned(m);
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
            est_take(SDL_GetTicks());
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
            est_take(SDL_GetTicks());
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
    PENDING = false;
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
    PENDING = true;
    return false;
}

static void close_job()
{
    if (S.fd >= 0)
        close(S.fd);
    S.fd = -1;
    S.pid = 0;
    PENDING = false;
    if (S.log) {
        fclose(S.log);
        S.log = nullptr;
    }
}

// Keeps the log whole and the writers from blocking on a full pipe while the
// launcher waits for the JOB's processes to end.
static void drain()
{
    if (S.fd >= 0)
        take_in();
}

// Reaps the installer if it has ended; true once it has.
static bool installer_ended(int options)
{
    if (JOB.root > 0) {
        int status = family_reap(&JOB, options);
        if (status == -1)
            return false;
        EXIT_STATUS = status;
        EXITED_AT = SDL_GetTicks();
    }
    return true;
}

// Ends the installer and everything it started; the installer's wait status.
static int end_family(int grace_ms)
{
    family_end(&JOB, grace_ms, drain);
    installer_ended(0);
    reap_adopted(0);
    return EXIT_STATUS;
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
    est_end(RECORD, !S.cancelled && WIFEXITED(status) && WEXITSTATUS(status) == 0, SDL_GetTicks());
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
    // finished JOB runs on either.
    settle(end_family(LEFTOVER_GRACE_MS));
}

// The JOB ends with its installer: once the installer has exited, what still
// holds its output has a short grace, then is ended. A cancel that the
// installer does not act on ends the JOB after its own grace.
static void watch_job()
{
    bool held = installer_ended(WNOHANG) && SDL_GetTicks() - EXITED_AT >= OUTPUT_GRACE_MS;
    bool overdue = S.cancelled && SDL_GetTicks() - CANCEL_AT >= CANCEL_GRACE_MS;
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
    if (S.state == ST_WORKING)
        est_words(S.left, sizeof S.left, SDL_GetTicks());
}

bool pump_quick()
{
    return S.fd >= 0 && take_in();
}

bool build_yields()
{
    return S.pid > 0 && YIELDS;
}

bool pump_pending()
{
    return PENDING;
}

void cancel_build()
{
    if (S.pid <= 0)
        return;
    // Pressed again, it signals again but does not move the deadline.
    if (!S.cancelled)
        CANCEL_AT = SDL_GetTicks();
    S.cancelled = 1;
    family_signal(&JOB, SIGTERM);
    family_signal(&JOB, SIGCONT);
}

void stop_build(int grace_ms)
{
    if (S.pid <= 0)
        return;
    end_family(grace_ms);
    drain();
    close_job();
    est_end(RECORD, false, SDL_GetTicks());
}

static void start_failed()
{
    snprintf(S.message, sizeof S.message, "%s", _("The build could not start."));
    S.state = ST_FAILED;
}

void start_build()
{
    // "Try Again" while the failed child still runs: one JOB at a time.
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
    char failure[1400];
    int at = snprintf(failure, sizeof failure, "@error ");
    // TRANSLATORS: the system's reason follows, in English.
    snprintf(failure + at, sizeof failure - at, _("cannot run %.1023s: "), argv[0]);
    // A tool that reads standard input sees its end, instead of being
    // stopped for reading the terminal from a background group.
    // The build takes every core for many minutes: it runs below whatever
    // the player does meanwhile, unless told to take its full share.
    YIELDS = strcmp(env_or("ORVL_BUILD_NICE", "1"), "0") != 0;
    pid_t pid = spawn({argv, CHILD_ENV, null_in, p[1], p[1], true, failure, YIELDS});
    if (pid < 0) {
        close(p[0]);
        start_failed();
        return;
    }
    family_root(&JOB, pid);
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
    S.left[0] = '\0';
    snprintf(RECORD, sizeof RECORD, "%.1100s/build-times", g_home);
    est_start(RECORD, S.started);
}
