#!/usr/bin/env bash
# Fuzzes glyphward_c2pa's validator as the wheel ships it: makes a virtual
# environment of CPython 3.11 in build/fuzz-python-venv, installs WHEEL and
# fuzz/requirements-python.txt (atheris, brotli) into it, and runs the
# atheris target fuzz/validator_fuzzer.py for SECONDS (default 60), then
# fuzz/webfont_fuzzer.py (the WOFF/WOFF2 reader) for a third of SECONDS.
#
# The target starts from the corpus in build/fuzz-python/corpus (which grows
# across runs), the seeds it writes to build/fuzz-python/seeds (signed fonts,
# their Manifest Stores and CBOR items, and structure-aware inputs), and the
# inputs kept in tests/python/fuzz_regressions/validator_fuzzer/. Prints the
# executions, their rate and the coverage; fails on any finding, and says
# which: a crash (an exception out of verify_font, a report that is not
# JSON, a run over the target's bounds of CPU time, memory or bytes hashed),
# a time-out or running out of memory; printing the crash's traceback and the
# paths of the input and, for a structure-aware input, of the font it made (a
# mode 0 or 1 input that replays without the seeds): both are in
# build/fuzz-python/crashes/, the whole log in build/fuzz-python/fuzz.log.
#
# The limits follow what verify promises (docs/security.md): a font of up to
# 16 MB verifies within 2 s of CPU time plus two SHA-256 passes, in at most
# 256 MiB beyond its own size. The target checks each run against that
# itself (fuzz/validator_fuzzer.py: TIME_BOUND, MEMORY_BOUND; a run over the
# time bound is replayed without atheris's instrumentation, which slows the
# validator's Python up to about ten times, and only fails if it is slow
# there too); libFuzzer's limits catch a run that never returns:
# -timeout=25 (seconds of wall-clock time: the 2 s bound times the measured
# slow-down of instrumentation, 10.6 on a store of 512,000 CBOR items, with
# room for a loaded machine; a hang shows in under half a minute) and
# -rss_limit_mb=512 (measured: the target rests at 79 MB once its seeds are
# signed and its corpus loaded, and peaks at about 220 MB in a minute of
# fuzzing, a compressed manifest expanded to the validator's 64 MiB limit
# among it: 512 leaves the validator its 256 MiB above that resting size
# and a margin, and stops a blow-up that would never return to be checked).
#
#   bash scripts/fuzz-python.sh WHEEL [SECONDS]
set -euo pipefail
wheel=$(realpath "${1:?usage: fuzz-python.sh WHEEL [SECONDS]}")
seconds="${2:-60}"
cd "$(dirname "$0")/.."
build=build/fuzz-python
venv=build/fuzz-python-venv
python=$(ls -d "${PYENV_ROOT:-/root/.pyenv}"/versions/3.11.*/bin/python3 2>/dev/null | sort -V | tail -1 || true)
python=${python:-$(type -P python3.11 || true)}  # Debian 12's own python3
if [[ -z $python ]]; then
  echo "fuzz-python.sh: no CPython 3.11, from pyenv or as python3.11 on PATH (atheris has wheels for it)" >&2
  exit 1
fi

if [[ ! -x $venv/bin/python ]]; then
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet --upgrade pip
fi
"$venv/bin/python" -m pip install --quiet -r fuzz/requirements-python.txt "$wheel"
# The same version may be installed from another build of it: take this one.
"$venv/bin/python" -m pip install --quiet --force-reinstall --no-deps "$wheel"

rm -rf "$build/seeds" "$build/crashes"
mkdir -p "$build/corpus" "$build/crashes"
# The script's own directory (fuzz/) goes on sys.path, not the checkout's
# src/: glyphward_c2pa is the wheel's.
"$venv/bin/python" fuzz/validator_fuzzer.py --write-seeds="$build/seeds" 2>&1 | grep -v '^INFO: Instrumenting'
inputs=("$build/corpus" "$build/seeds")
[[ -d tests/python/fuzz_regressions/validator_fuzzer ]] && inputs+=(tests/python/fuzz_regressions/validator_fuzzer)

log="$build/fuzz.log"
status=0
"$venv/bin/python" fuzz/validator_fuzzer.py "${inputs[@]}" -dict=fuzz/validator_fuzzer.dict \
  -max_total_time="$seconds" -max_len=16384 -len_control=0 -timeout=25 -rss_limit_mb=512 \
  -print_final_stats=1 -artifact_prefix="$build/crashes/" >"$log" 2>&1 || status=$?

executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
coverage=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1 || true)
echo "validator_fuzzer: ${executions:-?} executions, ${rate:-?}/s, ${coverage:-no coverage reported} (${seconds}s)"
if ((status != 0)); then
  # The traceback, the finding's kind and where its input went.
  sed -n '/=== Uncaught Python exception/,/^SUMMARY/p' "$log" >&2
  grep -E '^== (crash kind|derived input|WARNING)|Test unit written|Slowest unit|out-of-memory|ALARM|timeout after' "$log" >&2 || true
  if grep -q 'ERROR: libFuzzer: timeout after' "$log"; then
    kind="a time-out (a run over -timeout=25 s)"
  elif grep -q 'ERROR: libFuzzer: out-of-memory' "$log"; then
    kind="an out-of-memory (over -rss_limit_mb=512)"
  elif kind=$(sed -n 's/^== crash kind: //p' "$log" | tail -1) && [[ -n $kind ]]; then
    kind="a crash: $kind"
  else
    kind="a crash"
  fi
  # A time-out or an out-of-memory kills the target before it writes the font
  # a structure-aware input made: make it now (from seeds signed anew, so the
  # same structure under other keys).
  # Then the font is replayed without instrumentation, and its CPU time and
  # peak memory are shown.
  for input in "$build"/crashes/timeout-* "$build"/crashes/oom-* "$build"/crashes/slow-unit-*; do
    [[ -f $input && $input != *.font ]] || continue
    font=$input
    if (( $(od -An -tu1 -N1 "$input") % 8 >= 5 )); then
      font=$input.font
      "$venv/bin/python" fuzz/validator_fuzzer.py --derive "$input" "$font" 2>&1 | grep -v '^INFO: Instrumenting' >&2 \
        || { echo "(no font derived from $input)" >&2; continue; }
    fi
    timeout 120 "$venv/bin/python" - "$font" >&2 <<'EOF' || echo "$font: stopped after 120 s without instrumentation, or failed" >&2
import resource, sys, time
from pathlib import Path
from cryptography import x509
import glyphward_c2pa
data = Path(sys.argv[1]).read_bytes()
mode, rest, anchors = data[0] % 8, data[1:], []
if mode == 1:
    length = int.from_bytes(rest[:2], "big")
    anchors, rest = [x509.load_der_x509_certificate(rest[2:2 + length])], rest[2 + length:]
if mode in (0, 1):
    started = time.process_time()
    glyphward_c2pa.verify_font(rest, trust_anchors=anchors, tsa_trust_anchors=anchors)
    print(f"{sys.argv[1]}: {time.process_time() - started:.2f} s of CPU time without instrumentation, peak "
          f"{resource.getrusage(resource.RUSAGE_SELF).ru_maxrss >> 10} MB")
EOF
  done
  echo "validator_fuzzer found $kind (exit $status): inputs in $build/crashes/, log in $log" >&2
  exit 1
fi
echo "fuzzing the validator: ${seconds}s, no crashes, time-outs or running out of memory"

# The WOFF/WOFF2 reader (glyphward_c2pa.webfont, with glyphward_woff2), for a
# third of the time.
webfont_seconds=$((seconds / 3 > 0 ? seconds / 3 : 1))
rm -rf "$build/webfont-seeds"
mkdir -p "$build/webfont-corpus"
"$venv/bin/python" fuzz/webfont_fuzzer.py --write-seeds="$build/webfont-seeds" 2>&1 | grep -v '^INFO: Instrumenting' || true
webfont_log="$build/webfont.log"
if ! "$venv/bin/python" fuzz/webfont_fuzzer.py "$build/webfont-corpus" "$build/webfont-seeds" \
    -max_total_time="$webfont_seconds" -max_len=65536 -timeout=25 -rss_limit_mb=1024 -print_final_stats=1 \
    -artifact_prefix="$build/crashes/webfont-" >"$webfont_log" 2>&1; then
  sed -n '/=== Uncaught Python exception/,/^SUMMARY/p' "$webfont_log" >&2
  tail -20 "$webfont_log" >&2
  echo "webfont_fuzzer found a failure: inputs in $build/crashes/, log in $webfont_log" >&2
  exit 1
fi
echo "webfont_fuzzer: $(sed -n 's/^stat::number_of_executed_units: *//p' "$webfont_log" | tail -1) executions (${webfont_seconds}s)"
