#!/usr/bin/env bash
# Builds everything and starts ulx-upgrade-script: type protocol commands
# (see the README) to walk the dialogs; end the input (Ctrl-D) to close
# every window.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
exec build/ulx-upgrade-script
