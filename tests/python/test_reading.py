"""Reading the C2PA table back: font parsing, table lookup and the table
codec, as seen through read_manifest_store and read_manifest_uri_str."""
import random
import struct

import pytest

import glyphward
from fontbuilder import (
    OTTO,
    TRUETYPE,
    Record,
    build_font,
    c2pa_header,
    c2pa_table,
    raw_font,
    simple_font,
)

NO_C2PA = "no C2PA table found in font"
NOT_SFNT = "not a supported SFNT (TrueType/OpenType) font"
COLLECTION = "font collections (ttcf) are not supported"
WOFF = "WOFF/WOFF2 fonts are not supported; decompress to SFNT first"
TRUNCATED = "invalid font: table directory truncated"
SHORT_TABLE = "invalid C2PA table: table shorter than 20-byte header"
URI_PAST_END = "invalid C2PA table: active manifest URI extends past end of table"
STORE_PAST_END = "invalid C2PA table: manifest store extends past end of table"
BAD_UTF8 = "invalid C2PA table: active manifest URI is not valid UTF-8"
NO_STORE = "invalid C2PA table: C2PA table has no embedded manifest store"

TRUE = 0x74727565
TYP1 = 0x74797031
ACCEPTED_VERSIONS = [TRUETYPE, OTTO, TRUE, TYP1]

READERS = [glyphward.read_manifest_store, glyphward.read_manifest_uri_str]


@pytest.fixture(params=READERS, ids=lambda f: f.__name__)
def reader(request):
    return request.param


def past_end(tag: str) -> str:
    return f"invalid font: table {tag} extends past end of file"


def read_error(read, font) -> str:
    with pytest.raises(ValueError) as info:
        read(font)
    assert type(info.value) is ValueError
    assert len(info.value.args) == 1
    return info.value.args[0]


def assert_both_fail(font, message):
    for read in READERS:
        assert read_error(read, font) == message, read.__name__


def font_with(table: bytes, version: int = TRUETYPE) -> bytes:
    """A well-formed font whose only C2PA table holds exactly `table`."""
    return simple_font([("C2PA", table)], version=version)


# --- the font container -----------------------------------------------------------


@pytest.mark.parametrize(
    "data",
    [
        b"",
        b"\x00",
        b"\x00\x01\x00\x00" + bytes(7),
        b"OTTO" + bytes(7),
        b"true" + bytes(7),
        b"ttcf" + bytes(7),  # too short to be judged a collection
        b"wOFF" + bytes(7),
        b"wOF2" + bytes(7),
        b"\xff" * 11,
    ],
)
def test_input_shorter_than_header_is_not_sfnt(data, reader):
    assert read_error(reader, data) == NOT_SFNT


@pytest.mark.parametrize("version", ACCEPTED_VERSIONS)
def test_twelve_byte_font_without_tables_parses(version, reader):
    font = struct.pack(">IHHHH", version, 0, 0, 0, 0)
    assert read_error(reader, font) == NO_C2PA


@pytest.mark.parametrize("version", ACCEPTED_VERSIONS)
def test_every_accepted_version_is_read(version):
    font = font_with(c2pa_table(uri=b"u", store=b"s"), version=version)
    assert glyphward.read_manifest_store(font) == b"s"
    assert glyphward.read_manifest_uri_str(font) == "u"


GARBAGE = bytes(random.Random(7).randrange(256) for _ in range(200))


@pytest.mark.parametrize(
    "head, message",
    [
        (b"ttcf", COLLECTION),
        (b"wOFF", WOFF),
        (b"wOF2", WOFF),
        (b"\x00\x02\x00\x00", NOT_SFNT),
        (b"\x00\x00\x00\x00", NOT_SFNT),
        (b"\x00\x01\x00\x01", NOT_SFNT),
        (b"\x00\x00\x01\x00", NOT_SFNT),  # 1.0 little-endian
        (b"otto", NOT_SFNT),
        (b"OTTo", NOT_SFNT),
        (b"True", NOT_SFNT),
        (b"TYP1", NOT_SFNT),
        (b"ttcF", NOT_SFNT),
        (b"woff", NOT_SFNT),
        (b"wOF1", NOT_SFNT),
        (b"\xff\xff\xff\xff", NOT_SFNT),
    ],
)
@pytest.mark.parametrize("rest", [bytes(8), GARBAGE, b"\xff\xff" + bytes(6)], ids=["zeros", "garbage", "many-tables"])
def test_version_word_is_classified_before_anything_else(head, message, rest, reader):
    assert read_error(reader, head + rest) == message


def test_real_collection_is_refused(noto_cjk_ttc, reader):
    assert read_error(reader, noto_cjk_ttc) == COLLECTION


def test_directory_boundary_for_one_record():
    assert read_error(glyphward.read_manifest_store, raw_font([], version=OTTO, num_tables=1) + bytes(15)) == TRUNCATED
    # 28 bytes hold the header and one record: the directory passes and the
    # record (offset 28, length 0) gives an empty table.
    empty_glyf = raw_font([Record("glyf", 28, 0)], version=OTTO)
    assert len(empty_glyf) == 28
    assert_both_fail(empty_glyf, NO_C2PA)
    empty_c2pa = raw_font([Record("C2PA", 28, 0)], version=OTTO)
    assert_both_fail(empty_c2pa, SHORT_TABLE)


@pytest.mark.parametrize("count", [1, 2, 5, 0xFFFF])
def test_directory_one_byte_short_is_truncated(count, reader):
    records = [Record("glyf", 0, 0)] * count
    font = raw_font(records)
    assert len(font) == 12 + 16 * count
    assert read_error(reader, font) == NO_C2PA
    assert read_error(reader, font[:-1]) == TRUNCATED


def test_directory_size_is_checked_before_any_record(reader):
    # The first record is out of bounds too, but the short directory decides.
    font = raw_font([Record("glyf", 0xFFFFFFFF, 0xFFFFFFFF), Record("loca", 0, 0)])[:-1]
    assert read_error(reader, font) == TRUNCATED


def test_directory_size_is_checked_after_the_version(reader):
    assert read_error(reader, raw_font([], version=0x74746366, num_tables=3)) == COLLECTION


@pytest.mark.parametrize("length", [0, 1, 10, 4097])
def test_table_ending_exactly_at_end_of_file_is_accepted(length, reader):
    font = raw_font([Record("glyf", 28, length)], bytes(length))
    assert read_error(reader, font) == NO_C2PA
    if length:
        assert read_error(reader, font[:-1]) == past_end("glyf")


def test_empty_table_at_end_of_file_and_one_past(reader):
    assert read_error(reader, raw_font([Record("glyf", 28, 0)])) == NO_C2PA
    assert read_error(reader, raw_font([Record("glyf", 29, 0)])) == past_end("glyf")
    # An empty C2PA table exactly at the end is found (and is too short).
    assert read_error(reader, raw_font([Record("C2PA", 28, 0)])) == SHORT_TABLE


@pytest.mark.parametrize(
    "offset, length",
    [
        (0xFFFFFFFF, 0xFFFFFFFF),
        (0xFFFFFFFF, 1),
        (1, 0xFFFFFFFF),
        (0x80000000, 0x80000000),
        (0xFFFFFFF0, 0x20),
        (0xFFFFFFFF, 0),
    ],
)
def test_table_bounds_do_not_wrap(offset, length, reader):
    font = raw_font([Record("glyf", offset, length)], bytes(64))
    assert read_error(reader, font) == past_end("glyf")


def test_c2pa_table_past_end_of_file(reader):
    font = raw_font([Record("C2PA", 28, 21)], c2pa_header())
    assert read_error(reader, font) == past_end("C2PA")


