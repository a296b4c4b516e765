#!/usr/bin/env bash
# CPU of the shipped ulx-upgrade-script (real clock) while it waits (not a
# test), driven by ulx-fleet against ulx-device-sim in a private network
# namespace:
#   (a) waiting for the device's read request (the device waits 60 s after
#       the upgrade order before it asks),
#   (b) the 30 s wait for the device's restart after the transfer,
#   (c) a request to a device that took the connection and says nothing
#       (--no-answer; the program gives such an answer 10 s of silence).
# Each is measured over SECONDS of wall time inside the wait, as CPU summed
# over every thread of the program from /proc/PID/task/*/schedstat (its
# first field, ns on the CPU), and printed as ms of CPU per second of wall
# time. ulx-fleet and the simulator are not counted.
#   bench/waits.sh [SECONDS] [ROUNDS]   (default 5 s, 3 rounds: median; needs root)
#   ULX_BENCH_BUILD=build bench/waits.sh    (an existing build tree)
#   ULX_BENCH_THREADS=1 also prints each thread's CPU and times scheduled
#   (to stderr), to see which thread a wait's cost is
set -euo pipefail
. "$(dirname "$0")/netns.sh"
span=${1:-5}
rounds=${2:-3}
# ULX_BENCH_BUILD names a configured build tree to use as it is.
build=${ULX_BENCH_BUILD:-build-bench}
[ -n "${ULX_BENCH_BUILD:-}" ] ||
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DULX_BUILD_TESTS=OFF -DULX_QT=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target ulx-fleet ulx-upgrade-script ulx-device-sim >/dev/null
fleet=$build/ulx-fleet
program=$build/ulx-upgrade-script
sim=$build/tools/device_sim/ulx-device-sim
work=$(mktemp -d /tmp/ulx-waits-bench.XXXXXX)
simpid='' fpid=''
stop_all() {
  [ -n "$fpid" ] && kill "$fpid" 2>/dev/null
  [ -n "$simpid" ] && kill "$simpid" 2>/dev/null
  wait 2>/dev/null || true
  fpid='' simpid=''
}
trap 'stop_all; rm -rf "$work"' EXIT

# ns on the CPU, summed over the threads of PID.
cpu_ns() {
  cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { printf "%d\n", s }'
}
# "TID ns-on-cpu times-scheduled" for each thread of PID, sorted by TID.
thread_stats() {
  for t in /proc/"$1"/task/*; do echo "${t##*/} $(cut -d' ' -f1,3 "$t/schedstat" 2>/dev/null)"; done | sort
}
# Waits (up to 60 s) for a line with EVENT in the simulator's log.
await_event() {
  for _ in $(seq 600); do
    grep -q "\"event\":\"$1\"" "$work/sim.log" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "no $1 event from the simulator" >&2
  return 1
}
# One measurement: DEVICE, EVENT after which the program waits, seconds to
# let pass after it, simulator options. Prints ms of CPU per second.
measure() {
  local device=$1 event=$2 settle=$3
  shift 3
  rm -f "$work/sim.log"
  "$sim" --address "$device" --log "$work/sim.log" "$@" &
  simpid=$!
  for _ in $(seq 100); do
    grep -q '"event":"ready"' "$work/sim.log" 2>/dev/null && break
    sleep 0.1
  done
  echo "$device" >"$work/devices.txt"
  "$fleet" --list "$work/devices.txt" --yes --program "$program" >"$work/fleet.log" 2>&1 &
  fpid=$!
  await_event "$event"
  sleep "$settle"
  local pid
  pid=$(pgrep -P "$fpid" | head -1)
  [ -n "$pid" ] || { echo "no program under ulx-fleet" >&2; return 1; }
  local t0 c0 t1 c1
  [ -z "${ULX_BENCH_THREADS:-}" ] || thread_stats "$pid" >"$work/threads0"
  c0=$(cpu_ns "$pid")
  t0=$(date +%s%N)
  sleep "$span"
  c1=$(cpu_ns "$pid")
  t1=$(date +%s%N)
  if [ -n "${ULX_BENCH_THREADS:-}" ]; then
    thread_stats "$pid" >"$work/threads1"
    join "$work/threads0" "$work/threads1" |
      awk -v e="$event" '{ printf "  after %s, thread %s: %.0f us of CPU, scheduled %d times\n", e, $1, ($4 - $2) / 1000, $5 - $3 }' >&2
  fi
  kill -0 "$pid" 2>/dev/null || { echo "the program ended inside the measurement" >&2; return 1; }
  kill "$pid" 2>/dev/null  # the program first: ulx-fleet ends once its program has
  stop_all
  echo "$c0 $c1 $t0 $t1" | awk '{ printf "%.3f\n", ($2 - $1) / 1e6 / (($4 - $3) / 1e9) }'
}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

declare -A results
for r in $(seq "$rounds"); do
  results[a]+="$(measure 127.0.14.1 upgrade_order 1 --idle-delay 60000) "
  results[b]+="$(measure 127.0.14.2 image_received 2 --restart-ms 60000) "
  results[c]+="$(measure 127.0.14.3 http_request 1 --no-answer) "
done
echo "CPU of the shipped ulx-upgrade-script while it waits, all threads (schedstat), $span s each, median of $rounds, $(nproc) cores"
show() { printf '%-62s %8s ms/s   (runs: %s)\n' "$1" "$(echo "${results[$2]}" | tr ' ' '\n' | grep . | median)" "${results[$2]% }"; }
show "(a) waiting for the device's read request" a
show "(b) the 30 s wait for the device's restart" b
show "(c) a request to a device that accepted and says nothing" c
