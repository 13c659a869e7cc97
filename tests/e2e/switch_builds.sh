#!/usr/bin/env bash
# A change of build on 64-bit Windows, in a 64-bit Wine prefix of its own
# that runs both programs: what a script and the 32-bit program stored, the
# 64-bit program that the shipped installer puts there reads, writes beside
# and deletes, all in the 32-bit registry view.
#   switch_builds.sh ORVALEN32.EXE ORVALEN64.EXE SETUP.EXE
# Exits 77, skipped, where 32-bit or 64-bit Wine cannot run.
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
source "$root/tools/build_win.sh"
if ! wine_can_run || ! wine64_can_run; then
  echo "SKIPPED: one Wine prefix cannot run both the 32-bit and the 64-bit program here"
  exit 77
fi
export WINEPREFIX="$(cd "$(dirname "$1")" && pwd)/wineprefix-switch" WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
wine64=/usr/lib/wine/wine64
out=$(mktemp)
trap 'wineserver -k; rm -f "$out"' EXIT
rm -rf "$WINEPREFIX"
"$wine64" wineboot -i >/dev/null 2>&1

fail() {
  echo "FAILED: $*"
  cat "$out"
  exit 1
}
settings='HKLM\SOFTWARE\Orvalen'
# The names of the servers that PROGRAM's /test asked, one a line.
asked() {
  "$wine64" "$1" /test >"$out" 2>&1 </dev/null
  grep $'\t' "$out" | cut -f1
}

# A deployment script's list: one server, unknown to the run's resolver.
version=$(sed -n 's/^#define ORVALEN_STORE_VERSION //p' "$root/resources/product.h")
name=$(printf 'switch.test' | od -An -tx1 | tr -d ' \n')
record=$(printf '%-256s01000000%040d' "$name" 0 | tr ' ' 0)  # ServerRecord: name, enabled
"$wine64" reg add "$settings" /v Version /t REG_DWORD /d "$version" /f /reg:32 >"$out" 2>&1 &&
  "$wine64" reg add "$settings" /v Server000 /t REG_BINARY /d "$record" /f /reg:32 >"$out" 2>&1 ||
  fail "reg add /reg:32"
[ "$(asked "$1")" = switch.test ] || fail "the 32-bit program did not ask the stored list"

"$wine64" "$3" /S /LOGON=0 >"$out" 2>&1 </dev/null || fail "the installer"
program="$WINEPREFIX/drive_c/Program Files/Orvalen/Orvalen.exe"
cmp -s "$program" "$2" || fail "the installer put no 64-bit program into the 64-bit Program Files"
[ "$(asked "$program")" = switch.test ] || fail "the 64-bit program did not ask the list the 32-bit one kept"
"$wine64" reg query "$settings" /reg:64 >"$out" 2>&1 && fail "the 64-bit program wrote the 64-bit view"

# Uninstalling with the program's own "u" deletes the settings, then says so
# in a box that nobody answers here.
"$wine64" "$program" u >/dev/null 2>&1 </dev/null &
uninstall=$!
for _ in $(seq 100); do
  "$wine64" reg query "$settings" /reg:32 >"$out" 2>&1 || break
  sleep 0.2
done
kill "$uninstall"
"$wine64" reg query "$settings" /reg:32 >"$out" 2>&1 && fail "the 64-bit program's uninstall left the settings"
echo "the 32-bit and the 64-bit program share their settings"
