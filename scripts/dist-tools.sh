#!/usr/bin/env bash
# Makes the virtual environment of the release tools (build/dist-tools, or
# GLYPHWARD_DIST_TOOLS, with the versions pinned in
# scripts/dist-requirements.txt) unless it is there and up to date, and prints
# its bin directory.
#   bin=$(bash scripts/dist-tools.sh)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
requirements="$root/scripts/dist-requirements.txt"
venv="${GLYPHWARD_DIST_TOOLS:-$root/build/dist-tools}"
python="${GLYPHWARD_DIST_PYTHON:-$(ls -d /root/.pyenv/versions/3.9.*/bin/python3 2>/dev/null | head -1)}"
python="${python:-python3}"

stamp="$venv/requirements.sha256"
wanted=$(sha256sum "$requirements" | cut -d' ' -f1)
if [[ ! -x "$venv/bin/python" || ! -f "$stamp" || "$(cat "$stamp")" != "$wanted" ]]; then
  echo "dist-tools.sh: installing the release tools into $venv" >&2
  rm -rf "$venv"
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet --upgrade pip >&2
  "$venv/bin/python" -m pip install --quiet --no-deps -r "$requirements" >&2
  "$venv/bin/python" -m pip check >&2
  echo "$wanted" > "$stamp"
fi
echo "$venv/bin"
