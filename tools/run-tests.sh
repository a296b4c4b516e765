#!/usr/bin/env bash
# The whole test suite: the normal build (its ctest also runs the Ansible
# collection's playbook against two simulated sites), the Debian packages installed,
# used and purged, the Windows program cross-built and driven under Wine,
# then the same tests built with AddressSanitizer +
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

# The packages from a Release build: lintian, apt-get install, an upgrade
# by an unprivileged user over port 69, purge (needs root).
timeout 1200 tests/package_test.sh build-pkg

# ulx-upgrade.exe, 64- and 32-bit, checked against Windows 7; its test
# builds (the same program, the phone and two-stage variants, on a faster
# clock) checked too and driven under Wine against the native
# ulx-device-sim; screenshots in
# build-win/wine/screenshots and build-win32/wine/screenshots. Then the
# release zip (both exes and README.txt) from one command.
for arch in x86_64:build-win i686:build-win32; do
  dir=${arch#*:}
  echo "=== $dir"
  cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-w64-${arch%%:*}.cmake" -DULX_WERROR=ON \
    -DULX_WINDOWS_TEST_IMAGES="$PWD/build/tests/images" >/dev/null
  cmake --build "$dir" -j"$jobs"
  tests/windows_pe_check.sh "${arch%%:*}-w64-mingw32-objdump" "$dir"/ulx-upgrade*.exe "$dir"/ulx-test-upgrade.exe
  timeout 900 tests/wine_smoke_test.sh "$dir" build/tools/device_sim/ulx-device-sim "$dir/wine"
done
cmake --build build-win --target release
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  suite build-asan -DULX_SANITIZE=address,undefined
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 suite build-tsan -DULX_SANITIZE=thread

echo "=== build-fuzz"
tools/run-fuzz.sh
