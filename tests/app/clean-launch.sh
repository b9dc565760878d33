#!/bin/bash
# A launch says nothing to standard error that GTK, GDK or GObject would
# only say about a fault of the program: no CRITICAL, no WARNING.
set -u
ondira=$1
work=$(mktemp -d)
trap 'kill $app 2>/dev/null; rm -rf "$work"' EXIT

"$ondira" >"$work/out.log" 2>"$work/err.log" &
app=$!
shown() { grep -c "Showing the dashboard hub.\|Showing setup and permissions" "$work/out.log"; }
for _ in $(seq 1 300); do [ "$(shown)" -ge 1 ] && break; sleep 0.1; done
[ "$(shown)" -ge 1 ] || { echo "no first window after launch"; cat "$work/out.log" "$work/err.log"; exit 1; }
# The first window's page loads and the indicator is realized a moment
# after launch; both are part of it.
for _ in $(seq 1 50); do sleep 0.1; done
kill -TERM $app
wait $app
status=$?
[ "$status" -eq 0 ] || { echo "Ondira ended with $status on SIGTERM"; cat "$work/err.log"; exit 1; }
if grep -E "(Gtk|Gdk|GLib-GObject|GLib)-(CRITICAL|WARNING)" "$work/err.log"; then
    echo "the launch above wrote warnings to standard error"
    exit 1
fi
echo "ok"
