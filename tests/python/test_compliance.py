"""is_compliant: one well-formed C2PA table with content, and a whole-font
checksum that matches the head checkSumAdjustment."""
import struct

import pytest

import glyphward
from fontbuilder import (
    WHOLE_FONT_SUM,
    Record,
    build_font,
    c2pa_header,
    c2pa_table,
    checksum,
    head_table,
    parse_directory,
    raw_font,
    simple_font,
)

BASE_TABLES = [
    ("head", head_table()),
    ("cmap", bytes(range(10))),
    ("glyf", bytes(range(33))),
    ("name", b"glyphward test font"),
]


def font_with(c2pa, extra=(), adjust=True):
    tables = list(BASE_TABLES) + list(extra)
    if c2pa is not None:
        tables.append(("C2PA", c2pa))
    return build_font(tables, adjust=adjust)


def set_adjustment(font, head_offset):
    """Writes the checkSumAdjustment the way a checker computes it: the sum of
    the font with the four field bytes taken as zero, wherever they lie."""
    field = head_offset + 8
    zeroed = font[:field] + b"\0\0\0\0" + font[field + 4:]
    adjustment = (WHOLE_FONT_SUM - checksum(zeroed)) & 0xFFFFFFFF
    return font[:field] + struct.pack(">I", adjustment) + font[field + 4:]


def error_of(font):
    with pytest.raises(ValueError) as caught:
        glyphward.is_compliant(font)
    assert type(caught.value) is ValueError
    return caught.value.args


def test_answers_are_the_bool_objects(small_font):
    assert glyphward.is_compliant(glyphward.embed_manifest_store(small_font, b"m")) is True
    assert glyphward.is_compliant(small_font) is False


@pytest.mark.parametrize(
    "make",
    [
        lambda f: glyphward.embed_manifest_store(f, b"manifest store"),
        lambda f: glyphward.embed_remote(f, "https://example.com/m"),
        lambda f: glyphward.reserve_manifest_placeholder(f, 64),
    ],
    ids=["store", "uri", "reserved"],
)
def test_written_fonts_comply(small_font, make):
    assert glyphward.is_compliant(make(small_font)) is True


@pytest.mark.parametrize(
    "c2pa",
    [
        c2pa_table(store=b"store"),
        c2pa_table(uri=b"https://example.com/"),
        c2pa_table(b"u", b"s"),
        c2pa_table(b"u", b"s", major=9, minor=9),
        c2pa_table(store=b"s", major=0xFFFF, minor=0),
        c2pa_header(store_offset=20, store_length=0),  # present, empty store
        c2pa_header(uri_offset=20, uri_length=0),  # present, empty URI
        c2pa_header(store_offset=4, store_length=4),  # store inside the header
        c2pa_header(uri_offset=20, uri_length=3, store_offset=21, store_length=2) + b"abc",
    ],
    ids=["store", "uri", "both", "v9.9", "v65535.0", "empty store", "empty uri", "store in header", "overlap"],
)
def test_tables_with_content_comply(c2pa):
    font = font_with(c2pa)
    assert checksum(font) == WHOLE_FONT_SUM
    assert glyphward.is_compliant(font) is True


@pytest.mark.parametrize(
    "c2pa",
    [c2pa_header(), c2pa_header(uri_length=500, store_length=7), c2pa_header() + b"junk after the header"],
    ids=["bare header", "lengths without offsets", "trailing bytes"],
)
def test_tables_without_content_do_not_comply(c2pa):
    assert glyphward.is_compliant(font_with(c2pa)) is False


def test_empty_embedding_does_not_comply(small_font):
    assert glyphward.is_compliant(glyphward.embed_manifest_store(small_font, b"")) is False
    assert glyphward.is_compliant(glyphward.embed_remote(small_font, "")) is False


@pytest.mark.parametrize("tag", [None, "c2pa", "C2PB", "C2P "], ids=["none", "lower", "C2PB", "C2P "])
def test_no_c2pa_table(tag):
    extra = [] if tag is None else [(tag, c2pa_table(store=b"store"))]
    font = font_with(None, extra)
    assert checksum(font) == WHOLE_FONT_SUM
    assert glyphward.is_compliant(font) is False


