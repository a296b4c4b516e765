#!/usr/bin/env bash
# The desktop program under Xvfb, driven by xdotool as a person would: a full upgrade of
# ulx-device-sim, a Cancel road, then a display that goes away; a picture of each dialog.
#   qt_xvfb_test.sh ULX_UPGRADE ULX_DEVICE_SIM SCREENSHOT_DIR EXIT_WITNESS_LIBRARY
# ULX_UPGRADE runs on a clock eight times real time: the 10 s answer bound is 1.25 s (the
# device answers after 0.7 s, so the connecting window can be pictured).
set -uo pipefail
upgrade=$1 sim=$2 shots=$3 witness=$4
for tool in Xvfb xdotool import; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing"; exit 77; }
done
mkdir -p "$shots"
work=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
source "$(dirname "$0")/support/xdrive.sh"
start_display
export QT_QPA_PLATFORM=xcb ULX_CLOCK_SCALE=8

# Keys and typing go to the keyboard focus: the window takes it first (no window manager).
keys() { xdotool windowfocus "$1"; shift; xdotool key --delay 80 "$@"; sleep 0.1; }
typein() { xdotool windowfocus "$1"; xdotool type --delay 40 "$2"; sleep 0.1; }

start_upgrade() {  # NAME [LIBRARY to preload]
  LD_PRELOAD=${2:-} "$upgrade" >"$work/upgrade-$1.out" 2>&1 &
  program=$!
  pids+=($program)
}

# dialog PATTERN [SHOT [SECONDS]]: the window's id in $w once it is shown, and a picture of it.
dialog() {
  w=$(window "$1" "${3:-10}") || fail "no window '$1'"
  [ -z "${2:-}" ] || shot "$w" "$2"
}

# to_address NAME [SHOT]: the program, Continue in its warning dialog, its address dialog in $w.
to_address() {
  start_upgrade "$1"
  dialog '^ULX-7400 Firmware Upgrade$' "${2:-}"
  keys "$w" Tab Return  # from Cancel, which has the focus, to Continue
  gone "$w"
  w=$(window '^ULX-7400 Firmware Upgrade$') || fail "no address dialog"
}

# ---- a full upgrade
start_device full 127.0.8.2 --password ulx --idle-delay 1000 --slow-answer 700 --slow-answers 1 --restart-ms 500
to_address full 01-warning
typein "$w" 127.0.8.2
keys "$w" shift+Tab End  # the local address list: loopback comes last
shot "$w" 02-address
keys "$w" Return
c=$(window '^Connecting with ULX@127.0.8.2$') && shot "$c" 03-connecting
w=$(window '^Enter Password Information$') || fail "no password dialog"
typein "$w" ulx
shot "$w" 04-password
keys "$w" Return
dialog '^Confirm Upgrade to Ver\. 3\.1\.7\(GWe\)$' 05-confirm
# The transfer is quick: its titles are noted as they come.
(while :; do xdotool search --onlyvisible --name 'ULX@' getwindowname %@ 2>/dev/null; sleep 0.02; done \
  >"$work/titles") &
pids+=($!)
# A click in the middle of Upgrade: dialog units (58, 150) of 172 x 166.
geometry=$(xdotool getwindowgeometry "$w" | sed -n 's/.*Geometry: //p')
xdotool mousemove --window "$w" $((58 * ${geometry%x*} / 172)) $((150 * ${geometry#*x} / 166)) click 1
dialog '^Waiting For Firmware Download Request From ULX$' 06-waiting
dialog '^Updating Target Firmware to ULX@127\.0\.8\.2$' 07-updating 20
grep -Eq '^Uploading Target Firmware to ULX@127\.0\.8\.2 [0-9]+/[0-9]+ Bytes$' "$work/titles" || fail "no uploading title"
dialog '^ULX@127\.0\.8\.2 Upgrade Successful!$' 08-success 60
keys "$w" Return
program_ended
grep -q '"event":"tftp_done".*"complete":true' "$work/device-full.log" || fail "the device did not receive the image"

# ---- a Cancel road: a rejected address, the password refused by Cancel
to_address cancel
address=$w
keys "$w" Return  # empty: rejected
dialog '^Error$' 09-invalid-address
keys "$w" Return
gone "$w"
typein "$address" 127.0.8.2
keys "$address" shift+Tab End Return
w=$(window '^Enter Password Information$') || fail "no password dialog"
keys "$w" Escape
dialog '^ULX Firwmare Upgrade Error$' 10-user-abort
keys "$w" Return
program_ended

# ---- the display goes away under an open dialog: the program ends at once, without
# running its static destructors under its live threads (the preloaded witness would say so)
main_display=$DISPLAY
start_display -lost
start_upgrade lost "$witness"
window '^ULX-7400 Firmware Upgrade$' >/dev/null || fail "no warning dialog on the second display"
kill "$display_pid"
export DISPLAY=$main_display
program_ended 1
grep -q "connection broke" "$work/upgrade-lost.out" || fail "no word of the lost display"
if grep -q "exit witness" "$work/upgrade-lost.out"; then fail "static destructors ran"; fi
