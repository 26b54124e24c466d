#!/usr/bin/env bash
# With no DejaVu Sans anywhere on the search path the launcher still runs,
# warns once, and draws its screens without text. The fixed font folders are
# hidden in a private mount namespace.
set -euo pipefail
launcher=$1
if ! unshare -m true 2>/dev/null; then
  echo "skipped: no private mount namespace here (needs root)"
  exit 0
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unshare -m bash -c '
  for d in /usr/share/fonts /usr/local/share/fonts; do
    [ -d "$d" ] && mount -t tmpfs none "$d"
  done
  export SDL_VIDEODRIVER=offscreen ORVL_FONTS='"$work"'/none ORVL_HOME='"$work"'/home
  ORVL_LAUNCHER_STATE=setup ORVL_LAUNCHER_SHOT='"$work"'/setup.bmp "$1" 2>'"$work"'/stderr
' _ "$launcher"
fails=0
check() { if eval "$1"; then echo "ok: $2"; else echo "FAIL: $2"; fails=$((fails + 1)); fi; }
check '[ "$(cat "$work/stderr")" = "launcher: no DejaVu Sans font found; text will be missing" ]' "one warning on standard error"
check '[ -s "$work/setup.bmp" ]' "the screen is still written"
# The title's place holds only the background: no text was drawn.
convert "$work/setup.bmp" -crop 400x40+48+48 -unique-colors txt:- > "$work/colours"
check '[ $(grep -c "^[0-9]" "$work/colours") -le 10 ]' "no text where the title would be"
echo "$((3 - fails)) passed, $fails failed"
[ $fails -eq 0 ]
