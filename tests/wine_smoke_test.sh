#!/usr/bin/env bash
# The Windows program under Wine, driven by xdotool like a person, against
# ulx-device-sim: a full upgrade to the success dialog, Cancel in the
# password and confirmation dialogs, and the phone and two-stage builds'
# own dialogs, with a screenshot of every dialog.
#   tests/wine_smoke_test.sh EXE_DIR ULX_DEVICE_SIM WORK_DIR
# EXE_DIR holds ulx-test-upgrade.exe, ulx-upgrade-phone.exe and
# ulx-upgrade-twostage.exe (the test builds, on a clock ULX_CLOCK_SCALE
# times faster, here 5: the 30-second device wait takes 6 seconds; the
# phone and two-stage roads are skipped when those were not built).
# ULX_WINE_ROADS picks roads: upgrade cancel phone twostage.
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
rm -f "$shots"/*.png "$work"/*.out "$work"/*.log
export WINEPREFIX="$work/wine-prefix"
export WINEDLLOVERRIDES="mscoree,mshtml="
pids=()
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  for p in "${pids[@]}"; do kill "$p" >/dev/null 2>&1 || true; done
}
trap cleanup EXIT
source "$(dirname "$0")/support/xdrive.sh"
start_display

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
# title matches, once it has the keyboard focus and the focus has stayed
# put for a while (Wine settles it after the window appears).
wait_window() {
  local id last="" same=0 now
  id=$(window "^($1)\$" "${2:-30}") || fail "no window titled '$1'"
  xdotool windowfocus "$id" >/dev/null 2>&1 || true
  for _ in $(seq 50); do
    now=$(xdotool getwindowfocus 2>/dev/null || true)
    if [ "$now" = "$last" ]; then same=$((same + 1)); else same=0; last=$now; fi
    [ $same -ge 3 ] && break
    sleep 0.1
  done
  echo "$id"
}

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
  ULX_CLOCK_SCALE=${ULX_CLOCK_SCALE:-5} WINEDEBUG=${ULX_WINEDEBUG:--all,+msgbox} wine "$exes/$exe.exe" \
    >"$work/wine-$road.out" 2>&1 &
  program=$!
  pids+=($program)
}

stop_device() { kill "$device" 2>/dev/null && wait "$device" 2>/dev/null || true; }

# The message box's text, as Wine traces it.
expect_message() {
  for _ in $(seq 50); do
    grep -q "$1" "$work/wine-$2.out" && return 0
    sleep 0.1
  done
  fail "message box '$1' not traced"
}

# user_abort ROAD [SHOT]: the box "Upgrade Failed: User Abort", OK, the end.
user_abort() {
  local w
  w=$(wait_window "ULX Firwmare Upgrade Error")
  expect_message "Upgrade Failed: User Abort" "$1"
  [ -z "${2:-}" ] || shot "$w" "$2"
  keys Return
  program_ended
}

# past_warning ROAD PRODUCT: the warning dialog, Continue, and the address
# dialog once it is open.
past_warning() {
  local road=$1 product=$2 warning
  warning=$(wait_window "$product Firmware Upgrade" 60)
  shot "$warning" "$road-1-warning"
  keys shift+Tab Return                        # the focus starts on Cancel
  gone "$warning" || fail "the warning dialog stayed"
  address=$(wait_window "$product Firmware Upgrade")
  sleep 0.5
}

# to_confirmation ROAD SOFTWARE_VERSION [refused]: address, password, and
# the confirmation dialog with the device's five fields. With "refused", a
# password with a character that code page 1252 lacks is typed first: it
# is refused with a message, never sent, and the field is selected again.
to_confirmation() {
  local road=$1 software=$2 refused=${3:-}
  past_warning "$road" ULX-7400
  type_address 127.0.0.1
  shot "$address" "$road-2-address"
  keys Return
  w=$(wait_window "Enter Password Information")
  if [ -n "$refused" ]; then
    xdotool type --delay 120 'ulx€Ł'
    keys Return
    wait_window "Error" >/dev/null
    expect_message "cannot be sent to the ULX as typed" "$road"
    keys Return
    w=$(wait_window "Enter Password Information")
    keys ctrl+a
  fi
  xdotool type --delay 120 ulx
  shot "$w" "$road-3-password"
  keys Return
  w=$(wait_window "Confirm Upgrade to Ver\. 3\.1\.7\(GWe\)")
  shot "$w" "$road-4-confirmation"
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
  user_abort "$road" "$road-5-user-abort"
  echo "$road: \"Upgrade Failed: User Abort\", exit code 0"
}

roads=${ULX_WINE_ROADS:-idle upgrade cancel phone twostage dpi front}

# set_dpi N: the screen's DPI for the programs started after it (LogPixels,
# where Wine reads it); a prefix left at another DPI by a failed run is set
# back first.
set_dpi() {
  WINEDEBUG=-all wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$1" /f >/dev/null 2>&1
  WINEDEBUG=-all wine reg add 'HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts' \
    /v LogPixels /t REG_DWORD /d "$1" /f >/dev/null 2>&1
  if [ "$1" = 96 ]; then rm -f "$WINEPREFIX/.ulx-dpi"; else touch "$WINEPREFIX/.ulx-dpi"; fi
}
# set_managed Y|N: whether a window manager manages Wine's windows.
set_managed() {
  WINEDEBUG=-all wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d "$1" /f >/dev/null 2>&1
  if [ "$1" = Y ]; then touch "$WINEPREFIX/.ulx-managed"; else rm -f "$WINEPREFIX/.ulx-managed"; fi
}
[ ! -f "$WINEPREFIX/.ulx-dpi" ] || set_dpi 96
[ ! -f "$WINEPREFIX/.ulx-managed" ] || set_managed N
has_road() { [[ " $roads " == *" $1 "* ]]; }

# ---- the listener's idle wait costs no CPU, even with a message or a timer
# of another window of its thread pending (ulx-idle-probe.exe).
if has_road idle; then
  if [ -f "$exes/ulx-idle-probe.exe" ]; then
    for mode in none message timer; do
      (cd "$work" && WINEDEBUG=-all timeout 60 wine "$exes/ulx-idle-probe.exe" "$mode" "idle-$mode.out" >/dev/null 2>&1) ||
        fail "ulx-idle-probe $mode"
      read -r line <"$work/idle-$mode.out"
      echo "idle: $line"
      cpu=${line#*cpu_ms=}
      cpu=${cpu%% *}
      # Two seconds of waiting; a wait that the foreign message or timer
      # ends at once burns most of them.
      [ "$cpu" -le 300 ] || fail "the idle wait used $cpu ms of CPU in 2 s ($mode)"
    done
    [[ "$line" != *"foreign_dispatched=0"* ]] || fail "the timer's messages were never taken"
  else
    echo "idle: skipped (no ulx-idle-probe.exe)"
  fi
fi

# ---- the whole upgrade
if has_road upgrade; then
  start_device upgrade 127.0.0.1 --password ulx --idle-delay 2500 --restart-ms 2000 --exit-after-upgrade --image-out "$work/device-received.bin"
  start_program upgrade ulx-test-upgrade
  to_confirmation upgrade "3.0.2(GWe)" refused
  keys Tab Tab Return                          # last field -> text -> Upgrade
  w=$(wait_window "Waiting For Firmware Download Request From ULX")
  shot "$w" upgrade-5-waiting
  # Under Wine the transfer takes seconds: its title is seen as it counts.
  w=$(window "^Uploading Target Firmware to ULX@127\.0\.0\.1 [0-9]+/767148 Bytes\$" 10) ||
    fail "no uploading title"
  shot "$w" upgrade-6-uploading
  w=$(wait_window "Updating Target Firmware to ULX@127\.0\.0\.1" 60)
  shot "$w" upgrade-7-updating
  w=$(wait_window "ULX@127\.0\.0\.1 Upgrade Successful!" 60)
  shot "$w" upgrade-8-success
  keys Tab
  version=$(copied)
  [ "$version" = "3.1.7(GWe)" ] || fail "success dialog shows '$version'"
  keys Return
  program_ended
  wait "$device" || fail "the device did not see an upgrade"
  cmp -s "$work/device-received.bin" "$(dirname "$0")/../images/ulx7400-3.1.7.bin" ||
    fail "the device received other bytes than the embedded image"
  echo "upgrade: success dialog with 3.1.7(GWe); the device received the embedded image byte for byte"
fi

# ---- Escape in the password dialog; the device answers slowly, so the
# connecting window stays long enough to be seen. (Cancel in the
# confirmation dialog: the two-stage road.)
if has_road cancel; then
  start_device cancel 127.0.0.1 --password ulx --slow-answer 1500
  start_program cancel ulx-test-upgrade
  past_warning cancel-connecting ULX-7400
  type_address 127.0.0.1
  keys Return
  w=$(wait_window "Connecting with ULX@127\.0\.0\.1")
  shot "$w" cancel-connecting
  w=$(wait_window "Enter Password Information")
  keys Escape
  user_abort cancel
  echo "cancel: connecting window seen; Escape in the password dialog ends with \"Upgrade Failed: User Abort\""
  stop_device
fi

# ---- the phone build: its own title, picture and address dialog
if has_road phone; then
  if [ -f "$exes/ulx-upgrade-phone.exe" ]; then
    start_program phone ulx-upgrade-phone
    past_warning phone ULX-590
    shot "$address" phone-2-address
    keys Escape
    program_ended
    echo "phone: ULX-590 address dialog; Escape ends the program"
  else
    echo "phone: skipped (no ulx-upgrade-phone.exe)"
  fi
fi

# ---- the two-stage build on a device older than the Transition image
if has_road twostage; then
  if [ -f "$exes/ulx-upgrade-twostage.exe" ]; then
    start_device twostage 127.0.0.1 --password ulx --software-version "1.5.2(GWe)"
    start_program twostage ulx-upgrade-twostage
    to_confirmation twostage "1.5.2(GWe)"
    cancel_confirmation twostage
    stop_device
  else
    echo "twostage: skipped (no ulx-upgrade-twostage.exe)"
  fi
fi
# ---- 144 DPI (150 %): the dialogs laid out by the dialog manager in the
# larger font, crisp and unclipped; screenshots dpi144-*.
if has_road dpi; then
  set_dpi 144
  start_device dpi 127.0.0.1 --password ulx --idle-delay 600000
  start_program dpi ulx-test-upgrade
  to_confirmation dpi144 "3.0.2(GWe)"
  keys Tab Tab Return
  w=$(wait_window "Waiting For Firmware Download Request From ULX")
  shot "$w" dpi144-5-waiting
  keys space                                   # Cancel has the focus
  user_abort dpi dpi144-6-user-abort
  stop_device
  set_dpi 96
  echo "dpi: dialogs at 144 DPI in $shots/dpi144-*.png"
fi

# ---- windows in front: under a window manager, with another program in
# front, the success dialog that the listener thread opens comes to the
# front or asks for attention (its taskbar button flashes).
if has_road front; then
  openbox --sm-disable >"$work/openbox.out" 2>&1 &
  pids+=($!)
  set_managed Y
  start_device front 127.0.0.1 --password ulx --idle-delay 2500 --restart-ms 2000 --exit-after-upgrade
  start_program front ulx-test-upgrade
  to_confirmation front "3.0.2(GWe)"
  keys Tab Tab Return
  wait_window "Waiting For Firmware Download Request From ULX" >/dev/null
  xmessage -title "Another Program" "another program" >/dev/null 2>&1 &
  pids+=($!)
  other=$(window "^Another Program\$") || fail "no other program"
  window "^Updating Target Firmware to ULX@127\.0\.0\.1\$" 60 >/dev/null || fail "no post-upload wait"
  xdotool windowactivate --sync "$other" >/dev/null 2>&1 || true
  [ "$(xdotool getactivewindow)" = "$other" ] || fail "the other program is not in front"
  w=$(window "^ULX@127\.0\.0\.1 Upgrade Successful!\$" 60) || fail "no success dialog"
  front=""
  for _ in $(seq 50); do
    if [ "$(xdotool getactivewindow)" = "$w" ]; then front="comes to the front"; break; fi
    if xprop -id "$w" _NET_WM_STATE 2>/dev/null | grep -q _NET_WM_STATE_DEMANDS_ATTENTION; then
      front="asks for attention"
      break
    fi
    sleep 0.1
  done
  [ -n "$front" ] || fail "the success dialog stayed behind the other program without asking for attention"
  shot "$w" front-success
  xdotool windowactivate --sync "$w" >/dev/null 2>&1 || true
  keys Return
  program_ended
  set_managed N
  echo "front: the success dialog $front while another program is in front"
fi
echo "screenshots: $shots"
