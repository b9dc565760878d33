#!/bin/sh
# The one run of the built-in self-test under ctest, exactly as a user starts
# it, with its isolation checked end to end: afterwards the isolated state
# directory it announced is gone, and the Ondira files of the real HOME are
# byte for byte what they were.
set -u
ondira=$1
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
    echo "selftest-run: the self-test changed Ondira's files in the real HOME"; exit 1
fi
exit "$status"
