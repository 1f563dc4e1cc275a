#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the fuzzers and the
# benchmark need. Safe to run repeatedly; run as root.
set -euo pipefail

packages=(
  build-essential        # g++ for the module and the C++ tests
  libgtest-dev           # GoogleTest for the C++ tests
  clang                  # libFuzzer targets
  libclang-rt-14-dev     # clang's sanitizer and fuzzer runtimes
  fonts-dejavu-core      # real TrueType fonts
  fonts-noto-color-emoji # NotoColorEmoji.ttf, about 11 MB
  fonts-noto-cjk         # NotoSansCJK .ttc collections (CFF faces)
  qemu-user-static       # runs the arm64 wheel's tests (scripts/test-arm64.sh)
  woff2                  # woff2_compress/woff2_decompress: the reference WOFF2 tools (the web font tests, glyphward_woff2's exactness oracle, scripts/webfont-corpus.py)
  openssl                # the tests' time-stamp authority (openssl ts) and examples/make_test_pki.sh
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# CMake 3.26+ and Ninja drive the C++ builds; the image ships them as pip
# tools, install them the same way where they are missing.
if ! cmake --version >/dev/null 2>&1 || ! ninja --version >/dev/null 2>&1; then
  python3 -m pip install --quiet "cmake>=3.26" ninja
fi
