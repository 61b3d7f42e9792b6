#!/usr/bin/env bash
# Sets up the machine (scripts/setup.sh), checks that includes run one way
# (scripts/check_layers.sh), builds with warnings as errors, checks that no
# name of the core is a macro of <windows.h> (scripts/cross_check.sh), runs
# the whole test suite, builds the Windows component library and runs its
# tests under Wine (scripts/windows.sh), and runs the suite again on a build
# with AddressSanitizer and UndefinedBehaviorSanitizer, then runs each fuzzer
# under fuzz/ for 20 seconds (scripts/fuzz.sh).
#
#   scripts/test.sh [--quick]     --quick skips the sanitizer build and the fuzzers
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
quick=0
[ "${1:-}" = "--quick" ] && quick=1
jobs=$(nproc 2>/dev/null || echo 2)

"$here/scripts/check_layers.sh"
"$here/scripts/setup.sh" "$here/build" --werror
# The Windows build below compiles every file of the core; here only the
# names the core shares with <windows.h> are checked, early.
"$here/scripts/cross_check.sh" "$here/build" --names-only
(cd "$here/build" && ctest --output-on-failure -j "$jobs")
# The component library for Windows, 64- and 32-bit, and its tests under Wine.
"$here/scripts/windows.sh" build --arch both
"$here/scripts/windows.sh" test

if [ "$quick" -eq 0 ]; then
  "$here/scripts/setup.sh" "$here/build-sanitize" --sanitize --werror
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  (cd "$here/build-sanitize" && ctest --output-on-failure -j "$jobs")
  # Every fuzzer for a short run, two at a time (docs/reliability.md gives
  # the long runs).
  "$here/scripts/fuzz.sh" --seconds 20 --jobs 2
fi
