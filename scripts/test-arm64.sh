#!/usr/bin/env bash
# Runs the Python test suite against the arm64 (aarch64) release wheel on this
# x86-64 machine, under QEMU's user-mode emulation:
#   bash scripts/test-arm64.sh WHEEL [PYTEST_ARGS...]
# Everything it needs it sets up itself, under build/arm64/ (run as root):
# - qemu-user-static (also listed in scripts/setup-system.sh);
# - an arm64 CPython: Debian's arm64 packages of python3.11 and the libraries
#   it loads, fetched with apt-get download (after
#   `dpkg --add-architecture arm64` and `apt-get update`) and unpacked with
#   dpkg-deb -x into build/arm64/root; nothing is installed into the system;
# - the test dependencies as arm64 wheels (pip download --platform ...) and a
#   virtual environment of that CPython, into which the emulated pip installs
#   them and WHEEL, as on an arm64 machine.
# The interpreter of the environment is a wrapper that starts
# qemu-aarch64-static with the unpacked root as its library prefix (-L), and
# passes its own path as argv[0]: the interpreter then finds its environment,
# and the tests' child interpreters (sys.executable) and console scripts are
# emulated the same way, with no binfmt_misc registration.
# Emulation is bound by the processor: the suite runs in one pytest-xdist
# worker per core (whole test files to a worker, so that each file's fixtures
# are made once), about half the wall time of one process on two cores.
set -euo pipefail
wheel=$(realpath "${1:?usage: test-arm64.sh WHEEL [PYTEST_ARGS...]}")
shift
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
base="$root/build/arm64"
sysroot="$base/root"
venv="$base/venv"
qemu=/usr/bin/qemu-aarch64-static
python_version=3.11  # Debian 12's CPython
# python3.11 and every arm64 library it and the test dependencies load.
packages=(
  python3.11-minimal libpython3.11-minimal libpython3.11-stdlib
  libc6 libgcc-s1 gcc-12-base libstdc++6 zlib1g libbz2-1.0 liblzma5 libexpat1
  libffi8 libssl3 libcrypt1 libdb5.3 libsqlite3-0 libuuid1 libreadline8
  libncursesw6 libtinfo6 libnsl2 libtirpc3 libgssapi-krb5-2 libk5crypto3
  libkrb5-3 libkrb5support0 libkeyutils1 libcom-err2
)

if [[ ! -x $qemu ]]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends qemu-user-static
fi

stamp="$sysroot/.packages"
if [[ ! -x $sysroot/usr/bin/python$python_version || "$(cat "$stamp" 2>/dev/null)" != "${packages[*]}" ]]; then
  echo "test-arm64.sh: unpacking an arm64 CPython $python_version from Debian's packages into $sysroot"
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    dpkg --add-architecture arm64
  fi
  if ! apt-cache show "python$python_version-minimal:arm64" >/dev/null 2>&1; then
    apt-get update -qq
  fi
  rm -rf "$sysroot" "$base/debs"
  mkdir -p "$sysroot" "$base/debs"
  (cd "$base/debs" && apt-get download -qq -o APT::Sandbox::User=root "${packages[@]/%/:arm64}")
  for deb in "$base"/debs/*.deb; do
    dpkg-deb -x "$deb" "$sysroot"
  done
  echo "${packages[*]}" > "$stamp"
fi

# The wheel's own dependencies and the test dependencies: arm64 wheels for
# CPython 3.11 (a manylinux tag up to Debian 12's glibc 2.36), and pip itself
# to install them.
platforms=()
for tag in manylinux2014 manylinux_2_17 manylinux_2_28 manylinux_2_31 manylinux_2_34 manylinux_2_36; do
  platforms+=(--platform "${tag}_aarch64")
done
python3 -m pip download --quiet --dest "$base/wheels" "${platforms[@]}" \
  --python-version "$python_version" --implementation cp --abi "cp${python_version/./}" --abi abi3 --abi none \
  --only-binary=:all: -r "$root/tests/requirements.txt" "pytest-xdist>=3.5" pip "$wheel"

rm -rf "$venv"
"$qemu" -L "$sysroot" "$sysroot/usr/bin/python$python_version" -m venv --without-pip "$venv"
rm -f "$venv"/bin/python*
cat > "$venv/bin/python$python_version" <<EOF
#!/bin/sh
exec $qemu -L $sysroot -0 "\$0" $sysroot/usr/bin/python$python_version "\$@"
EOF
chmod +x "$venv/bin/python$python_version"
ln -s "python$python_version" "$venv/bin/python"
ln -s "python$python_version" "$venv/bin/python3"
machine=$("$venv/bin/python" -c 'import platform; print(platform.machine())')
[[ $machine == aarch64 ]] || { echo "test-arm64.sh: the emulated interpreter reports $machine" >&2; exit 1; }

pip_wheel=$(ls "$base"/wheels/pip-*.whl | sort -V | tail -1)
"$venv/bin/python" "$pip_wheel/pip" install --quiet --no-index --find-links "$base/wheels" \
  -r "$root/tests/requirements.txt" "pytest-xdist>=3.5" "$wheel"

echo "=== CPython $("$venv/bin/python" -c 'import platform; print(platform.python_version(), platform.machine())'), emulated by $("$qemu" --version | head -1)"
cd "$root/tests"
GLYPHWARD_WHEEL="$wheel" "$venv/bin/python" -m pytest -q -p no:cacheprovider -n "$(nproc)" --dist loadfile python "$@"
