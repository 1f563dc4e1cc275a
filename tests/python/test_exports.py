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

EXTENSION_SUFFIXES = (".so", ".pyd", ".dylib")


def defined_dynamic_symbols(path) -> list:
    nm = shutil.which("nm")
    if nm is None:
        pytest.fail("nm (binutils) is needed to list the extension's symbols")
    result = subprocess.run([nm, "-D", "--defined-only", str(path)], capture_output=True, text=True, check=True)
    # Lines read "<address> <type> <name>"; versioned names carry "@...".
    return sorted(line.split()[-1] for line in result.stdout.splitlines() if line.strip())


def is_extension_name(name: str) -> bool:
    return name.startswith("glyphward.") and name.endswith(".abi3.so")


def test_extension_file_name_is_stable_abi():
    assert is_extension_name(Path(glyphward.__file__).name), glyphward.__file__


def test_extension_exports_only_the_initialisation_function():
    assert defined_dynamic_symbols(glyphward.__file__) == ["PyInit_glyphward"]


@pytest.fixture
def wheel():
    path = os.environ.get("GLYPHWARD_WHEEL")
    if not path:
        pytest.skip("GLYPHWARD_WHEEL does not name a wheel")
    return Path(path)


def test_wheel_name_is_one_abi3_wheel_for_cpython_39(wheel):
    assert wheel.is_file()
    assert fnmatch.fnmatch(wheel.name, "glyphward-*-cp39-abi3-*.whl"), wheel.name


def test_wheel_holds_exactly_one_extension(wheel, tmp_path):
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        extensions = [name for name in names if name.endswith(EXTENSION_SUFFIXES)]
        assert len(extensions) == 1, names
        assert "/" not in extensions[0] and is_extension_name(extensions[0]), extensions
        extracted = archive.extract(extensions[0], tmp_path)
    assert defined_dynamic_symbols(extracted) == ["PyInit_glyphward"]


def test_tests_run_against_the_wheel(wheel):
    with zipfile.ZipFile(wheel) as archive:
        (extension,) = [name for name in archive.namelist() if name.endswith(EXTENSION_SUFFIXES)]
        packaged = archive.read(extension)
    assert Path(glyphward.__file__).read_bytes() == packaged
