#!/usr/bin/env bash
# Builds and runs the C++ unit tests through CTest.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/cpp-tests -G Ninja -DGLYPHWARD_BUILD_MODULE=OFF -DGLYPHWARD_BUILD_TESTS=ON \
  -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/cpp-tests
ctest --test-dir build/cpp-tests --output-on-failure -j2
