"""The ingredient assertion, `c2pa.ingredient.v3` (C2PA 2.2, 18.15), for the
font a re-signed font was made from: its parentOf ingredient, with the
hashed URIs of its active manifest and claim signature and the validation
results the signer found (18.15.12.3 and 18.15.12.4.3)."""
from __future__ import annotations

from typing import Any, Dict, Optional

from ..claim import HashedUri

PARENT_OF = "parentOf"
RELATIONSHIPS = ("parentOf", "componentOf", "inputTo")


def media_type(sfnt_version: bytes) -> str:
    """The IANA media type of a font (RFC 8081)."""
    return "font/otf" if sfnt_version == b"OTTO" else "font/ttf"


def parent(*, title: Optional[str], format: str, active_manifest: HashedUri, claim_signature: HashedUri,
           validation_results: Dict[str, Any]) -> Dict[str, Any]:
    value: Dict[str, Any] = {}
    if title:
        value["dc:title"] = title
    value["dc:format"] = format
    value["relationship"] = PARENT_OF
    value["activeManifest"] = active_manifest.to_cbor()
    value["claimSignature"] = claim_signature.to_cbor()
    value["validationResults"] = validation_results
    return value
