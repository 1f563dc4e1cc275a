"""The two-pass signing workflow: reserve_manifest_placeholder writes a zero
placeholder, data_hash_ranges names the bytes a data hash must skip, and
fill_manifest_store writes the signed manifest without moving anything else."""
import hashlib
import random
import struct
import time

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import glyphward
from fontbuilder import (
    OTTO,
    Record,
    assert_well_written,
    build_font,
    c2pa_header,
    c2pa_table,
    checksum,
    head_table,
    parse_directory,
    raw_font,
    simple_font,
)

C2PA = b"C2PA"
NOT_SFNT = "not a supported SFNT (TrueType/OpenType) font"
NO_C2PA = "no C2PA table found in font"
NO_STORE_TO_BIND = "invalid C2PA table: no embedded manifest store to bind"
PAST_END = "invalid font: table extends past end of file"
SHORT_HEADER = "invalid C2PA table: C2PA table shorter than header"
STORE_PAST_TABLE = "invalid C2PA table: manifest store extends past C2PA table"
ZERO_RESERVE = "invalid C2PA table: reserve_size must be non-zero"
NO_RESERVED_STORE = "invalid C2PA table: reserved font has no manifest store"
CHECKSUM_MAGIC = 0xB1B0AFBA


# ---------------------------------------------------------------- helpers


def raises(message, function, *args, **kwargs):
    with pytest.raises(ValueError) as caught:
        function(*args, **kwargs)
    assert type(caught.value) is ValueError
    assert caught.value.args == (message,)


def directory_entry(font, tag):
    """(index, offset, length) of the first record with `tag`, read independently."""
    for index, (found, _, offset, length) in enumerate(parse_directory(font)):
        if found == tag:
            return index, offset, length
    return None


def c2pa_of(font):
    _, offset, length = directory_entry(font, C2PA)
    return font[offset:offset + length]


def gaps(length, ranges):
    """The (start, end) spans of a file of `length` bytes that no range covers."""
    spans, position = [], 0
    for start, size in sorted(ranges):
        if start > position:
            spans.append((position, start))
        position = max(position, start + size)
    if position < length:
        spans.append((position, length))
    return spans


def hash_outside(font, ranges):
    digest = hashlib.sha256()
    for start, end in gaps(len(font), ranges):
        digest.update(font[start:end])
    return digest.hexdigest()


def differing_positions(a, b):
    assert len(a) == len(b)
    return [i for i in range(len(a)) if a[i] != b[i]]


def pattern(length, seed=1):
    """`length` bytes with no long runs of zeros, different for each seed."""
    rng = random.Random(seed)
    return bytes(rng.randrange(1, 256) for _ in range(length))


def assert_fill_keeps_layout(reserved, manifest, original=None):
    """Fills `reserved` with `manifest` and checks the promise the workflow
    rests on, and that the result is a well-written font whose other tables
    are those of `original` (by default, of `reserved`); returns it."""
    ranges = glyphward.data_hash_ranges(reserved)
    filled = glyphward.fill_manifest_store(reserved, manifest)
    assert len(filled) == len(reserved)
    for start, end in gaps(len(reserved), ranges):
        assert filled[start:end] == reserved[start:end], (start, end)
    assert glyphward.data_hash_ranges(filled) == ranges
    assert hash_outside(filled, ranges) == hash_outside(reserved, ranges)
    _, offset, _ = directory_entry(reserved, C2PA)
    store_offset, store_length = struct.unpack_from(">II", c2pa_of(reserved), 12)
    store_start = offset + store_offset
    assert (store_start, store_length) in ranges
    new_store = manifest + bytes(store_length - len(manifest))
    assert filled[store_start:store_start + store_length] == new_store
    uri_offset, uri_length = struct.unpack_from(">IH", c2pa_of(reserved), 4)
    uri = c2pa_of(reserved)[uri_offset:uri_offset + uri_length] if uri_offset else None
    assert assert_well_written(original or reserved, filled) == [c2pa_table(uri=uri, store=new_store)]
    return filled


# ------------------------------------------------------------ data_hash_ranges


def font_with_c2pa(table, extra=()):
    """A small font with a head table and the given C2PA table data."""
    tables = [("cmap", bytes(range(10))), ("name", b"ranges"), ("C2PA", table), ("head", head_table())]
    return build_font(tables + list(extra))


