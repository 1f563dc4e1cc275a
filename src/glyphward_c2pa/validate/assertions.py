"""Validating the assertions (C2PA 2.2, 15.10): each one the claim lists is
found in the manifest and its hash checked, each one in the assertion store
is listed, and the manifest holds the assertions its type requires."""
from __future__ import annotations

import json
from typing import Any, Dict, List, Optional, Set, Tuple

from .. import cbor
from ..assertions import actions
from ..claim import hash_algorithm
from ..jumbf import CBOR, JSON, SuperBox
from ..labels import (ACTIONS_LABELS, ASSERTION_STORE, ASSERTION_STORE_LABEL, ASSERTION_TYPES, CBOR_CONTENT,
                      HARD_BINDINGS, INGREDIENT_LABELS, JSON_CONTENT, base_label)
from ..shown import shown
from ..uris import resolve
from .context import Assertion, Manifest
from .hashed_uris import validate_references

# C2PA 2.2, 11.2.3: the only actions an update manifest may record.
UPDATE_ACTIONS = frozenset({"c2pa.edited.metadata", "c2pa.opened", "c2pa.published", "c2pa.redacted"})


def _decode(box: SuperBox) -> Any:
    """The assertion's data: CBOR or JSON decoded; raw bytes for other
    content types. Raises ValueError when CBOR or JSON does not decode."""
    contents = list(box.content_boxes())
    if box.uuid == CBOR_CONTENT:
        payloads = [content.payload for content in contents if content.type == CBOR]
        if len(payloads) != 1:
            raise ValueError("the assertion box holds no single CBOR box")
        return cbor.decode(payloads[0])
    if box.uuid == JSON_CONTENT:
        payloads = [content.payload for content in contents if content.type == JSON]
        if len(payloads) != 1:
            raise ValueError("the assertion box holds no single JSON box")
        text = bytes(payloads[0])
        if json_cost(text) > cbor.EXPANSION * len(text) + cbor.SLACK:
            raise ValueError(f"the JSON of {len(text)} bytes would take more than {cbor.EXPANSION} times as much "
                             "memory decoded")
        try:
            return json.loads(text.decode("utf-8"))
        except (UnicodeDecodeError, ValueError, RecursionError) as error:
            raise ValueError(f"not valid JSON: {shown(str(error))}") from None
    return None


def json_cost(text: bytes) -> int:
    """An upper bound of what json.loads makes of `text`, in bytes: an
    object costs up to 192 (a small dict), an array 64 (a list and its
    slot), any other byte 12 (a string of two characters and its quotes
    takes 59 bytes in five). Counting braces inside strings too only
    overestimates. The same budget as CBOR's (cbor.EXPANSION): a JSON
    assertion of empty objects, `[{},{},...]`, takes 24 times its size."""
    return 192 * text.count(b"{") + 64 * text.count(b"[") + 12 * len(text)


def validate_assertions(manifest: Manifest) -> None:
    """C2PA 2.2, 15.10.3.1 for every assertion of the claim, then 15.10.1
    and 15.10.3.2."""
    log = manifest.log
    claim = manifest.claim
    assert claim is not None
    for redacted in dict.fromkeys(claim.redacted):  # each URI once, however often it is listed
        found = resolve(redacted, manifest.store, manifest.box)
        if found.manifest is manifest.box:
            log.add("assertion.selfRedacted", f"the claim redacts its own assertion {shown(redacted)}", manifest.claim_url)

    seen: Dict[int, Assertion] = {}
    listed: Set[int] = set()  # every box the claim lists, whether its hash matched or not
    checked: Set[Tuple[str, bytes, str]] = set()  # references already checked, listed again word for word
    changed_binding = False  # a hard binding the claim lists, whose hash does not match
    changed_actions = False  # the same for an actions assertion
    for reference in claim.references:
        value = reference.value
        url_text = value.get("url") if isinstance(value, dict) else None
        if isinstance(url_text, str) and isinstance(value.get("hash"), bytes) and \
                isinstance(value.get("alg", ""), str) and len(value) <= 3:
            key = (url_text, value["hash"], value.get("alg", ""))
            if key in checked:
                continue  # the same assertion, hash and algorithm: the same outcome, found once
            checked.add(key)
        where = (manifest.url("c2pa.assertions", url_text.rpartition("/")[2])
                 if isinstance(url_text, str) and url_text else manifest.claim_url)
        found = resolve(url_text, manifest.store, manifest.box)
        if found.outside:
            log.add("assertion.outsideManifest", f"the claim lists {shown(url_text)}, which is not in its manifest", where)
            continue
        box = found.box
        if box is None or found.manifest is not manifest.box:
            log.add("assertion.missing", f"the claim lists {shown(url_text)}, which is not in the manifest", where)
            continue
        if found.parent is None or found.parent.uuid != ASSERTION_STORE:
            log.add("assertion.missing", f"the claim lists {shown(url_text)}, which is not an assertion box of the "
                    "manifest's assertion store (C2PA 2.2, 11.1.4.3)", where)
            continue
        label = box.label or ""
        url = manifest.url("c2pa.assertions", label)
        listed.add(id(box))
        alg = hash_algorithm(value, claim)
        if alg is None:
            log.add("algorithm.unsupported", f"no allowed hash algorithm is given for the hashed URI to {label}", url)
            continue
        expected = value.get("hash")
        if not isinstance(expected, bytes) or manifest.digest(box, alg) != expected:
            log.add("assertion.hashedURI.mismatch", f"the hash of the assertion {label} does not match the claim's",
                    url)
            changed_binding = changed_binding or base_label(label) in HARD_BINDINGS
            changed_actions = changed_actions or base_label(label) in ACTIONS_LABELS
            continue
        if id(box) in seen:
            continue  # listed again: one assertion, checked and decoded once
        log.add("assertion.hashedURI.match", f"the hash of the assertion {label} matches", url)
        assertion = Assertion(label, url, value, box, gathered=reference.gathered)
        try:
            assertion.value = _decode(box)
        except ValueError as error:
            json_box = box.uuid == JSON_CONTENT
            log.add("assertion.json.invalid" if json_box else "assertion.cbor.invalid",
                    f"the assertion {label} does not decode: {error}", url)
        seen[id(box)] = assertion
        manifest.assertions.append(assertion)

    stores = [box for box in manifest.box.superboxes()
              if box.uuid == ASSERTION_STORE and box.label == ASSERTION_STORE_LABEL]
    for store in stores:
        for box in store.superboxes():
            if id(box) not in listed and box.uuid in ASSERTION_TYPES:  # others are skipped (11.1.2)
                log.add("assertion.undeclared", f"the assertion {box.label} is not listed in the claim",
                        manifest.url("c2pa.assertions", box.label or ""))

    validate_references(manifest)
    if manifest.kind == "standard":
        _standard_manifest(manifest, changed_binding)
    else:
        _update_manifest(manifest)
    _validate_actions(manifest, changed_actions)


