#!/bin/sh
# The one run of the built-in self-test under ctest, exactly as a user starts
# it, with its isolation checked end to end: afterwards the isolated state
# directory it announced is gone, and the Ondira files of its HOME are byte
# for byte what they were.
set -u
ondira=$1
# A HOME of its own: other tests of the session write to the shared one while
# this runs, and a change of theirs would read as the self-test's. It holds
# a settings file and a config.json of a user's, so a write over either shows.
home=$(mktemp -d "${TMPDIR:-/tmp}/ondira-selftest-home.XXXXXX")
trap 'rm -rf "$home"' EXIT
export HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_DATA_HOME="$home/.local/share" XDG_CACHE_HOME="$home/.cache"
mkdir -p "$XDG_CONFIG_HOME/Ondira" "$XDG_DATA_HOME/Ondira"
printf '{}\n' >"$XDG_CONFIG_HOME/Ondira/com.ondira.app.json"
printf '{"hotkey":"fn"}\n' >"$XDG_DATA_HOME/Ondira/config.json"
snapshot() {
    for d in "${XDG_CONFIG_HOME:-$HOME/.config}/Ondira" "${XDG_DATA_HOME:-$HOME/.local/share}/Ondira"; do
        [ -d "$d" ] && find "$d" -type f -exec sha256sum {} + 2>/dev/null
    done | sort
}
before=$(snapshot)
out=$(mktemp)
"$ondira" --self-test >"$out" 2>&1
status=$?
cat "$out"
dir=$(sed -n 's/^\[SelfTest\] isolated state dir: //p' "$out" | head -n 1)
rm -f "$out"
if [ -z "$dir" ]; then
    echo "selftest-run: the run did not announce its isolated state directory"; exit 1
fi
if [ -e "$dir" ]; then
    echo "selftest-run: the isolated state directory is still there: $dir"; exit 1
fi
if [ "$(snapshot)" != "$before" ]; then
    echo "selftest-run: the self-test changed Ondira's files in its HOME"; exit 1
fi
exit "$status"
