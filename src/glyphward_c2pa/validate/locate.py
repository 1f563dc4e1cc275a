"""Locating the Manifest Store and the active manifest (C2PA 2.2, 15.5)."""
from __future__ import annotations

from dataclasses import dataclass
from typing import List, Optional, Union

from ..jumbf import JumbfError, SuperBox, read_superbox
from ..labels import COMPRESSED_MANIFEST, MANIFEST_STORE, MANIFEST_STORE_LABEL, MANIFEST_TYPES
from . import compressed


@dataclass
class Located:
    store: Optional[SuperBox]
    length: int                         # bytes the store occupies at the start of the field
    manifests: List[SuperBox]           # every manifest superbox, in store order (the last, the active
                                        # one, expanded if compressed; the others as they are)
    code: Optional[str] = None          # why no manifest can be validated
    problem: Optional[str] = None


def locate(field: Union[bytes, memoryview]) -> Located:
    """Reads the Manifest Store at the start of the `C2PA` table's store
    field; what may follow it there is judged by the binding."""
    view = memoryview(field)
    if len(view) and view.tobytes().count(0) == len(view):
        return Located(None, 0, [], "general.error", f"the Manifest Store is a reserved placeholder of "
                       f"{len(view)} zero bytes that was never filled")
    try:
        store, length = read_superbox(view)
    except JumbfError as error:
        return Located(None, 0, [], "general.error", f"the C2PA table does not hold a JUMBF Manifest Store: {error}")
    if store.uuid != MANIFEST_STORE or store.label != MANIFEST_STORE_LABEL:
        return Located(None, length, [], "general.error",
                       "the C2PA table's JUMBF box is not a C2PA Manifest Store (type c2pa, label \"c2pa\")")
    trailing = view[length:]
    if trailing.tobytes().count(0) != len(trailing):
        return Located(store, length, [], "general.error",
                       f"the store field holds {len(trailing)} bytes after the Manifest Store that are not zeros")
    # Boxes of types C2PA 2.2 does not define are skipped (11.1.2). Of the
    # compressed manifests only the active one is expanded here; the others
    # when an ingredient leads to them (15.11), each at most once.
    manifests = [box for box in store.superboxes() if box.uuid in MANIFEST_TYPES]
    if not manifests:
        return Located(store, length, [], "claim.missing", "the Manifest Store holds no C2PA Manifest")
    if manifests[-1].uuid == COMPRESSED_MANIFEST:
        expanded = compressed.expand(manifests[-1], store)
        if isinstance(expanded, str):
            return Located(store, length, manifests[:-1], "manifest.compressed.invalid", expanded)
        manifests[-1] = expanded
    return Located(store, length, manifests)
