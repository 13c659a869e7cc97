#!/usr/bin/env bash
# Builds Orvalen.exe and runs it under Wine, in a prefix of its own under
# build/ that keeps its settings from one run to the next. Without a display
# it starts its own (a virtual one; nothing is shown then). Arguments are
# passed to the program ('s' as at log-on, 'u' to uninstall).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"
source "$root/tools/build_win.sh"
build_win Orvalen || exit 1

export WINEPREFIX="$build/run-prefix" WINEARCH=win32 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
xvfb=
if [ -z "${DISPLAY:-}" ]; then
  fd_file=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fd_file" >/dev/null 2>&1 &
  xvfb=$!
  for _ in $(seq 50); do [ -s "$fd_file" ] && break; sleep 0.1; done
  export DISPLAY=":$(head -n1 "$fd_file")"
  rm -f "$fd_file"
  echo "Running on the virtual display $DISPLAY (no screen attached)."
fi
trap '[ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null' EXIT
wine "$build/win/Orvalen.exe" "$@"
status=$?
wineserver -w
exit $status
