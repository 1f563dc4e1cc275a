"""Resolving the JUMBF URIs of a Manifest Store (C2PA 2.2, 8.4: `self#jumbf=`
followed by a path of labels, absolute from the store, `/c2pa/...`, or
relative to the manifest that holds the reference).

Each step of the path looks only at the children whose JUMBF type its
container may hold (labels.RECOGNISED_CHILDREN): a box of a type C2PA 2.2
does not define there is skipped and ignored (11.1.2), so a URI cannot name
it, nor does it make a label ambiguous (8.4.1)."""
from __future__ import annotations

from dataclasses import dataclass
from typing import List, Optional, Tuple

from .jumbf import SuperBox
from .labels import MANIFEST_STORE_LABEL, RECOGNISED_CHILDREN
from .shown import shown

PREFIX = "self#jumbf="


@dataclass
class Resolved:
    box: Optional[SuperBox]
    manifest: Optional[SuperBox]   # the manifest the URI points into
    outside: bool                  # it points into another manifest than the referring one
    problem: Optional[str]         # why it does not resolve
    parent: Optional[SuperBox] = None  # the superbox that holds `box`


def _walk(start: SuperBox, path: List[str]) -> Tuple[Optional[SuperBox], Optional[SuperBox]]:
    """The box at `path` below `start`, and its parent."""
    box, parent = start, None
    for label in path:
        allowed = RECOGNISED_CHILDREN.get(box.uuid, frozenset())
        found = [child for child in box.find(label) if child.uuid in allowed]
        if len(found) != 1:  # absent, or ambiguous (C2PA 2.2, 8.4.1)
            return None, None
        box, parent = found[0], box
    return box, parent


def resolve(uri: object, store: SuperBox, manifest: SuperBox) -> Resolved:
    """Finds the box `uri` names, from the point of view of `manifest`."""
    if not isinstance(uri, str) or not uri.startswith(PREFIX):
        return Resolved(None, None, False, f"{shown(uri)} is not a self#jumbf URI")
    path = uri[len(PREFIX):]
    if ".." in path or not path:
        return Resolved(None, None, False, f"{shown(uri)} is not a valid JUMBF URI")
    if path.startswith("/"):
        parts = path[1:].split("/")
        if parts[0] != MANIFEST_STORE_LABEL or len(parts) < 2:
            return Resolved(None, None, False, f"{shown(uri)} does not begin at the Manifest Store")
        target = _walk(store, parts[1:2])[0]
        if target is not None and target.label == manifest.label:
            # The referring manifest, also when the store holds it compressed: a
            # URI names a compressed manifest as if it were not (8.4.1).
            target = manifest
        if target is None:
            return Resolved(None, None, parts[1] != manifest.label, f"no manifest {shown(parts[1])} in the store")
        box, parent = _walk(target, parts[2:])
        outside = target is not manifest
    else:
        target, outside = manifest, False
        box, parent = _walk(manifest, path.split("/"))
    if box is None:
        return Resolved(None, target, outside, f"nothing at {shown(uri)}")
    return Resolved(box, target, outside, None, parent)


def absolute(manifest_label: str, *path: str) -> str:
    """The absolute URI of a box of a manifest, for status reports."""
    return PREFIX + "/" + "/".join((MANIFEST_STORE_LABEL, manifest_label) + path)
