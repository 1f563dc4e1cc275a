"""The built extension: its file name, its exported symbols and the wheel
that carries it."""
import fnmatch
import os
import shutil
import subprocess
import zipfile
from pathlib import Path

import pytest

import glyphward
import glyphward_woff2

# Each extension module and the one symbol it may export.
EXTENSIONS = {"glyphward": "PyInit_glyphward", "glyphward_woff2": "PyInit_glyphward_woff2"}

EXTENSION_SUFFIXES = (".so", ".pyd", ".dylib")


def defined_dynamic_symbols(path) -> list:
    nm = shutil.which("nm")
    if nm is None:
        pytest.fail("nm (binutils) is needed to list the extension's symbols")
    result = subprocess.run([nm, "-D", "--defined-only", str(path)], capture_output=True, text=True, check=True)
    # Lines read "<address> <type> <name>"; versioned names carry "@...".
    return sorted(line.split()[-1] for line in result.stdout.splitlines() if line.strip())


def is_extension_name(name: str, module: str = "glyphward") -> bool:
    return name.startswith(module + ".") and name.endswith(".abi3.so")


@pytest.mark.parametrize("module", [glyphward, glyphward_woff2], ids=lambda m: m.__name__)
def test_extension_file_name_is_stable_abi(module):
    assert is_extension_name(Path(module.__file__).name, module.__name__), module.__file__


@pytest.mark.parametrize("module", [glyphward, glyphward_woff2], ids=lambda m: m.__name__)
def test_extension_exports_only_the_initialisation_function(module):
    assert defined_dynamic_symbols(module.__file__) == [EXTENSIONS[module.__name__]]


@pytest.fixture
def wheel():
    path = os.environ.get("GLYPHWARD_WHEEL")
    if not path:
        pytest.skip("GLYPHWARD_WHEEL does not name a wheel")
    return Path(path)


def test_wheel_name_is_one_abi3_wheel_for_cpython_39(wheel):
    assert wheel.is_file()
    assert fnmatch.fnmatch(wheel.name, "glyphward-*-cp39-abi3-*.whl"), wheel.name


def test_wheel_holds_exactly_the_two_extensions(wheel, tmp_path):
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        extensions = sorted(name for name in names if name.endswith(EXTENSION_SUFFIXES))
        assert len(extensions) == len(EXTENSIONS), names
        for extension, (module, symbol) in zip(extensions, sorted(EXTENSIONS.items())):
            assert "/" not in extension and is_extension_name(extension, module), extensions
            extracted = archive.extract(extension, tmp_path)
            assert defined_dynamic_symbols(extracted) == [symbol]


@pytest.mark.parametrize("module", [glyphward, glyphward_woff2], ids=lambda m: m.__name__)
def test_tests_run_against_the_wheel(wheel, module):
    with zipfile.ZipFile(wheel) as archive:
        (extension,) = [
            name for name in archive.namelist() if name.endswith(EXTENSION_SUFFIXES) and is_extension_name(name, module.__name__)
        ]
        packaged = archive.read(extension)
    assert Path(module.__file__).read_bytes() == packaged
