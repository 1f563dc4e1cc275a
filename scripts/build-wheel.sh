#!/usr/bin/env bash
# Builds the one abi3 wheel into dist/ and prints its path.
set -euo pipefail
cd "$(dirname "$0")/.."
builder="${GLYPHWARD_BUILD_PYTHON:-/root/.pyenv/versions/3.9.18/bin/python3}"
rm -rf dist/*.whl
"$builder" -m pip wheel --quiet --no-deps --wheel-dir dist . >&2
wheel=$(ls dist/glyphward-*-cp39-abi3-*.whl)
echo "$wheel"
