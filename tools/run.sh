#!/usr/bin/env bash
# Builds Orvalen.exe and runs it under Wine, in a prefix of its own under
# build/ that keeps its settings from one run to the next. Without a display
# it starts a virtual one and saves a picture of it to build/run.png every
# few seconds. Arguments are passed to the program ('s' as at log-on, 'u' to
# uninstall).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"
source "$root/tools/build_win.sh"
build_win Orvalen || exit 1
source "$root/tests/wine_session.sh"
program="$build/win/Orvalen.exe"
export WINEPREFIX="$build/run-prefix" WINEDEBUG=-all
arch=win32
if ! wine_can_run; then
  if ! wine64_can_run; then
    echo "32-bit Wine cannot run on this machine, and 64-bit Wine is missing."
    exit 1
  fi
  echo "32-bit Wine cannot run on this machine (its kernel runs no 32-bit code, or 32-bit"
  echo "Wine could not be installed): running the 64-bit build of Orvalen under 64-bit Wine instead."
  build_win64 Orvalen >/dev/null || exit 1
  program="$build/win64/Orvalen.exe"
  export WINEPREFIX="$build/run-prefix64"
  arch=win64
fi
wine_use_arch "$arch"

export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
xvfb=
shooter=
stop() {
  [ -n "$shooter" ] && kill "$shooter" 2>/dev/null
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
}
trap stop EXIT
if [ -z "${DISPLAY:-}" ]; then
  fd_file=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fd_file" >/dev/null 2>&1 &
  xvfb=$!
  for _ in $(seq 50); do [ -s "$fd_file" ] && break; sleep 0.1; done
  export DISPLAY=":$(head -n1 "$fd_file")"
  rm -f "$fd_file"
  (
    while kill -0 "$xvfb" 2>/dev/null; do
      /usr/bin/import -window root "$build/run.tmp.png" 2>/dev/null &&
        mv -f "$build/run.tmp.png" "$build/run.png"
      sleep 3
    done
  ) &
  shooter=$!
  echo "No display here: running on the virtual display $DISPLAY."
  echo "A picture of it is saved to $build/run.png every 3 seconds."
fi
"${ORVALEN_WINE:-wine}" "$program" "$@"
status=$?
wineserver -w
exit $status
