#!/usr/bin/env bash
# Installs what the build and the tests need, on Debian 12, as root.
#   tools/install-deps.sh            the Linux programs, the tools and the tests
#   tools/install-deps.sh --programs only what the programs need
#                                    (-DULX_BUILD_TESTS=OFF -DULX_BUILD_TOOLS=OFF)
#   tools/install-deps.sh --windows  also the mingw-w64 cross compiler and
#                                    (64- and 32-bit), Wine 8 with its 32-bit
#                                    half and a window manager for the
#                                    Windows program's test (about 1.8 GB more)
#   tools/install-deps.sh --fuzz     also clang 14 and its libFuzzer for the
#                                    fuzz targets (tools/run-fuzz.sh)
set -euo pipefail
# The programs, their man pages and their install (setcap).
packages=(cmake make g++ qt6-base-dev fonts-liberation libcap2-bin scdoc)
# The tools (OpenSSL), the tests and their peers (ansible-core for the Ansible
# collection's), the Debian packages and their test.
tool_and_test_packages=(libssl-dev libgtest-dev libgmock-dev apache2 apache2-utils lighttpd atftp busybox curl tftpd-hpa
  xvfb xdotool imagemagick x11-utils dpkg-dev file lintian desktop-file-utils man-db iproute2 util-linux
  ansible-core)
case " $* " in
  *" --programs "*) ;;
  *) packages+=("${tool_and_test_packages[@]}") ;;
esac
for option in "$@"; do
  case $option in
    --programs) ;;
    --windows)
      packages+=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 g++-mingw-w64-i686-posix binutils-mingw-w64-i686
                 wine wine64 wine32:i386 fonts-wine xclip openbox)
      # The 32-bit half of Wine runs the 32-bit exe.
      if ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
        apt-get update
      fi
      ;;
    --fuzz) packages+=(clang libclang-rt-14-dev) ;;
  esac
done
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
