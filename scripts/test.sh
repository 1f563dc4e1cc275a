#!/usr/bin/env bash
# The whole test suite, from a fresh clone on a fresh machine (Debian, root):
#   bash scripts/test.sh
# Set GLYPHWARD_FUZZ_SECONDS to change the fuzzing time per target (default 60).
set -euo pipefail
cd "$(dirname "$0")/.."

step() { printf '\n===== %s\n' "$*"; }

step "system packages"
bash scripts/setup-system.sh

step "manylinux wheel"
# The release wheel (Zig's clang, glibc 2.17, repaired by auditwheel): every
# step below installs this file.
wheel=$(bash scripts/build-wheel.sh)
echo "built $wheel"

step "auditwheel and abi3audit"
bash scripts/check-abi.sh "$wheel"

step "type stubs"
bash scripts/check-types.sh "$wheel"

step "C++ unit tests"
bash scripts/test-cpp.sh

step "Python tests on CPython 3.9 to 3.13"
bash scripts/test-python.sh "$wheel"

step "Python tests against an ASan + UBSan build"
bash scripts/test-sanitizers.sh

step "fuzzing"
bash scripts/fuzz.sh "${GLYPHWARD_FUZZ_SECONDS:-60}"

step "signing demo"
GLYPHWARD_WHEEL="$wheel" bash scripts/demo.sh

step "all tests passed"
