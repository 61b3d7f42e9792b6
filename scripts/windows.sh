#!/usr/bin/env bash
# Builds the control's component library QV_INIT_V3.ocx for Windows with
# Debian's mingw-w64 cross compilers, and tests it under Wine.
#
#   scripts/windows.sh build [--arch x86_64|i686|both]
#   scripts/windows.sh test  [--arch x86_64]
#   scripts/windows.sh --help
#
# build  installs the Debian packages it lacks (the cross compilers,
#        mingw-w64-tools for widl, libwine-dev for the system .idl files,
#        libgcrypt-mingw-w64-dev for Ed25519, cmake, nlohmann-json3-dev),
#        then configures and builds build-win64/ (x86_64) and build-win32/
#        (i686) beside the source; default: both. The 32-bit build makes
#        the library only, since only the 64-bit one runs under Wine.
#        The library is build-win64/platform/win32/com/QV_INIT_V3.ocx.
# test   builds the 64-bit library when it is missing, installs wine when it
#        is missing, makes a fresh Wine prefix and runs every tests/wine/*.sh
#        against the library (its PE imports, exports and resources; its
#        registration; calls from JScript and VBScript; a Windows client
#        probing its COM interfaces, tests/wine/com_probe.cc), then the
#        backend's own tests (tests/win32/run_wine_tests.sh). Prints each test's
#        result and the wall time; exits 1 when one fails. Only 64-bit Wine
#        is used: the 32-bit library is built, not run.
#        QV_KEEP_PREFIX=1 keeps the Wine prefix and prints its path.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

usage() { sed -n '2,24p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; }

# Installs the Debian packages of "$@" that are not installed.
ensure_packages() {
  local missing=()
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "windows: installing ${missing[*]}"
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

build_dir_of() {
  case "$1" in
    x86_64) echo "$here/build-win64" ;;
    i686) echo "$here/build-win32" ;;
  esac
}

package_of() {
  case "$1" in
    x86_64) echo "g++-mingw-w64-x86-64-posix" ;;
    i686) echo "g++-mingw-w64-i686-posix" ;;
  esac
}

build_arch() {
  local arch=$1 dir
  dir=$(build_dir_of "$arch")
  echo "windows: building $arch in $dir"
  # The toolchain is chosen when the build folder is made, not again.
  local toolchain=()
  [ -f "$dir/CMakeCache.txt" ] ||
    toolchain=(-DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchain-mingw-$arch.cmake")
  # Only the 64-bit build runs under Wine, so only it builds the tests.
  local testing=OFF
  [ "$arch" = x86_64 ] && testing=ON
  cmake -S "$here" -B "$dir" "${toolchain[@]}" -DQV_BACKEND=win32 -DQV_WERROR=ON \
    -DBUILD_TESTING=$testing >/dev/null
  cmake --build "$dir" -j"$(nproc 2>/dev/null || echo 2)"
  echo "windows: $dir/platform/win32/com/QV_INIT_V3.ocx"
}

archs_of() {
  case "$1" in
    x86_64|i686) echo "$1" ;;
    both) echo "x86_64 i686" ;;
    *) echo "windows: unknown --arch '$1' (x86_64, i686 or both)" >&2; exit 2 ;;
  esac
}

command_build() {
  local archs
  archs=$(archs_of "$1")
  local packages=(cmake make nlohmann-json3-dev mingw-w64-tools libwine-dev googletest
                  libgcrypt-mingw-w64-dev)
  for arch in $archs; do packages+=("$(package_of "$arch")"); done
  ensure_packages "${packages[@]}"
  for arch in $archs; do build_arch "$arch"; done
}

command_test() {
  [ "$1" = "x86_64" ] || { echo "windows: tests run only the 64-bit library" >&2; exit 2; }
  local ocx
  ocx="$(build_dir_of x86_64)/platform/win32/com/QV_INIT_V3.ocx"
  [ -f "$ocx" ] || command_build x86_64
  ensure_packages wine wine64 mingw-w64-tools binutils-mingw-w64-x86-64 python3 gcab xvfb xauth
  # Message boxes, the folder picker and the panel need a display: without
  # one, every test runs on one virtual display.
  if [ -z "${DISPLAY:-}" ]; then
    exec xvfb-run -a -s "-screen 0 1024x768x24" "${BASH_SOURCE[0]}" test --arch "$1"
  fi
  local started=$SECONDS
  WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/qv-wine.XXXXXX")
  export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  if [ "${QV_KEEP_PREFIX:-0}" = 1 ]; then
    echo "windows: Wine prefix $WINEPREFIX"
  else
    trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX"' EXIT
  fi
  echo "windows: making the Wine prefix"
  wineboot -i >/dev/null 2>&1
  # The 32-bit library, when built, is checked as a file only.
  export QV_OCX=$ocx QV_OCX32="$(build_dir_of i686)/platform/win32/com/QV_INIT_V3.ocx"
  local failed=0 passed=0
  for test in "$here"/tests/wine/*.sh; do
    local name
    name=$(basename "$test" .sh)
    if bash "$test" >"$WINEPREFIX/$name.log" 2>&1; then
      echo "PASS $name"
      passed=$((passed + 1))
    else
      echo "FAIL $name"
      sed 's/^/    /' "$WINEPREFIX/$name.log"
      failed=$((failed + 1))
    fi
  done
  # The backend's own tests: a Windows program with a prefix of its own.
  if bash "$here/tests/win32/run_wine_tests.sh" "$(build_dir_of x86_64)" --gtest_brief=1 \
       >"$WINEPREFIX/backend.log" 2>&1; then
    echo "PASS backend ($(grep -o '[0-9]* tests\? from [0-9]* test suites\? ran' "$WINEPREFIX/backend.log" | head -1))"
    passed=$((passed + 1))
  else
    echo "FAIL backend"
    sed 's/^/    /' "$WINEPREFIX/backend.log"
    failed=$((failed + 1))
  fi
  echo "windows: $passed passed, $failed failed in $((SECONDS - started)) s"
  [ "$failed" -eq 0 ]
}

command=${1:-}
[ $# -gt 0 ] && shift
arch=""
while [ $# -gt 0 ]; do
  case "$1" in
    --arch) arch=${2:?--arch needs a value}; shift 2 ;;
    --arch=*) arch=${1#--arch=}; shift ;;
    -h|--help) usage; exit 0 ;;
    *) echo "windows: unknown argument '$1'" >&2; usage >&2; exit 2 ;;
  esac
done
case "$command" in
  build) command_build "${arch:-both}" ;;
  test) command_test "${arch:-x86_64}" ;;
  -h|--help|help) usage ;;
  *) usage >&2; exit 2 ;;
esac
