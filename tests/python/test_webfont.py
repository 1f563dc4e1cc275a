"""WOFF 1.0 and WOFF2: a font normalised, signed with one box per table and
packed by glyphward verifies in every format; tampered web fonts fail with
the standard's codes; hostile headers are refused in bounded time and
memory (glyphward issue 21)."""
from __future__ import annotations

import shutil
import struct
import subprocess
import time
import tracemalloc
import zlib
from datetime import timedelta

import pytest

from glyphward_c2pa import KeySigner, sign_font, verify_font
from glyphward_c2pa.webfont import WebfontError, decode_font, normalise, web_formats
from glyphward_c2pa.webfont.assemble import assemble
from glyphward_c2pa.webfont.normalise import CONVERTED, HEAD_FLAGS, is_normal, sfnt_tables
from glyphward_c2pa.webfont.woff import write_woff
from glyphward_c2pa.webfont.woff2 import HEADER as WOFF2_HEADER
from glyphward_c2pa.webfont.woff2 import read_base128, write_base128, write_woff2
from cli_support import glyphward_command  # noqa: F401
from webfont_fonts import FONTS

pytestmark = pytest.mark.usefixtures("glyphward_command")

FORMATS = ("ttf", "woff", "woff2")


@pytest.fixture(scope="module")
def signer(c2pa_pki):
    credential = c2pa_pki.signer("ES256")
    begins = max(certificate.not_valid_before_utc for certificate in credential.chain)
    return KeySigner.from_pem(credential.cert_pem.read_bytes(), credential.key_pem.read_bytes()), \
        begins + timedelta(hours=1)


def signed(font: bytes, signer, binding: str = "boxes") -> bytes:
    key, now = signer
    return sign_font(normalise(font), key, binding=binding, now=now).font


def valid(data: bytes) -> bool:
    report = verify_font(decode_font(data).sfnt)
    return report.asset_valid and report.manifest_state == "valid"


def failures(data: bytes):
    report = verify_font(decode_font(data).sfnt)
    return sorted({status.code for status in report.results.failure} - {"signingCredential.untrusted"})


@pytest.mark.parametrize("kind", sorted(FONTS))
def test_a_signed_web_font_verifies_in_every_format_and_keeps_its_tables(kind, signer, tmp_path):
    original = FONTS[kind]()
    font = signed(original, signer)
    flavor, tables = sfnt_tables(font)
    assert b"DSIG" not in tables and struct.unpack_from(">H", tables[b"head"], HEAD_FLAGS)[0] & CONVERTED
    files = web_formats(font, FORMATS)
    assert [files[name][:4] for name in FORMATS] == [font[:4], b"wOFF", b"wOF2"]
    for name in FORMATS:
        assert sfnt_tables(decode_font(files[name]).sfnt) == (flavor, tables), name
        assert valid(files[name]), name
    # The command reads them too, as files.
    from c2pa_support import verify_json

    paths = []
    for name in FORMATS:
        (tmp_path / f"font.{name}").write_bytes(files[name])
        paths.append(tmp_path / f"font.{name}")
    result, records = verify_json(*paths)
    assert result.returncode == 0
    assert all(record["asset_valid"] and "assertion.boxesHash.match" in [s["code"] for s in
               record["validation_results"]["activeManifest"]["success"]] for record in records.values())


@pytest.mark.parametrize("kind", sorted(FONTS))
def test_the_normal_form_is_a_fixed_point_and_keeps_the_glyphs(kind):
    from fontTools.ttLib import TTFont
    import io

    original = FONTS[kind]()
    once = normalise(original)
    assert is_normal(once) and normalise(once) == once
    assert not is_normal(original)  # DSIG and head.flags at least
    for written in (write_woff2(*sfnt_tables(once)), write_woff(*sfnt_tables(once))):
        assert decode_font(written).sfnt == once
        assert normalise(written) == once
    before, after = TTFont(io.BytesIO(original)), TTFont(io.BytesIO(once))
    glyphs_before, glyphs_after = before.getGlyphSet(), after.getGlyphSet()
    for name in before.getGlyphOrder():
        assert before["hmtx"][name] == after["hmtx"][name]
        if "glyf" in before:
            a, b = before["glyf"][name], after["glyf"][name]
            assert a.isComposite() == b.isComposite()
            if a.numberOfContours > 0:
                assert list(a.coordinates) == list(b.coordinates) and a.flags == b.flags
                assert a.endPtsOfContours == b.endPtsOfContours
                assert a.program.getBytecode() == b.program.getBytecode()
        else:
            from fontTools.pens.recordingPen import RecordingPen

            pens = RecordingPen(), RecordingPen()
            glyphs_before[name].draw(pens[0])
            glyphs_after[name].draw(pens[1])
            assert pens[0].value == pens[1].value


