#!/usr/bin/env bash
# Builds everything and upgrades a simulated device: ulx-device-sim plays a
# password-protected ULX on 127.0.0.2, and ulx-demo answers the dialogs of
# ulx-upgrade-script as a person would, printing each one.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
image=$(sed -n 's/^ULX_TARGET_IMAGE:FILEPATH=//p' build/CMakeCache.txt)
exec build/tools/ulx-demo --sim build/tools/device_sim/ulx-device-sim --script build/ulx-upgrade-script \
  --image "$image"
