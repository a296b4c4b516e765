# Shared by the tests that drive real windows on X: a display of their own,
# windows found by title, screenshots. The sourcing script sets $work (a
# folder for its logs, *.out and *.log) and $shots, and keeps the process
# ids of what it starts in the array pids.

fail() {
  echo "FAIL: $*" >&2
  for id in $(xdotool search --onlyvisible --name . 2>/dev/null); do
    echo "  window $id: $(xdotool getwindowname "$id")" >&2
  done
  tail -n 20 "$work"/*.out "$work"/*.log >&2 2>/dev/null
  exit 1
}

# A display of our own: Xvfb takes the first free number.
start_display() {
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.out" &
  pids+=($!)
  for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
  [ -s "$work/display" ] || fail "Xvfb did not start"
  export DISPLAY=:$(cat "$work/display")
}

# window PATTERN [SECONDS]: waits (10 s unless told) for a visible window
# whose title matches the extended regular expression and prints its id.
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

# shot ID NAME: a picture of the window in $shots/NAME.png, cut from the
# whole screen (import -window ID can wait forever on a window that goes
# away meanwhile).
shot() {
  sleep 0.2
  local X="" Y="" WIDTH="" HEIGHT="" SCREEN WINDOW
  eval "$(xdotool getwindowgeometry --shell "$1" 2>/dev/null)"
  [ -n "$WIDTH" ] && timeout 20 import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$shots/$2.png" 2>/dev/null ||
    echo "no screenshot $2"
}