def test_ranges_of_an_embedded_store():
    store = pattern(37)
    font = glyphward.embed_manifest_store(simple_font(), store)
    index, offset, _ = directory_entry(font, C2PA)
    _, head_offset, _ = directory_entry(font, b"head")
    assert glyphward.data_hash_ranges(font) == [(12 + 16 * index + 4, 4), (offset + 20, 37), (head_offset + 8, 4)]
    assert font[offset + 20:offset + 57] == store


@pytest.mark.parametrize("font, message", [
    (glyphward.embed_remote(simple_font(), "https://example.com/m"), NO_STORE_TO_BIND),
    (font_with_c2pa(c2pa_header()), NO_STORE_TO_BIND),
    # A present store of length 0 has nothing to bind, nor has a length without an offset.
    (font_with_c2pa(c2pa_header(store_offset=20, store_length=0)), NO_STORE_TO_BIND),
    (font_with_c2pa(c2pa_header(store_offset=0, store_length=8) + bytes(8)), NO_STORE_TO_BIND),
    (simple_font(), NO_C2PA),
    (bytes(11), NOT_SFNT),
    (b"ttcf" + bytes(7), NOT_SFNT),
    (b"", NOT_SFNT),
    (raw_font([], num_tables=1) + bytes(15), "invalid font: table directory truncated"),
    (font_with_c2pa(c2pa_table(store=b"x")[:19]), SHORT_HEADER),
    (font_with_c2pa(b""), SHORT_HEADER),
], ids=["uri-only", "neither-part", "store-length-0", "store-offset-0", "no-c2pa", "11-bytes",
        "11-bytes-ttcf", "empty", "directory-truncated", "c2pa-19-bytes", "c2pa-empty"])
def test_ranges_refused(font, message):
    raises(message, glyphward.data_hash_ranges, font)


@pytest.mark.parametrize("version", [b"\0\1\0\0", b"OTTO", b"ttcf", b"wOF2", b"\xff\xff\xff\xff", bytes(4)])
def test_twelve_bytes_without_tables_have_no_c2pa_whatever_the_version(version):
    raises(NO_C2PA, glyphward.data_hash_ranges, version + bytes(8))


def _three_records(replace=None):
    """C2PA, cmap and an empty zzzz table laid out by hand, ending at byte 92;
    `replace` is (index, Record) to swap one record for another."""
    table = c2pa_table(store=pattern(8))
    records = [Record("C2PA", 60, len(table)), Record("cmap", 88, 4), Record("zzzz", 92, 0)]
    if replace is not None:
        records[replace[0]] = replace[1]
    return raw_font(records, table + b"cmap")


def test_hand_laid_three_records_have_ranges():
    assert len(_three_records()) == 92
    assert glyphward.data_hash_ranges(_three_records()) == [(16, 4), (80, 8)]
    # Ending exactly at the end of the file passes.
    assert glyphward.data_hash_ranges(_three_records((2, Record("zzzz", 88, 4)))) == [(16, 4), (80, 8)]


@pytest.mark.parametrize("version", [b"ttcf", b"wOFF", b"wOF2", b"\0\2\0\0", bytes(4)])
def test_version_word_is_not_examined(version):
    # Version words that reading the font refuses do not matter here.
    assert glyphward.data_hash_ranges(version + _three_records()[4:]) == [(16, 4), (80, 8)]


@pytest.mark.parametrize("replace", [
    (1, Record("cmap", 88, 5)),                   # not the C2PA table; one byte too long
    (1, Record("cmap", 0xFFFFFFFF, 0xFFFFFFFF)),  # the sum must not wrap
    (2, Record("zzzz", 93, 0)),                   # an empty table one past the end
    (2, Record("zzzz", 92, 1)),                   # a record after the C2PA record
    (0, Record("C2PA", 60, 33)),                  # the C2PA table itself
], ids=["other-table", "no-wrap", "empty-past-end", "after-c2pa", "c2pa"])
def test_any_record_past_the_end(replace):
    raises(PAST_END, glyphward.data_hash_ranges, _three_records(replace))


