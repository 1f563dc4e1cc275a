#!/usr/bin/env bash
# The benchmark, in one command: installs glyphward and fontTools into a
# virtual environment under build/, then times glyphward against fontTools
# and against copying the font's bytes, prints the table and checks the
# targets (bench/benchmark.py).
#   bash scripts/bench.sh [--repeat N] [--pairs N] [--no-memory] [--cold] [--check]
#   GLYPHWARD_BENCH_WHEEL=dist/glyphward-...whl bash scripts/bench.sh --check
# glyphward comes from `pip install .` of this checkout, or, with
# GLYPHWARD_BENCH_WHEEL, from that wheel (the release wheel that
# scripts/build-wheel.sh makes). Needs the fonts that scripts/setup-system.sh
# installs.
set -euo pipefail
cd "$(dirname "$0")/.."

python="${GLYPHWARD_BENCH_PYTHON:-python3}"
venv=build/bench-venv
if [[ ! -x "$venv/bin/python" ]]; then
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet --upgrade pip
fi
"$venv/bin/python" -m pip install --quiet "fonttools>=4.50"
if [[ -n ${GLYPHWARD_BENCH_WHEEL:-} ]]; then
  wheel=$(realpath "$GLYPHWARD_BENCH_WHEEL")
  [[ -f $wheel ]] || { echo "bench.sh: no wheel at $GLYPHWARD_BENCH_WHEEL" >&2; exit 1; }
  "$venv/bin/python" -m pip install --quiet --force-reinstall --no-deps "$wheel"
  echo "glyphward installed from $wheel"
else
  # Rebuilt on every run, so that the numbers are those of the sources at
  # hand; the build directory is kept so that only changed sources are
  # compiled.
  "$venv/bin/python" -m pip install --quiet --force-reinstall --no-deps \
    --config-settings=build-dir=build/bench-wheel .
  echo "glyphward installed by pip install . (the system's C++ compiler)"
fi
exec "$venv/bin/python" bench/benchmark.py "$@"
