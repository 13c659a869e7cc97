# Sourced: builds the unit tests and the fuzz targets with clang under
# AddressSanitizer and UndefinedBehaviorSanitizer into build/sanitize.
SANITIZE_BUILD="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build/sanitize"
FUZZ_TARGETS="server_replies engine_events nts_replies history_file"

build_sanitize() {
  local root
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  bash "$root/tools/bootstrap.sh" || return 1
  CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$SANITIZE_BUILD" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVALEN_SANITIZE=ON >/dev/null &&
    cmake --build "$SANITIZE_BUILD" -j 2
}
