#!/usr/bin/env bash
# The Windows test builds under Wine, driven by xdotool like a person, against
# ulx-device-sim; a screenshot of every dialog in WORK_DIR/screenshots.
#   tests/wine_smoke_test.sh EXE_DIR ULX_DEVICE_SIM WORK_DIR
# The builds run on a clock ULX_CLOCK_SCALE times faster, here 5: the
# 30-second device wait takes 6 seconds. ULX_WINE_ROADS picks roads.
# Runs in a network namespace of its own (only loopback, as root), so the
# program sees no address but 127.0.0.1 and the device can take port 80
# there. The Wine prefix is made once in WORK_DIR/wine-prefix.
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
trap 'wineserver -k >/dev/null 2>&1 || true; kill "${pids[@]}" >/dev/null 2>&1 || true' EXIT
source "$(dirname "$0")/support/xdrive.sh"
start_display

# set_dpi N, set_managed Y|N: the screen's DPI (LogPixels, where Wine reads
# it) and whether a window manager manages Wine's windows, for the programs
# started after them.
wine_reg() { WINEDEBUG=-all wine reg add "$@" /f >/dev/null 2>&1; }
set_dpi() {
  wine_reg 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$1"
  wine_reg 'HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts' /v LogPixels /t REG_DWORD /d "$1"
}
set_managed() { wine_reg 'HKCU\Software\Wine\X11 Driver' /v Managed /d "$1"; }

# The prefix is made once. Every run starts at 96 DPI, whatever a failed run
# left, and unmanaged: without a window manager, managed windows cost two
# seconds at every close.
if [ ! -f "$WINEPREFIX/.ulx-ready" ]; then
  WINEDEBUG=-all timeout 120 wineboot -i >"$work/wineboot.out" 2>&1 || fail "wineboot -i"
  wineserver -w
  touch "$WINEPREFIX/.ulx-ready"
fi
set_dpi 96
set_managed N

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

# dialog PATTERN SHOT [SECONDS]: wait_window, the window's id in $w, and a picture of it.
dialog() {
  w=$(wait_window "$1" "${3:-30}")
  shot "$w" "$2"
}
# The keys, one at a time with Wine given time for each.
keys() { xdotool key --delay 150 "$@"; sleep 0.15; }

# The text of the focused edit field, through the clipboard: Tab into a
# field selects all of it, Ctrl+C copies it, and Wine hands it to X.
copied() {
  keys ctrl+c
  sleep 0.3
  timeout 5 xclip -o -selection clipboard 2>/dev/null || true
}

# expect_message TEXT ROAD: the message box's text, as Wine traces it.
expect_message() { poll 5 grep -q "$1" "$work/wine-$2.out" || fail "message box '$1' not traced"; }

# user_abort ROAD [SHOT]: the box "Upgrade Failed: User Abort", OK, the end.
user_abort() {
  w=$(wait_window "ULX Firwmare Upgrade Error")
  expect_message "Upgrade Failed: User Abort" "$1"
  [ -z "${2:-}" ] || shot "$w" "$2"
  keys Return
  program_ended
}

# start ROAD EXE [PRODUCT]: the program EXE.exe, its warning dialog,
# Continue, and the address dialog ($address) once it is open.
start() {
  local road=$1 product=${3:-ULX-7400}
  ULX_CLOCK_SCALE=${ULX_CLOCK_SCALE:-5} WINEDEBUG=${ULX_WINEDEBUG:--all,+msgbox} wine "$exes/$2.exe" \
    >"$work/wine-$road.out" 2>&1 &
  program=$!
  pids+=($program)
  dialog "$product Firmware Upgrade" "$road-1-warning" 60
  keys shift+Tab Return                        # the focus starts on Cancel
  gone "$w" || fail "the warning dialog stayed"
  address=$(wait_window "$product Firmware Upgrade")
  sleep 0.5
}

# to_confirmation ROAD EXE SOFTWARE_VERSION [refused]: start, address,
# password, and the confirmation dialog with the device's five fields, the
# focus left on the last. With "refused", a password with a character that
# code page 1252 lacks comes first: refused with a message, never sent.
to_confirmation() {
  local road=$1 w got field
  start "$road" "$2"
  xdotool type --delay 150 127.0.0.1           # an octet a field; '.' moves on
  shot "$address" "$road-2-address"
  keys Return
  w=$(wait_window "Enter Password Information")
  if [ -n "${4:-}" ]; then
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
  dialog "Confirm Upgrade to Ver\. 3\.1\.7\(GWe\)" "$road-4-confirmation"
  keys Tab                                     # Tab order: Upgrade, Cancel, the fields
  for field in ULX74000A1B2 02:00:5E:10:74:00 "$3" 2.0.1 ULX-7400; do
    keys Tab
    got=$(copied)
    [ "$got" = "$field" ] || fail "a confirmation field shows '$got', expected '$field'"
  done
}

roads=${ULX_WINE_ROADS:-idle upgrade cancel phone twostage dpi front}
# has_road NAME [EXE]: NAME is among the roads picked and EXE.exe, when named, was built.
has_road() {
  [[ " $roads " == *" $1 "* ]] || return 1
  [ -z "${2:-}" ] || [ -f "$exes/$2.exe" ] || { echo "$1: skipped (no $2.exe)"; return 1; }
  echo "=== $1"
}

