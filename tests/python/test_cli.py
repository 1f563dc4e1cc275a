"""The `glyphward` command's inspecting and rewriting commands, run as a user
runs them, with results checked against the module's own calls."""
import importlib.metadata
import json
import os
import re
import resource
import signal
import stat
import subprocess
import sys
import time

import pytest

import glyphward
from cli_support import (GLYPHWARD, glyphward_command, hash_outside, listing, obeying_permissions,  # noqa: F401
                         run, shim)
from conftest import NOTO_CJK_TTC

pytestmark = pytest.mark.usefixtures("glyphward_command")

NOT_SFNT = "not a supported SFNT (TrueType/OpenType) font"


@pytest.fixture
def fonts(tmp_path, dejavu, noto_emoji, cff_font):
    """The three real fonts as files: TrueType, colour bitmap, CFF."""
    paths = {}
    for name, data in (("DejaVuSans.ttf", dejavu), ("NotoColorEmoji.ttf", noto_emoji), ("CJK.otf", cff_font)):
        paths[name] = tmp_path / name
        paths[name].write_bytes(data)
    return paths


def test_version_and_lazy_start_up():
    result = run("--version")
    assert result.returncode == 0
    assert result.stdout.decode() == f"glyphward {importlib.metadata.version('glyphward')}\n"
    # Start-up stays fast: --version loads neither the extension module nor
    # the modules that only the work needs.
    trace = subprocess.run([sys.executable, "-X", "importtime", "-m", "glyphward_cli", "--version"],
                           capture_output=True, text=True, timeout=60)
    assert trace.returncode == 0 and trace.stdout == result.stdout.decode()
    loaded = {line.rsplit("|", 1)[1].strip() for line in trace.stderr.splitlines() if "|" in line}
    assert "glyphward_cli.main" in loaded
    assert not loaded & {"glyphward", "json", "concurrent.futures", "hashlib", "subprocess", "tqdm"}


