# Shared by scripts/run and scripts/test: installs what is missing and builds.
# Sourced, not run.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${LAUNCHER_BUILD:-$ROOT/build}

# Debian packages the launcher, its tests and the sample build need.
PACKAGES=(
  cmake ninja-build g++ gcc pkg-config python3
  libsdl2-dev libsdl2-ttf-dev libsystemd-dev fonts-dejavu-core
  libfontconfig-dev fonts-droid-fallback gettext locales
  libgtest-dev xvfb xdotool x11-utils imagemagick clang perl procps
  desktop-file-utils appstream man-db groff-base
  dbus-daemon dbus-bin python3-dbusmock python3-xlib
  libspeechd-dev speech-dispatcher libx11-dev openbox mutter
)

missing_packages() {
  local p
  for p in "${PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}

ensure_packages() {
  local missing
  missing=$(missing_packages "$@")
  [ -z "$missing" ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "launcher: these Debian packages are missing:" $missing >&2
    echo "launcher: install them with: sudo apt-get install" $missing >&2
    exit 1
  fi
  echo "launcher: installing" $missing
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
}

# Configures a new build folder with the given options; an existing one keeps its own.
build_launcher() {
  if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  fi
  cmake --build "$BUILD"
}

# Starts Xvfb on a free display with a screen of the given size, sets
# DISPLAY and XVFB_PID. The caller stops it (kill $XVFB_PID). The server
# picks the display itself (-displayfd) and names it once it takes
# clients, so that servers started at the same moment never share one.
start_xvfb() {
  local size=${1:-960x600} named i
  named=$(mktemp)
  # -noreset: without it the server resets when its last client leaves, and
  # a program starting in that moment cannot connect.
  Xvfb -displayfd 3 -screen 0 "${size}x24" -nolisten tcp -noreset 3>"$named" >/dev/null 2>&1 &
  XVFB_PID=$!
  for i in $(seq 400); do
    if grep -qx '[0-9][0-9]*' "$named"; then
      export DISPLAY=:$(head -n 1 "$named")
      rm -f "$named"
      return 0
    fi
    kill -0 $XVFB_PID 2>/dev/null || break
    sleep 0.05
  done
  rm -f "$named"
  kill $XVFB_PID 2>/dev/null
  echo "launcher: could not start Xvfb" >&2
  return 1
}

# The id of the first window with this exact title, waiting up to $2 seconds.
window_id() {
  local i
  for i in $(seq $((${2:-10} * 20))); do
    xdotool search --name "^$1\$" 2>/dev/null | head -n 1 | grep . && return 0
    sleep 0.05
  done
  return 1
}
