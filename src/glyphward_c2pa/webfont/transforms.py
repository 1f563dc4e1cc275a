"""The WOFF2 table transforms (WOFF2, 5: glyf and loca; 5.4: hmtx), in one
place so that the decoder behind them can be replaced as a whole.

Today both directions use fontTools' implementation. A renderer takes what
the reference decoder (google/woff2, the one browsers ship) rebuilds; the
two rebuild the same glyphs but not always the same bytes (point flags,
coordinate encodings, padding between glyphs). glyphward's normal form is
the fixed point of whichever pair this module uses, so a font normalised,
signed and packed by glyphward verifies through it; the extension module
`glyphward_woff2` rebuilds as the reference decoder does and takes the place
of `rebuild_transformed` when it is installed.

Every failure of the decoder on hostile data (fontTools raises TTLibError,
struct.error, AssertionError, IndexError and others) becomes WebfontError.
"""
from __future__ import annotations

from typing import Any, Dict, Optional

from .errors import MAX_TABLE_BYTES, WebfontError

GLYF = b"glyf"
LOCA = b"loca"
HMTX = b"hmtx"
# Glyphs are padded to 4 bytes in the rebuilt glyf table, as the reference
# decoder and fontTools' encoder (which normalises glyf before transforming
# it) both pad them.
GLYPH_PADDING = 4


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
    the decompressed transformed data: glyf with loca, and hmtx), rebuilt;
    `plain` holds the font's other tables (head, maxp, hhea are read);
    `loca_length` is loca's declared origLength when glyf is transformed.
    """
    try:
        return _rebuild(transformed, plain, loca_length)
    except WebfontError:
        raise
    except Exception as error:  # the decoder's errors on hostile data, whatever their class
        kind = "/".join(tag.decode("latin-1") for tag in sorted(transformed))
        raise WebfontError(f"the transformed {kind} data cannot be rebuilt: {type(error).__name__}: "
                           f"{str(error)[:200]}") from None


def _rebuild(transformed: Dict[bytes, bytes], plain: Dict[bytes, bytes],
             loca_length: Optional[int]) -> Dict[bytes, bytes]:
    from fontTools.ttLib.woff2 import WOFF2GlyfTable, WOFF2HmtxTable, WOFF2LocaTable

    rebuilt: Dict[bytes, bytes] = {}
    if GLYF in transformed:
        font = _font(plain, (b"head", b"maxp"))
        _glyph_order(font)
        font["loca"] = WOFF2LocaTable()
        glyf = font["glyf"] = WOFF2GlyfTable()
        glyf.reconstruct(transformed[GLYF], font)
        glyf.padding = GLYPH_PADDING
        rebuilt[GLYF] = glyf.compile(font)
        rebuilt[LOCA] = font["loca"].compile(font)
        if len(rebuilt[GLYF]) > MAX_TABLE_BYTES:
            raise WebfontError(f"the rebuilt glyf table would be more than {MAX_TABLE_BYTES} bytes")
        if len(rebuilt[LOCA]) != loca_length:
            raise WebfontError(f"the rebuilt loca table has {len(rebuilt[LOCA])} bytes; "
                               f"the WOFF2 directory declares {loca_length}")
    if HMTX in transformed:
        if GLYF in transformed:
            font.tables["hhea"] = _font(plain, (b"hhea",))["hhea"]
        else:
            font = _font(plain, (b"head", b"maxp", b"hhea", b"loca", b"glyf"))
            _glyph_order(font)
            font["glyf"].glyphOrder = font.getGlyphOrder()
        hmtx = font["hmtx"] = WOFF2HmtxTable()
        hmtx.reconstruct(transformed[HMTX], font)
        rebuilt[HMTX] = hmtx.compile(font)
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
