#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine.
# Safe to run again: it only installs what is missing, and says what.
set -euo pipefail

packages=(
  cmake ninja-build g++ googletest libgtest-dev
  g++-mingw-w64-i686-posix binutils-mingw-w64-i686
  wine wine32:i386 xvfb imagemagick python3 procps iproute2 util-linux nsis
  clang-14 libfuzzer-14-dev libclang-rt-14-dev libssl-dev
)

# A kernel that runs no 32-bit code (some virtual machines) cannot start
# 32-bit Wine: there the Windows-side tests run as a 64-bit build instead.
if [ -e /lib/ld-linux.so.2 ] && ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  packages+=(wine64 g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
here=$(cd "$(dirname "$0")" && pwd)
# OpenSSL for Windows, built once per version, and chrony as the tests' NTS
# server, unpacked: both into a cache outside the tree.
openssl_win() {
  bash "$here/../tests/timeserver/chrony_unpack.sh" >/dev/null || return 1
  bash "$here/openssl_win.sh" mingw >/dev/null || return 1
  if ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
    bash "$here/openssl_win.sh" mingw64 >/dev/null || return 1
  fi
}
if [ ${#missing[@]} -eq 0 ]; then
  openssl_win
  exit
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "bootstrap: run as root to install: ${missing[*]}" >&2
  exit 1
fi

echo "bootstrap: installing ${missing[*]}"
echo "bootstrap: on a fresh Debian 12 that is about 3 GB once installed (Wine, the cross compilers and clang are most of it)"
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "bootstrap: adding the i386 architecture for 32-bit Wine"
  dpkg --add-architecture i386
fi
echo "bootstrap: updating the package lists"
apt-get update
apt-get install -y --no-install-recommends "${missing[@]}"
# Only now can a fresh machine tell whether it runs 32-bit code.
if ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  echo "bootstrap: this kernel runs no 32-bit code; adding 64-bit Wine and compiler for the tests"
  apt-get install -y --no-install-recommends wine64 g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
fi
openssl_win || exit 1
echo "bootstrap: done"
