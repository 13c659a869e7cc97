#!/usr/bin/env bash
# Benchmarks under Wine: correcting passes against 1, 10 and 50 loopback
# servers, then the program's own cost while idle.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"
source "$root/tools/build_win.sh"
build_win Orvalen engine_bench >/dev/null || exit 1

source "$root/tools/wine_session.sh"
pidfile="$build/win/bench-timeserver.pid"
trap '"$root/tools/timeserver_ctl.sh" stop "$pidfile"; wine_session_stop' EXIT
wine_session_start "$build/win" || exit 1
"$root/tools/timeserver_ctl.sh" start "$pidfile" || exit 1

echo "== Correcting passes (three samples per server, replies at once) =="
"$root/tools/wine_run.sh" "$build/win/engine_bench.exe"
if [ -x "$root/tools/idle_bench.sh" ]; then
  echo
  echo "== The program while idle =="
  bash "$root/tools/idle_bench.sh" "$build/win"
fi