# ---- the core's waits cost no CPU, even with a message or a timer of
# another window of their thread pending (ulx-idle-probe.exe): the
# listener's, a silent request's, the transfer's for a lost
# acknowledgement, the restart's.
if has_road idle ulx-idle-probe; then
  for wait in listen request download restart; do
    for mode in none message timer; do
      (cd "$work" && WINEDEBUG=-all timeout 60 wine "$exes/ulx-idle-probe.exe" "$mode" "idle-$wait-$mode.out" "$wait" >/dev/null 2>&1) ||
        fail "ulx-idle-probe $mode $wait"
      read -r line <"$work/idle-$wait-$mode.out"
      echo "$line"
      # Two seconds of waiting; a wait that the foreign message or timer
      # ends at once burns most of them.
      [[ $line =~ cpu_ms=([0-9]+) ]] && [ "${BASH_REMATCH[1]}" -le 300 ] || fail "the $wait wait used over 300 ms in 2 s ($mode)"
    done
    [[ "$line" != *"foreign_dispatched=0"* ]] || fail "the timer's messages were never taken ($wait)"
  done
fi

# ---- the whole upgrade, the password refused once
if has_road upgrade; then
  start_device upgrade 127.0.0.1 --password ulx --idle-delay 2500 --restart-ms 2000 --exit-after-upgrade --image-out "$work/device-received.bin"
  to_confirmation upgrade ulx-test-upgrade "3.0.2(GWe)" refused
  keys Tab Tab Return                          # last field -> text -> Upgrade
  dialog "Waiting For Firmware Download Request From ULX" upgrade-5-waiting
  # Under Wine the transfer takes seconds: its title is seen as it counts.
  dialog "Uploading Target Firmware to ULX@127\.0\.0\.1 [0-9]+/767148 Bytes" upgrade-6-uploading 10
  dialog "Updating Target Firmware to ULX@127\.0\.0\.1" upgrade-7-updating 60
  dialog "ULX@127\.0\.0\.1 Upgrade Successful!" upgrade-8-success 60
  keys Tab
  version=$(copied)
  [ "$version" = "3.1.7(GWe)" ] || fail "success dialog shows '$version'"
  keys Return
  program_ended
  wait "$device" || fail "the device did not see an upgrade"
  cmp -s "$work/device-received.bin" "$(dirname "$0")/../images/ulx7400-3.1.7.bin" ||
    fail "the device received other bytes than the embedded image"
fi

# ---- Escape in the password dialog; the device answers slowly, so the
# connecting window stays long enough to be seen. (Cancel in the
# confirmation dialog: the two-stage road.)
if has_road cancel; then
  start_device cancel 127.0.0.1 --password ulx --slow-answer 1500
  start cancel ulx-test-upgrade
  xdotool type --delay 150 127.0.0.1
  keys Return
  dialog "Connecting with ULX@127\.0\.0\.1" cancel-connecting
  wait_window "Enter Password Information" >/dev/null
  keys Escape
  user_abort cancel
fi

# ---- the phone build: its own title, picture and address dialog
if has_road phone ulx-upgrade-phone; then
  start phone ulx-upgrade-phone ULX-590
  shot "$address" phone-2-address
  keys Escape
  program_ended
fi

# ---- the two-stage build on a device older than the Transition image;
# Cancel in the confirmation dialog (from the last field: the text,
# Upgrade, Cancel), then the abort message and the end of the program.
if has_road twostage ulx-upgrade-twostage; then
  start_device twostage 127.0.0.1 --password ulx --software-version "1.5.2(GWe)"
  to_confirmation twostage ulx-upgrade-twostage "1.5.2(GWe)"
  keys Tab Tab Tab Return
  user_abort twostage twostage-5-user-abort
fi

# ---- 144 DPI (150 %): the dialogs laid out by the dialog manager in the
# larger font, crisp and unclipped; screenshots dpi144-*.
if has_road dpi; then
  set_dpi 144
  start_device dpi144 127.0.0.1 --password ulx --idle-delay 600000
  to_confirmation dpi144 ulx-test-upgrade "3.0.2(GWe)"
  keys Tab Tab Return
  dialog "Waiting For Firmware Download Request From ULX" dpi144-5-waiting
  keys space                                   # Cancel has the focus
  user_abort dpi144 dpi144-6-user-abort
  set_dpi 96
fi

# ---- windows in front: under a window manager, with another program in
# front, the success dialog that the listener thread opens comes to the
# front or asks for attention (its taskbar button flashes).
if has_road front; then
  openbox --sm-disable >"$work/openbox.out" 2>&1 &
  pids+=($!)
  set_managed Y
  start_device front 127.0.0.1 --password ulx --idle-delay 2500 --restart-ms 2000 --exit-after-upgrade
  to_confirmation front ulx-test-upgrade "3.0.2(GWe)"
  keys Tab Tab Return
  wait_window "Waiting For Firmware Download Request From ULX" >/dev/null
  xmessage -title "Another Program" "another program" >/dev/null 2>&1 &
  pids+=($!)
  other=$(window "^Another Program\$") || fail "no other program"
  window "^Updating Target Firmware to ULX@127\.0\.0\.1\$" 60 >/dev/null || fail "no post-upload wait"
  xdotool windowactivate --sync "$other" >/dev/null 2>&1 || true
  [ "$(xdotool getactivewindow)" = "$other" ] || fail "the other program is not in front"
  w=$(window "^ULX@127\.0\.0\.1 Upgrade Successful!\$" 60) || fail "no success dialog"
  in_front() {
    [ "$(xdotool getactivewindow)" = "$1" ] ||
      xprop -id "$1" _NET_WM_STATE 2>/dev/null | grep -q _NET_WM_STATE_DEMANDS_ATTENTION
  }
  poll 5 in_front "$w" || fail "the success dialog stayed behind the other program without asking for attention"
  shot "$w" front-success
  xdotool windowactivate --sync "$w" >/dev/null 2>&1 || true
  keys Return
  program_ended
  set_managed N
fi
