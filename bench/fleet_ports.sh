#!/usr/bin/env bash
# The local HTTP ports under a fleet (not a test): ulx-fleet runs 100
# shipped ulx-upgrade-script programs (real clock) on one local address
# against 100 simulated devices that speak in a given way, and counts the
# runs that end in each message. Every program binds its device requests
# from local port 23456 to 23556; a port closed by our side first (keep-alive
# servers) waits in TIME_WAIT, and a device that stalls while it boots holds
# a port for the whole silence bound.
#   bench/fleet_ports.sh [BUILD_DIR] [SIMULATOR OPTIONS...]
#   (ULX_SIM=PATH: another build's simulator)
#   e.g. bench/fleet_ports.sh build-bench --keep-alive 5000
#        bench/fleet_ports.sh build-bench --slow-answer 12000 --slow-answers 1
set -euo pipefail
. "$(dirname "$0")/netns.sh"
build=${1:-build-bench}
shift || true
n=100
# A build directory of its own is configured; an existing one keeps its options.
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DULX_BUILD_TESTS=OFF -DULX_QT=OFF >/dev/null
fi
cmake --build "$build" -j2 --target ulx-fleet ulx-upgrade-script ulx-device-sim >/dev/null
work=$(mktemp -d /tmp/ulx-fleet-ports.XXXXXX)
"${ULX_SIM:-$build/tools/device_sim/ulx-device-sim}" --devices "$n" --first-address 127.0.13.1 --log "$work/sim.log" \
  --exit-after 900000 "$@" &
simpid=$!
trap 'kill $simpid 2>/dev/null; wait $simpid 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 100); do
  [ "$(grep -c '"event":"ready"' "$work/sim.log" 2>/dev/null || true)" = "$n" ] && break
  sleep 0.1
done
for i in $(seq 1 "$n"); do echo "127.0.13.$i"; done >"$work/devices.txt"
start=$(date +%s)
"$build/ulx-fleet" --list "$work/devices.txt" --yes --jobs "$n" --local 127.0.0.1 \
  --report "$work/report.csv" >"$work/fleet.log" 2>&1 || true
echo "devices $n, simulator options: ${*:-(none)}; $(($(date +%s) - start)) s"
echo "upgraded: $(grep -c ',upgraded,' "$work/report.csv" || true)/$n"
grep -ho 'Upgrade Failed: [^,"]*' "$work/report.csv" | sort | uniq -c || true
