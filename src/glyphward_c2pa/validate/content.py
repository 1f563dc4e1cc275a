"""Validating the asset's content against the hard binding (C2PA 2.2, 15.12
with 15.12.1 and 15.12.3)."""
from __future__ import annotations

from typing import List, Optional, Union

from ..assertions import hash_boxes, hash_data
from ..digests import KnownDigests
from ..labels import HASH_BOXES, HASH_DATA, base_label
from ..sfnt import StoreField, Table
from .assertions import hard_bindings
from ..shown import shown
from ..status import StatusLog
from .changes import TableChanges, table_changes
from .context import Manifest


def validate_content(manifest: Manifest, font: Union[bytes, memoryview], tables: List[Table],
                     store: Optional[StoreField], store_length: int, log: Optional[StatusLog] = None,
                     known: Optional[KnownDigests] = None) -> bool:
    """Checks the hard binding of `manifest` against the font, recording the
    codes in `log` (the active manifest's, which may be an update manifest
    whose parent's binding is checked, C2PA 2.2, 15.12); True when it
    matches."""
    log = log if log is not None else manifest.log
    bindings = hard_bindings(manifest)
    if len(bindings) != 1:
        return False
    binding = bindings[0]
    claim_alg = manifest.claim.alg if manifest.claim is not None else None
    label = base_label(binding.label)
    if binding.value is None:  # not decoded: CBOR that does not decode (already reported), or not CBOR
        if any(status.url == binding.url for status in manifest.log.failure):
            return False
        code = {HASH_BOXES: "assertion.boxesHash.malformed", HASH_DATA: "assertion.dataHash.malformed"}
        log.add(code.get(label, "general.error"), f"the hard binding {shown(binding.label)} holds no CBOR "
                "that can be read (C2PA 2.2, 18.1: standard assertions are CBOR)", binding.url)
        return False
    if label == HASH_BOXES:
        return hash_boxes.validate(binding.value, font, tables, claim_alg, log, binding.url, known)
    if label == HASH_DATA:
        return hash_data.validate(binding.value, font, store, store_length, claim_alg, log, binding.url, tables,
                                  known)
    log.add("general.error", f"{binding.label} is not a hard binding a font can carry", binding.url)
    return False


def changed_tables(manifest: Manifest, font: Union[bytes, memoryview], tables: List[Table]) -> Optional[TableChanges]:
    """Which tables differ from those the manifest's box hash binds (see
    `changes`); None when its hard binding is not one box hash that decodes."""
    bindings = hard_bindings(manifest)
    if len(bindings) != 1 or base_label(bindings[0].label) != HASH_BOXES or bindings[0].value is None:
        return None
    claim_alg = manifest.claim.alg if manifest.claim is not None else None
    return table_changes(bindings[0].value, font, tables, claim_alg)
