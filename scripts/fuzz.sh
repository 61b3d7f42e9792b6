#!/usr/bin/env bash
# Builds the libFuzzer targets under fuzz/ with Debian's clang (installed
# when missing) into build-fuzz/ and runs each for a fixed time, starting
# from its seed corpus fuzz/corpus/NAME/ (and what earlier runs added, kept in
# build-fuzz/corpus/NAME/), with fuzz/NAME.dict when there is one. Prints one
# line per fuzzer: seconds, executions, executions a second, corpus size and
# findings. A finding (crash, sanitizer report, leak, timeout, memory over
# the limit) keeps its input under build-fuzz/findings/NAME/, prints its path
# and makes the script exit 1.
#
#   scripts/fuzz.sh [--seconds N] [--only NAME] [--jobs N] [--build-dir DIR] [--no-build]
#
# --seconds N   time per fuzzer (default 20)
# --only NAME   run one fuzzer (NAME or NAME_fuzzer); may be repeated
# --jobs N      run N fuzzers at a time (default 1)
# --no-build    run what build-fuzz/ holds
#
# A fuzzer's temporary files (its sandbox machines) stay below
# build-fuzz/tmp/NAME while it runs.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=20
build="$here/build-fuzz"
only=()
do_build=1
parallel=1
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds=$2; shift 2 ;;
    --only) only+=("${2%_fuzzer}"); shift 2 ;;
    --build-dir) build=$2; shift 2 ;;
    --jobs) parallel=$2; shift 2 ;;
    --no-build) do_build=0; shift ;;
    -h|--help) sed -n '2,21p' "$0"; exit 0 ;;
    *) echo "fuzz.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

# The compiler and its fuzzer runtime.
need=()
command -v clang++-14 >/dev/null || need+=(clang-14)
command -v ninja >/dev/null || need+=(ninja-build)
[ -e /usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a ] ||
  ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 ||
  need+=(libclang-rt-14-dev)
if [ ${#need[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  echo "fuzz.sh: installing ${need[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${need[@]}"
fi

if [ "$do_build" -eq 1 ]; then
  started=$(date +%s)
  if [ ! -f "$build/CMakeCache.txt" ]; then
    mkdir -p "$build"
    CC=clang-14 CXX=clang++-14 cmake -S "$here" -B "$build" -G Ninja -DQV_FUZZ=ON \
      -DCMAKE_BUILD_TYPE=Fuzz >"$build/configure.log" 2>&1 ||
      { cat "$build/configure.log"; exit 1; }
  fi
  cmake --build "$build" --target qv_fuzzers -j "$(nproc 2>/dev/null || echo 2)"
  echo "fuzz.sh: build took $(( $(date +%s) - started )) s"
fi

names=()
for source in "$here"/fuzz/*_fuzzer.cc; do
  name=$(basename "$source" _fuzzer.cc)
  if [ ${#only[@]} -gt 0 ] && [[ ! " ${only[*]} " == *" $name "* ]]; then continue; fi
  names+=("$name")
done
[ ${#names[@]} -gt 0 ] || { echo "fuzz.sh: no fuzzer named ${only[*]}" >&2; exit 2; }

# Runs one fuzzer; its line of the table goes to $build/results/NAME.txt.
run_one() {
  local name=$1
  local binary="$build/fuzz/${name}_fuzzer"
  local corpus="$build/corpus/$name"
  local findings="$build/findings/$name"
  local log="$build/logs/$name.log"
  local tmp="$build/tmp/$name"
  mkdir -p "$corpus" "$findings" "$(dirname "$log")" "$build/results"
  rm -rf "$tmp"
  mkdir -p "$tmp"
  local args=(-max_total_time="$seconds" -print_final_stats=1 -timeout=25 -rss_limit_mb=2560
              -artifact_prefix="$findings/")
  [ -f "$here/fuzz/$name.dict" ] && args+=(-dict="$here/fuzz/$name.dict")
  local started status=0
  started=$(date +%s)
  TMPDIR="$tmp" "$binary" "${args[@]}" "$corpus" "$here/fuzz/corpus/$name" >"$log" 2>&1 ||
    status=$?
  local took=$(( $(date +%s) - started ))
  local runs rate size found
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  size=$(find "$corpus" -type f | wc -l)
  found=$(sed -n 's/.*Test unit written to //p' "$log")
  rm -rf "$tmp"
  {
    if [ "$status" -ne 0 ] || [ -n "$found" ]; then
      printf '%-16s %8s %12s %9s %8s %s\n' "$name" "$took" "${runs:-?}" "${rate:-?}" "$size" \
        "FINDING (exit $status)"
      grep -E "ERROR:|runtime error|fuzz check failed|SUMMARY" "$log" | head -5 | sed 's/^/    /' || true
      for f in $found; do echo "    input kept: $f"; done
      echo "    log: $log"
    else
      printf '%-16s %8s %12s %9s %8s %s\n' "$name" "$took" "${runs:-?}" "${rate:-?}" "$size" none
    fi
  } >"$build/results/$name.txt"
  [ "$status" -eq 0 ] && [ -z "$found" ]
}

export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for name in "${names[@]}"; do rm -f "$build/results/$name.txt"; done
started=$(date +%s)
pids=()
for name in "${names[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do wait -n || true; done
  run_one "$name" &
  pids+=($!)
done
failed=0
for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
printf '%-16s %8s %12s %9s %8s %s\n' fuzzer seconds executions exec/s corpus findings
for name in "${names[@]}"; do cat "$build/results/$name.txt"; done
echo "fuzz.sh: ${#names[@]} fuzzers, $(( $(date +%s) - started )) s"
exit "$failed"
