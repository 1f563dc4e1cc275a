#!/usr/bin/env bash
# The command's benchmark, in one command: installs glyphward (the wheel
# named by GLYPHWARD_WHEEL, or this checkout) and fontTools into a virtual
# environment under build/, then times `glyphward sign`, `glyphward info` and
# `glyphward --version` against fontTools scripts doing the same work.
#   bash scripts/cli-bench.sh [--copies N] [--rounds N] [--info-rounds N] [--startup-runs N]
# Needs the fonts that scripts/setup-system.sh installs.
set -euo pipefail
cd "$(dirname "$0")/.."

python="${GLYPHWARD_BENCH_PYTHON:-python3}"
venv=build/cli-bench-venv
if [[ ! -x "$venv/bin/python" ]]; then
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet --upgrade pip
fi
if [[ -n "${GLYPHWARD_WHEEL:-}" ]]; then
  "$venv/bin/python" -m pip install --quiet --force-reinstall "$GLYPHWARD_WHEEL" "fonttools>=4.50"
else
  "$venv/bin/python" -m pip install --quiet --force-reinstall --config-settings=build-dir=build/cli-bench-build . \
    "fonttools>=4.50"
fi
exec "$venv/bin/python" bench/cli_benchmark.py "$@"
