#!/bin/sh
# Pictures the window as a window manager frames it, for the documentation.
# Usage: app/qt/screenshot.sh [path/to/kivo-dbupdate] [output.png]
# Needs xvfb-run, openbox, x11-utils (xwininfo, xprop) and imagemagick (import).
set -eu

root_dir=$(cd "$(dirname "$0")/../.." && pwd)
program=${1:-$root_dir/build/app/qt/kivo-dbupdate}
output=${2:-$root_dir/docs/window.png}
title=KIVO_DBUpdate_May_07_2018

if [ -z "${KIVO_SCREENSHOT_DISPLAY:-}" ]; then
  [ -x "$program" ] || { echo "no program at $program" >&2; exit 1; }
  KIVO_SCREENSHOT_DISPLAY=1 exec xvfb-run -a -s "-screen 0 800x600x24" "$0" "$program" "$output"
fi

# From here on inside the virtual display.
XDG_RUNTIME_DIR=$(mktemp -d)
export XDG_RUNTIME_DIR
pids=""
cleanup() {
  for pid in $pids; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$XDG_RUNTIME_DIR"
}
trap cleanup EXIT

# Each wait below polls ten times a second for at most ten seconds.
wait_for() {
  tries=0
  until "$@"; do
    tries=$((tries + 1))
    if [ "$tries" -ge 100 ]; then
      echo "gave up waiting for: $*" >&2
      return 1
    fi
    sleep 0.1
  done
}

root_id=$(xwininfo -root | awk '/Window id:/ {print $4}')

window_manager_running() { xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; }
# Openbox draws minimise and maximise buttons even for windows whose Motif hints leave them
# out (it says so in its source), so show the frame the window asks for: icon, caption, close.
config="$XDG_RUNTIME_DIR/rc.xml"
sed 's|<titleLayout>.*</titleLayout>|<titleLayout>NLC</titleLayout>|' /etc/xdg/openbox/rc.xml >"$config"
openbox --config-file "$config" >/dev/null 2>&1 &
pids="$pids $!"
wait_for window_manager_running

QT_QPA_PLATFORM=xcb "$program" &
pids="$pids $!"

client=""
parent_of() { xwininfo -children -id "$1" | awk '/Parent window id:/ {print $4}'; }
framed_and_viewable() {
  client=$(xwininfo -root -tree | awk -v t="\"$title\"" 'index($0, t) {print $1; exit}')
  [ -n "$client" ] || return 1
  xwininfo -id "$client" | grep -q 'Map State: IsViewable' || return 1
  [ "$(parent_of "$client")" != "$root_id" ]
}
wait_for framed_and_viewable

# The outermost window below the root is the frame with its title bar.
frame=$client
while [ "$(parent_of "$frame")" != "$root_id" ]; do frame=$(parent_of "$frame"); done

# Give the program and the window manager a moment to paint after mapping.
sleep 1

geometry=$(xwininfo -id "$frame" | awk '
  /Absolute upper-left X:/ {x = $4} /Absolute upper-left Y:/ {y = $4}
  /Width:/ {w = $2} /Height:/ {h = $2}
  END {printf "%dx%d+%d+%d", w, h, x, y}')
mkdir -p "$(dirname "$output")"
import -window root -crop "$geometry" +repage "$output"
echo "wrote $output ($geometry)"
