"""Reading any font file glyphward is given into an SFNT: an SFNT as it is,
a WOFF 1.0 or WOFF2 file as the SFNT of its tables (assemble.py says in
which order, and why)."""
from __future__ import annotations

from dataclasses import dataclass
from typing import Dict, Optional, Tuple

from .assemble import assemble
from .errors import WebfontError
from .woff import SIGNATURE as WOFF_SIGNATURE
from .woff import read_woff
from .woff2 import SIGNATURE as WOFF2_SIGNATURE
from .woff2 import read_woff2

WOFF = "WOFF"
WOFF2 = "WOFF2"


@dataclass(frozen=True)
class DecodedFont:
    """The SFNT of a font file; `container` is "WOFF" or "WOFF2" when the
    file was one, None when it was an SFNT already."""
    sfnt: bytes
    container: Optional[str]


def container_of(data: bytes) -> Optional[str]:
    """"WOFF", "WOFF2" or None, from the file's signature."""
    return {WOFF_SIGNATURE: WOFF, WOFF2_SIGNATURE: WOFF2}.get(bytes(data[:4]))


def read_tables(data: bytes) -> Tuple[int, Dict[bytes, bytes]]:
    """The flavor and tables of a WOFF or WOFF2 file."""
    container = container_of(data)
    if container == WOFF:
        return read_woff(data)
    if container == WOFF2:
        return read_woff2(data)
    raise WebfontError("not a WOFF or WOFF2 file")


def decode_font(data: bytes) -> DecodedFont:
    """The font of `data` as an SFNT; raises WebfontError for a WOFF or
    WOFF2 file that cannot be read."""
    container = container_of(data)
    if container is None:
        return DecodedFont(bytes(data), None)
    flavor, tables = read_tables(data)
    return DecodedFont(assemble(flavor, tables), container)
