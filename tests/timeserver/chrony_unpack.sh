#!/usr/bin/env bash
# Unpacks Debian's chrony, which the tests run as an authenticated (NTS) time
# server on loopback, into a cache outside the work tree, without installing
# it (an installed chrony would start a daemon that sets this machine's
# clock), and prints the folder that holds usr/sbin/chronyd.
# Needs root the first time.
set -euo pipefail
cache=${ORVALEN_CACHE:-/var/cache/orvalen}
found=$(ls -d "$cache"/chrony-*/ 2>/dev/null | sort -V | tail -1 || true)
if [ -n "$found" ] && [ -e "$found/.complete" ]; then
  echo "${found%/}"
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "chrony_unpack.sh: run as root to unpack chrony into $cache" >&2
  exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"  # apt's download user writes there
(cd "$work" && apt-get download chrony >&2)
deb=$(ls "$work"/chrony_*.deb)
version=$(dpkg-deb -f "$deb" Version)
dir="$cache/chrony-$version"
rm -rf "$dir"
mkdir -p "$dir"
dpkg -x "$deb" "$dir"
touch "$dir/.complete"
echo "$dir"
