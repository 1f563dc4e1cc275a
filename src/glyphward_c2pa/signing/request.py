"""What to say about one font and where to put it: a `SigningRequest`,
with its placement (`Embedded` or `Remote`)."""
from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Mapping, Optional, Sequence, Tuple, Union

from ..assertions.actions import DIGITAL_CREATION

BINDINGS = ("boxes", "data")


@dataclass(frozen=True)
class Embedded:
    """The Manifest Store goes into the font's `C2PA` table. `size` is the
    least room it takes there; `uri`, when given, is also recorded in the
    table, as the remote manifest's location (C2PA 2.2, 11.4)."""
    size: Optional[int] = None
    uri: Optional[str] = None


@dataclass(frozen=True)
class Remote:
    """The manifest is remote (C2PA 2.2, 11.4 and A.3.9): the font's `C2PA`
    table holds only `url`, and the caller publishes the returned Manifest
    Store there. Such a font is bound by the box hash, which does not cover
    the table."""
    url: str


Placement = Union[Embedded, Remote]

# An action recorded after c2pa.created or c2pa.opened: its name, or its
# name and parameters (C2PA 2.2, 18.14; font actions, Table 9).
Action = Union[str, Tuple[str, Mapping[str, Any]]]


@dataclass(frozen=True)
class SigningRequest:
    """What the manifest of one font says.

    `binding` is "boxes" (`c2pa.hash.boxes`, C2PA 2.2, 18.7.3.6), "data"
    (`c2pa.hash.data`, 18.5), or None: glyphward chooses, an update manifest
    (11.2.3) when the font already carries a manifest whose binding still
    holds and only provenance is added, the box hash otherwise.
    `assertions` are the caller's own (label, value) pairs, stored as CBOR;
    `actions` what was done to the font, recorded after `c2pa.created` or
    `c2pa.opened`; `parent` the bytes of the font this one was made from, to
    compute the Unicode ranges of the character actions; `font_info` fields
    of `font.info` (18.22) the font's tables cannot supply; `replace`
    discards the Manifest Store the font carries instead of keeping it.
    """
    binding: Optional[str] = None
    placement: Placement = Embedded()
    title: Optional[str] = None
    assertions: Sequence[Tuple[str, Any]] = ()
    digital_source_type: str = DIGITAL_CREATION
    actions: Sequence[Action] = ()
    parent: Optional[bytes] = None
    font_info: Optional[Mapping[str, Any]] = None
    replace: bool = False
