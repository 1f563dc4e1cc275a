"""The signing engine in-process: what a signing records (actions on a first signing with their
Unicode ranges, the title without font.info, the caller's generator and font.info fields), the
Signer protocol's algorithm by name, and the box hash made from the font as written."""
import io
from pathlib import Path

import cbor2
import pytest
from fontTools.ttLib import TTFont

import c2pa_support as cs
import fontbuilder
import glyphward_c2pa
from glyphward_c2pa import SigningError
from glyphward_c2pa.sfnt import read_tables
from glyphward_c2pa.signing import ClaimGenerator, Embedded, SigningRequest

DEJAVU = Path("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf")


@pytest.fixture(scope="module")
def signer(c2pa_pki):
    credential = c2pa_pki.signer("ES256")
    return glyphward_c2pa.KeySigner(credential.key, credential.chain)


def cut(font: bytes, text: str, drop_names=()) -> bytes:
    """`font` cut down to the characters of `text`, without the names `drop_names`."""
    cut_font = TTFont(io.BytesIO(fontbuilder.subset_font(font, text, name_IDs=["*"])))
    for name_id in drop_names:
        cut_font["name"].removeNames(nameID=name_id)
    out = io.BytesIO()
    cut_font.save(out)
    return out.getvalue()


def actions_of(font: bytes):
    return cs.active(font).decoded("c2pa.actions.v2")["actions"]


def test_actions_on_a_first_signing_carry_their_ranges(signer):
    """Actions follow c2pa.created on a first signing (C2PA 2.2, 18.14); font.subset carries the
    characters the font maps, font.charactersDeleted what the parent maps and the font does not."""
    parent = DEJAVU.read_bytes()
    font = cut(parent, "ABCDEFGHxyz0")
    signed = glyphward_c2pa.sign_font(font, signer, font_actions=[
        "font.subset", "font.charactersDeleted", "com.example.kerned",
        ("font.createdFromVariableFont", {"weight": 700})], parent=parent)
    assert signed.report is not None and signed.report.asset_valid
    entries = actions_of(signed.font)
    assert [entry["action"] for entry in entries] == [
        "c2pa.created", "font.subset", "font.charactersDeleted", "com.example.kerned", "font.createdFromVariableFont"]
    assert entries[1]["parameters"]["ranges"] == [{"start": 0x30, "stop": 0x30}, {"start": 0x41, "stop": 0x48},
                                                   {"start": 0x78, "stop": 0x7A}]
    deleted = {point for item in entries[2]["parameters"]["ranges"] for point in range(item["start"], item["stop"] + 1)}
    before = set(TTFont(io.BytesIO(parent)).getBestCmap())
    assert deleted == before - {ord(character) for character in "ABCDEFGHxyz0"}
    assert "parameters" not in entries[3] and entries[4]["parameters"] == {"weight": 700}


@pytest.mark.parametrize("action", ["font.bogus", "c2pa.bogus", "subset", "c2pa.opened",
                                    "c2pa.created", "", 7])
def test_unknown_and_reserved_actions_refused(signer, action):
    with pytest.raises(SigningError, match="action"):
        glyphward_c2pa.sign_font(DEJAVU.read_bytes(), signer, font_actions=[action])


def test_title_without_font_info(signer):
    """A font without a copyright notice gets no font.info, and still its full name as title."""
    font = cut(DEJAVU.read_bytes(), "abc", drop_names=[0])
    warnings = []
    signed = glyphward_c2pa.sign_font(font, signer, warn=warnings.append)
    assert any("font.info left out" in warning for warning in warnings)
    manifest = cs.active(signed.font)
    assert "font.info" not in manifest.assertions
    assert manifest.claim_map["dc:title"] == "DejaVu Sans"


def test_generator_and_font_info_from_the_caller(signer):
    extra = {"releaseDate": "2026-01-31T00:00:00Z", "copyrightHolder": {"name": "Example Foundry",
                                                                      "url": "https://example.com"}}
    generator = ClaimGenerator(signer, claim_generator=("FoundryBuild", "2.1"))
    signed = generator.sign(DEJAVU.read_bytes(), SigningRequest(font_info=extra))
    manifest = cs.active(signed.font)
    info = manifest.decoded("font.info")
    assert info["releaseDate"] == extra["releaseDate"] and info["copyrightHolder"] == extra["copyrightHolder"]
    assert info["fullName"] == "DejaVu Sans"
    generator_info = manifest.claim_map["claim_generator_info"]
    assert generator_info["name"] == "FoundryBuild" and generator_info["version"] == "2.1"
    assert generator_info["org.glyphward.library"]["name"] == "glyphward"


@pytest.mark.parametrize("extra, message", [
    ({"releaseDate": "31 January 2026"}, "releaseDate is not an RFC 3339"),
    ({"fullName": "Other Sans"}, "is not the font's"),
    ({"weight": {"class": "Bold", "value": 2000}}, "weight is not"),
    ({"colour": "red"}, "colour is not a field of font.info"),
])
def test_font_info_fields_checked(signer, extra, message):
    with pytest.raises(SigningError, match=message):
        glyphward_c2pa.sign_font(DEJAVU.read_bytes(), signer, font_info_extra=extra)


class NamedSigner:
    """A Signer whose algorithm is a name, as the protocol documents it."""

    def __init__(self, inner, algorithm):
        self.inner, self.algorithm, self.certificates = inner, algorithm, inner.certificates

    def sign(self, data):
        return self.inner.sign(data)


@pytest.mark.parametrize("algorithm, message", [("ES256", None), ("ES257", "is not one of"),
                                                 (None, "is not one of"), ("PS256", "does not fit")])
def test_signer_algorithm_by_name(signer, algorithm, message):
    named = NamedSigner(signer, algorithm)
    if message is None:
        assert glyphward_c2pa.sign_font(DEJAVU.read_bytes(), named).report.asset_valid
    else:
        with pytest.raises(SigningError, match=message):
            glyphward_c2pa.sign_font(DEJAVU.read_bytes(), named)


@pytest.mark.parametrize("placement", [Embedded(), Embedded(size=40000, uri="https://example.com/m.c2pa")])
def test_box_hash_follows_the_written_directory(signer, placement):
    """One box per table of the signed font, in its directory's order, the C2PA table's included."""
    font = cs.add_table(DEJAVU.read_bytes(), b"zzzz", b"late table")
    signed = ClaimGenerator(signer).sign(font, SigningRequest(binding="boxes", placement=placement))
    boxes = cs.active(signed.font).decoded("c2pa.hash.boxes")["boxes"]
    written = [table.name for table in read_tables(signed.font)]
    assert [box["names"][0] for box in boxes] == written
    assert cbor2.loads(cs.active(signed.font).claim)["claim_generator_info"]["name"] == "glyphward"


def test_the_library_never_imports_the_command():
    """The C2PA layer stands on its own: signing and validating load nothing of glyphward_cli."""
    import subprocess
    import sys

    code = ("import sys, glyphward_c2pa; glyphward_c2pa.sign_font; glyphward_c2pa.verify_font; "
            "import glyphward_c2pa.signing.generator, glyphward_c2pa.validate.font; "
            "print(sorted(name for name in sys.modules if name.startswith('glyphward_cli')))")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert result.stdout.strip() == "[]"
