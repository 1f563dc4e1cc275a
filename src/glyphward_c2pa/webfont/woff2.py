"""WOFF2 (W3C Recommendation, 2024): reading a file into the tables of its
font, and writing a font as one.

A WOFF2 file holds one Brotli stream of all its tables, glyf and loca (and
optionally hmtx) in a transformed form that the decoder rebuilds
(transforms.py). Reading decompresses the stream into at most the sum of
the lengths its directory declares (brotli 1.2's output limit, as
validate/compressed.py bounds a compressed manifest), and refuses anything
else: a header whose sizes do not add up, a stream of another length, a
transform it does not know, a collection, totals beyond MAX_TABLE_BYTES.
"""
from __future__ import annotations

import struct
from typing import Dict, List, Optional, Tuple

from .assemble import check_header, check_tag
from .errors import MAX_TABLE_BYTES, WebfontError
from .transforms import GLYF, HMTX, LOCA, rebuild_transformed, transform_glyf

SIGNATURE = b"wOF2"
HEADER = struct.Struct(">4sIIHHIIHHIIIII")  # 48 bytes
# WOFF2, 5.1 (Table 2): the tags a flags byte's low 6 bits can stand for.
KNOWN_TAGS = tuple(tag.encode("latin-1") for tag in (
    "cmap", "head", "hhea", "hmtx", "maxp", "name", "OS/2", "post", "cvt ", "fpgm", "glyf", "loca", "prep",
    "CFF ", "VORG", "EBDT", "EBLC", "gasp", "hdmx", "kern", "LTSH", "PCLT", "VDMX", "vhea", "vmtx", "BASE",
    "GDEF", "GPOS", "GSUB", "EBSC", "JSTF", "MATH", "CBDT", "CBLC", "COLR", "CPAL", "SVG ", "sbix", "acnt",
    "avar", "bdat", "bloc", "bsln", "cvar", "fdsc", "feat", "fmtx", "fvar", "gvar", "hsty", "just", "lcar",
    "mort", "morx", "opbd", "prop", "trak", "Zapf", "Silf", "Glat", "Gloc", "Feat", "Sill"))
ARBITRARY_TAG = 63
NULL_GLYF = 3  # WOFF2, 5.1: for glyf and loca, transform version 3 is the null transform
BROTLI_QUALITY = 11


def read_base128(data: bytes, position: int) -> Tuple[int, int]:
    """A UIntBase128 (WOFF2, 4.1) at `position`, and the position after it:
    at most 5 bytes, no leading zeros, no value beyond 2**32 - 1."""
    value = 0
    for index in range(5):
        if position >= len(data):
            raise WebfontError("the WOFF2 table directory ends inside a number")
        byte = data[position]
        position += 1
        if index == 0 and byte == 0x80:
            raise WebfontError("a UIntBase128 number of the WOFF2 table directory starts with a zero")
        if value & 0xFE000000:
            raise WebfontError("a UIntBase128 number of the WOFF2 table directory exceeds 2**32 - 1")
        value = (value << 7) | (byte & 0x7F)
        if not byte & 0x80:
            return value, position
    raise WebfontError("a UIntBase128 number of the WOFF2 table directory is longer than 5 bytes")


def write_base128(value: int) -> bytes:
    out = [value & 0x7F]
    value >>= 7
    while value:
        out.append(0x80 | (value & 0x7F))
        value >>= 7
    return bytes(reversed(out))


class _Entry:
    __slots__ = ("tag", "original", "stored", "transformed")

    def __init__(self, tag: bytes, original: int, stored: int, transformed: bool):
        self.tag, self.original, self.stored, self.transformed = tag, original, stored, transformed


def _read_directory(data: bytes, count: int) -> Tuple[List[_Entry], int]:
    entries: List[_Entry] = []
    position = HEADER.size
    for _ in range(count):
        if position >= len(data):
            raise WebfontError("the WOFF2 table directory runs past the end of the file")
        flags = data[position]
        position += 1
        if flags & 0x3F == ARBITRARY_TAG:
            if position + 4 > len(data):
                raise WebfontError("the WOFF2 table directory runs past the end of the file")
            tag = data[position:position + 4]
            position += 4
        else:
            tag = KNOWN_TAGS[flags & 0x3F]
        version = flags >> 6
        name = tag.decode("latin-1")
        if tag in (GLYF, LOCA):
            if version not in (0, NULL_GLYF):
                raise WebfontError(f"table {name!r} has the unknown transform {version}")
            transformed = version == 0
        elif tag == HMTX:
            if version not in (0, 1):
                raise WebfontError(f"table {name!r} has the unknown transform {version}")
            transformed = version == 1
        elif version:
            raise WebfontError(f"table {name!r} has the unknown transform {version}")
        else:
            transformed = False
        original, position = read_base128(data, position)
        stored = original
        if transformed:
            stored, position = read_base128(data, position)
            if tag == LOCA and stored:
                raise WebfontError("the transformed loca table must be empty (WOFF2, 5.3)")
        entries.append(_Entry(tag, original, stored, transformed))
    return entries, position


