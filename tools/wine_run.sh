#!/bin/sh
# Runs a Windows program under Wine in the test run's private prefix.
# tools/test.sh sets WINEPREFIX and DISPLAY; the defaults serve a manual run.
here=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX="${WINEPREFIX:-$here/build/wineprefix}"
export WINEARCH=win32
export WINEDEBUG="${WINEDEBUG:--all}"
exec wine "$@"
