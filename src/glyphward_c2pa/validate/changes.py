"""Which tables of a font differ from the ones its box hash binds: what a
person needs after `assertion.boxesHash.mismatch` or `unknownBox` (C2PA 2.2,
15.12.3, 15.12.3.2), when a subsetter or an editor changed some of them.

The validator stops at the first problem of the box list (a table no box
names, names out of order) and lists at most a few mismatches; this names
every changed table, whatever kind of change it is: a table whose bytes
differ (`changed`), a table the boxes name that the font no longer has
(`removed`), and one the font has that no box names (`added`). It reads the
same assertion without trusting it: at most MAX_NAMES names in all, each
font table hashed at most once, names as the boxes give them (shown through
`shown` when printed)."""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

from ..assertions.hash_boxes import C2PA_BOX, EXCLUDABLE, span_hash
from ..labels import HASH_ALGORITHMS
from ..sfnt import C2PA, Table

# The most box names read: a font has at most 65,535 tables; a list far
# longer than the font's own is not a font's list of tables at all.
MAX_NAMES = 4096


@dataclass(frozen=True)
class TableChanges:
    """The tables of the font that are not as they were signed, each list in
    the order of the font's table directory (removed: in the boxes' order)."""
    changed: Tuple[str, ...] = ()
    removed: Tuple[str, ...] = ()
    added: Tuple[str, ...] = ()
    reordered: bool = False     # same tables, same bytes, another order

    def __bool__(self) -> bool:
        return bool(self.changed or self.removed or self.added or self.reordered)

    def to_json(self) -> Dict[str, Any]:
        return {"changed": list(self.changed), "removed": list(self.removed), "added": list(self.added),
                "reordered": self.reordered}


@dataclass
class _Entry:
    names: List[str]
    digest: Any
    alg: Any
    excluded: bool
    tables: List[Table] = field(default_factory=list)


def _name(name: str) -> str:
    """A box name as a table's (no trailing spaces); one longer than any tag
    names no table, and is kept only as far as a message shows it."""
    name = name.rstrip(" ")
    return name if len(name) <= 16 else name[:16] + "..."


def _entries(value: Any, claim_alg: Optional[str]) -> Optional[List[_Entry]]:
    if not isinstance(value, dict) or not isinstance(value.get("boxes"), list):
        return None
    outer = value.get("alg", claim_alg)
    entries: List[_Entry] = []
    count = 0
    for entry in value["boxes"]:
        names = entry.get("names") if isinstance(entry, dict) else None
        if not isinstance(names, list) or not names or not all(isinstance(name, str) for name in names):
            return None
        count += len(names)
        if count > MAX_NAMES:
            return None
        entries.append(_Entry([_name(name) for name in names], entry.get("hash"), entry.get("alg", outer),
                              entry.get("excluded") is True))
    return entries


def table_changes(value: Any, font: Union[bytes, memoryview], tables: Sequence[Table],
                  claim_alg: Optional[str]) -> Optional[TableChanges]:
    """The tables of `font` that differ from what the box hash `value` binds;
    None when the box list cannot be read as one (malformed, or of more than
    MAX_NAMES names)."""
    entries = _entries(value, claim_alg)
    if entries is None:
        return None
    by_name: Dict[str, List[Table]] = {}
    for table in tables:
        if table.tag != C2PA:
            by_name.setdefault(table.name, []).append(table)
    used: Dict[int, bool] = {}
    removed: List[str] = []
    changed: List[str] = []
    for entry in entries:
        if entry.names == [C2PA_BOX]:
            continue
        for name in entry.names:
            candidates = [table for table in by_name.get(name, []) if id(table) not in used]
            if candidates:
                entry.tables.append(candidates[0])
                used[id(candidates[0])] = True
            else:
                removed.append(name)
        if len(entry.tables) != len(entry.names):
            changed.extend(table.name for table in entry.tables)   # its box cannot match without them
            continue
        if entry.excluded and entry.names in EXCLUDABLE:
            continue
        if not isinstance(entry.alg, str) or entry.alg not in HASH_ALGORITHMS or not isinstance(entry.digest, bytes):
            changed.extend(entry.names)
            continue
        span = sorted(entry.tables, key=lambda table: table.offset)
        extent = span[-1].offset + span[-1].length - span[0].offset
        if extent > sum(table.length + 3 for table in span):
            changed.extend(entry.names)   # not one run of tables (and hashing it could read the font many times)
        elif span_hash(font, span, entry.alg) != entry.digest:
            changed.extend(entry.names)
    added = [table.name for table in tables if table.tag != C2PA and id(table) not in used]
    order = {id(table): index for index, table in enumerate(tables)}
    listed = [table for entry in entries for table in entry.tables]
    reordered = not (changed or removed or added) and \
        [order[id(table)] for table in listed] != sorted(order[id(table)] for table in listed)
    position = {table.name: order[id(table)] for table in reversed(tables)}
    changed.sort(key=lambda name: position.get(name, len(tables)))
    return TableChanges(tuple(dict.fromkeys(changed)), tuple(removed), tuple(added), reordered)

