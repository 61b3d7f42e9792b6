#!/usr/bin/env bash
# Makes the pictures of the window interface in docs/images (panel.png: the
# status panel during a download; picker.png: the folder picker) from the
# window tests, which save what they show when QV_SCREENSHOT_DIR is set. The
# tests start an Xvfb server of their own; no display is needed.
#
#   scripts/screenshots.sh [BUILD_DIR]     default: build
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$here/build}

cmake -S "$here" -B "$build" > /dev/null
cmake --build "$build" -j2 --target qv_tests
mkdir -p "$here/docs/images"
QV_SCREENSHOT_DIR="$here/docs/images" "$build/tests/qv_tests" --gtest_filter=\
'FltkPanelTest.TransferShowsBarsAndByteCounterThenCompletion:'\
'FltkPickerTest.DoubleClicksOpenFoldersAndGoUpThenOkReturnsThePath'
ls -l "$here/docs/images/panel.png" "$here/docs/images/picker.png"
