"""The digest that a data-hash assertion carries: every byte of the font
outside the exclusion ranges, in file order."""
from __future__ import annotations

from typing import Iterable, Tuple

ALGORITHMS = ("sha256", "sha384", "sha512")


def hash_outside(font: bytes, ranges: Iterable[Tuple[int, int]], algorithm: str = "sha256") -> str:
    """The hex digest of `font` without the bytes that `ranges` cover.

    `ranges` are (start, length) pairs as data_hash_ranges returns them
    (ascending, not overlapping); overlapping or unsorted ones are handled
    too, each byte being left out once.
    """
    import hashlib

    digest = hashlib.new(algorithm)
    view = memoryview(font)
    position = 0
    for start, length in sorted(ranges):
        if start > position:
            digest.update(view[position:start])
        position = max(position, start + length)
    digest.update(view[position:])
    return digest.hexdigest()
