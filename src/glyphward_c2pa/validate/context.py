"""What the validation steps learn about one manifest and hand on."""
from __future__ import annotations

import hashlib
from dataclasses import dataclass, field
from datetime import datetime
from typing import Any, Dict, List, Optional, Tuple

from cryptography import x509

from ..claim import Claim
from ..jumbf import SuperBox
from ..status import StatusLog
from ..uris import absolute


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
    algorithm: Optional[str] = None
    signing_time: Optional[datetime] = None     # the claimed time, iat
    timestamp: Optional[datetime] = None        # a trusted time-stamp's time
    trusted: bool = False
    _digests: Dict[Tuple[int, str], bytes] = field(default_factory=dict, repr=False)

    def digest(self, box: SuperBox, alg: str) -> bytes:
        """The hash of a box's content (C2PA 2.2, 8.4.2.3), computed once
        however many hashed URIs name the box."""
        key = (id(box), alg)
        if key not in self._digests:
            self._digests[key] = hashlib.new(alg, box.content).digest()
        return self._digests[key]

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