def _retable(data: bytes, writer, change):
    flavor, tables = sfnt_tables(decode_font(data).sfnt)
    change(tables)
    return writer(flavor, tables)


def _flip_name(tables):
    name = bytearray(tables[b"name"])
    name[-1] ^= 1
    tables[b"name"] = bytes(name)


def _move_glyph_point(tables):
    # A byte of glyph A's coordinates, in glyf.
    glyf = bytearray(tables[b"glyf"])
    start = struct.unpack_from(">H", tables[b"loca"], 2)[0] * 2
    glyf[start + 6] ^= 0x10  # xMin of glyph 1: the next write re-encodes the glyph, so change its bbox
    tables[b"glyf"] = bytes(glyf)


@pytest.mark.parametrize("writer", [write_woff, write_woff2], ids=["woff", "woff2"])
@pytest.mark.parametrize("change, codes", [
    (_flip_name, ["assertion.boxesHash.mismatch"]),
    (_move_glyph_point, ["assertion.boxesHash.mismatch"]),
    (lambda tables: tables.__setitem__(b"DSIG", b"\0\0\0\1\0\0\0\0"), ["assertion.boxesHash.unknownBox"]),
    (lambda tables: tables.pop(b"post"), ["assertion.boxesHash.mismatch"]),
], ids=["name byte", "glyph bbox", "table added", "table removed"])
def test_a_tampered_web_font_fails_with_the_standards_code(writer, change, codes, signer):
    font = signed(FONTS["truetype"](), signer)
    tampered = _retable(font, writer, change)
    assert failures(tampered) == codes


def test_a_data_hash_manifest_in_a_web_font_is_reported_as_such(signer, tmp_path):
    font = signed(FONTS["truetype"](), signer, binding="data")
    assert valid(font)
    for name, writer in (("woff", write_woff), ("woff2", write_woff2)):
        path = tmp_path / f"data.{name}"
        path.write_bytes(writer(*sfnt_tables(font)))
        from c2pa_support import verify_json

        result, records = verify_json(path)
        record = records[str(path)]
        assert result.returncode == 1 and not record["asset_valid"] and record["manifest_state"] == "valid"
        statuses = record["validation_results"]["activeManifest"]
        assert [s["code"] for s in statuses["failure"] if s["code"] != "signingCredential.untrusted"] == \
            ["assertion.dataHash.mismatch"]
        assert f"a {name.upper()} file does not hold those bytes" in statuses["failure"][-1]["explanation"]
        assert not [s for s in statuses["success"] if s["code"].startswith("assertion.dataHash")]


@pytest.mark.skipif(shutil.which("woff2_compress") is None, reason="Debian's woff2 is not installed")
@pytest.mark.parametrize("kind", sorted(FONTS))
def test_woff2_compress_of_a_signed_font_verifies(kind, signer, tmp_path):
    font = signed(FONTS[kind](), signer)
    (tmp_path / "font.ttf").write_bytes(font)
    subprocess.run(["woff2_compress", str(tmp_path / "font.ttf")], check=True, capture_output=True)
    packed = (tmp_path / "font.woff2").read_bytes()
    assert sfnt_tables(decode_font(packed).sfnt) == sfnt_tables(font)
    assert valid(packed)


# ---------------------------------------------------------------------------
# hostile headers

