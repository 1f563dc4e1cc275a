"""The general box hash, `c2pa.hash.boxes`, for fonts (C2PA 2.2, 18.7 with
18.7.3.6; validated as 15.12.3 with 15.12.3.2 says).

Each table of the font is a box, named by its tag and listed in table
directory order; the table directory itself is not hashed; the `head` table
is hashed with its checkSumAdjustment as zero; the `C2PA` table's box has
the hash 0x00 and is never hashed, since it holds the manifest.
"""
from __future__ import annotations

import hashlib
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple, Union

from ..labels import HASH_ALGORITHMS
from ..sfnt import C2PA, HEAD, HEAD_ADJUSTMENT, Table
from ..shown import shown
from ..status import StatusLog

if TYPE_CHECKING:
    from ..digests import KnownDigests

Font = Union[bytes, memoryview]
C2PA_BOX = "C2PA"
C2PA_HASH = b"\x00"  # C2PA 2.2, 18.7.1: the manifest box's hash is the single byte 0


def table_hash(font: Font, table: Table, algorithm: str) -> bytes:
    """The hash of one table's bytes, checkSumAdjustment zeroed in `head`."""
    return _span_hash(font, [table], algorithm)


def _span_hash(font: Font, span: Sequence[Table], algorithm: str) -> bytes:
    """The hash from the start of the first table to the end of the last
    (C2PA 2.2, 15.12.3: a box of several names covers everything between
    them), with checkSumAdjustment zeroed wherever `head` lies in it."""
    view = memoryview(font)
    start = span[0].offset
    end = span[-1].offset + span[-1].length
    digest = hashlib.new(algorithm)
    cursor = start
    for table in span:
        if table.tag == HEAD and table.length >= HEAD_ADJUSTMENT + 4:
            field = table.offset + HEAD_ADJUSTMENT
            if start <= field and field + 4 <= end:
                digest.update(view[cursor:field])
                digest.update(bytes(4))
                cursor = field + 4
    digest.update(view[cursor:end])
    return digest.digest()


def build(font: Font, tables: Sequence[Table], algorithm: str,
          known: Optional["KnownDigests"] = None) -> Dict[str, Any]:
    """The assertion for the font that `glyphward` writes from `font`: its
    tables (but any `C2PA` table) and a new `C2PA` table, in tag order,
    which is the order of the written font's table directory; one box per
    table (C2PA 2.2, 18.7.3.6 leaves the grouping to the claim generator:
    one box each keeps the hashes valid when the font is re-packaged)."""
    kept = [table for table in tables if table.tag != C2PA]
    ordered: List[Optional[Table]] = sorted(kept + [None], key=lambda table: C2PA if table is None else table.tag)
    boxes = []
    for table in ordered:
        if table is None:
            boxes.append({"names": [C2PA_BOX], "hash": C2PA_HASH, "pad": b""})
        else:
            digest = table_hash(font, table, algorithm)
            if known is not None:
                known.table_digests[(table.tag, algorithm)] = digest
            boxes.append({"names": [table.name], "hash": digest, "pad": b""})
    return {"alg": algorithm, "boxes": boxes}


def grow(value: Dict[str, Any], grow_by: int) -> None:
    """Makes the assertion's encoding `grow_by` bytes longer through the
    boxes' zero-filled `pad` fields (C2PA 2.2, 18.7.1), the first box's and,
    where its head's growth skips the length, the second's."""
    from .hash_data import padding_alone

    boxes = value["boxes"]
    alone = padding_alone(grow_by)
    if alone is not None:
        boxes[0]["pad"] = bytes(alone)
        return
    for second in range(1, 64):
        first, rest = padding_alone(grow_by - second), padding_alone(second)
        if first is not None and rest is not None and len(boxes) > 1:
            boxes[0]["pad"], boxes[1]["pad"] = bytes(first), bytes(rest)
            return
    raise ValueError(f"the box hash cannot grow by {grow_by} bytes")


def _name(tag_or_name: Union[bytes, str]) -> str:
    if isinstance(tag_or_name, bytes):
        tag_or_name = tag_or_name.decode("latin-1")
    return tag_or_name.rstrip(" ")