def hard_bindings(manifest: Manifest) -> List[Assertion]:
    return [assertion for assertion in manifest.assertions if base_label(assertion.label) in HARD_BINDINGS]


def parents(manifest: Manifest) -> List[Assertion]:
    """The ingredient assertions whose relationship is parentOf."""
    return [assertion for assertion in manifest.assertions
            if base_label(assertion.label) in INGREDIENT_LABELS and isinstance(assertion.value, dict)
            and assertion.value.get("relationship") == "parentOf"]


def _standard_manifest(manifest: Manifest, changed_binding: bool = False) -> None:
    """C2PA 2.2, 15.10.1.2, items 1 and 2 (item 3 is in the actions check).
    A hard binding that is there but changed (assertion.hashedURI.mismatch)
    is reported as that, not also as claim.hardBindings.missing."""
    bindings = hard_bindings(manifest)
    if not bindings and not changed_binding:
        manifest.log.add("claim.hardBindings.missing", "the manifest has no hard binding to the content",
                         manifest.claim_url)
    elif len(bindings) > 1:
        manifest.log.add("assertion.multipleHardBindings", "the manifest has more than one hard binding: " +
                         ", ".join(assertion.label for assertion in bindings), manifest.url("c2pa.assertions"))
    if len(parents(manifest)) > 1:
        manifest.log.add("manifest.multipleParents", "the manifest has more than one parentOf ingredient",
                         manifest.claim_url)


def _update_manifest(manifest: Manifest) -> None:
    """C2PA 2.2, 15.10.1.3."""
    ingredients = [assertion for assertion in manifest.assertions if base_label(assertion.label) in INGREDIENT_LABELS]
    if len(ingredients) != 1 or len(parents(manifest)) != 1:
        manifest.log.add("manifest.update.wrongParents", "an update manifest must have exactly one ingredient, "
                         "its parentOf", manifest.claim_url)
    for assertion in manifest.assertions:
        label = base_label(assertion.label)
        if label in HARD_BINDINGS or label == "c2pa.hash.multi-asset" or label.startswith("c2pa.thumbnail"):
            manifest.log.add("manifest.update.invalid", f"an update manifest may not hold {assertion.label}",
                             assertion.url)
        elif label in ACTIONS_LABELS:
            for name in actions.names(assertion.value):
                if name not in UPDATE_ACTIONS:
                    manifest.log.add("manifest.update.invalid", f"an update manifest may not record the action "
                                     f"{name}", assertion.url)


def _validate_actions(manifest: Manifest, changed_actions: bool = False) -> None:
    """C2PA 2.2, 15.10.3.2.2, with 15.10.1.2 item 3 for standard manifests.
    An actions assertion that is there but changed (assertion.hashedURI.mismatch)
    is reported as that, not also as one missing its first action."""
    found = [actions.ActionsAssertion(assertion.label, assertion.url, assertion.value)
             for assertion in manifest.assertions if base_label(assertion.label) in ACTIONS_LABELS]
    ingredients = {id(assertion.box): assertion for assertion in manifest.assertions
                   if base_label(assertion.label) in INGREDIENT_LABELS}

    def ingredient(reference: Any) -> Optional[str]:
        if not isinstance(reference, dict):
            return None
        resolved = resolve(reference.get("url"), manifest.store, manifest.box)
        if resolved.box is None or resolved.outside:
            return None
        assertion = ingredients.get(id(resolved.box))
        if assertion is None:
            return None
        alg = hash_algorithm(reference, manifest.claim) if manifest.claim else None
        if alg is None or manifest.digest(assertion.box, alg) != reference.get("hash"):
            return None
        value = assertion.value
        relationship = value.get("relationship") if isinstance(value, dict) else None
        return relationship if isinstance(relationship, str) else None

    actions.validate(found, ingredient, manifest.kind == "standard" and not (changed_actions and not found),
                     manifest.log, manifest.claim_url)
