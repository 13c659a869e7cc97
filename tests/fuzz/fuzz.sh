#!/usr/bin/env bash
# Runs every fuzz target for SECONDS (default 60) under AddressSanitizer and
# UndefinedBehaviorSanitizer, from the corpus kept in tests/fuzz/corpus/.
# Inputs that reach new code are merged back into the corpus, which stays
# the smallest set that reaches every edge reached so far.
#   tests/fuzz/fuzz.sh [SECONDS]
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
seconds=${1:-60}
source "$root/tests/build_sanitize.sh"
build_sanitize || exit 1
status=0
for target in $FUZZ_TARGETS; do
  corpus="$root/tests/fuzz/corpus/$target"
  found=$(mktemp -d)
  mkdir -p "$corpus"
  log=$(mktemp)
  "$SANITIZE_BUILD/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$SANITIZE_BUILD/" "$found" "$corpus" >"$log" 2>&1 || status=1
  printf '%-16s %s\n' "$target" "$(grep -E '^Done [0-9]+ runs' "$log" || grep -m1 -E 'ERROR|runtime error|deadly|broken' "$log")"
  # Kept small: the fewest inputs that reach every edge reached so far.
  fresh=$(mktemp -d)
  if "$SANITIZE_BUILD/fuzz_$target" -merge=1 -use_counters=0 "$fresh" "$corpus" "$found" \
      >/dev/null 2>&1; then
    rm -rf "$corpus" && mkdir -p "$corpus" && cp "$fresh"/* "$corpus"/ 2>/dev/null
  fi
  rm -rf "$found" "$fresh" "$log"
done
exit $status
