#!/usr/bin/env bash
# Installs what the build and the tests need, on Debian 12, as root.
set -euo pipefail
packages=(cmake make g++ libgtest-dev libgmock-dev libssl-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi
