"""Assembles SFNT bytes with full control over every field, for tests.

`build_font` lays tables out the way a well-behaved font writer would (and,
by default, the way glyphward's writer does: tag order, 4-byte padding, real
checksums, head checkSumAdjustment). `raw_font` writes exactly the records it
is given, so tests can make offsets, lengths, counts and versions lie.
"""
from __future__ import annotations

import array
import struct
import sys
from dataclasses import dataclass
from typing import Iterable, Optional, Sequence, Tuple, Union

TRUETYPE = 0x00010000
OTTO = 0x4F54544F

TagLike = Union[bytes, str]


def tag_bytes(tag: TagLike) -> bytes:
    raw = tag.encode("latin-1") if isinstance(tag, str) else bytes(tag)
    assert len(raw) == 4, tag
    return raw


def checksum(data: bytes) -> int:
    """The SFNT checksum, computed independently of glyphward."""
    padded = bytes(data) + b"\0" * (-len(data) % 4)
    if _WORDS.itemsize != 4:
        return sum(struct.unpack(f">{len(padded) // 4}I", padded)) & 0xFFFFFFFF
    words = array.array(_WORDS.typecode, padded)
    if sys.byteorder == "little":
        words.byteswap()
    return sum(words) & 0xFFFFFFFF


_WORDS = array.array("I")


def search_fields(num_tables: int) -> Tuple[int, int, int]:
    n = num_tables % 65536
    e = n.bit_length() - 1 if n else 0
    search_range = (16 << e) % 65536
    return search_range, e, (16 * num_tables - (16 << e)) % 65536


@dataclass
class Record:
    """One table record exactly as it will be written."""

    tag: TagLike
    offset: int
    length: int
    checksum: int = 0


def raw_font(
    records: Sequence[Record],
    body: bytes = b"",
    version: int = TRUETYPE,
    num_tables: Optional[int] = None,
) -> bytes:
    """Header + the given records + `body`, with no fixing up of anything.

    Offsets in the records are absolute; `body` starts right after the
    directory (at 12 + 16 * len(records)).
    """
    count = len(records) if num_tables is None else num_tables
    sr, es, rs = search_fields(count)
    out = bytearray(struct.pack(">IHHHH", version, count % 65536, sr, es, rs))
    for r in records:
        out += tag_bytes(r.tag) + struct.pack(">III", r.checksum, r.offset, r.length)
    out += body
    return bytes(out)


def build_font(
    tables: Iterable[Tuple[TagLike, bytes]],
    version: int = TRUETYPE,
    sort: bool = True,
    adjust: bool = True,
) -> bytes:
    """A complete font from (tag, data) pairs.

    With `sort`, tables are written in ascending tag order (stable), as
    glyphward writes them. With `adjust`, the last `head` table of at least 12
    bytes gets its checkSumAdjustment so that the whole font sums to
    0xB1B0AFBA.
    """
    items = [(tag_bytes(t), bytes(d)) for t, d in tables]
    if sort:
        items.sort(key=lambda item: item[0])
    offset = 12 + 16 * len(items)
    records, body = [], bytearray()
    head_at = None
    for tag, data in items:
        if tag == b"head" and len(data) >= 12:
            summed = data[:8] + b"\0\0\0\0" + data[12:]
        else:
            summed = data
        records.append(Record(tag, offset, len(data), checksum(summed)))
        if tag == b"head":
            head_at = (offset, len(data))
        body += data + b"\0" * (-len(data) % 4)
        offset += len(data) + (-len(data) % 4)
    font = bytearray(raw_font(records, bytes(body), version))
    if adjust and head_at is not None and head_at[1] >= 12:
        pos = head_at[0] + 8
        font[pos:pos + 4] = b"\0\0\0\0"
        font[pos:pos + 4] = struct.pack(">I", (0xB1B0AFBA - checksum(bytes(font))) & 0xFFFFFFFF)
    return bytes(font)


def head_table(adjustment: int = 0, length: int = 54) -> bytes:
    """A `head` table of `length` bytes with recognisable content."""
    data = bytearray((i * 7 + 3) % 251 for i in range(length))
    if length >= 12:
        data[8:12] = struct.pack(">I", adjustment)
    return bytes(data)


def c2pa_table(
    uri: Optional[bytes] = None,
    store: Optional[bytes] = None,
    major: int = 0,
    minor: int = 1,
) -> bytes:
    """A C2PA table laid out as glyphward writes it (empty parts as absent)."""
    u = uri or b""
    s = store or b""
    return (
        struct.pack(
            ">HHIHHII",
            major,
            minor,
            20 if u else 0,
            len(u),
            0,
            20 + len(u) if s else 0,
            len(s),
        )
        + u
        + s
    )


def c2pa_header(
    uri_offset: int = 0,
    uri_length: int = 0,
    store_offset: int = 0,
    store_length: int = 0,
    major: int = 0,
    minor: int = 1,
) -> bytes:
    """A bare 20-byte C2PA header with arbitrary field values."""
    return struct.pack(">HHIHHII", major, minor, uri_offset, uri_length, 0, store_offset, store_length)


def simple_font(extra: Iterable[Tuple[TagLike, bytes]] = (), version: int = TRUETYPE) -> bytes:
    """A small well-formed font: head, a few ordinary tables, plus `extra`."""
    tables = [
        ("head", head_table()),
        ("cmap", bytes(range(10))),
        ("glyf", bytes(range(33))),
        ("name", b"glyphward test font"),
        ("OS/2", bytes(78)),
    ]
    return build_font(tables + list(extra), version=version)


