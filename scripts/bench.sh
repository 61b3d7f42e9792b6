#!/usr/bin/env bash
# Sets up and builds the machine (scripts/setup.sh, which installs nginx and
# PostgreSQL, the benchmarks' references), then runs every benchmark
# program in build/bench with its default sizes and prints their figures.
#
#   scripts/bench.sh                  every benchmark
#   scripts/bench.sh NAME [ARGS...]   only build/bench/NAME, with ARGS
#                                     (e.g. engine_bench --quick)
#   scripts/bench.sh wine [ARGS...]   the library under Wine against the Linux
#                                     build (bench/wine/wine_speed.sh, whose
#                                     --help lists ARGS: --rounds N, --quick...)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

if [ "${1:-}" = wine ]; then
  shift
  exec "$here/bench/wine/wine_speed.sh" "$@"
fi
build_dir="$here/build"

"$here/scripts/setup.sh" "$build_dir"

if [ $# -gt 0 ]; then
  program="$build_dir/bench/$1"
  shift
  if [ ! -x "$program" ]; then
    echo "bench: no benchmark $program" >&2
    exit 2
  fi
  programs=("$program")
else
  programs=("$build_dir"/bench/*_bench)
fi

status=0
for program in "${programs[@]}"; do
  [ -x "$program" ] || continue
  echo "=== $(basename "$program") $*"
  if ! "$program" "$@"; then
    echo "=== $(basename "$program") failed" >&2
    status=1
  fi
done
exit $status