def _woff(entries, flavor=0x00010000, body=b"", length=None, reserved=0, count=None):
    """A WOFF 1.0 file: directory `entries` (tag, offset, compLength, origLength) then `body`."""
    directory = b"".join(struct.pack(">4sIIII", *entry, 0) for entry in entries)
    size = 44 + len(directory) + len(body)
    header = struct.pack(">4sIIHHIHHIIIII", b"wOFF", flavor, size if length is None else length,
                         len(entries) if count is None else count, reserved, 0, 1, 0, 0, 0, 0, 0, 0)
    return header + directory + body


def _woff2(entries, stream, flavor=0x00010000, compressed=None, count=None):
    """A WOFF2 file: directory `entries` (raw bytes each), then the brotli stream `stream`."""
    import brotli

    data = brotli.compress(stream) if compressed is None else compressed
    directory = b"".join(entries)
    size = WOFF2_HEADER.size + len(directory) + len(data)
    size += -size % 4
    header = WOFF2_HEADER.pack(b"wOF2", flavor, size, len(entries) if count is None else count, 0, 0, len(data),
                               1, 0, 0, 0, 0, 0, 0)
    return (header + directory + data).ljust(size, b"\0")


def _plain(index, length):
    return bytes([index]) + write_base128(length)


TABLE = zlib.compress(bytes(100))
DIR_END = 44 + 20


@pytest.mark.parametrize("data, message", [
    (b"wOFF" + bytes(10), "shorter than its header"),
    (_woff([(b"name", DIR_END, 4, 4)], body=bytes(4), length=999), "gives the file 999 bytes"),
    (_woff([(b"name", DIR_END, 4, 4)], body=bytes(4), reserved=1), "reserved field"),
    (_woff([], count=0), "lists 0 tables"),
    (_woff([(b"name", DIR_END, 4, 4)], count=60000, body=bytes(4)), "lists 60000 tables"),
    (_woff([(b"name", DIR_END, 4, 4)], flavor=0x74746366, body=bytes(4)), "font collection"),
    (_woff([(b"name", DIR_END, 8, 4)], body=bytes(8)), "longer compressed"),
    (_woff([(b"name", DIR_END, 40, 40)], body=bytes(4)), "does not lie in the WOFF file"),
    (_woff([(b"name", 2, 4, 4)], body=bytes(4)), "does not lie in the WOFF file"),
    (_woff([(b"name", DIR_END + 20, 8, 8), (b"post", DIR_END + 20, 8, 8)], body=bytes(8)), "overlap"),
    (_woff([(b"name", DIR_END + 20, 4, 4), (b"name", DIR_END + 24, 4, 4)], body=bytes(8)), "twice"),
    (_woff([(b"name", DIR_END, len(TABLE), 99)], body=TABLE), "does not inflate to its declared 99"),
    (_woff([(b"name", DIR_END, len(TABLE), 101)], body=TABLE), "does not inflate to its declared 101"),
    (_woff([(b"name", DIR_END, 4, 1 << 31)], body=bytes(4)), "more than"),
    (_woff([(b"name", DIR_END, 8, 9)], body=b"\x78\x9c" + bytes(6)), "does not inflate"),
], ids=lambda value: value if isinstance(value, str) else None)
def test_hostile_woff_headers_are_refused(data, message):
    with pytest.raises(WebfontError, match=message):
        decode_font(data)


