"""The general box hash, `c2pa.hash.boxes`, for fonts (C2PA 2.2, 18.7 with
18.7.3.6; validated as 15.12.3 with 15.12.3.2 says).

Each table of the font is a box, named by its tag and listed in table
directory order; the table directory itself is not hashed; the `head` table
is hashed with its checkSumAdjustment as zero; the `C2PA` table's box has
the hash 0x00 and is never hashed, since it holds the manifest.

Since the directory is not hashed, a tampered directory could otherwise
point a table at bytes no box binds. Validation therefore holds every table
to exactly one box, and each box to its tables:

- Names. The boxes name the font's tables one for one, in directory order
  (a name without the trailing spaces of a short tag names that tag). A
  table that no box names, counted one by one (a second record with a tag
  already named is a table no box covers), is
  assertion.boxesHash.unknownBox (15.12.3.2); names in another order are
  assertion.boxesHash.mismatch (15.12.3). A list of more boxes, or more
  names, than the font has tables cannot name each table once: it is
  assertion.boxesHash.mismatch, found before the rest of the list is read,
  so that validation costs time linear in the font's table count.
- A box of several tables is hashed from its first table's start to its
  last table's end (15.12.3), and must consist of exactly its tables:
  each, in directory order, begins where the one before it ends, or at the
  next multiple of 4 after that end, and the (at most 3) bytes between are
  zeros, the padding an SFNT writer leaves to align a table. No table of
  another box (the `C2PA` table included) has bytes inside that span; an
  empty table reads nothing and may lie anywhere. Otherwise a middle
  table's record could be pointed at bytes outside the span, at other
  bytes inside it, or at its neighbour's, while the span's hash still
  matches: assertion.boxesHash.mismatch.
- The spans of all boxes add up to no more than the font, so that hashing
  reads each byte about once (tables of one box each may share bytes).
- Each box's hash is compared whole; a box without one does not match.
- The excluded field (18.7.1) is honoured only for the `C2PA` table's box
  and for a box of the `DSIG` table alone: 9.2.5 leaves only asset
  metadata out of a binding, and of a font's tables only DSIG, a signature
  over the whole font made after its `C2PA` table, is read by no renderer.
  Any other box marked excluded is hashed and compared as if it were not.

What the standard's grouping cannot bind: where one table of a box ends and
the next begins. Their records, outside the hash, may move bytes from the
end of one table to the start of the next (in steps of 4, or of 1 where the
generator packed tables without padding); a generator that wants each
table's extent bound gives each table its own box, as glyphward does.
Bytes that no table record points at (after the last table, or between
boxes) are read by no renderer and need no binding.

Messages list at most LISTED names, each through `shown`, and at most
LISTED boxes that do not match have a status of their own.
"""
from __future__ import annotations

import hashlib
from bisect import bisect_left
from collections import Counter
from dataclasses import dataclass
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
# The boxes whose excluded field is honoured: the manifest's own and a DSIG
# table's (C2PA 2.2, 9.2.5: only asset metadata is left out of a binding).
EXCLUDABLE = (["C2PA"], ["DSIG"])
LISTED = 8  # names a message lists at most


def table_hash(font: Font, table: Table, algorithm: str) -> bytes:
    """The hash of one table's bytes, checkSumAdjustment zeroed in `head`."""
    return span_hash(font, [table], algorithm)


def span_hash(font: Font, span: Sequence[Table], algorithm: str) -> bytes:
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
    """The assertion for `font` as it is written, its `C2PA` table holding a
    placeholder or a remote URI: one box per table, in the order of the
    font's table directory (`tables`), the `C2PA` table's box excluded (C2PA
    2.2, 18.7.3.6 leaves the grouping to the claim generator: one box each
    keeps the hashes valid when the font is re-packaged)."""
    boxes = []
    for table in tables:
        if table.tag == C2PA:
            boxes.append({"names": [C2PA_BOX], "hash": C2PA_HASH, "pad": b""})
            continue
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


def listed(names: Sequence[Any], separator: str = ", ") -> str:
    """Names for a message: the first LISTED, each through `shown`, then how
    many more."""
    text = separator.join(shown(name) for name in names[:LISTED])
    return text + (f" and {len(names) - LISTED} more" if len(names) > LISTED else "")


