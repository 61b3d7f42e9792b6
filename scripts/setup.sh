#!/usr/bin/env bash
# Sets up a Debian 12 machine for building: installs the Debian packages the
# build needs when they are missing, then configures and builds.
#
#   scripts/setup.sh [BUILD_DIR] [--sanitize] [--werror]
#
# BUILD_DIR defaults to "build" beside this script's folder. With --sanitize
# the build uses AddressSanitizer and UndefinedBehaviorSanitizer; with
# --werror warnings are errors (as in CI).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir="$here/build"
sanitize=OFF
werror=OFF
for arg in "$@"; do
  case "$arg" in
    --sanitize) sanitize=ON ;;
    --werror) werror=ON ;;
    -h|--help) sed -n '2,10p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) build_dir=$arg ;;
  esac
done

packages=(
  build-essential cmake pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libsqlite3-dev libpq-dev postgresql nlohmann-json3-dev libcli11-dev
  libarchive-dev libgcab-dev gcab libcurl4-openssl-dev libcpp-httplib-dev
  libsodium-dev libssl-dev openssl libfltk1.3-dev zlib1g-dev
  binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
  xvfb xauth x11-apps imagemagick xdotool
  time nginx chromium chromium-driver
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  # The tests and benchmarks start nginx and PostgreSQL themselves; the
  # system's services are not needed.
  if command -v systemctl >/dev/null 2>&1; then
    for service in nginx postgresql; do
      if [[ " ${missing[*]} " == *" $service "* ]]; then
        $sudo systemctl disable --now "$service" >/dev/null 2>&1 || true
      fi
    done
  fi
fi

jobs=$(nproc 2>/dev/null || echo 2)
# The sanitizer build is for the tests only; it leaves out the benchmarks and
# the example programs.
extras=ON
[ "$sanitize" = ON ] && extras=OFF
cmake -S "$here" -B "$build_dir" -DQV_SANITIZE="$sanitize" -DQV_WERROR="$werror" -DQV_BENCH="$extras" \
  -DQV_EXAMPLES="$extras" >/dev/null
cmake --build "$build_dir" -j "$jobs"
