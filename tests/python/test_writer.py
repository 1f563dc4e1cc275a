"""The SFNT writer, observed through the fonts that remove_manifest_table and
the embedding functions return.

Inputs are assembled with fontbuilder in deliberately untidy layouts (tables
out of order, wrong record checksums, gaps and trailing bytes) so that every
field of the output has to be computed by the writer itself.
"""
import os
import struct

import pytest

import glyphward
from limited import run_limited
from fontbuilder import (
    OTTO,
    TRUETYPE,
    WHOLE_FONT_SUM,
    Record,
    assert_well_written,
    build_font,
    c2pa_table,
    checksum,
    head_table,
    parse_directory,
    raw_font,
    tables_in_order,
)



def untidy_font(tables, version=TRUETYPE):
    """The tables in the given order, with wrong record checksums, junk in
    the gaps and junk after the last table."""
    offset = 12 + 16 * len(tables)
    records, body = [], bytearray()
    for tag, data in tables:
        body += b"\xaa" * 3
        offset += 3
        records.append(Record(tag, offset, len(data), 0xDEADBEEF))
        body += data
        offset += len(data)
    return raw_font(records, bytes(body) + b"\xee" * 5, version)


def write(tables, version=TRUETYPE):
    """What the writer makes of this table list, checked as a whole against
    an independent reading (fontTools included) on the way."""
    source = untidy_font(tables, version)
    font = glyphward.remove_manifest_table(source)
    if len(tables) <= 300:
        assert_well_written(source, font)
    return font


def many_tables(count):
    """`count` empty tables with distinct tags that sort in list order."""
    return [(b"T" + i.to_bytes(3, "big"), b"") for i in range(count)]


def header_of(font):
    return struct.unpack_from(">IHHHH", font, 0)


def adjustment_of(font, head_offset):
    return struct.unpack_from(">I", font, head_offset + 8)[0]


def test_no_tables_gives_the_bare_header():
    assert write([]) == b"\x00\x01\x00\x00" + bytes.fromhex("0000 0010 0000 fff0")


@pytest.mark.parametrize(
    "count, search_range, entry_selector, range_shift",
    [
        (1, 16, 0, 0),
        (2, 32, 1, 0),
        (3, 32, 1, 16),
        (20, 256, 4, 64),
        (4095, 32768, 11, 32752),
        (4096, 0, 12, 0),
        (65535, 0, 15, 65520),
    ],
)
def test_header_fields(count, search_range, entry_selector, range_shift):
    font = write(many_tables(count))
    assert header_of(font) == (TRUETYPE, count, search_range, entry_selector, range_shift)
    # Empty tables take no room: the font ends with the directory.
    assert len(font) == 12 + 16 * count
    assert all(offset == len(font) and length == 0 and cs == 0 for _, cs, offset, length in parse_directory(font))


@pytest.mark.parametrize("version", [TRUETYPE, OTTO, 0x74727565, 0x74797031], ids=["1.0", "OTTO", "true", "typ1"])
def test_version_word_is_kept(version):
    font = write([("name", b"abcde"), ("head", head_table())], version)
    assert header_of(font)[0] == version
    assert font == build_font([("name", b"abcde"), ("head", head_table())], version=version)


def test_single_table_layout():
    font = write([("name", b"\x01\x02\x03\x04\x05")])
    assert len(font) == 36
    assert header_of(font) == (TRUETYPE, 1, 16, 0, 0)
    assert parse_directory(font) == [(b"name", 0x01020304 + 0x05000000, 28, 5)]
    assert font[28:33] == b"\x01\x02\x03\x04\x05"
    assert font[33:] == b"\0\0\0"


def test_tables_are_written_in_tag_order():
    tables = [("head", head_table()), ("cmap", b"cmap data"), ("OS/2", bytes(78)), ("glyf", b"g" * 13)]
    font = glyphward.embed_manifest_store(untidy_font(tables), b"store")
    records = parse_directory(font)
    assert [tag for tag, _, _, _ in records] == [b"C2PA", b"OS/2", b"cmap", b"glyf", b"head"]
    offsets = [offset for _, _, offset, _ in records]
    assert offsets == sorted(offsets), "data area not in directory order"
    assert_well_written(untidy_font(tables), font)


def test_tags_compare_as_unsigned_bytes():
    tags = [b"\x80abc", b"zzzz", b"\x7fabc", b"ABCD", b"abcd", b"\x00\x00\x00\x01", b"cvt ", b"cvta", b"\xff\xff\xff\xff"]
    font = write([(tag, tag * 2) for tag in tags])
    assert [tag for tag, _, _, _ in parse_directory(font)] == [
        b"\x00\x00\x00\x01",
        b"ABCD",
        b"abcd",
        b"cvt ",
        b"cvta",
        b"zzzz",
        b"\x7fabc",
        b"\x80abc",
        b"\xff\xff\xff\xff",
    ]
    assert [(tag, data) for tag, data in tables_in_order(font)] == [(tag, tag * 2) for tag in sorted(tags)]


