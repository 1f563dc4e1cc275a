"""Validation results as C2PA 2.2, 15.2 returns them: the standard's status
codes, each with the URL of the box it concerns and an explanation.

A code is a `Code`, a `str` enum whose values are the standard's strings
(C2PA 2.2, 15.2.2.1 to 15.2.2.3, Tables 2 to 4, and the CDDL of 15.2.1);
a status is made only with one of them: `Status("bogus.code", ...)` raises
ValueError where it is made, a programming error rather than a report. A
code compares, hashes and formats as its string, so `status.code ==
"claimSignature.validated"` and `f"{status.code}"` read as the standard
writes it. The states of a manifest (C2PA 2.2, 14.3) are a `State`, typed
the same way."""
from __future__ import annotations

from dataclasses import dataclass, field
from enum import Enum
from typing import AbstractSet, Dict, List, Optional, Union


class _Text(str, Enum):
    """An enum of strings that prints as its string on every Python from 3.9
    (3.12 changed how a str enum formats)."""

    def __str__(self) -> str:
        return str(self.value)

    def __format__(self, spec: str) -> str:
        return format(str(self.value), spec)


class Code(_Text):
    """The standard status codes of C2PA 2.2, 15.2.2."""

    # 15.2.2.1, Table 2: success codes.
    ASSERTION_ACCESSIBLE = "assertion.accessible"
    ASSERTION_BMFF_HASH_MATCH = "assertion.bmffHash.match"
    ASSERTION_BOXES_HASH_MATCH = "assertion.boxesHash.match"
    ASSERTION_COLLECTION_HASH_MATCH = "assertion.collectionHash.match"
    ASSERTION_DATA_HASH_MATCH = "assertion.dataHash.match"
    ASSERTION_HASHED_URI_MATCH = "assertion.hashedURI.match"
    ASSERTION_MULTI_ASSET_HASH_MATCH = "assertion.multiAssetHash.match"
    CLAIM_SIGNATURE_INSIDE_VALIDITY = "claimSignature.insideValidity"
    CLAIM_SIGNATURE_VALIDATED = "claimSignature.validated"
    INGREDIENT_CLAIM_SIGNATURE_VALIDATED = "ingredient.claimSignature.validated"
    INGREDIENT_MANIFEST_VALIDATED = "ingredient.manifest.validated"
    SIGNING_CREDENTIAL_OCSP_NOT_REVOKED = "signingCredential.ocsp.notRevoked"
    SIGNING_CREDENTIAL_TRUSTED = "signingCredential.trusted"
    TIME_STAMP_TRUSTED = "timeStamp.trusted"
    TIME_STAMP_VALIDATED = "timeStamp.validated"

    # 15.2.2.2, Table 3: informational codes. algorithm.deprecated is here as
    # Table 3 lists it; the CDDL of 15.2.1 lists it among the failure codes.
    ALGORITHM_DEPRECATED = "algorithm.deprecated"
    INGREDIENT_UNKNOWN_PROVENANCE = "ingredient.unknownProvenance"
    MANIFEST_UNKNOWN_PROVENANCE = "manifest.unknownProvenance"
    SIGNING_CREDENTIAL_OCSP_INACCESSIBLE = "signingCredential.ocsp.inaccessible"
    SIGNING_CREDENTIAL_OCSP_SKIPPED = "signingCredential.ocsp.skipped"
    TIME_OF_SIGNING_INSIDE_VALIDITY = "timeOfSigning.insideValidity"
    TIME_OF_SIGNING_OUTSIDE_VALIDITY = "timeOfSigning.outsideValidity"
    TIME_STAMP_MALFORMED = "timeStamp.malformed"
    TIME_STAMP_MISMATCH = "timeStamp.mismatch"
    TIME_STAMP_OUTSIDE_VALIDITY = "timeStamp.outsideValidity"
    TIME_STAMP_UNTRUSTED = "timeStamp.untrusted"
    ASSERTION_DATA_HASH_ADDITIONAL_EXCLUSIONS_PRESENT = "assertion.dataHash.additionalExclusionsPresent"

    # 15.2.2.3, Table 4 (and the CDDL of 15.2.1): failure codes.
    ALGORITHM_UNSUPPORTED = "algorithm.unsupported"
    ASSERTION_ACTION_INGREDIENT_MISMATCH = "assertion.action.ingredientMismatch"
    ASSERTION_ACTION_MALFORMED = "assertion.action.malformed"
    ASSERTION_ACTION_REDACTED = "assertion.action.redacted"
    ASSERTION_ACTION_REDACTION_MISMATCH = "assertion.action.redactionMismatch"
    ASSERTION_BMFF_HASH_MALFORMED = "assertion.bmffHash.malformed"
    ASSERTION_BMFF_HASH_MISMATCH = "assertion.bmffHash.mismatch"
    ASSERTION_BOXES_HASH_MALFORMED = "assertion.boxesHash.malformed"
    ASSERTION_BOXES_HASH_MISMATCH = "assertion.boxesHash.mismatch"
    ASSERTION_BOXES_HASH_UNKNOWN_BOX = "assertion.boxesHash.unknownBox"
    ASSERTION_CLOUD_DATA_ACTIONS = "assertion.cloud-data.actions"
    ASSERTION_CLOUD_DATA_HARD_BINDING = "assertion.cloud-data.hardBinding"
    ASSERTION_CLOUD_DATA_MALFORMED = "assertion.cloud-data.malformed"
    ASSERTION_CBOR_INVALID = "assertion.cbor.invalid"
    ASSERTION_COLLECTION_HASH_INCORRECT_FILE_COUNT = "assertion.collectionHash.incorrectFileCount"
    ASSERTION_COLLECTION_HASH_INVALID_URI = "assertion.collectionHash.invalidURI"
    ASSERTION_COLLECTION_HASH_MALFORMED = "assertion.collectionHash.malformed"
    ASSERTION_COLLECTION_HASH_MISMATCH = "assertion.collectionHash.mismatch"
    ASSERTION_DATA_HASH_MALFORMED = "assertion.dataHash.malformed"
    ASSERTION_DATA_HASH_MISMATCH = "assertion.dataHash.mismatch"
    ASSERTION_DATA_HASH_REDACTED = "assertion.dataHash.redacted"
    ASSERTION_HASHED_URI_MISMATCH = "assertion.hashedURI.mismatch"
    ASSERTION_INACCESSIBLE = "assertion.inaccessible"
    ASSERTION_INGREDIENT_MALFORMED = "assertion.ingredient.malformed"
    ASSERTION_JSON_INVALID = "assertion.json.invalid"
    ASSERTION_MISSING = "assertion.missing"
    ASSERTION_MULTI_ASSET_HASH_MALFORMED = "assertion.multiAssetHash.malformed"
    ASSERTION_MULTI_ASSET_HASH_MISSING_PART = "assertion.multiAssetHash.missingPart"
    ASSERTION_MULTI_ASSET_HASH_MISMATCH = "assertion.multiAssetHash.mismatch"
    ASSERTION_MULTIPLE_HARD_BINDINGS = "assertion.multipleHardBindings"
    ASSERTION_NOT_REDACTED = "assertion.notRedacted"
    ASSERTION_OUTSIDE_MANIFEST = "assertion.outsideManifest"
    ASSERTION_SELF_REDACTED = "assertion.selfRedacted"
    ASSERTION_TIMESTAMP_MALFORMED = "assertion.timestamp.malformed"
    ASSERTION_UNDECLARED = "assertion.undeclared"
    CLAIM_CBOR_INVALID = "claim.cbor.invalid"
    CLAIM_HARD_BINDINGS_MISSING = "claim.hardBindings.missing"
    CLAIM_MALFORMED = "claim.malformed"
    CLAIM_MISSING = "claim.missing"
    CLAIM_MULTIPLE = "claim.multiple"
    CLAIM_SIGNATURE_MISSING = "claimSignature.missing"
    CLAIM_SIGNATURE_MISMATCH = "claimSignature.mismatch"
    CLAIM_SIGNATURE_OUTSIDE_VALIDITY = "claimSignature.outsideValidity"
    GENERAL_ERROR = "general.error"
    HASHED_URI_MISSING = "hashedURI.missing"
    HASHED_URI_MISMATCH = "hashedURI.mismatch"
    INGREDIENT_CLAIM_SIGNATURE_MISSING = "ingredient.claimSignature.missing"
    INGREDIENT_CLAIM_SIGNATURE_MISMATCH = "ingredient.claimSignature.mismatch"
    INGREDIENT_MANIFEST_MISSING = "ingredient.manifest.missing"
    INGREDIENT_MANIFEST_MISMATCH = "ingredient.manifest.mismatch"
    MANIFEST_COMPRESSED_INVALID = "manifest.compressed.invalid"
    MANIFEST_INACCESSIBLE = "manifest.inaccessible"
    MANIFEST_MULTIPLE_PARENTS = "manifest.multipleParents"
    MANIFEST_TIMESTAMP_INVALID = "manifest.timestamp.invalid"
    MANIFEST_TIMESTAMP_WRONG_PARENTS = "manifest.timestamp.wrongParents"
    MANIFEST_UPDATE_INVALID = "manifest.update.invalid"
    MANIFEST_UPDATE_WRONG_PARENTS = "manifest.update.wrongParents"
    SIGNING_CREDENTIAL_INVALID = "signingCredential.invalid"
    SIGNING_CREDENTIAL_OCSP_REVOKED = "signingCredential.ocsp.revoked"
    SIGNING_CREDENTIAL_OCSP_UNKNOWN = "signingCredential.ocsp.unknown"
    SIGNING_CREDENTIAL_UNTRUSTED = "signingCredential.untrusted"

    @property
    def kind(self) -> str:
        """Which list of a status-codes-map (C2PA 2.2, 15.2.1) the code goes
        in: "success", "informational" or "failure"."""
        if self in SUCCESS:
            return "success"
        return "informational" if self in INFORMATIONAL else "failure"


