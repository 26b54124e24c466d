// Starting a child: everything it needs is made before the fork, so that
// between fork and exec it makes only async-signal-safe calls.
#pragma once

#include <csignal>
#include <sys/types.h>

// The signals that end the launcher as its close button does; a child gets
// their default actions back.
constexpr int QUIT_SIGNALS[] = {SIGHUP, SIGINT, SIGTERM};

struct Spawn {
    char *const *argv;      // argv[0] is run as a path, without a search
    char *const *envp;      // null: the launcher's own environment
    int in, out, err;       // become 0, 1 and 2, and are closed in the launcher; -1 keeps its own
    bool dies_with_parent;  // SIGTERM when the launcher dies, quit signals at their defaults
    const char *failure;    // when exec fails: this and the reason on standard error; may be null
    bool yields;            // runs 10 steps nicer than the launcher (at most 19), at the lowest best-effort I/O level
};

// The child's process id, or -1 when the fork failed. A child whose exec
// fails ends with status 127.
pid_t spawn(const Spawn &s);

// A child that answers on its standard output, read through *out
// (close-on-exec); its standard input and error are /dev/null. -1 when it
// cannot start.
pid_t spawn_answering(char *const *argv, char *const *envp, int *out);
