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

    Where it is missing the command's tests skip (scripts/test-sanitizers.sh
    installs it, running the sanitized module). Where a wheel was installed
    for the run (GLYPHWARD_WHEEL), a missing command fails them instead.
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
    # sitecustomize: run at the start of every interpreter given this
    # PYTHONPATH, before the command's own code, in its main thread. The
    # extension module is imported as usual; the functions defined below
    # replace its own (kept in `_real`) on the module itself.
    import os, sys, types
    import glyphward
    _real = types.SimpleNamespace(**{_name: getattr(glyphward, _name) for _name in glyphward.__all__})
"""

SHIM_INSTALL = """
for _name in glyphward.__all__:
    if _name in globals():
        setattr(glyphward, _name, globals()[_name])
"""


def shim(directory, code, **variables):
    """The environment under which the command runs `code` at its start:
    functions it defines with the names of the module's replace them
    (`_real` has the originals), and it may patch what the command calls
    (os.fsync, say). Other Python programs run with it (signers) run it too."""
    path = Path(directory) / "shim"
    path.mkdir(exist_ok=True)
    (path / "sitecustomize.py").write_text(textwrap.dedent(SHIM_LOADER) + textwrap.dedent(code) + SHIM_INSTALL)
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