class State(_Text):
    """The state of a font's active manifest: C2PA 2.2, 14.3.4 to 14.3.6
    (invalid, well-formed, valid, trusted), or why there is none to judge
    (none; remote, when only a remote manifest's URI is there to follow)."""

    NONE = "none"
    REMOTE = "remote"
    INVALID = "invalid"
    WELL_FORMED = "well-formed"
    VALID = "valid"
    TRUSTED = "trusted"

    @property
    def validated(self) -> bool:
        """Valid or trusted: a manifest whose signature and credential hold."""
        return self in (State.VALID, State.TRUSTED)


# C2PA 2.2, 15.2.2.1: success codes.
SUCCESS = frozenset({
    Code.ASSERTION_ACCESSIBLE, Code.ASSERTION_BMFF_HASH_MATCH, Code.ASSERTION_BOXES_HASH_MATCH,
    Code.ASSERTION_COLLECTION_HASH_MATCH, Code.ASSERTION_DATA_HASH_MATCH, Code.ASSERTION_HASHED_URI_MATCH,
    Code.ASSERTION_MULTI_ASSET_HASH_MATCH, Code.CLAIM_SIGNATURE_INSIDE_VALIDITY, Code.CLAIM_SIGNATURE_VALIDATED,
    Code.INGREDIENT_CLAIM_SIGNATURE_VALIDATED, Code.INGREDIENT_MANIFEST_VALIDATED,
    Code.SIGNING_CREDENTIAL_OCSP_NOT_REVOKED, Code.SIGNING_CREDENTIAL_TRUSTED, Code.TIME_STAMP_TRUSTED,
    Code.TIME_STAMP_VALIDATED,
})
# C2PA 2.2, 15.2.2.2: informational codes.
INFORMATIONAL = frozenset({
    Code.ALGORITHM_DEPRECATED, Code.INGREDIENT_UNKNOWN_PROVENANCE, Code.MANIFEST_UNKNOWN_PROVENANCE,
    Code.SIGNING_CREDENTIAL_OCSP_INACCESSIBLE, Code.SIGNING_CREDENTIAL_OCSP_SKIPPED,
    Code.TIME_OF_SIGNING_INSIDE_VALIDITY, Code.TIME_OF_SIGNING_OUTSIDE_VALIDITY, Code.TIME_STAMP_MALFORMED,
    Code.TIME_STAMP_MISMATCH, Code.TIME_STAMP_OUTSIDE_VALIDITY, Code.TIME_STAMP_UNTRUSTED,
    Code.ASSERTION_DATA_HASH_ADDITIONAL_EXCLUSIONS_PRESENT,
})

