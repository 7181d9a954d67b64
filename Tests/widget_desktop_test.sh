#!/usr/bin/env bash
# A widget on a desktop with a real window manager (openbox on a virtual X display): it keeps out
# of the taskbar and pager, below other windows, on every workspace; without a compositor it is
# square (nothing can show through), with one its corners are see-through and ignore clicks; one
# copy of it at a time; Return and Space open it; a drag moves it and a restart
# puts it back; the dark style draws it dark; with no handler for its link it says so. It
# stands in the top right corner until dragged; it shows hover, press and keyboard focus; a
# double click opens its link once; its menu removes it with its autostart entry; it follows
# the settings portal's dark mode while it runs.
# Usage: widget_desktop_test.sh HOST FAKE_PORTAL
set -euo pipefail
host=$1
portal=$2
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
export DISPLAY=":$(cat "$work/display")" GDK_BACKEND=x11 XDG_STATE_HOME=$work/state \
  XDG_CONFIG_HOME=$work/config
unset DBUS_SESSION_BUS_ADDRESS
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

start() {  # start [ENV=VALUE ...] [-- ARGS]: the host placing the Capture widget; sets $window
  local envs=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do envs+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  env "${envs[@]}" "$host" place VorelCapture --opener "$work/opener" "$@" >"$work/host.log" 2>&1 &
  host_pid=$!
  pids+=($host_pid)
  window=$(timeout 20 xdotool search --sync --onlyvisible --name '^Capture$' | head -n 1)
  [ -n "$window" ] || fail "the widget did not appear"
}
stop() {  # ends the host, and waits until its window is gone
  kill "$host_pid"
  wait "$host_pid" 2>/dev/null || true
  until_true sh -c "! xwininfo -id $window >/dev/null 2>&1" || fail "the window outlived its host"
}

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
corner() { xwininfo -id "$window" | grep -q "Absolute upper-left X:  $((800 - 24 - 170))\$" &&
  xwininfo -id "$window" | grep -q "Absolute upper-left Y:  24\$"; }
until_true corner || fail "not in the top right corner: $(xwininfo -id "$window" | grep Absolute)"
# Without a compositor nothing shows through (it would be shown black): square corners.
until_true shade 1 1 light || fail "a corner without a compositor drew $(pixel 1 1)"
echo "hints: below, every workspace, out of taskbar and pager, WM_CLASS, 32-bit visual; light;" \
  "in the top right corner; square without a compositor"

# One copy: placing it again brings the one there forward and adds none.
again=$("$host" place VorelCapture --opener "$work/opener" 2>&1) || fail "a second place failed: $again"
[[ "$again" == *"VorelCapture is on the desktop already"* ]] || fail "a second place said: $again"
[ "$(xdotool search --onlyvisible --name '^Capture$' | wc -l)" = 1 ] || fail "two copies on the desktop"
kill -0 "$host_pid" || fail "the first copy ended"
echo "placed again: $again"

# 2. A click (in a square corner too), Return and Space open the link once each.
xdotool mousemove --window "$window" 2 2 click 1
until_true opened 1 || fail "a click in the corner did not open the link"
xdotool mousemove --window "$window" 85 85 click 1
until_true opened 2 || fail "a click did not open the link"
xdotool windowactivate --sync "$window" key Return 2>/dev/null
until_true opened 3 || fail "Return did not open the link"
xdotool key space
until_true opened 4 || fail "Space did not open the link"
[ "$(sort -u "$work/opened")" = "vorel://capture" ] || fail "opened $(cat "$work/opened")"
echo "opened by a click in the corner and in the middle, Return and Space"

# 3. A drag moves it, and a restart puts it back there.
before=$(xwininfo -id "$window" | awk '/Absolute upper-left X/ {x=$4} /Absolute upper-left Y/ {print x, $4}')
xdotool mousemove --window "$window" 85 85 mousedown 1
for _ in $(seq 10); do xdotool mousemove_relative -- -12 7; done
xdotool mouseup 1
file=$work/state/vorel-widgets/VorelCapture.position
read -r bx by <<<"$before"
until_true sh -c "[ -s '$file' ] && [ \"\$(cat '$file')\" = '$((bx - 120)) $((by + 70))' ]" ||
  fail "the drag from $before was not remembered: $(cat "$file" 2>/dev/null)"
