#!/usr/bin/env bash
# Builds everything and upgrades a simulated device: ulx-device-sim plays a
# password-protected ULX on 127.0.0.2.
#  - With a display that answers ($DISPLAY or $WAYLAND_DISPLAY) and
#    ulx-upgrade built, the real windows open and you answer them yourself.
#  - Otherwise (no display, or one that cannot be reached) ulx-demo answers the dialogs of ulx-upgrade-script as a
#    person would, printing each one.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
image=$(sed -n 's/^ULX_TARGET_IMAGE:FILEPATH=//p' build/CMakeCache.txt)

# A display counts only when it answers: an X server that takes a
# connection, or a Wayland compositor's socket.
display_reachable() {
  if [ -n "${WAYLAND_DISPLAY:-}" ]; then
    local socket=$WAYLAND_DISPLAY
    [ "${socket#/}" != "$socket" ] || socket=${XDG_RUNTIME_DIR:-/run/user/$(id -u)}/$socket
    [ -S "$socket" ] && return 0
  fi
  [ -n "${DISPLAY:-}" ] && timeout 5 xdpyinfo >/dev/null 2>&1
}

if [ -x build/ulx-upgrade ] && display_reachable; then
  log=$(mktemp /tmp/ulx-device.XXXXXX.log)
  build/tools/device_sim/ulx-device-sim --address 127.0.0.2 --password ulx --log "$log" &
  sim=$!
  trap 'kill "$sim" 2>/dev/null' EXIT
  cat <<TEXT
The simulated ULX runs on 127.0.0.2 (its log: $log).
In the windows: Continue; device address 127.0.0.2; "Your IP Address"
127.0.0.1; password "ulx" (user admin); Upgrade; then about 35 seconds.
TEXT
  build/ulx-upgrade
  grep -o '"event":"tftp_done"[^}]*' "$log" || true
  exit 0
fi
exec build/tools/ulx-demo --sim build/tools/device_sim/ulx-device-sim --script build/ulx-upgrade-script \
  --image "$image"
