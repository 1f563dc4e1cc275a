"""Validation results as C2PA 2.2, 15.2 returns them: the standard's status
codes, each with the URL of the box it concerns and an explanation."""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import Dict, FrozenSet, List, Optional

# C2PA 2.2, 15.2.2.1: success codes.
SUCCESS = frozenset({
    "assertion.accessible", "assertion.bmffHash.match", "assertion.boxesHash.match",
    "assertion.collectionHash.match", "assertion.dataHash.match", "assertion.hashedURI.match",
    "assertion.multiAssetHash.match", "claimSignature.insideValidity", "claimSignature.validated",
    "ingredient.claimSignature.validated", "ingredient.manifest.validated",
    "signingCredential.ocsp.notRevoked", "signingCredential.trusted", "timeStamp.trusted",
    "timeStamp.validated",
})
# C2PA 2.2, 15.2.2.2: informational codes.
INFORMATIONAL = frozenset({
    "algorithm.deprecated", "ingredient.unknownProvenance", "manifest.unknownProvenance",
    "signingCredential.ocsp.inaccessible", "signingCredential.ocsp.skipped", "timeOfSigning.insideValidity",
    "timeOfSigning.outsideValidity", "timeStamp.malformed", "timeStamp.mismatch", "timeStamp.outsideValidity",
    "timeStamp.untrusted", "assertion.dataHash.additionalExclusionsPresent",
})

# Failure codes that leave a manifest Well-Formed (C2PA 2.2, 14.3.4) but not
# Valid (14.3.5): the signature, the credential and its time.
NOT_VALID = frozenset({
    "claimSignature.mismatch", "claimSignature.outsideValidity", "signingCredential.invalid",
    "signingCredential.ocsp.revoked", "signingCredential.ocsp.unknown", "algorithm.unsupported",
})
# Failure codes that only keep a Valid manifest from being Trusted (14.3.6).
NOT_TRUSTED = frozenset({"signingCredential.untrusted"})
# Failure codes about the asset's content, not the manifest (14.3.3).
CONTENT = frozenset({
    "assertion.dataHash.mismatch", "assertion.boxesHash.mismatch", "assertion.boxesHash.unknownBox",
    "assertion.bmffHash.mismatch", "assertion.collectionHash.mismatch",
})


@dataclass
class Status:
    code: str
    url: Optional[str]
    explanation: str

    def to_json(self) -> Dict[str, str]:
        entry = {"code": self.code}
        if self.url is not None:
            entry["url"] = self.url
        entry["explanation"] = self.explanation
        return entry


# A hostile manifest can make one check fail many times over (one redaction
# listed 340,000 times): a log keeps the first MAX_PER_CODE statuses of each
# code, and one more that counts the rest, so that a report is never much
# larger than what it reports on.
MAX_PER_CODE = 100


@dataclass
class StatusLog:
    """The codes of one manifest's validation, in the order found."""
    success: List[Status] = field(default_factory=list)
    informational: List[Status] = field(default_factory=list)
    failure: List[Status] = field(default_factory=list)

    _counts: Dict[str, int] = field(default_factory=dict, repr=False, compare=False)
    _overflow: Dict[str, Status] = field(default_factory=dict, repr=False, compare=False)

    def add(self, code: str, explanation: str, url: Optional[str] = None) -> None:
        count = self._counts.get(code, 0) + 1
        self._counts[code] = count
        if count > MAX_PER_CODE:
            # One more status of the code stands for all the rest, counted.
            more = count - MAX_PER_CODE
            if code in self._overflow:
                self._overflow[code].explanation = f"and {more} more statuses of this code, not listed"
                return
            status = Status(code, None, f"and {more} more status of this code, not listed")
            self._overflow[code] = status
        else:
            status = Status(code, url, explanation)
        if code in SUCCESS:
            self.success.append(status)
        elif code in INFORMATIONAL:
            self.informational.append(status)
        else:
            self.failure.append(status)

    def extend(self, other: "StatusLog") -> None:
        self.success.extend(other.success)
        self.informational.extend(other.informational)
        self.failure.extend(other.failure)

    def codes(self) -> List[str]:
        return [status.code for status in self.success + self.informational + self.failure]

    def failed(self, codes: Optional[FrozenSet[str]] = None) -> bool:
        """Whether any failure (or any failure among `codes`) was recorded."""
        return any(codes is None or status.code in codes for status in self.failure)

    def to_json(self) -> Dict[str, List[Dict[str, str]]]:
        return {"success": [status.to_json() for status in self.success],
                "informational": [status.to_json() for status in self.informational],
                "failure": [status.to_json() for status in self.failure]}
