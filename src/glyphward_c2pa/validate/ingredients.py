"""Validating the ingredients (C2PA 2.2, 15.11): every ingredient manifest in
the asset's lineage, found through the ingredient assertions, checked by the
claim signature hash method (15.11.3.3.1: the hash of its claim signature
box, then its claim, signature and assertions, but not its hard binding),
and compared with the validation results the ingredient assertion records
(15.11.3.3, item e: the differences are the ingredient deltas)."""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional, Set, Tuple

from ..claim import hash_algorithm
from ..jumbf import SuperBox
from ..labels import CLAIM_SIGNATURE, INGREDIENT_LABELS, INGREDIENT_V3, MANIFEST_TYPES, base_label
from ..status import INFORMATIONAL, SUCCESS, StatusLog
from ..uris import resolve
from .context import Assertion, Manifest

# A lineage longer than this is refused rather than followed (each step is a
# manifest in the same store, so a store can only loop, not grow without end).
MAX_STEPS = 256

Validate = Callable[[SuperBox, SuperBox], Manifest]


@dataclass
class Step:
    """One manifest of the lineage, and the ingredient assertion that brought
    it in (None for the active manifest)."""
    manifest: Manifest
    ingredient: Optional[Assertion] = None
    relationship: Optional[str] = None
    recorded: Dict[str, Any] = field(default_factory=dict)   # its recorded validationResults.activeManifest


@dataclass
class Lineage:
    steps: List[Step]                   # the active manifest first, then depth-first
    deltas: List[Dict[str, Any]]        # ingredientDeltas (C2PA 2.2, 15.2.1)

    def parent_of(self, manifest: Manifest) -> Optional[Manifest]:
        """The manifest of `manifest`'s parentOf ingredient, if validated."""
        for step in self.steps:
            if step.relationship == "parentOf" and step.ingredient is not None \
                    and any(step.ingredient is assertion for assertion in manifest.assertions):
                return step.manifest
        return None


def _ingredients(manifest: Manifest) -> List[Assertion]:
    return [assertion for assertion in manifest.assertions if base_label(assertion.label) in INGREDIENT_LABELS]


def _key(kind: str, status: Any) -> Optional[Tuple[str, str, str]]:
    if not isinstance(status, dict) or not isinstance(status.get("code"), str):
        return None
    url = status.get("url")
    return kind, status["code"], url if isinstance(url, str) else ""


def _recorded(value: Dict[str, Any]) -> Tuple[Optional[Dict[str, List[Any]]], bool]:
    """The recorded results of the ingredient's active manifest, as a
    status-codes-map, and whether any were recorded at all."""
    results = value.get("validationResults")
    if isinstance(results, dict):
        active = results.get("activeManifest")
        if isinstance(active, dict):
            return {kind: [clean for clean in map(_status, active.get(kind) or []) if clean]
                    if isinstance(active.get(kind), list) else []
                    for kind in ("success", "informational", "failure")}, True
        return None, True
    statuses = value.get("validationStatus")  # v1 and v2 ingredients: one list (18.15.12.4.2)
    if isinstance(statuses, list):
        sorted_map: Dict[str, List[Any]] = {"success": [], "informational": [], "failure": []}
        for status in statuses:
            code = status.get("code") if isinstance(status, dict) else None
            if isinstance(code, str):
                kind = "success" if code in SUCCESS or status.get("success") is True else \
                    "informational" if code in INFORMATIONAL else "failure"
                sorted_map[kind].append(_status(status))
        return sorted_map, True
    return None, False


def _status(status: Any) -> Dict[str, str]:
    """A recorded status-map as the report shows it: its code, url and
    explanation where they are text (a malformed entry gives {})."""
    if not isinstance(status, dict) or not isinstance(status.get("code"), str):
        return {}
    clean = {"code": status["code"]}
    for key in ("url", "explanation"):
        if isinstance(status.get(key), str):
            clean[key] = status[key]
    return clean


def _deltas(found: StatusLog, recorded: Optional[Dict[str, List[Any]]]) -> Dict[str, List[Any]]:
    """C2PA 2.2, 15.11.3.3, item e: what validation found that the recorded
    results lack, and what they hold that validation did not find; compared
    by kind, code and url (18.15.12.4.3)."""
    ours = found.to_json()
    theirs = recorded or {"success": [], "informational": [], "failure": []}
    our_keys = {_key(kind, status) for kind in ours for status in ours[kind]}
    their_keys = {_key(kind, status) for kind in theirs for status in theirs[kind]}
    delta: Dict[str, List[Any]] = {"success": [], "informational": [], "failure": []}
    for kind in delta:
        delta[kind].extend(status for status in ours[kind] if _key(kind, status) not in their_keys)
        delta[kind].extend(status for status in theirs[kind] if _key(kind, status) not in our_keys)
    return delta


