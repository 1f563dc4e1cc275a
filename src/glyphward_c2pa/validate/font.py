"""Validating a font: every step of C2PA 2.2, 15 in order, for the active
manifest of the Manifest Store its `C2PA` table holds."""
from __future__ import annotations

from typing import List, Optional, Sequence, Union

from cryptography import x509

from ..jumbf import SuperBox
from ..labels import MANIFEST_TYPES
from ..sfnt import C2PA, FontStructureError, StoreField, Table, read_tables, store_field
from ..status import CONTENT, StatusLog
from .assertions import validate_assertions
from .claim import validate_claim
from .content import validate_content
from .context import Manifest
from .locate import locate
from .report import ValidationReport, manifest_state, summarize
from .signature import TrustSettings, validate_signature

NO_TABLE = "no C2PA table found in font"
NO_STORE = "invalid C2PA table: C2PA table has no embedded manifest store"


def validate_manifest(store: SuperBox, box: SuperBox, trust: TrustSettings) -> Manifest:
    """C2PA 2.2, 15.6, 15.7 to 15.9 and 15.10 for one manifest."""
    manifest = Manifest(store, box, box.label or "", MANIFEST_TYPES[box.uuid])
    if validate_claim(manifest):
        validate_signature(manifest, trust)
        validate_assertions(manifest)
    return manifest


def validate_font(font: bytes, *, trust_anchors: Sequence[x509.Certificate] = (),
                  tsa_trust_anchors: Sequence[x509.Certificate] = (), now: Optional[object] = None,
                  manifest_store: Optional[bytes] = None) -> ValidationReport:
    """Validates the C2PA manifest of `font` (the bytes of a TrueType or
    OpenType font). `manifest_store` supplies the store of a font whose
    `C2PA` table holds only a remote manifest URI (C2PA 2.2, 15.5.3)."""
    import glyphward

    trust = TrustSettings(trust_anchors, tsa_trust_anchors, now)  # type: ignore[arg-type]
    try:
        uri = glyphward.read_manifest_uri_str(font)
    except ValueError as error:
        if str(error) == NO_TABLE:
            return ValidationReport("none", False)
        return ValidationReport("none", False, error=str(error))
    try:
        tables = read_tables(font)
        c2pa_tables = [table for table in tables if table.tag == C2PA]
        field = store_field(font, c2pa_tables[0])
    except FontStructureError as error:
        return ValidationReport("none", False, remote_uri=uri, error=str(error))
    log = StatusLog()
    if len(c2pa_tables) > 1:
        log.add("general.error", "the font has more than one C2PA table (C2PA 2.2, 15.5.2.1)")
        return ValidationReport("invalid", False, results=log, remote_uri=uri)

    view = memoryview(font)
    if field is not None:
        data: Union[bytes, memoryview] = view[field.offset:field.offset + field.length]
    elif manifest_store is not None:
        data = manifest_store
    else:
        return ValidationReport("remote" if uri is not None else "none", False, remote_uri=uri)

    located = locate(data)
    if located.code is not None or located.store is None:
        log.add(located.code or "general.error", located.problem or "no Manifest Store")
        return ValidationReport("invalid", False, results=log, remote_uri=uri)
    store = located.store
    active = validate_manifest(store, located.manifests[-1], trust)
    binding_owner = active
    if active.claim is not None and active.kind == "standard":
        matched = validate_content(active, view, tables, field, located.length)
    else:
        matched = False
    state = manifest_state(active.log)
    summary = summarize(active)
    asset_valid = matched and state in ("valid", "trusted") and not binding_owner.log.failed(CONTENT)
    return ValidationReport(state, asset_valid, summary, active.log, remote_uri=uri)


def tables_of(font: bytes) -> List[Table]:
    return read_tables(font)


__all__ = ["validate_font", "validate_manifest", "StoreField"]
