"""The one error a WOFF or WOFF2 file that cannot be read raises."""
from __future__ import annotations


class WebfontError(ValueError):
    """The WOFF/WOFF2 file is damaged, hostile or of a kind not read (a
    collection); the message says which, in one line."""


# What the tables of one font may add up to, declared or decoded: beyond
# the largest font families ship (a CJK font is about 20 MB, a colour emoji
# font 11 MB) and small enough that a hostile header cannot make a reader
# hold more than this in memory.
MAX_TABLE_BYTES = 128 << 20
# What a font may declare itself made of: an SFNT's directory is counted in
# 16 bits, but no real font comes near this.
MAX_TABLES = 1024
