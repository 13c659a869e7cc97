#!/usr/bin/env bash
# Builds both targets and runs every test: the native unit tests, then the
# Windows-side tests under Wine with a private prefix and display.
# The tests run in network and process namespaces of their own: another test
# run, or any program listening on this machine, cannot take their ports, and
# nothing a run starts outlives it.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"
jobs=2

# A network of its own, a process space of its own whose processes all end
# with it, even when the run is interrupted, and a /tmp of its own.
private=(--net --pid --fork --kill-child --mount --mount-proc)
[ "$(id -u)" -eq 0 ] || private=(--map-root-user "${private[@]}")

if [ "${ORVALEN_TEST_NETNS:-}" != 1 ]; then
  # Before anything is installed or built: can this machine give the run
  # its namespaces at all?
  if ! problem=$(unshare "${private[@]}" true 2>&1); then
    echo "tests/run.sh: cannot create the test run's own namespaces: $problem" >&2
    echo "  In a plain chroot, / must be a mount point: run 'mount --bind / /' in it first." >&2
    echo "  Without root, unprivileged user namespaces must be allowed" >&2
    echo "  (sysctl kernel.unprivileged_userns_clone=1)." >&2
    exit 1
  fi
  bash "$root/tools/bootstrap.sh" || exit 1
  cmake -S "$root" -B "$build/native" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null &&
    cmake --build "$build/native" -j "$jobs" || exit 1
  source "$root/tests/build_sanitize.sh"
  build_sanitize || exit 1
  source "$root/tests/wine_session.sh"
  if wine_can_run; then
    build_win || exit 1
  else
    # The 32-bit program and the installer ship; their tests cannot run
    # here, where the 64-bit build and its tests stand in for them.
    build_win Orvalen installer && build_win64 || exit 1
  fi
  exec unshare "${private[@]}" env ORVALEN_TEST_NETNS=1 bash "$0" "$@"
fi
ip link set lo up || exit 1
# What the run leaves in /tmp (Wine's and the display's sockets, temporary
# files) goes with it; unless the clone itself lives there.
case "$root/" in
  /tmp/*) ;;
  *) mount -t tmpfs -o mode=1777 tmpfs /tmp || exit 1 ;;
esac
# A name that does not exist must fail at once, as on a normal network: the
# run's own resolver answers "no such name" to every question but one, a
# name without an address.
resolv=$(mktemp)
echo "nameserver 127.0.0.53" >"$resolv"
mount --bind "$resolv" /etc/resolv.conf || exit 1
python3 "$root/tests/timeserver/resolver.py" 127.0.0.53 7200 &
resolver=$!

passed=0
failed=0
skipped=0
run_ctest() {
  local log
  log=$(mktemp)
  ctest --test-dir "$1" --output-on-failure "${@:2}" 2>&1 | tee "$log"
  local total fails skips
  total=$(sed -n 's/.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\).*/\2/p' "$log" | tail -1)
  fails=$(sed -n 's/.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -1)
  skips=$(grep -c '\*\*\*Skipped' "$log")
  rm -f "$log"
  if [ -z "$total" ]; then
    failed=$((failed + 1))
    return
  fi
  passed=$((passed + total - fails - skips))
  failed=$((failed + fails))
  skipped=$((skipped + skips))
}

run_ctest "$build/native" -j "$jobs"
# The same unit tests once more under AddressSanitizer and UBSan, then each
# fuzz target for a few seconds from its kept corpus (tests/fuzz/fuzz.sh runs
# them longer and grows the corpus).
source "$root/tests/build_sanitize.sh"
run_ctest "$SANITIZE_BUILD" -j "$jobs"
for target in $FUZZ_TARGETS; do
  found=$(mktemp -d)
  if "$SANITIZE_BUILD/fuzz_$target" -max_total_time=4 -artifact_prefix="$SANITIZE_BUILD/"       "$found" "$root/tests/fuzz/corpus/$target" >"$found.log" 2>&1; then
    echo "fuzz $target: $(grep -E '^Done [0-9]+ runs' "$found.log")"
    passed=$((passed + 1))
  else
    echo "fuzz $target FAILED:"
    tail -n 30 "$found.log"
    failed=$((failed + 1))
  fi
  rm -rf "$found" "$found.log"
done

# The Windows-side tests of one cross build under Wine ($1 build, $2 arch),
# against the loopback TIME, NTP and NTS servers.
run_windows_tests() {
  nts="$1/nts"
  trap 'kill $resolver $servers $(cat "$nts/pids" 2>/dev/null); wine_session_stop' EXIT
  python3 "$root/tests/timeserver/timeserver.py" 7200 &
  servers=$!
  for _ in $(seq 50); do (exec 3<>/dev/tcp/127.0.0.1/3737) 2>/dev/null && break; sleep 0.1; done
  bash "$root/tests/timeserver/nts_servers.sh" "$nts" || exit 1
  wine_session_start "$1" "$2" || exit 1
  run_ctest "$1"
}

source "$root/tests/wine_session.sh"
if wine_can_run; then
  run_windows_tests "$build/win" win32
  echo
  echo "NOTE: the Windows-side tests ran against the 32-bit build (build/win) under 32-bit Wine."
  if wine64_can_run; then
    echo "e2e.switch_builds ran both builds and the installer under 64-bit Wine."
  else
    echo "SKIPPED: e2e.switch_builds, the switch between the builds: 64-bit Wine cannot run here."
  fi
elif wine64_can_run; then
  # No 32-bit code runs here: the same tests as a 64-bit build under 64-bit
  # Wine, the installer's with a 64-bit installer made from the same script.
  run_windows_tests "$build/win64" win64
  skipped=$((skipped + 1))
  echo
  echo "NOTE: this machine cannot execute 32-bit x86 programs (its kernel runs no"
  echo "32-bit code): the Windows-side tests ran against the 64-bit build (build/win64)"
  echo "under 64-bit Wine, the installer's as a 64-bit installer from the same script."
  echo "SKIPPED: e2e.switch_builds, the switch between the 32-bit and the 64-bit program."
else
  failed=$((failed + 1))
  echo
  echo "FAILED: no Wine runs here, so none of the Windows-side tests ran. This kernel"
  echo "runs no 32-bit code, which 32-bit Wine needs, and 64-bit Wine (/usr/lib/wine/wine64,"
  echo "Debian's wine64, which tools/bootstrap.sh installs) does not start either."
fi

echo
if [ "$skipped" -gt 0 ]; then
  echo "$passed passed, $failed failed, $skipped skipped"
else
  echo "$passed passed, $failed failed"
fi
[ "$failed" -eq 0 ]
