# Sourced: installs what is missing and cross-builds the given targets
# (everything when none is named) into build/win.
build_win() { cross_build mingw-i686 win "$@"; }

# The same program and tests as a 64-bit build into build/win64: the test
# vehicle for machines whose kernel runs no 32-bit code.
build_win64() { cross_build mingw-x86_64 win64 "$@"; }

# cross_build TOOLCHAIN FOLDER [TARGET...]: cmake/TOOLCHAIN.cmake into build/FOLDER.
cross_build() {
  local root toolchain=$1 folder=$2
  shift 2
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  bash "$root/tools/bootstrap.sh" || return 1
  local targets=() openssl
  for t in "$@"; do targets+=(--target "$t"); done
  openssl=$(bash "$root/tools/openssl_win.sh" "$([ "$toolchain" = mingw-x86_64 ] && echo mingw64 || echo mingw)") || return 1
  cmake -S "$root" -B "$root/build/$folder" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain.cmake" -DORVALEN_OPENSSL_DIR="$openssl" >/dev/null &&
    cmake --build "$root/build/$folder" -j 2 "${targets[@]}"
}
