#!/usr/bin/env bash
# The whole test suite, from a fresh clone on a fresh machine (Debian, root):
#   bash scripts/test.sh
# Set GLYPHWARD_FUZZ_SECONDS to change the fuzzing time per target (default 60;
# the C2PA validator's atheris target gets as long).
set -euo pipefail
cd "$(dirname "$0")/.."

step() { printf '\n===== %s\n' "$*"; }

step "system packages"
bash scripts/setup-system.sh

step "release build: sdist, and from it the manylinux wheels (x86-64, arm64)"
bash scripts/release.sh
# The x86-64 release wheel (Zig's clang, glibc 2.17, repaired by auditwheel):
# every step below that installs glyphward installs this file.
wheel=$(ls "$PWD"/dist/glyphward-*-cp39-abi3-*manylinux_2_17_x86_64.whl)
arm64_wheel=$(ls "$PWD"/dist/glyphward-*-cp39-abi3-*manylinux_2_17_aarch64.whl)

step "release checks: twine, auditwheel, abi3audit, the sdist built with the system compiler and tested"
bash scripts/check-dist.sh dist

step "reproducible build"
bash scripts/check-reproducible.sh dist

step "type stubs"
bash scripts/check-types.sh "$wheel"

step "C++ unit tests"
bash scripts/test-cpp.sh

step "Python tests on every CPython 3.9 or newer found (pyenv's, the system's python3.X)"
bash scripts/test-python.sh "$wheel"

step "Python tests against an ASan + UBSan build"
bash scripts/test-sanitizers.sh

step "fuzzing"
bash scripts/fuzz.sh "${GLYPHWARD_FUZZ_SECONDS:-60}"

step "fuzzing the C2PA validator (atheris, the release wheel)"
bash scripts/fuzz-python.sh "$wheel" "${GLYPHWARD_FUZZ_SECONDS:-60}"

step "signing demo"
GLYPHWARD_WHEEL="$wheel" bash scripts/demo.sh

step "Python tests on the arm64 wheel, under emulation"
bash scripts/test-arm64.sh "$arm64_wheel"

step "all tests passed"
