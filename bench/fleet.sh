#!/usr/bin/env bash
# Fleet benchmark (not a test): ulx-fleet upgrading 1, 10, 50 and 100
# simulated devices with the shipped ulx-upgrade-script (real clock: the
# devices' 30 s restart included), in a private network namespace. For each
# size: wall time, CPU time (ulx-fleet and every program it ran; the
# simulator apart), peak memory (PSS summed over ulx-fleet and its
# programs, sampled every 0.2 s) and whether every device got the embedded
# image byte for byte (SHA-256 in the simulator's log). Then the CPU a
# program uses while it waits for the download, 100 of them at once.
#   bench/fleet.sh [SIZES...]      (default: 1 10 50 100; needs root)
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${ULX_BENCH_NETNS:-}" ]; then
  exec unshare -n env ULX_BENCH_NETNS=1 "$0" "$@"
fi
ip link set lo up
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1 10 50 100)
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=RelWithDebInfo -DULX_BUILD_TESTS=OFF -DULX_QT=OFF >/dev/null
cmake --build build-bench -j"$(nproc)" --target ulx-fleet ulx-upgrade-script ulx-device-sim >/dev/null
fleet=build-bench/ulx-fleet
sim=build-bench/tools/device_sim/ulx-device-sim
image=$(sed -n 's/^ULX_TARGET_IMAGE:FILEPATH=//p' build-bench/CMakeCache.txt)
embedded=$(sha256sum "$image" | cut -d' ' -f1)
work=$(mktemp -d /tmp/ulx-fleet-bench.XXXXXX)
ticks=$(getconf CLK_TCK)

# CPU seconds (user + system) of a process.
cpu_of() { awk -v t="$ticks" '{ sub(/^.*\) /, ""); print ($12 + $13) / t }' "/proc/$1/stat" 2>/dev/null || echo 0; }
# PSS in KiB of a process and all its descendants.
pss_tree() {
  local total=0 p
  for p in $(ps -e -o pid=,ppid= | awk -v root="$1" '
      { parent[$1] = $2 } END {
        for (p in parent) { q = p; while (q in parent && q != root) q = parent[q]; if (q == root) print p } }'); do
    total=$((total + $(awk '/^Pss:/ { print $2 }' "/proc/$p/smaps_rollup" 2>/dev/null || echo 0)))
  done
  echo "$total"
}
start_sim() {  # N, first address, extra options
  rm -f "$work/sim.log"
  "$sim" --devices "$1" --first-address "$2" --log "$work/sim.log" --exit-after 900000 "${@:3}" &
  simpid=$!
  for _ in $(seq 100); do
    [ "$(grep -c '"event":"ready"' "$work/sim.log" 2>/dev/null || true)" = "$1" ] && return
    sleep 0.1
  done
  echo "the simulator did not start" >&2
  exit 1
}
stop_sim() { kill "$simpid" 2>/dev/null || true; wait "$simpid" 2>/dev/null || true; }
list() {  # N, net
  for i in $(seq 1 "$1"); do echo "127.0.$2.$i"; done >"$work/devices.txt"
}

echo "ulx-fleet benchmark on $(nproc) cores: shipped ulx-upgrade-script, real clock"
printf '%8s %9s %10s %9s %12s %10s %s\n' devices wall_s cpu_s sim_cpu_s peak_pss_MiB upgraded byte_for_byte
for n in "${sizes[@]}"; do
  start_sim "$n" 127.0.11.1
  list "$n" 11
  sim_before=$(cpu_of "$simpid")
  # /usr/bin/time counts the fleet and every program it reaped.
  /usr/bin/time -f '%e %U %S' -o "$work/time-$n" "$fleet" --list "$work/devices.txt" --yes --jobs 100 \
    --report "$work/report-$n.csv" >"$work/fleet-$n.log" 2>&1 &
  tpid=$!
  peak=0
  while kill -0 "$tpid" 2>/dev/null; do
    p=$(pss_tree "$tpid")
    [ "$p" -gt "$peak" ] && peak=$p
    sleep 0.2
  done
  wait "$tpid" || true
  read -r wall user system < <(tail -1 "$work/time-$n") || true
  cpu=$(echo "$user + $system" | bc)
  sim_cpu=$(echo "$(cpu_of "$simpid") - $sim_before" | bc)
  stop_sim
  upgraded=$(grep -c ',upgraded,' "$work/report-$n.csv" || true)
  same=$(grep '"event":"image_received"' "$work/sim.log" | grep -c "\"sha256\":\"$embedded\"" || true)
  printf '%8d %9.1f %10.2f %9.2f %12.1f %10s %s\n' "$n" "$wall" "$cpu" "$sim_cpu" "$(echo "$peak / 1024" | bc -l)" \
    "$upgraded/$n" "$same/$n"
done

# 100 programs waiting for their download: the devices wait 60 s before
# they ask.
n=100
start_sim "$n" 127.0.12.1 --idle-delay 60000
list "$n" 12
"$fleet" --list "$work/devices.txt" --yes --jobs 100 >"$work/idle.log" 2>&1 &
fpid=$!
for _ in $(seq 300); do
  [ "$(grep -c ' waiting for the download$' "$work/idle.log" || true)" = "$n" ] && break
  sleep 0.1
done
sleep 1
programs=$(ps -o pid= --ppid "$fpid")
sum_cpu() { local s=0 p; for p in $programs; do s=$(echo "$s + $(cpu_of "$p")" | bc); done; echo "$s"; }
before=$(sum_cpu)
fleet_before=$(cpu_of "$fpid")
sleep 10
after=$(sum_cpu)
fleet_after=$(cpu_of "$fpid")
count=$(echo "$programs" | wc -w)
kill -INT "$fpid"
wait "$fpid" || true
stop_sim
echo
printf 'waiting for the download, %d programs over 10 s: %.1f ms CPU per program per second (%.3f %% of a core), ulx-fleet itself %.1f ms/s\n' \
  "$count" "$(echo "($after - $before) * 100 / $count" | bc -l)" "$(echo "($after - $before) * 10 / $count" | bc -l)" \
  "$(echo "($fleet_after - $fleet_before) * 100" | bc -l)"
rm -rf "$work"
