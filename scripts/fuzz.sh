#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, twice: with every checksum kernel (in $build,
# default build/fuzz; the operations use the fastest kernel the processor
# offers, checksum_fuzzer compares them all) and with the portable kernel
# forced (in $build-portable, GLYPHWARD_PORTABLE_KERNELS). Each target runs
# SECONDS_PER_TARGET in all (default 60): three quarters in the first build,
# a quarter in the second. Prints the executions of every target; fails if
# any target crashes (a sanitizer report, a broken invariant, a leak, a
# time-out or running out of memory). Crashing inputs are kept in
# <build>/crashes/<target>/; the corpus, shared by both builds, grows across
# runs in $build/corpus/<target>/. Besides the generated seeds
# (fuzz/make_seeds.py), each target starts from the inputs kept in
# tests/python/fuzz_regressions/<target>/.
#
#   bash scripts/fuzz.sh [SECONDS_PER_TARGET]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
build="${GLYPHWARD_FUZZ_BUILD:-build/fuzz}"
portable_seconds=$((seconds / 4 > 0 ? seconds / 4 : 1))
dispatched_seconds=$((seconds - portable_seconds > 0 ? seconds - portable_seconds : 1))

configure() {
  CC=clang CXX=clang++ cmake -S . -B "$1" -G Ninja -DGLYPHWARD_BUILD_MODULE=OFF \
    -DGLYPHWARD_BUILD_FUZZERS=ON -DGLYPHWARD_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DGLYPHWARD_PORTABLE_KERNELS="$2" >/dev/null
  cmake --build "$1" >/dev/null
}
configure "$build" OFF
configure "$build-portable" ON
rm -rf "$build/seeds"
python3 fuzz/make_seeds.py "$build/seeds" >/dev/null

export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=0:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"

failed=()
printf '%-20s %-9s %12s %8s %s\n' target kernels executions 'exec/s' result
for variant in "$build:dispatched:$dispatched_seconds" "$build-portable:portable:$portable_seconds"; do
  IFS=: read -r dir kernels time <<<"$variant"
  mkdir -p "$dir/logs"
  for binary in "$dir"/*_fuzzer; do
    name=$(basename "$binary")
    corpus="$build/corpus/$name"
    crashes="$dir/crashes/$name"
    log="$dir/logs/$name.log"
    mkdir -p "$corpus" "$crashes"
    inputs=("$corpus" "$build/seeds/$name")
    [[ -d tests/python/fuzz_regressions/$name ]] && inputs+=("tests/python/fuzz_regressions/$name")
    result=ok
    "$binary" "${inputs[@]}" -dict=fuzz/sfnt.dict -max_total_time="$time" \
      -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$crashes/" >"$log" 2>&1 || result=CRASH
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    printf '%-20s %-9s %12s %8s %s\n' "$name" "$kernels" "${executions:-?}" "${rate:-?}" "$result"
    if [[ $result != ok ]]; then
      failed+=("$name ($kernels)")
      grep -E 'ERROR|SUMMARY|runtime error|Test unit written|deadly signal' "$log" | head -20 >&2 || true
    fi
  done
done

if ((${#failed[@]})); then
  echo "fuzzing found crashes in: ${failed[*]} (inputs in <build>/crashes/, logs in <build>/logs/)" >&2
  exit 1
fi
echo "fuzzing: ${seconds}s per target (${dispatched_seconds}s dispatched, ${portable_seconds}s portable), no crashes"
