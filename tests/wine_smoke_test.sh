#!/usr/bin/env bash
# The Windows program under Wine, driven by xdotool like a person, against
# ulx-device-sim: a full upgrade to the success dialog, Cancel in the
# password and confirmation dialogs, and the phone and two-stage builds'
# own dialogs, with a screenshot of every dialog.
#   tests/wine_smoke_test.sh EXE_DIR ULX_DEVICE_SIM WORK_DIR
# EXE_DIR holds ulx-upgrade.exe, and ulx-upgrade-phone.exe and
# ulx-upgrade-twostage.exe when they were built (their roads are skipped
# otherwise). ULX_WINE_ROADS picks roads: upgrade cancel phone twostage.
# Runs in a network namespace of its own (only loopback, as root), so the
# program sees no address but 127.0.0.1 and the device can take port 80
# there. The Wine prefix is made once in WORK_DIR/wine-prefix; screenshots
# of every dialog go to WORK_DIR/screenshots.
set -euo pipefail
if [ -z "${ULX_WINE_NETNS:-}" ]; then
  exec env ULX_WINE_NETNS=1 unshare --net "$0" "$@"
fi
ip link set lo up

exes=$(realpath "$1")
sim=$(realpath "$2")
work=$(realpath -m "$3")
shots="$work/screenshots"
mkdir -p "$shots"
rm -f "$shots"/*.png
export WINEPREFIX="$work/wine-prefix"
export WINEDLLOVERRIDES="mscoree,mshtml="
display=$((201 + RANDOM % 700))
export DISPLAY=":$display"
pids=()

cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  for p in "${pids[@]}"; do kill "$p" >/dev/null 2>&1 || true; done
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  for f in "$work"/wine-*.out "$work"/device-*.log; do
    [ -f "$f" ] && { echo "--- $f"; tail -20 "$f"; } >&2
  done
  exit 1
}

Xvfb "$DISPLAY" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done

# The prefix, once: without a window manager, managed windows cost two
# seconds at every close, so Wine is told to manage none.
if [ ! -f "$WINEPREFIX/.ulx-ready" ]; then
  echo "making the Wine prefix"
  WINEDEBUG=-all timeout 120 wineboot -i >"$work/wineboot.out" 2>&1 || fail "wineboot -i"
  WINEDEBUG=-all wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >>"$work/wineboot.out" 2>&1
  wineserver -w
  touch "$WINEPREFIX/.ulx-ready"
fi

# wait_window PATTERN [SECONDS]: the id of the newest window whose whole
# title matches the extended regular expression, once it exists and has
# the keyboard focus.
wait_window() {
  local pattern=$1 limit=${2:-30} id=""
  for _ in $(seq $((limit * 10))); do
    for w in $(xdotool search --name "^($pattern)\$" 2>/dev/null); do id=$w; done
    if [ -n "$id" ]; then
      xdotool windowfocus "$id" >/dev/null 2>&1 || true
      # Typing starts only once the focus has stayed put for a while.
      local last="" same=0
      for _ in $(seq 50); do
        local now
        now=$(xdotool getwindowfocus 2>/dev/null || true)
        if [ "$now" = "$last" ]; then same=$((same + 1)); else same=0; last=$now; fi
        [ $same -ge 3 ] && break
        sleep 0.1
      done
      echo "$id"
      return 0
    fi
    sleep 0.1
  done
  fail "no window titled '$pattern' within ${limit} s"
}

wait_gone() {
  for _ in $(seq 100); do
    xdotool getwindowname "$1" >/dev/null 2>&1 || return 0
    sleep 0.1
  done
  fail "window $1 did not close"
}

shot() { import -window root "$shots/$1.png"; }

keys() {
  for k in "$@"; do
    xdotool key "$k"
    sleep 0.15
  done
}

# The text of the focused edit field, through the clipboard: Tab into a
# field selects all of it, Ctrl+C copies it, and Wine hands it to X.
copied() {
  keys ctrl+c
  sleep 0.3
  timeout 5 xclip -o -selection clipboard 2>/dev/null || true
}

# type_address A.B.C.D: the address control takes each octet in its own
# field, '.' moves on.
type_address() {
  local first=1
  for octet in ${1//./ }; do
    [ $first = 1 ] || keys period
    first=0
    for ((i = 0; i < ${#octet}; i++)); do keys "${octet:i:1}"; done
  done
}

start_program() {
  local road=$1 exe=$2
  WINEDEBUG=${ULX_WINEDEBUG:--all,+msgbox} wine "$exes/$exe.exe" >"$work/wine-$road.out" 2>&1 &
  program=$!
  pids+=($program)
}

start_device() {
  local road=$1
  shift
  "$sim" --address 127.0.0.1 --password ulx --log "$work/device-$road.log" "$@" &
  device=$!
  pids+=($device)
}

stop_device() {
  kill "$device" 2>/dev/null || true
  wait "$device" 2>/dev/null || true
}

# The message box's text, as Wine traces it.
expect_message() {
  for _ in $(seq 50); do
    grep -q "$1" "$work/wine-$2.out" && return 0
    sleep 0.1
  done
  fail "message box '$1' not traced"
}

expect_program_end() {
  local rc=0
  for _ in $(seq 200); do kill -0 "$program" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$program" 2>/dev/null && fail "the program did not end"
  wait "$program" || rc=$?
  [ "$rc" = 0 ] || fail "exit code $rc"
}

# past_warning ROAD PRODUCT: the warning dialog, Continue, and the address
# dialog once it is open.
past_warning() {
  local road=$1 product=$2 warning
  warning=$(wait_window "$product Firmware Upgrade" 60)
  shot "$road-1-warning"
  keys shift+Tab Return                        # the focus starts on Cancel
  wait_gone "$warning"
  wait_window "$product Firmware Upgrade" >/dev/null
  sleep 0.5
}

# to_confirmation ROAD SOFTWARE_VERSION: address, password, and the
# confirmation dialog with the device's five fields.
to_confirmation() {
  local road=$1 software=$2
  past_warning "$road" ULX-7400
  type_address 127.0.0.1
  shot "$road-2-address"
  keys Return
  wait_window "Enter Password Information" >/dev/null
  xdotool type --delay 120 ulx
  shot "$road-3-password"
  keys Return
  wait_window "Confirm Upgrade to Ver\. 3\.1\.7\(GWe\)" >/dev/null
  shot "$road-4-confirmation"
  # Tab order: Upgrade, Cancel, then the five fields.
  keys Tab Tab
  local expected=("ULX74000A1B2" "02:00:5E:10:74:00" "$software" "2.0.1" "ULX-7400")
  for i in 0 1 2 3 4; do
    [ $i = 0 ] || keys Tab
    local got
    got=$(copied)
    [ "$got" = "${expected[$i]}" ] || fail "confirmation field $i: '$got', expected '${expected[$i]}'"
  done
  echo "$road: confirmation shows the device's five fields"
}

# cancel_confirmation ROAD: Cancel (from the last field: the text, Upgrade,
# Cancel), then the abort message and the end of the program.
cancel_confirmation() {
  local road=$1
  keys Tab Tab Tab Return
  wait_window "ULX Firwmare Upgrade Error" >/dev/null
  expect_message "Upgrade Failed: User Abort" "$road"
  shot "$road-5-user-abort"
  keys Return
  expect_program_end
  echo "$road: \"Upgrade Failed: User Abort\", exit code 0"
}

roads=${ULX_WINE_ROADS:-upgrade cancel phone twostage}
has_road() { [[ " $roads " == *" $1 "* ]]; }

# ---- the whole upgrade
if has_road upgrade; then
  start_device upgrade --restart-ms 2000 --exit-after-upgrade --image-out "$work/device-received.bin"
  start_program upgrade ulx-upgrade
  to_confirmation upgrade "3.0.2(GWe)"
  keys Tab Tab Return                          # last field -> text -> Upgrade
  wait_window "Waiting For Firmware Download Request From ULX|Uploading Target Firmware to ULX@127\.0\.0\.1 [0-9]+/767148 Bytes" >/dev/null
  shot upgrade-5-waiting-or-uploading
  # The transfer may be over before a poll sees it; the 30 s after it are not.
  wait_window "Updating Target Firmware to ULX@127\.0\.0\.1" 60 >/dev/null
  shot upgrade-6-updating
  wait_window "ULX@127\.0\.0\.1 Upgrade Successful!" 60 >/dev/null
  shot upgrade-7-success
  keys Tab
  version=$(copied)
  [ "$version" = "3.1.7(GWe)" ] || fail "success dialog shows '$version'"
  keys Return
  expect_program_end
  wait "$device" || fail "the device did not see an upgrade"
  cmp -s "$work/device-received.bin" "$(dirname "$0")/../images/ulx7400-3.1.7.bin" ||
    fail "the device received other bytes than the embedded image"
  echo "upgrade: success dialog with 3.1.7(GWe); the device received the embedded image byte for byte"
fi

# ---- Cancel in the confirmation dialog; the device answers slowly, so the
# connecting window stays long enough to be seen.
if has_road cancel; then
  start_device cancel --slow-answer 1500
  start_program cancel ulx-upgrade
  past_warning cancel-connecting ULX-7400
  type_address 127.0.0.1
  keys Return
  wait_window "Connecting with ULX@127\.0\.0\.1" >/dev/null
  shot cancel-connecting
  wait_window "Enter Password Information" >/dev/null
  keys Escape
  wait_window "ULX Firwmare Upgrade Error" >/dev/null
  expect_message "Upgrade Failed: User Abort" cancel
  keys Return
  expect_program_end
  echo "cancel: connecting window seen; Escape in the password dialog ends with \"Upgrade Failed: User Abort\""
  stop_device
  start_device cancel
  start_program cancel ulx-upgrade
  to_confirmation cancel "3.0.2(GWe)"
  cancel_confirmation cancel
  stop_device
fi

# ---- the phone build: its own title, picture and address dialog
if has_road phone; then
  if [ -f "$exes/ulx-upgrade-phone.exe" ]; then
    start_program phone ulx-upgrade-phone
    past_warning phone ULX-590
    shot phone-2-address
    keys Escape
    expect_program_end
    echo "phone: ULX-590 address dialog; Escape ends the program"
  else
    echo "phone: skipped (no ulx-upgrade-phone.exe)"
  fi
fi

# ---- the two-stage build on a device older than the Transition image
if has_road twostage; then
  if [ -f "$exes/ulx-upgrade-twostage.exe" ]; then
    start_device twostage --software-version "1.5.2(GWe)"
    start_program twostage ulx-upgrade-twostage
    to_confirmation twostage "1.5.2(GWe)"
    cancel_confirmation twostage
    stop_device
  else
    echo "twostage: skipped (no ulx-upgrade-twostage.exe)"
  fi
fi
echo "screenshots: $shots"
