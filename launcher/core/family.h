// A child of the launcher and every process it starts, wherever they go:
// the launcher is a child subreaper, so a descendant that is orphaned (a tool
// that double-forks or calls setsid) comes back as the launcher's own child.
#pragma once

#include <sys/types.h>

struct Family {
    pid_t root;                     // the child the launcher forked; 0 once it is reaped
    unsigned long long born;        // its start time: nothing older descends from it
};

extern volatile int QUIT_SIGNAL;    // SIGHUP, SIGINT or SIGTERM reached the launcher

void supervise();                   // subreaper, and the quit signals noted instead of fatal
void family_root(Family *f, pid_t root);  // after the fork
int family_reap(Family *f, int options);  // the root's wait status, or -1 while it runs
int family_alive(const Family *f, pid_t *out, int max);  // living members, the root included
void family_signal(const Family *f, int sig);
void family_end(Family *f, int grace_ms, void (*meanwhile)());  // SIGTERM, grace, SIGKILL
void reap_adopted(pid_t keep);      // reaps every ended child but keep, without waiting
int reap(pid_t pid, int options);   // its wait status; -1 while it runs (WNOHANG)
