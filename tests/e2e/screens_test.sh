#!/usr/bin/env bash
# tools/screens renders all seven screens at the window's size.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
"$root/tools/screens" "$1" "$out" >/dev/null
fails=0
for s in checking setup update working failed ready crashed; do
  size=$(identify -format '%wx%h' "$out/$s.png" 2>/dev/null || echo missing)
  if [ "$size" = 960x600 ]; then echo "ok: $s"; else echo "FAIL: $s is $size"; fails=$((fails + 1)); fi
done
# Seven different pictures, not one screen seven times.
distinct=$(md5sum "$out"/*.png | cut -d' ' -f1 | sort -u | wc -l)
if [ "$distinct" -eq 7 ]; then echo "ok: seven distinct screens"; else echo "FAIL: $distinct distinct"; fails=$((fails + 1)); fi
echo "$((8 - fails)) passed, $fails failed"
[ $fails -eq 0 ]