@pytest.mark.parametrize("count", [3, 40, 300])
def test_tables_with_equal_tags_keep_their_order(count):
    # Interleave three tags so that a sort that is not stable would mix
    # up the tables of one tag (small lists alone would not show it).
    tags = [b"dupa", b"DUPB", b"dupc"]
    tables = [(tags[i % 3], b"#" + i.to_bytes(2, "big")) for i in range(count)]
    font = write(tables)
    written = tables_in_order(font)
    assert written == sorted(tables, key=lambda item: item[0])
    for tag in tags:
        numbers = [int.from_bytes(data[1:], "big") for t, data in written if t == tag]
        assert numbers == sorted(numbers)


def test_offsets_lengths_and_zero_padding():
    tables = [(b"t%03d" % n, bytes((n * 37 + k) % 255 + 1 for k in range(n))) for n in range(10)]
    font = write(list(reversed(tables)))
    offset = 12 + 16 * len(tables)
    for (tag, cs, at, length), (want_tag, data) in zip(parse_directory(font), tables):
        assert (tag, at, length) == (want_tag, offset, len(data))
        assert font[at:at + length] == data
        padded = (length + 3) // 4 * 4
        assert font[at + length:at + padded] == bytes(padded - length)
        offset += padded
    assert len(font) == offset
    assert font == build_font(tables)


@pytest.mark.parametrize("position", ["first", "middle", "last"])
def test_empty_table_record(position):
    others = [("aaaa", b"12345"), ("zzzz", b"678")]
    tag = {"first": "AAAA", "middle": "mmmm", "last": "~~~~"}[position]
    font = write(others + [(tag, b"")])
    records = {t: (cs, offset, length) for t, cs, offset, length in parse_directory(font)}
    cs, offset, length = records[tag.encode()]
    assert (cs, length) == (0, 0)
    expected = {"first": 12 + 16 * 3, "middle": records[b"zzzz"][1], "last": len(font)}[position]
    assert offset == expected


@pytest.mark.parametrize(
    "data, expected",
    [
        (b"", 0),
        (b"\x01\x02\x03", 0x01020300),
        (b"\x01\x02\x03\x04", 0x01020304),
        (b"\xff" * 8, 0xFFFFFFFE),
        (b"\x80\x00\x00\x00" * 2 + b"\x01", 0x01000000),
    ],
)
def test_table_checksum_values(data, expected):
    font = write([("data", data)])
    assert parse_directory(font)[0][1] == expected


def test_record_checksums_are_recomputed():
    tables = [(b"t%03d" % n, os.urandom(n * 7 + 1)) for n in range(12)] + [("head", head_table())]
    font = write(tables)
    for tag, cs, offset, length in parse_directory(font):
        data = font[offset:offset + length]
        if tag == b"head":
            data = data[:8] + b"\0\0\0\0" + data[12:]
        assert cs == checksum(data), tag
    assert_well_written(untidy_font(tables), font)


@pytest.mark.parametrize("old_adjustment", [0, 0x12345678, 0xFFFFFFFF])
def test_head_checksum_ignores_the_adjustment_field(old_adjustment):
    head = head_table(adjustment=old_adjustment)
    font = write([("cmap", b"xyz"), ("head", head)])
    (_, cs, offset, length), = [r for r in parse_directory(font) if r[0] == b"head"]
    assert cs == checksum(head[:8] + b"\0\0\0\0" + head[12:])
    assert font[offset:offset + 8] == head[:8] and font[offset + 12:offset + length] == head[12:]
    assert checksum(font) == WHOLE_FONT_SUM
    assert font == build_font([("cmap", b"xyz"), ("head", head)])


@pytest.mark.parametrize("length", [0, 1, 8, 11])
def test_short_head_gets_no_adjustment(length):
    head = bytes(range(0xA0, 0xA0 + length))
    font = write([("cmap", b"xyz"), ("head", head)])
    (_, cs, offset, _), = [r for r in parse_directory(font) if r[0] == b"head"]
    assert font[offset:offset + length] == head
    assert cs == checksum(head)
    assert checksum(font) != WHOLE_FONT_SUM


def test_twelve_byte_head_is_adjusted():
    head = bytes(range(1, 13))
    font = write([("cmap", b"xyz"), ("head", head)])
    assert checksum(font) == WHOLE_FONT_SUM
    (_, cs, offset, _), = [r for r in parse_directory(font) if r[0] == b"head"]
    assert font[offset:offset + 8] == head[:8]
    assert cs == checksum(head[:8])


