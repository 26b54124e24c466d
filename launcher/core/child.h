// What a forked child may do before exec: only async-signal-safe calls.
#pragma once

#include <cstddef>

void close_from(int lowest);    // closes every descriptor from lowest on
size_t append(char *buf, size_t size, size_t len, const char *s);
[[noreturn]] void exec_failed(char *line, size_t size, size_t len, int err);
