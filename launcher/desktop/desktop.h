// The launcher on the desktop, through the desktop's D-Bus services: no
// sleep while a build runs, a notification when a build ends unnoticed, the
// build's progress on the taskbar, the build in a scope of its own under the
// user's service manager, whether a screen reader is on. Without a
// bus, without a service behind a name or with ORVL_DESKTOP=0 every call
// quietly does nothing; none waits.
#pragma once

void desktop_open();                            // once at start-up
void desktop_pass();                            // takes in what the buses sent; once a pass
void desktop_hold(bool building);               // holds or lets go of the sleep inhibitor
void desktop_progress(bool building, double fraction);  // negative: no fraction to show
void desktop_done(const char *sentence);        // a build ended: a word if nobody looked
void desktop_scope(int pid);                    // a build child of its own, below the player's programs
bool desktop_screen_reader();                   // the desktop says a screen reader is on
void desktop_close();                           // lets go of everything before the exit
