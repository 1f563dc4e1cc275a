"""Validating the asset's content against the hard binding (C2PA 2.2, 15.12
with 15.12.1 and 15.12.3)."""
from __future__ import annotations

from typing import List, Optional, Union

from ..assertions import hash_boxes, hash_data
from ..labels import HASH_BOXES, HASH_DATA, base_label
from ..sfnt import StoreField, Table
from .assertions import hard_bindings
from .context import Manifest


def validate_content(manifest: Manifest, font: Union[bytes, memoryview], tables: List[Table],
                     store: Optional[StoreField], store_length: int) -> bool:
    """Checks the manifest's hard binding against the font; True when it
    matches. (An update manifest has none: its parent's binding is checked
    instead, C2PA 2.2, 15.12.)"""
    bindings = hard_bindings(manifest)
    if len(bindings) != 1 or bindings[0].value is None:
        return False
    binding = bindings[0]
    claim_alg = manifest.claim.alg if manifest.claim is not None else None
    label = base_label(binding.label)
    if label == HASH_BOXES:
        return hash_boxes.validate(binding.value, font, tables, claim_alg, manifest.log, binding.url)
    if label == HASH_DATA:
        return hash_data.validate(binding.value, font, store, store_length, claim_alg, manifest.log, binding.url)
    manifest.log.add("general.error", f"{binding.label} is not a hard binding a font can carry", binding.url)
    return False
