#!/usr/bin/env bash
# The whole test suite: the normal build, the Windows program cross-built
# and driven under Wine, then the same tests built with AddressSanitizer +
# UndefinedBehaviorSanitizer and with ThreadSanitizer, then every fuzz
# target for 30 seconds (tools/run-fuzz.sh). Warnings are errors here.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh --windows --fuzz
jobs=$(nproc)

suite() {
  local dir=$1
  shift
  echo "=== $dir"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DULX_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" -j"$jobs" --output-on-failure --timeout 300
}

suite build

# ulx-upgrade.exe and its phone and two-stage variants, under Wine against
# the native ulx-device-sim; screenshots in build-win/wine/screenshots.
echo "=== build-win"
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DULX_WERROR=ON \
  -DULX_WINDOWS_TEST_IMAGES="$PWD/build/tests/images" >/dev/null
cmake --build build-win -j"$jobs"
timeout 600 tests/wine_smoke_test.sh build-win build/tools/device_sim/ulx-device-sim build-win/wine
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  suite build-asan -DULX_SANITIZE=address,undefined
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 suite build-tsan -DULX_SANITIZE=thread

echo "=== build-fuzz"
tools/run-fuzz.sh
