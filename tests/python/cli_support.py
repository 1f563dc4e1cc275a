"""Running the installed `glyphward` command in tests."""
import ctypes
import hashlib
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

GLYPHWARD = Path(sys.executable).parent / "glyphward"


@pytest.fixture(scope="session")
def glyphward_command():
    """The console script the wheel installs beside this interpreter.

    The sanitizer run imports the module from PYTHONPATH and installs no
    command: there the command's tests skip. Where a wheel was installed for
    the run (GLYPHWARD_WHEEL), a missing command fails them instead.
    """
    if GLYPHWARD.is_file():
        return GLYPHWARD
    if os.environ.get("GLYPHWARD_WHEEL"):
        pytest.fail(f"{GLYPHWARD} is missing although the wheel {os.environ['GLYPHWARD_WHEEL']} is installed")
    pytest.skip("the glyphward command is not installed in this environment")


def run(*args, input=None, cwd=None, env=None, preexec_fn=None, timeout=120):
    """Runs `glyphward ARGS...`; stdout as bytes, stderr as text."""
    result = subprocess.run([str(GLYPHWARD), *map(str, args)], input=input, capture_output=True, cwd=cwd,
                            env=env, preexec_fn=preexec_fn, timeout=timeout)
    result.stderr = result.stderr.decode("utf-8", "replace")
    assert "Traceback" not in result.stderr, result.stderr
    return result


SHIM_LOADER = """
    # Stands in for the extension module: the real one's functions, some of
    # them replaced below.
    import glob, importlib.util, os, sys, sysconfig
    _self = sys.modules[__name__]
    _path = glob.glob(os.path.join(sysconfig.get_paths()["platlib"], "glyphward*.so"))[0]
    _spec = importlib.util.spec_from_file_location("glyphward", _path)
    _real = importlib.util.module_from_spec(_spec)
    _spec.loader.exec_module(_real)
    sys.modules[__name__] = _self  # loading the extension put it there
    globals().update({name: getattr(_real, name) for name in _real.__all__})
"""


def shim(directory, code, **variables):
    """The environment under which the command imports, instead of the
    extension module, a module that loads it and then runs `code` (which
    may replace its functions, or patch what the command calls: the
    command imports the module just before its work)."""
    path = Path(directory) / "shim"
    path.mkdir(exist_ok=True)
    (path / "glyphward.py").write_text(textwrap.dedent(SHIM_LOADER) + textwrap.dedent(code))
    return dict(os.environ, PYTHONPATH=str(path), **variables)


def hash_outside(font, ranges, algorithm="sha256"):
    """The digest of `font` outside `ranges`, computed without glyphward."""
    digest = hashlib.new(algorithm)
    position = 0
    for start, length in sorted(ranges):
        digest.update(font[position:start])
        position = max(position, start + length)
    digest.update(font[position:])
    return digest.hexdigest()


def listing(directory):
    """Every name in `directory`, so that a left-over temporary file shows."""
    return sorted(os.listdir(directory))


PR_CAPBSET_DROP = 24
CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH = 1, 2


def _drop_permission_override():
    libc = ctypes.CDLL(None, use_errno=True)
    for capability in (CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH):
        if libc.prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0:
            os._exit(97)


def obeying_permissions():
    """A preexec_fn under which the command obeys permission bits even when
    the tests run as root (as in CI): it drops CAP_DAC_OVERRIDE and
    CAP_DAC_READ_SEARCH from the child's capability bounding set."""
    if os.geteuid() != 0:
        return None
    if subprocess.run(["true"], preexec_fn=_drop_permission_override).returncode != 0:
        pytest.skip("running as root without the right to drop capabilities")
    return _drop_permission_override
