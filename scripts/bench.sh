#!/usr/bin/env bash
# The benchmark, in one command: builds and installs glyphward and fontTools
# into a virtual environment under build/, then times glyphward against
# fontTools and against copying the font's bytes, and prints the table.
#   bash scripts/bench.sh [--repeat N] [--fonttools-repeat N] [--no-memory] [--check]
# Needs the fonts that scripts/setup-system.sh installs.
set -euo pipefail
cd "$(dirname "$0")/.."

python="${GLYPHWARD_BENCH_PYTHON:-python3}"
venv=build/bench-venv
if [[ ! -x "$venv/bin/python" ]]; then
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet --upgrade pip
fi
"$venv/bin/python" -m pip install --quiet "fonttools>=4.50"
# Rebuilt on every run, so that the numbers are those of the sources at hand;
# the build directory is kept so that only changed sources are compiled.
"$venv/bin/python" -m pip install --quiet --force-reinstall --no-deps \
  --config-settings=build-dir=build/bench-wheel .
exec "$venv/bin/python" bench/benchmark.py "$@"
