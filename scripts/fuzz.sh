#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs each for SECONDS_PER_TARGET (default
# 60). Prints the executions of every target; fails if any target crashes
# (a sanitizer report, a broken invariant, a leak, a time-out or running out
# of memory). Crashing inputs are kept in build/fuzz/crashes/<target>/; the
# corpus grows across runs in build/fuzz/corpus/<target>/. Besides the
# generated seeds (fuzz/make_seeds.py), each target starts from the inputs
# kept in tests/python/fuzz_regressions/<target>/.
#
#   bash scripts/fuzz.sh [SECONDS_PER_TARGET]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
build="${GLYPHWARD_FUZZ_BUILD:-build/fuzz}"

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DGLYPHWARD_BUILD_MODULE=OFF \
  -DGLYPHWARD_BUILD_FUZZERS=ON -DGLYPHWARD_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" >/dev/null
rm -rf "$build/seeds"
python3 fuzz/make_seeds.py "$build/seeds" >/dev/null
mkdir -p "$build/logs"

export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=0:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"

failed=()
printf '%-20s %12s %8s %s\n' target executions 'exec/s' result
for binary in "$build"/*_fuzzer; do
  name=$(basename "$binary")
  corpus="$build/corpus/$name"
  crashes="$build/crashes/$name"
  log="$build/logs/$name.log"
  mkdir -p "$corpus" "$crashes"
  inputs=("$corpus" "$build/seeds/$name")
  [[ -d tests/python/fuzz_regressions/$name ]] && inputs+=("tests/python/fuzz_regressions/$name")
  result=ok
  "$binary" "${inputs[@]}" -dict=fuzz/sfnt.dict -max_total_time="$seconds" \
    -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$crashes/" >"$log" 2>&1 || result=CRASH
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  printf '%-20s %12s %8s %s\n' "$name" "${executions:-?}" "${rate:-?}" "$result"
  if [[ $result != ok ]]; then
    failed+=("$name")
    grep -E 'ERROR|SUMMARY|runtime error|Test unit written|deadly signal' "$log" | head -20 >&2 || true
  fi
done

if ((${#failed[@]})); then
  echo "fuzzing found crashes in: ${failed[*]} (inputs in $build/crashes/, logs in $build/logs/)" >&2
  exit 1
fi
echo "fuzzing: ${seconds}s per target, no crashes"
