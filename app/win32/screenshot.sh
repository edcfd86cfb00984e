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

. "$root_dir/scripts/screenshot_lib.sh"
start_openbox "$work"

mkdir -p "$WINEPREFIX"
timeout 300 wineboot --init >/dev/null 2>&1
timeout -k 5 60 wine "$program" >/dev/null 2>&1 &
pids="$pids $!"

# Wine paints a little later than a native program.
shoot_window "$title" "$output" 2