def every_byte_position(font):
    """(label, position) for a spread of bytes: inside each table's data
    (first, middle, last byte), in padding, and in the directory."""
    positions = []
    for tag, _, offset, length in parse_directory(font):
        if tag == b"C2PA":
            # Only the store: the header and the URI can turn malformed.
            (store_offset,) = struct.unpack_from(">I", font, offset + 12)
            first = offset + store_offset
        else:
            first = offset
        if length == 0 or first >= offset + length:
            continue
        for name, at in (("first", first), ("middle", (first + offset + length - 1) // 2), ("last", offset + length - 1)):
            positions.append((f"{tag.decode()} {name}", at))
        if length % 4:
            positions.append((f"{tag.decode()} padding", offset + length))
    positions.append(("record checksum", 12 + 4))
    positions.append(("record offset", 12 + 8 + 3))
    return positions


COMPLIANT = font_with(c2pa_table(b"https://example.com/", b"store bytes!"), [("abcd", b"\x01\x02\x03")])


@pytest.mark.parametrize("label, position", every_byte_position(COMPLIANT), ids=lambda v: str(v))
@pytest.mark.parametrize("delta", [1, 0x80, 0xFF])
def test_any_changed_byte_breaks_the_checksum(label, position, delta):
    assert glyphward.is_compliant(COMPLIANT) is True
    font = bytearray(COMPLIANT)
    font[position] = (font[position] + delta) % 256
    # A record offset that no longer fits is a parse error, not an answer.
    try:
        answer = glyphward.is_compliant(bytes(font))
    except ValueError as error:
        assert label == "record offset", error
        return
    assert answer is False


@pytest.mark.parametrize("change", [1, -1, 0x80000000])
def test_changed_adjustment(change):
    (head_offset,) = [offset for tag, _, offset, _ in parse_directory(COMPLIANT) if tag == b"head"]
    font = bytearray(COMPLIANT)
    (adjustment,) = struct.unpack_from(">I", font, head_offset + 8)
    struct.pack_into(">I", font, head_offset + 8, (adjustment + change) % 2**32)
    assert glyphward.is_compliant(bytes(font)) is False


def test_directory_checksums_are_not_compared():
    font = bytearray(COMPLIANT)
    records = parse_directory(COMPLIANT)
    for i in range(len(records)):
        struct.pack_into(">I", font, 12 + 16 * i + 4, 0xDEADBEEF + i)
    (head_offset,) = [offset for tag, _, offset, _ in records if tag == b"head"]
    font = set_adjustment(bytes(font), head_offset)
    assert checksum(font) == WHOLE_FONT_SUM
    assert glyphward.is_compliant(font) is True


@pytest.mark.parametrize("count", [2, 3])
@pytest.mark.parametrize("adjust", [True, False], ids=["valid sum", "bad sum"])
@pytest.mark.parametrize("content", ["good", "malformed"])
def test_several_c2pa_tables(count, adjust, content):
    table = c2pa_table(store=b"s") if content == "good" else b"\x01"
    font = font_with(None, [("C2PA", table)] * count, adjust=adjust)
    assert error_of(font) == (f"invalid C2PA table: font contains {count} C2PA tables; at most one is allowed",)


@pytest.mark.parametrize(
    "c2pa, detail",
    [
        (bytes(10), "table shorter than 20-byte header"),
        (b"", "table shorter than 20-byte header"),
        (c2pa_table(store=b"s")[:19], "table shorter than 20-byte header"),
        (c2pa_header(uri_offset=20, uri_length=1), "active manifest URI extends past end of table"),
        (c2pa_header(uri_offset=20, uri_length=2) + b"\xc0\xaf", "active manifest URI is not valid UTF-8"),
        (c2pa_header(uri_offset=20, uri_length=3) + b"\xed\xa0\x80", "active manifest URI is not valid UTF-8"),
        (c2pa_header(store_offset=20, store_length=2) + b"s", "manifest store extends past end of table"),
        (c2pa_header(0xFFFFFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF), "active manifest URI extends past end of table"),
    ],
    ids=["10 bytes", "empty", "19 bytes", "uri past end", "overlong", "surrogate", "store past end", "both past end"],
)
def test_malformed_table_is_an_error(c2pa, detail):
    font = font_with(c2pa)
    assert checksum(font) == WHOLE_FONT_SUM
    assert error_of(font) == ("invalid C2PA table: " + detail,)


@pytest.mark.parametrize("head", [None, 0, 8, 11], ids=["no head", "0 bytes", "8 bytes", "11 bytes"])
def test_without_usable_head(head):
    tables = [("cmap", b"cmap"), ("C2PA", c2pa_table(store=b"store"))]
    if head is not None:
        tables.append(("head", bytes(range(1, head + 1))))
    # Make the whole font sum right anyway, through the data of another
    # table (its directory checksum stays 0, which is not compared).
    font = bytearray(build_font(tables + [("zzzz", bytes(4))]))
    (zzzz_at,) = [offset for tag, _, offset, _ in parse_directory(bytes(font)) if tag == b"zzzz"]
    struct.pack_into(">I", font, zzzz_at, (WHOLE_FONT_SUM - checksum(bytes(font))) & 0xFFFFFFFF)
    font = bytes(font)
    assert checksum(font) == WHOLE_FONT_SUM
    assert glyphward.is_compliant(font) is False


def test_twelve_byte_head_is_enough():
    font = build_font([("head", bytes(range(1, 13))), ("C2PA", c2pa_table(store=b"store"))])
    assert glyphward.is_compliant(font) is True


def two_head_font(good_first, first_length=54):
    """Two head tables at offsets that are not multiples of 4 (so that which
    one locates the zeroed bytes matters); the adjustment of one of them
    matches the font, the other holds junk."""
    first = head_table(adjustment=0x12345678, length=first_length)
    second = bytes(b ^ 0x33 for b in head_table(length=54))
    c2pa = c2pa_table(store=b"store")
    first_at = 12 + 16 * 3 + 1
    c2pa_at = first_at + len(first) + 2
    gap = (3 - c2pa_at - len(c2pa)) % 4 or 4
    second_at = c2pa_at + len(c2pa) + gap
    assert first_at % 4 and second_at % 4
    body = b"\0" + first + b"\0\0" + c2pa + b"\0" * gap + second
    records = [
        Record("head", first_at, len(first)),
        Record("C2PA", c2pa_at, len(c2pa)),
        Record("head", second_at, len(second)),
    ]
    font = raw_font(records, body)
    return set_adjustment(font, first_at if good_first else second_at)


def test_two_heads_are_judged_by_the_first():
    assert glyphward.is_compliant(two_head_font(good_first=True)) is True
    assert glyphward.is_compliant(two_head_font(good_first=False)) is False
    # A first head too short to hold an adjustment decides too, even when
    # the second one matches.
    assert glyphward.is_compliant(two_head_font(good_first=False, first_length=11)) is False


def test_written_font_with_two_heads_complies():
    source = build_font(
        [("head", head_table(length=54)), ("head", head_table(adjustment=7, length=60)), ("cmap", b"xyz")]
    )
    font = glyphward.embed_manifest_store(source, b"store")
    assert glyphward.is_compliant(font) is True


@pytest.mark.parametrize("misalignment", [0, 1, 2, 3])
def test_head_at_any_offset(misalignment):
    c2pa = c2pa_table(store=b"store")
    head = head_table(length=54)
    directory_end = 12 + 16 * 3
    c2pa_at = directory_end
    gap = (misalignment - c2pa_at - len(c2pa)) % 4
    head_at = c2pa_at + len(c2pa) + gap
    assert head_at % 4 == misalignment
    cmap_at = head_at + len(head) + 1
    body = c2pa + b"\x07" * gap + head + b"\x09" + b"cmap!"
    records = [Record("C2PA", c2pa_at, len(c2pa)), Record("head", head_at, len(head)), Record("cmap", cmap_at, 5)]
    font = set_adjustment(raw_font(records, body), head_at)
    if misalignment:
        # The four adjustment bytes straddle two words: the font as stored
        # does not sum to the magic number, only the zeroed form does.
        assert checksum(font) != WHOLE_FONT_SUM
    assert glyphward.is_compliant(font) is True
    broken = bytearray(font)
    broken[head_at + 9] ^= 0x01
    assert glyphward.is_compliant(bytes(broken)) is False


@pytest.mark.parametrize("trailing", [1, 2, 3])
def test_odd_total_length(trailing):
    # The last table ends the file without padding; its partial last word is
    # completed with zeros on the right.
    c2pa = c2pa_table(store=b"s" * (4 + trailing))
    head = head_table(length=56)
    head_at = 12 + 16 * 2
    c2pa_at = head_at + len(head)
    records = [Record("C2PA", c2pa_at, len(c2pa)), Record("head", head_at, len(head))]
    font = set_adjustment(raw_font(records, head + c2pa), head_at)
    assert len(font) % 4 == trailing
    assert glyphward.is_compliant(font) is True
    # Any of the trailing bytes counts.
    broken = bytearray(font)
    broken[-1] ^= 0x40
    assert glyphward.is_compliant(bytes(broken)) is False


def test_input_is_not_modified():
    font = two_head_font(good_first=True)
    pristine = bytes(bytearray(font))
    assert glyphward.is_compliant(font) is True
    assert font == pristine


@pytest.mark.parametrize(
    "data, message",
    [
        (b"", "not a supported SFNT (TrueType/OpenType) font"),
        (b"ttcf\x00\x01\x00\x00\x00\x00\x00", "not a supported SFNT (TrueType/OpenType) font"),
        (b"\x00\x02\x00\x00" + simple_font()[4:], "not a supported SFNT (TrueType/OpenType) font"),
        (b"ttcf" + bytes(40), "font collections (ttcf) are not supported"),
        (b"wOFF" + b"\xff" * 40, "WOFF/WOFF2 fonts are not supported; decompress to SFNT first"),
        (b"wOF2" + bytes(8), "WOFF/WOFF2 fonts are not supported; decompress to SFNT first"),
        (raw_font([Record("head", 12, 0)], num_tables=2), "invalid font: table directory truncated"),
        (raw_font([Record("head", 28, 54)], head_table()[:53]), "invalid font: table head extends past end of file"),
    ],
    ids=["empty", "ttcf 11 bytes", "version 2", "ttcf", "woff", "woff2", "truncated directory", "head past end"],
)
def test_unusable_input_is_an_error(data, message):
    assert error_of(data) == (message,)


def test_real_fonts(dejavu, cff_font):
    for font in (dejavu, cff_font):
        assert glyphward.is_compliant(font) is False
        assert glyphward.is_compliant(glyphward.embed_manifest_store(font, b"x" * 99)) is True