# Failure codes that leave a manifest Well-Formed (C2PA 2.2, 14.3.4) but not
# Valid (14.3.5): the signature, the credential and its time.
NOT_VALID = frozenset({
    Code.CLAIM_SIGNATURE_MISMATCH, Code.CLAIM_SIGNATURE_OUTSIDE_VALIDITY, Code.SIGNING_CREDENTIAL_INVALID,
    Code.SIGNING_CREDENTIAL_OCSP_REVOKED, Code.SIGNING_CREDENTIAL_OCSP_UNKNOWN, Code.ALGORITHM_UNSUPPORTED,
})
# Failure codes that only keep a Valid manifest from being Trusted (14.3.6).
NOT_TRUSTED = frozenset({Code.SIGNING_CREDENTIAL_UNTRUSTED})
# Failure codes about the asset's content, not the manifest (14.3.3).
CONTENT = frozenset({
    Code.ASSERTION_DATA_HASH_MISMATCH, Code.ASSERTION_BOXES_HASH_MISMATCH, Code.ASSERTION_BOXES_HASH_UNKNOWN_BOX,
    Code.ASSERTION_BMFF_HASH_MISMATCH, Code.ASSERTION_COLLECTION_HASH_MISMATCH,
})


def code_of(code: Union[Code, str]) -> Code:
    """`code` as a Code; ValueError for a string that is not one of the
    standard's codes (a programming error where a status is made)."""
    if isinstance(code, Code):
        return code
    try:
        return Code(code)
    except ValueError:
        raise ValueError(f"{code!r} is not a status code of C2PA 2.2, 15.2.2") from None


