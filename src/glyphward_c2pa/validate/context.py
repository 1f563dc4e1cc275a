"""What the validation steps learn about one manifest and hand on."""
from __future__ import annotations

import hashlib
import weakref
from dataclasses import dataclass, field
from datetime import datetime
from typing import Any, Dict, List, Optional, Tuple, Union

from cryptography import x509

from ..claim import Claim
from ..jumbf import SuperBox
from ..status import StatusLog
from ..uris import absolute


@dataclass
class Shared:
    """What every manifest of one validation shares, through the Manifest
    Store they are read from: each box hashed at most once per algorithm, and
    each compressed manifest expanded at most once, under one cap on what the
    whole store expands to."""
    digests: Dict[Tuple[int, str], bytes] = field(default_factory=dict)
    expanded: Dict[int, Union[SuperBox, str]] = field(default_factory=dict)   # by the compressed box
    expanded_bytes: int = 0


# By the identity of the store's box, for as long as it lives. Every box a
# digest or an expansion is kept for lives as long: it is in the store, or
# in an expansion kept here.
_SHARED: Dict[int, Shared] = {}


def shared(store: SuperBox) -> Shared:
    """The state the validation of `store` shares across its manifests."""
    key = id(store)
    found = _SHARED.get(key)
    if found is None:
        found = _SHARED[key] = Shared()
        weakref.finalize(store, _SHARED.pop, key, None)
    return found


@dataclass
class Assertion:
    """An assertion the claim lists, found and hash-checked."""
    label: str
    url: str                    # its absolute URI, for reports
    reference: Any              # the claim's hashed URI to it
    box: SuperBox
    value: Any = None           # decoded CBOR or JSON; None when not decodable
    gathered: bool = False


@dataclass
class Manifest:
    store: SuperBox
    box: SuperBox
    label: str
    kind: str                               # "standard" or "update"
    log: StatusLog = field(default_factory=StatusLog)
    claim: Optional[Claim] = None
    claim_bytes: bytes = b""
    assertions: List[Assertion] = field(default_factory=list)
    signer: Optional[x509.Certificate] = None
    chain: List[x509.Certificate] = field(default_factory=list)   # the x5chain as carried, signer first
    algorithm: Optional[str] = None
    signing_time: Optional[datetime] = None     # the claimed time, iat
    timestamp: Optional[datetime] = None        # a trusted time-stamp's time
    trusted: bool = False

    def digest(self, box: SuperBox, alg: str) -> bytes:
        """The hash of a box's content (C2PA 2.2, 8.4.2.3), computed once in
        a validation however many hashed URIs, of however many manifests,
        name the box."""
        digests = shared(self.store).digests
        key = (id(box), alg)
        found = digests.get(key)
        if found is None:
            found = digests[key] = hashlib.new(alg, box.content).digest()
        return found

    def url(self, *path: str) -> str:
        return absolute(self.label, *path)

    @property
    def claim_url(self) -> str:
        return self.url("c2pa.claim" if self.claim is not None and self.claim.version == 1 else "c2pa.claim.v2")

    @property
    def signature_url(self) -> str:
        return self.url("c2pa.signature")

    def by_label(self) -> Dict[str, Assertion]:
        return {assertion.label: assertion for assertion in self.assertions}
