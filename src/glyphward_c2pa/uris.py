"""Resolving the JUMBF URIs of a Manifest Store (C2PA 2.2, 8.4: `self#jumbf=`
followed by a path of labels, absolute from the store, `/c2pa/...`, or
relative to the manifest that holds the reference)."""
from __future__ import annotations

from dataclasses import dataclass
from typing import List, Optional

from .jumbf import SuperBox
from .labels import MANIFEST_STORE_LABEL
from .shown import shown

PREFIX = "self#jumbf="


@dataclass
class Resolved:
    box: Optional[SuperBox]
    manifest: Optional[SuperBox]   # the manifest the URI points into
    outside: bool                  # it points into another manifest than the referring one
    problem: Optional[str]         # why it does not resolve


def _walk(start: SuperBox, path: List[str]) -> Optional[SuperBox]:
    box = start
    for label in path:
        found = box.find(label)
        if len(found) != 1:  # absent, or ambiguous (C2PA 2.2, 8.4.1)
            return None
        box = found[0]
    return box


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
        target = _walk(store, parts[1:2])
        if target is None:
            return Resolved(None, None, parts[1] != manifest.label, f"no manifest {shown(parts[1])} in the store")
        box = _walk(target, parts[2:])
        outside = target is not manifest
    else:
        target, box, outside = manifest, _walk(manifest, path.split("/")), False
    if box is None:
        return Resolved(None, target, outside, f"nothing at {shown(uri)}")
    return Resolved(box, target, outside, None)


def absolute(manifest_label: str, *path: str) -> str:
    """The absolute URI of a box of a manifest, for status reports."""
    return PREFIX + "/" + "/".join((MANIFEST_STORE_LABEL, manifest_label) + path)
