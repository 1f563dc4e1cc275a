#!/usr/bin/env bash
# Installs the wheel into a fresh virtual environment of each CPython 3.9 or
# newer found on the machine and runs the Python test suite there.
#
#   bash scripts/test-python.sh WHEEL [VERSION...]
#
# Interpreters are looked for in pyenv's versions ($PYENV_ROOT/versions, or
# /root/.pyenv/versions) and on PATH as python3.X (the system's); one per
# minor version, pyenv's first. Without VERSION arguments every minor version
# from 3.9 up that is found is tested, and the supported ones that are not
# found (3.9 to 3.13) are named as skipped, with the reason; with them,
# exactly those. The run fails when no interpreter could be tested, and when
# one of GLYPHWARD_REQUIRED_PYTHONS (a space-separated list; CI sets all five)
# is missing or unusable.
set -euo pipefail
wheel=$(realpath "${1:?usage: test-python.sh WHEEL [VERSION...]}")
shift
cd "$(dirname "$0")/.."
supported=(3.9 3.10 3.11 3.12 3.13)
pyenv_versions="${PYENV_ROOT:-/root/.pyenv}/versions"
required=(${GLYPHWARD_REQUIRED_PYTHONS:-})

# The interpreter for minor version $1 (pyenv's newest patch release, else
# python3.X on PATH), or nothing.
find_python() {
  local version=$1 candidate
  for candidate in $(ls -d "$pyenv_versions/$version".*/bin/python3 2>/dev/null | sort -V -r) \
                   $(type -a -P "python$version" 2>/dev/null || true); do
    # pyenv's shims on PATH are not interpreters of their own.
    [[ $candidate == */shims/* ]] && continue
    [[ -x $candidate ]] && { echo "$candidate"; return; }
  done
}

# Why the interpreter $1 cannot run the suite for version $2, or nothing.
unusable() {
  local python=$1 version=$2 found
  found=$("$python" -c 'import platform, sys; print(platform.python_implementation(), "%d.%d" % sys.version_info[:2])' \
    2>/dev/null) || { echo "$python does not run"; return; }
  [[ $found == "CPython $version" ]] || { echo "$python is $found, not CPython $version"; return; }
  "$python" -c 'import ensurepip, venv' 2>/dev/null ||
    echo "$python has no venv or ensurepip module (Debian: apt-get install python$version-venv)"
}

if (($#)); then
  versions=("$@")
else
  # Every minor version found from 3.9 up: the supported ones, and newer
  # ones that pyenv or PATH happen to have.
  versions=("${supported[@]}")
  for candidate in $(ls -d "$pyenv_versions"/3.*/bin/python3 2>/dev/null) $(compgen -c python3. | sort -u); do
    minor=$(sed -E 's|.*/versions/(3\.[0-9]+)\..*|\1|; s|^python(3\.[0-9]+)$|\1|' <<<"$candidate")
    [[ $minor =~ ^3\.([0-9]+)$ ]] && ((BASH_REMATCH[1] > 13)) && [[ " ${versions[*]} " != *" $minor "* ]] &&
      versions+=("$minor")
  done
fi

tested=() skipped=()
for version in "${versions[@]}"; do
  python=$(find_python "$version")
  if [[ -z $python ]]; then
    skipped+=("$version: not installed (neither $pyenv_versions/$version.* nor python$version on PATH)")
    continue
  fi
  why=$(unusable "$python" "$version")
  if [[ -n $why ]]; then
    skipped+=("$version: $why")
    continue
  fi
  venv="build/venv-$version"
  echo "=== CPython $version ($python)"
  rm -rf "$venv"
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet --upgrade pip
  "$venv/bin/python" -m pip install --quiet -r tests/requirements.txt "$wheel"
  (cd tests && GLYPHWARD_WHEEL="$wheel" "../$venv/bin/python" -m pytest -q -p no:cacheprovider python)
  tested+=("$version")
done

echo "Python tests ran on CPython ${tested[*]:-(none)}"
for reason in "${skipped[@]}"; do
  echo "skipped CPython $reason"
done
missing=()
for version in "${required[@]}"; do
  [[ " ${tested[*]} " == *" $version "* ]] || missing+=("$version")
done
if ((${#missing[@]})); then
  echo "GLYPHWARD_REQUIRED_PYTHONS: CPython ${missing[*]} not tested" >&2
  exit 1
fi
if ((${#tested[@]} == 0)); then
  echo "no CPython 3.9 or newer found to test on" >&2
  exit 1
fi
