#!/bin/sh
# Runs a Windows program under Wine in the test run's private prefix.
# tools/test.sh sets WINEPREFIX and DISPLAY (and, for the 64-bit test build,
# WINEARCH and ORVALEN_WINE); the defaults serve a manual run.
here=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX="${WINEPREFIX:-$here/build/wineprefix}"
export WINEARCH="${WINEARCH:-win32}"
export WINEDEBUG="${WINEDEBUG:--all}"
# The first program to show a window starts the desktop's process, which
# inherits its output and outlives it: given our caller's pipe, it would keep
# the caller waiting for the end of the output. It gets a file instead.
out=$(mktemp)
"${ORVALEN_WINE:-wine}" "$@" >"$out" 2>&1
status=$?
cat "$out"
rm -f "$out"
exit $status
