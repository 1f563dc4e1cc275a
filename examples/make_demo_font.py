#!/usr/bin/env python3
"""Builds examples/fonts/GlyphwardDemo.ttf, the small font that sign_font.py
signs when it is given no input.

The font is a real TrueType font made with fontTools' FontBuilder: a handful
of glyphs with simple outlines (.notdef, space, A, B, C, period), a cmap, hmtx,
name, OS/2, post and the rest of the tables a font needs. Timestamps are fixed,
so running the script again with the same fontTools gives the same bytes.

usage: make_demo_font.py [OUTPUT]   (default: examples/fonts/GlyphwardDemo.ttf)
"""
from __future__ import annotations

import sys
from pathlib import Path

from fontTools.fontBuilder import FontBuilder
from fontTools.pens.ttGlyphPen import TTGlyphPen

DEFAULT_OUTPUT = Path(__file__).resolve().parent / "fonts" / "GlyphwardDemo.ttf"

UNITS_PER_EM = 1000
ASCENT = 800
DESCENT = -200
# 2024-01-01T00:00:00Z in seconds since 1904-01-01, the epoch of the head table.
FIXED_TIMESTAMP = 3786825600

FAMILY = "Glyphward Demo"
STYLE = "Regular"


def _polygon(pen: TTGlyphPen, points) -> None:
    pen.moveTo(points[0])
    for point in points[1:]:
        pen.lineTo(point)
    pen.closePath()


def _notdef(pen: TTGlyphPen) -> None:
    # A hollow box: outer contour clockwise, inner one counter-clockwise.
    _polygon(pen, [(50, 0), (50, 700), (450, 700), (450, 0)])
    _polygon(pen, [(100, 50), (400, 50), (400, 650), (100, 650)])


def _letter_a(pen: TTGlyphPen) -> None:
    _polygon(pen, [(20, 0), (270, 700), (330, 700), (580, 0), (500, 0), (300, 600), (100, 0)])
    _polygon(pen, [(150, 220), (150, 290), (450, 290), (450, 220)])


def _letter_b(pen: TTGlyphPen) -> None:
    _polygon(pen, [(80, 0), (80, 700), (420, 700), (500, 620), (500, 440), (440, 370),
                   (520, 300), (520, 80), (440, 0)])
    _polygon(pen, [(160, 80), (430, 80), (440, 300), (160, 300)])
    _polygon(pen, [(160, 420), (410, 420), (420, 620), (160, 620)])


def _letter_c(pen: TTGlyphPen) -> None:
    _polygon(pen, [(520, 160), (440, 80), (180, 80), (140, 160), (140, 540), (180, 620),
                   (440, 620), (520, 540), (600, 580), (480, 700), (140, 700), (60, 580),
                   (60, 120), (140, 0), (480, 0), (600, 120)])


def _period(pen: TTGlyphPen) -> None:
    _polygon(pen, [(60, 0), (60, 100), (160, 100), (160, 0)])


# glyph name -> (code point or None, advance width, outline drawer or None)
GLYPHS = {
    ".notdef": (None, 500, _notdef),
    "space": (0x20, 250, None),
    "A": (0x41, 600, _letter_a),
    "B": (0x42, 580, _letter_b),
    "C": (0x43, 640, _letter_c),
    "period": (0x2E, 220, _period),
}


def build_font():
    """The demo font as a fontTools TTFont, ready to save."""
    builder = FontBuilder(UNITS_PER_EM, isTTF=True)
    builder.font.recalcTimestamp = False
    order = list(GLYPHS)
    builder.setupGlyphOrder(order)
    builder.setupCharacterMap({code: name for name, (code, _, _) in GLYPHS.items() if code is not None})

    glyphs = {}
    for name, (_, _, draw) in GLYPHS.items():
        pen = TTGlyphPen(None)
        if draw is not None:
            draw(pen)
        glyphs[name] = pen.glyph()
    builder.setupGlyf(glyphs)

    metrics = {}
    glyf = builder.font["glyf"]
    for name, (_, advance, _) in GLYPHS.items():
        metrics[name] = (advance, getattr(glyf[name], "xMin", 0))
    builder.setupHorizontalMetrics(metrics)
    builder.setupHorizontalHeader(ascent=ASCENT, descent=DESCENT)
    builder.setupNameTable({
        "familyName": FAMILY,
        "styleName": STYLE,
        "uniqueFontIdentifier": f"{FAMILY.replace(' ', '')}-{STYLE};1.000",
        "fullName": f"{FAMILY} {STYLE}",
        "psName": f"{FAMILY.replace(' ', '')}-{STYLE}",
        "version": "Version 1.000",
        "copyright": "Made for the glyphward signing demo; free to use for any purpose.",
    })
    builder.setupOS2(sTypoAscender=ASCENT, sTypoDescender=DESCENT, usWinAscent=ASCENT,
                     usWinDescent=-DESCENT, achVendID="GLWD")
    builder.setupPost()
    builder.setupHead(unitsPerEm=UNITS_PER_EM, created=FIXED_TIMESTAMP, modified=FIXED_TIMESTAMP,
                      fontRevision=1.0)
    return builder.font


def main(argv) -> int:
    if len(argv) > 2:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    output = Path(argv[1]) if len(argv) == 2 else DEFAULT_OUTPUT
    output.parent.mkdir(parents=True, exist_ok=True)
    build_font().save(str(output))
    print(f"wrote {output} ({output.stat().st_size} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