def validate_ingredients(active: Manifest, validate: Validate) -> Lineage:
    """C2PA 2.2, 15.11.3 for the active manifest and, recursively, every
    ingredient manifest it leads to. `validate(store, box)` validates one
    manifest (claim, signature, assertions)."""
    steps = [Step(active)]
    deltas: List[Dict[str, Any]] = []
    seen: Set[int] = {id(active.box)}
    pending = [active]
    while pending:
        target = pending.pop()
        log = target.log
        for assertion in _ingredients(target):
            value = assertion.value
            if not isinstance(value, dict) or value.get("relationship") not in ("parentOf", "componentOf", "inputTo"):
                log.add("assertion.ingredient.malformed", "the ingredient has no relationship of parentOf, "
                        "componentOf or inputTo (C2PA 2.2, 15.11.3.2)", assertion.url)
                continue
            relationship = value["relationship"]
            reference = value.get("activeManifest", value.get("c2pa_manifest"))
            if reference is None:
                if relationship != "inputTo":
                    log.add("ingredient.unknownProvenance", "the ingredient has no C2PA manifest", assertion.url)
                continue
            recorded, any_recorded = _recorded(value)
            if base_label(assertion.label) == INGREDIENT_V3 and not any_recorded:
                log.add("assertion.ingredient.malformed", "the ingredient names its active manifest but records "
                        "no validationResults (C2PA 2.2, 15.11.3.3, item f)", assertion.url)
            box = _check_hashes(target, assertion, value, reference)
            if box is None or id(box) in seen or len(steps) >= MAX_STEPS:
                continue
            seen.add(id(box))
            manifest = validate(target.store, box)
            steps.append(Step(manifest, assertion, relationship, recorded or {}))
            pending.append(manifest)
    # Compared once every manifest's own ingredients have been checked too.
    for step in steps[1:]:
        assert step.ingredient is not None
        delta = _deltas(step.manifest.log, step.recorded if step.recorded else None)
        if any(delta.values()):
            deltas.append({"ingredientAssertionURI": step.ingredient.url, "validationDeltas": delta})
    return Lineage(steps, deltas)


def _check_hashes(target: Manifest, assertion: Assertion, value: Dict[str, Any], reference: Any) -> Optional[SuperBox]:
    """The ingredient's manifest box, when its hashed URIs lead to it: by its
    claim signature (C2PA 2.2, 15.11.3.3.1) when the ingredient names one,
    else by the manifest's own hash (15.11.3.3.2)."""
    log = target.log
    claim = target.claim
    assert claim is not None
    found = resolve(reference.get("url") if isinstance(reference, dict) else None, target.store, target.box)
    manifest_box = found.box if found.box is not None and found.box.uuid in MANIFEST_TYPES else None
    signature = value.get("claimSignature")
    if signature is not None:
        url = signature.get("url") if isinstance(signature, dict) else None
        located = resolve(url, target.store, target.box)
        if located.box is None or located.box.uuid != CLAIM_SIGNATURE:
            log.add("ingredient.claimSignature.missing", "the ingredient's claim signature is not in the store",
                    assertion.url)
            return None
        alg = hash_algorithm(signature, claim)
        if alg is None or target.digest(located.box, alg) != signature.get("hash"):
            log.add("ingredient.claimSignature.mismatch", "the hash of the ingredient's claim signature does not "
                    "match", assertion.url)
            return None
        log.add("ingredient.claimSignature.validated", "the hash of the ingredient's claim signature matches",
                assertion.url)
        return located.manifest if located.manifest is not None and located.manifest.uuid in MANIFEST_TYPES \
            else manifest_box
    if manifest_box is None:
        log.add("ingredient.manifest.missing", "the ingredient's manifest is not in the store", assertion.url)
        return None
    alg = hash_algorithm(reference, claim)
    if alg is None or target.digest(manifest_box, alg) != reference.get("hash"):
        log.add("ingredient.manifest.mismatch", "the hash of the ingredient's manifest does not match",
                assertion.url)
        return None
    log.add("ingredient.manifest.validated", "the hash of the ingredient's manifest matches", assertion.url)
    return manifest_box
