#!/usr/bin/env bash
# vorel-speech-client in a real terminal (tmux, 80 columns): the progress bar and the in-place
# volatile line must render cleanly. Usage: client_terminal_test.sh CLIENT
set -euo pipefail
client=$1
work=$(mktemp -d)
session="vorel-client-$$"
export TMUX_TMPDIR=$work
cleanup() { tmux kill-server 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
librivox=/usr/share/pocketsphinx/test/data/librivox
sox -D $(sed "s|^|$librivox/|;s|$|.wav|" "$librivox/fileids") "$work/long.wav"

fail() { echo "FAILED: $1"; echo "--- screen:"; cat "$2"; exit 1; }

# Runs a command in an 80-column terminal, capturing the screen every 0.1 s until it is done.
watch() {
  local name=$1; shift
  tmux new-session -d -s "$session-$name" -x 80 -y 24 "$* ; echo __DONE__; sleep 60"
  local n=0
  while :; do
    n=$((n + 1))
    tmux capture-pane -p -t "$session-$name" >"$work/$name.$n"
    grep -q __DONE__ "$work/$name.$n" && break
    [ $n -gt 600 ] && fail "$name did not finish" "$work/$name.$n"
    sleep 0.1
  done
  echo "$n"
}

# 1. The progress bar while transcribing: one line, within 80 columns, then gone.
last=$(watch transcribe "$client" transcribe "$work/long.wav")
bars=0
for shot in "$work"/transcribe.*; do
  while IFS= read -r line; do
    case "$line" in
      Transcribing*)
        bars=$((bars + 1))
        [ ${#line} -le 80 ] || fail "the bar is wider than 80 columns" "$shot"
        [[ "$line" =~ ^Transcribing\ long\.wav\ \[[#.]+\]\ +[0-9]+%\ \ [0-9]+:[0-9]{2}\ /\ [0-9]+:[0-9]{2}$ ]] ||
          fail "the bar is garbled: '$line'" "$shot"
        ;;
    esac
  done <"$shot"
  [ "$(grep -c '^Transcribing' "$shot")" -le 1 ] || fail "more than one bar on screen" "$shot"
done
[ $bars -gt 0 ] || fail "no progress bar was seen" "$work/transcribe.$last"
grep -q '^Transcribing' "$work/transcribe.$last" && fail "the bar stayed after the end" "$work/transcribe.$last"
grep -qE '^\[00:00:[0-9]{2}\.[0-9]{3} --> ' "$work/transcribe.$last" || fail "no timestamped text" "$work/transcribe.$last"
echo "progress bar: seen in $bars screens, always one clean line"

# 2. Dictation at the pace of speech: the volatile text stays on one line that is replaced.
last=$(watch dictate "$client" dictate --realtime "$librivox/sense_and_sensibility_01_austen_64kb-0870.wav")
volatiles=0
for shot in "$work"/dictate.*; do
  # Lines that are neither segments nor the end marker: at most one, the volatile line.
  others=$(grep -vE '^\[[0-9:.]+ --> |^__DONE__$|^$' "$shot" || true)
  count=$(printf '%s' "$others" | grep -c . || true)
  [ "$count" -le 1 ] || fail "volatile text piled up instead of updating in place" "$shot"
  if [ "$count" = 1 ]; then
    volatiles=$((volatiles + 1))
    [ ${#others} -le 80 ] || fail "the volatile line is wider than 80 columns" "$shot"
  fi
done
[ $volatiles -gt 0 ] || fail "no volatile text was seen" "$work/dictate.$last"
grep -qE '^\[00:00:0[0-9]\.[0-9]{3} --> .*leisure' "$work/dictate.$last" || fail "no settled segment" "$work/dictate.$last"
echo "volatile line: seen in $volatiles screens, always one line, replaced by the segment"

# Runs a command in a terminal, presses Ctrl-C once its screen shows PATTERN, and leaves the
# last screen, with the exit status, in $work/NAME. Usage: interrupt NAME PATTERN COMMAND...
interrupt() {
  local name=$1 pattern=$2; shift 2
  tmux new-session -d -s "$session-$name" -x 80 -y 24 "$*; echo status=\$?; echo __DONE__; sleep 60"
  for n in $(seq 300); do
    tmux capture-pane -p -t "$session-$name" >"$work/$name"
    grep -qE "$pattern" "$work/$name" && break
    [ "$n" -lt 300 ] || fail "nothing like '$pattern' within 30 s" "$work/$name"
    sleep 0.1
  done
  tmux send-keys -t "$session-$name" C-c
  for _ in $(seq 200); do
    tmux capture-pane -p -t "$session-$name" >"$work/$name"
    grep -q __DONE__ "$work/$name" && break
    sleep 0.1
  done
}

# 3. Ctrl-C in the middle of a sentence ends the audio; what was said still arrives, and the
# status is 130. Ctrl-C once the first words have settled, while more are being said.
interrupt dictation '^\[00:00:[0-9]{2}\.[0-9]{3} --> ' "$client" dictate --realtime "$work/long.wav"
grep -q '^status=130$' "$work/dictation" || fail "Ctrl-C did not end the dictation with 130" "$work/dictation"
grep -qE '^\[00:00:0[0-9]\.[0-9]{3} --> ' "$work/dictation" || fail "the words before Ctrl-C were lost" "$work/dictation"
echo "Ctrl-C: the dictation ended cleanly with its last segment"

# 4. Ctrl-C at a terminal during a transcription: the helper stops, the bar is cleared, 130.
interrupt transcription ' --> ' "$client" transcribe --format srt "$work/long.wav"
grep -q '^status=130$' "$work/transcription" || fail "Ctrl-C did not stop the transcription with 130" "$work/transcription"
grep -q '^Transcribing' "$work/transcription" && fail "the progress bar stayed after Ctrl-C" "$work/transcription"
grep -q 'what was transcribed so far is kept' "$work/transcription" || fail "no word on what was kept" "$work/transcription"
echo "Ctrl-C: the transcription stopped with 130, the bar cleared"

# 5. dictate - with the keyboard on standard input does not take keystrokes for audio.
last=$(watch keyboard "$client" dictate -)
grep -q 'standard input is a terminal' "$work/keyboard.$last" || fail "the keyboard was read as audio" "$work/keyboard.$last"
echo "dictate -: a terminal on standard input is refused"
