#!/usr/bin/env bash
# Makes the pictures of the web console in docs/console-screenshots from the
# browser tests, which drive a headless Chromium through the console and
# save what it shows to QV_SCREENSHOT_DIR. The tests start qvserver and
# chromedriver themselves; no display is needed.
#
#   scripts/console_screenshots.sh [BUILD_DIR]     default: build
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$here/build
for arg in "$@"; do
  case "$arg" in
    -h|--help) sed -n '2,7p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) build=$(cd "$arg" && pwd) ;;
  esac
done

out=$here/docs/console-screenshots
cmake --build "$build" -j2 --target qv_browser_tests
mkdir -p "$out"
QV_SCREENSHOT_DIR="$out" "$build/tests/qv_browser_tests"
ls -l "$out"/*.png
