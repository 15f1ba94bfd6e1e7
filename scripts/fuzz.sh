#!/usr/bin/env bash
# Builds the fuzz targets (tests/fuzz) with clang, AddressSanitizer and
# UBSan into build-fuzz/, and runs each for SECONDS (default 60) from its
# seeds in tests/fuzz/corpus/. Prints, per target, the executions, the
# corpus it grew to and its findings; the inputs that broke a target are kept
# in build-fuzz/findings/<target>/. Exit status 1 when any target found
# something. Usage: scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/deps.sh"
seconds=${1:-60}
shift || true
build=${FUZZ_BUILD_DIR:-$top/build-fuzz}
targets=("$@")
if [ ${#targets[@]} = 0 ]; then
  targets=($(sed -n 's/^add_fuzz_target(\([a-z_]*\) .*/\1/p' "$top/tests/fuzz/CMakeLists.txt"))
fi
CC=clang CXX=clang++ cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFUZZ=ON \
  -DSANITIZE=address,undefined >/dev/null
cmake --build "$build" -j "$(nproc)" $(printf -- '--target %s ' "${targets[@]}")

# The settings target writes a file for every input: in memory it runs far
# faster than on disk.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi
export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
report=()
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  findings="$build/findings/$target"
  mkdir -p "$corpus" "$findings"
  cp -n "$top/tests/fuzz/corpus/$target/"* "$corpus/" 2>/dev/null || true
  log="$build/$target.log"
  set +e
  "$build/tests/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$findings/" "$corpus" >"$log" 2>&1
  code=$?
  set -e
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  found=$(find "$findings" -type f | wc -l)
  inputs=$(find "$corpus" -type f | wc -l)
  if [ "$code" != 0 ] || [ "$found" != 0 ]; then
    status=1
    echo "== $target: FINDING (exit $code); the end of its log:"
    tail -30 "$log"
  fi
  report+=("$(printf '%-24s %14s %8s %9s' "$target" "${runs:-?}" "$inputs" "$found")")
done
printf '%-24s %14s %8s %9s\n' target executions corpus findings
printf '%s\n' "${report[@]}"
exit "$status"
