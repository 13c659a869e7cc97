#!/usr/bin/env bash
# Benchmarks under Wine: correcting passes against 1, 10 and 50 loopback
# servers, the accuracy of NTP and TIME against exact servers, then the
# program's own cost while idle.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"
if [ "${ORVALEN_BENCH_NETNS:-}" != 1 ]; then
  source "$root/tools/build_win.sh"
  export ORVALEN_CMAKE_ARGS=-DORVALEN_BENCH=ON
  build_win Orvalen engine_bench >/dev/null || exit 1
  source "$root/tests/wine_session.sh"
  if ! wine_can_run && wine64_can_run; then
    build_win64 >/dev/null || exit 1
  fi
  # Loopback servers of its own, where nothing else on this machine listens;
  # whatever it starts ends with it.
  private=(--net --pid --fork --kill-child --mount --mount-proc)
  [ "$(id -u)" -eq 0 ] || private=(--map-root-user "${private[@]}")
  exec unshare "${private[@]}" env ORVALEN_BENCH_NETNS=1 bash "$0" "$@"
fi
ip link set lo up || exit 1

source "$root/tests/wine_session.sh"
win="$build/win" arch=win32
if ! wine_can_run; then
  if ! wine64_can_run; then
    echo "This machine cannot execute 32-bit x86 programs, and 64-bit Wine is missing."
    exit 1
  fi
  echo "No 32-bit code runs on this machine: measuring the 64-bit build under 64-bit Wine."
  win="$build/win64" arch=win64
fi
python3 "$root/tests/timeserver/timeserver.py" 3600 &
servers=$!
trap 'kill $servers; wine_session_stop' EXIT
wine_session_start "$win" "$arch" || exit 1

echo "== Correcting passes (three samples per server, replies at once) =="
"$root/tests/wine_run.sh" "$win/engine_bench.exe"
if [ -x "$root/bench/idle_bench.sh" ]; then
  echo
  echo "== The program while idle =="
  bash "$root/bench/idle_bench.sh" "$win"
fi
