"""A small WOFF2 reader for the tests of glyphward_woff2: the header, the
table directory and the decompressed table stream (W3C WOFF2, sections 3 to
5), with each table's stored (possibly transformed) bytes. Not the
command's reader; just enough to feed reconstruct_glyf/reconstruct_hmtx and
compare them with the reference decoder's output."""
from __future__ import annotations

import struct
from dataclasses import dataclass
from typing import Dict, List

import brotli

KNOWN_TAGS = (
    "cmap head hhea hmtx maxp name OS/2 post cvt  fpgm glyf loca prep CFF  VORG EBDT EBLC gasp hdmx kern LTSH "
    "PCLT VDMX vhea vmtx BASE GDEF GPOS GSUB EBSC JSTF MATH CBDT CBLC COLR CPAL SVG  sbix acnt avar bdat bloc "
    "bsln cvar fdsc feat fmtx fvar gvar hsty just lcar mort morx opbd prop trak Zapf Silf Glat Gloc Feat Sill"
)
TAGS = [KNOWN_TAGS[i : i + 4] for i in range(0, len(KNOWN_TAGS), 5)]
assert len(TAGS) == 63


@dataclass
class Woff2Table:
    tag: str
    orig_length: int
    transformed: bool
    data: bytes  # as stored in the decompressed stream


def _base128(data: bytes, at: int) -> "tuple[int, int]":
    value = 0
    for i in range(5):
        byte = data[at + i]
        if i == 0 and byte == 0x80:
            raise ValueError("UIntBase128 with a leading zero")
        value = (value << 7) | (byte & 0x7F)
        if not byte & 0x80:
            return value, at + i + 1
    raise ValueError("UIntBase128 longer than five bytes")


def read_woff2(woff2: bytes) -> Dict[str, Woff2Table]:
    entries, compressed = read_directory(woff2)
    stream = brotli.decompress(compressed)
    tables: Dict[str, Woff2Table] = {}
    offset = 0
    for tag, orig_length, transformed, length in entries:
        tables[tag] = Woff2Table(tag, orig_length, transformed, stream[offset : offset + length])
        offset += length
    return tables


def read_directory(woff2: bytes) -> "tuple[List[tuple[str, int, bool, int]], bytes]":
    """The table entries (tag, origLength, transformed, stored length) and
    the compressed stream."""
    signature, _flavor, _length, num_tables = struct.unpack_from(">4sIIH", woff2, 0)
    if signature != b"wOF2":
        raise ValueError("not WOFF2")
    (compressed_size,) = struct.unpack_from(">I", woff2, 20)
    at = 48
    entries: List["tuple[str, int, bool, int]"] = []
    for _ in range(num_tables):
        flags = woff2[at]
        at += 1
        if flags & 0x3F == 0x3F:
            tag = woff2[at : at + 4].decode("latin-1")
            at += 4
        else:
            tag = TAGS[flags & 0x3F]
        version = flags >> 6
        orig_length, at = _base128(woff2, at)
        transformed = version == 0 if tag in ("glyf", "loca") else version != 0
        length = orig_length
        if transformed:
            length, at = _base128(woff2, at)
        entries.append((tag, orig_length, transformed, length))
    return entries, woff2[at : at + compressed_size]


def sfnt_tables(font: bytes) -> Dict[str, bytes]:
    """The tables of an SFNT font, by tag."""
    (num_tables,) = struct.unpack_from(">H", font, 4)
    tables = {}
    for i in range(num_tables):
        tag, _checksum, offset, length = struct.unpack_from(">4sIII", font, 12 + 16 * i)
        tables[tag.decode("latin-1")] = font[offset : offset + length]
    return tables
