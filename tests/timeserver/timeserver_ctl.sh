#!/usr/bin/env bash
# Starts or stops the loopback time servers used by the Windows-side tests.
#   timeserver_ctl.sh start PIDFILE | stop PIDFILE
set -u
here=$(cd "$(dirname "$0")/../.." && pwd)
pidfile=$2
case "$1" in
  start)
    rm -f "$pidfile"
    python3 "$here/tests/timeserver/timeserver.py" "$pidfile" 3600 </dev/null >/dev/null 2>&1 &
    for _ in $(seq 50); do
      [ -s "$pidfile" ] && exit 0
      sleep 0.1
    done
    echo "time servers did not start" >&2
    exit 1
    ;;
  stop)
    [ -s "$pidfile" ] || exit 0
    pid=$(cat "$pidfile")
    kill "$pid" 2>/dev/null
    for _ in $(seq 30); do
      kill -0 "$pid" 2>/dev/null || exit 0
      sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null
    exit 0
    ;;
esac
exit 2