@pytest.mark.parametrize("extra, accepted", [(0, True), (1, False)])
def test_store_ending_at_the_end_of_its_table(extra, accepted):
    # The store claims `extra` more bytes than the table holds; a table follows,
    # so the bytes exist in the file: only the table's end counts.
    table = c2pa_header(store_offset=20, store_length=12 + extra) + pattern(12)
    font = font_with_c2pa(table, extra=[("glyf", pattern(40, 2))])
    if accepted:
        _, offset, _ = directory_entry(font, C2PA)
        assert (offset + 20, 12) in glyphward.data_hash_ranges(font)
    else:
        raises(STORE_PAST_TABLE, glyphward.data_hash_ranges, font)


def test_store_inside_the_header_and_other_fields_are_not_examined():
    # Store at table offset 4 (inside the header); the URI fields point far
    # outside the table and the versions are odd: none of that is looked at.
    table = struct.pack(">HHIHHII", 9, 9, 0xFFFFFFF0, 0xFFFF, 0, 4, 8) + b"tail"
    font = font_with_c2pa(table)
    index, offset, _ = directory_entry(font, C2PA)
    _, head_offset, _ = directory_entry(font, b"head")
    assert glyphward.data_hash_ranges(font) == [(12 + 16 * index + 4, 4), (offset + 4, 8), (head_offset + 8, 4)]


def test_first_c2pa_record_in_directory_order_is_used():
    first = c2pa_table(store=pattern(8, 1))
    second = c2pa_table(store=pattern(16, 2))
    # The first record's table lies after the second's in the file.
    body = second + first
    records = [Record("C2PA", 44 + len(second), len(first)), Record("C2PA", 44, len(second))]
    font = raw_font(records, body)
    assert glyphward.data_hash_ranges(font) == [(16, 4), (44 + len(second) + 20, 8)]


@pytest.mark.parametrize("heads, expect_head_range", [
    ([], False),
    ([11], False),
    ([12], True),
    ([54], True),
    ([11, 54], False),  # only the first head record is looked at
    ([54, 11], True),
])
def test_head_range_needs_a_first_head_of_twelve_bytes(heads, expect_head_range):
    tables = [("C2PA", c2pa_table(store=pattern(8)))] + [("head", head_table(length=n)) for n in heads]
    font = build_font(tables, sort=False, adjust=False)
    ranges = glyphward.data_hash_ranges(font)
    expected = [(16, 4), (12 + 16 * len(tables) + 20, 8)]
    if expect_head_range:
        expected.append((directory_entry(font, b"head")[1] + 8, 4))
    assert ranges == expected


def test_ranges_are_sorted_by_start_when_the_store_lies_last():
    # head's data before the C2PA table's: the store range comes last.
    head = head_table()
    table = c2pa_table(store=pattern(8))
    records = [Record("C2PA", 44 + len(head), len(table)), Record("head", 44, len(head))]
    font = raw_font(records, head + table)
    assert glyphward.data_hash_ranges(font) == [(16, 4), (52, 4), (44 + len(head) + 20, 8)]


# --------------------------------------------------------------- reservation


@pytest.mark.parametrize("font", [b"", b"junk", b"wOF2" + bytes(40), b"ttcf" + bytes(40), simple_font()],
                         ids=["empty", "junk", "woff2", "ttcf", "font"])
def test_zero_reserve_size_is_refused_before_the_font_is_read(font):
    raises(ZERO_RESERVE, glyphward.reserve_manifest_placeholder, font, 0)
    raises(ZERO_RESERVE, glyphward.reserve_manifest_placeholder, font, 0, "https://example.com")


@pytest.mark.parametrize("font, message", [
    (b"junk", NOT_SFNT),
    (b"wOFF" + bytes(40), "WOFF/WOFF2 fonts are not supported; decompress to SFNT first"),
    (raw_font([Record("glyf", 28, 5)], b"abcd"), "invalid font: table glyf extends past end of file"),
])
def test_reserve_passes_parse_errors_through(font, message):
    raises(message, glyphward.reserve_manifest_placeholder, font, 16)


