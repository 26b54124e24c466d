#!/usr/bin/env bash
# Runs the window tests (tests/window_test.cpp) on a real X server: Xvfb
# with a screen that holds a 1920x1200 window.
set -euo pipefail
source "$(dirname "$0")/../../scripts/lib.sh"
XVFB_PID=
trap '[ -n "$XVFB_PID" ] && kill $XVFB_PID 2>/dev/null; true' EXIT
start_xvfb 1920x1200
unset SDL_VIDEODRIVER
"$@"
