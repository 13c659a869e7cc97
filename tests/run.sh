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
  export ORVALEN_BOOTSTRAPPED=1
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
# files) goes with it: the run has a /tmp of its own, into which a clone that
# lives under /tmp is carried.
inside_tmp() { case "$root/" in /tmp/*) return 0 ;; esac; return 1; }
if inside_tmp; then mount --bind "$root" /mnt || exit 1; fi
mount -t tmpfs -o mode=1777 tmpfs /tmp || exit 1
if inside_tmp; then mkdir -p "$root" && mount --move /mnt "$root" && cd "$root" || exit 1; fi
# Names go to the run's own resolver (tests/timeserver/timeserver.py), so
# that a name that does not exist fails at once, as on a normal network. The
# one name it never answers stays unanswered for a minute, not the usual ten
# seconds, however slowly a busy machine runs what is checked meanwhile.
resolv=$(mktemp)
printf 'nameserver 127.0.0.53\noptions timeout:30 attempts:2\n' >"$resolv"
mount --bind "$resolv" /etc/resolv.conf || exit 1

passed=0 failed=0 skipped=0
run_ctest() {
  local log fails total skips
  log=$(mktemp)
  ctest --test-dir "$1" --output-on-failure "${@:2}" 2>&1 | tee "$log"
  read -r fails total < <(sed -n 's/.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\).*/\1 \2/p' "$log")
  skips=$(grep -c '\*\*\*Skipped' "$log")
  rm -f "$log"
  [ -n "${total:-}" ] || { failed=$((failed + 1)); return; }
  passed=$((passed + total - fails - skips)) failed=$((failed + fails)) skipped=$((skipped + skips))
}

run_ctest "$build/native" -j "$jobs"
# The same unit tests once more under AddressSanitizer and UBSan, then each
# fuzz target for a few seconds.
source "$root/tests/build_sanitize.sh"
run_ctest "$SANITIZE_BUILD" -j "$jobs"
fuzzed=$(bash "$root/tests/fuzz/fuzz.sh" 4) || grep -q FAILED <<<"$fuzzed" || failed=$((failed + 1))
echo "$fuzzed"
passed=$((passed + $(grep -c '^fuzz [a-z_]*: Done' <<<"$fuzzed")))
failed=$((failed + $(grep -c '^fuzz [a-z_]* FAILED' <<<"$fuzzed")))

# The Windows-side tests of one cross build under Wine ($1 build, $2 arch),
# against the loopback TIME, NTP and NTS servers.
run_windows_tests() {
  nts="$1/nts"
  trap 'kill $servers $(cat "$nts/pids" 2>/dev/null); wine_session_stop' EXIT
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
  echo "NOTE: the Windows-side tests ran against the 32-bit build (build/win) under 32-bit Wine."
  wine64_can_run || echo "SKIPPED: e2e.switch_builds: 64-bit Wine cannot run here."
elif wine64_can_run; then
  # No 32-bit Wine runs here: the same tests as a 64-bit build under 64-bit
  # Wine, the installer's with a 64-bit installer made from the same script.
  run_windows_tests "$build/win64" win64
  skipped=$((skipped + 1))
  echo "NOTE: 32-bit Wine cannot run here (the kernel runs no 32-bit code, or 32-bit Wine could not"
  echo "be installed): the Windows-side tests ran against the 64-bit build (build/win64) under"
  echo "64-bit Wine, the installer's as a 64-bit installer."
  echo "SKIPPED: e2e.switch_builds, the switch between the 32-bit and the 64-bit program."
else
  failed=$((failed + 1))
  echo "FAILED: no Wine runs here, so none of the Windows-side tests ran: 32-bit Wine cannot run,"
  echo "and 64-bit Wine (Debian's wine64, installed by tools/bootstrap.sh) does not start."
fi
echo "$passed passed, $failed failed$([ "$skipped" -eq 0 ] || echo ", $skipped skipped")"
[ "$failed" -eq 0 ]
