#!/usr/bin/env bash
# Installs what the build and the tests need, on Debian 12, as root.
set -euo pipefail
packages=(cmake make g++ libgtest-dev libgmock-dev libssl-dev apache2 apache2-utils lighttpd atftp busybox curl tftpd-hpa qt6-base-dev fonts-liberation libcap2-bin xvfb xdotool imagemagick)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi
# Installing a server package may start it on port 80 or 69; the tests start
# their own peers on loopback addresses and need those ports free.
for s in apache2 lighttpd tftpd-hpa; do
  if [ -x "/etc/init.d/$s" ]; then service "$s" stop >/dev/null 2>&1 || true; fi
done