@pytest.mark.parametrize("jobs", ["1", "3"])
def test_info_lists_every_font_as_the_module_reads_it(tmp_path, fonts, jobs):
    dejavu = fonts["DejaVuSans.ttf"].read_bytes()
    cases = {
        "plain.ttf": dejavu,
        "store.ttf": glyphward.embed_manifest_store(fonts["NotoColorEmoji.ttf"].read_bytes(), b"store" * 99),
        "uri.otf": glyphward.embed_remote(fonts["CJK.otf"].read_bytes(), "https://example.com/m.c2pa"),
        "both.ttf": glyphward.reserve_manifest_placeholder(dejavu, 4096, "urn:uuid:1234"),
        "junk.ttf": b"not a font at all",
        "collection.ttc": NOTO_CJK_TTC.read_bytes()[:65536],
        "web.woff2": b"wOF2" + bytes(60),
    }
    for name, data in cases.items():
        (tmp_path / name).write_bytes(data)
    (tmp_path / "folder.ttf").mkdir()
    (tmp_path / "secret.ttf").write_bytes(dejavu)
    os.chmod(tmp_path / "secret.ttf", 0)
    names = list(cases) + ["missing.ttf", "folder.ttf", "secret.ttf"]

    result = run("info", "--json", "--jobs", jobs, *names, cwd=tmp_path, preexec_fn=obeying_permissions())
    assert result.returncode == 1
    records = json.loads(result.stdout)
    assert [r["path"] for r in records] == names

    errors = {}
    for record in records:
        name = record["path"]
        data = cases.get(name)
        expected_keys = {"path", "size", "c2pa_table", "compliant", "active_manifest_uri",
                         "manifest_store_length", "store", "exclusion_ranges", "manifest_state", "asset_valid",
                         "failures", "manifest", "error"}
        assert set(record) == expected_keys
        assert record["size"] == (len(data) if data is not None else None)
        if record["error"] is not None:
            errors[name] = record["error"]
            assert record["compliant"] is None and record["exclusion_ranges"] is None
            continue
        assert record["compliant"] is glyphward.is_compliant(data)
        assert record["active_manifest_uri"] == (glyphward.read_manifest_uri_str(data)
                                                 if name != "plain.ttf" else None)
        has_store = name in ("store.ttf", "both.ttf")
        assert record["c2pa_table"] is (name != "plain.ttf")
        assert record["manifest_store_length"] == (len(glyphward.read_manifest_store(data)) if has_store else None)
        assert record["exclusion_ranges"] == ([list(r) for r in glyphward.data_hash_ranges(data)]
                                              if has_store else None)
        assert record["store"] == {"store.ttf": "other", "both.ttf": "placeholder"}.get(name)
        assert record["manifest_state"] == {"plain.ttf": None, "uri.otf": "remote"}.get(name, "invalid")
        # Not a manifest: not a valid asset; no table, or a remote manifest: nothing checked.
        assert (record["asset_valid"], record["failures"]) == \
            ((None, None) if name in ("plain.ttf", "uri.otf") else (False, ["general.error"]))
        assert record["manifest"] is None
    assert errors == {
        "junk.ttf": NOT_SFNT,
        "collection.ttc": "font collections (ttcf) are not supported",
        "web.woff2": "the WOFF2 file's flavor 0x00000000 is not a TrueType or OpenType font",
        "missing.ttf": "cannot read: No such file or directory",
        "folder.ttf": "cannot read: Is a directory",
        "secret.ttf": "cannot read: Permission denied",
    }
    # Each failure is reported once, in the listing: standard error has the summary only.
    assert result.stderr == "inspected 4 fonts, 6 failed\n"

    human = run("info", "-q", "both.ttf", "plain.ttf", "junk.ttf", cwd=tmp_path)
    assert (human.returncode, human.stderr) == (1, "")
    ranges = ", ".join(f"{s}+{n}" for s, n in glyphward.data_hash_ranges(cases["both.ttf"]))
    assert human.stdout.decode().split("\n\n") == [
        f"both.ttf\n  size:                {len(cases['both.ttf'])} bytes\n"
        "  C2PA table:          well-formed, checksum intact\n"
        "  active manifest URI: urn:uuid:1234\n"
        "  manifest store:      4096 bytes, a reserved placeholder (zeros), never filled\n"
        f"  exclusion ranges:    {ranges}  (start+length)\n  manifest:            invalid\n"
        "  asset:               NOT valid: general.error",
        f"plain.ttf\n  size:                {len(dejavu)} bytes\n  C2PA table:          none",
        f"junk.ttf\n  size:                17 bytes\n  error:               {NOT_SFNT}\n",
    ]


