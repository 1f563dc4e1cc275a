#!/usr/bin/env bash
# Builds and runs the C++ unit tests through CTest, twice:
#   build/cpp-tests           every checksum kernel this processor can run, the
#                             fastest one in use, under ASan and UBSan;
#   build/cpp-tests-portable  the portable kernel only (GLYPHWARD_PORTABLE_KERNELS,
#                             the path of processors without AVX2 and of other
#                             architectures), without sanitizers, so that the
#                             allocation guard replaces operator new.
set -euo pipefail
cd "$(dirname "$0")/.."

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"

run() {
  local build=$1
  shift
  cmake -S . -B "$build" -G Ninja -DGLYPHWARD_BUILD_MODULE=OFF -DGLYPHWARD_BUILD_TESTS=ON \
    -DCMAKE_BUILD_TYPE=Debug "$@" >/dev/null
  cmake --build "$build"
  ctest --test-dir "$build" --output-on-failure -j2
}

run build/cpp-tests -DGLYPHWARD_SANITIZE=ON -DGLYPHWARD_PORTABLE_KERNELS=OFF
run build/cpp-tests-portable -DGLYPHWARD_SANITIZE=OFF -DGLYPHWARD_PORTABLE_KERNELS=ON
