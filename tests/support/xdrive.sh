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

# start_display [NAME]: a display of our own in DISPLAY; the server's process id in $display_pid.
start_display() {
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display${1:-}" 2>"$work/xvfb${1:-}.out" &
  display_pid=$!
  pids+=($display_pid)
  for _ in $(seq 100); do [ -s "$work/display${1:-}" ] && break; sleep 0.1; done
  [ -s "$work/display${1:-}" ] || fail "Xvfb did not start"
  export DISPLAY=:$(cat "$work/display${1:-}")
}

# window PATTERN [SECONDS]: the id of a visible window whose title matches the extended
# regular expression, within 10 s unless told.
window() {
  local id
  for _ in $(seq $((${2:-10} * 10))); do
    id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | tail -1)
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.1
  done
  return 1
}

# gone ID: waits until the window is closed or hidden.
gone() {
  for _ in $(seq 100); do
    xdotool getwindowname "$1" >/dev/null 2>&1 || return 0
    xdotool search --onlyvisible --name . 2>/dev/null | grep -qx "$1" || return 0
    sleep 0.1
  done
  return 1
}

# start_device NAME ADDRESS [OPTIONS...]: ulx-device-sim ($sim) on ADDRESS, logging to
# $work/device-NAME.log, once it listens; its process id in $device.
start_device() {
  local name=$1 address=$2
  shift 2
  "$sim" --address "$address" --log "$work/device-$name.log" "$@" &
  device=$!
  pids+=($device)
  for _ in $(seq 50); do grep -qs '"ready"' "$work/device-$name.log" && return 0; sleep 0.1; done
  fail "the device did not start"
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
    echo "no screenshot $2"
}
