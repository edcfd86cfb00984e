# Shared by the two windows' screenshot scripts, sourced inside their virtual display.
# The caller keeps the ids of what it starts in $pids and kills them on its way out.

# Each wait polls ten times a second for at most ten seconds.
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

window_manager_running() { xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; }

# Openbox draws minimise and maximise buttons even for windows whose Motif hints leave them
# out (it says so in its source), so show the frame the window asks for: icon, caption, close.
# Usage: start_openbox WORKDIR
start_openbox() {
  sed 's|<titleLayout>.*</titleLayout>|<titleLayout>NLC</titleLayout>|' /etc/xdg/openbox/rc.xml \
    >"$1/rc.xml"
  openbox --config-file "$1/rc.xml" >"$1/openbox.log" 2>&1 &
  pids="$pids $!"
  wait_for window_manager_running || { cat "$1/openbox.log" >&2; return 1; }
}

# Waits for the window titled TITLE to be framed and shown, lets it paint for SETTLE seconds,
# and writes the frame with its title bar to OUTPUT.
# Usage: shoot_window TITLE OUTPUT SETTLE
shoot_window() {
  root_id=$(xwininfo -root | awk '/Window id:/ {print $4}')
  shot_title=$1
  client=""
  wait_for framed_and_viewable
  # The outermost window below the root is the frame with its title bar.
  frame=$client
  while [ "$(parent_of "$frame")" != "$root_id" ]; do frame=$(parent_of "$frame"); done
  sleep "$3"
  geometry=$(xwininfo -id "$frame" | awk '
    /Absolute upper-left X:/ {x = $4} /Absolute upper-left Y:/ {y = $4}
    /Width:/ {w = $2} /Height:/ {h = $2}
    END {printf "%dx%d+%d+%d", w, h, x, y}')
  mkdir -p "$(dirname "$2")"
  import -window root -crop "$geometry" +repage "$2"
  echo "wrote $2 ($geometry)"
}

parent_of() { xwininfo -children -id "$1" | awk '/Parent window id:/ {print $4}'; }
framed_and_viewable() {
  client=$(xwininfo -root -tree | awk -v t="\"$shot_title\"" 'index($0, t) {print $1; exit}')
  [ -n "$client" ] || return 1
  xwininfo -id "$client" | grep -q 'Map State: IsViewable' || return 1
  [ "$(parent_of "$client")" != "$root_id" ]
}