def _label(names: Sequence[str]) -> str:
    return ("table " if len(names) == 1 else "tables ") + listed(names, "+")


@dataclass
class _Box:
    """One entry of the boxes array, read."""
    names: List[str]
    digest: Optional[bytes]
    excluded: bool
    alg: Any
    tables: Sequence[Table] = ()

    @property
    def start(self) -> int:
        return self.tables[0].offset

    @property
    def end(self) -> int:
        return self.tables[-1].offset + self.tables[-1].length


Problem = Tuple[str, str]  # (failure code, explanation)


def read_boxes(value: Any, claim_alg: Optional[str], table_count: int) -> Union[List[_Box], Problem]:
    """The boxes array (C2PA 2.2, 15.12.3), read without reading more entries
    or names than the font has tables: a longer list cannot name each table
    once, and is refused before it is read."""
    def malformed(why: str) -> Problem:
        return "assertion.boxesHash.malformed", why

    def too_many(what: str) -> Problem:
        return "assertion.boxesHash.mismatch", f"the box hash lists {what}, and the font has {table_count} tables"

    if not isinstance(value, dict) or not isinstance(value.get("boxes"), list) or not value["boxes"]:
        return malformed("the box hash has no list of boxes")
    entries = value["boxes"]
    if len(entries) > table_count:
        return too_many(f"{len(entries)} boxes")
    outer_alg = value.get("alg", claim_alg)
    boxes: List[_Box] = []
    count = 0
    for index, entry in enumerate(entries):
        if not isinstance(entry, dict):
            return malformed(f"box {index} is not a map")
        names = entry.get("names")
        if not isinstance(names, list) or not names:
            return malformed(f"box {index} has no list of box names")
        count += len(names)
        if count > table_count:
            return too_many(f"at least {count} names")
        if not all(isinstance(name, str) and name for name in names):
            return malformed(f"box {index} has no list of box names")
        names = [_name(name) for name in names]
        if C2PA_BOX in names and len(names) > 1:
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
        boxes.append(_Box(names, digest, excluded, entry.get("alg", outer_alg)))
    return boxes


def match_tables(boxes: List[_Box], tables: Sequence[Table]) -> Optional[Problem]:
    """Gives each box its tables: the boxes name the font's tables one for
    one, in table directory order (C2PA 2.2, 15.12.3, 15.12.3.2, 18.7.3.6)."""
    listed_names = [name for box in boxes for name in box.names]
    present = [table.name for table in tables]
    uncovered = list((Counter(present) - Counter(listed_names)).elements())
    if uncovered:
        return ("assertion.boxesHash.unknownBox",
                f"the font has tables no box of the hash covers: {listed(uncovered)}")
    if listed_names != present:
        return "assertion.boxesHash.mismatch", "the font's tables are not in the order the box hash lists them"
    position = 0
    for box in boxes:
        box.tables = tables[position:position + len(box.names)]
        position += len(box.names)
    return None


def check_layout(boxes: List[_Box], font: Font) -> Optional[Problem]:
    """Why the tables do not lie where their boxes can bind them, or None: a
    box of several tables holds only them and their alignment padding, no
    other table lies in its span, and the spans add up to no more than the
    font (see the module's docstring)."""
    def mismatch(why: str) -> Problem:
        return "assertion.boxesHash.mismatch", why

    view = memoryview(font)
    for box in boxes:
        for before, table in zip(box.tables, box.tables[1:]):
            end = before.offset + before.length
            if table.offset not in (end, (end + 3) & ~3):
                return mismatch(f"table {shown(table.name)} does not begin where {shown(before.name)} ends (or at "
                                "the next multiple of 4), as tables of one box must")
            if bytes(view[end:table.offset]).count(0) != table.offset - end:
                return mismatch(f"bytes other than zeros lie between tables {shown(before.name)} and "
                                f"{shown(table.name)}")
    grouped = sorted((box for box in boxes if len(box.tables) > 1 and box.end > box.start), key=lambda box: box.start)
    for box, after in zip(grouped, grouped[1:]):
        if after.start < box.end:
            return mismatch(f"the boxes of {_label(box.names)} and {_label(after.names)} overlap in the font")
    starts = [box.start for box in grouped]
    for table in (box.tables[0] for box in boxes if len(box.tables) == 1 and box.tables[0].length):
        around = bisect_left(starts, table.offset + table.length) - 1  # the last span to begin before its end
        if around >= 0 and grouped[around].end > table.offset:
            return mismatch(f"table {shown(table.name)} lies in the box of {_label(grouped[around].names)}")
    if sum(box.end - box.start for box in boxes) > len(font):
        return mismatch("the boxes of the hash overlap in the font")
    return None