@pytest.mark.parametrize("uri", [None, "https://example.com/manifest.c2pa", "urn:c2pa:ünïcödé/✓"])
@pytest.mark.parametrize("size", [1, 4, 7, 1024])
def test_reserved_font_holds_a_zero_placeholder(uri, size):
    font = simple_font()
    reserved = glyphward.reserve_manifest_placeholder(font, size, uri)
    encoded = uri.encode("utf-8") if uri else None
    # One C2PA table, every other table carried over unchanged.
    assert assert_well_written(font, reserved) == [c2pa_table(uri=encoded, store=bytes(size))]
    assert glyphward.read_manifest_store(reserved) == bytes(size)
    assert glyphward.read_manifest_uri_str(reserved) == uri
    assert glyphward.is_compliant(reserved) is True

    index, offset, _ = directory_entry(reserved, C2PA)
    _, head_offset, _ = directory_entry(reserved, b"head")
    store_start = offset + 20 + (len(encoded) if encoded else 0)
    ranges = glyphward.data_hash_ranges(reserved)
    assert ranges == sorted([(store_start, size), (12 + 16 * index + 4, 4), (head_offset + 8, 4)])
    assert reserved[store_start:store_start + size] == bytes(size)
    # The record-checksum range is the checksum field of the C2PA record,
    # inside the table directory.
    assert 12 + 16 * index + 4 + 4 <= 12 + 16 * len(parse_directory(reserved))


def test_reserve_size_four_makes_every_range_four_bytes_long():
    reserved = glyphward.reserve_manifest_placeholder(simple_font(), 4)
    ranges = glyphward.data_hash_ranges(reserved)
    assert [length for _, length in ranges] == [4, 4, 4]
    _, offset, _ = directory_entry(reserved, C2PA)
    assert (offset + 20, 4) in ranges
    assert reserved[offset + 20:offset + 24] == bytes(4)


@pytest.mark.parametrize("head_length, count", [(None, 2), (11, 2), (12, 3), (54, 3)])
def test_reserved_ranges_with_and_without_head(head_length, count):
    tables = [("cmap", bytes(range(10))), ("glyf", pattern(33))]
    if head_length is not None:
        tables.append(("head", head_table(length=head_length)))
    reserved = glyphward.reserve_manifest_placeholder(build_font(tables), 100)
    ranges = glyphward.data_hash_ranges(reserved)
    assert len(ranges) == count
    assert sum(1 for _, length in ranges if length == 100) == 1


def test_empty_uri_is_no_uri():
    font = simple_font()
    expected = glyphward.reserve_manifest_placeholder(font, 64)
    assert glyphward.reserve_manifest_placeholder(font, 64, "") == expected
    assert glyphward.reserve_manifest_placeholder(font, 64, None) == expected
    assert glyphward.reserve_manifest_placeholder(font, 64, uri="") == expected
    assert glyphward.read_manifest_uri_str(expected) is None


def test_reserve_replaces_every_c2pa_table_and_drops_their_contents():
    old = c2pa_table(uri=b"https://example.com/old", store=pattern(50))
    font = build_font([("head", head_table()), ("cmap", bytes(10)), ("C2PA", old), ("C2PA", c2pa_table(store=b"x"))],
                      sort=False)
    reserved = glyphward.reserve_manifest_placeholder(font, 32)
    assert assert_well_written(font, reserved) == [c2pa_table(store=bytes(32))]
    assert glyphward.read_manifest_uri_str(reserved) is None
    assert glyphward.read_manifest_store(reserved) == bytes(32)


@pytest.mark.parametrize("uri", [None, "https://example.com/m.c2pa"])
def test_reserving_a_reserved_or_filled_font_again_gives_the_same_bytes(uri, dejavu):
    for font in (simple_font(), dejavu):
        reserved = glyphward.reserve_manifest_placeholder(font, 512, uri)
        assert glyphward.reserve_manifest_placeholder(reserved, 512, uri) == reserved
        filled = glyphward.fill_manifest_store(reserved, pattern(300))
        assert glyphward.reserve_manifest_placeholder(filled, 512, uri) == reserved


def test_reserve_keeps_the_sfnt_version():
    font = simple_font(version=OTTO)
    reserved = glyphward.reserve_manifest_placeholder(font, 8)
    assert reserved[:4] == b"OTTO"


def test_long_uris():
    font = simple_font()
    longest = "u" * 65535
    reserved = glyphward.reserve_manifest_placeholder(font, 8, longest)
    assert glyphward.read_manifest_uri_str(reserved) == longest
    _, offset, _ = directory_entry(reserved, C2PA)
    assert (offset + 20 + 65535, 8) in glyphward.data_hash_ranges(reserved)
    # One byte more does not fit the 16-bit length field.
    with pytest.raises(ValueError) as caught:
        glyphward.reserve_manifest_placeholder(font, 8, longest + "u")
    assert type(caught.value) is ValueError
    assert str(caught.value).startswith("invalid C2PA table: ")


