#!/bin/sh
# Runs a Windows program under Wine in the test run's private prefix.
# tests/run.sh sets WINEPREFIX and DISPLAY (and, for the 64-bit test build,
# WINEARCH and ORVALEN_WINE); the defaults serve a manual run.
here=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX="${WINEPREFIX:-$here/build/wineprefix}"
export WINEARCH="${WINEARCH:-win32}"
export WINEDEBUG="${WINEDEBUG:--all}"
# Wine starts its desktop and background processes with the first program
# that needs them; they inherit its output and outlive it. Given our caller's
# pipe, they would keep the caller waiting for its end: they get a file.
out=$(mktemp)
"${ORVALEN_WINE:-wine}" "$@" >"$out" 2>&1
status=$?
cat "$out"
rm -f "$out"
exit $status
