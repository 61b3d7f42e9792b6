#!/usr/bin/env bash
# Runs the Windows backend's tests (qv_win32_tests.exe) under Wine in a fresh
# Wine prefix, which is removed afterwards. Exits with the test program's exit
# code: non-zero when any test fails.
#
#   tests/win32/run_wine_tests.sh BUILD_DIR [gtest arguments...]
#
# BUILD_DIR is a win32 cross build with the tests, made by
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake \
#         -DQV_BACKEND=win32 -DBUILD_TESTING=ON
#   cmake --build build-win64 --target qv_win32_tests
set -euo pipefail

case "${1:-}" in ""|-h|--help) sed -n '2,11p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 2 ;; esac
build_dir=$1
shift
# The user interface tests make windows: without a display they run on a
# virtual one.
if [ -z "${DISPLAY:-}" ] && command -v xvfb-run >/dev/null 2>&1; then
  exec xvfb-run -a "${BASH_SOURCE[0]}" "$build_dir" "$@"
fi
program=$(cd "$build_dir" && pwd)/tests/win32/qv_win32_tests.exe
if [ ! -f "$program" ]; then
  echo "run_wine_tests: $program is missing (build with -DBUILD_TESTING=ON)" >&2
  exit 2
fi

WINEPREFIX=$(mktemp -d)
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
wineboot -i >/dev/null 2>&1
wineserver -w

# A TrueType font of the build machine for the font test, by Wine's drive for
# the host's root (Z:).
font=$(find /usr/share/fonts -name '*.ttf' -print -quit 2>/dev/null || true)
if [ -n "$font" ]; then export QV_TEST_FONT="Z:${font//\//\\}"; fi

status=0
wine "$program" "$@" || status=$?
exit "$status"
