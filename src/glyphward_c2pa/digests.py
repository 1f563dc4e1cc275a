"""Digests a signer already holds, for the validation of its own output.

A signer hashes the font's bytes to make the hard binding; validating the
signed font before writing it would hash them all again. Instead, a
`KnownDigests` shows that the signed font's bytes equal the bytes it hashed
(a byte comparison, several times cheaper than SHA-256) and gives the
digest it computed from them; where it cannot show that, the validator
hashes as usual. The validation is the same, only its arithmetic is shared.
"""
from __future__ import annotations

from typing import Dict, List, Optional, Sequence, Tuple, Union

from .sfnt import C2PA, HEAD, HEAD_ADJUSTMENT, Table

Font = Union[bytes, memoryview]


def _same(a: bytes, a_start: int, b: bytes, b_start: int, length: int) -> bool:
    """Whether a[a_start:+length] == b[b_start:+length], by memcmp, no copy."""
    if a_start + length > len(a) or b_start + length > len(b):
        return False
    return a.startswith(memoryview(b)[b_start:b_start + length], a_start)


def same_table(output: bytes, table: Table, source: bytes, original: Table) -> bool:
    """Whether a table of the output holds the bytes of the source's table,
    checkSumAdjustment aside in `head`."""
    if table.length != original.length:
        return False
    if table.tag == HEAD and table.length >= HEAD_ADJUSTMENT + 4:
        rest = HEAD_ADJUSTMENT + 4
        return _same(output, table.offset, source, original.offset, HEAD_ADJUSTMENT) and \
            _same(output, table.offset + rest, source, original.offset + rest, table.length - rest)
    return _same(output, table.offset, source, original.offset, table.length)


class KnownDigests:
    """The digests of the source font's tables (box hash) and of a reserved
    font outside its exclusions (data hash), with what is needed to show
    that a signed font's bytes are those."""

    def __init__(self, source: bytes, tables: Sequence[Table]):
        self.source = source
        self.tables: Dict[bytes, Table] = {table.tag: table for table in tables if table.tag != C2PA}
        self.table_digests: Dict[Tuple[bytes, str], bytes] = {}
        self.outside_digest: Optional[Tuple[str, bytes, List[Tuple[int, int]]]] = None
        self.layout: Optional[Tuple[int, bytes, bytes]] = None  # (length, directory, C2PA table header)

    def span(self, font: Font, span: Sequence[Table], alg: str) -> Optional[bytes]:
        """The digest of a box of one table, when the font's table holds the
        source's bytes."""
        if len(span) != 1 or not isinstance(font, bytes):
            return None
        digest = self.table_digests.get((span[0].tag, alg))
        original = self.tables.get(span[0].tag)
        if digest is None or original is None or not same_table(font, span[0], self.source, original):
            return None
        return digest

    def remember_outside(self, reserved: bytes, tables: Sequence[Table], alg: str, digest: bytes,
                         ranges: Sequence[Tuple[int, int]]) -> None:
        """Keeps the digest of a reserved font outside its exclusions, with
        its directory and C2PA table header, once its tables are shown to
        hold the source's bytes (then a font with the same layout, whose
        tables also hold them, has the same bytes outside the exclusions)."""
        c2pa = [table for table in tables if table.tag == C2PA]
        if len(c2pa) != 1 or not all(table.tag == C2PA or (table.tag in self.tables and same_table(
                reserved, table, self.source, self.tables[table.tag])) for table in tables):
            return
        first = min(table.offset for table in tables)
        self.layout = (len(reserved), reserved[:first], reserved[c2pa[0].offset:c2pa[0].offset + 20])
        self.outside_digest = (alg, digest, list(ranges))

    def outside(self, font: Font, tables: Sequence[Table], alg: str,
                ranges: Sequence[Tuple[int, int]]) -> Optional[bytes]:
        """The digest of the font outside its exclusions, when the font has
        the remembered layout and every table but C2PA holds the source's
        bytes, padded with zeros."""
        if self.layout is None or self.outside_digest is None or self.outside_digest[0] != alg \
                or self.outside_digest[2] != list(ranges) or not isinstance(font, bytes):
            return None
        length, directory, c2pa_header = self.layout
        if len(font) != length or not tables or min(table.offset for table in tables) != len(directory):
            return None
        for table in tables:
            if table.tag == C2PA:
                if table.length < 20 or not font.startswith(c2pa_header, table.offset):
                    return None
            elif table.tag not in self.tables or not same_table(font, table, self.source, self.tables[table.tag]):
                return None
        # The directory, but for the C2PA record's checksum (an exclusion).
        records = sorted(table.record for table in tables if table.tag == C2PA)
        if not _same_but(font, directory, [(record + 4, 4) for record in records]):
            return None
        # The tables end to end, each padded to four bytes with zeros.
        position = len(directory)
        for table in sorted(tables, key=lambda table: table.offset):
            if table.offset != position:
                return None
            end = table.offset + table.length
            position = (end + 3) & ~3
            if font[end:position].count(0) != position - end:
                return None
        return self.outside_digest[1] if position == len(font) else None


def _same_but(font: bytes, expected: bytes, holes: List[Tuple[int, int]]) -> bool:
    position = 0
    for start, length in holes + [(len(expected), 0)]:
        if not _same(font, position, expected, position, start - position):
            return False
        position = start + length
    return True
