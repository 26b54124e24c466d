# Shared by scripts/run and scripts/test: installs what is missing and builds.
# Sourced, not run.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${LAUNCHER_BUILD:-$ROOT/build}

# Debian packages the launcher, its tests and the sample build need.
PACKAGES=(
  cmake ninja-build g++ gcc pkg-config python3
  libsdl2-dev libsdl2-ttf-dev fonts-dejavu-core
  libgtest-dev xvfb xdotool x11-utils imagemagick clang
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

build_launcher() {
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$BUILD"
}
