// How long a build has left: learned from its own progress and from the
// record of the build before. Times are SDL_GetTicks() milliseconds, passed
// in, so that a recorded build can be replayed through the same code.
#pragma once

#include <cstddef>
#include <cstdint>

void est_start(const char *record, uint32_t now);  // a build starts; record: the file of the one before, or null
void est_take(uint32_t now);            // after each line: reads S's step and progress
int est_seconds(uint32_t now, bool *step_only);     // the raw estimate, or -1 when there is none
void est_words(char *out, size_t size, uint32_t now);   // the line as shown, calm; "" for none
void est_end(const char *record, bool done, uint32_t now);  // the build ended; writes the record
