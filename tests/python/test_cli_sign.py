"""`glyphward sign`: the signer protocol, the checks before writing, and what a
failing, hanging, babbling or killed signer, or an interrupt, leaves behind."""
import hashlib
import json
import os
import signal
import stat
import subprocess
import sys
import textwrap
import time

import pytest

import glyphward
from cli_support import (GLYPHWARD, glyphward_command, hash_outside, listing, obeying_permissions,  # noqa: F401
                         run, shim)

pytestmark = pytest.mark.usefixtures("glyphward_command")

GOOD_SIGNER = """
    import hashlib, json, os, sys
    request = json.load(sys.stdin)
    name = os.path.basename(request["font"])
    with open(request["reserved_font"], "rb") as file:
        request["reserved_copy_sha256"] = hashlib.sha256(file.read()).hexdigest()
    with open(os.path.join(sys.argv[1], name + ".json"), "w") as file:
        json.dump(request, file)
    os.write(2, ("signing " + name + "\\n").encode())  # one write per line, buffered or not
    sys.stdout.buffer.write(("manifest over " + request["hash"]["value"]).encode())
"""


def signer(tmp_path, name, code, *args):
    """A signer command line running `code` with this interpreter."""
    script = tmp_path / f"{name}.py"
    script.write_text(textwrap.dedent(code))
    return " ".join(map(str, [sys.executable, script, *args]))


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as file:
            return file.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def survivors(pids, grace=5.0):
    """Those of `pids` still running `grace` seconds from now, killed so that
    a failing test leaves nothing behind."""
    deadline = time.monotonic() + grace
    while any(alive(pid) for pid in pids) and time.monotonic() < deadline:
        time.sleep(0.02)
    left = [pid for pid in pids if alive(pid)]
    for pid in left:
        os.kill(pid, signal.SIGKILL)
    return left


@pytest.fixture
def family(tmp_path, dejavu, noto_emoji, cff_font):
    directory = tmp_path / "family"
    directory.mkdir()
    for name, data in (("Sans.ttf", dejavu), ("Emoji.ttf", noto_emoji), ("Serif CJK.otf", cff_font)):
        (directory / name).write_bytes(data)
    return directory


@pytest.mark.parametrize("algorithm, uri, jobs", [("sha256", None, "1"), ("sha512", "https://example.com/m", "3")])
def test_signs_a_family_through_the_signer_protocol(tmp_path, family, algorithm, uri, jobs):
    requests, out, scratch = tmp_path / "requests", tmp_path / "out", tmp_path / "tmp"
    for directory in (requests, out, scratch):
        directory.mkdir()
    names = sorted(os.listdir(family))
    originals = {name: (family / name).read_bytes() for name in names}
    args = ["sign", *names, "--output-dir", out, "--signer", signer(tmp_path, "good", GOOD_SIGNER, requests),
            "--size", "5000", "--algorithm", algorithm, "--jobs", jobs] + (["--uri", uri] if uri else [])
    result = run(*args, cwd=family, env=dict(os.environ, TMPDIR=str(scratch), PYTHONUNBUFFERED="1"))

    assert result.returncode == 0, result.stderr
    # The signers' standard error is passed on, each line prefixed with its font.
    assert sorted(result.stderr.splitlines()) == \
        sorted([f"glyphward: {name}: signer: signing {name}" for name in names] + ["signed 3 fonts, 0 failed"])
    assert result.stderr.splitlines()[-1] == "signed 3 fonts, 0 failed"
    assert listing(out) == names and listing(scratch) == []  # reserved copies removed
    for name in names:
        request = json.loads((requests / f"{name}.json").read_text())
        signed = (out / name).read_bytes()
        reserved = glyphward.reserve_manifest_placeholder(originals[name], 5000, uri)
        ranges = glyphward.data_hash_ranges(reserved)
        manifest = f"manifest over {request['hash']['value']}".encode()
        assert request["font"] == name and request["reserved_size"] == 5000
        assert request["reserved_copy_sha256"] == hash_outside(reserved, [])  # the copy is the reserved font
        assert request["exclusions"] == [{"start": s, "length": n} for s, n in ranges]
        assert request["hash"] == {"algorithm": algorithm, "value": hash_outside(reserved, ranges, algorithm)}
        assert signed == glyphward.fill_manifest_store(reserved, manifest)
        assert glyphward.is_compliant(signed) and glyphward.read_manifest_uri_str(signed) == uri
        assert hash_outside(signed, glyphward.data_hash_ranges(signed), algorithm) == request["hash"]["value"]
        assert (family / name).read_bytes() == originals[name]


