#!/usr/bin/env bash
# Sets up everything the signing demo needs and runs it, from a fresh clone:
#   bash scripts/demo.sh [INPUT_FONT [OUTPUT_FONT]]
# It makes a virtual environment under build/demo-venv, installs glyphward
# from this checkout (compiled with the machine's C++ compiler; this gives the
# `glyphward` command) together with cryptography and fontTools, and runs
# examples/sign_font.py with the arguments given: it signs the font with
# `glyphward sign` and the example signer examples/stand_in_signer.py, then
# verifies the result without the command. Relative paths are taken from the
# directory you run it in.
# The package is rebuilt only when the sources have changed since the last run.
# With GLYPHWARD_WHEEL naming a built wheel, that wheel is installed instead
# (the test command uses this to run the demo on the wheel it tests).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
python="${PYTHON:-python3}"
venv="$root/build/demo-venv"

if ! command -v c++ >/dev/null 2>&1 && ! command -v g++ >/dev/null 2>&1; then
  echo "demo.sh: a C++17 compiler is needed to build glyphward (on Debian: apt-get install g++)" >&2
  exit 2
fi

if [[ ! -x "$venv/bin/python" ]]; then
  echo "demo.sh: creating $venv" >&2
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet --upgrade pip
fi

# A fingerprint of everything the build reads, to skip a rebuild when nothing changed.
stamp="$venv/glyphward-source.sha256"
if [[ -n "${GLYPHWARD_WHEEL:-}" ]]; then
  source=$(realpath "$GLYPHWARD_WHEEL")
  fingerprint=$(sha256sum "$source" | cut -d' ' -f1)
else
  source=$root
  fingerprint=$(cd "$root" && find CMakeLists.txt pyproject.toml src -type f -print0 | sort -z \
    | xargs -0 sha256sum | sha256sum | cut -d' ' -f1)
fi
if [[ ! -f "$stamp" || "$(cat "$stamp")" != "$fingerprint" ]] \
   || [[ ! -x "$venv/bin/glyphward" ]] \
   || ! "$venv/bin/python" -c "import glyphward, glyphward_cli, cryptography, fontTools" 2>/dev/null; then
  echo "demo.sh: installing glyphward ($source), cryptography and fontTools into $venv" >&2
  "$venv/bin/python" -m pip install --quiet --force-reinstall --no-deps "$source"
  # The package's own dependencies (as its metadata lists them), then the demo's.
  mapfile -t requirements < <("$venv/bin/python" -c \
    "import importlib.metadata as m, sys; sys.stdout.writelines(r + '\n' for r in m.requires('glyphward') or [])")
  "$venv/bin/python" -m pip install --quiet "${requirements[@]}" cryptography fonttools
  echo "$fingerprint" > "$stamp"
fi

exec "$venv/bin/python" "$root/examples/sign_font.py" "$@"
