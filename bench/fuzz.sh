#!/usr/bin/env bash
# Runs every libFuzzer target (tests/fuzz/fuzz_<name>.cpp) for a set time,
# starting from its kept inputs, and prints one line per target.
#
#   bench/fuzz.sh [seconds-per-target, default 60] [build-dir, default build-fuzz]
#
# ORVO_FUZZ_TARGETS="save ajax" runs only those targets.
#
# The clang build with -DORVO_FUZZ=ON is configured and built when needed. New
# interesting inputs go to <build-dir>/fuzz-scratch/<name>/new, never into the
# committed corpus; crash, leak and time-out inputs to .../<name>/artifacts.
# A found input that shows a fault is fixed in the code and then copied into
# tests/fuzz/corpus/<name>/ by hand, where the ordinary tests replay it.
set -euo pipefail

seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${2:-build-fuzz}
case $build in /*) ;; *) build=$root/$build ;; esac
cd "$root"

export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root}
if ! grep -qs '^ORVO_FUZZ:BOOL=ON' "$build/CMakeCache.txt"; then
  CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DORVO_FUZZ=ON -DBUILD_TESTING=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
else
  # Picks up targets added since the last configure.
  cmake -S "$root" -B "$build" >/dev/null
fi

targets=()
if [ -n "${ORVO_FUZZ_TARGETS:-}" ]; then
  read -r -a targets <<<"$ORVO_FUZZ_TARGETS"
else
  for source in tests/fuzz/fuzz_*.cpp; do
    name=${source##*/fuzz_}
    targets+=("${name%.cpp}")
  done
fi
cmake --build "$build" -j2 --target "${targets[@]/#/fuzz_}" >/dev/null

# Leaks are reported, undefined behaviour stops the run like a crash.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export QT_QPA_PLATFORM=offscreen LC_ALL=C.UTF-8

scratch=$build/fuzz-scratch
rows=()
status=0
for name in "${targets[@]}"; do
  dir=$scratch/$name
  rm -rf "$dir/artifacts"
  mkdir -p "$dir/new" "$dir/artifacts"
  before=$(find "$dir/new" -type f | wc -l)
  corpus=$root/tests/fuzz/corpus/$name
  mkdir -p "$corpus"
  started=$(date +%s)
  # The first folder receives new inputs; the kept corpus is only read.
  if (cd "$dir" && "$build/tests/fuzz_$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$dir/artifacts/" new "$corpus") >"$dir/log" 2>&1; then
    result=ok
  else
    result=FAULT
    status=1
  fi
  elapsed=$(( $(date +%s) - started ))
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$dir/log" | tail -1)
  added=$(( $(find "$dir/new" -type f | wc -l) - before ))
  crashes=$(find "$dir/artifacts" -type f | wc -l)
  rows+=("$(printf '| %-10s | %9s | %8s | %7s | %7s | %7s | %-6s |' \
    "$name" "${runs:--}" "${rate:--}" "$added" "$crashes" "$elapsed" "$result")")
done

echo "| target     |      runs |  execs/s |     new | crashes | seconds | result |"
echo "|------------|-----------|----------|---------|---------|---------|--------|"
printf '%s\n' "${rows[@]}"
if [ $status -ne 0 ]; then
  echo "Faults: see $scratch/<target>/log and .../artifacts" >&2
fi
exit $status