@pytest.mark.parametrize("font_name", ["DejaVuSans.ttf", "NotoColorEmoji.ttf", "CJK.otf"])
@pytest.mark.parametrize("command", ["embed-store", "embed-uri", "strip", "reserve", "fill"])
def test_writing_commands_write_what_the_module_returns(tmp_path, fonts, font_name, command):
    source = fonts[font_name]
    original = source.read_bytes()
    signed_before = glyphward.embed_manifest_store(original, b"old store")
    manifest = b"signed manifest bytes"
    (tmp_path / "store.c2pa").write_bytes(b"\x00store\xff" * 50)
    (tmp_path / "manifest.c2pa").write_bytes(manifest)
    reserved = glyphward.reserve_manifest_placeholder(original, 64)
    source_bytes, args, expected = {
        "embed-store": (signed_before, ["embed", "--store", "store.c2pa"],
                        glyphward.embed_manifest_store(signed_before, b"\x00store\xff" * 50)),
        "embed-uri": (original, ["embed", "--uri", "https://example.com/é"],
                      glyphward.embed_remote(original, "https://example.com/é")),
        "strip": (signed_before, ["strip"], glyphward.remove_manifest_table(signed_before)),
        "reserve": (original, ["reserve", "--size", "64", "--uri", "urn:x"],
                    glyphward.reserve_manifest_placeholder(original, 64, "urn:x")),
        "fill": (reserved, ["fill", "--manifest", "manifest.c2pa"], glyphward.fill_manifest_store(reserved, manifest)),
    }[command]
    source.write_bytes(source_bytes)

    result = run(args[0], font_name, *args[1:], "-o", "out/result.bin", cwd=tmp_path)
    assert result.returncode == 1 and "cannot write out/result.bin: No such file or directory" in result.stderr
    (tmp_path / "out").mkdir()
    result = run(args[0], font_name, *args[1:], "-o", "out/result.bin", cwd=tmp_path)
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", "")
    assert (tmp_path / "out" / "result.bin").read_bytes() == expected
    assert source.read_bytes() == source_bytes

    # --in-place replaces the input by a rename, as sed -i does: a new file
    # (a hard link keeps the old bytes), with the old one's permission bits,
    # even where they forbid writing; nothing else is left.
    os.chmod(source, 0o440)
    os.link(source, tmp_path / "hard link")
    before = listing(tmp_path)
    result = run(args[0], font_name, *args[1:], "--in-place", cwd=tmp_path, preexec_fn=obeying_permissions())
    assert (result.returncode, result.stderr) == (0, "")
    assert source.read_bytes() == expected and (tmp_path / "hard link").read_bytes() == source_bytes
    assert stat.S_IMODE(source.stat().st_mode) == 0o440
    assert listing(tmp_path) == before


def test_reading_commands_agree_with_the_module(tmp_path, fonts):
    original = fonts["NotoColorEmoji.ttf"].read_bytes()
    store = bytes(range(256)) * 3
    font = glyphward.fill_manifest_store(glyphward.reserve_manifest_placeholder(original, 1000), store)
    path = tmp_path / "signed.ttf"
    path.write_bytes(font)
    ranges = glyphward.data_hash_ranges(font)

    assert run("extract", path).stdout == glyphward.read_manifest_store(font)
    assert run("extract", path, "-o", tmp_path / "store.bin").returncode == 0
    assert (tmp_path / "store.bin").read_bytes() == store + bytes(1000 - len(store))

    assert run("ranges", path).stdout.decode() == "".join(f"{s} {n}\n" for s, n in ranges)
    assert json.loads(run("ranges", path, "--json").stdout) == [list(r) for r in ranges]

    for algorithm in ("sha256", "sha384", "sha512"):
        assert run("digest", path, "--algorithm", algorithm).stdout.decode() == hash_outside(font, ranges, algorithm) + "\n"
    assert json.loads(run("digest", path, "--json").stdout) == {
        "algorithm": "sha256", "hash": hash_outside(font, ranges),
        "exclusions": [{"start": s, "length": n} for s, n in ranges]}

    # Refusals: the module's message, one line, exit 1, nothing written.
    plain = fonts["CJK.otf"]
    for args in (["extract", plain], ["ranges", plain], ["digest", plain, "--json"]):
        result = run(*args)
        assert (result.returncode, result.stdout, result.stderr) == (1, b"", f"glyphward: {plain}: no C2PA table found in font\n")
    (tmp_path / "big.bin").write_bytes(bytes(1001))
    result = run("fill", path, "--manifest", tmp_path / "big.bin", "-o", tmp_path / "out.ttf")
    assert (result.returncode, result.stderr) == (
        1, f"glyphward: {path}: invalid C2PA table: signed manifest is 1001 bytes but only 1000 were reserved\n")
    assert not (tmp_path / "out.ttf").exists()


