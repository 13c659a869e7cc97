# Sourced: installs what is missing and cross-builds the given targets
# (everything when none is named) into build/win.
build_win() {
  # The installer carries the 64-bit program too: that is built first.
  case " ${*:-installer} " in
    *" installer "* | *" e2e_tests "*) build_win64 Orvalen || return 1 ;;
  esac
  cross_build mingw-i686 win "$@"
}

# The 64-bit build into build/win64: the program for 64-bit Windows, and
# (everything) the test vehicle for machines whose kernel runs no 32-bit code.
build_win64() { cross_build mingw-x86_64 win64 "$@"; }

# cross_build TOOLCHAIN FOLDER [TARGET...]: cmake/TOOLCHAIN.cmake into build/FOLDER.
cross_build() {
  local root toolchain=$1 folder=$2
  shift 2
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  bash "$root/tools/bootstrap.sh" || return 1
  export ORVALEN_BOOTSTRAPPED=1
  local targets=() openssl program64=()
  for t in "$@"; do targets+=(--target "$t"); done
  [ "$folder" = win ] && program64=(-DORVALEN_PROGRAM64="$root/build/win64/Orvalen.exe")
  openssl=$(bash "$root/tools/openssl_win.sh" "$([ "$toolchain" = mingw-x86_64 ] && echo mingw64 || echo mingw)") || return 1
  cmake -S "$root" -B "$root/build/$folder" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain.cmake" ${ORVALEN_CMAKE_ARGS:-} -DORVALEN_OPENSSL_DIR="$openssl" \
    "${program64[@]}" >/dev/null &&
    cmake --build "$root/build/$folder" -j 2 "${targets[@]}"
}

# Wine runs 32-bit Windows programs as 32-bit Linux processes: a kernel
# without 32-bit support (some virtual machines) cannot start them at all,
# nor can a machine where 32-bit Wine could not be installed.
wine_can_run() {
  [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1
}
# There, 64-bit Wine still runs the 64-bit test build.
wine64_can_run() {
  [ -x /usr/lib/wine/wine64 ] && /usr/lib/wine/wine64 --version >/dev/null 2>&1
}

# Points the Wine commands at the loader for ARCH (win32 or win64).
wine_use_arch() {
  export WINEARCH=$1
  if [ "$1" = win64 ]; then
    # The wine command would pick the 32-bit loader, which cannot start here.
    export ORVALEN_WINE=/usr/lib/wine/wine64 WINELOADER=/usr/lib/wine/wine64
  fi
}
