#!/usr/bin/env bash
# tools/screens renders all seven screens at the window's size: in English
# exactly the committed images of docs/screens, and in every catalog's
# language screens of their own. The template holds every text of the
# sources, and every catalog translates all of them.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
fails=0
checks=0
check() {
  checks=$((checks + 1))
  if eval "$1"; then echo "ok: $2"; else echo "FAIL: $2"; fails=$((fails + 1)); fi
}
screens="checking setup update working failed ready crashed"
size() { identify -format '%wx%h' "$1" 2>/dev/null || echo missing; }
same() { cmp -s "$1" "$2" || [ "$(compare -metric AE "$1" "$2" null: 2>&1)" = 0 ]; }

"$root/tools/screens" "$1" "$out/en" >/dev/null
for s in $screens; do
  check '[ "$(size "$out/en/$s.png")" = 960x600 ] && same "$out/en/$s.png" "$root/docs/screens/$s.png"' \
    "$s: 960x600, every pixel as in docs/screens"
done
# Seven different pictures, not one screen seven times.
distinct=$(md5sum "$out"/en/*.png | cut -d' ' -f1 | sort -u | wc -l)
check '[ "$distinct" -eq 7 ]' "seven distinct screens ($distinct)"

for lang in $(grep -v '^#' "$root/po/LINGUAS"); do
  "$root/tools/screens" --lang "$lang" "$1" "$out/$lang" >/dev/null
  translated=0
  for s in $screens; do
    [ -s "$out/$lang/$s.png" ] && ! cmp -s "$out/$lang/$s.png" "$out/en/$s.png" && translated=$((translated + 1))
  done
  check '[ $translated -eq 7 ]' "$lang: seven screens of its own ($translated)"
done

"$root/po/pot" "$out/sources.pot"
check 'msgcmp --use-untranslated "$out/sources.pot" "$root/po/launcher.pot" &&
       msgcmp --use-untranslated "$root/po/launcher.pot" "$out/sources.pot"' "po/launcher.pot holds the texts of the sources"
for lang in $(grep -v '^#' "$root/po/LINGUAS"); do
  check 'msgcmp "$root/po/$lang.po" "$root/po/launcher.pot"' "$lang: every text translated"
done
echo "$((checks - fails)) passed, $fails failed"
[ $fails -eq 0 ]
