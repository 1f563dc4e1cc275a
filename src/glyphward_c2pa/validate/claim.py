"""Locating and validating the claim (C2PA 2.2, 15.6)."""
from __future__ import annotations

from typing import Optional

from .. import cbor
from ..claim import ClaimError, parse
from ..jumbf import CBOR, SuperBox
from ..labels import CLAIM, CLAIM_LABEL, LEGACY_CLAIM_LABEL
from .context import Manifest


def claim_content(box: SuperBox) -> Optional[memoryview]:
    """The CBOR of a box that holds a single CBOR content box (a claim or a
    claim signature, C2PA 2.2, 11.1.4.4), or None."""
    boxes = list(box.content_boxes())
    if len(boxes) != 1 or boxes[0].type != CBOR or list(box.superboxes()):
        return None
    return boxes[0].payload


def validate_claim(manifest: Manifest) -> bool:
    """Finds the manifest's one claim and reads it; records failures in the
    manifest's log; True when the claim could be read."""
    log = manifest.log
    found = [box for box in manifest.box.superboxes()
             if box.uuid == CLAIM and box.label in (CLAIM_LABEL, LEGACY_CLAIM_LABEL)]
    if len(found) > 1:
        log.add("claim.multiple", "the manifest holds more than one claim", manifest.claim_url)
        return False
    if not found:
        log.add("claim.missing", "the manifest holds no claim", manifest.claim_url)
        return False
    box = found[0]
    version = 2 if box.label == CLAIM_LABEL else 1
    url = manifest.url(box.label or CLAIM_LABEL)
    content = claim_content(box)
    if content is None:
        log.add("claim.malformed", "the claim box does not hold a single CBOR box", url)
        return False
    try:
        value = cbor.decode(content)
    except cbor.CborError as error:
        log.add("claim.cbor.invalid", f"the claim is not valid CBOR: {error}", url)
        return False
    try:
        manifest.claim = parse(value, version)
    except ClaimError as error:
        log.add(error.code, error.message, url)
        return False
    manifest.claim_bytes = bytes(content)
    return True
