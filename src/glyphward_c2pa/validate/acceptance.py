"""The acceptance rule: what a validation report means for whoever uses the
font, in one place for `verify` and `sign`.

C2PA 2.2, 14.3.3 makes an asset valid when its active manifest is valid or
trusted (14.3.5, 14.3.6) and no failure bears on its content; a manifest is
trusted when its signer's chain ends at a trust anchor the validator was
given. `judge` turns a ValidationReport into one of three verdicts (trusted;
valid, signer not trusted; not valid), says whether the caller accepts the
font, and why, in words a person reads on the first line of `verify`'s
listing:

- trusted: accepted.
- valid, signer NOT trusted (signingCredential.untrusted): accepted when no
  trust anchors were given (nothing to trust against), or when the caller
  tolerates that code (a signer does, with or without anchors); otherwise
  not.
- NOT valid: not accepted, unless every failure is one the caller tolerates.
- A font whose signer is none of `expected_signers` is not accepted, whatever
  its verdict.

The reason is the first failure found that is not tolerated (the order of
C2PA 2.2, 15: claim, signature, assertions, content)."""
from __future__ import annotations

import re
from dataclasses import dataclass
from typing import AbstractSet, List, Optional, Sequence

from ..status import CONTENT, Code, State, Status, _Text
from .report import ValidationReport

# What a signer accepts the font it wrote despite: a credential that chains
# to none of its trust anchors (whoever verifies the font judges that).
SIGNING_TOLERATES = frozenset({Code.SIGNING_CREDENTIAL_UNTRUSTED})
# The most table names the words list of each kind of change (a font has
# some 10 to 40 tables; a hostile one up to 65,535).
NAMES_LISTED = 64
_FINGERPRINT = re.compile(r"[0-9a-fA-F]{64}")


class Verdict(_Text):
    TRUSTED = "trusted"
    VALID = "valid"          # valid, but the signer is not trusted
    NOT_VALID = "not valid"


@dataclass(frozen=True)
class Acceptance:
    """What a report means for its caller: the verdict, whether the font is
    accepted, the status that decided it (None when no failure did), and
    `words`, the verdict as a person reads it ("trusted", "valid, signer NOT
    trusted (no trust anchors given)", "NOT valid: content changed (glyf,
    name)")."""
    verdict: Verdict
    accepted: bool
    reason: Optional[Status]
    words: str
    expected_signer: Optional[bool] = None   # None: no signer expected


def fingerprint_text(text: str) -> Optional[str]:
    """A SHA-256 fingerprint as `text` gives it (64 hexadecimal digits, in
    either case, with or without colons), in lowercase without colons; None
    when `text` is not one."""
    compact = text.replace(":", "")
    return compact.lower() if _FINGERPRINT.fullmatch(compact) else None


def signer_matches(report: ValidationReport, expected: str) -> bool:
    """Whether the active manifest's signing certificate is `expected`: its
    SHA-256 fingerprint, or its subject exactly as a report shows it (RFC
    4514). A subject is only as good as the trust anchors the chain is
    checked against: anyone can make a certificate with any subject."""
    if not report.certificates:
        return False
    signer = report.certificates[0]
    fingerprint = fingerprint_text(expected)
    if fingerprint is not None:
        return signer.sha256 == fingerprint
    return signer.subject == expected


def judge(report: ValidationReport, *, anchors_given: bool, tolerated: AbstractSet[Code] = frozenset(),
          expected_signers: Sequence[str] = ()) -> Acceptance:
    """The acceptance of a font by its validation `report`. `anchors_given`:
    whether the validation had trust anchors (without them no signer is
    trusted, and that is no failure); `tolerated`: failure codes the caller
    accepts the font despite (a signer: signingCredential.untrusted);
    `expected_signers`: fingerprints or subjects (see signer_matches), one
    of which the signer must be, when any are given."""
    forgiven = set(tolerated) | (set() if anchors_given else {Code.SIGNING_CREDENTIAL_UNTRUSTED})
    failures = report.results.failure
    unforgiven = [status for status in failures if status.code not in forgiven]
    if report.error is not None or report.manifest_state in (State.NONE, State.REMOTE) \
            or not report.asset_valid:
        verdict = Verdict.NOT_VALID
        # Accepted despite its failures only when one the caller tolerates
        # explains them: signingCredential.untrusted never makes a font not
        # valid, so it alone cannot.
        accepted = not unforgiven and report.error is None and report.manifest is not None and any(
            status.code in tolerated and status.code != Code.SIGNING_CREDENTIAL_UNTRUSTED for status in failures)
        reason = unforgiven[0] if unforgiven else (failures[0] if failures else None)
        words = "NOT valid: " + _not_valid(report, reason)
    else:
        untrusted = [status for status in failures if status.code == Code.SIGNING_CREDENTIAL_UNTRUSTED]
        if report.manifest_state == State.TRUSTED:
            verdict, accepted, reason, words = Verdict.TRUSTED, True, None, "trusted"
        else:
            verdict = Verdict.VALID
            accepted = Code.SIGNING_CREDENTIAL_UNTRUSTED in forgiven
            reason = untrusted[0] if untrusted else None
            words = "valid, signer NOT trusted" + ("" if anchors_given else " (no trust anchors given)")
    matched: Optional[bool] = None
    if expected_signers:
        matched = any(signer_matches(report, expected) for expected in expected_signers)
        if not matched and verdict != Verdict.NOT_VALID:
            accepted = False
            words += ", and NOT an expected signer"
    return Acceptance(verdict, accepted, reason, words, matched)