def test_first_failing_record_is_reported_and_valid_c2pa_does_not_help(reader):
    table = c2pa_table(uri=b"u", store=b"s")
    records = [
        Record("C2PA", 76, len(table)),
        Record("aaaa", 76, 1000),
        Record("bbbb", 0xFFFFFFFF, 0xFFFFFFFF),
        Record("cccc", 0, 0),
    ]
    assert read_error(reader, raw_font(records, table)) == past_end("aaaa")


def test_directory_oddities_are_not_checked():
    table = c2pa_table(uri=b"https://x", store=b"payload")
    # Unsorted records, wrong checksums, unaligned and overlapping tables, a
    # record covering the directory, no head table, trailing bytes.
    body = b"\x01" + table + b"\xee\xee\xee"
    start = 12 + 16 * 4
    records = [
        Record("zzzz", 0, 12 + 16 * 4, checksum=0xDEADBEEF),
        Record("C2PA", start + 1, len(table), checksum=0x12345678),
        Record("aaaa", start, len(body)),
        Record("C2PA", start + 1, 3),  # a second, malformed C2PA table is never looked at
    ]
    font = bytearray(raw_font(records, body))
    font[6:12] = b"\xff" * 6  # searchRange, entrySelector, rangeShift
    font = bytes(font)
    assert glyphward.read_manifest_store(font) == b"payload"
    assert glyphward.read_manifest_uri_str(font) == "https://x"


def test_c2pa_table_may_be_the_directory_itself():
    # The C2PA record covers the two table records: its header fields come
    # from the directory bytes. Record 0's checksum field is the URI offset
    # (0: absent), its length field the store offset (32), and record 1's
    # tag the store length (0: present and empty).
    records = [Record("C2PA", 12, 32, checksum=0), Record(b"\0\0\0\0", 0, 0)]
    font = raw_font(records)
    assert glyphward.read_manifest_store(font) == b""
    assert glyphward.read_manifest_uri_str(font) is None


# --- tag rendering in "extends past end of file" --------------------------------------


def tag_message(tag: bytes) -> str:
    font = raw_font([Record(tag, 28, 1)])
    return read_error(glyphward.read_manifest_store, font)


@pytest.mark.parametrize(
    "tag",
    [
        b"glyf",
        b"OS/2",
        b"cvt ",
        b"    ",
        b"\0\0\0\0",
        b"a\0b\0",
        b"\x7f\x01\x1f\x0a",
        b"\xff\xff\xff\xff",
        b"\x80\x80\x80\x80",
        b"\xc3\xa9ab",  # e-acute
        b"a\xc3\xa9b",
        b"\xe2\x82\xac!",  # euro sign
        b"\xf0\x9f\x98\x80",  # a four-byte character
        b"\xf4\x8f\xbf\xbf",  # U+10FFFF
        b"\xf4\x90\x80\x80",  # above U+10FFFF
        b"\xed\x9f\xbf!",  # U+D7FF
        b"\xed\xa0\x80a",  # encoded surrogate
        b"\xed\xbf\xbfa",
        b"\xee\x80\x80a",  # U+E000
        b"\xc0\xafab",  # overlong
        b"\xc1\xbfab",
        b"\xe0\x80\xafa",
        b"\xe0\x9f\xbfa",
        b"\xe0\xa0\x80a",
        b"\xf0\x80\x80\xaf",
        b"\xf0\x8f\xbf\xbf",
        b"\xf0\x90\x80\x80",
        b"\xf5\x80\x80\x80",
        b"\xf8\x88\x80\x80",
        b"\xfe\xfe\xff\xff",
        b"\xc3abc",  # truncated two-byte sequence
        b"abc\xc3",
        b"ab\xe2\x82",  # truncated at the end of the tag
        b"a\xf0\x9f\x98",
        b"\xe2\x82a ",
        b"\xf0\x9f\x98a",
        b"\xf0\x9fa\x98",
        b"\xe1\x80\xe1\x80",
        b"\xc2\xc2\xc2\xc2",
        b"\xc3(ab",
        b"\xe2(\xa1a",
        b"\xf1\x80(a",
        b"\xc3\xa9\x80a",
        b"\xbf\xc3\xa9\xbf",
    ],
)
def test_tag_is_rendered_with_maximal_subpart_replacement(tag):
    assert tag_message(tag) == past_end(tag.decode("utf-8", "replace"))


