#!/usr/bin/env bash
# Per-block transfer time as the device sees it (not a test): the
# simulator's TFTP client fetches the shipped image, from the read request
# to the last block, from
#   - ulx-upgrade-script driven by ulx-fleet (a fast C++ reader of its events),
#   - ulx-upgrade-script driven by bench/slow_driver.py (a Python reader that
#     spends 1 ms on every event line),
#   - the desktop program ulx-upgrade (its test build ulx-test-upgrade) on
#     a display of its own (Xvfb), driven by xdotool as a person would,
#     when Qt 6, Xvfb and xdotool are there,
#   - Debian's in.tftpd, ordered by curl,
# runs interleaved, in a private network namespace. Prints the median time
# per block of each and its ratio to in.tftpd. The programs are the test
# builds (scaled clock), so the device's 30 s restart costs 1.5 s; the
# transfer itself runs the same code as the shipped programs.
#   bench/blocks.sh [RUNS]      (default 9; needs root)
#   ULX_BENCH_BUILD=build bench/blocks.sh   (an existing build tree, tests on)
set -euo pipefail
. "$(dirname "$0")/netns.sh"
# in.tftpd resolves its address only where some interface has a
# non-loopback IPv4 address; one on lo will do.
ip addr add 10.255.255.1/32 dev lo
runs=${1:-9}
build=${ULX_BENCH_BUILD:-build-bench}
[ -n "${ULX_BENCH_BUILD:-}" ] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DULX_BUILD_TESTS=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target ulx-fleet ulx-test-script ulx-device-sim >/dev/null
program=$build/tests/ulx-test-script
desktop=''
if command -v Xvfb >/dev/null && command -v xdotool >/dev/null &&
  cmake --build "$build" -j"$(nproc)" --target ulx-test-upgrade >/dev/null 2>&1; then
  desktop=$build/tests/ulx-test-upgrade
fi
image=$(sed -n 's/^ULX_TARGET_IMAGE:FILEPATH=//p' "$build/CMakeCache.txt")
work=$(mktemp -d /tmp/ulx-blocks-bench.XXXXXX)
chmod 755 "$work"
cp "$image" "$work/ulxbench.bi1"
chmod 644 "$work/ulxbench.bi1"
device=127.0.13.1 tftpd=127.0.13.2 local=127.0.13.200
export ULX_LOCAL_ADDRESSES=$local

/usr/sbin/in.tftpd -L -s "$work" -a "$tftpd:6969" &
tpid=$!
"$build"/tools/device_sim/ulx-device-sim --address "$device" --idle-delay 50 --restart-ms 100 \
  --log "$work/sim.log" &
spid=$!
pids=($tpid $spid)
trap 'kill "${pids[@]}" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
sleep 0.5

# The desktop program on a display of its own, walked through its dialogs
# as tests/qt_xvfb_test.sh walks them: Continue, the device's address and
# the one local address, a click on Upgrade, OK in the success dialog.
if [ -n "$desktop" ]; then
  source tests/support/xdrive.sh
  # A display number of its own, far from the low ones that test runs in
  # other namespaces pick (/tmp and its X locks are shared with them).
  for _ in 1 2 3; do
    export DISPLAY=:$((200 + RANDOM % 700))
    Xvfb "$DISPLAY" -screen 0 1024x768x24 -nolisten tcp 2>"$work/xvfb.out" &
    pids+=($!)
    poll 5 xdotool getdisplaygeometry >/dev/null 2>&1 && break
  done
  xdotool getdisplaygeometry >/dev/null 2>&1 || fail "no display"
  export QT_QPA_PLATFORM=xcb