@dataclass
class Status:
    code: Code
    url: Optional[str]
    explanation: str

    def __post_init__(self) -> None:
        self.code = code_of(self.code)

    def to_json(self) -> Dict[str, str]:
        entry = {"code": self.code.value}
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

    _counts: Dict[Code, int] = field(default_factory=dict, repr=False, compare=False)
    _overflow: Dict[Code, Status] = field(default_factory=dict, repr=False, compare=False)

    def add(self, code: Union[Code, str], explanation: str, url: Optional[str] = None) -> None:
        """Records a status; `code` is a Code or the standard's string for
        one (anything else raises ValueError, before anything is recorded)."""
        code = code_of(code)
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
        {"success": self.success, "informational": self.informational, "failure": self.failure}[code.kind] \
            .append(status)

    def extend(self, other: "StatusLog") -> None:
        self.success.extend(other.success)
        self.informational.extend(other.informational)
        self.failure.extend(other.failure)

    def codes(self) -> List[Code]:
        return [status.code for status in self.success + self.informational + self.failure]

    def failed(self, codes: Optional[AbstractSet[Code]] = None) -> bool:
        """Whether any failure (or any failure among `codes`) was recorded."""
        return any(codes is None or status.code in codes for status in self.failure)

    def to_json(self) -> Dict[str, List[Dict[str, str]]]:
        return {"success": [status.to_json() for status in self.success],
                "informational": [status.to_json() for status in self.informational],
                "failure": [status.to_json() for status in self.failure]}
