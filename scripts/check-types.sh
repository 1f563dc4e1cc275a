#!/usr/bin/env bash
# Checks the type stubs that the wheel ships: installs the wheel and mypy into
# a fresh virtual environment under build/, compares the stubs with the
# installed module (mypy.stubtest, no allowlist), and runs mypy --strict on a
# typed example program, on calls that the stubs must reject, and on the
# wheel's pure-Python packages (the command and the C2PA layer).
#   bash scripts/check-types.sh WHEEL
set -euo pipefail
wheel=$(realpath "$1")
cd "$(dirname "$0")/.."
unset PYTHONPATH
python="${GLYPHWARD_TYPES_PYTHON:-python3}"
venv=build/types-venv

rm -rf "$venv"
"$python" -m venv "$venv"
"$venv/bin/python" -m pip install --quiet --upgrade pip
"$venv/bin/python" -m pip install --quiet "mypy>=1.15" "$wheel"

# The stubs come from the wheel, as a PEP 561 stub-only package.
"$venv/bin/python" - <<'PY'
import sysconfig
from pathlib import Path

for package in ("glyphward-stubs", "glyphward_woff2-stubs"):
    stub = Path(sysconfig.get_paths()["platlib"]) / package / "__init__.pyi"
    assert stub.is_file(), f"{stub} was not installed by the wheel"
    print(f"stubs installed at {stub}")
PY

# Run from an empty directory, so that only installed files are found.
workdir=$(mktemp -d)
trap 'rm -rf "$workdir"' EXIT
repo=$PWD
# --strict-bytes (the default from mypy 2.0 on): bytearray and memoryview are
# not bytes, as glyphward's font arguments require.
mypy=("$repo/$venv/bin/python" -m mypy --strict --strict-bytes --no-incremental --cache-dir=/dev/null)
(
  cd "$workdir"
  echo "== stubtest"
  "$repo/$venv/bin/python" -m mypy.stubtest glyphward glyphward_woff2
  echo "== mypy --strict: typed example"
  "${mypy[@]}" "$repo/examples/typed_usage.py"
  echo "== mypy --strict: calls the stubs must reject (each ignore must be used)"
  "${mypy[@]}" "$repo/tests/typing/misuse.py"
  echo "== the typed example runs"
  "$repo/$venv/bin/python" "$repo/examples/typed_usage.py" >/dev/null
  echo "== mypy --strict: the command and the C2PA layer, as the wheel installs them"
  "${mypy[@]}" --config-file "$repo/pyproject.toml" -p glyphward_cli -p glyphward_c2pa
)
echo "type checks passed"
