#!/usr/bin/env bash
# Audits a built wheel with abi3audit: every symbol the extension imports
# from the interpreter must belong to the stable ABI, at a version no newer
# than the wheel's abi3 tag (cp39) allows. Any finding fails.
#
#   bash scripts/check-abi.sh dist/glyphward-*-cp39-abi3-*.whl
set -euo pipefail
cd "$(dirname "$0")/.."
wheel="${1:?usage: check-abi.sh WHEEL}"
venv=build/abi3audit-venv
python="${GLYPHWARD_ABI_PYTHON:-python3}"

if [[ ! -x $venv/bin/abi3audit ]]; then
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet --upgrade pip
  "$venv/bin/python" -m pip install --quiet abi3audit
fi
"$venv/bin/abi3audit" --version
"$venv/bin/abi3audit" --strict --summary --verbose "$wheel"
