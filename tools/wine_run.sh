#!/bin/sh
# Runs a Windows program under Wine in the test run's private prefix.
# tools/test.sh sets WINEPREFIX and DISPLAY (and, for the 64-bit test build,
# WINEARCH and ORVALEN_WINE); the defaults serve a manual run.
here=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX="${WINEPREFIX:-$here/build/wineprefix}"
export WINEARCH="${WINEARCH:-win32}"
export WINEDEBUG="${WINEDEBUG:--all}"
exec "${ORVALEN_WINE:-wine}" "$@"
