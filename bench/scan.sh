#!/usr/bin/env bash
# Scan benchmark (not a test): what ulx-fleet --scan costs, in a private
# network namespace, with the shipped ulx-upgrade-script (real clock).
#  1. a /24 of loopback with a few simulated devices, the other addresses
#     refusing at once: the sweep alone, and the whole inventory;
#  2. silent addresses, as on a real LAN where nothing answers an address:
#     a listener on every address whose accept queue is full drops each SYN
#     unanswered, so every connection waits out the per-host timeout. A /24
#     and a /22 are timed; a /16 follows from the figures.
#   bench/scan.sh [DEVICES]        (default 4; needs root)
# ULX_BENCH_BUILD=build uses an existing build tree instead of build-bench.
set -euo pipefail
. "$(dirname "$0")/netns.sh"
devices=${1:-4}
build=${ULX_BENCH_BUILD:-build-bench}
if [ "$build" = build-bench ]; then
  cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=RelWithDebInfo -DULX_BUILD_TESTS=OFF -DULX_QT=OFF >/dev/null
  cmake --build build-bench -j"$(nproc)" --target ulx-fleet ulx-upgrade-script ulx-device-sim >/dev/null
fi
fleet=$build/ulx-fleet
sim=$build/tools/device_sim/ulx-device-sim
work=$(mktemp -d /tmp/ulx-scan-bench.XXXXXX)

# Seconds of wall time of a command (its output in $work/last.log).
timed() {
  local begin end
  begin=$(date +%s.%N)
  "$@" >"$work/last.log" 2>&1 || true
  end=$(date +%s.%N)
  echo "$end - $begin" | bc
}
sweep_line() { grep '^scan of' "$work/last.log" || echo "(no scan line)"; }

echo "ulx-fleet --scan benchmark on $(nproc) cores: shipped ulx-upgrade-script, real clock"

# 1. A /24 with devices at .10, .11, ...
"$sim" --devices "$devices" --first-address 127.0.60.10 --log "$work/sim.log" --exit-after 600000 &
simpid=$!
for _ in $(seq 100); do
  [ "$(grep -c '"event":"ready"' "$work/sim.log" 2>/dev/null || true)" = "$devices" ] && break
  sleep 0.1
done
wall=$(timed "$fleet" --inventory --scan 127.0.60.0/24)
echo
echo "/24 of loopback, $devices devices, the rest refusing:"
echo "  $(sweep_line)"
grep '^scan:' "$work/last.log" | sed 's/^/  /'
printf '  whole inventory (sweep and identification): %.2f s\n' "$wall"
kill "$simpid" 2>/dev/null || true
wait "$simpid" 2>/dev/null || true

# 2. Silent addresses: a listener on every address, its queue full.
python3 - <<'EOF' &
import socket, time
listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # the devices' closed connections linger
listener.bind(("0.0.0.0", 80))
listener.listen(0)
held = socket.create_connection(("127.0.0.1", 80))  # fills the queue: later SYNs are dropped
time.sleep(600)
EOF
holder=$!
for _ in $(seq 50); do
  ss -ltn 2>/dev/null | grep -q ':80 ' && break
  sleep 0.1
done
sleep 0.5
echo
echo "silent addresses (every SYN dropped), per-host timeout 1 s, 256 connections in flight:"
for range in 127.0.9.0/24 127.0.8.0/22; do
  wall=$(timed "$fleet" --inventory --scan "$range")
  printf '  %-14s %s; ulx-fleet %.2f s\n' "$range" "$(sweep_line)" "$wall"
done
kill "$holder" 2>/dev/null || true
wait "$holder" 2>/dev/null || true
echo "  a /16 (65534 addresses) all silent: 65534 / 256 = 256 rounds of the 1 s timeout, about 256 s"
rm -rf "$work"
