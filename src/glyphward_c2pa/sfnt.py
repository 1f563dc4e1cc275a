"""The table directory of an SFNT font, read strictly, for the box hash
(C2PA 2.2, 18.7.3.6: each table is a box) and for locating the `C2PA`
table's fields. The font itself is written only by the glyphward module."""
from __future__ import annotations

import struct
from dataclasses import dataclass
from typing import List, Optional, Union

SFNT_VERSIONS = (0x00010000, 0x4F54544F, 0x74727565)  # 1.0, 'OTTO', 'true'
HEAD = b"head"
C2PA = b"C2PA"
HEAD_ADJUSTMENT = 8  # offset of checkSumAdjustment in 'head'
C2PA_HEADER = 20     # majorVersion .. manifestStoreLength (C2PA 2.2, A.3.9.2)


class FontStructureError(ValueError):
    """The font's table directory or C2PA table is damaged."""


@dataclass(frozen=True)
class Table:
    tag: bytes
    offset: int
    length: int
    record: int  # offset of its table record in the directory

    @property
    def name(self) -> str:
        """The tag as a box name: ASCII, without the trailing spaces that pad
        short tags (the standard's TTF example names `cvt ` as "cvt")."""
        return self.tag.decode("latin-1").rstrip(" ")


def read_tables(font: Union[bytes, memoryview]) -> List[Table]:
    """The tables in table-directory order."""
    if len(font) < 12:
        raise FontStructureError("the font is shorter than its header")
    version, count = struct.unpack_from(">IH", font, 0)
    if version not in SFNT_VERSIONS:
        raise FontStructureError("not an SFNT (TrueType/OpenType) font")
    if 12 + 16 * count > len(font):
        raise FontStructureError(f"the table directory of {count} tables runs past the end of the font")
    tables = []
    for index in range(count):
        record = 12 + 16 * index
        tag, _, offset, length = struct.unpack_from(">4sIII", font, record)
        if offset + length > len(font):
            raise FontStructureError(f"table {tag.decode('latin-1')!r} runs past the end of the font")
        tables.append(Table(tag, offset, length, record))
    return tables


def find(tables: List[Table], tag: bytes) -> Optional[Table]:
    for table in tables:
        if table.tag == tag:
            return table
    return None


@dataclass(frozen=True)
class StoreField:
    """Where the `C2PA` table keeps its Manifest Store: absolute offset and
    length in the font."""
    offset: int
    length: int


def store_field(font: Union[bytes, memoryview], table: Table) -> Optional[StoreField]:
    """The Manifest Store field of the `C2PA` table (None when the table
    holds no store)."""
    if table.length < C2PA_HEADER:
        raise FontStructureError("the C2PA table is shorter than its header")
    store_offset, store_length = struct.unpack_from(">II", font, table.offset + 12)
    if store_offset == 0 and store_length == 0:
        return None
    if store_offset + store_length > table.length:
        raise FontStructureError("the C2PA table's Manifest Store runs past the end of the table")
    return StoreField(table.offset + store_offset, store_length)
