"""The WOFF2 table transforms undone, byte for byte as google/woff2's reference
decoder (woff2_dec.cc, what browsers use) undoes them.

The functions take the tables of an ALREADY DECOMPRESSED WOFF2 font stream
(the module has no brotli): the caller reads the WOFF2 header and table
directory, decompresses the stream and slices out each transformed table.
Every malformed input raises ValueError, in time and memory bounded by the
input and by the size limits given; nothing else is raised for bad data.
"""

from typing import Tuple

__all__ = ["reconstruct_glyf", "reconstruct_hmtx"]

def reconstruct_glyf(
    transformed_glyf: bytes, loca_length: int, max_glyf_length: int, *, overlap_bitmap: bool = True
) -> Tuple[bytes, bytes]:
    """Rebuild ``(glyf, loca)`` from a transformed ``glyf`` table (W3C WOFF2, 5.1, 5.2).

    ``loca_length`` is the ``loca`` entry's origLength from the WOFF2 table
    directory; as in the reference decoder it must equal
    ``(indexFormat ? 4 : 2) * (numGlyphs + 1)``, which also fixes the
    ``loca`` format written. ``max_glyf_length`` bounds the rebuilt ``glyf``
    (the reference decoder bounds a whole font at 30 MiB): a stream that
    would rebuild more raises ValueError before the memory is taken.

    The bytes are the reference decoder's: each glyph padded with zeros to a
    multiple of four; simple glyphs with flags repeated in runs of at most 255,
    each coordinate in the shortest of zero, one or two bytes, the bounding box
    from the bbox stream or else computed from the points, OVERLAP_SIMPLE on
    the first flag of glyphs set in overlapSimpleBitmap; composite glyphs and
    instructions copied. Where the reference would wrap short ``loca`` offsets
    past 0x1FFFE (a font no renderer accepts), this raises ValueError.

    ``overlap_bitmap=False`` decodes as google/woff2 1.0.2 (Debian's
    ``woff2`` package, which predates the bitmap) does: the bitmap is ignored
    and no glyph gets OVERLAP_SIMPLE. The two differ only for tables whose
    flags announce an overlapSimpleBitmap (fontTools' encoder writes one for
    fonts with OVERLAP_SIMPLE glyphs; woff2_compress 1.0.2 never does).
    """

def reconstruct_hmtx(transformed_hmtx: bytes, num_glyphs: int, num_hmetrics: int, glyf: bytes, loca: bytes) -> bytes:
    """Rebuild ``hmtx`` from a transformed ``hmtx`` table (W3C WOFF2, 5.4).

    ``num_glyphs`` is the transformed ``glyf`` table's numGlyphs and
    ``num_hmetrics`` the font's ``hhea.numberOfHMetrics`` (1 to
    ``num_glyphs``). Left side bearings the transform left out are the
    glyphs' xMin, read from ``glyf`` through ``loca`` (as returned by
    :func:`reconstruct_glyf`; short or long offsets, told apart by its length);
    a glyph without outline data has 0, as in the reference decoder.
    """
