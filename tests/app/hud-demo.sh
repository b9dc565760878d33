#!/bin/bash
# The indicator demonstration: the pill is on screen while it runs, and the
# process ends by itself with status 0 just after 9 s.
set -u
ondira=$1
start=$(date +%s.%N)
"$ondira" --hud-demo >/dev/null 2>&1 &
pid=$!
# Look for the pill while the demonstration runs, however long a loaded
# machine takes to map it.
seen=no
while kill -0 $pid 2>/dev/null; do
    if xwininfo -root -tree 2>/dev/null | grep -q '"Ondira Indicator"'; then seen=yes; break; fi
    sleep 0.2
done
wait $pid
status=$?
elapsed=$(echo "$(date +%s.%N) - $start" | bc)
echo "exit status $status after ${elapsed}s"
[ "$seen" = yes ] || { echo "the indicator window was never on screen while the demo ran"; exit 1; }
[ "$status" -eq 0 ] || exit 1
echo "$elapsed >= 9.0 && $elapsed < 40" | bc | grep -q 1 || { echo "expected the demo to end just after 9 s"; exit 1; }
