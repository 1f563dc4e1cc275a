#!/usr/bin/env bash
# Audits a built release wheel:
# - auditwheel show must find it consistent with manylinux_2_17 for its
#   processor (glibc 2.17 symbols at most, no C++ runtime or other library
#   outside the manylinux set), and the file must carry that tag;
# - abi3audit: every symbol the extension imports from the interpreter must
#   belong to the stable ABI, at a version no newer than the wheel's abi3 tag
#   (cp39) allows. Any finding fails.
#
#   bash scripts/check-abi.sh dist/glyphward-*-cp39-abi3-*manylinux_2_17_*.whl
set -euo pipefail
cd "$(dirname "$0")/.."
wheel="${1:?usage: check-abi.sh WHEEL}"
venv=build/abi3audit-venv
python="${GLYPHWARD_ABI_PYTHON:-python3}"

arch=$(basename "$wheel" .whl)
arch=${arch##*_2_17_}
case $arch in
  x86_64|aarch64) ;;
  *) echo "check-abi.sh: $(basename "$wheel") is not tagged manylinux_2_17_x86_64 or _aarch64" >&2; exit 1 ;;
esac
bin=$(bash scripts/dist-tools.sh)
echo "== auditwheel show"
report=$("$bin/auditwheel" show "$wheel" 2>&1)
echo "$report"
# The platform tag auditwheel finds from the symbols the extension imports.
found=$(tr -s ' \n' ' ' <<< "$report" | sed -n 's/.*consistent with the following platform tag: "\([^"]*\)".*/\1/p')
if [[ $found != "manylinux_2_17_$arch" ]]; then
  echo "check-abi.sh: auditwheel finds ${found:-no platform tag}, not manylinux_2_17_$arch" >&2
  exit 1
fi

echo "== abi3audit"
if [[ ! -x $venv/bin/abi3audit ]]; then
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet --upgrade pip
  "$venv/bin/python" -m pip install --quiet abi3audit
fi
"$venv/bin/abi3audit" --version
"$venv/bin/abi3audit" --strict --summary --verbose "$wheel"