def parse_directory(font: bytes):
    """[(tag, checksum, offset, length)] read independently of glyphward."""
    (count,) = struct.unpack_from(">H", font, 4)
    return [
        (font[12 + 16 * i:16 + 16 * i],) + struct.unpack_from(">III", font, 16 + 16 * i)
        for i in range(count)
    ]


def tables_of(font: bytes):
    """{tag: data} for the first table of each tag, read independently."""
    out = {}
    for tag, _, offset, length in parse_directory(font):
        out.setdefault(tag, font[offset:offset + length])
    return out


# --- Checking fonts that glyphward wrote -----------------------------------

WHOLE_FONT_SUM = 0xB1B0AFBA


def tables_in_order(font: bytes):
    """[(tag, data)] for every table record, in directory order."""
    return [(tag, font[offset:offset + length]) for tag, _, offset, length in parse_directory(font)]


def _without_adjustment(tag: bytes, data: bytes) -> bytes:
    if tag == b"head" and len(data) >= 12:
        return data[:8] + b"\0\0\0\0" + data[12:]
    return data


# Tables that fontTools decompiles cheaply. Fonts whose head table carries
# the magic number are taken for real fonts and get these decompiled too.
_DECOMPILED = ("head", "hhea", "maxp", "name", "post")
_HEAD_MAGIC = b"\x5f\x0f\x3c\xf5"


def assert_well_written(original: bytes, written: bytes):
    """Checks `written`, a font glyphward produced from `original`.

    Everything is judged independently of glyphward: the layout (tag order,
    offsets, zero padding, lengths), every record checksum, the head
    checkSumAdjustment against the whole-font sum, that each non-C2PA table
    is byte-identical to the input's (the adjusted head apart from bytes
    8..11), and that fontTools loads the font, verifying record checksums
    and reading back the same table data. Returns the data of the written
    C2PA tables, in order.
    """
    import io

    from fontTools.ttLib import TTFont

    assert written[:4] == original[:4], "sfnt version changed"
    records = parse_directory(written)
    count = len(records)
    assert struct.unpack_from(">HHHH", written, 4) == (count % 65536,) + search_fields(count)
    tags = [tag for tag, _, _, _ in records]
    assert tags == sorted(tags), "tables are not in tag order"

    expected_offset = 12 + 16 * count
    for tag, recorded_sum, offset, length in records:
        assert offset == expected_offset, f"table {tag!r} at {offset}, expected {expected_offset}"
        data = written[offset:offset + length]
        assert len(data) == length
        pad = -length % 4
        assert written[offset + length:offset + length + pad] == b"\0" * pad, f"padding after {tag!r}"
        assert recorded_sum == checksum(_without_adjustment(tag, data)), f"checksum of {tag!r}"
        expected_offset += length + pad
    assert len(written) == expected_offset, "bytes after the last table"

    written_tables = tables_in_order(written)
    heads = [i for i, (t, _) in enumerate(written_tables) if t == b"head"]
    adjusted = heads[-1] if heads and len(written_tables[heads[-1]][1]) >= 12 else None
    kept = [(i, t, d) for i, (t, d) in enumerate(written_tables) if t != b"C2PA"]
    wanted = sorted(((t, d) for t, d in tables_in_order(original) if t != b"C2PA"), key=lambda item: item[0])
    assert [t for _, t, _ in kept] == [t for t, _ in wanted]
    for (index, tag, data), (_, before) in zip(kept, wanted):
        if index == adjusted:
            assert _without_adjustment(tag, data) == _without_adjustment(tag, before), "head changed"
        else:
            assert data == before, f"table {tag!r} (record {index}) changed"
    if adjusted is not None:
        # The head table starts at a multiple of 4 (checked above), so this
        # says that the adjustment is 0xB1B0AFBA minus the sum of the font
        # with the adjustment taken as zero.
        assert checksum(written) == WHOLE_FONT_SUM, "whole-font checksum"

    version = written[:4]
    if version in (b"\x00\x01\x00\x00", b"OTTO", b"true"):
        short_head = any(t == b"head" and len(d) < 12 for t, d in written_tables)
        loaded = TTFont(io.BytesIO(written), checkChecksums=0 if short_head else 2)
        source = TTFont(io.BytesIO(original))
        last_written = dict(written_tables)  # fontTools keeps the last table of a tag
        assert set(loaded.reader.keys()) == {t.decode("latin-1") for t in last_written}
        for tag in loaded.reader.keys():
            raw_tag = tag.encode("latin-1")
            data = loaded.reader[tag]
            assert data == last_written[raw_tag]
            if raw_tag != b"C2PA":
                assert _without_adjustment(raw_tag, data) == _without_adjustment(raw_tag, source.reader[tag])
        real = "head" in source.reader and source.reader["head"][12:16] == _HEAD_MAGIC
        for tag in _DECOMPILED if real else ():
            if tag not in source.reader:
                continue
            table = loaded[tag]
            if tag == "head" and adjusted is not None:
                assert table.checkSumAdjustment == struct.unpack_from(">I", written, records[adjusted][2] + 8)[0]
    return [d for t, d in written_tables if t == b"C2PA"]


def subset_font(font: bytes, text: str, **options) -> bytes:
    """`font` cut down to the characters of `text` by fontTools' subsetter,
    with `options` set on its Options (as name_IDs=["*"])."""
    import io

    from fontTools import subset
    from fontTools.ttLib import TTFont

    chosen = subset.Options()
    for name, value in options.items():
        setattr(chosen, name, value)
    loaded = TTFont(io.BytesIO(font))
    subsetter = subset.Subsetter(chosen)
    subsetter.populate(text=text)
    subsetter.subset(loaded)
    out = io.BytesIO()
    loaded.save(out)
    return out.getvalue()
