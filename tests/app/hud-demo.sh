#!/bin/bash
# The indicator demonstration: the pill is on screen while it runs, and the
# process ends by itself with status 0 just after 9 s.
set -u
ondira=$1
start=$(date +%s.%N)
"$ondira" --hud-demo >/dev/null 2>&1 &
pid=$!
sleep 3
tree=$(xwininfo -root -tree 2>/dev/null)
wait $pid
status=$?
elapsed=$(echo "$(date +%s.%N) - $start" | bc)
echo "exit status $status after ${elapsed}s"
echo "$tree" | grep -q '"Ondira Indicator"' || { echo "the indicator window was not on screen at 3 s"; exit 1; }
[ "$status" -eq 0 ] || exit 1
echo "$elapsed >= 9.0 && $elapsed < 40" | bc | grep -q 1 || { echo "expected the demo to end just after 9 s"; exit 1; }
