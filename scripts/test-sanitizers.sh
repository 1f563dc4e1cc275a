#!/usr/bin/env bash
# Runs the whole Python test suite (the command's tests included) against
# an AddressSanitizer + UndefinedBehaviorSanitizer build of the extension
# module (gcc, -DGLYPHWARD_SANITIZE=ON, in build/asan). CPython itself is not
# instrumented, so the ASan runtime is preloaded into the interpreter, and
# PYTHONMALLOC=malloc sends Python's own allocations (the bytes objects the
# module writes fonts into included) through ASan's allocator, so that an
# overrun of one of them is caught.
#
# This build forces the portable checksum kernel (GLYPHWARD_PORTABLE_KERNELS),
# so that the whole suite also runs on the path of processors without AVX2;
# the release wheel tested by test-python.sh uses the fastest kernel, and
# test-cpp.sh and fuzz.sh run every kernel under the sanitizers.
#
# Leak detection is off (detect_leaks=0): CPython keeps interned objects,
# module state and caches alive at exit on purpose, and LeakSanitizer would
# report all of them. Leaks of the module are tested by
# tests/python/test_leaks.py, which under this script reads the ASan
# runtime's own count of bytes in use.
#
# Fails on any sanitizer report, and on any failing test.
#
#   bash scripts/test-sanitizers.sh [PYTEST_ARGS...]
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/asan
venv=build/asan-venv
python="${GLYPHWARD_SANITIZER_PYTHON:-$(ls -d /root/.pyenv/versions/3.11.*/bin/python3 2>/dev/null | head -1)}"
python="${python:-python3}"

if [[ ! -x $venv/bin/python ]]; then
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet --upgrade pip
fi
# The module is built here; the pure-Python packages (the command and the
# C2PA layer) are taken from src/, with the wheel's runtime dependencies as
# pyproject.toml lists them.
mapfile -t dependencies < <("$venv/bin/python" -c \
  'import tomllib; print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["dependencies"]))')
"$venv/bin/python" -m pip install --quiet -r tests/requirements.txt "${dependencies[@]}"

CC=gcc CXX=g++ cmake -S . -B "$build" -G Ninja -DPython_EXECUTABLE="$PWD/$venv/bin/python" \
  -DGLYPHWARD_SANITIZE=ON -DGLYPHWARD_PORTABLE_KERNELS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" >/dev/null
# Both extension modules: glyphward and glyphward_woff2.
for module in "$build"/glyphward.*.so "$build"/glyphward_woff2.*.so; do
  [[ -f $module ]] || { echo "$module was not built" >&2; exit 1; }
  # ldd's output is taken whole before it is searched: `ldd | grep -q` under
  # pipefail fails whenever grep exits at its match before ldd has written its
  # last line (ldd then dies of SIGPIPE), which a loaded machine makes likely.
  libraries=$(ldd "$module")
  [[ $libraries == *libasan* ]] || { echo "$module is not linked against ASan" >&2; exit 1; }
done

# The `glyphward` command: the C2PA tests sign and verify through it, and
# skip where it is not installed (tests/python/cli_support.py). The project
# is installed into the venv as usual (its console script and distribution
# metadata, which some tests read), and a .pth file then puts the module
# built here and src/ IN FRONT of site-packages in every run of this
# interpreter, so that the command and the children the tests start (some
# with a PYTHONPATH of their own) load the sanitized module and the sources,
# not the installed copies. The children inherit LD_PRELOAD, ASAN_OPTIONS
# and PYTHONMALLOC: they run under the sanitizers, and ASan writes their
# reports under $reports.
"$venv/bin/python" -m pip install --quiet --no-deps .
site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
printf 'import sys; sys.path[:0] = ["%s", "%s"]\n' "$PWD/$build" "$PWD/src" >"$site/00-glyphward-sanitizers.pth"
loaded=$(cd / && LD_PRELOAD="$(gcc -print-file-name=libasan.so)" ASAN_OPTIONS=detect_leaks=0 PYTHONPATH= \
  "$OLDPWD/$venv/bin/python" -c 'import glyphward, glyphward_c2pa; print(glyphward.__file__, glyphward_c2pa.__file__)')
[[ $loaded == "$PWD/$build/"*" $PWD/src/"* ]] || { echo "the sanitizer venv loads $loaded" >&2; exit 1; }

# pytest captures only Python's sys.stdout and sys.stderr (--capture=sys),
# not the file descriptors: a sanitizer report is written straight to file
# descriptor 2 just before the process dies, and pytest's own capture would
# lose it. ASan also writes its reports to files under $reports, which
# catches reports of child interpreters that some tests start. The
# diagnostics that PanicException prints are left out of the console output
# (there are thousands, from tests/python/test_leaks.py) but kept in $log.
log="$build/pytest.log"
reports="$PWD/$build/reports"
rm -rf "$reports"
mkdir -p "$reports"
set +e
(
  cd tests
  LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" \
  ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:log_path=$reports/asan" \
  UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1" \
  PYTHONMALLOC=malloc \
  PYTHONPATH="$PWD/../$build:$PWD/../src" \
    "../$venv/bin/python" -m pytest -q -p no:cacheprovider --capture=sys python "$@"
) >"$log" 2>&1
status=$?
set -e
grep -av '^glyphward: internal failure at' "$log" || true

if compgen -G "$reports/*" >/dev/null || grep -aqE 'ERROR: AddressSanitizer|runtime error:|Sanitizer:' "$log"; then
  cat "$reports"/* >&2 2>/dev/null || true
  echo "sanitizer report in the test run (output in $log, ASan reports in $reports)" >&2
  exit 1
fi
if ((status != 0)); then
  echo "tests failed under the sanitizers (exit $status)" >&2
  exit "$status"
fi
python_version=$("$venv/bin/python" -c 'import sys; print(sys.version.split()[0])')
echo "sanitizers: whole Python suite clean under ASan + UBSan (CPython $python_version)"
