#!/usr/bin/env bash
# Per-block transfer time as the device sees it (not a test): the
# simulator's TFTP client fetches the shipped image, from the read request
# to the last block, from
#   - ulx-upgrade-script driven by ulx-fleet (a fast C++ reader of its events),
#   - ulx-upgrade-script driven by bench/slow_driver.py (a Python reader that
#     spends 1 ms on every event line),
#   - Debian's in.tftpd, ordered by curl,
# runs interleaved, in a private network namespace. Prints the median time
# per block of each and its ratio to in.tftpd. The program is the test
# build (scaled clock), so the device's 30 s restart costs 1.5 s; the
# transfer itself runs the same code as the shipped program.
#   bench/blocks.sh [RUNS]      (default 9; needs root)
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${ULX_BENCH_NETNS:-}" ]; then
  exec unshare -n env ULX_BENCH_NETNS=1 "$0" "$@"
fi
ip link set lo up
# in.tftpd resolves its address only where some interface has a
# non-loopback IPv4 address; one on lo will do.
ip addr add 10.255.255.1/32 dev lo
runs=${1:-9}
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=RelWithDebInfo -DULX_BUILD_TESTS=ON -DULX_QT=OFF >/dev/null
cmake --build build-bench -j"$(nproc)" --target ulx-fleet ulx-test-script ulx-device-sim >/dev/null
program=build-bench/tests/ulx-test-script
image=$(sed -n 's/^ULX_TARGET_IMAGE:FILEPATH=//p' build-bench/CMakeCache.txt)
work=$(mktemp -d /tmp/ulx-blocks-bench.XXXXXX)
chmod 755 "$work"
cp "$image" "$work/ulxbench.bi1"
chmod 644 "$work/ulxbench.bi1"
device=127.0.13.1 tftpd=127.0.13.2 local=127.0.13.200
export ULX_LOCAL_ADDRESSES=$local

/usr/sbin/in.tftpd -L -s "$work" -a "$tftpd:6969" &
tpid=$!
build-bench/tools/device_sim/ulx-device-sim --address "$device" --idle-delay 50 --restart-ms 100 \
  --log "$work/sim.log" &
spid=$!
trap 'kill $tpid $spid 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
sleep 0.5

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

: >"$work/fast" ; : >"$work/slow" ; : >"$work/tftpd"
for i in $(seq 0 "$runs"); do  # run 0 warms up
  b=$(backs)
  build-bench/ulx-fleet "$device" --yes --force --program "$program" >/dev/null
  us=$(measure "$b"); [ "$i" -gt 0 ] && echo "$us" >>"$work/fast"
  b=$(backs)
  python3 bench/slow_driver.py "$program" "$device" "$local" 0.001 >/dev/null
  us=$(measure "$b"); [ "$i" -gt 0 ] && echo "$us" >>"$work/slow"
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