def test_tag_rendering_examples():
    assert tag_message(b"cvt ") == "invalid font: table cvt  extends past end of file"
    assert tag_message(b"\xff\xff\xff\xff") == "invalid font: table \ufffd\ufffd\ufffd\ufffd extends past end of file"
    assert tag_message(b"\0\0\0\0") == "invalid font: table \0\0\0\0 extends past end of file"
    assert tag_message(b"\xed\xa0\x80a") == "invalid font: table \ufffd\ufffd\ufffda extends past end of file"
    assert tag_message(b"ab\xe2\x82") == "invalid font: table ab\ufffd extends past end of file"


def test_random_tags_render_like_python_decoder():
    interesting = [0x00, 0x20, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2,
                   0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xFF]
    rng = random.Random(20240229)
    mismatches = []
    for _ in range(20000):
        tag = bytes(rng.choice(interesting) if rng.random() < 0.8 else rng.randrange(256) for _ in range(4))
        if tag_message(tag) != past_end(tag.decode("utf-8", "replace")):
            mismatches.append(tag)
    assert mismatches == []


# --- finding the C2PA table ---------------------------------------------------------


def test_font_without_c2pa_table(reader):
    assert read_error(reader, simple_font()) == NO_C2PA


@pytest.mark.parametrize("tag", [b"c2pa", b"C2Pa", b"c2PA", b"C2P ", b" C2P", b"C2PB", b"C2PA"[::-1], b"\xc3\x32PA"])
def test_tag_is_compared_byte_for_byte(tag, reader):
    font = simple_font([(tag, c2pa_table(uri=b"u", store=b"s"))])
    assert read_error(reader, font) == NO_C2PA


def test_first_c2pa_record_in_directory_order_is_used():
    first = c2pa_table(uri=b"first", store=b"store one")
    second = c2pa_table(uri=b"second", store=b"store two")
    font = build_font([("C2PA", first), ("C2PA", second), ("head", bytes(54))])
    assert glyphward.read_manifest_store(font) == b"store one"
    assert glyphward.read_manifest_uri_str(font) == "first"

    # Directory order decides, not the position of the data in the file.
    start = 12 + 16 * 2
    records = [Record("C2PA", start + len(first), len(second)), Record("C2PA", start, len(first))]
    font = raw_font(records, first + second)
    assert glyphward.read_manifest_store(font) == b"store two"
    assert glyphward.read_manifest_uri_str(font) == "second"


def test_later_c2pa_tables_are_ignored_even_when_malformed():
    good = c2pa_table(uri=b"u", store=b"s")
    font = build_font([("cmap", b"1234"), ("C2PA", good), ("glyf", b"x"), ("C2PA", b"short")], sort=False)
    assert glyphward.read_manifest_store(font) == b"s"
    assert glyphward.read_manifest_uri_str(font) == "u"


def test_malformed_first_c2pa_table_is_not_skipped(reader):
    font = build_font([("C2PA", b"short"), ("C2PA", c2pa_table(uri=b"u", store=b"s"))], sort=False)
    assert read_error(reader, font) == SHORT_TABLE


def test_first_table_without_store_is_not_completed_by_a_second():
    font = build_font([("C2PA", c2pa_table(uri=b"u")), ("C2PA", c2pa_table(store=b"s"))], sort=False)
    assert read_error(glyphward.read_manifest_store, font) == NO_STORE
    assert glyphward.read_manifest_uri_str(font) == "u"


# --- the C2PA table codec -------------------------------------------------------------


