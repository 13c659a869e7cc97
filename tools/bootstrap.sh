#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine.
# Safe to run again: it only installs what is missing, and says what.
set -euo pipefail

packages=(
  cmake ninja-build g++ googletest libgtest-dev
  g++-mingw-w64-i686-posix binutils-mingw-w64-i686
  wine wine32:i386 xvfb imagemagick python3 procps iproute2 util-linux nsis
  clang-14 libfuzzer-14-dev libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "bootstrap: run as root to install: ${missing[*]}" >&2
  exit 1
fi

echo "bootstrap: installing ${missing[*]}"
echo "bootstrap: on a fresh machine that is about 400 MB (the cross compiler and Wine are most of it)"
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "bootstrap: adding the i386 architecture for 32-bit Wine"
  dpkg --add-architecture i386
fi
echo "bootstrap: updating the package lists"
apt-get update
apt-get install -y --no-install-recommends "${missing[@]}"
echo "bootstrap: done"