@pytest.mark.parametrize("args", [
    ["strip", "a.ttf"],                                     # no destination
    ["strip", "a.ttf", "-o", "x.ttf", "--in-place"],        # two destinations
    ["strip", "a.ttf", "b.ttf", "-o", "x.ttf"],             # -o with two inputs
    ["strip", "-", "--in-place"],                           # standard input as a font
    ["strip", "a.ttf", "-o", "-"],                          # standard output as a font
    ["strip", "a.ttf", "--output-dir", "nowhere"],          # not a directory
    ["strip", "a.ttf", "sub/a.ttf", "--output-dir", "."],   # two inputs, one output
    ["strip", "a.ttf", "a.ttf", "--in-place"],
    ["info", "a.ttf", "--jobs", "0"],
    ["embed", "a.ttf", "--in-place"],                       # neither --store nor --uri
    ["reserve", "a.ttf", "--size", "0", "--in-place"],
    ["sign", "a.ttf", "--in-place", "--signer", ""],
    ["sign", "a.ttf", "--in-place", "--signer", "'unclosed"],
    ["sign", "a.ttf", "--in-place", "--signer", "true", "--signer-timeout", "-1"],
    ["-q", "info"],                                         # -q before the command, and no font
    ["reserve", "a.ttf", "--output-dir", ".", "--size", "9"],  # only sign and strip take --output-dir
])
def test_bad_usage_exits_2_and_touches_nothing(tmp_path, args):
    (tmp_path / "sub").mkdir()
    for name in ("a.ttf", "b.ttf", "sub/a.ttf"):
        (tmp_path / name).write_bytes(b"font")
    before = listing(tmp_path)
    result = run(*args, cwd=tmp_path)
    assert result.returncode == 2
    assert result.stderr.startswith("usage: glyphward") and "glyphward" in result.stderr.splitlines()[-1]
    assert listing(tmp_path) == before and (tmp_path / "a.ttf").read_bytes() == b"font"


def test_batch_goes_on_past_bad_fonts(tmp_path, fonts):
    batch = tmp_path / "batch"
    batch.mkdir()
    signed = {name: glyphward.embed_remote(path.read_bytes(), "urn:a") for name, path in fonts.items()}
    for name, data in signed.items():
        (batch / name).write_bytes(data)
    (batch / "junk.ttf").write_bytes(b"junk")
    (batch / "out").mkdir()
    names = ["junk.ttf", "DejaVuSans.ttf", "missing.ttf", "NotoColorEmoji.ttf", "CJK.otf"]
    result = run("strip", *names, "--output-dir", "out", "--jobs", "2", cwd=batch)
    assert result.returncode == 1
    assert result.stderr.splitlines() == [f"glyphward: junk.ttf: {NOT_SFNT}",
                                          "glyphward: missing.ttf: cannot read: No such file or directory",
                                          "stripped 3 fonts, 2 failed"]
    assert listing(batch / "out") == sorted(fonts)
    for name, data in signed.items():
        assert (batch / "out" / name).read_bytes() == glyphward.remove_manifest_table(data)
    # All good: status 0; -q, after or before the command's name, drops the summary line.
    for args in (["strip", "-q"], ["-q", "strip"]):
        result = run(*args, *sorted(fonts), "--output-dir", "out", cwd=batch)
        assert (result.returncode, result.stderr) == (0, "")


def test_progress_bar_only_on_a_terminal(tmp_path, fonts):
    import fcntl
    import pty
    import struct
    import termios

    names = sorted(fonts)
    leader, follower = pty.openpty()
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))  # as a terminal window has
    try:
        process = subprocess.Popen([str(GLYPHWARD), "info", *names], cwd=fonts[names[0]].parent,
                                   stdout=subprocess.DEVNULL, stderr=follower)
        os.close(follower)
        assert process.wait(timeout=60) == 0
        shown = b""
        while True:
            try:
                chunk = os.read(leader, 65536)
            except OSError:  # EIO: the terminal's other end is closed
                break
            if not chunk:
                break
            shown += chunk
    finally:
        os.close(leader)
    text = shown.decode("utf-8", "replace")
    # A bar with the count, rate and ETA (how far it got before the fonts were
    # done depends on the machine's speed), then the summary line.
    assert re.search(r"\d/3 \[\d\d:\d\d<[^,]*, [^]]*font/s\]", text), text
    assert text.endswith("inspected 3 fonts, 0 failed\r\n")
    # Not a terminal: the summary only.
    assert run("info", *names, cwd=fonts[names[0]].parent).stderr == "inspected 3 fonts, 0 failed\n"