SIGNERS = {
    "fails": ("import sys; sys.stderr.write('starting\\nno key\\n\\n'); sys.exit(3)",
              'the signer failed with exit status 3: "no key"'),
    "silent": ("import sys; sys.stdin.read()", "the signer wrote nothing to its standard output"),
    "endless output": ("import sys\nwhile True: sys.stdout.buffer.write(b'x' * 4096)",
                       "the signer wrote more than the 4096 bytes reserved for the manifest (see --size)"),
    "one byte over": ("import sys; sys.stdin.read(); sys.stdout.buffer.write(b'x' * 4097)",
                      "the signer wrote more than the 4096 bytes reserved for the manifest (see --size)"),
    "killed": ("import os, signal; os.kill(os.getpid(), signal.SIGKILL)", "the signer was killed by SIGKILL"),
    "hangs": ("import os, subprocess, sys, time\n"
              "child = subprocess.Popen([sys.executable, '-c', 'import time; time.sleep(120)'])\n"
              "open(sys.argv[1], 'w').write(f'{os.getpid()} {child.pid}')\n"
              "time.sleep(120)",
              "the signer did not finish within {timeout:g} seconds (--signer-timeout) and was killed"),
    "missing": (None, "cannot run the signer '/nonexistent/signer': No such file or directory"),
}


@pytest.mark.parametrize("kind", SIGNERS)
def test_a_failing_signer_leaves_the_font_untouched(tmp_path, dejavu, kind):
    code, message = SIGNERS[kind]
    timeout = 1.5
    message = message.format(timeout=timeout)
    pids = tmp_path / "pids"
    command = signer(tmp_path, "bad", code, pids) if code else "/nonexistent/signer"
    directory = tmp_path / "fonts"
    directory.mkdir()
    font = directory / "Sans.ttf"
    font.write_bytes(dejavu)
    os.chmod(font, 0o604)
    stray = []
    try:
        # Bounded by the signer's timeout: a command that does not enforce it fails here.
        result = run("sign", font, "--in-place", "--signer", command, "--size", "4096",
                     "--signer-timeout", timeout, timeout=timeout + 15)
    finally:
        if kind == "hangs" and pids.exists():
            stray = survivors([int(pid) for pid in pids.read_text().split()])
    assert stray == []  # the signer, and the child it started, were killed
    assert result.returncode == 1
    assert result.stderr.splitlines()[-1] == f"glyphward: {font}: {message}"
    assert font.read_bytes() == dejavu and stat.S_IMODE(font.stat().st_mode) == 0o604
    assert listing(directory) == ["Sans.ttf"]
    if kind == "fails":
        passed_on = [f"glyphward: {font}: signer: {line}" for line in ("starting", "no key", "")]
        assert result.stderr.splitlines()[:3] == passed_on


FILL_FAULTS = """
    def fill_manifest_store(reserved, manifest):
        filled = bytearray(_real.fill_manifest_store(reserved, manifest))
        fault = os.environ["FILL_FAULT"]
        start, length = _real.data_hash_ranges(reserved)[1]
        if fault == "longer":
            filled += bytes(4)
        elif fault == "outside":
            filled[-1] ^= 1
        elif fault == "store":
            filled[start + length - 1] ^= 1
        elif fault == "checksum":
            filled[_real.data_hash_ranges(reserved)[-1][0]] ^= 1
        return bytes(filled)
"""


@pytest.mark.parametrize("fault, message", [
    ("longer", "it is {size_after} bytes, the reserved font {size}"),
    ("outside", "bytes between {last_range_end} and {size} changed"),
    ("store", "its Manifest Store is not the signer's manifest followed by zeros"),
    ("checksum", "is_compliant is False"),
])
def test_a_filled_font_that_fails_the_checks_is_not_written(tmp_path, dejavu, fault, message):
    reserved = glyphward.reserve_manifest_placeholder(dejavu, 36)
    start, length = glyphward.data_hash_ranges(reserved)[-1]
    message = message.format(size=len(reserved), size_after=len(reserved) + 4, last_range_end=start + length)
    env = shim(tmp_path, FILL_FAULTS, FILL_FAULT=fault)
    font = tmp_path / "Sans.ttf"
    font.write_bytes(dejavu)
    command = signer(tmp_path, "good", "import sys; sys.stdin.read(); sys.stdout.write('manifest')")
    result = run("sign", font, "-o", tmp_path / "out.ttf", "--signer", command, "--size", "36", env=env)
    assert result.returncode == 1
    assert result.stderr == f"glyphward: {font}: the signed font fails verification: {message}; not written\n"
    assert not (tmp_path / "out.ttf").exists() and listing(tmp_path) == ["Sans.ttf", "good.py", "shim"]


