"""The data hash, `c2pa.hash.data` (C2PA 2.2, 18.5; validated as 15.12.1
says): one hash over every byte of the font outside its exclusion ranges,
which for a font are what `glyphward.data_hash_ranges` reports: the
Manifest Store, the `C2PA` table record's checksum and the `head` table's
checkSumAdjustment.

Validation allows exactly those exclusions (C2PA 2.2, 15.12.1.1 with
9.2.5, 18.5.1: an exclusion holds the Manifest Store and padding, or asset
metadata; the table directory and the tables are what a renderer reads):

- the exclusion that overlaps the Manifest Store starts where the store
  starts, covers it, ends inside the `C2PA` table's store field, and
  holds only zeros after the store;
- every other exclusion lies inside one of the two checksum fields that
  `glyphward.data_hash_ranges` reports besides the store (the checksums
  change when the manifest is filled in, and no renderer draws from
  them); these are reported as assertion.dataHash.additionalExclusionsPresent
  (informational), as 15.12.1.1 asks for any exclusion but the store's.

Any other exclusion (a table, part of the table directory, a byte next
to a checksum) is assertion.dataHash.mismatch, whatever the hash.
"""
from __future__ import annotations

import hashlib
from typing import TYPE_CHECKING, Any, Dict, Iterable, List, Optional, Sequence, Tuple, Union

from ..labels import HASH_ALGORITHMS
from ..sfnt import StoreField, Table
from ..shown import shown
from ..status import StatusLog

if TYPE_CHECKING:
    from ..digests import KnownDigests

Font = Union[bytes, memoryview]
Range = Tuple[int, int]
LISTED = 8  # ranges a message lists at most


def hash_outside(font: Font, ranges: Iterable[Range], algorithm: str) -> bytes:
    """The hash of every byte of `font` outside `ranges`, in file order.

    `ranges` are (start, length) pairs as data_hash_ranges returns them
    (ascending, not overlapping); unsorted or overlapping ones are taken
    too, each byte being left out once."""
    view = memoryview(font)
    digest = hashlib.new(algorithm)
    position = 0
    for start, length in sorted(ranges):
        if start > position:
            digest.update(view[position:start])
        position = max(position, start + length)
    digest.update(view[position:])
    return digest.digest()


def build(exclusions: Sequence[Range], algorithm: str, digest: bytes, pad: int = 0,
          pad2: Optional[int] = None) -> Dict[str, Any]:
    """The assertion; `pad` and `pad2` are the lengths of the zero-filled
    byte strings that make it the size multiple step processing needs
    (C2PA 2.2, 10.4.4)."""
    value: Dict[str, Any] = {
        "exclusions": [{"start": start, "length": length} for start, length in exclusions],
        "alg": algorithm,
        "hash": digest,
        "pad": bytes(pad),
    }
    if pad2 is not None:
        value["pad2"] = bytes(pad2)
    return value


def _head(length: int) -> int:
    """The length of the CBOR head of a byte string of `length` bytes."""
    return 1 if length < 24 else 2 if length < 0x100 else 3 if length < 0x10000 else 5 if length < 1 << 32 else 9


def padding_alone(grow: int) -> Optional[int]:
    """The length of a byte string whose encoding is `grow` bytes longer than
    an empty one's, or None where the head's growth skips `grow`."""
    return _pad_for(grow)


def _pad_for(grow: int) -> Optional[int]:
    """The pad length whose encoding is `grow` bytes longer than an empty pad's."""
    for head in (1, 2, 3, 5, 9):
        length = grow + 1 - head
        if length >= 0 and _head(length) == head:
            return length
    return None


def padding(grow: int) -> Tuple[int, Optional[int]]:
    """Lengths of `pad` and `pad2` that make the assertion's encoding exactly
    `grow` bytes longer than with an empty pad and no pad2 (C2PA 2.2,
    10.4.4: not every growth can be reached with `pad` alone, since the
    length of its CBOR head jumps)."""
    if grow < 0:
        raise ValueError("the assertion cannot shrink")
    alone = _pad_for(grow)
    if alone is not None:
        return alone, None
    for pad2 in range(0, 64):
        rest = grow - (5 + _head(pad2) + pad2)  # "pad2" key: 5 bytes; its byte string
        if rest < 0:
            break
        pad = _pad_for(rest)
        if pad is not None:
            return pad, pad2
    raise ValueError(f"no padding grows the assertion by {grow} bytes")  # unreachable for grow >= 0


def _ranges(ranges: Sequence[Range]) -> str:
    """Ranges for a message: the first LISTED, then how many more."""
    text = ", ".join(f"{shown(length)} at {shown(start)}" for start, length in ranges[:LISTED])
    return text + (f" and {len(ranges) - LISTED} more" if len(ranges) > LISTED else "")