FAILING_FSYNC = """
    def _fsync(fd):
        raise OSError(5, os.strerror(5))

    os.fsync = _fsync
"""


@pytest.mark.parametrize("failure", ["unwritable-directory", "write-fails-midway", "fsync-fails"])
def test_a_failed_write_leaves_the_destination_as_it_was(tmp_path, fonts, failure):
    directory = tmp_path / "dest"
    directory.mkdir()
    source = directory / "DejaVuSans.ttf"
    original = glyphward.embed_remote(fonts["DejaVuSans.ttf"].read_bytes(), "urn:old")
    source.write_bytes(original)
    env = None
    if failure == "unwritable-directory":
        os.chmod(directory, 0o555)
        preexec, expected = obeying_permissions(), "Permission denied"
    elif failure == "fsync-fails":
        # The new file cannot be synced: it must not have been renamed into place.
        env, preexec, expected = shim(tmp_path, FAILING_FSYNC), None, "Input/output error"
    else:
        # Writes past 100 kB fail (EFBIG), as a full disk would fail them.
        def preexec():
            resource.setrlimit(resource.RLIMIT_FSIZE, (100_000, 100_000))
        expected = "File too large"
    try:
        result = run("strip", source, "--in-place", preexec_fn=preexec, env=env)
    finally:
        os.chmod(directory, 0o755)
    assert result.returncode == 1
    assert result.stderr == f"glyphward: {source}: cannot write {source}: {expected}\n"
    assert source.read_bytes() == original
    assert listing(directory) == ["DejaVuSans.ttf"]


@pytest.mark.parametrize("args, stdin, source, what", [
    (["embed", "--store", "empty.c2pa"], None, "empty.c2pa", "Manifest Store to embed"),
    (["embed", "--store", "-"], b"", "standard input", "Manifest Store to embed"),
    (["embed", "--uri", ""], None, "--uri", "manifest URI to embed"),
    (["fill", "--manifest", "empty.c2pa"], None, "empty.c2pa", "signed manifest to fill in"),
])
def test_a_font_that_would_carry_nothing_is_not_written(tmp_path, dejavu, args, stdin, source, what):
    font = tmp_path / "Sans.ttf"
    original = glyphward.reserve_manifest_placeholder(dejavu, 64)
    font.write_bytes(original)
    (tmp_path / "empty.c2pa").write_bytes(b"")
    before = listing(tmp_path)
    for destination in (["--in-place"], ["-o", "out.ttf"]):
        result = run(args[0], "Sans.ttf", *args[1:], *destination, input=stdin, cwd=tmp_path)
        assert (result.returncode, result.stderr) == (1, f"glyphward: {source}: empty: no {what}; nothing written\n")
        assert font.read_bytes() == original and listing(tmp_path) == before


def jumbf(length, size=None, kind=b"jumb", extended=None):
    """A store of `size` bytes (default `length`) starting with a JUMBF box
    header (LBox `length`, TBox `kind`, XLBox `extended` if given)."""
    header = length.to_bytes(4, "big") + kind + (extended.to_bytes(8, "big") if extended is not None else b"")
    return header + b"\xaa" * ((size or extended or length) - len(header))


