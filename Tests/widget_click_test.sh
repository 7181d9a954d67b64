#!/usr/bin/env bash
# Places a widget on a real (virtual) X display, clicks it with a synthetic click, and checks
# that its link was opened. Usage: widget_click_test.sh HOST KIND "DISPLAY NAME" LINK
set -euo pipefail
host=$1 kind=$2 name=$3 link=$4
work=$(mktemp -d)
cleanup() { kill "${host_pid:-}" "${xvfb_pid:-}" 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT

exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(cat "$work/display")" GDK_BACKEND=x11

printf '#!/bin/sh\nprintf "%%s" "$1" > %s/opened\n' "$work" >"$work/opener"
chmod +x "$work/opener"
"$host" place "$kind" --opener "$work/opener" >"$work/host.log" 2>&1 &
host_pid=$!

# Waits until the window is mapped (visible), not for a fixed while.
window=$(timeout 20 xdotool search --sync --onlyvisible --name "^$name\$" | head -n 1)
xdotool mousemove --window "$window" 85 85 click 1
for _ in $(seq 100); do [ -s "$work/opened" ] && break; sleep 0.1; done
opened=$(cat "$work/opened" 2>/dev/null || true)
if [ "$opened" != "$link" ]; then
  echo "FAILED: clicking $kind opened '$opened', expected '$link'"; cat "$work/host.log"; exit 1
fi
echo "clicking $kind opened $opened"
