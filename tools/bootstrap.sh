#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine.
# Safe to run again: it only installs what is missing, and says what.
set -euo pipefail

# Both Windows builds ship, so both cross compilers are needed everywhere;
# 64-bit Wine runs the 64-bit build, beside the 32-bit one where the kernel
# runs 32-bit code and instead of it where it does not.
packages=(
  cmake ninja-build g++ googletest libgtest-dev
  g++-mingw-w64-i686-posix binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine32:i386 wine64 xvfb imagemagick python3 procps iproute2 util-linux nsis
  clang-14 libfuzzer-14-dev libclang-rt-14-dev libssl-dev
)

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
  bash "$here/openssl_win.sh" mingw64 >/dev/null || return 1
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
openssl_win || exit 1
echo "bootstrap: done"