@pytest.mark.parametrize("data, message", [
    (b"wOF2" + bytes(20), "shorter than its header"),
    (_woff2([_plain(5, 4)], bytes(4), flavor=0x74746366), "font collection"),
    (_woff2([_plain(5, 4)], bytes(4), count=0), "lists 0 tables"),
    (_woff2([_plain(5, 4)], b"", compressed=b"", count=3), "runs past the end"),
    (_woff2([bytes([5, 0x80, 0x04])], bytes(4)), "starts with a zero"),
    (_woff2([bytes([5, 0x8F, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F])], bytes(4)), "longer than 5 bytes"),
    (_woff2([bytes([5, 0x90, 0x80, 0x80, 0x80, 0x00])], bytes(4)), "exceeds 2\\*\\*32 - 1"),
    (_woff2([_plain(5 | 0x40, 4)], bytes(4)), "unknown transform"),
    (_woff2([_plain(10 | 0x80, 4), _plain(11 | 0x80, 4)], bytes(8)), "unknown transform"),
    (_woff2([_plain(5, 4), _plain(5, 4)], bytes(8)), "twice"),
    (_woff2([bytes([10]) + write_base128(8) + write_base128(4), _plain(11 | 0xC0, 4)], bytes(8)),
     "transforms one of glyf and loca"),
    (_woff2([bytes([11]) + write_base128(4) + write_base128(4)], bytes(4)), "loca table must be empty"),
    (_woff2([_plain(5, 4), _plain(7, 0xFFFFFFF0)], bytes(4)), "more than"),
    (_woff2([_plain(5, 4)], bytes(5)), "do not decompress to the 4 bytes"),
    (_woff2([_plain(5, 8)], bytes(4)), "do not decompress to the 8 bytes"),
    (_woff2([_plain(5, 4)], b"", compressed=b"\xff" * 16), "do not decompress"),
    (_woff2([bytes([10]) + write_base128(8) + write_base128(4), bytes([11]) + write_base128(4) + bytes([0]),
             _plain(1, 54), _plain(4, 6)], bytes(4) + bytes(60)), "cannot be rebuilt|missing|rebuilt"),
], ids=lambda value: value if isinstance(value, str) else None)
def test_hostile_woff2_headers_are_refused(data, message):
    with pytest.raises(WebfontError, match=message):
        decode_font(data)


def test_trailing_bytes_after_a_woff2_files_data_are_refused():
    good = write_woff2(*sfnt_tables(normalise(FONTS["cff"]())))
    longer = bytearray(good + bytes(8))
    struct.pack_into(">I", longer, 8, len(longer))
    with pytest.raises(WebfontError, match="bytes after its data"):
        decode_font(bytes(longer))


@pytest.mark.parametrize("container", ["woff", "woff2"])
def test_a_compression_bomb_is_refused_in_bounded_time_and_memory(container):
    """A small file that would expand to 256 MiB declares a table of 1000
    bytes: at most 1001 bytes are ever produced."""
    import brotli

    if container == "woff":
        bomb = zlib.compress(bytes(256 << 20), 9)
        data = _woff([(b"name", DIR_END, len(bomb), 1000)], body=bomb + bytes(-len(bomb) % 4))
    else:
        bomb = brotli.compress(bytes(64 << 20), quality=1)
        data = _woff2([_plain(5, 1000)], b"", compressed=bomb)
    assert len(data) < 1 << 20
    tracemalloc.start()
    start = time.perf_counter()
    try:
        with pytest.raises(WebfontError, match="1000"):
            decode_font(data)
        elapsed = time.perf_counter() - start
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert elapsed < 1.0 and peak < 4 << 20, (elapsed, peak)


@pytest.mark.parametrize("value", [0, 1, 127, 128, 16383, 16384, 1 << 28, (1 << 32) - 1])
def test_base128_round_trips(value):
    encoded = write_base128(value)
    assert read_base128(encoded + b"\x07", 0) == (value, len(encoded))


def test_a_font_that_is_not_normal_is_refused_by_the_web_writer(signer):
    key, now = signer
    plain = sign_font(FONTS["truetype"](), key, now=now).font  # signed without normalising
    with pytest.raises(WebfontError, match="not in the web normal form"):
        web_formats(plain, ("woff2",))
    assert valid(web_formats(plain, ("woff",))["woff"])  # WOFF 1.0 keeps every table as it is


def test_assembled_fonts_are_sorted_padded_and_checksummed():
    font = assemble(0x00010000, {b"name": b"\1\2\3", b"head": bytes(54), b"cmap": b"\4"})
    from fontbuilder import parse_directory

    records = parse_directory(font)
    assert [record[0] for record in records] == [b"cmap", b"head", b"name"]
    assert all(record[2] % 4 == 0 for record in records)
    assert sum(struct.unpack(f">{len(font) // 4}I", font)) & 0xFFFFFFFF == 0xB1B0AFBA


