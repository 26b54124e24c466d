/* Stand-in for the installer's interpreter: the launcher runs it as
 *   gen -I SCRIPT --dest HOME --vantrel DIR [...] --status|--download
 * and it looks only at its last argument.
 *
 * --status    prints the status JSON; GEN_STATUS=ready answers "ready",
 *             anything else "needs_disc".
 * --download  makes its own process group when ORVL_PGROUP=1, then
 *             GEN_MODE=flood  (default) writes GEN_LINES Ninja-style lines
 *                             in 64 KiB writes, as fast as the pipe takes them;
 *             GEN_MODE=line   the same lines, one write(2) per line;
 *             GEN_MODE=zenity the same lines in zenity's progress protocol
 *                             ("#text" lines and percent lines), 64 KiB writes;
 *             GEN_MODE=zenity-line  that, one write(2) per line;
 *             GEN_MODE=quiet  writes nothing and waits to be signalled;
 *             GEN_MODE=paced  the same lines, GEN_RATE (default 5) a second,
 *                             one write(2) per line, until it is signalled;
 *             GEN_MODE=zenity-paced  that, in zenity's protocol.
 *             It exits 0 when done.
 * Anything else (or no argument) prints the byte count of the stream that
 * the flood and line modes write, for the harness to check logs against.
 *
 * GEN_EVENTS=path appends "S <ns>" at start, "E <bytes> <ns>" at the end
 * and "T <ns>" when SIGTERM arrives (CLOCK_MONOTONIC nanoseconds). */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static int events = -1;

static long long now_ns(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

/* Async-signal-safe decimal formatting. */
static int put_ll(char *p, long long v)
{
    char tmp[24];
    int n = 0, len = 0;
    if (v == 0)
        tmp[n++] = '0';
    while (v > 0) {
        tmp[n++] = (char)('0' + v % 10);
        v /= 10;
    }
    while (n > 0)
        p[len++] = tmp[--n];
    return len;
}

static void note(char tag, long long a, long long b, int two)
{
    if (events < 0)
        return;
    char line[64];
    int n = 0;
    line[n++] = tag;
    line[n++] = ' ';
    n += put_ll(line + n, a);
    if (two) {
        line[n++] = ' ';
        n += put_ll(line + n, b);
    }
    line[n++] = '\n';
    ssize_t w = write(events, line, n);
    (void)w;
}

static void on_term(int sig)
{
    note('T', now_ns(), 0, 0);
    signal(sig, SIG_DFL);
    raise(sig);
}

static int write_all(const char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(1, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        p += w;
        n -= (size_t)w;
    }
    return 0;
}

static const char HEAD[] = "@step 7 7 Compiling\n";

static int line_at(char *p, unsigned i, unsigned n)
{
    return sprintf(p, "[%u/%u] Building C object CMakeFiles/orvl_gen.dir/generated/recomp_simqz_%04u.c.o\n",
                   i, n, i % 10000);
}

static long long stream_bytes(unsigned n)
{
    char line[160];
    long long total = sizeof HEAD - 1;
    for (unsigned i = 1; i <= n; i++)
        total += line_at(line, i, n);
    return total;
}

int main(int argc, char **argv)
{
    const char *mode = argc > 1 ? argv[argc - 1] : "";
    const char *ev = getenv("GEN_EVENTS");
    if (ev && *ev)
        events = open(ev, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const char *lines = getenv("GEN_LINES");
    unsigned n = lines && *lines ? (unsigned)strtoul(lines, NULL, 10) : 200000u;

    if (strcmp(mode, "--status") == 0) {
        const char *st = getenv("GEN_STATUS");
        if (st && strcmp(st, "ready") == 0)
            fputs("{\"ready\": true, \"needs_disc\": false}\n", stdout);
        else
            fputs("{\"ready\": false, \"needs_disc\": true}\n", stdout);
        return 0;
    }
    if (strcmp(mode, "--download") != 0) {
        printf("%lld\n", stream_bytes(n));
        return 0;
    }

    const char *pg = getenv("ORVL_PGROUP");
    if (pg && strcmp(pg, "1") == 0)
        setpgid(0, 0);
    signal(SIGTERM, on_term);
    note('S', now_ns(), 0, 0);

    const char *gm = getenv("GEN_MODE");
    if (!gm || !*gm)
        gm = "flood";
    if (strcmp(gm, "quiet") == 0)
        for (;;)
            pause();
    int zen = strncmp(gm, "zenity", 6) == 0;
    int paced = strcmp(gm, "paced") == 0 || strcmp(gm, "zenity-paced") == 0;
    int per_line = paced || strcmp(gm, "line") == 0 || strcmp(gm, "zenity-line") == 0;
    const char *rate = getenv("GEN_RATE");
    long gap_ns = 1000000000L / (rate && atoi(rate) > 0 ? atoi(rate) : 5);
    long long due = now_ns();
    /* Lines are gathered in buf and written when it holds 64 KiB, or after
     * every line in the one-write-per-line modes. */
    static char buf[65536 + 512];
    size_t used = 0;
    long long total = 0;
    int last_pct = -1;
    if (!zen) {
        memcpy(buf, HEAD, sizeof HEAD - 1);
        used = sizeof HEAD - 1;
    }
    for (unsigned i = 1; i <= n; i++) {
        if (per_line && used) {
            if (write_all(buf, used))
                return 1;
            total += (long long)used;
            used = 0;
        }
        if (paced && i > 1) {
            /* Paced from the start, so that the rate does not drift. */
            due += gap_ns;
            long long wait = due - now_ns();
            if (wait > 0) {
                struct timespec t = {(time_t)(wait / 1000000000LL), (long)(wait % 1000000000LL)};
                while (nanosleep(&t, &t) != 0 && errno == EINTR) {
                }
            }
        }
        if (zen)
            buf[used++] = '#';
        used += (size_t)line_at(buf + used, i, n);
        if (zen) {
            int pct = (int)((unsigned long long)i * 100 / n);
            if (pct != last_pct) {
                if (per_line) {
                    if (write_all(buf, used))
                        return 1;
                    total += (long long)used;
                    used = 0;
                }
                used += (size_t)sprintf(buf + used, "%d\n", pct);
                last_pct = pct;
            }
        }
        if (used >= 65536) {
            if (write_all(buf, used))
                return 1;
            total += (long long)used;
            used = 0;
        }
    }
    if (used && write_all(buf, used))
        return 1;
    total += (long long)used;
    note('E', total, now_ns(), 1);
    return 0;
}
