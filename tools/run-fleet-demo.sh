#!/usr/bin/env bash
# Upgrades a simulated fleet of 20 devices at once with ulx-fleet: live
# progress (on a terminal), then the report. One ulx-device-sim plays the
# fleet on 127.0.10.1-20: old and current devices, with and without a
# password, one whose password the list gets wrong, one absent, one whose
# ACKs stop in mid-transfer. Needs root (TFTP ports 69 to 168, web servers
# on port 80 of those addresses).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target ulx-fleet ulx-upgrade-script ulx-device-sim

work=$(mktemp -d /tmp/ulx-fleet-demo.XXXXXX)
net=127.0.10
{
  for i in $(seq 1 12); do echo "$net.$i"; done
  for i in 13 14 15; do echo "$net.$i --password ulx"; done
  echo "$net.16 --software-version 3.1.7(GWe)"
  echo "$net.17 --software-version 3.1.7(GWe) --password ulx"
  echo "$net.18 --password not-the-one-in-the-list"
  # $net.19 is absent
  echo "$net.20 --stop-ack-at 400"
} >"$work/sim.conf"
{
  echo "# The office's adapters: address[,user[,password]]"
  for i in $(seq 1 20); do echo "$net.$i"; done
} >"$work/devices.txt"
echo ulx >"$work/password"
chmod 600 "$work/password"

build/tools/device_sim/ulx-device-sim --config "$work/sim.conf" --log "$work/sim.log" --exit-after 600000 &
sim=$!
trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null || true' EXIT
for _ in $(seq 50); do
  [ "$(grep -c '"event":"ready"' "$work/sim.log" 2>/dev/null)" = 19 ] && break
  sleep 0.1
done

echo "ulx-fleet --list $work/devices.txt --password-file $work/password --yes --report $work/report.csv"
status=0
build/ulx-fleet --list "$work/devices.txt" --password-file "$work/password" --yes \
  --report "$work/report.csv" || status=$?
echo
echo "== $work/report.csv"
awk -F, '{ printf "%-13s %-21s %-11s %-11s %-9s %s\n", $1, $2, $3, $4, $15, $5 }' "$work/report.csv"
echo
embedded=$(sha256sum "$(sed -n 's/^ULX_TARGET_IMAGE:FILEPATH=//p' build/CMakeCache.txt)" | cut -d' ' -f1)
received=$(grep '"event":"image_received"' "$work/sim.log" | grep -c "\"sha256\":\"$embedded\"" || true)
echo "$received devices received the embedded image byte for byte (SHA-256 $embedded)"
echo "ulx-fleet exit code: $status (1: some devices were not upgraded, as this fleet means)"
