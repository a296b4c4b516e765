# Shared by the tests that drive real windows on X. The sourcing script sets $work (its logs,
# *.out and *.log) and $shots, and keeps the process ids of what it starts in the array pids.

fail() {
  echo "FAIL: $*" >&2
  for id in $(xdotool search --onlyvisible --name . 2>/dev/null); do
    echo "  window $id: $(xdotool getwindowname "$id")" >&2
  done
  tail -n 20 "$work"/*.out "$work"/*.log >&2 2>/dev/null
  exit 1
}

# poll SECONDS COMMAND...: whether COMMAND succeeds within SECONDS, tried every 0.1 s.
poll() {
  local tries=$(($1 * 10))
  shift
  for ((; tries > 0; tries--)); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

# start_display [NAME]: a display of our own in DISPLAY; the server's process id in $display_pid.
start_display() {
  local number="$work/display${1:-}"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$number" 2>"$work/xvfb${1:-}.out" &
  display_pid=$!
  pids+=($display_pid)
  poll 10 test -s "$number" || fail "Xvfb did not start"
  export DISPLAY=:$(cat "$number")
}

# window PATTERN [SECONDS]: the id of the newest visible window whose title matches the
# extended regular expression, within 10 s unless told.
window() { poll "${2:-10}" newest_window "$1"; }
newest_window() { xdotool search --onlyvisible --name "$1" 2>/dev/null | tail -1 | grep .; }

# gone ID: waits until the window is closed or hidden, that is no longer among the visible ones.
gone() { poll 10 hidden "$1"; }
hidden() { ! xdotool search --onlyvisible --name . 2>/dev/null | grep -qx "$1"; }

# start_device NAME ADDRESS [OPTIONS...]: ulx-device-sim ($sim) on ADDRESS, logging to
# $work/device-NAME.log, once it listens; its process id in $device. The device started
# before is stopped first, so that its ports are free again.
start_device() {
  local log="$work/device-$1.log"
  kill "${device:-}" 2>/dev/null && wait "$device" 2>/dev/null || true
  "$sim" --address "$2" --log "$log" "${@:3}" &
  device=$!
  pids+=($device)
  poll 5 grep -qs '"ready"' "$log" || fail "the device did not start"
}

# program_ended [CODE]: waits up to 20 s for $program to end with CODE (0).
program_ended() {
  local rc=0
  for _ in $(seq 200); do kill -0 "$program" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$program" 2>/dev/null && fail "the program did not end"
  wait "$program" || rc=$?
  [ "$rc" = "${1:-0}" ] || fail "the program ended with $rc"
}

# shot ID NAME: a picture of the window in $shots/NAME.png, cut from the whole screen
# (import -window ID can wait forever on a window that goes away meanwhile).
shot() {
  sleep 0.2
  local X="" Y="" WIDTH="" HEIGHT="" SCREEN WINDOW
  eval "$(xdotool getwindowgeometry --shell "$1" 2>/dev/null)"
  [ -n "$WIDTH" ] && timeout 20 import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$shots/$2.png" 2>/dev/null ||
    echo "no screenshot $2" >&2
}
