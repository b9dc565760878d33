#!/bin/bash
# A launch says nothing to standard error that GTK, GDK or GObject would
# only say about a fault of the program: no CRITICAL, no WARNING. It runs
# beside a panel with a classic system tray, so the status item is a tray
# icon embedded the way a tray-only desktop embeds it.
set -u
ondira=$1
work=$(mktemp -d)
app="" panel=""
trap 'kill $app $panel 2>/dev/null; rm -rf "$work"' EXIT

command -v tint2 >/dev/null || { echo "tint2 is needed for the tray (scripts/install-deps)"; exit 1; }
tint2 >"$work/panel.log" 2>&1 &
panel=$!
panel_up() { xwininfo -root -tree 2>/dev/null | grep -q '"tint2"'; }
for _ in $(seq 1 200); do panel_up && break; sleep 0.1; done
panel_up || { echo "the panel did not come up"; cat "$work/panel.log"; exit 1; }
# Embedded, the status icon's window is a descendant of the panel's, not a
# child of the root window.
embedded() { xwininfo -root -tree 2>/dev/null | grep -qE '^ {8,}0x[0-9a-f]+ "Ondira — AI Dictation"'; }

"$ondira" >"$work/out.log" 2>"$work/err.log" &
app=$!
shown() { grep -c "Showing the dashboard hub.\|Showing setup and permissions" "$work/out.log"; }
for _ in $(seq 1 300); do [ "$(shown)" -ge 1 ] && break; sleep 0.1; done
[ "$(shown)" -ge 1 ] || { echo "no first window after launch"; cat "$work/out.log" "$work/err.log"; exit 1; }
for _ in $(seq 1 300); do embedded && break; sleep 0.1; done
embedded || { echo "the tray did not embed the status icon"; xwininfo -root -tree; exit 1; }
# The first window's page loads, the indicator is realized and the tray
# settles the icon's size a moment later: all part of the launch.
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