@pytest.mark.parametrize("length", [0, 1, 10, 19])
def test_table_shorter_than_header(length, reader):
    assert read_error(reader, font_with(c2pa_header(20, 0, 20, 0)[:length])) == SHORT_TABLE


def test_bare_header_has_neither_part():
    font = font_with(c2pa_header())
    assert glyphward.read_manifest_uri_str(font) is None
    assert read_error(glyphward.read_manifest_store, font) == NO_STORE


@pytest.mark.parametrize("major, minor", [(0, 0), (0, 1), (1, 0), (7, 9), (0xFFFF, 0xFFFF)])
def test_any_version_is_accepted(major, minor):
    font = font_with(c2pa_table(uri=b"u", store=b"s", major=major, minor=minor))
    assert glyphward.read_manifest_store(font) == b"s"
    assert glyphward.read_manifest_uri_str(font) == "u"


def test_reserved_field_and_unreferenced_bytes_are_ignored():
    header = bytearray(c2pa_header(30, 3, 40, 4))
    header[10:12] = b"\xff\xfe"
    table = bytes(header) + b"\xff" * 10 + b"abc" + b"\xc0" * 7 + b"data" + b"\xed\xa0\x80"
    font = font_with(table)
    assert glyphward.read_manifest_uri_str(font) == "abc"
    assert glyphward.read_manifest_store(font) == b"data"


def test_zero_offsets_make_lengths_irrelevant():
    font = font_with(c2pa_header(0, 500, 0, 0xFFFFFFFF))
    assert glyphward.read_manifest_uri_str(font) is None
    assert read_error(glyphward.read_manifest_store, font) == NO_STORE

    font = font_with(c2pa_header(0, 0xFFFF, 20, 3) + b"abc")
    assert glyphward.read_manifest_uri_str(font) is None
    assert glyphward.read_manifest_store(font) == b"abc"

    font = font_with(c2pa_header(20, 3, 0, 0xFFFFFFFF) + b"abc")
    assert glyphward.read_manifest_uri_str(font) == "abc"
    assert read_error(glyphward.read_manifest_store, font) == NO_STORE


def test_present_empty_parts_are_not_absent():
    font = font_with(c2pa_header(20, 0, 20, 0))
    assert glyphward.read_manifest_uri_str(font) == ""
    assert glyphward.read_manifest_store(font) == b""
    # Offsets equal to the table length with length 0 end exactly at the end.
    font = font_with(c2pa_header(23, 0, 23, 0) + b"xyz")
    assert glyphward.read_manifest_uri_str(font) == ""
    assert glyphward.read_manifest_store(font) == b""


