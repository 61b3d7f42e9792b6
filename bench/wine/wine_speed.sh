#!/usr/bin/env bash
# The speed of QV_INIT_V3.ocx under Wine against the Linux build of the same
# run (qvinit on a sandbox machine), both fetching from nginx on 127.0.0.1:
# 1000 files of 16 KiB and one file of 1 GiB, the two sides alternated round
# by round; prints each round and min / median / max of the seconds, the MB/s
# and the speed ratio Wine/anchor per case (target: at least 0.5).
#
#   bench/wine/wine_speed.sh [--rounds N] [--quick] [--only small|big]
#                            [--small-files N] [--small-kib N] [--big-mib N]
#                            [--dir DIR] [--cpu N]
#   scripts/bench.sh wine [the same options]
#
# Installs what it lacks with apt-get (nginx, wine, wine64, the mingw-w64
# cross compiler and what the builds need), builds the Linux build
# (build/: qvinit, qvserver, build/bench/wine_speed) and the 64-bit library
# (scripts/windows.sh build --arch x86_64), builds the Windows host
# bench/wine/run_driver.cc into build-win64/bench/run_driver.exe, makes a
# fresh Wine prefix (removed at the end) and runs build/bench/wine_speed.
# Default: 3 rounds a case; --quick: 200 small files and 64 MiB. Data goes
# below DIR (default: the system's temporary folder). --cpu N runs everything
# (Wine's server, both sides, nginx) on CPU N alone, the same for both sides:
# Wine's threads then hand over to its server without waking another CPU,
# which costs it more than the anchor on a virtual machine. Not part of the
# tests.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
pin=()
args=()
while [ $# -gt 0 ]; do
  case "$1" in
    -h|--help) sed -n '2,24p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
    --cpu)
      [[ "${2:-}" =~ ^[0-9]+$ ]] || { echo "wine_speed: --cpu needs a CPU number" >&2; exit 2; }
      pin=(taskset -c "$2")
      shift 2 ;;
    *) args+=("$1"); shift ;;
  esac
done

ensure_packages() {
  local missing=()
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "wine_speed: installing ${missing[*]}"
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# Only 64-bit Wine: the 32-bit packages would break it.
ensure_packages nginx wine wine64 g++-mingw-w64-x86-64-posix
if command -v systemctl >/dev/null 2>&1; then
  systemctl is-active --quiet nginx 2>/dev/null && systemctl disable --now nginx >/dev/null 2>&1 || true
fi

# The Linux build (the anchor, the server, the benchmark program).
"$here/scripts/setup.sh" "$here/build" >/dev/null
cmake --build "$here/build" --target qvinit qvserver wine_speed >/dev/null

# The library and its host.
"$here/scripts/windows.sh" build --arch x86_64 >/dev/null
win="$here/build-win64"
mkdir -p "$win/bench"
x86_64-w64-mingw32-g++-posix -std=c++20 -Wall -Wextra -Werror -municode -O2 \
  -I"$here" -I"$win/generated" -isystem "$win/host-headers" \
  "$here/bench/wine/run_driver.cc" -o "$win/bench/run_driver.exe" \
  -static -static-libgcc -static-libstdc++ -lole32 -loleaut32 -luuid

WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/qv-wine-speed.XXXXXX")
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap 'timeout 30 wineserver -k >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX"' EXIT
# A server for the prefix that stays until the end (wineserver -k), so that
# no Wine round pays for starting one.
"${pin[@]}" timeout 30 wineserver -p
echo "wine_speed: making the Wine prefix"
timeout 300 wineboot -i >/dev/null 2>&1

"${pin[@]}" "$here/build/bench/wine_speed" --driver "$win/bench/run_driver.exe" \
  --ocx "$win/platform/win32/com/QV_INIT_V3.ocx" "${args[@]}"
