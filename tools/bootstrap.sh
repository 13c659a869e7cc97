#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine.
# Safe to run again: it only installs what is missing, and says what.
set -euo pipefail

# Both Windows builds ship, so both cross compilers are needed everywhere;
# 64-bit Wine runs the 64-bit build, beside the 32-bit one where 32-bit Wine
# runs and instead of it where it does not.
packages=(
  cmake ninja-build g++ googletest libgtest-dev
  g++-mingw-w64-i686-posix binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64 xvfb imagemagick python3 procps iproute2 util-linux nsis
  clang-14 libfuzzer-14-dev libclang-rt-14-dev libssl-dev
)
# 32-bit Wine needs i386 packages of the same versions as the system's own:
# a mirror whose i386 updates lag behind cannot give them.
packages32=(wine32:i386)

missing=() missing32=()
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
for p in "${packages32[@]}"; do installed "$p" || missing32+=("$p"); done
here=$(cd "$(dirname "$0")" && pwd)
# OpenSSL for Windows, built once per version, and chrony as the tests' NTS
# server, unpacked: both into a cache outside the tree.
openssl_win() {
  bash "$here/../tests/timeserver/chrony_unpack.sh" >/dev/null || return 1
  bash "$here/openssl_win.sh" mingw >/dev/null || return 1
  bash "$here/openssl_win.sh" mingw64 >/dev/null || return 1
}
# A 32-bit Wine that could not be installed is asked for once a run, not at
# each build of it (the build scripts set ORVALEN_BOOTSTRAPPED after the first).
if [ ${#missing[@]} -eq 0 ] && { [ ${#missing32[@]} -eq 0 ] || [ -n "${ORVALEN_BOOTSTRAPPED:-}" ]; }; then
  openssl_win
  exit
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "bootstrap: run as root to install: ${missing[*]} ${missing32[*]}" >&2
  exit 1
fi

echo "bootstrap: installing ${missing[*]} ${missing32[*]}"
echo "bootstrap: on a fresh Debian 12 that is about 3 GB once installed (Wine, the cross compilers and clang are most of it)"
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "bootstrap: adding the i386 architecture for 32-bit Wine"
  dpkg --add-architecture i386
fi
echo "bootstrap: updating the package lists"
# One index that a mirror serves out of step fails the whole update; the
# lists it did fetch still serve, and an install that needs the rest says so.
apt-get update || echo "bootstrap: some package lists could not be updated; going on with the others" >&2
[ ${#missing[@]} -eq 0 ] || apt-get install -y --no-install-recommends "${missing[@]}"
if [ ${#missing32[@]} -gt 0 ] && ! apt-get install -y --no-install-recommends "${missing32[@]}"; then
  echo "bootstrap: 32-bit Wine could not be installed: the Windows-side tests will run" >&2
  echo "  against the 64-bit build under 64-bit Wine" >&2
  # An i386 list that failed keeps its whole suite's lists at their old
  # state: without i386 packages, the architecture goes again, so that the
  # next update (OpenSSL's source, below) is whole.
  if [ -z "$(dpkg-query -W -f='${Architecture}\n' | grep -x i386)" ] && dpkg --remove-architecture i386; then
    apt-get update >/dev/null 2>&1 || true
  fi
fi
openssl_win || exit 1
echo "bootstrap: done"