# What the first failure says, for the codes a person meets most.
_WORDS = {
    Code.CLAIM_SIGNATURE_MISMATCH: "the claim signature does not verify",
    Code.CLAIM_SIGNATURE_MISSING: "the claim signature is missing",
    Code.SIGNING_CREDENTIAL_INVALID: "the signer's certificate is not valid for signing",
    Code.SIGNING_CREDENTIAL_UNTRUSTED: "the signer is not trusted",
    Code.SIGNING_CREDENTIAL_OCSP_REVOKED: "the signer's certificate is revoked",
    Code.ALGORITHM_UNSUPPORTED: "an algorithm is not one the standard allows",
    Code.CLAIM_HARD_BINDINGS_MISSING: "nothing binds the manifest to the font's content",
    Code.CLAIM_MISSING: "the manifest has no claim",
    Code.MANIFEST_INACCESSIBLE: "the remote manifest cannot be read",
}


def _not_valid(report: ValidationReport, reason: Optional[Status]) -> str:
    if report.error is not None:
        return report.error
    if report.manifest_state == State.NONE:
        return "no C2PA manifest"
    if report.manifest_state == State.REMOTE and reason is None:
        return "the manifest is remote, and was not read"
    if reason is None:
        return f"the manifest is {report.manifest_state}"
    code = reason.code
    if code in CONTENT:
        return "content changed" + _changes(report)
    if code == Code.ASSERTION_HASHED_URI_MISMATCH:
        label = (reason.url or "").rpartition("/")[2]
        return f"assertion changed ({_cut(label) if label else 'unnamed'})"
    if code == Code.CLAIM_SIGNATURE_OUTSIDE_VALIDITY:
        return _outside_validity(report)
    words = _WORDS.get(code)
    return f"{words} ({code})" if words else f"{code}: {_cut(reason.explanation, 100)}"


def _changes(report: ValidationReport) -> str:
    changes = report.changed_tables
    if changes is None:
        return ""
    parts: List[str] = []
    if changes.changed:
        parts.append(_names(changes.changed))
    if changes.removed:
        parts.append("removed: " + _names(changes.removed))
    if changes.added:
        parts.append("added: " + _names(changes.added))
    if not parts and changes.reordered:
        parts.append("tables reordered")
    return f" ({'; '.join(parts)})" if parts else ""


def _cut(name: str, limit: int = 64) -> str:
    return name if len(name) <= limit else name[:limit] + "..."


def _names(names: Sequence[str]) -> str:
    listed = ", ".join(_cut(name, 16) for name in names[:NAMES_LISTED])
    return listed + (f" and {len(names) - NAMES_LISTED} more" if len(names) > NAMES_LISTED else "")


def _outside_validity(report: ValidationReport) -> str:
    """C2PA 2.2, 15.7 and 15.8: without a trusted time-stamp a certificate
    is judged at the time of validation; with one, at the time it attests.
    When the signer claims (iat) a time within the certificate's validity and
    no time-stamp vouches for it, a time-stamp made at signing would have
    kept the signature valid after the certificate expired."""
    time_stamped = report.manifest is not None and report.manifest.timestamp is not None
    codes = {status.code for status in report.results.informational}
    if not time_stamped and Code.TIME_OF_SIGNING_INSIDE_VALIDITY in codes:
        return ("the signer's certificate is no longer valid, and no time-stamp shows that the font was signed "
                "while it was (claimSignature.outsideValidity); a time-stamp at signing (glyphward sign --tsa URL) "
                "would have kept the font valid")
    return "the signer's certificate was not valid at the time of signing (claimSignature.outsideValidity)"