# (header, payload, expected uri or error, expected store or error); the
# table's length is 20 + len(payload). Odd lengths leave padding after the
# table in the font, which must not count as part of it.
BOUNDS = [
    pytest.param(c2pa_header(20, 5), b"abcde", "abcde", NO_STORE, id="uri-ends-at-end"),
    pytest.param(c2pa_header(20, 6), b"abcde", URI_PAST_END, URI_PAST_END, id="uri-one-over"),
    pytest.param(c2pa_header(21, 0), b"", URI_PAST_END, URI_PAST_END, id="empty-uri-past-end"),
    pytest.param(c2pa_header(24, 1), b"abcde", "e", NO_STORE, id="uri-last-byte"),
    pytest.param(c2pa_header(25, 1), b"abcde", URI_PAST_END, URI_PAST_END, id="uri-last-byte-one-over"),
    pytest.param(c2pa_header(0xFFFFFFFF, 0xFFFF), b"abc", URI_PAST_END, URI_PAST_END, id="uri-offset-max"),
    pytest.param(c2pa_header(0xFFFFFFFF, 1), b"abc", URI_PAST_END, URI_PAST_END, id="uri-offset-max-len-1"),
    pytest.param(c2pa_header(store_offset=20, store_length=5), b"12345", None, b"12345", id="store-ends-at-end"),
    pytest.param(c2pa_header(store_offset=20, store_length=6), b"12345", STORE_PAST_END, STORE_PAST_END, id="store-one-over"),
    pytest.param(c2pa_header(store_offset=25, store_length=0), b"12345", None, b"", id="empty-store-at-end"),
    pytest.param(c2pa_header(store_offset=26, store_length=0), b"12345", STORE_PAST_END, STORE_PAST_END, id="empty-store-past-end"),
    pytest.param(c2pa_header(store_offset=21, store_length=4), b"12345", None, b"2345", id="store-last-bytes"),
    pytest.param(c2pa_header(store_offset=1, store_length=0xFFFFFFFF), b"", STORE_PAST_END, STORE_PAST_END, id="store-len-max"),
    pytest.param(c2pa_header(store_offset=0xFFFFFFFF, store_length=1), b"", STORE_PAST_END, STORE_PAST_END, id="store-offset-max-len-1"),
    pytest.param(c2pa_header(store_offset=0xFFFFFFFF, store_length=0xFFFFFFFF), b"", STORE_PAST_END, STORE_PAST_END, id="store-both-max"),
    pytest.param(c2pa_header(store_offset=0x80000000, store_length=0x80000000), b"", STORE_PAST_END, STORE_PAST_END, id="store-sum-2-32"),
    # Both parts out of bounds: the URI is reported.
    pytest.param(c2pa_header(20, 9, 20, 9), b"abc", URI_PAST_END, URI_PAST_END, id="both-past-end-uri-wins"),
    # A malformed URI is reported before an out-of-bounds store.
    pytest.param(c2pa_header(20, 1, 20, 9), b"\xffbc", BAD_UTF8, BAD_UTF8, id="bad-uri-before-store-bounds"),
    # A defect in one part fails both readers.
    pytest.param(c2pa_header(20, 3, 23, 9), b"abc1234", STORE_PAST_END, STORE_PAST_END, id="store-defect-fails-uri-read"),
    pytest.param(c2pa_header(20, 2, 22, 3), b"\xc0\xaf123", BAD_UTF8, BAD_UTF8, id="uri-defect-fails-store-read"),
]


@pytest.mark.parametrize("header, payload, uri, store", BOUNDS)
def test_part_bounds(header, payload, uri, store):
    font = font_with(header + payload)
    for read, expected in [(glyphward.read_manifest_uri_str, uri), (glyphward.read_manifest_store, store)]:
        if isinstance(expected, str) and expected.startswith("invalid C2PA table: "):
            assert read_error(read, font) == expected, read.__name__
        else:
            assert read(font) == expected, read.__name__


def test_bounds_are_those_of_the_table_not_the_font():
    # The C2PA table sorts first, so more table data follows it in the file.
    font = font_with(c2pa_header(store_offset=20, store_length=4) + b"abc")
    assert len(font) > 200
    assert_both_fail(font, STORE_PAST_END)


INVALID_UTF8 = [
    b"\xc0\xaf",
    b"\xc1\xbf",
    b"\xe0\x80\xaf",
    b"\xe0\x9f\xbf",
    b"\xf0\x80\x80\xaf",
    b"\xf0\x8f\xbf\xbf",
    b"\xed\xa0\x80",
    b"\xed\xbf\xbf",
    b"\xed\xb0\x80",
    b"\xed\xa0\xbd\xed\xb8\x80",  # a surrogate pair encoded separately
    b"\xf4\x90\x80\x80",
    b"\xf5\x80\x80\x80",
    b"\xf7\xbf\xbf\xbf",
    b"\xf8\x88\x80\x80\x80",
    b"\xfc\x84\x80\x80\x80\x80",
    b"\xfe",
    b"\xff",
    b"\x80",
    b"\xbf",
    b"\xc3",
    b"\xe2\x82",
    b"\xf0\x9f\x98",
    b"https://example.com/\xc3",
    b"\xc3https://example.com/",
    b"\xe2(\xa1",
    b"\xc3\xa9\x80",
    b"caf\xe9",  # Latin-1
]


