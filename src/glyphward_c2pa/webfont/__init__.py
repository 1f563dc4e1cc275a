"""Fonts for the web: reading WOFF 1.0 and WOFF2 files into the SFNT of their
tables (so that a box hash made on the SFNT validates on them, C2PA 2.2,
18.7.3.6), the web normal form a font is signed in, and the WOFF and WOFF2
files of a signed font.

    from glyphward_c2pa.webfont import decode_font, normalise, web_formats

    sfnt = decode_font(open("Font.woff2", "rb").read()).sfnt
    ready = normalise(open("Font.ttf", "rb").read())       # sign this
    files = web_formats(signed_font)                      # {"woff": ..., "woff2": ...}
"""
from __future__ import annotations

from .decode import DecodedFont, container_of, decode_font
from .errors import WebfontError
from .normalise import normalise, web_formats

__all__ = ["DecodedFont", "WebfontError", "container_of", "decode_font", "normalise", "web_formats"]
