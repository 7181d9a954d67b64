#!/usr/bin/env bash
# A widget on a desktop with a real window manager (openbox on a virtual X display): it keeps out
# of the taskbar and pager, below other windows, on every workspace; its corners are see-through
# (a 32-bit visual) and ignore clicks; Return and Space open it; a drag moves it and a restart
# puts it back; the dark style draws it dark; with no handler for its link it says so.
# Usage: widget_desktop_test.sh HOST
set -euo pipefail
host=$1
work=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"; }
trap cleanup EXIT
fail() { echo "FAILED: $1"; cat "$work/host.log" 2>/dev/null || true; exit 1; }
# Waits up to 20 s for a condition (a command), never a fixed while.
until_true() { for _ in $(seq 200); do "$@" && return 0; sleep 0.1; done; return 1; }

exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
until_true test -s "$work/display" || fail "no X display"
export DISPLAY=":$(cat "$work/display")" GDK_BACKEND=x11 XDG_STATE_HOME=$work/state
openbox >"$work/openbox.log" 2>&1 &
pids+=($!)
until_true xprop -root _NET_SUPPORTING_WM_CHECK >/dev/null 2>&1 || fail "no window manager"
until_true sh -c 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q window' || fail "no window manager"

printf '#!/bin/sh\necho "$1" >> %s/opened\n' "$work" >"$work/opener"
chmod +x "$work/opener"
opened() { [ "$(wc -l <"$work/opened" 2>/dev/null || echo 0)" -ge "$1" ]; }
pixel() {  # pixel X Y: the window's colour there, as R G B
  xwd -silent -id "$window" | python3 -c '
import struct, sys
data = sys.stdin.buffer.read()
header = struct.unpack(">25I", data[:100])
size, width, bpl, ncolors = header[0], header[20], header[12], header[19]
x, y = int(sys.argv[1]), int(sys.argv[2])
at = size + ncolors * 12 + y * bpl + x * 4
b, g, r = data[at], data[at + 1], data[at + 2]
print(r, g, b)' "$1" "$2"
}
# shade X Y dark|light: whether the window is drawn dark or light there.
shade() {
  read -r r g b <<<"$(pixel "$1" "$2")"
  if [ "$3" = dark ]; then [ "$r" -lt 96 ] && [ "$g" -lt 96 ] && [ "$b" -lt 96 ]
  else [ "$r" -gt 192 ] && [ "$g" -gt 192 ] && [ "$b" -gt 192 ]; fi
}

start() {  # start [ENV=VALUE ...] -- ARGS: the host placing the Capture widget; sets $window
  env "$@" "$host" place VorelCapture --opener "$work/opener" >"$work/host.log" 2>&1 &
  host_pid=$!
  pids+=($host_pid)
  window=$(timeout 20 xdotool search --sync --onlyvisible --name '^Capture$' | head -n 1)
  [ -n "$window" ] || fail "the widget did not appear"
}
stop() { kill "$host_pid"; wait "$host_pid" 2>/dev/null || true; }

# 1. Hints, once the window manager has taken the window on.
start
until_true sh -c "xprop -id $window _NET_WM_STATE | grep -q _NET_WM_STATE_BELOW" ||
  fail "not kept below: $(xprop -id "$window" _NET_WM_STATE)"
state=$(xprop -id "$window" _NET_WM_STATE)
for hint in SKIP_TASKBAR SKIP_PAGER BELOW; do
  [[ "$state" == *"_NET_WM_STATE_$hint"* ]] || fail "no $hint in $state"
done
until_true sh -c "xprop -id $window _NET_WM_DESKTOP | grep -q 4294967295" ||
  fail "not on every workspace: $(xprop -id "$window" _NET_WM_DESKTOP)"
[ "$(xprop -id "$window" WM_CLASS)" = 'WM_CLASS(STRING) = "VorelCapture", "VorelWidgets"' ] ||
  fail "WM_CLASS is $(xprop -id "$window" WM_CLASS)"
xwininfo -id "$window" | grep -q 'Depth: 32' || fail "no see-through (32-bit) visual"
until_true shade 85 30 light || fail "the light style drew $(pixel 85 30)"
echo "hints: below, every workspace, out of taskbar and pager, WM_CLASS, 32-bit visual; light"

# 2. A click on a corner opens nothing; one in the middle, Return and Space open the link once each.
xdotool mousemove --window "$window" 2 2 click 1
xdotool mousemove --window "$window" 85 85 click 1
until_true opened 1 || fail "a click did not open the link"
xdotool windowactivate --sync "$window" key Return 2>/dev/null
until_true opened 2 || fail "Return did not open the link"
xdotool key space
until_true opened 3 || fail "Space did not open the link"
[ "$(sort -u "$work/opened")" = "vorel://capture" ] || fail "opened $(cat "$work/opened")"
echo "opened by a click in the middle (not the corner), Return and Space"

# 3. A drag moves it, and a restart puts it back there.
before=$(xwininfo -id "$window" | awk '/Absolute upper-left X/ {x=$4} /Absolute upper-left Y/ {print x, $4}')
xdotool mousemove --window "$window" 85 85 mousedown 1
for _ in $(seq 10); do xdotool mousemove_relative -- 12 7; done
xdotool mouseup 1
file=$work/state/vorel-widgets/VorelCapture.position
read -r bx by <<<"$before"
until_true sh -c "[ -s '$file' ] && [ \"\$(cat '$file')\" = '$((bx + 120)) $((by + 70))' ]" ||
  fail "the drag from $before was not remembered: $(cat "$file" 2>/dev/null)"
opened 4 && fail "the drag opened the link"
stop
start
until_true sh -c "xwininfo -id $window | grep -q 'Absolute upper-left X:  $((bx + 120))\$'" ||
  fail "the restart did not put it back: $(xwininfo -id "$window" | grep Absolute)"
xwininfo -id "$window" | grep -q "Absolute upper-left Y:  $((by + 70))\$" || fail "wrong height"
stop
echo "moved from $before by a drag to $(cat "$file"), and back there after a restart"

# 4. The dark style: a dark background behind light words.
start GTK_THEME=Adwaita:dark
until_true shade 85 30 dark || fail "the dark style drew $(pixel 85 30)"
echo "dark style: background $(pixel 85 30)"
stop

# 5. No handler for vorel: links: the widget says so instead of failing silently.
env XDG_DATA_HOME="$work/none" XDG_DATA_DIRS="$work/none" "$host" place VorelCapture \
  >"$work/host.log" 2>&1 &
host_pid=$!
pids+=($host_pid)
window=$(timeout 20 xdotool search --sync --onlyvisible --name '^Capture$' | head -n 1)
xdotool mousemove --window "$window" 85 85 click 1
until_true grep -q "not opened: No app opens vorel: links" "$work/host.log" || fail "no word of the missing handler"
kill -0 "$host_pid" || fail "the host ended"
echo "without a handler: $(grep 'not opened' "$work/host.log")"
