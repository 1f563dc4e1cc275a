#!/usr/bin/env bash
# Checks the files of a release build (scripts/release.sh) before they could
# be uploaded:
#   bash scripts/check-dist.sh DIST
# - DIST holds exactly one sdist and the x86-64 and arm64 manylinux_2_17
#   wheels of the same version, and `twine check --strict` passes on each;
# - each wheel passes scripts/check-abi.sh (auditwheel show, abi3audit);
# - the sdist holds no build output, caches or stray corpora, and holds
#   enough: unpacked in an empty directory, it is installed with pip into a
#   fresh virtual environment, built by the system's C++ compiler as a user
#   without the release tools would build it, and the Python test suite
#   that the sdist carries runs against that installation.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dist=$(realpath "${1:?usage: check-dist.sh DIST}")
python="${GLYPHWARD_SDIST_PYTHON:-$(ls -d /root/.pyenv/versions/3.13.*/bin/python3 2>/dev/null | head -1)}"
python="${python:-python3}"
fail() { echo "check-dist.sh: $*" >&2; exit 1; }

shopt -s nullglob
sdists=("$dist"/glyphward-*.tar.gz)
x86=("$dist"/glyphward-*-cp39-abi3-*manylinux_2_17_x86_64.whl)
arm=("$dist"/glyphward-*-cp39-abi3-*manylinux_2_17_aarch64.whl)
shopt -u nullglob
((${#sdists[@]} == 1 && ${#x86[@]} == 1 && ${#arm[@]} == 1)) \
  || fail "$dist must hold one sdist and one x86_64 and one aarch64 manylinux_2_17 wheel: $(ls "$dist")"
(($(ls -A "$dist" | wc -l) == 3)) || fail "$dist holds other files: $(ls -A "$dist")"
sdist=${sdists[0]}
version=$(basename "$sdist" .tar.gz)
version=${version#glyphward-}
for wheel in "${x86[0]}" "${arm[0]}"; do
  [[ $(basename "$wheel") == "glyphward-$version-"* ]] || fail "$(basename "$wheel") is not version $version"
done

bin=$(bash "$root/scripts/dist-tools.sh")
echo "== twine check"
"$bin/twine" check --strict "$sdist" "${x86[0]}" "${arm[0]}"

for wheel in "${x86[0]}" "${arm[0]}"; do
  echo "== $(basename "$wheel")"
  bash "$root/scripts/check-abi.sh" "$wheel"
done

echo "== sdist contents"
listing=$(tar --list --gzip --file="$sdist")
files=$(sed -n "s|^glyphward-$version/||p" <<< "$listing" | grep -v '/$' | sort)
echo "$(wc -l <<< "$files") files, $(du -k "$sdist" | cut -f1) KiB"
if grep -v "^glyphward-$version/" <<< "$listing"; then
  fail "the sdist has entries outside glyphward-$version/"
fi
# Build output, caches, compiled files, fuzzing state, editor and VCS files.
junk=$(grep -E '(^|/)(build|dist|__pycache__|\.hypothesis|\.pytest_cache|\.git|\.venv[^/]*|corpus|crashes)(/|$)|\.(so|o|a|pyc|pyo|whl)$|~$' <<< "$files" || true)
[[ -z $junk ]] || fail "the sdist holds files no build needs:"$'\n'"$junk"
for needed in PKG-INFO LICENSE README.md pyproject.toml CMakeLists.txt src/module/exports.map \
              src/woff2_module/exports.map stubs/glyphward-stubs/__init__.pyi \
              stubs/glyphward_woff2-stubs/__init__.pyi tests/requirements.txt; do
  grep -qx "$needed" <<< "$files" || fail "the sdist lacks $needed"
done

echo "== sdist: pip install with the system's compiler, then the sdist's own test suite"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
tar --extract --gzip --file="$sdist" --directory="$scratch"
"$python" -m venv "$scratch/venv"
"$scratch/venv/bin/python" -m pip install --quiet --upgrade pip
# No release tool leaks into this build: the environment names no zig, and
# pip builds in an isolated environment of its own.
(
  unset GLYPHWARD_ZIG GLYPHWARD_ZIG_TARGET CMAKE_TOOLCHAIN_FILE
  cd "$scratch"
  "$scratch/venv/bin/python" -m pip install --quiet "$sdist"
)
"$scratch/venv/bin/python" -m pip install --quiet -r "$scratch/glyphward-$version/tests/requirements.txt"
for name in glyphward glyphward_woff2; do
  module=$(cd "$scratch" && "$scratch/venv/bin/python" -c "import $name; print($name.__file__)")
  [[ $module == "$scratch/venv/"* ]] || fail "$name was imported from $module, not the installation"
done
(cd "$scratch/glyphward-$version/tests" && "$scratch/venv/bin/python" -m pytest -q -p no:cacheprovider python)
echo "distribution checks passed"
