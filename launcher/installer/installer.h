// Talking to the installer: its command line, the status query at start-up,
// and the supervised download-and-build job with its progress protocol.
#pragma once

#include <cstddef>

constexpr int OUTPUT_GRACE_MS = 2000;   // output held open once the installer has exited
constexpr int LEFTOVER_GRACE_MS = 1000; // what outlives the installer, between SIGTERM and SIGKILL

// status.cpp
void install_argv(char *argv[16], int *count, const char *mode);
void read_status(const char *out, size_t len);  // settles the state from a status output
extern int STATUS_TIMEOUT_MS;           // how long the status query may take
void check_status(void (*meanwhile)()); // meanwhile: called while the installer is silent

// build.cpp
void start_build();
void pump_build();
bool build_yields();                    // the running job was started below the launcher's priority
bool pump_pending();                    // the last pump left output unread
bool pump_quick();                      // takes in output; true once it has ended
void cancel_build();
void stop_build(int grace_ms);          // ends an open job for good and reaps it
void feed(const char *bytes, size_t n); // line splitting
void handle_line(const char *line);     // the progress protocol
