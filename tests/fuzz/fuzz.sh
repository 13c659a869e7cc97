#!/usr/bin/env bash
# Runs every fuzz target for SECONDS under AddressSanitizer and
# UndefinedBehaviorSanitizer from the corpus kept in tests/fuzz/corpus/, a
# line each; the test run gives each 4 s. With "grow", the inputs that reach
# new code join the corpus, kept to the fewest that reach every edge so far.
#   tests/fuzz/fuzz.sh SECONDS [grow]
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
source "$root/tests/build_sanitize.sh"
build_sanitize >/dev/null || exit 1
status=0
for target in $FUZZ_TARGETS; do
  corpus="$root/tests/fuzz/corpus/$target" found=$(mktemp -d) fresh=$(mktemp -d) log=$(mktemp)
  if "$SANITIZE_BUILD/fuzz_$target" -max_total_time="$1" -artifact_prefix="$SANITIZE_BUILD/" \
      "$found" "$corpus" >"$log" 2>&1; then
    echo "fuzz $target: $(grep -E '^Done [0-9]+ runs' "$log")"
  else
    echo "fuzz $target FAILED:"
    tail -n 30 "$log"
    status=1
  fi
  if [ "${2:-}" = grow ] && "$SANITIZE_BUILD/fuzz_$target" -merge=1 -use_counters=0 "$fresh" \
      "$corpus" "$found" >/dev/null 2>&1; then
    rm -rf "$corpus" && mkdir -p "$corpus" && cp "$fresh"/* "$corpus"/
  fi
  rm -rf "$found" "$fresh" "$log"
done
exit $status