@pytest.mark.parametrize("uri", INVALID_UTF8)
def test_invalid_utf8_uri_fails_both_readers(uri):
    with pytest.raises(UnicodeDecodeError):
        uri.decode("utf-8")
    header = c2pa_header(20, len(uri), 20 + len(uri), 5)
    assert_both_fail(font_with(header + uri + b"store"), BAD_UTF8)


VALID_URIS = [
    "",
    "\0",
    "a\0b",
    "\x7f",
    "\x80",
    "\u00e9",
    "\u07ff",
    "\u0800",
    "\u20ac",
    "\ud7ff",
    "\ue000",
    "\ufffd",
    "\uffff",
    "\U00010000",
    "\U0001f600",
    "\U0010ffff",
    "https://\u4f8b\u3048.jp/\u30de\u30cb\u30d5\u30a7\u30b9\u30c8?q=\U0001f600",
    "\u00e9" * 1000,
    "x" * 65535,
]


@pytest.mark.parametrize("uri", VALID_URIS, ids=range(len(VALID_URIS)))
def test_valid_uri_is_returned_exactly(uri):
    encoded = uri.encode("utf-8")
    header = c2pa_header(20, len(encoded), 20 + len(encoded), 5)
    font = font_with(header + encoded + b"store")
    assert glyphward.read_manifest_uri_str(font) == uri
    assert glyphward.read_manifest_store(font) == b"store"


def test_parts_may_overlap_the_header_and_each_other():
    # URI at offset 4 covers its own offset field: 00 00 00 04.
    font = font_with(c2pa_header(4, 4))
    assert glyphward.read_manifest_uri_str(font) == "\0\0\0\x04"
    # URI inside the version fields.
    font = font_with(c2pa_header(1, 3, major=0x0041, minor=0x4243))
    assert glyphward.read_manifest_uri_str(font) == "ABC"
    # ... and rejected when the header bytes there are not UTF-8.
    font = font_with(c2pa_header(2, 2, 20, 0, minor=0xC300))
    assert_both_fail(font, BAD_UTF8)
    # Store covering part of the header and all of the URI.
    header = c2pa_header(20, 3, 16, 7)
    font = font_with(header + b"abc")
    assert glyphward.read_manifest_store(font) == header[16:] + b"abc"
    assert glyphward.read_manifest_uri_str(font) == "abc"


def test_store_is_opaque_bytes():
    store = bytes(range(256)) * 3
    font = font_with(c2pa_table(store=store))
    assert glyphward.read_manifest_store(font) == store
    assert glyphward.read_manifest_uri_str(font) is None


def test_results_are_fresh_objects():
    font = font_with(c2pa_table(uri=b"u", store=b"s" * 100))
    first = glyphward.read_manifest_store(font)
    second = glyphward.read_manifest_store(font)
    assert first == second and first is not second


# --- real fonts -------------------------------------------------------------------------


@pytest.mark.parametrize("name", ["dejavu", "noto_emoji"])
def test_real_fonts_without_c2pa_table(name, request, reader):
    assert read_error(reader, request.getfixturevalue(name)) == NO_C2PA


def test_real_font_read_back_after_embedding(dejavu):
    store = bytes(range(7, 250))
    embedded = glyphward.embed_manifest_store(dejavu, store)
    assert glyphward.read_manifest_store(embedded) == store
    assert glyphward.read_manifest_uri_str(embedded) is None
    remote = glyphward.embed_remote(dejavu, "https://example.com/manifest.c2pa")
    assert glyphward.read_manifest_uri_str(remote) == "https://example.com/manifest.c2pa"
    assert read_error(glyphward.read_manifest_store, remote) == NO_STORE
    assert_both_fail(glyphward.remove_manifest_table(embedded), NO_C2PA)
