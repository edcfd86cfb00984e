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

. "$root_dir/scripts/screenshot_lib.sh"
start_openbox "$XDG_RUNTIME_DIR"

QT_QPA_PLATFORM=xcb "$program" &
pids="$pids $!"

# Give the program and the window manager a moment to paint after mapping.
shoot_window "$title" "$output" 1