def checksum_fields(font: Font, store: Optional[StoreField]) -> List[Range]:
    """The ranges `glyphward.data_hash_ranges` reports besides the store:
    the `C2PA` table record's checksum and head.checkSumAdjustment (none
    where it finds the font unfit)."""
    import glyphward

    try:
        ranges = glyphward.data_hash_ranges(font if isinstance(font, bytes) else bytes(font))
    except ValueError:
        return []
    return [(start, length) for start, length in ranges
            if store is None or not (start < store.offset + store.length and store.offset < start + length)]


def _inside(excluded: Range, fields: Sequence[Range]) -> bool:
    """Whether the range lies inside one of `fields` (an empty range excludes nothing, and may lie anywhere)."""
    start, length = excluded
    return length == 0 or any(begin <= start and start + length <= begin + size for begin, size in fields)


def validate(value: Any, font: Font, store: Optional[StoreField], store_length: int, claim_alg: Optional[str],
             log: StatusLog, url: str, tables: Sequence[Table] = (), known: Optional["KnownDigests"] = None) -> bool:
    """Checks the assertion against the font (C2PA 2.2, 15.12.1); records the
    codes in `log`; True when the binding matches. `store` is the `C2PA`
    table's Manifest Store field and `store_length` the length of the
    Manifest Store (the JUMBF box) at its start; `known` spares hashing a
    font whose bytes it shows it hashed."""
    def malformed(why: str) -> bool:
        log.add("assertion.dataHash.malformed", why, url)
        return False

    def mismatch(why: str) -> bool:
        log.add("assertion.dataHash.mismatch", why, url)
        return False

    if not isinstance(value, dict):
        return malformed("the data hash is not a map")
    raw = value.get("exclusions", [])
    if not isinstance(raw, list):
        return malformed("the exclusions are not a list")
    exclusions: List[Range] = []
    for index, entry in enumerate(raw):
        if not isinstance(entry, dict) or not all(isinstance(entry.get(key), int) and
                                                  not isinstance(entry.get(key), bool)
                                                  for key in ("start", "length")):
            return malformed(f"exclusion {index} has no whole-number start and length")
        start, length = entry["start"], entry["length"]
        if start < 0 or length < 0:
            return malformed(f"exclusion {index} has a negative start or length")
        if exclusions and sum(exclusions[-1]) > start:
            return malformed(f"exclusion {index} begins before the end of the one before it")
        exclusions.append((start, length))
    for name in ("pad", "pad2"):
        pad = value.get(name, b"")
        if not isinstance(pad, bytes) or pad.count(0) != len(pad):
            return malformed(f"{name} is not a zero-filled byte string")
    alg = value.get("alg", claim_alg)
    if not isinstance(alg, str) or alg not in HASH_ALGORITHMS:
        log.add("algorithm.unsupported", f"the data hash names no allowed hash algorithm ({shown(alg)})"
                if alg is not None else "no hash algorithm is given for the data hash", url)
        return False
    digest = value.get("hash")
    if not isinstance(digest, bytes):
        return mismatch("the data hash has no hash")
    if exclusions and sum(exclusions[-1]) > len(font):
        return mismatch("an exclusion range ends beyond the end of the font")

    # C2PA 2.2, 15.12.1.1: the exclusion holding the Manifest Store may hold
    # nothing else but padding.
    others = exclusions
    if store is not None:
        holding = [(start, length) for start, length in exclusions
                   if start < store.offset + max(store_length, 1) and store.offset < start + length]
        if holding:
            start, length = holding[0]
            end = start + length
            if len(holding) > 1 or start != store.offset or end < store.offset + store_length:
                return mismatch("the exclusion range of the Manifest Store does not cover exactly the store")
            if end > store.offset + store.length:
                return mismatch("the exclusion range of the Manifest Store reaches beyond the C2PA table's "
                                "store field")
            tail = memoryview(font)[store.offset + store_length:end]
            if bytes(tail).count(0) != len(tail):
                return mismatch("the exclusion range of the Manifest Store holds data after the store "
                                "that is not zeros")
            others = [excluded for excluded in exclusions if excluded != holding[0]]
    fields = checksum_fields(font, store) if others else []
    stray = [excluded for excluded in others if not _inside(excluded, fields)]
    if stray:
        return mismatch("bytes other than the Manifest Store and the font's checksum fields are excluded from the "
                        "hash (C2PA 2.2, 15.12.1.1, 9.2.5): " + _ranges(stray))
    if others:
        log.add("assertion.dataHash.additionalExclusionsPresent",
                "bytes other than the Manifest Store are excluded from the hash: " + _ranges(others), url)
    computed = known.outside(font, tables, alg, exclusions) if known is not None else None
    if (computed or hash_outside(font, exclusions, alg)) != digest:
        return mismatch("the hash of the font outside the exclusion ranges does not match")
    log.add("assertion.dataHash.match", "the hash of the font outside the exclusion ranges matches", url)
    return True
