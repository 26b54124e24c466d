/* The floor for taking in build output: runs PROGRAM with its standard output
 * and error on one pipe, reads it in 4 KiB chunks (blocking), writes and
 * flushes each chunk to LOG, splits the lines and parses the progress forms.
 *   floor_pump LOG PROGRAM [ARG...]
 * Prints "<ns from before the fork to the log closed> <bytes> <lines> <detail>". */
#define _GNU_SOURCE
#include "floor_parse.h"

#include <stdio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static long long now_ns(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: floor_pump LOG PROGRAM [ARG...]\n");
        return 2;
    }
    static struct floor_progress st;
    floor_progress_init(&st);
    long long t0 = now_ns();
    FILE *log = fopen(argv[1], "w");
    int p[2];
    if (pipe(p) != 0)
        return 1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(p[1], 1);
        dup2(p[1], 2);
        close(p[0]);
        close(p[1]);
        execv(argv[2], argv + 2);
        _exit(127);
    }
    close(p[1]);
    long long bytes = 0;
    char buf[4096];
    ssize_t n;
    while ((n = read(p[0], buf, sizeof buf)) > 0) {
        if (log) {
            fwrite(buf, 1, (size_t)n, log);
            fflush(log);
        }
        bytes += n;
        floor_feed(&st, buf, (size_t)n);
    }
    close(p[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (log)
        fclose(log);
    long long t1 = now_ns();
    printf("%lld %lld %lld %s\n", t1 - t0, bytes, st.lines, st.detail);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
