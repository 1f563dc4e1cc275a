#!/usr/bin/env bash
# Installs the wheel into a fresh virtual environment of each supported
# CPython and runs the Python test suite there.
set -euo pipefail
wheel=$(realpath "${1:?usage: test-python.sh WHEEL [VERSION...]}")
shift
cd "$(dirname "$0")/.."
versions=("${@:-3.9 3.10 3.11 3.12 3.13}")
read -r -a versions <<< "${versions[*]}"
for version in "${versions[@]}"; do
  python=$(ls -d /root/.pyenv/versions/"$version".*/bin/python3 | head -1)
  venv="build/venv-$version"
  echo "=== CPython $version ($python)"
  rm -rf "$venv"
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet --upgrade pip
  "$venv/bin/python" -m pip install --quiet -r tests/requirements.txt "$wheel"
  (cd tests && GLYPHWARD_WHEEL="$wheel" "../$venv/bin/python" -m pytest -q -p no:cacheprovider python)
done