def read_woff2(data: bytes) -> Tuple[int, Dict[bytes, bytes]]:
    """The flavor (sfntVersion) and the tables of the WOFF2 file `data`,
    transformed tables rebuilt."""
    if len(data) < HEADER.size:
        raise WebfontError("the WOFF2 file is shorter than its header")
    (signature, flavor, length, count, reserved, _total_sfnt, compressed_size, _major, _minor,
     meta_offset, meta_length, _meta_orig, private_offset, private_length) = HEADER.unpack_from(data)
    check_header("WOFF2", signature == SIGNATURE, flavor, length, len(data), reserved, count)
    entries, stream_start = _read_directory(data, count)
    seen: Dict[bytes, bytes] = {}
    for entry in entries:
        check_tag(entry.tag, seen, "WOFF2")
        seen[entry.tag] = b""
    _check_transforms(entries)
    if sum(entry.original for entry in entries) > MAX_TABLE_BYTES:
        raise WebfontError(f"the WOFF2 file's tables add up to more than {MAX_TABLE_BYTES} bytes")
    total = sum(entry.stored for entry in entries)
    if total > MAX_TABLE_BYTES:
        raise WebfontError(f"the WOFF2 file's stream declares more than {MAX_TABLE_BYTES} bytes")
    stream_end = stream_start + compressed_size
    if stream_end > len(data):
        raise WebfontError(f"the WOFF2 file's compressed stream ({compressed_size} bytes) runs past its end")
    _check_blocks(data, stream_end, [(meta_offset, meta_length, "metadata"),
                                     (private_offset, private_length, "private data")])
    stream = _decompress(data[stream_start:stream_end], total)
    plain: Dict[bytes, bytes] = {}
    transformed: Dict[bytes, bytes] = {}
    position = 0
    for entry in entries:
        (transformed if entry.transformed else plain)[entry.tag] = stream[position:position + entry.stored]
        position += entry.stored
    loca = next((entry.original for entry in entries if entry.tag == LOCA), None)
    tables = dict(plain)
    if transformed:
        tables.update(rebuild_transformed({tag: data for tag, data in transformed.items() if tag != LOCA},
                                          plain, loca))
    return flavor, tables


def _check_transforms(entries: List[_Entry]) -> None:
    """glyf and loca are transformed together or not at all (WOFF2, 5.1,
    5.3); an hmtx transform needs a transformed glyf (5.4: its side bearings
    come from the glyphs' bounding boxes as the glyf transform gives them)."""
    states = {entry.tag: entry.transformed for entry in entries if entry.tag in (GLYF, LOCA)}
    if len(states) == 1 and any(states.values()) or len(set(states.values())) > 1:
        raise WebfontError("the WOFF2 file transforms one of glyf and loca without the other")
    if any(entry.tag == HMTX and entry.transformed for entry in entries) and not states.get(GLYF):
        raise WebfontError("the WOFF2 file transforms hmtx without a transformed glyf table")


def _check_blocks(data: bytes, stream_end: int, blocks: List[Tuple[int, int, str]]) -> None:
    """Metadata and private data lie after the stream, apart, in the file;
    the file ends with the last block, padded to a multiple of 4."""
    end = stream_end
    for offset, length, name in sorted(blocks):
        if not length:
            continue
        if offset < end or offset + length > len(data):
            raise WebfontError(f"the WOFF2 file's {name} does not lie after the font data, inside the file")
        end = offset + length
    if len(data) - end > 3 or data[end:].count(0) != len(data) - end:
        raise WebfontError(f"the WOFF2 file has {len(data) - end} bytes after its data")


def _decompress(compressed: bytes, total: int) -> bytes:
    """The stream, which must decompress to exactly `total` bytes; at most
    `total` + 1 are ever produced."""
    import brotli

    decompressor = brotli.Decompressor()
    try:
        try:
            stream: bytes = decompressor.process(compressed, output_buffer_limit=total + 1)
        except TypeError:
            raise WebfontError("reading WOFF2 needs brotli 1.2 or newer, which bounds what it expands to") from None
        finished = decompressor.is_finished()
    except WebfontError:
        raise
    except Exception as error:  # brotli.error
        raise WebfontError(f"the WOFF2 file's font data do not decompress: {error}") from None
    if len(stream) != total or not finished:
        raise WebfontError(f"the WOFF2 file's font data do not decompress to the {total} bytes its directory "
                           "declares")
    return stream


def write_woff2(flavor: int, tables: Dict[bytes, bytes], transform: bool = True) -> bytes:
    """The WOFF2 file of the tables (tag to data), in tag order, glyf and
    loca transformed (unless `transform` is False), every other table (the
    `C2PA` table too) as it is; no metadata, no private data."""
    import brotli

    tags = sorted(tables)
    glyf_transformed: Optional[bytes] = None
    if transform and GLYF in tables and LOCA in tables:
        glyf_transformed = transform_glyf(tables)
    directory = bytearray()
    stream = bytearray()
    for tag in tags:
        table = tables[tag]
        index = KNOWN_TAGS.index(tag) if tag in KNOWN_TAGS else ARBITRARY_TAG
        flags = index
        if tag in (GLYF, LOCA) and glyf_transformed is None:
            flags |= NULL_GLYF << 6
        directory.append(flags)
        if index == ARBITRARY_TAG:
            directory += tag
        directory += write_base128(len(table))
        if tag in (GLYF, LOCA) and glyf_transformed is not None:
            stored = glyf_transformed if tag == GLYF else b""
            directory += write_base128(len(stored))
            stream += stored
        else:
            stream += table
    compressed = brotli.compress(bytes(stream), mode=brotli.MODE_FONT, quality=BROTLI_QUALITY)
    total_sfnt = 12 + 16 * len(tags) + sum(len(table) + (-len(table) % 4) for table in tables.values())
    body = bytes(directory) + compressed
    size = HEADER.size + len(body)
    size += -size % 4
    header = HEADER.pack(SIGNATURE, flavor, size, len(tags), 0, total_sfnt, len(compressed), 1, 0, 0, 0, 0, 0, 0)
    written: bytes = (header + body).ljust(size, b"\0")
    return written