opened 5 && fail "the drag opened the link"
stop
start
until_true sh -c "xwininfo -id $window | grep -q 'Absolute upper-left X:  $((bx - 120))\$'" ||
  fail "the restart did not put it back: $(xwininfo -id "$window" | grep Absolute)"
xwininfo -id "$window" | grep -q "Absolute upper-left Y:  $((by + 70))\$" || fail "wrong height"
stop
echo "moved from $before by a drag to $(cat "$file"), and back there after a restart"

# The Record widget placed alone stands in the corner itself.
env "$host" place VorelRecord --opener "$work/opener" >"$work/record.log" 2>&1 &
record_pid=$!
pids+=($record_pid)
record=$(timeout 20 xdotool search --sync --onlyvisible --name '^Record a voice note$' | head -n 1)
[ -n "$record" ] || fail "the Record widget did not appear"
record_corner() { xwininfo -id "$record" | grep -q "Absolute upper-left X:  $((800 - 24 - 170))\$"; }
until_true record_corner || fail "Record alone is not in the corner: $(xwininfo -id "$record" | grep Absolute)"
kill "$record_pid"
wait "$record_pid" 2>/dev/null || true
echo "Record placed alone stands in the top right corner"

# With a compositor, the corners are rounded and see-through, and a click there opens nothing.
xcompmgr >/dev/null 2>&1 &
pids+=($!)
until_true sh -c 'xwininfo -root -tree | grep -q "\"xcompmgr\""' || fail "no compositor"
rm -f "$work/opened"
start
alpha() {  # alpha X Y: the window's own alpha there
  xwd -silent -id "$window" | python3 -c '
import struct, sys
data = sys.stdin.buffer.read()
header = struct.unpack(">25I", data[:100])
size, bpl, ncolors = header[0], header[12], header[19]
x, y = int(sys.argv[1]), int(sys.argv[2])
print(data[size + ncolors * 12 + y * bpl + x * 4 + 3])' "$1" "$2"
}
until_true shade 85 30 light || fail "not drawn with a compositor"
[ "$(alpha 1 1)" = 0 ] || fail "a corner with a compositor has alpha $(alpha 1 1)"
[ "$(alpha 85 85)" = 255 ] || fail "the middle with a compositor has alpha $(alpha 85 85)"
xdotool mousemove --window "$window" 2 2 click 1
xdotool mousemove --window "$window" 85 85 click 1
until_true opened 1 || fail "a click did not open the link"
[ "$(wc -l <"$work/opened")" = 1 ] || fail "a click in a see-through corner opened the link"
stop
pkill -x xcompmgr || true
echo "with a compositor: rounded see-through corners that ignore clicks"

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
until_true grep -q "not opened: Vorel Journal is not installed" "$work/host.log" ||
  fail "no word of the missing handler"
kill -0 "$host_pid" || fail "the host ended"
echo "without a handler: $(grep 'not opened' "$work/host.log")"
stop