def test_the_fuzz_target_holds_on_mutated_web_fonts():
    """fuzz/webfont_fuzzer.py's invariants over mutations of a WOFF and of a
    WOFF2's decompressed stream (which reach the glyf rebuild)."""
    import importlib.util
    from pathlib import Path

    from hypothesis import HealthCheck, given, settings
    from hypothesis import strategies as st

    path = Path(__file__).resolve().parents[2] / "fuzz" / "webfont_fuzzer.py"
    if not path.is_file():
        pytest.skip("the fuzz targets are not in the sdist (pyproject.toml: sdist.exclude)")
    spec = importlib.util.spec_from_file_location("webfont_fuzzer", path)
    target = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(target)

    @settings(max_examples=150, deadline=None, suppress_health_check=list(HealthCheck))
    @given(st.sampled_from([b"\0", b"\1", b"\2"]), st.binary(max_size=600))
    def one(mode, rest):
        target.check(mode + rest)

    one()


def test_info_and_extract_read_web_fonts(signer, tmp_path):
    import json

    from cli_support import run

    font = signed(FONTS["variable"](), signer)
    files = web_formats(font, FORMATS)
    stores = []
    for name in FORMATS:
        path = tmp_path / f"font.{name}"
        path.write_bytes(files[name])
        extracted = run("extract", str(path), "-o", "-")
        assert extracted.returncode == 0, extracted.stderr
        stores.append(extracted.stdout)
        record = json.loads(run("info", "--json", str(path)).stdout)[0]
        assert (record["error"], record["size"], record["manifest_state"], record["asset_valid"]) == \
            (None, len(files[name]), "valid", True)
    assert stores[0][4:8] == b"jumb" and stores.count(stores[0]) == 3


@pytest.mark.parametrize("kind", ["truetype", "cff"])
def test_sign_web_writes_three_valid_files_and_takes_a_web_font(kind, c2pa_pki, tmp_path):
    """`sign --web`: the SFNT and its WOFF and WOFF2, all carrying one manifest and all valid
    (trusted with the root); a WOFF2 given as input is signed the same way, its SFNT written
    beside it (never under the web font's name); --web refuses what it cannot honour."""
    from c2pa_support import key_args, verify_json
    from cli_support import run

    suffix = "otf" if kind == "cff" else "ttf"
    source = tmp_path / f"source.{suffix}"
    source.write_bytes(FONTS[kind]())
    keys = [*map(str, key_args(c2pa_pki.signer("ES256")))]
    out = tmp_path / "out"
    out.mkdir()
    result = run("sign", source, *keys, "--web", "--output-dir", out)
    assert result.returncode == 0, result.stderr
    files = sorted(path.name for path in out.iterdir())
    assert files == [f"source.{suffix}", "source.woff", "source.woff2"]
    stores = {decode_font((out / name).read_bytes()).sfnt for name in files}
    assert len(stores) == 1  # one font, three containers
    result, records = verify_json(*(out / name for name in files),
                                  options=["--trust-anchors", str(c2pa_pki.root.cert_pem)])
    assert result.returncode == 0 and all(record["manifest_state"] == "trusted" and record["asset_valid"]
                                          for record in records.values()), records
    again = tmp_path / "again"
    again.mkdir()
    result = run("sign", out / "source.woff2", *keys, "--web", "--formats", "woff2,ttf", "--output-dir", again,
                 "--action", "font.subset")
    assert result.returncode == 0, result.stderr
    assert sorted(path.name for path in again.iterdir()) == [f"source.{suffix}", "source.woff2"]
    result, records = verify_json(again / "source.woff2", options=["--trust-anchors", str(c2pa_pki.root.cert_pem)])
    (record,) = records.values()
    assert result.returncode == 0 and record["manifest_state"] == "trusted"
    for options, message in ((["--binding", "data"], "--web binds each font with the box hash"),
                             (["--formats", "woff"], None)):
        web = ["--web"] if message else []
        result = run("sign", source, *keys, *web, *options, "-o", tmp_path / "refused.ttf")
        assert result.returncode == 2 and (message or "--formats goes with --web") in result.stderr
    assert not (tmp_path / "refused.ttf").exists()