def validate(value: Any, font: Font, tables: Sequence[Table], claim_alg: Optional[str], log: StatusLog,
             url: str, known: Optional["KnownDigests"] = None) -> bool:
    """Checks the assertion against the font (C2PA 2.2, 15.12.3 and
    15.12.3.2); records the codes in `log`; True when the binding matches.
    `known` spares hashing a table whose bytes it shows it hashed."""
    def malformed(why: str) -> bool:
        log.add("assertion.boxesHash.malformed", why, url)
        return False

    if not isinstance(value, dict) or not isinstance(value.get("boxes"), list) or not value["boxes"]:
        return malformed("the box hash has no list of boxes")
    outer_alg = value.get("alg", claim_alg)
    boxes: List[Tuple[List[str], Optional[bytes], bool, Any]] = []
    for index, entry in enumerate(value["boxes"]):
        if not isinstance(entry, dict):
            return malformed(f"box {index} is not a map")
        names = entry.get("names")
        if not isinstance(names, list) or not names or not all(isinstance(name, str) and name for name in names):
            return malformed(f"box {index} has no list of box names")
        if C2PA_BOX in [_name(name) for name in names] and len(names) > 1:
            return malformed(f"box {index} groups the C2PA table with other tables (C2PA 2.2, 18.7.1 lists "
                             "it in its own box)")
        digest = entry.get("hash")
        if digest is not None and not isinstance(digest, bytes):
            return malformed(f"the hash of box {index} is not a byte string")
        excluded = entry.get("excluded", False)
        if not isinstance(excluded, bool):
            return malformed(f"the excluded field of box {index} is not a boolean")
        pad = entry.get("pad", b"")
        if not isinstance(pad, bytes) or pad.count(0) != len(pad):
            return malformed(f"the pad of box {index} is not a zero-filled byte string")
        boxes.append(([_name(name) for name in names], digest, excluded, entry.get("alg", outer_alg)))

    # C2PA 2.2, 15.12.3.2: every table must be covered by a box.
    listed = [name for names, _, _, _ in boxes for name in names]
    present = [_name(table.tag) for table in tables]
    listed_set = set(listed)
    uncovered = [name for name in present if name not in listed_set]
    if uncovered:
        log.add("assertion.boxesHash.unknownBox",
                f"the font has tables no box of the hash covers: {', '.join(repr(n) for n in uncovered)}", url)
        return False
    if listed != present:
        present_set = set(present)
        missing = [name for name in listed if name not in present_set]
        why = (f"the box hash lists tables the font lacks: {', '.join(repr(n) for n in missing)}" if missing else
               "the font's tables are not in the order the box hash lists them")
        log.add("assertion.boxesHash.mismatch", why, url)
        return False

    # Boxes of several tables hash from the first's start to the last's end:
    # spans that add up to more than the font overlap, and cannot all match.
    spans, position = 0, 0
    for names, _, _, _ in boxes:
        first, last = tables[position], tables[position + len(names) - 1]
        spans += max(0, last.offset + last.length - first.offset)
        position += len(names)
    if spans > len(font):
        log.add("assertion.boxesHash.mismatch", "the boxes of the hash overlap in the font", url)
        return False

    matched = True
    position = 0
    for names, digest, excluded, alg in boxes:
        span = list(tables[position:position + len(names)])
        position += len(names)
        if names == [C2PA_BOX]:
            continue  # the manifest's own box (C2PA 2.2, 18.7.1)
        if not isinstance(alg, str) or alg not in HASH_ALGORITHMS:
            log.add("algorithm.unsupported", f"the box hash of {names[0]!r} names no allowed hash algorithm "
                    f"({shown(alg)})" if alg is not None else
                    f"no hash algorithm is given for the box of {names[0]!r}", url)
            return False
        if excluded:
            continue
        label = "+".join(repr(name) for name in names)
        if span[-1].offset + span[-1].length < span[0].offset:
            log.add("assertion.boxesHash.mismatch", f"the tables {label} are not in file order", url)
            matched = False
        elif digest is None or ((known.span(font, span, alg) if known is not None else None)
                                or _span_hash(font, span, alg)) != digest:
            log.add("assertion.boxesHash.mismatch",
                    f"the hash of table {label} does not match" if len(names) == 1 else
                    f"the hash of tables {label} does not match", url)
            matched = False
    if matched:
        log.add("assertion.boxesHash.match", "every table's hash matches", url)
    return matched