# sfntVersion (OpenType, "Table directory"): what a renderer takes the outlines
# to be. 0x00010000 or 'true' for TrueType outlines, 'OTTO' for CFF or CFF2.
_TRUETYPE_VERSIONS = (b"\x00\x01\x00\x00", b"true")
_CFF_TABLES = (b"CFF ", b"CFF2")


def check_header(font: Font, tables: Sequence[Table]) -> Optional[Problem]:
    """Why the font's sfntVersion does not fit its tables, or None. The table
    directory is not hashed (C2PA 2.2, 18.7.3.6), but its records are bound
    by the boxes' names and spans; its sfntVersion is not, and a renderer
    refuses a font whose version contradicts its outlines: it must say
    'OTTO' exactly when the font has a CFF or CFF2 table."""
    version = bytes(memoryview(font)[:4])
    cff = any(table.tag in _CFF_TABLES for table in tables)
    if (version == b"OTTO") != cff or (not cff and version not in _TRUETYPE_VERSIONS):
        return ("assertion.boxesHash.mismatch", f"the font's sfntVersion {shown(version)} does not fit its "
                "outlines (" + ("CFF" if cff else "TrueType or none") + "): it is not the font that was signed")
    return None


def _refuse(log: StatusLog, problem: Problem, url: str) -> bool:
    log.add(problem[0], problem[1], url)
    return False


def validate(value: Any, font: Font, tables: Sequence[Table], claim_alg: Optional[str], log: StatusLog,
             url: str, known: Optional["KnownDigests"] = None) -> bool:
    """Checks the assertion against the font (C2PA 2.2, 15.12.3 and
    15.12.3.2); records the codes in `log`; True when the binding matches.
    `known` spares hashing a table whose bytes it shows it hashed."""
    boxes = read_boxes(value, claim_alg, len(tables))
    if isinstance(boxes, tuple):
        return _refuse(log, boxes, url)
    problem = match_tables(boxes, tables) or check_layout(boxes, font) or check_header(font, tables)
    if problem is not None:
        return _refuse(log, problem, url)

    mismatched: List[str] = []
    for box in boxes:
        if box.names == [C2PA_BOX]:
            continue  # the manifest's own box (C2PA 2.2, 18.7.1)
        if not isinstance(box.alg, str) or box.alg not in HASH_ALGORITHMS:
            log.add("algorithm.unsupported", f"the box hash of {shown(box.names[0])} names no allowed hash algorithm "
                    f"({shown(box.alg)})" if box.alg is not None else
                    f"no hash algorithm is given for the box of {shown(box.names[0])}", url)
            return False
        if box.excluded and box.names in EXCLUDABLE:
            continue
        why = (" (its box is marked excluded, which C2PA 2.2, 9.2.5 allows only for asset metadata: in a font, "
               "the DSIG table)" if box.excluded else "")
        if box.digest is None:
            mismatched.append(f"the box of {_label(box.names)} has no hash{why}")
            continue
        computed = (known.span(font, box.tables, box.alg) if known is not None else None) or \
            span_hash(font, box.tables, box.alg)
        if computed != box.digest:
            mismatched.append(f"the hash of {_label(box.names)} does not match{why}")
    # One status for each box that does not match, up to LISTED of them.
    for why in mismatched[:LISTED]:
        log.add("assertion.boxesHash.mismatch", why, url)
    if len(mismatched) > LISTED:
        log.add("assertion.boxesHash.mismatch", f"and {len(mismatched) - LISTED} more boxes do not match", url)
    if not mismatched:
        log.add("assertion.boxesHash.match", "every table's hash matches", url)
    return not mismatched
