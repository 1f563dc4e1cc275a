"""The WOFF2 table transforms (WOFF2, 5: glyf and loca; 5.4: hmtx), in one
place.

Decoding is the extension module `glyphward_woff2`'s: it rebuilds glyf,
loca and hmtx byte for byte as the reference decoder does (google/woff2,
the one browsers ship), so that the tables a box hash is checked against are
those a browser renders. fontTools' decoder rebuilds the same glyphs but not
the same bytes (point flags, coordinate encodings, padding between glyphs).
Encoding (`transform_glyf`) is fontTools': any lossless encoder will do,
since glyphward's normal form is what the reference decoder rebuilds from
it, and a fixed point of the pair.

Every failure on hostile data becomes WebfontError.
"""
from __future__ import annotations

import struct
from typing import Any, Dict, Optional

from .errors import MAX_TABLE_BYTES, WebfontError

GLYF = b"glyf"
LOCA = b"loca"
HMTX = b"hmtx"


def _font(plain: Dict[bytes, bytes], tags: Any) -> Any:
    """A fontTools font holding the tables `tags` of `plain`, decompiled."""
    from fontTools.ttLib import TTFont, getTableClass

    font = TTFont(recalcBBoxes=False, recalcTimestamp=False)
    for tag in tags:
        name = tag.decode("latin-1")
        if tag not in plain:
            raise WebfontError(f"the {name} table, which a transformed table needs, is missing")
        table = getTableClass(name)(name)
        font.tables[name] = table
        table.decompile(plain[tag], font)
    return font


def _glyph_order(font: Any) -> None:
    count = int(font["maxp"].numGlyphs)
    font.setGlyphOrder([".notdef"] + [f"glyph{index:05d}" for index in range(1, count)])


def rebuild_transformed(transformed: Dict[bytes, bytes], plain: Dict[bytes, bytes],
                        loca_length: Optional[int]) -> Dict[bytes, bytes]:
    """The tables that `transformed` holds in their transformed form (tag to
    the decompressed transformed data: glyf, and hmtx with it), rebuilt as
    the reference decoder rebuilds them: glyf with loca, and hmtx; `plain`
    holds the font's other tables (hhea is read); `loca_length` is loca's
    declared origLength, which fixes its format."""
    import glyphward_woff2

    rebuilt: Dict[bytes, bytes] = {}
    if HMTX in transformed and GLYF not in transformed:
        raise WebfontError("a transformed hmtx table needs a transformed glyf table (WOFF2, 5.4)")
    if GLYF not in transformed:
        return rebuilt
    if loca_length is None:
        raise WebfontError("the WOFF2 file transforms glyf without a loca table")
    try:
        glyf, loca = glyphward_woff2.reconstruct_glyf(transformed[GLYF], loca_length, MAX_TABLE_BYTES)
    except ValueError as error:
        raise WebfontError(f"the transformed glyf table cannot be rebuilt: {error}") from None
    rebuilt[GLYF], rebuilt[LOCA] = glyf, loca
    if HMTX in transformed:
        hhea = plain.get(b"hhea", b"")
        if len(hhea) < 36:
            raise WebfontError("a transformed hmtx table needs the hhea table's numberOfHMetrics")
        num_glyphs = struct.unpack_from(">H", transformed[GLYF], 4)[0]  # the transformed glyf's numGlyphs
        num_hmetrics = struct.unpack_from(">H", hhea, 34)[0]
        try:
            rebuilt[HMTX] = glyphward_woff2.reconstruct_hmtx(transformed[HMTX], num_glyphs, num_hmetrics, glyf, loca)
        except ValueError as error:
            raise WebfontError(f"the transformed hmtx table cannot be rebuilt: {error}") from None
    return rebuilt


def transform_glyf(plain: Dict[bytes, bytes]) -> Optional[bytes]:
    """The transformed glyf table (WOFF2, 5.1) of the font's glyf and loca,
    as the encoder writes it (loca's transformed form is empty), or None for
    a glyf table the transform cannot express (written untransformed)."""
    try:
        from fontTools.ttLib.woff2 import WOFF2GlyfTable, WOFF2LocaTable

        font = _font(plain, (b"head", b"maxp"))
        _glyph_order(font)
        loca = WOFF2LocaTable("loca")
        font.tables["loca"] = loca
        loca.decompile(plain[LOCA], font)
        glyf = WOFF2GlyfTable("glyf")
        font.tables["glyf"] = glyf
        glyf.decompile(plain[GLYF], font)
        data: Optional[bytes] = glyf.transform(font)
        return data
    except Exception as error:
        raise WebfontError(f"the glyf table cannot be transformed: {type(error).__name__}: {str(error)[:200]}") \
            from None
