#!/usr/bin/env bash
# The whole test suite, from a fresh clone on a fresh machine:
#   bash scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup-system.sh
wheel=$(bash scripts/build-wheel.sh)
echo "built $wheel"
bash scripts/test-cpp.sh
bash scripts/test-python.sh "$wheel"
