"""The Unicode ranges of the font character actions (C2PA 2.2, 18.14.1,
font-actions.cddl: font-parameter-unicode-ranges-map), from the fonts'
`cmap` tables, read with fontTools."""
from __future__ import annotations

import io
from typing import Dict, List, Optional, Set


def codepoints(font: bytes) -> Optional[Set[int]]:
    """The characters the font maps (its best Unicode `cmap` subtable), or
    None when fontTools cannot read one."""
    from fontTools.ttLib import TTFont

    try:
        cmap = TTFont(io.BytesIO(font), lazy=True).getBestCmap()
    except Exception:  # fontTools raises many kinds on damaged tables
        return None
    return set(cmap) if cmap is not None else None


def ranges(points: Set[int]) -> List[Dict[str, int]]:
    """`points` as ascending inclusive ranges (font-unicode-range-map)."""
    found: List[Dict[str, int]] = []
    for point in sorted(points):
        if found and found[-1]["stop"] == point - 1:
            found[-1]["stop"] = point
        else:
            found.append({"start": point, "stop": point})
    return found


def for_action(name: str, font: bytes, parent: Optional[bytes]) -> List[Dict[str, int]]:
    """The ranges of one character action; [] when they cannot be known."""
    mapped = codepoints(font)
    if mapped is None:
        return []
    if name == "font.subset":
        return ranges(mapped)
    before = codepoints(parent) if parent is not None else None
    if before is None:
        return []
    added, deleted = mapped - before, before - mapped
    return ranges({"font.charactersAdded": added, "font.charactersDeleted": deleted}.get(name, added | deleted))
