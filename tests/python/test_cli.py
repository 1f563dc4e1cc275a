"""The `glyphward` command's inspecting and rewriting commands, run as a user
runs them, with results checked against the module's own calls."""
import importlib.metadata
import json
import os
import re
import resource
import stat
import subprocess
import sys

import pytest

import glyphward
from cli_support import GLYPHWARD, glyphward_command, hash_outside, listing, obeying_permissions, run  # noqa: F401
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
                         "manifest_store_length", "exclusion_ranges", "error"}
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
    assert errors == {
        "junk.ttf": NOT_SFNT,
        "collection.ttc": "font collections (ttcf) are not supported",
        "web.woff2": "WOFF/WOFF2 fonts are not supported; decompress to SFNT first",
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
        f"both.ttf\n  size:                {len(cases['both.ttf'])} bytes\n  C2PA table:          yes\n"
        "  active manifest URI: urn:uuid:1234\n  manifest store:      4096 bytes\n"
        f"  exclusion ranges:    {ranges}  (start+length)\n  compliant:           yes",
        f"plain.ttf\n  size:                {len(dejavu)} bytes\n  C2PA table:          no\n"
        "  compliant:           no",
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

    # --in-place replaces the input and keeps its permission bits; nothing else is left.
    os.chmod(source, 0o640)
    before = listing(tmp_path)
    assert run(args[0], font_name, *args[1:], "--in-place", cwd=tmp_path).returncode == 0
    assert source.read_bytes() == expected
    assert stat.S_IMODE(source.stat().st_mode) == 0o640
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
    # All good: status 0; -q drops the summary line.
    result = run("strip", "-q", *sorted(fonts), "--output-dir", "out", cwd=batch)
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


@pytest.mark.parametrize("failure", ["unwritable-directory", "write-fails-midway"])
def test_a_failed_write_leaves_the_destination_as_it_was(tmp_path, fonts, failure):
    directory = tmp_path / "dest"
    directory.mkdir()
    source = directory / "DejaVuSans.ttf"
    original = glyphward.embed_remote(fonts["DejaVuSans.ttf"].read_bytes(), "urn:old")
    source.write_bytes(original)
    if failure == "unwritable-directory":
        os.chmod(directory, 0o555)
        preexec, expected = obeying_permissions(), "Permission denied"
    else:
        # Writes past 100 kB fail (EFBIG), as a full disk would fail them.
        def preexec():
            resource.setrlimit(resource.RLIMIT_FSIZE, (100_000, 100_000))
        expected = "File too large"
    try:
        result = run("strip", source, "--in-place", preexec_fn=preexec)
    finally:
        os.chmod(directory, 0o755)
    assert result.returncode == 1
    assert result.stderr == f"glyphward: {source}: cannot write {source}: {expected}\n"
    assert source.read_bytes() == original
    assert listing(directory) == ["DejaVuSans.ttf"]


