#!/usr/bin/env bash
# Builds OpenSSL's libcrypto and libssl as static libraries for Windows from
# Debian's upstream source, once per version and target, into a cache outside
# the work tree, and prints the folder (include/, lib/, LICENSE.txt).
#   openssl_win.sh mingw|mingw64
# Needs root the first time (a deb-src entry, the source download, the cache).
set -euo pipefail
target=$1
case "$target" in
  mingw) prefix=i686-w64-mingw32- ;;
  mingw64) prefix=x86_64-w64-mingw32- ;;
  *) echo "openssl_win.sh: target mingw or mingw64" >&2; exit 2 ;;
esac
cache=${ORVALEN_CACHE:-/var/cache/orvalen}
# The Windows build takes the version of the native one, which the unit tests link.
find_version() {
  debian_version=$(dpkg-query -W -f='${Version}' libssl-dev)
  version=${debian_version%%-*}
  dir="$cache/openssl-$version-$target-r$recipe"
}
# Prints the folder when that version is built already.
built() { [ -e "$dir/.complete" ] && echo "$dir"; }
# The recipe's revision: raised whenever the options below change.
recipe=3
find_version
built && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "openssl_win.sh: run as root to build OpenSSL $version for $target into $cache" >&2
  exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The source packages come from the mirror the binary ones come from.
sources=/etc/apt/sources.list.d/orvalen-src.sources
has_source() { apt-get source --print-uris "openssl=$debian_version" >/dev/null 2>&1; }
if ! has_source; then
  sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources >"$sources"
  # A list out of step on the mirror fails the update; the source list is
  # what is needed, and the download below says when it is missing.
  apt-get update >&2 || true
fi
# A mirror that has moved on keeps only its newest source: the native
# OpenSSL follows it, so that both builds stay on one version.
if ! has_source; then
  echo "openssl_win.sh: no source of OpenSSL $debian_version here: updating libssl-dev" >&2
  apt-get install -y --no-install-recommends libssl-dev >&2
  find_version
  built && exit 0
fi
echo "openssl_win.sh: building OpenSSL $version for $target (a few minutes, once)" >&2
# Only the upstream tarball is needed; a Debian patch file that fails to
# download does not matter.
(cd "$work" && apt-get source --download-only "openssl=$debian_version" >&2) || true
tarball=$(ls "$work"/openssl_"$version".orig.tar.gz 2>/dev/null || true)
if [ -z "$tarball" ]; then
  echo "openssl_win.sh: no upstream source of OpenSSL $version" >&2
  exit 1
fi
tar -xzf "$tarball" -C "$work"
cd "$work/openssl-$version"
# Windows XP first: without _WIN32_WINNT at 0x0501 mingw-w64 targets Windows
# 10, and OpenSSL would take Vista's locks and once-only calls.
# A 64-bit time_t, which 32-bit mingw-w64 gives only when asked: with the
# 32-bit one every certificate reads as not yet valid from 2038 on. No
# OpenSSL call the program makes passes a time_t or a struct holding one.
# No configuration file read on its own: the compiled-in place, \usr\local\ssl
# on the current drive, is a folder any user may create, and a file there
# could change which roots an elevated Orvalen trusts.
./Configure "$target" --cross-compile-prefix="$prefix" -D_WIN32_WINNT=0x0501 -D__MINGW_USE_VC2005_COMPAT \
  no-shared no-module no-dso no-engine no-tests no-legacy no-autoload-config \
  no-dtls no-srp no-comp no-cmp no-ts >&2
make -j 2 build_libs >&2
mkdir -p "$dir.new/lib" "$dir.new/include"
cp libcrypto.a libssl.a "$dir.new/lib/"
cp -r include/openssl "$dir.new/include/"
cp LICENSE.txt "$dir.new/"
rm -rf "$dir"
mv "$dir.new" "$dir"
touch "$dir/.complete"
echo "$dir"
