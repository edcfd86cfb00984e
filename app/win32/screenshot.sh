#!/bin/sh
# Pictures the Windows window under Wine as a window manager frames it, for the documentation.
# Usage: app/win32/screenshot.sh [path/to/kivo-dbupdate.exe] [output.png]
# Needs wine, xvfb-run, openbox, x11-utils (xwininfo, xprop) and imagemagick (import). Uses
# the Wine prefix build/wine (WINEPREFIX overrides it), made on first use.
set -eu

root_dir=$(cd "$(dirname "$0")/../.." && pwd)
program=${1:-$root_dir/build-windows/app/win32/kivo-dbupdate.exe}
output=${2:-$root_dir/docs/window-win32.png}
title=KIVO_DBUpdate_May_07_2018

if [ -z "${KIVO_SCREENSHOT_DISPLAY:-}" ]; then
  [ -f "$program" ] || { echo "no program at $program (scripts/windows_build.sh)" >&2; exit 1; }
  KIVO_SCREENSHOT_DISPLAY=1 exec xvfb-run -a -s "-screen 0 800x600x24" "$0" "$program" "$output"
fi

# From here on inside the virtual display.
export WINEPREFIX="${WINEPREFIX:-$root_dir/build/wine}" WINEDEBUG=-all
export WINEDLLOVERRIDES=mscoree,mshtml=
work=$(mktemp -d)
pids=""
cleanup() {
  for pid in $pids; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
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
# Openbox draws minimise and maximise buttons even for windows that have none, so show the
# frame the window asks for: icon, caption, close.
sed 's|<titleLayout>.*</titleLayout>|<titleLayout>NLC</titleLayout>|' /etc/xdg/openbox/rc.xml \
  >"$work/rc.xml"
openbox --config-file "$work/rc.xml" >"$work/openbox.log" 2>&1 &
pids="$pids $!"
wait_for window_manager_running || { cat "$work/openbox.log" >&2; exit 1; }

mkdir -p "$WINEPREFIX"
timeout 300 wineboot --init >/dev/null 2>&1
timeout -k 5 60 wine "$program" >/dev/null 2>&1 &
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

frame=$client
while [ "$(parent_of "$frame")" != "$root_id" ]; do frame=$(parent_of "$frame"); done

# Give the program and the window manager a moment to paint after mapping.
sleep 2

geometry=$(xwininfo -id "$frame" | awk '
  /Absolute upper-left X:/ {x = $4} /Absolute upper-left Y:/ {y = $4}
  /Width:/ {w = $2} /Height:/ {h = $2}
  END {printf "%dx%d+%d+%d", w, h, x, y}')
mkdir -p "$(dirname "$output")"
import -window root -crop "$geometry" +repage "$output"
echo "wrote $output ($geometry)"
