#!/bin/bash
# One instance per user: a second launch hands over to the first (which
# brings up its hub) and exits 0; the first keeps running until told to stop.
set -u
ondira=$1
work=$(mktemp -d)
trap 'kill $first 2>/dev/null; rm -rf "$work"' EXIT

"$ondira" >"$work/first.log" 2>&1 &
first=$!
hub_shows() { grep -c "Showing the dashboard hub." "$work/first.log"; }
for _ in $(seq 1 200); do [ "$(hub_shows)" -ge 1 ] && break; sleep 0.1; done
[ "$(hub_shows)" -ge 1 ] || { echo "the first instance never showed its hub"; cat "$work/first.log"; exit 1; }

timeout 20 "$ondira" >"$work/second.log" 2>&1
status=$?
cat "$work/second.log"
[ "$status" -eq 0 ] || { echo "the second launch exited with $status"; exit 1; }
grep -q "already running" "$work/second.log" || { echo "the second launch did not hand over"; exit 1; }

for _ in $(seq 1 300); do [ "$(hub_shows)" -ge 2 ] && break; sleep 0.1; done
[ "$(hub_shows)" -ge 2 ] || { echo "the first instance did not bring up its hub again"; cat "$work/first.log"; exit 1; }
xwininfo -root -tree | grep -q '"Ondira": ("' || { echo "no hub window on screen"; exit 1; }
kill -0 $first || { echo "the first instance is gone"; exit 1; }

kill -TERM $first
wait $first
status=$?
[ "$status" -eq 0 ] || { echo "the first instance ended with $status on SIGTERM"; exit 1; }
grep -q "Quitting." "$work/first.log" || { echo "termination steps did not run"; exit 1; }
echo "ok"
