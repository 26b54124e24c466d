#!/usr/bin/env bash
# Leaving while a build child is still open: the failed screen after an
# "@error" line, with an installer that ignores SIGTERM and keeps a
# grandchild in its group. Escape must end the launcher in bounded time and
# leave nothing of that group running.
set -euo pipefail
launcher=$1
source "$(dirname "$0")/common.sh"
cat > "$ORVL_PYTHON" <<'SH'
#!/bin/sh
for mode; do :; done
if [ "$mode" = --status ]; then echo '{"needs_disc": true}'; exit 0; fi
exec perl -e 'setpgrp(0,0); $SIG{TERM}="IGNORE"; $|=1; print "\@error It broke.\n";
  if (fork() == 0) { $SIG{TERM}="IGNORE"; sleep 120; exit 0 } sleep 120'
SH
chmod +x "$ORVL_PYTHON"
start_xvfb 960x600
"$launcher" 2>"$work/stderr" &
pid=$!
wid=$(window_id Orvandel 20)
sleep 0.5
key Return
for _ in $(seq 100); do grep -q "It broke" "$ORVL_HOME/logs/install.log" 2>/dev/null && break; sleep 0.05; done
group=$(pgrep -f 'It broke' | head -n 1)
sleep 0.5
key Escape
ended=no
for _ in $(seq 200); do kill -0 $pid 2>/dev/null || { ended=yes; break; }; sleep 0.05; done
status=0
[ $ended = yes ] && { wait $pid || status=$?; }
left=$(ps -e -o pgid=,stat= | awk -v g="$group" '$1 == g && $2 !~ /^Z/' | wc -l)
check '[ -n "$group" ]' "the installer made its group"
check '[ $ended = yes ]' "the launcher ended within 10 s"
check '[ $status -eq 0 ]' "with status 0 (it was $status)"
check '[ "$left" -eq 0 ]' "nothing of the installer's group is left running ($left)"
[ $ended = yes ] || kill -9 $pid
summary
