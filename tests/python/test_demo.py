"""The signing demo, examples/sign_font.py, run as a user would run it: it signs
through the `glyphward` command and the example signer examples/stand_in_signer.py;
its result is checked without any of its own code. The example verifier,
examples/verify_font.py, must reject what does not verify."""
import io
import json
import subprocess
import sys
from pathlib import Path

import pytest
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PublicKey

import glyphward
from cli_support import glyphward_command, hash_outside  # noqa: F401
from fontbuilder import build_font, parse_directory, tables_of

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
SIGN_FONT = EXAMPLES / "sign_font.py"
VERIFY_FONT = EXAMPLES / "verify_font.py"
DEMO_FONT = EXAMPLES / "fonts" / "GlyphwardDemo.ttf"


def run(*args, cwd=None, script=SIGN_FONT):
    return subprocess.run([sys.executable, str(script), *map(str, args)], capture_output=True, text=True,
                          timeout=120, cwd=cwd)


def check_signed(original, signed):
    """Verifies `signed` from scratch and returns its manifest."""
    assert glyphward.is_compliant(signed) is True
    ranges = glyphward.data_hash_ranges(signed)
    store = glyphward.read_manifest_store(signed)
    text = store.rstrip(b"\0")
    # The store keeps its reserved size: the manifest, then only zeros.
    assert store == text + bytes(len(store) - len(text))
    manifest = json.loads(text)

    # Clearly a stand-in, not something to mistake for a C2PA manifest.
    assert manifest["stand_in"] is True
    assert "STAND-IN" in manifest["notice"] and "NOT a C2PA manifest" in manifest["notice"]

    assert manifest["hash"]["algorithm"] == "sha256"
    assert [(r["start"], r["length"]) for r in manifest["hash"]["exclusions"]] == ranges
    assert manifest["hash"]["value"] == hash_outside(signed, ranges)
    assert manifest["signature"]["algorithm"] == "Ed25519"
    key = Ed25519PublicKey.from_public_bytes(bytes.fromhex(manifest["signature"]["public_key"]))
    key.verify(bytes.fromhex(manifest["signature"]["value"]), bytes.fromhex(manifest["hash"]["value"]))

    # Every table of the input is still there with its bytes (head but for its
    # checksum adjustment).
    before, after = tables_of(original), tables_of(signed)
    assert set(after) == set(before) | {b"C2PA"}
    for tag, data in before.items():
        if tag == b"head":
            assert after[tag][:8] + after[tag][12:] == data[:8] + data[12:]
        elif tag != b"C2PA":
            assert after[tag] == data, tag
    return manifest


def test_shipped_demo_font_is_a_real_font():
    from fontTools.ttLib import TTFont

    font = TTFont(io.BytesIO(DEMO_FONT.read_bytes()), checkChecksums=2)
    assert font.getGlyphOrder() == [".notdef", "space", "A", "B", "C", "period"]
    assert font.getBestCmap() == {0x20: "space", 0x2E: "period", 0x41: "A", 0x42: "B", 0x43: "C"}
    assert font["name"].getDebugName(4) == "Glyphward Demo Regular"
    glyf = font["glyf"]
    assert all(glyf[name].numberOfContours > 0 for name in ("A", "B", "C", "period"))
    assert len(DEMO_FONT.read_bytes()) < 4096


