// launcher: the window in front of a game that is built on the user's own
// computer. It asks an outside installer whether the game is built and
// current, runs the installer's download-and-build as a supervised child
// while it shows the progress, and then starts the game.
//
// One thread does everything. Start-up resolves the directories from the
// environment (core/paths.cpp), opens the window and fonts, shows the
// checking screen and runs the status query (installer/status.cpp). The loop
// (app/loop.cpp) then waits for input, turns it into actions (act), lets
// the build job take in its child's output (installer/build.cpp), and draws
// the screen of the current state (screens/draw.cpp). The game is started
// and waited for in game/play.cpp. Every child is started by one spawn
// (core/child.cpp) and ended with its descendants (core/family.cpp).
//
// The folders read one way: app/ calls installer/, game/, screens/ and
// desktop/, which call only core/, where the shared records of core.h
// live. To understand everything else, start reading run().
#include "app.h"

int main(int argc, char **argv)
{
    return run(argc, argv);
}
