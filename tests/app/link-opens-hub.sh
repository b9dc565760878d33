#!/bin/bash
# An ondira:// link opened through the desktop: the installed desktop entry
# starts Ondira, which shows its hub; a second link brings the running
# instance's hub forward instead of starting another.
set -u
build=$1
work=$(mktemp -d)
pid=""
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 || { cat "$work/install.log"; exit 1; }
export XDG_DATA_DIRS="$prefix/share:${XDG_DATA_DIRS:-/usr/local/share:/usr/share}"
handler=$(gio mime x-scheme-handler/ondira 2>&1)
echo "$handler" | grep -q "com.ondira.app.desktop" || { echo "ondira:// has no handler: $handler"; exit 1; }

hub_shows() { grep -c "Showing the dashboard hub." "$work/app.log" 2>/dev/null; }
gio open "ondira://hub" >"$work/app.log" 2>&1 || { echo "gio could not open the link"; cat "$work/app.log"; exit 1; }
for _ in $(seq 1 300); do [ "$(hub_shows)" -ge 1 ] && break; sleep 0.1; done
[ "$(hub_shows)" -ge 1 ] || { echo "the link did not start Ondira with its hub"; cat "$work/app.log"; exit 1; }

# The instance the link started: the process of the hub window.
window=$(xwininfo -root -tree | grep '"Ondira": ("' | head -1 | awk '{print $1}')
[ -n "$window" ] || { echo "no hub window on screen"; xwininfo -root -tree | grep -i ondira; exit 1; }
pid=$(xprop -id "$window" _NET_WM_PID | awk '{print $3}')
[ -n "$pid" ] && kill -0 "$pid" || { echo "no process behind the hub window"; exit 1; }
exe=$(readlink "/proc/$pid/exe")
[ "$exe" = "$prefix/bin/ondira" ] || { echo "the link started $exe, not the installed program"; exit 1; }

gio open "ondira://hub" >"$work/second.log" 2>&1
for _ in $(seq 1 300); do [ "$(hub_shows)" -ge 2 ] && break; sleep 0.1; done
[ "$(hub_shows)" -ge 2 ] || { echo "the running instance did not bring up its hub"; cat "$work/app.log" "$work/second.log"; exit 1; }
grep -q "already running" "$work/second.log" || { echo "the second link did not hand over"; cat "$work/second.log"; exit 1; }
kill -0 "$pid" || { echo "the first instance is gone"; exit 1; }

kill -TERM "$pid"
for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$pid" 2>/dev/null && { echo "Ondira did not end on SIGTERM"; exit 1; }
pid=""
echo "ok"
