"""Validating a font: every step of C2PA 2.2, 15 in order, for the active
manifest of the Manifest Store its `C2PA` table holds."""
from __future__ import annotations

from datetime import datetime
from typing import List, Optional, Sequence, Union

from cryptography import x509

from ..digests import KnownDigests
from ..jumbf import SuperBox
from ..labels import COMPRESSED_MANIFEST, MANIFEST_TYPES
from ..sfnt import C2PA, FontStructureError, read_tables, store_field
from ..shown import shown
from ..status import CONTENT, NOT_TRUSTED, State, StatusLog
from . import compressed
from .assertions import validate_assertions
from .claim import validate_claim
from .changes import TableChanges
from .content import changed_tables, validate_content
from .context import Manifest
from .ingredients import Lineage, Step, validate_ingredients
from .locate import locate
from .report import AssertionContent, ValidationReport, chain_summary, manifest_state, summarize
from .signature import TrustSettings, validate_signature

NO_TABLE = "no C2PA table found in font"
NO_STORE = "invalid C2PA table: C2PA table has no embedded manifest store"


def validate_manifest(store: SuperBox, box: SuperBox, trust: TrustSettings) -> Manifest:
    """C2PA 2.2, 15.6, 15.7 to 15.9 and 15.10 for one manifest."""
    if box.uuid == COMPRESSED_MANIFEST:
        expanded = compressed.expand(box, store)  # once in a validation, under the store's cap
        if isinstance(expanded, str):
            manifest = Manifest(store, box, box.label or "", "standard")
            manifest.log.add("manifest.compressed.invalid", expanded, manifest.url())
            return manifest
        box = expanded
    manifest = Manifest(store, box, box.label or "", MANIFEST_TYPES[box.uuid])
    if validate_claim(manifest):
        validate_signature(manifest, trust)
        validate_assertions(manifest)
    return manifest


def binding_chain(active: Manifest, lineage: Lineage) -> Optional[List[Manifest]]:
    """The manifests from the active one to the one whose hard binding
    speaks for the asset: the active manifest alone when it is a standard
    manifest; for an update manifest, its chain of parentOf ingredients to
    the first standard manifest (C2PA 2.2, 15.12). None when the chain
    breaks off before a standard manifest."""
    chain = [active]
    for _ in range(len(lineage.steps) + 1):
        if chain[-1].kind == "standard":
            return chain
        parent = lineage.parent_of(chain[-1])
        if parent is None or any(parent is earlier for earlier in chain):
            return None
        chain.append(parent)
    return None


def unvalidated_link(chain: Sequence[Manifest]) -> Optional[Manifest]:
    """The first manifest of a binding chain, after the active one, whose
    claim signature did not validate (or that is not valid for any other
    reason). A binding is used only from a manifest whose signature covers
    it, and every update manifest on the way vouches for its parent only as
    far as its own signature holds (C2PA 2.2, 15.11.3.3.1: the ingredient's
    claim, signature and credential are validated in full; 14.3.3: the asset
    is valid only by a binding of a valid manifest)."""
    for manifest in chain[1:]:
        if not manifest_state(manifest.log).validated or manifest.claim is None:
            return manifest
    return None


def validate_font(font: bytes, *, trust_anchors: Sequence[x509.Certificate] = (),
                  tsa_trust_anchors: Sequence[x509.Certificate] = (), now: Optional[datetime] = None,
                  manifest_store: Optional[bytes] = None, known: Optional[KnownDigests] = None) -> ValidationReport:
    """Validates the C2PA manifest of `font` (the bytes of a TrueType or
    OpenType font). `manifest_store` supplies the store of a font whose
    `C2PA` table holds only a remote manifest URI (C2PA 2.2, 15.5.3).
    `known` is for a signer validating its own output: digests it computed,
    used where the font's bytes are shown to be the ones it hashed."""
    import glyphward

    trust = TrustSettings(trust_anchors, tsa_trust_anchors, now)
    try:
        uri = glyphward.read_manifest_uri_str(font)
    except ValueError as error:
        if str(error) == NO_TABLE:
            return ValidationReport(State.NONE, False)
        return ValidationReport(State.NONE, False, error=str(error))
    try:
        tables = read_tables(font)
        c2pa_tables = [table for table in tables if table.tag == C2PA]
        field = store_field(font, c2pa_tables[0])
    except FontStructureError as error:
        return ValidationReport(State.NONE, False, remote_uri=uri, error=str(error))
    log = StatusLog()
    if len(c2pa_tables) > 1:
        log.add("general.error", "the font has more than one C2PA table (C2PA 2.2, 15.5.2.1)")
        return ValidationReport(State.INVALID, False, results=log, remote_uri=uri)

    view = memoryview(font)
    if field is not None:
        data: Union[bytes, memoryview] = view[field.offset:field.offset + field.length]
    elif manifest_store is not None:
        data = manifest_store
    else:
        return ValidationReport(State.REMOTE if uri is not None else State.NONE, False, remote_uri=uri)

    located = locate(data)
    if located.code is not None or located.store is None:
        log.add(located.code or "general.error", located.problem or "no Manifest Store")
        return ValidationReport(State.INVALID, False, results=log, remote_uri=uri)
    store = located.store
    active = validate_manifest(store, located.manifests[-1], trust)
    matched = False
    changes: Optional[TableChanges] = None
    lineage = Lineage([Step(active)], [])
    if active.claim is not None:
        lineage = validate_ingredients(active, lambda store, box: validate_manifest(store, box, trust))
        chain = binding_chain(active, lineage)
        owner = chain[-1] if chain is not None else None
        broken = unvalidated_link(chain) if chain is not None else None
        if owner is None or owner.claim is None:
            active.log.add("claim.hardBindings.missing", "no standard manifest with a hard binding is found "
                           "through the update manifest's parentOf ingredients (C2PA 2.2, 15.12)", active.claim_url)
        elif broken is not None:
            failures = sorted({status.code for status in broken.log.failure} - NOT_TRUSTED)
            active.log.add("claim.hardBindings.missing", f"the hard binding would come from the manifest "
                           f"{shown(broken.label)}, which is {manifest_state(broken.log)}, not valid"
                           + (f" ({', '.join(failures[:4])})" if failures else "") +
                           ": a binding counts only from a manifest whose claim signature validated "
                           "(C2PA 2.2, 15.12, 14.3.3)", active.claim_url)
        else:
            matched = validate_content(owner, font, tables, field, located.length, log=active.log, known=known)
            if not matched and active.log.failed(CONTENT):
                changes = changed_tables(owner, font, tables)
    state = manifest_state(active.log)
    history = [summarize(step.manifest, step.recorded) for step in lineage.steps[1:]]
    return ValidationReport(state, matched, summarize(active), active.log, remote_uri=uri,
                            ingredient_deltas=lineage.deltas, history=history,
                            certificates=chain_summary(active.chain), chain_length=len(active.chain),
                            changed_tables=changes,
                            assertions=[AssertionContent(assertion.label, assertion.value)
                                        for assertion in active.assertions])


# The name the package exports it by.
verify_font = validate_font
