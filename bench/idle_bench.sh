#!/usr/bin/env bash
# The program's own cost while no pass runs, hidden and then shown: wake-ups
# (context switches of all its threads), CPU time and memory over a minute.
# Runs inside the Wine session of bench/benchmark.sh; $1 is the build folder.
set -uo pipefail
build=$1
seconds=${IDLE_SECONDS:-60}
wine=${ORVALEN_WINE:-wine}
product="$(dirname "$0")/../resources/product.h"
version=$(sed -n 's/^#define ORVALEN_STORE_VERSION //p' "$product")
"$wine" reg add 'HKLM\SOFTWARE\Orvalen' /v Version /t REG_DWORD /d "$version" /f /reg:32 >/dev/null 2>&1
"$wine" reg add 'HKLM\SOFTWARE\Orvalen' /v Schedule /t REG_DWORD /d 0 /f /reg:32 >/dev/null 2>&1
# 's' as at log-on: the window stays hidden, and with no schedule no pass runs.
# The wine loader becomes the program's own process: $! is its process id.
"$wine" "$build/Orvalen.exe" s >/dev/null 2>&1 &
pid=$!
sleep 5
if ! kill -0 "$pid" 2>/dev/null; then
  echo "the program did not start"
  exit 1
fi
measure() {
  local what=$1
  s0=$(switches); c0=$(cpu_ticks)
  sleep "$seconds"
  s1=$(switches); c1=$(cpu_ticks)
  printf 'over %d s, %s:\n' "$seconds" "$what"
  printf '  wake-ups per minute (context switches, %d threads): %d\n' \
    "$(ls /proc/"$pid"/task | wc -l)" $(( (s1 - s0) * 60 / seconds ))
  printf '  CPU time: %d ms\n' $(( (c1 - c0) * 1000 / $(getconf CLK_TCK) ))
  awk '/VmRSS|RssAnon/ {printf "  %s %s %s\n", $1, $2, $3}' /proc/"$pid"/status
}
switches() { cat /proc/"$pid"/task/*/status 2>/dev/null | awk '/ctxt_switches/ {n += $2} END {print n}'; }
cpu_ticks() { awk '{print $14 + $15}' /proc/"$pid"/stat; }
measure "window hidden, no pass"
# A second start shows the running window: the clock ticks every 100 ms.
"$wine" "$build/Orvalen.exe" >/dev/null 2>&1
sleep 2
measure "window shown, no pass"
kill "$pid" 2>/dev/null
wait "$pid" 2>/dev/null
exit 0
