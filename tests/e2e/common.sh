# Shared by the window tests: a scratch data folder and share tree, Xvfb,
# key presses to the launcher's window, and the checks with their count line.
# Sourced after `launcher=$1`.
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib.sh"

work=$(mktemp -d)
XVFB_PID=
pid=
cleanup() {
  local status=$?
  [ -n "$pid" ] && kill -9 "$pid" 2>/dev/null || true
  [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null || true
  rm -rf "$work"
  exit $status
}
trap cleanup EXIT
export ORVL_HOME=$work/home ORVL_SHARE=$work/share ORVL_PYTHON=$work/python
mkdir -p "$ORVL_HOME"

key() { xdotool windowfocus --sync "$wid" 2>/dev/null || true; xdotool key "$@"; }

fails=0
checks=0
check() {
  checks=$((checks + 1))
  if eval "$1"; then echo "ok: $2"; else echo "FAIL: $2"; fails=$((fails + 1)); fi
}
summary() {
  echo "$((checks - fails)) passed, $fails failed"
  [ $fails -eq 0 ]
}
