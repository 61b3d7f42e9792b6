#!/usr/bin/env bash
# Compiles the core and the platform seam with the Windows cross compiler
# (Debian's mingw-w64, 64-bit, POSIX threads), warnings as errors, to show
# that they hold no Linux-only code. Nothing is linked: every file is compiled
# on its own. It also checks that no name the seam or the core uses is still a
# macro of <windows.h> after platform/win32/windows_api.h.
#
#   scripts/cross_check.sh [BUILD_DIR] [--names-only]
#
# --names-only skips compiling the files and only checks the names (the
# test script does this, since it builds the whole Windows library anyway).
#
# BUILD_DIR (default "build") is a configured native build; its generated
# headers (qv_version.h) are used. The compiler is installed with apt-get
# when it is missing.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=$here/build
names_only=0
for arg in "$@"; do
  case "$arg" in
    -h|--help) sed -n '2,15p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
    --names-only) names_only=1 ;;
    *) build_dir=$arg ;;
  esac
done
cxx=x86_64-w64-mingw32-g++-posix

if ! command -v "$cxx" >/dev/null; then
  echo "cross_check: installing g++-mingw-w64-x86-64-posix"
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
    g++-mingw-w64-x86-64-posix
fi
if [ ! -f "$build_dir/generated/qv_version.h" ]; then
  echo "cross_check: $build_dir is not a configured build (run scripts/setup.sh first)" >&2
  exit 2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Header-only libraries the seam uses come from the host's include folder,
# without the rest of it.
mkdir -p "$work/include"
ln -s /usr/include/nlohmann "$work/include/nlohmann"

cd "$here"
mapfile -t sources < <(ls platform/*.cc installlist/*.cc state/*.cc system/*.cc install/*.cc \
                          dialogs/*.cc control/*.cc engine/*.cc)

# Every name used in the seam's and the core's headers must be no macro once
# windows_api.h has been included.
{
  echo '#include "platform/win32/windows_api.h"'
  sed 's#//.*##' platform/*.h installlist/*.h state/*.h system/*.h install/*.h dialogs/*.h \
      control/*.h | grep -oE '\b[A-Za-z_][A-Za-z0-9_]*\b' | sort -u |
    while read -r name; do
      printf '#ifdef %s\n#error "%s is a macro of <windows.h>: undefine it in windows_api.h"\n#endif\n' \
        "$name" "$name"
    done
} > "$work/names_check.cc"

flags=(-std=c++20 -Wall -Wextra -Werror -fsyntax-only -I"$here" -I"$build_dir/generated"
       -isystem "$work/include")
failed=0
jobs=$(nproc 2>/dev/null || echo 2)
export cxx
[ "$names_only" -eq 1 ] && sources=()
printf '%s\n' "${sources[@]}" "$work/names_check.cc" |
  xargs -P "$jobs" -I{} sh -c '"$0" "$@" {} || { echo "cross_check: {} failed" >&2; exit 1; }' \
    "$cxx" "${flags[@]}" || failed=1

if [ "$failed" -ne 0 ]; then
  echo "cross_check: the core or the seam does not compile for Windows" >&2
  exit 1
fi
if [ "$names_only" -eq 1 ]; then
  echo "cross_check: no name of the core or the seam is a macro of <windows.h>"
else
  echo "cross_check: ${#sources[@]} files of the core and the seam compile for Windows"
fi
