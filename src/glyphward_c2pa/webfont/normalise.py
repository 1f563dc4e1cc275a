"""The web normal form of a font, and the WOFF and WOFF2 files of a signed
one.

WOFF2 keeps no font byte for byte: an encoder sets bit 11 of head.flags
("font converted": the font went through a lossless modifying transform),
drops DSIG (a signature over bytes the transform changes), and the decoder
rebuilds glyf and loca from the transformed glyf data with encodings and
padding of its own. A round trip has a fixed point: F1 = decode(encode(F))
comes back table for table from decode(encode(F1)). `normalise` gives F1;
a font signed in that form, with one box per table (C2PA 2.2, 18.7.3.6),
keeps every table's hash through WOFF 1.0 (which keeps every table) and
WOFF2 (which now rebuilds the same bytes).

What the normal form does not change: every other table, byte for byte
(the C2PA table of a font signed before too), and so every glyph's outline
points, advance and instructions: the glyf transform is lossless, it only
re-encodes them. A CFF font changes only in head.flags and DSIG.
"""
from __future__ import annotations

import struct
from typing import Dict, Sequence, Tuple

from ..sfnt import FontStructureError, HEAD
from ..sfnt import read_tables as read_directory
from .assemble import assemble
from .decode import decode_font
from .errors import WebfontError
from .transforms import GLYF, LOCA, rebuild_transformed, transform_glyf
from .woff import write_woff
from .woff2 import write_woff2

DSIG = b"DSIG"
HEAD_FLAGS = 16          # offset of head.flags
CONVERTED = 1 << 11      # head.flags bit 11: lossless modifying transform applied (WOFF2, 5)
FORMATS = ("ttf", "woff", "woff2")


def sfnt_tables(font: bytes) -> Tuple[int, Dict[bytes, bytes]]:
    """The flavor and tables of an SFNT font (its tables as its directory
    gives them; a second table of one tag is refused)."""
    try:
        directory = read_directory(font)
    except FontStructureError as error:
        raise WebfontError(str(error)) from None
    tables: Dict[bytes, bytes] = {}
    for table in directory:
        if table.tag in tables:
            raise WebfontError(f"the font lists the table {table.tag.decode('latin-1')!r} twice")
        tables[table.tag] = bytes(font[table.offset:table.offset + table.length])
    flavor: int = struct.unpack_from(">I", font)[0]
    return flavor, tables


def normal_tables(tables: Dict[bytes, bytes]) -> Dict[bytes, bytes]:
    """The tables of the web normal form: decode(encode(tables))."""
    out = {tag: data for tag, data in tables.items() if tag != DSIG}
    head = out.get(HEAD)
    if head is None or len(head) < HEAD_FLAGS + 2:
        raise WebfontError("the font has no head table")
    flags = struct.unpack_from(">H", head, HEAD_FLAGS)[0] | CONVERTED
    out[HEAD] = head[:HEAD_FLAGS] + struct.pack(">H", flags) + head[HEAD_FLAGS + 2:]
    if GLYF in out and LOCA in out:
        transformed = transform_glyf(out)
        if transformed is not None:
            out.update(rebuild_transformed({GLYF: transformed}, out, len(out[LOCA])))
    return out


def normalise(font: bytes) -> bytes:
    """The font (an SFNT, WOFF or WOFF2 file) in the web normal form, as an
    SFNT: the form to sign for the web."""
    flavor, tables = sfnt_tables(decode_font(font).sfnt)
    return assemble(flavor, normal_tables(tables))


def is_normal(font: bytes) -> bool:
    """Whether the SFNT `font` is in the web normal form (table for table)."""
    _, tables = sfnt_tables(font)
    return normal_tables(tables) == tables


def web_formats(signed: bytes, formats: Sequence[str] = ("woff", "woff2")) -> Dict[str, bytes]:
    """The files of the signed SFNT `signed` in `formats` ("ttf", "woff",
    "woff2"), each carrying every table of the font (the C2PA table as an
    unknown table, untouched). The font must be in the web normal form, or
    its WOFF2 would not carry the tables it was signed with: a font that is
    not is refused (normalise it, then sign it)."""
    unknown = [name for name in formats if name not in FORMATS]
    if unknown:
        raise WebfontError(f"unknown font format {unknown[0]!r}; the formats are {', '.join(FORMATS)}")
    flavor, tables = sfnt_tables(signed)
    if "woff2" in formats and normal_tables(tables) != tables:
        raise WebfontError("the font is not in the web normal form, so its WOFF2 would not keep its tables: "
                           "normalise it before signing")
    out: Dict[str, bytes] = {}
    for name in formats:
        if name == "ttf":
            out[name] = bytes(signed)
        elif name == "woff":
            out[name] = write_woff(flavor, tables)
        else:
            out[name] = write_woff2(flavor, tables)
    return out