def _first_refused(uri_length):
    return 0xFFFFFFFF - 20 - uri_length + 1


@pytest.mark.parametrize("uri", [None, "https://example.com/manifest.c2pa", "ü" * 40],
                         ids=["no-uri", "ascii-uri", "80-byte-uri"])
@pytest.mark.parametrize("size", [
    _first_refused,
    lambda u: _first_refused(u) + 1,
    lambda u: 0xFFFFFFFF,
    lambda u: 2**32,
    lambda u: 2**32 + 4,  # would read back as a 4-byte store if truncated to 32 bits
    lambda u: 2**62,
    lambda u: 2**63 - 1,
], ids=["first-refused", "first-refused+1", "0xFFFFFFFF", "2**32", "2**32+4", "2**62", "2**63-1"])
def test_tables_too_long_for_their_fields_are_refused_without_allocating(uri, size):
    font = simple_font()
    reserve_size = size(len(uri.encode("utf-8")) if uri else 0)
    started = time.perf_counter()
    with pytest.raises(ValueError) as caught:
        glyphward.reserve_manifest_placeholder(font, reserve_size, uri)
    elapsed = time.perf_counter() - started
    assert type(caught.value) is ValueError
    assert str(caught.value).startswith("invalid C2PA table: ")
    # Making a store of gigabytes takes seconds.
    assert elapsed < 0.5


def test_font_errors_come_before_size_errors():
    raises(NOT_SFNT, glyphward.reserve_manifest_placeholder, b"junk", 2**32)


# ----------------------------------------------------------- the worked example


def eleven_table_font():
    """Ten tables that all sort after C2PA; with C2PA added, eleven."""
    tags = ["OS/2", "cmap", "cvt ", "fpgm", "glyf", "hhea", "hmtx", "loca", "maxp"]
    tables = [(tag, pattern(10 + 7 * i, i)) for i, tag in enumerate(tags)]
    tables.append(("head", head_table()))
    return build_font(tables)


def test_worked_example():
    reserved = glyphward.reserve_manifest_placeholder(eleven_table_font(), 1024)
    records = parse_directory(reserved)
    assert len(records) == 11 and records[0][0] == C2PA and records[0][2] == 188
    head_offset = directory_entry(reserved, b"head")[1]
    assert glyphward.data_hash_ranges(reserved) == [(16, 4), (208, 1024), (head_offset + 8, 4)]

    manifest = pattern(1000, 7)
    filled = glyphward.fill_manifest_store(reserved, manifest)
    assert len(filled) == len(reserved)
    assert filled[208:1208] == manifest
    assert filled[1208:1232] == bytes(24)
    changed = differing_positions(reserved, filled)
    allowed = set(range(16, 20)) | set(range(208, 1232)) | set(range(head_offset + 8, head_offset + 12))
    assert set(changed) <= allowed
    # The record checksum and the adjustment really follow the new content.
    assert struct.unpack_from(">I", filled, 16)[0] == checksum(c2pa_table(store=manifest + bytes(24)))
    assert set(range(16, 20)) & set(changed)
    assert checksum(filled) == CHECKSUM_MAGIC
    assert glyphward.is_compliant(filled) is True


# ------------------------------------------------------------------- filling


def test_exact_size_manifest_fills_the_whole_store():
    reserved = glyphward.reserve_manifest_placeholder(simple_font(), 64)
    manifest = pattern(64)
    filled = assert_fill_keeps_layout(reserved, manifest)
    assert glyphward.read_manifest_store(filled) == manifest
    assert c2pa_of(filled) == c2pa_table(store=manifest)


@pytest.mark.parametrize("length", [1, 17, 1023])
def test_shorter_manifest_is_followed_by_zeros(length):
    reserved = glyphward.reserve_manifest_placeholder(simple_font(), 1024)
    manifest = pattern(length)
    filled = assert_fill_keeps_layout(reserved, manifest)
    store = glyphward.read_manifest_store(filled)
    assert len(store) == 1024
    assert store == manifest + bytes(1024 - length)


@pytest.mark.parametrize("reserved_size, length", [(1024, 1025), (1, 2), (4, 1000)])
def test_manifest_longer_than_the_reservation(reserved_size, length):
    reserved = glyphward.reserve_manifest_placeholder(simple_font(), reserved_size)
    raises(f"invalid C2PA table: signed manifest is {length} bytes but only {reserved_size} were reserved",
           glyphward.fill_manifest_store, reserved, pattern(length))