@pytest.mark.parametrize("store, trimmed", [
    (jumbf(40), True),
    (jumbf(1, extended=48), True),                     # an 8-byte XLBox
    (jumbf(200), True),                                # fills the field: nothing to trim
    (jumbf(0, size=40), False),                        # LBox 0: to the end of the field
    (jumbf(201, size=40), False),                      # longer than the field
    (jumbf(7, size=40), False),                        # shorter than its header
    (jumbf(1, extended=15), False),                    # shorter than its extended header
    (jumbf(40, kind=b"jumd"), False),                  # not a superbox
    (jumbf(40) + bytes(20) + b"\x01", False),          # more than zeros after it
])
def test_extract_leaves_out_the_zeros_after_a_jumbf_store(tmp_path, dejavu, store, trimmed):
    font = tmp_path / "Sans.ttf"
    font.write_bytes(glyphward.fill_manifest_store(glyphward.reserve_manifest_placeholder(dejavu, 200), store))
    field = store + bytes(200 - len(store))
    assert run("extract", font).stdout == (store if trimmed else field)
    if trimmed:
        assert run("extract", font, "--raw").stdout == field


@pytest.mark.parametrize("args", [["info", "F", "F"], ["info", "--json", "F", "F"], ["extract", "F"],
                                  ["ranges", "F"], ["digest", "F"]])
def test_output_closed_early_ends_the_command_by_sigpipe(tmp_path, dejavu, args):
    (tmp_path / "F").write_bytes(glyphward.reserve_manifest_placeholder(dejavu, 64))
    reader, writer = os.pipe()
    os.close(reader)  # as `| head -1` does once it has its line
    try:
        process = subprocess.Popen([str(GLYPHWARD), *args], cwd=tmp_path, stdout=writer, stderr=subprocess.PIPE)
    finally:
        os.close(writer)
    _, stderr = process.communicate(timeout=60)
    assert process.returncode == -signal.SIGPIPE
    assert all(line.startswith("inspected 2 fonts") for line in stderr.decode().splitlines()), stderr


DONE_LOG = """
    _log = os.open(os.environ["DONE_LOG"], os.O_WRONLY | os.O_APPEND)

    def is_compliant(font):  # info's last call on a font: one more byte in the log is one more font done
        result = _real.is_compliant(font)
        os.write(_log, b".")
        return result
"""


def test_an_interrupt_at_any_moment_of_a_large_batch_is_handled_and_counts_what_was_done(tmp_path, small_font):
    (tmp_path / "f.ttf").write_bytes(small_font)
    log, listing_file, total = tmp_path / "done", tmp_path / "listing", 20000
    env = shim(tmp_path, DONE_LOG, DONE_LOG=str(log))
    # Moments given by the fonts done: from the first ones, while the batch is
    # still handing out its fonts, on; SIGINT and SIGTERM, one and two workers.
    for run_number, after in enumerate([1, 1, 2, 5, 20, 100, 500, 2000]):
        signum = (signal.SIGINT, signal.SIGTERM)[run_number % 2]
        jobs = str(1 + run_number // 2 % 2)
        log.write_bytes(b"")
        with open(listing_file, "wb") as listing_out:
            process = subprocess.Popen([str(GLYPHWARD), "info", "--jobs", jobs, *["f.ttf"] * total], cwd=tmp_path,
                                       env=env, stdout=listing_out, stderr=subprocess.PIPE)
        try:
            deadline = time.monotonic() + 60
            while log.stat().st_size < after and process.poll() is None and time.monotonic() < deadline:
                time.sleep(0.001)
            process.send_signal(signum)
            _, stderr = process.communicate(timeout=20)
        finally:
            if process.poll() is None:  # a hang: the assertion below says so
                process.kill()
                process.wait()
        moment = f"{signum.name} after {after} fonts, --jobs {jobs}"
        assert process.returncode == 128 + signum, f"{moment}: status {process.returncode}, {stderr!r}"
        done = log.stat().st_size
        assert stderr.decode() == (f"glyphward: interrupted: inspected {done} font{'s' if done != 1 else ''}, "
                                   f"0 failed, {total - done} not done\n"), moment
        assert listing_file.read_bytes().count(b"f.ttf\n") <= done, moment