def test_demo_font_script_builds_the_same_font(tmp_path):
    from fontTools.ttLib import TTFont

    out = tmp_path / "demo.ttf"
    result = subprocess.run([sys.executable, str(EXAMPLES / "make_demo_font.py"), str(out)],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    # Compared through fontTools rather than byte for byte, so that a newer
    # fontTools compiling some table differently does not matter.
    made, shipped = TTFont(str(out)), TTFont(str(DEMO_FONT))
    assert made.getGlyphOrder() == shipped.getGlyphOrder()
    assert made.getBestCmap() == shipped.getBestCmap()
    for name in made.getGlyphOrder():
        assert made["glyf"][name].getCoordinates(made["glyf"]) == shipped["glyf"][name].getCoordinates(shipped["glyf"])
    assert made["hmtx"].metrics == shipped["hmtx"].metrics


@pytest.mark.usefixtures("glyphward_command")
@pytest.mark.parametrize("font_name", ["demo", "dejavu"])
def test_demo_signs_and_the_result_verifies_independently(font_name, tmp_path, request):
    source = DEMO_FONT if font_name == "demo" else Path("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf")
    if font_name == "dejavu":
        request.getfixturevalue("dejavu")  # fails clearly if the font is not installed
    target = tmp_path / "signed" / "out.ttf"
    result = run(source, target)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "VERIFIED" in result.stdout
    assert "stand-in" in result.stdout.lower()
    assert "$ glyphward sign " in result.stdout and "stand_in_signer.py --key " in result.stdout

    original, signed = source.read_bytes(), target.read_bytes()
    manifest = check_signed(original, signed)
    # What it printed matches what it wrote.
    assert f"({len(original)} bytes, without a C2PA table)" in result.stdout
    assert f"({len(signed)} bytes)" in result.stdout
    assert manifest["hash"]["value"] in result.stdout
    for start, length in glyphward.data_hash_ranges(signed):
        assert f"bytes {start}..{start + length - 1} ({length} bytes)" in result.stdout

    # Any change to a hashed byte breaks the binding.
    tampered = bytearray(signed)
    tampered[-1] ^= 1
    ranges = glyphward.data_hash_ranges(bytes(tampered))
    assert hash_outside(bytes(tampered), ranges) != manifest["hash"]["value"]


@pytest.mark.usefixtures("glyphward_command")
def test_demo_default_output_path(tmp_path):
    source = tmp_path / "My Font.ttf"
    source.write_bytes(DEMO_FONT.read_bytes())
    result = run(source)
    assert result.returncode == 0, result.stdout + result.stderr
    expected = EXAMPLES.parent / "build" / "demo" / "My Font-signed.ttf"
    try:
        assert f"output:         {expected} (" in result.stdout
        check_signed(source.read_bytes(), expected.read_bytes())
    finally:
        expected.unlink(missing_ok=True)


@pytest.mark.usefixtures("glyphward_command")
def test_demo_fails_when_the_signed_font_does_not_verify(tmp_path):
    # Without a head table there is no whole-font checksum, so is_compliant is
    # False: `glyphward sign` refuses to write the font, and the demo must say
    # so and exit non-zero.
    source = tmp_path / "nohead.ttf"
    source.write_bytes(build_font([("cmap", bytes(range(10))), ("glyf", b"outline")]))
    result = run(source, tmp_path / "out.ttf")
    assert result.returncode == 1, result.stdout + result.stderr
    assert "SIGNING FAILED" in result.stdout and "VERIFIED" not in result.stdout
    assert f"glyphward: {source}: the signed font fails verification: is_compliant is False; not written" \
        in result.stderr
    assert not (tmp_path / "out.ttf").exists()


@pytest.mark.usefixtures("glyphward_command")
@pytest.mark.parametrize("tamper, failed_check", [
    ("hashed byte", "FAIL data hash"),
    ("recorded range", "FAIL exclusion ranges"),
    ("other key", "FAIL signature"),
])
def test_verifier_rejects_what_does_not_verify(tmp_path, tamper, failed_check):
    target = tmp_path / "signed.ttf"
    assert run(DEMO_FONT, target).returncode == 0
    signed = bytearray(target.read_bytes())
    args = []
    if tamper == "hashed byte":
        (name_offset,) = [offset for tag, _, offset, _ in parse_directory(bytes(signed)) if tag == b"name"]
        signed[name_offset + 10] ^= 1
    elif tamper == "recorded range":
        # The manifest's first recorded exclusion says 5 bytes where there are 4.
        at = signed.index(b'"length": 4', glyphward.data_hash_ranges(bytes(signed))[1][0])
        signed[at:at + 11] = b'"length": 5'
    if tamper != "other key":
        # Filling the store again makes the whole-font checksum right, so that
        # only the tampering shows.
        signed = bytearray(glyphward.fill_manifest_store(bytes(signed), glyphward.read_manifest_store(bytes(signed))))
    else:
        args = ["11" * 32]
    target.write_bytes(bytes(signed))
    result = run(target, *args, script=VERIFY_FONT)
    assert result.returncode == 1, result.stdout + result.stderr
    assert "VERIFICATION FAILED" in result.stdout and failed_check in result.stdout
    assert all(line.startswith("  ok") for line in result.stdout.splitlines()[1:-1] if failed_check not in line)


@pytest.mark.usefixtures("glyphward_command")
@pytest.mark.parametrize("content, args", [
    (b"this is not a font", ()),
    (None, ()),
    (b"", ("extra", "arguments")),
], ids=["not-a-font", "missing-file", "too-many-arguments"])
def test_demo_refuses_bad_input(tmp_path, content, args):
    source = tmp_path / "input.ttf"
    if content is not None:
        source.write_bytes(content)
    result = run(source, *(args or (tmp_path / "out.ttf",)))
    assert result.returncode == 2
    assert not (tmp_path / "out.ttf").exists()
    assert result.stderr