@pytest.mark.parametrize("uri", [None, "https://example.com/m"])
def test_empty_manifest_gives_back_the_reserved_font(uri, dejavu):
    for font in (simple_font(), dejavu):
        reserved = glyphward.reserve_manifest_placeholder(font, 256, uri)
        assert glyphward.fill_manifest_store(reserved, b"") == reserved


def test_uri_survives_the_fill():
    uri = "https://example.com/manifests/ü?id=1"
    reserved = glyphward.reserve_manifest_placeholder(simple_font(), 100, uri)
    manifest = pattern(60)
    filled = assert_fill_keeps_layout(reserved, manifest)
    assert glyphward.read_manifest_uri_str(filled) == uri
    assert c2pa_of(filled) == c2pa_table(uri=uri.encode("utf-8"), store=manifest + bytes(40))


def test_refilling_with_a_shorter_manifest_leaves_no_trace():
    reserved = glyphward.reserve_manifest_placeholder(simple_font(), 200)
    long_fill = glyphward.fill_manifest_store(reserved, pattern(200, 1))
    short = pattern(30, 2)
    refilled = assert_fill_keeps_layout(long_fill, short)
    assert refilled == glyphward.fill_manifest_store(reserved, short)
    assert glyphward.read_manifest_store(refilled) == short + bytes(170)


def test_store_with_offset_but_no_length_takes_only_an_empty_manifest():
    font = font_with_c2pa(c2pa_header(store_offset=20, store_length=0))
    raises("invalid C2PA table: signed manifest is 1 bytes but only 0 were reserved",
           glyphward.fill_manifest_store, font, b"x")
    filled = glyphward.fill_manifest_store(font, b"")
    assert c2pa_of(filled) == b"\0\0\0\1" + bytes(16)
    raises("invalid C2PA table: C2PA table has no embedded manifest store", glyphward.read_manifest_store, filled)


def test_two_c2pa_tables_fill_from_the_first_and_leave_one():
    first = c2pa_table(uri=b"https://example.com/first", store=bytes(8))
    second = c2pa_table(store=bytes(16))
    font = build_font([("head", head_table()), ("C2PA", first), ("cmap", bytes(10)), ("C2PA", second)], sort=False)
    raises("invalid C2PA table: signed manifest is 9 bytes but only 8 were reserved",
           glyphward.fill_manifest_store, font, pattern(9))
    filled = glyphward.fill_manifest_store(font, pattern(8))
    assert assert_well_written(font, filled) == [c2pa_table(uri=b"https://example.com/first", store=pattern(8))]


@pytest.mark.parametrize("font, message", [
    (glyphward.embed_remote(simple_font(), "https://example.com/m"), NO_RESERVED_STORE),
    (font_with_c2pa(c2pa_header()), NO_RESERVED_STORE),
    (simple_font(), NO_C2PA),
    (b"junk", NOT_SFNT),
    (font_with_c2pa(bytes(10)), "invalid C2PA table: table shorter than 20-byte header"),
    (font_with_c2pa(c2pa_header(store_offset=20, store_length=9) + bytes(8)),
     "invalid C2PA table: manifest store extends past end of table"),
], ids=["uri-only", "neither-part", "no-c2pa", "not-a-font", "short-table", "store-past-table"])
def test_fill_refused(font, message):
    raises(message, glyphward.fill_manifest_store, font, b"")
    raises(message, glyphward.fill_manifest_store, font, b"manifest")


def test_fill_writes_version_zero_one_whatever_the_reserved_table_held():
    font = font_with_c2pa(c2pa_table(store=bytes(12), major=9, minor=9))
    filled = glyphward.fill_manifest_store(font, b"abc")
    assert c2pa_of(filled) == c2pa_table(store=b"abc" + bytes(9))


def test_an_embedded_store_is_filled_like_a_placeholder():
    embedded = glyphward.embed_manifest_store(simple_font(), pattern(48, 3))
    filled = assert_fill_keeps_layout(embedded, pattern(20, 4))
    assert glyphward.read_manifest_store(filled) == pattern(20, 4) + bytes(28)


