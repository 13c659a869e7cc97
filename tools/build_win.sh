# Sourced: installs what is missing and cross-builds the given targets
# (everything when none is named) into build/win.
build_win() {
  local root
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  bash "$root/tools/bootstrap.sh" || return 1
  local targets=()
  for t in "$@"; do targets+=(--target "$t"); done
  cmake -S "$root" -B "$root/build/win" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" >/dev/null &&
    cmake --build "$root/build/win" -j 2 "${targets[@]}"
}

# The same program and tests as a 64-bit build into build/win64: the test
# vehicle for machines whose kernel runs no 32-bit code.
build_win64() {
  local root
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  cmake -S "$root" -B "$root/build/win64" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x86_64.cmake" >/dev/null &&
    cmake --build "$root/build/win64" -j 2
}