@pytest.mark.parametrize("signum, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_an_interrupt_stops_the_batch_and_leaves_nothing_behind(tmp_path, family, signum, status):
    pids, scratch = tmp_path / "pids", tmp_path / "tmp"
    pids.mkdir()
    scratch.mkdir()
    slow = signer(tmp_path, "slow", """
        import os, subprocess, sys, time
        child = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(120)"])
        # Written whole, then renamed into the directory the test watches: the test
        # sends its signal once it sees two records, and must not find one empty.
        part = f"{sys.argv[1]}.{os.getpid()}.part"  # beside the directory, not in it
        with open(part, "w") as file:
            file.write(str(child.pid))
        os.rename(part, os.path.join(sys.argv[1], str(os.getpid())))
        time.sleep(120)
    """, pids)
    names = sorted(os.listdir(family))
    originals = {name: (family / name).read_bytes() for name in names}
    process = subprocess.Popen([str(GLYPHWARD), "sign", *names, "--in-place", "--jobs", "2", "--signer", slow],
                               cwd=family, stderr=subprocess.PIPE, text=True, env=dict(os.environ, TMPDIR=str(scratch)))
    deadline = time.monotonic() + 60
    while len(os.listdir(pids)) < 2 and time.monotonic() < deadline:
        time.sleep(0.05)
    assert len(os.listdir(pids)) == 2  # two signers running at once (--jobs 2)
    assert listing(scratch) != []      # with their reserved copies
    process.send_signal(signum)
    try:
        _, stderr = process.communicate(timeout=15)
    finally:
        signers = [(int(pid), int((pids / pid).read_text())) for pid in os.listdir(pids)]
        stray = survivors([pid for pair in signers for pid in pair])
        if process.poll() is None:
            process.kill()
    assert stray == []  # the signers, and the children they started, were killed
    assert process.returncode == status
    assert stderr == "glyphward: interrupted: signed 0 fonts, 0 failed, 3 not done\n"
    assert listing(family) == names and listing(scratch) == []
    assert {name: (family / name).read_bytes() for name in names} == originals


@pytest.mark.parametrize("destination, problem", [
    ("", "cannot write '': empty file name"),
    ("new/", "cannot write new/: names a directory, not a file"),
    ("missing/Sans.ttf", "cannot write missing/Sans.ttf: No such file or directory"),
    ("Sans.ttf/Sans.ttf", "cannot write Sans.ttf/Sans.ttf: Not a directory"),
    ("locked/Sans.ttf", "cannot write locked/Sans.ttf: Permission denied"),
])
def test_the_destination_is_checked_before_the_signer_runs(tmp_path, dejavu, destination, problem):
    (tmp_path / "Sans.ttf").write_bytes(dejavu)
    for directory in ("out", "locked"):
        (tmp_path / directory).mkdir()
    os.chmod(tmp_path / "locked", 0o555)
    ran = tmp_path / "ran"
    command = signer(tmp_path, "recording", "import sys; open(sys.argv[1], 'w'); sys.stdout.write('m')", ran)
    before = listing(tmp_path)
    result = run("sign", "Sans.ttf", "-o", destination, "--signer", command, cwd=tmp_path,
                 preexec_fn=obeying_permissions())
    assert (result.returncode, result.stderr) == (1, f"glyphward: Sans.ttf: {problem}\n")
    assert not ran.exists() and listing(tmp_path) == before and listing(tmp_path / "out") == []


@pytest.mark.parametrize("destination", ["out", "out/"])
def test_an_output_that_is_a_directory_points_to_output_dir(tmp_path, dejavu, destination):
    """-o DIR with one font: a usage error that names --output-dir, before the signer runs."""
    (tmp_path / "Sans.ttf").write_bytes(dejavu)
    (tmp_path / "out").mkdir()
    ran = tmp_path / "ran"
    command = signer(tmp_path, "recording", "import sys; open(sys.argv[1], 'w'); sys.stdout.write('m')", ran)
    result = run("sign", "Sans.ttf", "-o", destination, "--signer", command, cwd=tmp_path)
    assert result.returncode == 2 and result.stderr.startswith("usage: glyphward sign")
    assert result.stderr.splitlines()[-1] == (f"glyphward sign: error: -o/--output {destination} is a directory: to "
                                              f"write the font into it under its own name, use --output-dir "
                                              f"{destination}")
    assert not ran.exists() and listing(tmp_path / "out") == []


@pytest.mark.parametrize("ranges", [
    [(10, 5), (0, 3)],             # unsorted
    [(0, 10), (5, 10)],            # overlapping
    [(2, 20), (5, 3), (30, 1)],    # one inside another
    [(3, 4), (7, 2), (7, 0)],      # adjacent, and empty
    [(90, 50)],                    # past the end
])
def test_the_hash_leaves_each_excluded_byte_out_once_however_the_ranges_come(ranges):
    from glyphward_cli.hashing import hash_outside as command_hash

    data = bytes(range(100))
    excluded = {i for start, length in ranges for i in range(start, start + length)}
    kept = bytes(byte for i, byte in enumerate(data) if i not in excluded)
    assert command_hash(data, ranges, "sha256") == hashlib.sha256(kept).hexdigest()