def test_font_outside_the_writer_layout_is_filled_into_it():
    # Tables out of tag order, a gap, and bytes after the C2PA store.
    head = head_table()
    table = c2pa_table(store=pattern(16)) + b"tail"
    body = b"glyf-data" + bytes(3) + b"GAP!" + table + head
    records = [
        Record("glyf", 60, 9),
        Record("C2PA", 76, len(table)),
        Record("head", 76 + len(table), len(head)),
    ]
    font = raw_font(records, body)
    filled = glyphward.fill_manifest_store(font, b"signed")
    expected = build_font([("glyf", b"glyf-data"), ("head", head), ("C2PA", c2pa_table(store=b"signed" + bytes(10)))])
    assert filled == expected


# ------------------------------------------- the promise, on many kinds of font


GENERATED = {
    "simple": simple_font(),
    "otto": simple_font(version=OTTO),
    "old-c2pa": simple_font(extra=[("C2PA", c2pa_table(uri=b"https://old", store=pattern(99)))]),
    "tags-before-c2pa": simple_font(extra=[("BASE", pattern(7)), ("AAAA", b""), ("zzzz", b"z")]),
    "no-head": build_font([("cmap", bytes(range(10))), ("glyf", pattern(33))]),
    "head-11": build_font([("cmap", bytes(range(10))), ("head", head_table(length=11))]),
    "head-only": build_font([("head", head_table(length=12))]),
}


@pytest.mark.parametrize("name", sorted(GENERATED))
@pytest.mark.parametrize("size, uri", [(1, None), (5, "u"), (1024, None), (333, "https://example.com/ü")])
def test_fill_changes_nothing_outside_the_ranges_generated(name, size, uri):
    font = GENERATED[name]
    reserved = glyphward.reserve_manifest_placeholder(font, size, uri)
    has_head = (directory_entry(font, b"head") or (0, 0, 0))[2] >= 12
    assert len(glyphward.data_hash_ranges(reserved)) == (3 if has_head else 2)
    for length in sorted({0, 1, size // 2, size - 1, size}):
        filled = assert_fill_keeps_layout(reserved, pattern(length, length))
        assert glyphward.is_compliant(filled) is has_head


@pytest.mark.parametrize("font_name", ["dejavu", "cff_font", "noto_emoji"])
def test_fill_changes_nothing_outside_the_ranges_real_fonts(font_name, request):
    font = request.getfixturevalue(font_name)
    reserved = glyphward.reserve_manifest_placeholder(font, 4096, "https://example.com/manifest.c2pa")
    ranges = glyphward.data_hash_ranges(reserved)
    assert len(ranges) == 3
    reserved_hash = hash_outside(reserved, ranges)
    for length in (1, 4096):
        # Also checks that fontTools loads the filled font, with every table
        # but C2PA as in the original font.
        filled = assert_fill_keeps_layout(reserved, pattern(length, length), original=font)
        assert hash_outside(filled, ranges) == reserved_hash
        assert glyphward.is_compliant(filled) is True


@st.composite
def workflow_cases(draw):
    tags = draw(st.lists(st.sampled_from(["cmap", "glyf", "name", "OS/2", "BASE", "AB12", "hhea", "zzzz", "C2PB"]),
                         max_size=6))
    tables = [(tag, draw(st.binary(max_size=23))) for tag in tags]
    head_length = draw(st.one_of(st.none(), st.integers(0, 60)))
    if head_length is not None:
        tables.append(("head", head_table(length=head_length)))
    if draw(st.booleans()):
        tables.append(("C2PA", c2pa_table(uri=draw(st.binary(max_size=5)), store=draw(st.binary(max_size=9)))))
    size = draw(st.integers(1, 300))
    uri = draw(st.one_of(st.none(), st.text(max_size=8)))
    manifest = draw(st.binary(max_size=size))
    return build_font(tables), size, uri, manifest, head_length


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(workflow_cases())
def test_fill_changes_nothing_outside_the_ranges_any_font(case):
    font, size, uri, manifest, head_length = case
    reserved = glyphward.reserve_manifest_placeholder(font, size, uri)
    ranges = glyphward.data_hash_ranges(reserved)
    assert len(ranges) == (3 if head_length is not None and head_length >= 12 else 2)
    filled = assert_fill_keeps_layout(reserved, manifest)
    assert glyphward.read_manifest_store(filled) == manifest + bytes(size - len(manifest))
    assert glyphward.read_manifest_uri_str(filled) == (uri or None)
