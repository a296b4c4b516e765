#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build-fuzz/) and runs each for a
# while on a copy of its seed corpus (tests/fuzz/corpus/<name>/), then
# prints its executions and findings. Fails when a target finds anything.
#   tools/run-fuzz.sh [seconds-per-target]     (default 30; CI uses the default)
# A longer campaign, keeping what each target learns in build-fuzz/work/:
#   ULX_FUZZ_KEEP=1 tools/run-fuzz.sh 3600
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
if [ "$(id -u)" = 0 ]; then tools/install-deps.sh --fuzz; fi
dir=build-fuzz
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DULX_FUZZ=ON -DULX_BUILD_TESTS=OFF -DULX_BUILD_TOOLS=OFF \
  -DULX_QT=OFF "${launcher[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)" --target fuzzers

failed=0
while read -r name binary; do
  short=${name#fuzz_}
  seeds=tests/fuzz/corpus/$short
  [ -d "$seeds" ] || seeds=tests/fuzz/corpus/$name
  work=$dir/work/$name
  if [ "${ULX_FUZZ_KEEP:-}" != 1 ] || [ ! -d "$work/corpus" ]; then
    rm -rf "$work"
    mkdir -p "$work/corpus"
    if [ -d "$seeds" ]; then cp -r "$seeds"/. "$work/corpus/"; fi
  fi
  mkdir -p "$work/findings"
  rc=0
  "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$work/findings/" "$work/corpus" >"$work/log" 2>&1 || rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -1)
  findings=$(find "$work/findings" -type f | wc -l)
  printf '%-20s %12s executions  %d findings  (corpus %d)\n' "$name" "${runs:-?}" "$findings" \
    "$(find "$work/corpus" -type f | wc -l)"
  if [ "$rc" != 0 ] || [ "$findings" != 0 ]; then
    failed=1
    echo "--- $name (exit $rc): $work/log, findings in $work/findings/" >&2
    grep -E 'ERROR|SUMMARY|==[0-9]+==|runtime error' "$work/log" | head -20 >&2 || true
  fi
done <"$dir/fuzzers.txt"
exit "$failed"
