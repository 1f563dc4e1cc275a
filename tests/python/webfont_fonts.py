"""Small TrueType, CFF and variable fonts for the web font tests, built
with fontTools' FontBuilder (a few glyphs each, with outlines, hinting
instructions in the TrueType ones, and a DSIG table to be dropped)."""
from __future__ import annotations

import io
from typing import Callable, Dict

from fontTools.fontBuilder import FontBuilder
from fontTools.pens.t2CharStringPen import T2CharStringPen
from fontTools.pens.ttGlyphPen import TTGlyphPen
from fontTools.ttLib import newTable
from fontTools.ttLib.tables import ttProgram

GLYPHS = [".notdef", "A", "B", "space"]
ADVANCES = {".notdef": 500, "A": 600, "B": 620, "space": 250}


def _draw(pen, name: str, shift: int = 0) -> None:
    if name == "space":
        return
    if name == "B":  # a curve: off-curve points in glyf, a curveTo in CFF
        pen.moveTo((60, 0))
        pen.lineTo((60, 700))
        if hasattr(pen, "qCurveTo") and not isinstance(pen, T2CharStringPen):
            pen.qCurveTo((400 + shift, 700), (400 + shift, 350), (60, 350))
        else:
            pen.curveTo((400 + shift, 700), (400 + shift, 350), (60, 350))
        pen.closePath()
        return
    pen.moveTo((50, 0))
    pen.lineTo((300 + shift, 700))
    pen.lineTo((550, 0))
    pen.closePath()


def _finish(builder: FontBuilder, name: str) -> bytes:
    builder.setupHorizontalMetrics({glyph: (ADVANCES[glyph], 50) for glyph in GLYPHS})
    builder.setupHorizontalHeader(ascent=800, descent=-200)
    if "name" not in builder.font:
        builder.setupNameTable({"familyName": name, "styleName": "Regular"})
    builder.setupOS2(sTypoAscender=800, usWinAscent=800, usWinDescent=200)
    builder.setupPost()
    dsig = newTable("DSIG")
    dsig.ulVersion, dsig.usFlag, dsig.usNumSigs, dsig.signatureRecords = 1, 0, 0, []
    builder.font["DSIG"] = dsig
    out = io.BytesIO()
    builder.save(out)
    return out.getvalue()


def truetype(variable: bool = False) -> bytes:
    builder = FontBuilder(1000, isTTF=True)
    builder.setupGlyphOrder(GLYPHS)
    builder.setupCharacterMap({0x41: "A", 0x42: "B", 0x20: "space"})
    glyphs = {}
    for name in GLYPHS:
        pen = TTGlyphPen(None)
        _draw(pen, name)
        glyph = pen.glyph()
        if name == "A":
            glyph.program = ttProgram.Program()
            glyph.program.fromAssembly(["SVTCA[0]", "PUSHB[ ]", "0", "MDAP[1]"])
        glyphs[name] = glyph
    builder.setupGlyf(glyphs)
    if variable:
        builder.setupNameTable({"familyName": "WebVariable", "styleName": "Regular"})
        builder.setupFvar([("wght", 100, 400, 900, "Weight")], [])
        wide = {}
        for name in GLYPHS:
            pen = TTGlyphPen(None)
            _draw(pen, name, shift=60)
            wide[name] = pen.glyph()
        from fontTools.ttLib.tables.TupleVariation import TupleVariation

        variations = {}
        for name in GLYPHS:
            base = glyphs[name]
            if base.numberOfContours <= 0:
                variations[name] = []
                continue
            deltas = [(b[0] - a[0], b[1] - a[1]) for a, b in zip(base.coordinates, wide[name].coordinates)]
            variations[name] = [TupleVariation({"wght": (0, 1.0, 1.0)}, deltas + [(0, 0)] * 4)]
        builder.setupGvar(variations)
    builder.font["maxp"].maxSizeOfInstructions = 8
    return _finish(builder, "WebVariable" if variable else "WebTrueType")


def cff() -> bytes:
    builder = FontBuilder(1000, isTTF=False)
    builder.setupGlyphOrder(GLYPHS)
    builder.setupCharacterMap({0x41: "A", 0x42: "B", 0x20: "space"})
    charstrings = {}
    for name in GLYPHS:
        pen = T2CharStringPen(ADVANCES[name], None)
        _draw(pen, name)
        charstrings[name] = pen.getCharString()
    builder.setupCFF("WebCFF-Regular", {"FullName": "WebCFF Regular"}, charstrings, {})
    return _finish(builder, "WebCFF")


FONTS: Dict[str, Callable[[], bytes]] = {"truetype": truetype, "cff": cff, "variable": lambda: truetype(True)}
