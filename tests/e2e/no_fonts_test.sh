#!/usr/bin/env bash
# Fonts hidden in a private mount namespace. With the listed DejaVu folders
# hidden but DejaVu Sans in another folder the desktop's font configuration
# knows, fontconfig finds it and the screen is drawn exactly as usual. With
# no font anywhere, the launcher still runs, warns once, and draws its
# screens without text.
set -euo pipefail
launcher=$1
if ! unshare -m true 2>/dev/null; then
  echo "skipped: no private mount namespace here (needs root)"
  exit 0
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/data/fonts" "$work/empty"
dejavu=$(fc-match -f '%{file}' 'DejaVu Sans')
cp "$dejavu" "$(dirname "$dejavu")/DejaVuSans-Bold.ttf" "$work/data/fonts/"

export SDL_VIDEODRIVER=offscreen ORVL_HOME=$work/home ORVL_LAUNCHER_STATE=setup ORVL_FONTS=$work/none
export HOME=$work/empty XDG_CACHE_HOME=$work/cache
ORVL_LAUNCHER_SHOT=$work/usual.bmp "$launcher"

# $1: folders to hide; the rest runs in the namespace.
hidden() {
  local dirs=$1
  shift
  unshare -m bash -c '
    for d in '"$dirs"'; do [ -d "$d" ] && mount -t tmpfs none "$d"; done
    "$@"' _ "$@"
}
hidden "/usr/share/fonts/dejavu /usr/share/fonts/truetype/dejavu /usr/share/fonts/TTF /usr/share/fonts/dejavu-sans-fonts" \
  env XDG_DATA_HOME="$work/data" ORVL_LAUNCHER_SHOT="$work/found.bmp" "$launcher" 2>"$work/found.stderr"
hidden "/usr/share/fonts /usr/local/share/fonts" \
  env XDG_DATA_HOME="$work/empty" ORVL_LAUNCHER_SHOT="$work/setup.bmp" "$launcher" 2>"$work/stderr"

fails=0
check() { if eval "$1"; then echo "ok: $2"; else echo "FAIL: $2"; fails=$((fails + 1)); fi; }
check '[ ! -s "$work/found.stderr" ]' "DejaVu Sans found through fontconfig: no warning"
check 'cmp -s "$work/found.bmp" "$work/usual.bmp"' "and the screen is the usual one, byte for byte"
check '[ "$(cat "$work/stderr")" = "launcher: no DejaVu Sans font found; text will be missing" ]' "no font at all: one warning on standard error"
check '[ -s "$work/setup.bmp" ]' "the screen is still written"
# The title's place holds only the background: no text was drawn.
convert "$work/setup.bmp" -crop 400x40+48+48 -unique-colors txt:- > "$work/colours"
check '[ $(grep -c "^[0-9]" "$work/colours") -le 10 ]' "no text where the title would be"
echo "$((5 - fails)) passed, $fails failed"
[ $fails -eq 0 ]
