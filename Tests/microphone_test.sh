#!/usr/bin/env bash
# vorel-speech-client dictate with no file listens to the default microphone: here a PulseAudio
# daemon of the test's own whose default source is a pipe fed with a reading. Ctrl-C ends the
# dictation after the segment arrived, with status 130 (the status of every Ctrl-C). Without a sound server, one clear line.
# Usage: microphone_test.sh CLIENT
set -euo pipefail
client=$1
work=$(mktemp -d)
daemon=""
feeder=""
cleanup() {
  [ -n "$feeder" ] && kill "$feeder" 2>/dev/null || true
  [ -n "$daemon" ] && kill "$daemon" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAILED: $1"; for f in "$work"/out "$work"/err "$work"/daemon.log; do [ -f "$f" ] && { echo "--- $f"; tr '\r' '\n' <"$f" | tail -20; }; done; exit 1; }

# 1. No sound server: one line that says so, status 1.
set +e
PULSE_SERVER=unix:$work/nothing-here "$client" dictate >"$work/out" 2>"$work/err"
status=$?
set -e
[ $status = 1 ] || fail "status $status without a sound server"
[ "$(wc -l <"$work/err")" = 1 ] && grep -q "no microphone to listen to" "$work/err" ||
  fail "no clear line without a sound server"

# 2. A microphone that hears a reading.
reading=/usr/share/pocketsphinx/test/data/librivox/sense_and_sensibility_01_austen_64kb-0880.wav
sox -D "$reading" -r 48000 -c 1 -b 16 -e signed-integer -t raw "$work/speech.raw"
sox -n -r 48000 -c 1 -b 16 -e signed-integer -t raw "$work/silence.raw" trim 0 0.5
export HOME=$work/home PULSE_RUNTIME_PATH=$work/run PULSE_SERVER=unix:$work/native
mkdir -p "$HOME" "$PULSE_RUNTIME_PATH"
pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no --disable-shm=yes \
  -L "module-native-protocol-unix socket=$work/native auth-anonymous=1" \
  -L "module-pipe-source source_name=microphone file=$work/fifo format=s16le rate=48000 channels=1" \
  -L "module-null-sink" >"$work/daemon.log" 2>&1 &
daemon=$!
for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
pactl info >/dev/null 2>&1 || fail "the sound server did not start"
[ -p "$work/fifo" ] || fail "the microphone's pipe is missing"
# The source hears silence, the reading, then half a second of silence every half second until
# the test ends.
(
  exec 3>"$work/fifo"
  cat "$work/silence.raw" "$work/speech.raw" >&3
  while :; do cat "$work/silence.raw" >&3; sleep 0.5; done
) &
feeder=$!

"$client" dictate >"$work/out" 2>"$work/err" &
client_pid=$!
for _ in $(seq 600); do grep -q "young man" "$work/out" && break; sleep 0.1; done
grep -q "young man" "$work/out" || { kill "$client_pid"; fail "the reading was not heard"; }
kill -INT "$client_pid"
for _ in $(seq 300); do kill -0 "$client_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$client_pid" 2>/dev/null && { kill -9 "$client_pid"; fail "Ctrl-C did not end the dictation"; }
set +e
wait "$client_pid"
status=$?
set -e
[ $status = 130 ] || fail "status $status after Ctrl-C"
grep -qE '^\[00:00:[0-9]{2}\.[0-9]{3} --> 00:00:[0-9]{2}\.[0-9]{3}\]  .*young man' "$work/out" ||
  fail "no timestamped segment"
echo "microphone: heard '$(grep "young man" "$work/out")', Ctrl-C ended with status 130"
