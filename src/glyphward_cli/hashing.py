"""The digest that a data-hash assertion carries, as the command prints it:
the C2PA layer's `hash_outside`, in hex."""
from __future__ import annotations

from typing import Iterable, Tuple

from glyphward_c2pa.algorithms import HASH_ALGORITHMS

ALGORITHMS = HASH_ALGORITHMS


def hash_outside(font: bytes, ranges: Iterable[Tuple[int, int]], algorithm: str = "sha256") -> str:
    """The hex digest of `font` without the bytes that `ranges` cover
    (start, length pairs, each byte left out once)."""
    from glyphward_c2pa.assertions.hash_data import hash_outside as digest_outside

    return digest_outside(font, ranges, algorithm).hex()
