#!/usr/bin/env bash
# Mutation score of the native unit tests: plants one small fault at a time
# in the portable sources and counts how many the tests catch. Not part of
# the test command; a developer's measure, like bench/benchmark.sh.
#   tests/mutation/mutation.sh [SEED] [SAMPLE]   (defaults: seed 1, 120 faults)
# The same seed and sample pick the same faults, so two runs compare.
#   tests/mutation/mutation.sh --all [FILE...]
# Every fault in the given portable sources (default: all of them) under the
# sanitizer build; lists the survivors in a fixed order, for diff.
#   tests/mutation/mutation.sh --win [N [COMMAND...]]
# Lists the Win32 faults the Windows-side tests must catch, or plants fault N
# in a scratch copy and runs COMMAND there (default: bash tests/run.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
bash "$root/tools/bootstrap.sh"
if [[ "${1:-}" == --* ]]; then
  exec python3 "$root/tests/mutation/mutation.py" "$root" "$@"
fi
exec python3 "$root/tests/mutation/mutation.py" "$root" "${1:-1}" "${2:-120}"
