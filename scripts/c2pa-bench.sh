#!/usr/bin/env bash
# The benchmark of glyphward's C2PA layer, in one command: installs glyphward
# and its dependencies (cryptography, cbor2, fontTools, ...) into a virtual
# environment under build/, then times sign_font and verify_font against
# hashing and copying the font's bytes, and `glyphward verify` against
# sha256sum, measures their peak memory, prints the tables and checks the
# targets (bench/c2pa_benchmark.py); first, the cost of verifying hostile
# fonts (bench/adversarial_benchmark.py).
#   bash scripts/c2pa-bench.sh [--pairs N] [--rounds N] [--quick] [--check] [--profile]
#   GLYPHWARD_BENCH_WHEEL=dist/glyphward-...whl bash scripts/c2pa-bench.sh --check
# glyphward comes from `pip install .` of this checkout, or, with
# GLYPHWARD_BENCH_WHEEL, from that wheel (the release wheel that
# scripts/build-wheel.sh makes). Needs the fonts that scripts/setup-system.sh
# installs, and sha256sum (coreutils).
set -euo pipefail
cd "$(dirname "$0")/.."

python="${GLYPHWARD_BENCH_PYTHON:-python3}"
venv=build/c2pa-bench-venv
if [[ ! -x "$venv/bin/python" ]]; then
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet --upgrade pip
fi
if [[ -n ${GLYPHWARD_BENCH_WHEEL:-} ]]; then
  wheel=$(realpath "$GLYPHWARD_BENCH_WHEEL")
  [[ -f $wheel ]] || { echo "c2pa-bench.sh: no wheel at $GLYPHWARD_BENCH_WHEEL" >&2; exit 1; }
  "$venv/bin/python" -m pip install --quiet --force-reinstall --no-deps "$wheel"
  echo "glyphward installed from $wheel"
else
  # Rebuilt on every run, so that the numbers are those of the sources at
  # hand; the build directory is kept so that only changed sources are
  # compiled.
  "$venv/bin/python" -m pip install --quiet --force-reinstall --no-deps \
    --config-settings=build-dir=build/c2pa-bench-wheel .
  echo "glyphward installed by pip install . (the system's C++ compiler)"
fi
# The dependencies glyphward declares, as the installed package lists them.
requirements=build/c2pa-bench-requirements.txt
"$venv/bin/python" -c '
from importlib.metadata import requires
print("\n".join(r for r in requires("glyphward") or () if "extra ==" not in r))' >"$requirements"
"$venv/bin/python" -m pip install --quiet -r "$requirements"
# The hostile fonts of the adversarial tests, verified with their time, peak
# memory and record size (bench/adversarial_benchmark.py): built with the
# test helpers, which need pytest, and brotli for compressed manifests.
"$venv/bin/python" -m pip install --quiet pytest "brotli>=1.2"
"$venv/bin/python" bench/adversarial_benchmark.py
exec "$venv/bin/python" bench/c2pa_benchmark.py "$@"
