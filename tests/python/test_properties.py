"""Properties that must hold for every font, checked on random ones.

The fonts come from fontbuilder with random table lists (tags that sort in
interesting ways, duplicates, C2PA and head tables of every length, empty
tables), random sfnt versions and untidy layouts (unsorted, unadjusted).
Every written font is judged by fontbuilder.assert_well_written, which checks
the layout and the checksums independently of glyphward and loads the font
in fontTools with record-checksum verification.
"""
import struct

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import glyphward
from fontbuilder import (
    OTTO,
    TRUETYPE,
    assert_well_written,
    build_font,
    c2pa_table,
    head_table,
    parse_directory,
)

SETTINGS = settings(
    max_examples=120,
    database=None,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

# Upper case sorts before lower case; "C2PA" sits between "BASE" and "CFF ".
TAGS = [b"head", b"C2PA", b"cmap", b"glyf", b"OS/2", b"cvt ", b"name", b"BASE", b"CFF ", b"c2pa", b"zzzz"]


@st.composite
def table_lists(draw, heads=st.integers(0, 2), head_lengths=st.sampled_from([0, 8, 11, 12, 13, 54]), c2pa=True):
    """[(tag, data)] in random order, with `heads` head tables."""
    tags = st.sampled_from([t for t in TAGS if t != b"head" and (c2pa or t != b"C2PA")])
    tables = draw(st.lists(st.tuples(tags, st.binary(max_size=40)), max_size=8))
    for _ in range(draw(heads)):
        length = draw(head_lengths)
        tables.append((b"head", head_table(adjustment=draw(st.integers(0, 2**32 - 1)), length=length)))
    if c2pa and draw(st.booleans()):
        uri = draw(st.one_of(st.none(), st.binary(min_size=1, max_size=12).map(lambda b: b.hex().encode())))
        tables.append((b"C2PA", c2pa_table(uri=uri, store=draw(st.binary(max_size=30)))))
    return draw(st.permutations(tables))


@st.composite
def fonts(draw, **kwargs):
    tables = draw(table_lists(**kwargs))
    version = draw(st.sampled_from([TRUETYPE, OTTO, 0x74727565, 0x74797031]))
    return build_font(tables, version=version, sort=draw(st.booleans()), adjust=draw(st.booleans()))


def heads_of(font):
    """The data of the font's head tables, in directory order."""
    return [font[o:o + n] for tag, _, o, n in parse_directory(font) if tag == b"head"]


def checksum_can_hold(font):
    """Whether a font glyphward wrote from `font` passes the checksum test:
    the writer adjusts the last head table (in output order), the test reads
    the first one, and both need at least 12 bytes."""
    heads = heads_of(font)
    return bool(heads) and len(heads[0]) >= 12 and len(heads[-1]) >= 12


def expected_c2pa(uri=b"", store=b""):
    return c2pa_table(uri=uri or None, store=store or None)


@SETTINGS
@given(font=fonts())
def test_remove_writes_the_other_tables_back_in_tag_order(font):
    written = glyphward.remove_manifest_table(font)
    assert assert_well_written(font, written) == []
    assert glyphward.is_compliant(written) is False
    assert glyphward.remove_manifest_table(written) == written


@SETTINGS
@given(font=fonts(), store=st.binary(max_size=50))
def test_embedded_store_is_the_only_c2pa_table_and_reads_back(font, store):
    written = glyphward.embed_manifest_store(font, store)
    assert assert_well_written(font, written) == [expected_c2pa(store=store)]
    if store:
        assert glyphward.read_manifest_store(written) == store
        assert glyphward.is_compliant(written) is checksum_can_hold(font)
    else:
        assert glyphward.is_compliant(written) is False
    assert glyphward.read_manifest_uri_str(written) is None


@SETTINGS
@given(font=fonts(), uri=st.text(max_size=20))
def test_embedded_uri_is_the_only_c2pa_table_and_reads_back(font, uri):
    written = glyphward.embed_remote(font, uri)
    assert assert_well_written(font, written) == [expected_c2pa(uri=uri.encode())]
    assert glyphward.read_manifest_uri_str(written) == (uri or None)
    assert glyphward.is_compliant(written) is (bool(uri) and checksum_can_hold(font))


@SETTINGS
@given(font=fonts(), size=st.integers(1, 200), uri=st.one_of(st.none(), st.text(max_size=12)), data=st.data())
def test_reserved_and_filled_fonts_are_well_written(font, size, uri, data):
    reserved = glyphward.reserve_manifest_placeholder(font, size, uri)
    uri_bytes = (uri or "").encode()
    assert assert_well_written(font, reserved) == [expected_c2pa(uri=uri_bytes, store=bytes(size))]
    assert glyphward.is_compliant(reserved) is checksum_can_hold(font)

    manifest = data.draw(st.binary(max_size=size), label="manifest")
    filled = glyphward.fill_manifest_store(reserved, manifest)
    store = manifest + bytes(size - len(manifest))
    assert assert_well_written(font, filled) == [expected_c2pa(uri=uri_bytes, store=store)]
    assert glyphward.is_compliant(filled) is checksum_can_hold(font)
    assert glyphward.read_manifest_store(filled) == store


@SETTINGS
@given(
    font=fonts(heads=st.integers(0, 1)),
    size=st.integers(1, 300),
    uri=st.one_of(st.none(), st.text(max_size=12)),
    data=st.data(),
)
def test_fill_changes_only_bytes_inside_the_reported_ranges(font, size, uri, data):
    reserved = glyphward.reserve_manifest_placeholder(font, size, uri)
    ranges = glyphward.data_hash_ranges(reserved)
    assert any(length == size and reserved[start:start + length] == bytes(size) for start, length in ranges)

    manifest = data.draw(st.binary(max_size=size), label="manifest")
    filled = glyphward.fill_manifest_store(reserved, manifest)
    assert len(filled) == len(reserved)
    changed = [i for i, (a, b) in enumerate(zip(reserved, filled)) if a != b]
    outside = [i for i in changed if not any(start <= i < start + length for start, length in ranges)]
    assert outside == []
    assert glyphward.data_hash_ranges(filled) == ranges
    assert glyphward.read_manifest_uri_str(filled) == (uri or None)
    # Hashing the font outside the ranges gives the same digest both times.
    def outside_bytes(font_bytes):
        kept, position = [], 0
        for start, length in ranges:
            kept.append(font_bytes[position:start])
            position = max(position, start + length)
        return b"".join(kept) + font_bytes[position:]

    assert outside_bytes(filled) == outside_bytes(reserved)


NINE = [
    ("embed_manifest_store", lambda f: glyphward.embed_manifest_store(f, b"store"), bytes),
    ("embed_remote", lambda f: glyphward.embed_remote(f, "https://example.com/m"), bytes),
    ("read_manifest_store", glyphward.read_manifest_store, bytes),
    ("read_manifest_uri_str", glyphward.read_manifest_uri_str, (str, type(None))),
    ("remove_manifest_table", glyphward.remove_manifest_table, bytes),
    ("is_compliant", glyphward.is_compliant, bool),
    ("reserve_manifest_placeholder", lambda f: glyphward.reserve_manifest_placeholder(f, 16, "u"), bytes),
    ("data_hash_ranges", glyphward.data_hash_ranges, list),
    ("fill_manifest_store", lambda f: glyphward.fill_manifest_store(f, b"sig"), bytes),
]


@st.composite
def valid_fonts_with_c2pa(draw, **font_kwargs):
    """A font every function accepts: reserved, and maybe filled."""
    base = draw(fonts(**font_kwargs))
    size = draw(st.integers(4, 64))
    reserved = glyphward.reserve_manifest_placeholder(base, size, draw(st.one_of(st.none(), st.text(max_size=8))))
    if draw(st.booleans()):
        return glyphward.fill_manifest_store(reserved, draw(st.binary(max_size=size)))
    return reserved


@SETTINGS
@given(font=valid_fonts_with_c2pa(), data=st.data())
def test_single_byte_corruption_gives_a_result_or_value_error(font, data):
    for _, function, _ in NINE:
        function(font)  # the intact font is accepted by all nine
    position = data.draw(st.integers(0, len(font) - 1), label="position")
    value = data.draw(st.integers(0, 255).filter(lambda v: v != font[position]), label="value")
    corrupted = font[:position] + bytes([value]) + font[position + 1:]
    for name, function, result_type in NINE:
        try:
            result = function(corrupted)
        except ValueError as error:
            assert type(error) is ValueError, name
            assert len(error.args) == 1 and isinstance(error.args[0], str) and error.args[0], name
        else:
            assert isinstance(result, result_type), name


@SETTINGS
@given(font=valid_fonts_with_c2pa(heads=st.just(1), head_lengths=st.sampled_from([12, 13, 54])), data=st.data())
def test_corrupting_a_table_byte_is_caught_by_the_checksum(font, data):
    """A one-byte change anywhere after the directory changes the whole-font
    sum, so a compliant font stops being compliant (or stops parsing)."""
    assert glyphward.is_compliant(font) is True
    (count,) = struct.unpack_from(">H", font, 4)
    start = 12 + 16 * count
    position = data.draw(st.integers(start, len(font) - 1), label="position")
    value = data.draw(st.integers(0, 255).filter(lambda v: v != font[position]), label="value")
    corrupted = font[:position] + bytes([value]) + font[position + 1:]
    try:
        assert glyphward.is_compliant(corrupted) is False
    except ValueError:
        pass  # the C2PA header itself was hit and no longer decodes
