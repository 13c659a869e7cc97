# Sourced: starts and stops the display and the Wine prefix of one test run.
source "$(dirname "${BASH_SOURCE[0]}")/../tools/build_win.sh"
# Everything started here is ended by process id in wine_session_stop.

# wine_session_start BUILD_DIR [win32|win64]
wine_session_start() {
  local dir
  dir=$(cd "$1" && pwd) || return 1
  export WINEPREFIX="$dir/wineprefix" WINEDEBUG=-all
  # A zone with summer time, so that a time converted by the wrong date's rule shows.
  export TZ=Europe/Berlin
  wine_use_arch "${2:-win32}"
  local wine=${ORVALEN_WINE:-wine}
  export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
  # A display of our own: tests must not touch the user's.
  local fd_file
  fd_file=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fd_file" >/dev/null 2>&1 &
  XVFB_PID=$!
  for _ in $(seq 50); do
    [ -s "$fd_file" ] && break
    sleep 0.1
  done
  export DISPLAY=":$(head -n1 "$fd_file")"
  rm -f "$fd_file"
  [ "$DISPLAY" != : ] || { echo "Xvfb did not start" >&2; return 1; }
  rm -rf "$WINEPREFIX"
  "$wine" wineboot -i >/dev/null 2>&1
  wineserver -w  # the registry is on disk once the boot's server has ended
  if [ ! -s "$WINEPREFIX/system.reg" ]; then
    echo "the Wine prefix did not boot" >&2
    return 1
  fi
  # One server for the whole run, so that each test does not start another.
  wineserver -p 600 >/dev/null 2>&1
  # Wine starts its background services with the first program that needs
  # them: start them here, with a name look-up among them, so that no test
  # waits for them (tests/wine_run.sh keeps them off a test's output).
  "$wine" ping -n 1 localhost >/dev/null 2>&1 </dev/null
  # No window manager draws captions and frames on the test display: have
  # Wine draw them, so that screenshots show whole windows.
  "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1 </dev/null
  # The task service, for the installer's log-on task. Just after the boot
  # the service database is still locked, so ask until it has started.
  for _ in $(seq 30); do
    case $("$wine" net start schedule 2>&1 </dev/null) in
      *"started successfully"*) break ;;
    esac
    "$wine" net start 2>/dev/null </dev/null | grep -q "Task Scheduler" && break
    sleep 1
  done
}

wine_session_stop() {
  WINEPREFIX="${WINEPREFIX:-}" wineserver -k >/dev/null 2>&1
  if [ -n "${XVFB_PID:-}" ]; then
    kill "$XVFB_PID" 2>/dev/null
    wait "$XVFB_PID" 2>/dev/null
  fi
}