fi
keys() { xdotool windowfocus "$1"; shift; xdotool key --delay 20 "$@"; }
desktop_run() {
  "$desktop" >"$work/desktop.out" 2>&1 &
  program_pid=$!
  local w
  w=$(window '^ULX-7400 Firmware Upgrade$') || fail "no warning dialog"
  keys "$w" Tab Return
  gone "$w" || fail "the warning stayed"
  w=$(window '^ULX-7400 Firmware Upgrade$') || fail "no address dialog"
  xdotool windowfocus "$w"
  xdotool type --delay 10 "$device"
  keys "$w" shift+Tab End Return
  w=$(window '^Confirm Upgrade to Ver') || fail "no confirmation dialog"
  local geometry
  geometry=$(xdotool getwindowgeometry "$w" | sed -n 's/.*Geometry: //p')
  xdotool mousemove --window "$w" $((58 * ${geometry%x*} / 172)) $((150 * ${geometry#*x} / 166)) click 1
  w=$(window 'Upgrade Successful!$' 60) || fail "no success dialog"
  keys "$w" Return
  wait "$program_pid" || true
}

done_count() { grep -c '"event":"tftp_done"' "$work/sim.log" || true; }
# Waits for the next transfer's end and the device's return; prints its
# microseconds per block.
measure() {
  local before=$1
  for _ in $(seq 600); do
    [ "$(grep -c '"event":"back"' "$work/sim.log" || true)" -gt "$before" ] && break
    sleep 0.05
  done
  grep '"event":"tftp_done"' "$work/sim.log" | tail -1 |
    sed -n 's/.*"blocks":\([0-9]*\).*"transfer_us":\([0-9]*\).*/\2 \1/p' | awk '{ printf "%.2f\n", $1 / $2 }'
}
backs() { grep -c '"event":"back"' "$work/sim.log" || true; }

: >"$work/fast" ; : >"$work/slow" ; : >"$work/desktop" ; : >"$work/tftpd"
for i in $(seq 0 "$runs"); do  # run 0 warms up
  b=$(backs)
  "$build"/ulx-fleet "$device" --yes --force --program "$program" >/dev/null
  us=$(measure "$b"); [ "$i" -gt 0 ] && echo "$us" >>"$work/fast"
  b=$(backs)
  python3 bench/slow_driver.py "$program" "$device" "$local" 0.001 >/dev/null
  us=$(measure "$b"); [ "$i" -gt 0 ] && echo "$us" >>"$work/slow"
  if [ -n "$desktop" ]; then
    b=$(backs)
    desktop_run
    us=$(measure "$b"); [ "$i" -gt 0 ] && echo "$us" >>"$work/desktop"
  fi
  b=$(backs)
  curl -s "http://$device/admin/upgrade?tftp://$tftpd:6969/ulxbench.bi1" >/dev/null
  us=$(measure "$b"); [ "$i" -gt 0 ] && echo "$us" >>"$work/tftpd"
done
median() { sort -n "$1" | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
spread() { sort -n "$1" | awk '{ v[NR] = $1 } END { printf "min %s, max %s", v[1], v[NR] }'; }
m_fast=$(median "$work/fast") m_slow=$(median "$work/slow") m_tftpd=$(median "$work/tftpd")
echo "per-block transfer time as the device sees it, median of $runs runs each, interleaved, $(nproc) cores"
printf '%-52s %8s us/block  ratio %s   (%s)\n' "in.tftpd (tftpd-hpa)" "$m_tftpd" "1.00" "$(spread "$work/tftpd")"
printf '%-52s %8s us/block  ratio %.2f   (%s)\n' "ulx-upgrade-script, events to ulx-fleet" "$m_fast" \
  "$(echo "$m_fast / $m_tftpd" | bc -l)" "$(spread "$work/fast")"
printf '%-52s %8s us/block  ratio %.2f   (%s)\n' "ulx-upgrade-script, events to a slow Python reader" "$m_slow" \
  "$(echo "$m_slow / $m_tftpd" | bc -l)" "$(spread "$work/slow")"
if [ -n "$desktop" ]; then
  m_desktop=$(median "$work/desktop")
  printf '%-52s %8s us/block  ratio %.2f   (%s)\n' "ulx-upgrade (Qt) on Xvfb, driven by xdotool" "$m_desktop" \
    "$(echo "$m_desktop / $m_tftpd" | bc -l)" "$(spread "$work/desktop")"
else
  echo "ulx-upgrade (Qt): not measured (needs Qt 6, Xvfb and xdotool)"
fi
