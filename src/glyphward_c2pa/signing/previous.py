"""The Manifest Store a font already carries, kept when it is signed again
(C2PA 2.2, 10.3.2.2 and 18.15.11): its manifests stay in the new store, and
the new manifest names its active manifest as the parentOf ingredient."""
from __future__ import annotations

import hashlib
from dataclasses import dataclass
from datetime import datetime
from typing import Any, Callable, Dict, List, Optional, Sequence

from cryptography import x509

from .. import claim
from ..jumbf import SuperBox
from ..labels import CLAIM_SIGNATURE, SIGNATURE_LABEL
from ..sfnt import C2PA, FontStructureError, Table, find, store_field
from ..uris import absolute
from ..validate.font import validate_font
from ..validate.locate import locate


@dataclass
class Previous:
    boxes: List[bytes]                  # every box of the old store, in order
    active_manifest: claim.HashedUri
    claim_signature: claim.HashedUri
    validation_results: Dict[str, Any]
    title: Optional[str]
    content_unchanged: bool             # its box hash matches the font as it is


def read_previous(font: bytes, tables: Sequence[Table], trust_anchors: Sequence[x509.Certificate], now: datetime,
                  note: Callable[[str], None], alg: str) -> Optional[Previous]:
    """The font's Manifest Store, validated as the ingredient it becomes
    (C2PA 2.2, 15.2.1: the claim generator acts as a validator of it); None
    when the font has none to keep. The ingredient's hashed URIs are made
    with `alg`, the new claim's algorithm: they name none of their own, and
    the ingredient assertion has no `alg` either, so a validator takes the
    claim's (C2PA 2.2, 15.4.1)."""
    table = find(list(tables), C2PA)
    if table is None:
        return None
    try:
        field = store_field(font, table)
    except FontStructureError:
        field = None
    if field is None:
        note("the font's C2PA table holds no Manifest Store (a remote URI at most): it is replaced")
        return None
    located = locate(memoryview(font)[field.offset:field.offset + field.length])
    if located.store is None or not located.manifests or located.code is not None:
        note(f"the font's C2PA table holds no usable Manifest Store ({located.problem}): it is replaced, and "
             "nothing of it is kept")
        return None
    report = validate_font(font, trust_anchors=trust_anchors, now=now)
    active = located.manifests[-1]
    for box in located.store.superboxes():  # a compressed manifest is named by its own box (11.2.4)
        if box.label == active.label:
            active = box
    signature = [box for box in active.superboxes() if box.uuid == CLAIM_SIGNATURE]
    if len(signature) != 1 or not active.label:
        note("the font's active manifest has no single claim signature: the old store is replaced")
        return None
    results: Dict[str, Any] = {"activeManifest": report.results.to_json()}
    if report.ingredient_deltas:
        results["ingredientDeltas"] = report.ingredient_deltas
    if report.manifest_state not in ("valid", "trusted") or not report.asset_valid:
        note(f"the font's manifest is {report.manifest_state}" + ("" if report.asset_valid else
             ", and the font is not a valid asset") + ": this is recorded in the new manifest's ingredient")
    bound = {status.code for status in report.results.success}
    return Previous(
        boxes=[bytes(box.whole) for box in located.store.children if isinstance(box, SuperBox)],
        active_manifest=claim.HashedUri(absolute(active.label), hashlib.new(alg, active.content).digest()),
        claim_signature=claim.HashedUri(absolute(active.label, SIGNATURE_LABEL),
                                        hashlib.new(alg, signature[0].content).digest()),
        validation_results=results,
        title=report.manifest.title if report.manifest is not None else None,
        content_unchanged="assertion.boxesHash.match" in bound)