# 6. Hover, press and the keyboard's focus are drawn: a veil under the pointer, a deeper one
# while pressed, a ring in the accent colour after Tab; and a double click opens the link once.
rm -f "$work/opened"
start
xdotool mousemove 400 500
until_true shade 85 30 light || fail "not drawn"
plain=$(pixel 85 30)
xdotool mousemove --window "$window" 85 85
hovered() { [ "$(pixel 85 30)" != "$plain" ]; }
until_true hovered || fail "no hover state: $(pixel 85 30)"
hover=$(pixel 85 30)
xdotool mousedown 1
deeper() { read -r r _ _ <<<"$(pixel 85 30)"; read -r h _ _ <<<"$hover"; [ "$r" -lt "$h" ]; }
until_true deeper || fail "no pressed state: $(pixel 85 30) against $hover hovered"
xdotool mouseup 1
until_true opened 1 || fail "the click did not open the link"
xdotool mousemove 400 500
unhovered() { [ "$(pixel 85 30)" = "$plain" ]; }
until_true unhovered || fail "the hover state stayed: $(pixel 85 30)"
ringed() { read -r r g b <<<"$(pixel 85 1)"; [ "$b" -gt $((r + 60)) ]; }
ringed && fail "a focus ring before the keyboard was used"
xdotool windowactivate --sync "$window" key Tab 2>/dev/null
until_true ringed || fail "no focus ring after Tab: $(pixel 85 1)"
echo "states: plain $plain, hovered $hover, a focus ring $(pixel 85 1) after Tab"
# The second press of the double click opens nothing; leaving the widget afterwards is seen
# only once both presses were handled.
xdotool mousemove --window "$window" 85 85 click --repeat 2 --delay 80 1
xdotool mousemove 400 500
until_true opened 2 || fail "the double click did not open the link"
until_true unhovered || fail "the pointer's leaving was not seen"
[ "$(wc -l <"$work/opened")" = 2 ] || fail "a double click opened the link $(($(wc -l <"$work/opened") - 1)) times"
echo "a double click opened the link once"
stop

# 7. --autostart writes an autostart entry; the menu's "Remove from Desktop" ends the widget
# and removes the entry and the remembered place.
entry=$work/config/autostart/vorel-capture-widget.desktop
start -- --autostart
[ -f "$entry" ] || fail "no autostart entry"
grep -qx "Exec=\"$host\" \"place\" \"VorelCapture\" \"--opener\" \"$work/opener\"" "$entry" ||
  fail "the entry runs $(grep Exec "$entry")"
[ -f "$work/state/vorel-widgets/VorelCapture.position" ] || fail "no remembered place to remove"
xdotool mousemove --window "$window" 85 85 click 3
menu_window() {
  menu=$(xdotool search --onlyvisible --classname '^VorelCapture$' | grep -vx "$window" | head -n 1)
  [ -n "$menu" ]
}
until_true menu_window || fail "a right click showed no menu"
eval "$(xdotool getwindowgeometry --shell "$menu")"
xdotool mousemove --window "$menu" $((WIDTH / 2)) $((HEIGHT * 3 / 4)) click 1
for _ in $(seq 200); do kill -0 "$host_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$host_pid" 2>/dev/null && fail "Remove from Desktop left the widget running"
grep -q '^removed$' "$work/host.log" || fail "nothing said of the removal"
[ -e "$entry" ] && fail "the autostart entry is still there"
[ -e "$work/state/vorel-widgets/VorelCapture.position" ] && fail "the remembered place is still there"
echo "the menu removed the widget, its autostart entry and its place"

# 8. Dark mode from the settings portal (a private session bus), followed while it runs.
dbus-daemon --session --nofork --print-address=4 4>"$work/bus" >/dev/null 2>&1 &
pids+=($!)
until_true test -s "$work/bus" || fail "no session bus"
export DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$work/bus")
mkfifo "$work/portal-in"
"$portal" light <"$work/portal-in" >"$work/portal.log" 2>&1 &
pids+=($!)
exec 5>"$work/portal-in"
until_true grep -q ready "$work/portal.log" || fail "the portal did not start: $(cat "$work/portal.log")"
start
until_true shade 85 30 light || fail "the portal's light drew $(pixel 85 30)"
echo dark >&5
until_true shade 85 30 dark || fail "the portal's dark was not followed: $(pixel 85 30)"
echo light >&5
until_true shade 85 30 light || fail "the portal's light was not followed: $(pixel 85 30)"
stop
echo dark >&5
start
until_true shade 85 30 dark || fail "the portal's dark at start drew $(pixel 85 30)"
stop
echo "the portal's color-scheme: light, dark while running, light again, dark at start"