@pytest.mark.parametrize(
    "first_length, second_length",
    [(54, 54), (12, 54), (54, 12), (8, 54), (54, 8), (54, 0)],
)
def test_only_the_last_head_is_adjusted(first_length, second_length):
    first = head_table(adjustment=0x11111111, length=first_length)
    second = bytes(b ^ 0x5A for b in head_table(adjustment=0x22222222, length=second_length))
    tables = [("head", first), ("cmap", b"xyz"), ("head", second)]
    font = write(tables)
    heads = [(cs, offset, length) for tag, cs, offset, length in parse_directory(font) if tag == b"head"]
    assert len(heads) == 2
    (_, first_at, _), (_, second_at, _) = heads
    assert font[first_at:first_at + first_length] == first
    if second_length >= 12:
        assert font[second_at:second_at + 8] == second[:8]
        assert font[second_at + 12:second_at + second_length] == second[12:]
        assert checksum(font) == WHOLE_FONT_SUM
    else:
        # The last head is too short to carry an adjustment; the earlier one
        # is not adjusted in its place.
        assert font[second_at:second_at + second_length] == second
        assert checksum(font) != WHOLE_FONT_SUM
    assert font == build_font(tables)


def test_without_head_no_table_changes():
    tables = [("cmap", b"\x01\x02\x03\x04\x05\x06"), ("glyf", b"\xff" * 9), ("HEAD", head_table())]
    font = write(tables)
    assert tables_in_order(font) == sorted(((t.encode(), d) for t, d in tables), key=lambda item: item[0])
    assert font == build_font(tables)


def test_adjustment_value():
    tables = [("head", head_table()), ("name", b"n" * 7), ("post", b"p" * 32)]
    font = write(tables)
    (_, _, offset, _), = [r for r in parse_directory(font) if r[0] == b"head"]
    zeroed = font[:offset + 8] + b"\0\0\0\0" + font[offset + 12:]
    assert adjustment_of(font, offset) == (WHOLE_FONT_SUM - checksum(zeroed)) % 2**32
    assert_well_written(untidy_font(tables), font)


def test_output_is_deterministic_and_input_is_untouched():
    tables = [("head", head_table()), ("name", b"n" * 7), ("C2PA", c2pa_table(b"u", b"s")), ("post", b"p" * 32)]
    source = untidy_font(tables)
    pristine = bytes(bytearray(source))
    first = glyphward.embed_manifest_store(source, b"abc")
    second = glyphward.embed_manifest_store(source, b"abc")
    assert first == second
    assert source == pristine
    # A font already in the writer's layout is a fixed point.
    removed = glyphward.remove_manifest_table(first)
    assert glyphward.remove_manifest_table(removed) == removed
    assert glyphward.embed_manifest_store(first, b"abc") == first


def test_bytes_outside_tables_are_dropped():
    # Gaps, trailing junk, a record pointing into the directory and two
    # records sharing bytes: only the tables' own bytes survive.
    body = b"\x11" * 4 + b"TABLE-ONE" + b"\x22" * 3 + b"table-two" + b"\x33" * 6
    directory_end = 12 + 16 * 4
    records = [
        Record("zzzz", directory_end + 4, 9, 1),
        Record("aaaa", directory_end + 16, 9, 2),
        Record("dirx", 0, 12, 3),
        Record("over", directory_end + 8, 12, 4),
    ]
    source = raw_font(records, body)
    font = glyphward.remove_manifest_table(source)
    expected_tables = [
        ("aaaa", b"table-two"),
        ("dirx", source[:12]),
        ("over", source[directory_end + 8:directory_end + 20]),
        ("zzzz", b"TABLE-ONE"),
    ]
    assert font == build_font(expected_tables)


def test_writer_matches_an_independent_layout_of_a_real_font(dejavu):
    assert glyphward.remove_manifest_table(dejavu) == build_font(tables_in_order(dejavu))


def test_table_count_limit():
    tables = many_tables(65535)
    full = raw_font([Record(tag, 12 + 16 * 65535, 0) for tag, _ in tables])
    assert glyphward.remove_manifest_table(full) == write(tables)
    with pytest.raises(ValueError) as caught:
        glyphward.embed_manifest_store(full, b"store")
    assert caught.value.args == ("invalid font: font has 65536 tables; an SFNT font holds at most 65535",)
    # Replacing an existing C2PA table keeps the count at 65535.
    with_c2pa = raw_font([Record("C2PA", 12 + 16 * 65535, 0)] + [Record(t, 12 + 16 * 65535, 0) for t, _ in tables[1:]])
    font = glyphward.embed_manifest_store(with_c2pa, b"store")
    assert header_of(font)[1] == 65535
    assert glyphward.read_manifest_store(font) == b"store"


def test_font_length_limit_is_refused_before_allocating():
    # 65535 records share one block of 65540 bytes: a 1 MB input whose
    # tables add up to more than 0xFFFFFFFF bytes.
    result = run_limited(
        """
        from fontbuilder import Record, raw_font
        block = 12 + 16 * 65535
        tags = [b"T" + i.to_bytes(3, "big") for i in range(65535)]
        font = raw_font([Record(t, block, 65540) for t in tags], bytes(65540))
        try:
            glyphward.remove_manifest_table(font)
        except ValueError as e:
            print(repr(e.args))
        """
    )
    total = 12 + 16 * 65535 + 65535 * 65540
    assert result.stdout.strip() == repr(
        (f"invalid font: font would be {total} bytes; an SFNT font holds at most 4294967295",)
    ), result.stderr
