"""The claim (C2PA 2.2, 10): building a `c2pa.claim.v2`, and reading
`c2pa.claim.v2` and the older `c2pa.claim` (which validators still accept,
10.1) into one form."""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Sequence

from .labels import HASH_ALGORITHMS

SIGNATURE_URL = "self#jumbf=c2pa.signature"


@dataclass(frozen=True)
class HashedUri:
    """A hashed_uri (C2PA 2.2, 8.4.2.1)."""
    url: str
    hash: bytes
    alg: Optional[str] = None

    def to_cbor(self) -> Dict[str, Any]:
        value: Dict[str, Any] = {"url": self.url}
        if self.alg is not None:
            value["alg"] = self.alg
        value["hash"] = self.hash
        return value


def assertion_url(label: str) -> str:
    """The URI a claim uses for one of its own assertions (relative to its
    manifest, as C2PA 2.2, 10.2.1's example writes it)."""
    return f"self#jumbf=c2pa.assertions/{label}"


def build(*, instance_id: str, title: Optional[str], created: Sequence[HashedUri],
          generator: Dict[str, str], alg: str, gathered: Sequence[HashedUri] = ()) -> Dict[str, Any]:
    """A claim-map-v2 (C2PA 2.2, 10.2.1). `alg` is stated in the claim, so
    that it applies to every hashed URI that does not name its own."""
    claim: Dict[str, Any] = {
        "instanceID": instance_id,
        "claim_generator_info": generator,
        "signature": SIGNATURE_URL,
        "created_assertions": [uri.to_cbor() for uri in created],
        "alg": alg,
    }
    if gathered:
        claim["gathered_assertions"] = [uri.to_cbor() for uri in gathered]
    if title:
        claim["dc:title"] = title
    return claim


class ClaimError(ValueError):
    """A claim that cannot be used; `code` is the status code to report."""

    def __init__(self, code: str, message: str):
        super().__init__(message)
        self.code = code
        self.message = message


@dataclass
class Reference:
    """One assertion the claim lists: its hashed URI, raw, and whether it is
    a gathered one."""
    value: Any
    gathered: bool = False


@dataclass
class Claim:
    version: int                        # 2 for c2pa.claim.v2, 1 for c2pa.claim
    instance_id: str
    signature_url: str
    generator: str                      # "name version", for display
    title: Optional[str]
    alg: Optional[str]
    references: List[Reference]
    redacted: List[str] = field(default_factory=list)
    value: Dict[str, Any] = field(default_factory=dict)


def _text(value: Any) -> bool:
    return isinstance(value, str) and bool(value)


def parse(value: Any, version: int) -> Claim:
    """The claim in `value` (decoded CBOR); ClaimError with claim.malformed
    when a field C2PA 2.2, 15.6.2 requires is absent or has the wrong type."""
    def malformed(why: str) -> ClaimError:
        return ClaimError("claim.malformed", why)

    if not isinstance(value, dict):
        raise malformed("the claim is not a map")
    if version == 2:
        required = ("instanceID", "signature", "created_assertions", "claim_generator_info")
    else:
        required = ("instanceID", "signature", "assertions", "claim_generator")
    absent = [name for name in required if name not in value]
    if absent:
        raise malformed(f"the claim has no {', '.join(absent)}")
    if not _text(value["instanceID"]):
        raise malformed("the claim's instanceID is not a non-empty text string")
    if not _text(value["signature"]):
        raise malformed("the claim's signature is not a URI")

    if version == 2:
        info = value["claim_generator_info"]
        if not isinstance(info, dict) or not _text(info.get("name")):
            raise malformed("the claim's claim_generator_info has no name")
        generator = info["name"] + (f" {info['version']}" if _text(info.get("version")) else "")
        lists = [("created_assertions", False), ("gathered_assertions", True)]
    else:
        generator_value = value["claim_generator"]
        if not isinstance(generator_value, str):
            raise malformed("the claim's claim_generator is not a text string")
        generator = generator_value
        lists = [("assertions", False)]

    references: List[Reference] = []
    for name, gathered in lists:
        if name not in value:
            continue
        items = value[name]
        if not isinstance(items, list) or (not items and name != "gathered_assertions"):
            raise malformed(f"the claim's {name} is not a non-empty list")
        references.extend(Reference(item, gathered) for item in items)

    redacted = value.get("redacted_assertions", [])
    if not isinstance(redacted, list) or not all(isinstance(uri, str) for uri in redacted):
        raise malformed("the claim's redacted_assertions is not a list of URIs")
    title = value.get("dc:title")
    alg = value.get("alg")
    return Claim(version, value["instanceID"], value["signature"], generator,
                 title if isinstance(title, str) else None, alg if isinstance(alg, str) else None,
                 references, list(redacted), value)


def hash_algorithm(reference: Any, claim: Claim) -> Optional[str]:
    """The hash algorithm of a hashed URI (C2PA 2.2, 15.4.1: its own `alg`,
    else the claim's); None when neither names an allowed one."""
    alg = reference.get("alg", claim.alg) if isinstance(reference, dict) else None
    return alg if isinstance(alg, str) and alg in HASH_ALGORITHMS else None
