#!/bin/sh
# `Ondira --mic-check` inside the test session: SILENCE while nothing plays,
# audio arriving while speech plays into the sink whose monitor is the input.
# Holds the session's sound lock so no other test plays meanwhile.
set -eu
ondira=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
exec 9>"${XDG_RUNTIME_DIR:-/tmp}/ondira-sound.lock"
flock 9

silent=$("$ondira" --mic-check)
echo "$silent"
echo "$silent" | grep -q '^VERDICT: SILENCE' || { echo "expected SILENCE with nothing playing"; exit 1; }
echo "$silent" | grep -q '^default input device  : ' || { echo "missing the input device line"; exit 1; }

# Without a sound server there is no microphone to grant: the check says so
# and reports the refused start instead of a verdict.
denied=$(PULSE_SERVER=unix:/nonexistent/ondira-no-server "$ondira" --mic-check)
echo "$denied"
echo "$denied" | grep -q 'DENIED' || { echo "expected the DENIED status without a server"; exit 1; }
# The refusal names the stopped server, not a missing permission.
echo "$denied" | grep -q '^startRecording threw  : Sound server not running' || { echo "expected the refused start to name the stopped server"; exit 1; }
if echo "$denied" | grep -q VERDICT; then echo "no verdict without a recording"; exit 1; fi

flite -voice kal16 -t "the quick brown fox jumped over the lazy dog and then it ran away into the woods" -o "$work/speech.wav"
paplay "$work/speech.wav" &
player=$!
sleep 0.3
loud=$("$ondira" --mic-check)
wait $player || true
echo "$loud"
echo "$loud" | grep -q '^VERDICT: audio IS arriving' || { echo "expected audio while speech plays"; exit 1; }
