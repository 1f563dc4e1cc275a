"""WOFF 1.0 (W3C Recommendation, 2012): reading a file into the tables of
its font, and writing a font as one.

A WOFF 1.0 file keeps each table byte for byte: zlib-compressed when that
is smaller, stored as it is otherwise. Reading inflates each table into at
most its declared origLength and refuses anything else: a header whose
sizes do not add up, tables that overlap or leave the file, a compressed
table that inflates to another length, totals beyond MAX_TABLE_BYTES.
"""
from __future__ import annotations

import struct
import zlib
from typing import Dict, List, Tuple

from .assemble import check_header, check_tag, table_checksum
from .errors import MAX_TABLE_BYTES, WebfontError

SIGNATURE = b"wOFF"
HEADER = struct.Struct(">4sIIHHIHHIIIII")  # 44 bytes
ENTRY = struct.Struct(">4sIIII")           # tag, offset, compLength, origLength, origChecksum
# zlib level 9, as sfnt2woff and fontTools write
LEVEL = 9


def read_woff(data: bytes) -> Tuple[int, Dict[bytes, bytes]]:
    """The flavor (sfntVersion) and the tables of the WOFF 1.0 file `data`."""
    if len(data) < HEADER.size:
        raise WebfontError("the WOFF file is shorter than its header")
    (signature, flavor, length, count, reserved, _total_sfnt, _major, _minor,
     meta_offset, meta_length, _meta_orig, private_offset, private_length) = HEADER.unpack_from(data)
    check_header("WOFF", signature == SIGNATURE, flavor, length, len(data), reserved, count)
    directory_end = HEADER.size + ENTRY.size * count
    if directory_end > len(data):
        raise WebfontError(f"the WOFF table directory of {count} tables runs past the end of the file")
    entries: List[Tuple[bytes, int, int, int]] = []
    declared = 0
    for index in range(count):
        tag, offset, compressed, original, _checksum = ENTRY.unpack_from(data, HEADER.size + ENTRY.size * index)
        name = tag.decode("latin-1")
        if compressed > original:
            raise WebfontError(f"table {name!r} is longer compressed ({compressed} bytes) than whole ({original})")
        if offset < directory_end or offset + compressed > len(data) or offset % 4:
            raise WebfontError(f"table {name!r} does not lie in the WOFF file's data (offset {offset}, "
                               f"{compressed} bytes), at a multiple of 4")
        declared += original
        if declared > MAX_TABLE_BYTES:
            raise WebfontError(f"the WOFF file's tables add up to more than {MAX_TABLE_BYTES} bytes")
        entries.append((tag, offset, compressed, original))
    _check_apart([(offset, compressed, tag.decode("latin-1")) for tag, offset, compressed, _ in entries]
                 + [(meta_offset, meta_length, "metadata"), (private_offset, private_length, "private data")],
                 len(data))
    tables: Dict[bytes, bytes] = {}
    for tag, offset, compressed, original in entries:
        check_tag(tag, tables, "WOFF")
        stored = data[offset:offset + compressed]
        tables[tag] = stored if compressed == original else _inflate(stored, original, tag.decode("latin-1"))
    return flavor, tables


def _check_apart(blocks: List[Tuple[int, int, str]], size: int) -> None:
    """Refuses blocks (offset, length, name) that overlap or leave the file;
    empty blocks are left out."""
    present = sorted((offset, length, name) for offset, length, name in blocks if length)
    for offset, length, name in present:
        if offset + length > size:
            raise WebfontError(f"the WOFF file's {name} runs past the end of the file")
    for (offset, length, name), (after, _, other) in zip(present, present[1:]):
        if after < offset + length:
            raise WebfontError(f"the WOFF file's {name!r} and {other!r} overlap")


def _inflate(stored: bytes, original: int, name: str) -> bytes:
    """The table inflated, which must be exactly `original` bytes; at most
    that many (and one more, to tell) are ever produced."""
    inflater = zlib.decompressobj()
    try:
        table = inflater.decompress(stored, original + 1)
    except zlib.error as error:
        raise WebfontError(f"table {name!r} does not inflate: {error}") from None
    if len(table) != original or not inflater.eof or inflater.unused_data:
        raise WebfontError(f"table {name!r} does not inflate to its declared {original} bytes")
    return table


def write_woff(flavor: int, tables: Dict[bytes, bytes]) -> bytes:
    """The WOFF 1.0 file of the tables (tag to data), in tag order, each
    compressed where that makes it smaller; no metadata, no private data.
    Every table, the `C2PA` table too, comes back byte for byte."""
    tags = sorted(tables)
    count = len(tags)
    offset = HEADER.size + ENTRY.size * count
    entries = []
    body = []
    for tag in tags:
        table = tables[tag]
        packed = zlib.compress(table, LEVEL)
        stored = packed if len(packed) < len(table) else table
        entries.append(ENTRY.pack(tag, offset, len(stored), len(table), table_checksum(tag, table)))
        body.append(stored + bytes(-len(stored) % 4))  # each table, the last too, padded to 4
        offset += len(stored) + (-len(stored) % 4)
    total_sfnt = 12 + 16 * count + sum(len(tables[tag]) + (-len(tables[tag]) % 4) for tag in tags)
    header = HEADER.pack(SIGNATURE, flavor, offset, count, 0, total_sfnt, 1, 0, 0, 0, 0, 0, 0)
    return header + b"".join(entries) + b"".join(body)
