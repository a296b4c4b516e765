#!/usr/bin/env bash
# Fleet benchmark (not a test): ulx-fleet upgrading 1, 10, 50 and 100
# simulated devices (or 1,000, see below) with the shipped
# ulx-upgrade-script (real clock: the devices' 30 s restart included), in a
# private network namespace. For each
# size: wall time, CPU time (ulx-fleet and every program it ran; the
# simulator apart), peak memory (PSS summed over ulx-fleet and its
# programs, sampled every 0.5 s) and whether every device got the embedded
# image byte for byte (SHA-256 in the simulator's log), CPU seconds per
# device, and the PSS of one program when the most of them ran. Then the CPU a
# program uses while it waits for the download, 100 of them at once.
# A size above 100 spreads its devices over local networks, one local
# address each: a program's TFTP server takes one of the ports 69 to 168 of
# its local address, so 100 programs at once per address, and a program
# offers at most 8 local addresses, so 8 networks at most. Devices 127.0.N.1
# and up are upgraded from 127.0.N.200/24, N from 20 up; 127.0.0.1 is taken
# away so that each device's own network is the one ulx-fleet picks;
# ulx-fleet runs 200 jobs at once (ULX_BENCH_JOBS): on 2 cores, 400 at once
# end sooner (1,000 devices in about 140 s instead of 195 s) for some 60 %
# more CPU per device, as more transfers share the processors.
#   bench/fleet.sh [SIZES...]      (default: 1 10 50 100; needs root)
#   bench/fleet.sh 1000            (1,000 devices, 125 on each of 8 local addresses)
#   ULX_BENCH_BUILD=build bench/fleet.sh ...   (an existing build tree)
#   ULX_BENCH_NO_IDLE=1 skips the 100 waiting programs at the end
#   ULX_BENCH_KEEP=1 keeps the logs and reports (their folder is printed)
set -euo pipefail
. "$(dirname "$0")/netns.sh"
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1 10 50 100)
build=${ULX_BENCH_BUILD:-build-bench}
[ -n "${ULX_BENCH_BUILD:-}" ] ||
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DULX_BUILD_TESTS=OFF -DULX_QT=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target ulx-fleet ulx-upgrade-script ulx-device-sim >/dev/null
fleet=$build/ulx-fleet
sim=$build/tools/device_sim/ulx-device-sim
image=$(sed -n 's/^ULX_TARGET_IMAGE:FILEPATH=//p' "$build/CMakeCache.txt")
embedded=$(sha256sum "$image" | cut -d' ' -f1)
work=$(mktemp -d /tmp/ulx-fleet-bench.XXXXXX)
ticks=$(getconf CLK_TCK)

# CPU seconds (user + system) of a process.
cpu_of() { awk -v t="$ticks" '{ sub(/^.*\) /, ""); print ($12 + $13) / t }' "/proc/$1/stat" 2>/dev/null || echo 0; }
# PSS in KiB of a process and all its descendants, then that of the
# ulx-upgrade-script programs among them and how many they are (one cat and
# one awk, however many they are).
pss_tree() {
  local all programs
  all=$(ps -e -o pid=,ppid=,comm= | awk -v root="$1" '
      { parent[$1] = $2; name[$1] = $3 } END {
        for (p in parent) { q = p; while (q in parent && q != root) q = parent[q]; if (q == root) print p, name[p] } }')
  programs=$(echo "$all" | awk '$2 ~ /^ulx-upgrade-scr/ { print $1 }')
  pss_of() { [ -n "$1" ] && cat $(printf '/proc/%s/smaps_rollup ' $1) 2>/dev/null | awk '/^Pss:/ { s += $2 } END { print s + 0 }' || echo 0; }
  echo "$(pss_of "$(echo "$all" | awk '{ print $1 }')") $(pss_of "$programs") $(echo "$programs" | grep -c .)"
}
start_sim() {  # N, first address (or "config": one device a line of $work/sim.conf), extra options
  rm -f "$work/sim.log"
  local where=(--devices "$1" --first-address "$2")
  [ "$2" = config ] && where=(--config "$work/sim.conf")
  "$sim" "${where[@]}" --log "$work/sim.log" --exit-after 900000 "${@:3}" &
  simpid=$!
  for _ in $(seq 300); do
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
printf '%8s %9s %10s %13s %9s %12s %14s %10s %s\n' devices wall_s cpu_s cpu_s_per_dev sim_cpu_s peak_pss_MiB \
  pss_per_prog_KiB upgraded byte_for_byte
for n in "${sizes[@]}"; do
  jobs=100
  if [ "$n" -gt 100 ]; then
    nets=$(((n + 99) / 100))
    [ "$nets" -le 8 ] || nets=8
    per=$(((n + nets - 1) / nets))
    [ "$per" -lt 200 ] || { echo "at most $((8 * 199)) devices" >&2; exit 2; }
    ip addr del 127.0.0.1/8 dev lo 2>/dev/null || true
    : >"$work/devices.txt"
    for k in $(seq 0 $((nets - 1))); do
      ip addr add "127.0.$((20 + k)).200/24" dev lo 2>/dev/null || true
      for i in $(seq 1 "$per"); do
        if [ $((k * per + i)) -le "$n" ]; then echo "127.0.$((20 + k)).$i"; fi
      done >>"$work/devices.txt"
    done
    cp "$work/devices.txt" "$work/sim.conf"
    start_sim "$n" config
    jobs=${ULX_BENCH_JOBS:-200}
  else
    start_sim "$n" 127.0.11.1
    list "$n" 11
  fi
  sim_before=$(cpu_of "$simpid")
  # /usr/bin/time counts the fleet and every program it reaped.
  /usr/bin/time -f '%e %U %S %M' -o "$work/time-$n" "$fleet" --list "$work/devices.txt" --yes --jobs "$jobs" \
    --report "$work/report-$n.csv" >"$work/fleet-$n.log" 2>&1 &
  tpid=$!
  peak=0 peak_per=0 most=0
  while kill -0 "$tpid" 2>/dev/null; do
    read -r p progs count < <(pss_tree "$tpid")
    [ -n "$p" ] || continue
    [ "$p" -gt "$peak" ] && peak=$p
    # Memory per running program: at the moment the most programs ran.
    if [ "${count:-0}" -gt "$most" ]; then most=$count peak_per=$((progs / count)); fi
    sleep 0.5
  done
  wait "$tpid" || true
  read -r wall user system maxrss < <(tail -1 "$work/time-$n") || true
  cpu=$(echo "$user + $system" | bc)
  sim_cpu=$(echo "$(cpu_of "$simpid") - $sim_before" | bc)
  stop_sim
  upgraded=$(grep -c ',upgraded,' "$work/report-$n.csv" || true)
  same=$(grep '"event":"image_received"' "$work/sim.log" | grep -c "\"sha256\":\"$embedded\"" || true)
  printf '%8d %9.1f %10.2f %13.3f %9.2f %12.1f %14.0f %10s %s\n' "$n" "$wall" "$cpu" "$(echo "$cpu / $n" | bc -l)" \
    "$sim_cpu" "$(echo "$peak / 1024" | bc -l)" "$(echo "$peak_per" | bc -l)" "$upgraded/$n" "$same/$n"
done
cleanup() { if [ -n "${ULX_BENCH_KEEP:-}" ]; then echo "logs and reports kept in $work"; else rm -rf "$work"; fi; }
[ -n "${ULX_BENCH_NO_IDLE:-}" ] && { cleanup; exit 0; }
ip addr add 127.0.0.1/8 dev lo 2>/dev/null || true

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
cleanup
