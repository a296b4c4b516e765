#!/usr/bin/env bash
# The Debian packages as a user meets them: built with cpack from a Release build, checked
# with lintian, installed with apt-get, used by an unprivileged user to upgrade
# ulx-device-sim over port 69, then purged without a trace. Run as root on Debian 12.
#   tests/package_test.sh [BUILD_DIR]        (default build-pkg)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-pkg}
user=ulx-pkgtest
packages=(ulx-upgrade ulx-upgrade-sim)
work=$(mktemp -d)
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# dpkg's state of package $1: not-installed, installed, config-files, ...
state() { dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null || echo not-installed; }
# Purges what is known to dpkg (apt-get fails on a local package it no longer knows).
purge() {
  local p installed=()
  for p in "${packages[@]}"; do [ "$(state "$p")" = not-installed ] || installed+=("$p"); done
  [ ${#installed[@]} -eq 0 ] || DEBIAN_FRONTEND=noninteractive apt-get purge -y -q "${installed[@]}" >"$work/purge.log" 2>&1
}
trap 'purge || true; rm -rf "$work"' EXIT

[ "$(id -u)" = 0 ] || { echo "package_test.sh must run as root"; exit 2; }
! grep -rqs '^path-exclude=*/usr/share/man' /etc/dpkg/dpkg.cfg.d/ ||
  { echo "this system's dpkg leaves out man pages (/etc/dpkg/dpkg.cfg.d): the man page checks cannot pass"; exit 2; }

echo "=== build and pack ($build)"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DULX_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >/dev/null)
debs=()
for p in "${packages[@]}"; do debs+=("$PWD/$(ls "$build/${p}"_*.deb)"); done
version=$(dpkg-deb -f "${debs[0]}" Version)

id "$user" >/dev/null 2>&1 || useradd --system --no-create-home --shell /usr/sbin/nologin "$user"
chmod 755 "$work"

echo "=== lintian"
setpriv --reuid="$user" --regid="$user" --init-groups --inh-caps=-all env HOME="$work" \
  lintian --fail-on error "${debs[@]}" || fail "lintian reports errors"

echo "=== install"
purge
DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${debs[@]}" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "apt-get install"; exit 1; }
dpkg -L "${packages[@]}" | sort -u >"$work/files"
mapfile -t programs < <(grep '^/usr/bin/' "$work/files")

# Every program has its own man page in section 1, and all but the desktop one answer
# --help and --version.
for program in "${programs[@]}"; do
  name=$(basename "$program")
  [ "$(man -w 1 "$name" 2>/dev/null)" = "/usr/share/man/man1/$name.1.gz" ] || fail "man -w 1 $name: not its page"
  if [ "$name" = ulx-upgrade ]; then continue; fi
  out=$("$program" --version) || fail "$name --version exits $?"
  [ "${out%%$'\n'*}" = "$name $version" ] || fail "$name --version says '${out%%$'\n'*}', not '$name $version'"
  out=$("$program" --help) || fail "$name --help exits $?"
  [[ $out == "usage: $name"* ]] || fail "$name --help shows no usage"
done
[[ $(/usr/bin/ulx-upgrade-script --version) == *$'\nfirmware: '* ]] || fail "ulx-upgrade-script --version names no firmware"

[ "$(/usr/bin/ulx-upgrade-script </dev/null | tail -n 1)" = "exit 0" ] || fail "ulx-upgrade-script </dev/null: no 'exit 0'"

# ulx-upgrade-script's capability is proven by the upgrade below.
getcap /usr/bin/ulx-upgrade | grep -q 'cap_net_bind_service=ep' || fail "getcap ulx-upgrade: '$(getcap /usr/bin/ulx-upgrade)'"
desktop-file-validate /usr/share/applications/ulx-upgrade.desktop || fail "desktop-file-validate"

# The upgrade: the installed ulx-device-sim plays the device on 127.0.0.2:80 (as root:
# port 80 is privileged) and the installed ulx-upgrade-script runs as the unprivileged
# user, driven by ulx-demo; its TFTP server can bind port 69 only through the capability.
# A private network namespace, where there may be one, keeps the ports apart.
echo "=== upgrade by user $user"
touch "$work/who" && chown "$user" "$work/who"
cat >"$work/as-user" <<SCRIPT
#!/bin/sh
exec setpriv --reuid=$user --regid=$user --init-groups --inh-caps=-all \\
  sh -c 'id -un >"\$0"; exec /usr/bin/ulx-upgrade-script' "$work/who"
SCRIPT
chmod 755 "$work/as-user"
image=$(sed -n 's/^ULX_TARGET_IMAGE:FILEPATH=//p' "$build/CMakeCache.txt")
ns=()
if unshare -n true 2>/dev/null; then ns=(unshare -n); fi
"${ns[@]}" sh -c 'ip link set lo up && exec "$@"' sh "$build/tools/ulx-demo" --sim /usr/bin/ulx-device-sim \
  --script "$work/as-user" --image "$image" --log "$work/device.log" >"$work/demo.log" 2>&1 ||
  { cat "$work/demo.log"; fail "the upgrade by $user"; }
[ "$(cat "$work/who")" = "$user" ] || fail "ulx-upgrade-script ran as '$(cat "$work/who")', not $user"
grep -q '"event":"upgrade_order".*"port":69,' "$work/device.log" || fail "the upgrade order names no port 69"

echo "=== purge"
purge
for p in "${packages[@]}"; do
  [ "$(state "$p")" = not-installed ] || fail "$p is $(state "$p") after the purge"
  if [ -e "/usr/share/doc/$p" ]; then fail "/usr/share/doc/$p is left after the purge"; fi
done
while read -r file; do
  # Shared directories such as /usr/bin stay.
  if [ ! -d "$file" ] && [ -e "$file" ]; then fail "$file is left after the purge"; fi
done <"$work/files"

[ "$failures" -eq 0 ] || { echo "package test: $failures failure(s)"; exit 1; }
echo "package test: all checks passed"
