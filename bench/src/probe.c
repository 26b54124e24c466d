/* A stand-in for the player's other programs: a loop at 60 frames a second
 * that needs WORK_MS of CPU a frame, as a video player or a browser does.
 * Frame i is due at the start plus i periods; it is late when its work ends
 * more than one period after it was due. As a player drops frames, a frame
 * whose time passed while an earlier one still ran is skipped and counts as
 * late. Runs until SIGTERM or SIGINT (or for the seconds given), then prints
 * "frames late worst_ms".
 *   probe [SECONDS] */
#define _GNU_SOURCE
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#define PERIOD_NS 16666667LL
#define WORK_NS 6000000LL

static volatile sig_atomic_t stop;

static void on_stop(int sig)
{
    (void)sig;
    stop = 1;
}

static long long ns(clockid_t clock)
{
    struct timespec t;
    clock_gettime(clock, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

/* Burns CPU time, not wall time: a frame that is preempted takes longer. */
static void work(void)
{
    long long until = ns(CLOCK_THREAD_CPUTIME_ID) + WORK_NS;
    while (ns(CLOCK_THREAD_CPUTIME_ID) < until)
        ;
}

int main(int argc, char **argv)
{
    double seconds = argc > 1 ? atof(argv[1]) : 0;
    struct sigaction sa = {0};
    sa.sa_handler = on_stop;
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);
    long long start = ns(CLOCK_MONOTONIC), worst = 0, frames = 0, late = 0;
    while (!stop && (seconds <= 0 || ns(CLOCK_MONOTONIC) - start < seconds * 1e9)) {
        long long due = start + frames * PERIOD_NS;
        struct timespec at = {due / 1000000000LL, due % 1000000000LL};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, NULL) != 0 && !stop)
            ;
        if (stop)
            break;
        work();
        long long took = ns(CLOCK_MONOTONIC) - due;
        if (took > worst)
            worst = took;
        late += took > PERIOD_NS;
        frames++;
        long long behind = (ns(CLOCK_MONOTONIC) - start) / PERIOD_NS + 1 - frames;
        if (behind > 0) {
            frames += behind;
            late += behind;
        }
    }
    printf("%lld %lld %.3f\n", frames, late, worst / 1e6);
    return 0;
}
