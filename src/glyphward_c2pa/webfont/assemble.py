"""Writing an SFNT (TrueType/OpenType) font from its tables: the form every
WOFF and WOFF2 file is read into.

Order (C2PA 2.2, 18.7.3.6 binds one box per table, listed in table
directory order; 15.12.3 compares the order): the table directory is sorted
by tag, as OpenType asks of every font ("Table records ... sorted in
ascending order by tag"), as WOFF 1.0 keeps it, as the WOFF2 reference
decoder and fontTools write it, and as glyphward's signer lists the boxes
(assertions.hash_boxes.build). The tables' data follow in the same order,
each at a multiple of 4 with zero padding between, so that the font that
comes out of a WOFF or WOFF2 file made from a signed font lists its tables
exactly as the box hash does.
"""
from __future__ import annotations

import struct
from typing import Dict, Tuple

from ..sfnt import HEAD, HEAD_ADJUSTMENT
from .errors import MAX_TABLES, WebfontError

SFNT_FLAVORS = (0x00010000, 0x4F54544F, 0x74727565)  # 1.0, 'OTTO', 'true'
COLLECTION = 0x74746366  # 'ttcf'
CHECKSUM_MAGIC = 0xB1B0AFBA


def check_flavor(flavor: int, what: str) -> None:
    """Refuses a flavor that is no single SFNT font."""
    if flavor == COLLECTION:
        raise WebfontError(f"the {what} file holds a font collection, which glyphward does not read; "
                           "give each font of the collection as a file of its own")
    if flavor not in SFNT_FLAVORS:
        raise WebfontError(f"the {what} file's flavor 0x{flavor:08X} is not a TrueType or OpenType font")


def check_header(what: str, signed: bool, flavor: int, length: int, size: int, reserved: int, count: int) -> None:
    """Refuses a WOFF or WOFF2 header (`what`) without its signature, of a
    flavor that is no single SFNT font, whose length is not the file's
    `size`, whose reserved field is not 0, or that lists no tables or more
    than MAX_TABLES."""
    if not signed:
        raise WebfontError(f"not a {what} file")
    check_flavor(flavor, what)
    if length != size:
        raise WebfontError(f"the {what} header gives the file {length} bytes; it has {size}")
    if reserved != 0:
        raise WebfontError(f"the {what} header's reserved field is not 0")
    if count == 0 or count > MAX_TABLES:
        raise WebfontError(f"the {what} file lists {count} tables")


def checksum(data: bytes) -> int:
    """The OpenType table checksum: the sum of the big-endian 32-bit words,
    the last one padded with zeros."""
    padded = data + bytes(-len(data) % 4)
    total: int = sum(struct.unpack(f">{len(padded) // 4}I", padded))
    return total & 0xFFFFFFFF


def table_checksum(tag: bytes, data: bytes) -> int:
    """The checksum of a table record: for `head`, with checkSumAdjustment
    taken as zero (OpenType, "Calculating checksums")."""
    if tag == HEAD and len(data) >= HEAD_ADJUSTMENT + 4:
        data = data[:HEAD_ADJUSTMENT] + bytes(4) + data[HEAD_ADJUSTMENT + 4:]
    return checksum(data)


def search_fields(count: int) -> Tuple[int, int, int]:
    """searchRange, entrySelector and rangeShift for `count` tables."""
    selector = max(count.bit_length() - 1, 0)
    search = (1 << selector) * 16
    return search, selector, count * 16 - search


def assemble(flavor: int, tables: Dict[bytes, bytes]) -> bytes:
    """The SFNT of `tables` (tag to data), in tag order, with table
    checksums and the `head` table's checkSumAdjustment computed."""
    tags = sorted(tables)
    count = len(tags)
    header = struct.pack(">IHHHH", flavor, count, *search_fields(count))
    offset = 12 + 16 * count
    records = []
    body = []
    adjusted = -1
    for tag in tags:
        data = tables[tag]
        if tag == HEAD and len(data) >= HEAD_ADJUSTMENT + 4:
            data = data[:HEAD_ADJUSTMENT] + bytes(4) + data[HEAD_ADJUSTMENT + 4:]
            adjusted = offset + HEAD_ADJUSTMENT
        records.append(struct.pack(">4sIII", tag, checksum(data), offset, len(data)))
        body.append(data + bytes(-len(data) % 4))
        offset += len(data) + (-len(data) % 4)
    font = bytearray(header + b"".join(records) + b"".join(body))
    if adjusted >= 0:
        struct.pack_into(">I", font, adjusted, (CHECKSUM_MAGIC - checksum(bytes(font))) & 0xFFFFFFFF)
    return bytes(font)


def check_tag(tag: bytes, seen: Dict[bytes, bytes], what: str) -> None:
    """Refuses a second table of one tag (which no box hash can name once)."""
    if tag in seen:
        raise WebfontError(f"the {what} file lists the table {tag.decode('latin-1')!r} twice")
