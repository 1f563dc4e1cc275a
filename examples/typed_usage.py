#!/usr/bin/env python3
"""Every glyphward function, used with its declared types.

    usage: typed_usage.py [FONT]

Type-checked with `mypy --strict` against the stubs that the wheel installs
(scripts/check-types.sh), and runnable: with no FONT it uses DejaVuSans.
"""
from __future__ import annotations

import hashlib
import sys
from pathlib import Path
from typing import List, Optional, Sequence, Tuple

import glyphward

DEFAULT_FONT = Path("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf")

Range = Tuple[int, int]


def hash_outside(font: bytes, ranges: Sequence[Range]) -> bytes:
    """SHA-256 of the font's bytes outside the exclusion ranges."""
    digest = hashlib.sha256()
    position = 0
    for start, length in ranges:
        digest.update(font[position:start])
        position = max(position, start + length)
    digest.update(font[position:])
    return digest.digest()


def sign(reserved: bytes, ranges: List[Range]) -> bytes:
    """Stands in for the real signer: any bytes that fit the reservation."""
    return b"signed:" + hash_outside(reserved, ranges)


def main(argv: Sequence[str]) -> int:
    font: bytes = Path(argv[1] if len(argv) > 1 else DEFAULT_FONT).read_bytes()

    # Embedding takes any sequence of byte values, and a URI as str.
    store: bytes = bytes(range(256))
    embedded: bytes = glyphward.embed_manifest_store(font, store)
    assert glyphward.embed_manifest_store(font, bytearray(store)) == embedded
    assert glyphward.embed_manifest_store(font, list(store)) == embedded
    assert glyphward.read_manifest_store(embedded) == store
    remote: bytes = glyphward.embed_remote(font, "https://example.com/font.c2pa")

    uri: Optional[str] = glyphward.read_manifest_uri_str(remote)
    print("remote manifest:", uri if uri is not None else "(none)")
    compliant: bool = glyphward.is_compliant(embedded)
    print("embedded font compliant:", compliant)

    # The two-pass signing workflow.
    reserve_size = 1024
    reserved = glyphward.reserve_manifest_placeholder(font, reserve_size, uri="https://example.com/m")
    ranges: List[Tuple[int, int]] = glyphward.data_hash_ranges(reserved)
    signed = glyphward.fill_manifest_store(reserved, sign(reserved, ranges))
    assert hash_outside(signed, ranges) == hash_outside(reserved, ranges)
    assert glyphward.data_hash_ranges(signed) == ranges
    for start, length in ranges:
        print(f"excluded: {length} bytes at {start}")

    stripped: bytes = glyphward.remove_manifest_table(signed)
    try:
        glyphward.read_manifest_store(stripped)
    except ValueError as error:
        print("after removal:", error)
    print("names:", ", ".join(glyphward.__all__))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
