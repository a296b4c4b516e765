#!/usr/bin/env bash
# The TFTP benchmark: the shipped image served to atftp on loopback by this
# program's listener and session and by Debian's in.tftpd (medians and
# ratio), then the CPU time of a listener idling for 10 s.
#   bench/run.sh [--runs N]
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v atftp >/dev/null || ! command -v in.tftpd >/dev/null; then
  tools/install-deps.sh
fi
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=RelWithDebInfo -DULX_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench --target ulx-tftp-bench -j"$(nproc)" >/dev/null
exec build-bench/bench/ulx-tftp-bench --image images/ulx7400-3.1.7.bin "$@"
