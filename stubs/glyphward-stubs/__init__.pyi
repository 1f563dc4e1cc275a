"""Type information for glyphward, the C2PA-in-fonts extension module.

Every function takes the bytes of one SFNT font (TrueType or OpenType; not a
collection, not WOFF or WOFF2) and returns a new object; the caller's bytes are
never changed. Fonts must be `bytes` (or a subclass): `bytearray` and
`memoryview` are refused at run time with TypeError. Malformed fonts and C2PA
tables raise ValueError with a message naming the fault. A failure inside the
module's native code raises PanicException, which derives from BaseException
and is not importable from glyphward.
"""

from typing import List, Optional, Sequence, SupportsIndex, Tuple

__all__ = [
    "embed_manifest_store",
    "embed_remote",
    "read_manifest_store",
    "read_manifest_uri_str",
    "remove_manifest_table",
    "is_compliant",
    "reserve_manifest_placeholder",
    "data_hash_ranges",
    "fill_manifest_store",
]

def embed_manifest_store(font: bytes, manifest_store: Sequence[SupportsIndex]) -> bytes:
    """Embed a signed Manifest Store into a font's `C2PA` table.

    `manifest_store` is any sequence of integers 0 to 255 except `str`
    (`bytes`, `bytearray`, `list[int]`, ...); other values raise OverflowError.
    Returns the new font, whose one `C2PA` table holds only that store.
    """

def embed_remote(font: bytes, uri: str) -> bytes:
    """Embed a remote manifest URI into a font's `C2PA` table.

    Returns the new font, whose one `C2PA` table holds only that URI.
    """

def read_manifest_store(font: bytes) -> bytes:
    """Read the embedded Manifest Store from a font.

    Raises ValueError when the font has no `C2PA` table or its table has no
    store.
    """

def read_manifest_uri_str(font: bytes) -> Optional[str]:
    """Read the active manifest URI from a font, if present.

    Returns None when the `C2PA` table holds no URI; raises ValueError when
    the font has no `C2PA` table.
    """

def remove_manifest_table(font: bytes) -> bytes:
    """Remove the `C2PA` table from a font.

    Returns the new font without any `C2PA` table.
    """

def is_compliant(font: bytes) -> bool:
    """Whether the font has a well-formed `C2PA` table with intact checksums.

    False for a font without a `C2PA` table, with a table holding neither a
    URI nor a store, or whose whole-font checksum does not match; ValueError
    for a malformed font or `C2PA` table, or more than one `C2PA` table.
    """

def reserve_manifest_placeholder(font: bytes, reserve_size: SupportsIndex, uri: Optional[str] = None) -> bytes:
    """Reserve `reserve_size` bytes for a manifest, returning the font with a
    zero-filled placeholder.

    `reserve_size` must be at least 1 (0 raises ValueError, a negative value
    OverflowError). `uri`, when given, becomes the table's active manifest URI.
    """

def data_hash_ranges(font: bytes) -> List[Tuple[int, int]]:
    """The `c2pa.hash.data` exclusion ranges for a reserved font, as
    `[(start, length), ...]`.

    Two or three ranges in ascending order of start: the Manifest Store, the
    checksum field of the `C2PA` table record and, when the font has a `head`
    table, its checkSumAdjustment. Raises ValueError when the font has no
    `C2PA` table with an embedded store.
    """

def fill_manifest_store(reserved_font: bytes, signed_manifest: bytes) -> bytes:
    """Fill a reserved font's Manifest Store with signed bytes (<= reserved size).

    The store keeps its reserved size: the signed manifest is followed by
    zeros. For a font made by reserve_manifest_placeholder, no byte outside
    the ranges of data_hash_ranges changes. Raises ValueError when the font
    has no `C2PA` table with a store, or the signed manifest is longer than
    the store.
    """
