"""What validation tells of a font: the state of its active manifest (C2PA
2.2, 14.3.2), whether the asset is valid (14.3.3), a summary of the manifest,
and the status codes shaped as the standard's validation-results-map
(15.2.1)."""
from __future__ import annotations

import functools

from dataclasses import dataclass, field
from datetime import datetime
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

from cryptography import x509
from cryptography.hazmat.primitives import hashes

from ..assertions import actions
from ..certificates import describe_name
from ..labels import ACTIONS_LABELS, base_label
from ..status import CONTENT, NOT_TRUSTED, NOT_VALID, Code, State, Status, StatusLog
from .assertions import hard_bindings
from .changes import TableChanges
from .context import Manifest

STATES = tuple(state.value for state in State)
# The most certificates of a chain a report describes (a hostile x5chain may
# carry thousands); the rest are counted.
MAX_CHAIN = 32


def _time(value: Optional[datetime]) -> Optional[str]:
    return value.isoformat().replace("+00:00", "Z") if value is not None else None


@dataclass
class ManifestSummary:
    """The facts a person checking a font wants to see."""
    label: str
    kind: str
    title: Optional[str]
    claim_generator: Optional[str]
    signer: Optional[str]
    issuer: Optional[str]
    algorithm: Optional[str]
    signing_time: Optional[str]      # the claimed time of signing (iat), ISO 8601
    timestamp: Optional[str]         # the time a trusted time-stamp attests
    binding: Optional[str]
    assertions: List[str]
    actions: List[str]
    state: State = State.INVALID
    content_when_used: Optional[str] = None   # for an ingredient: "unchanged" / "changed" when re-signed

    def to_json(self) -> Dict[str, Any]:
        return {"label": self.label, "kind": self.kind, "title": self.title,
                "claim_generator": self.claim_generator, "signer": self.signer, "issuer": self.issuer,
                "algorithm": self.algorithm, "signing_time": self.signing_time, "timestamp": self.timestamp,
                "binding": self.binding, "assertions": self.assertions, "actions": self.actions,
                "content_when_used": self.content_when_used}


def summarize(manifest: Manifest, recorded: Optional[Dict[str, Any]] = None) -> ManifestSummary:
    """The summary of a validated manifest; for an ingredient manifest,
    `recorded` is what the next signer recorded of it, whose binding codes
    tell whether its content had changed by then."""
    claim = manifest.claim
    signer = manifest.signer
    bindings = hard_bindings(manifest)
    names: List[str] = []
    for assertion in manifest.assertions:
        if base_label(assertion.label) in ACTIONS_LABELS:
            names.extend(actions.names(assertion.value))
    return ManifestSummary(
        label=manifest.label, kind=manifest.kind,
        title=claim.title if claim else None, claim_generator=claim.generator if claim else None,
        signer=_name(signer, "subject"), issuer=_name(signer, "issuer"),
        algorithm=manifest.algorithm, signing_time=_time(manifest.signing_time), timestamp=_time(manifest.timestamp),
        binding=bindings[0].label if len(bindings) == 1 else None,
        assertions=[assertion.label for assertion in manifest.assertions], actions=names,
        state=manifest_state(manifest.log), content_when_used=_content(recorded))


@dataclass(frozen=True)
class CertificateSummary:
    """One certificate of a signer's chain, as a person (or a pin) checks
    it: its SHA-256 fingerprint (of its DER), serial number (hexadecimal),
    subject, issuer and validity (ISO 8601)."""
    sha256: str
    serial: Optional[str]
    subject: str
    issuer: str
    not_before: Optional[str]
    not_after: Optional[str]

    @classmethod
    def of(cls, certificate: x509.Certificate) -> "CertificateSummary":
        from cryptography.hazmat.primitives.serialization import Encoding

        try:
            serial: Optional[str] = format(certificate.serial_number, "x")
        except Exception:  # a serial cryptography refuses to read
            serial = None
        try:
            before: Optional[str] = _time(certificate.not_valid_before_utc)
            after: Optional[str] = _time(certificate.not_valid_after_utc)
        except Exception:
            before = after = None
        try:
            fingerprint = certificate.fingerprint(hashes.SHA256()).hex()
        except Exception:
            import hashlib

            fingerprint = hashlib.sha256(certificate.public_bytes(Encoding.DER)).hexdigest()
        return cls(fingerprint, serial, _name(certificate, "subject") or "", _name(certificate, "issuer") or "",
                   before, after)

    def to_json(self) -> Dict[str, Any]:
        return {"sha256": self.sha256, "serial": self.serial, "subject": self.subject, "issuer": self.issuer,
                "not_before": self.not_before, "not_after": self.not_after}


def chain_summary(chain: Sequence[x509.Certificate]) -> List[CertificateSummary]:
    """The first MAX_CHAIN certificates of an x5chain, signer first."""
    return [_summary(certificate) for certificate in chain[:MAX_CHAIN]]


@functools.lru_cache(maxsize=256)
def _summary(certificate: x509.Certificate) -> CertificateSummary:
    """CertificateSummary.of, once per certificate: a signer's fonts share
    their chain (certificates.load_der_chain gives the same objects), and
    its fingerprint and names cost more than the rest of a small font's
    validation."""
    return CertificateSummary.of(certificate)


@dataclass(frozen=True)
class AssertionContent:
    """An assertion of the active manifest and what it holds: its decoded
    CBOR or JSON (None when it does not decode), shown through
    `shown.shown_value` whenever it is printed."""
    label: str
    value: Any


def _content(recorded: Optional[Dict[str, Any]]) -> Optional[str]:
    """What the signer who used an ingredient found of its hard binding:
    "unchanged", "changed" or None (not recorded)."""
    if not recorded:
        return None
    for kind, verdict in (("failure", "changed"), ("success", "unchanged")):
        for status in recorded.get(kind) or []:
            code = status.get("code") if isinstance(status, dict) else None
            if isinstance(code, str) and (code in CONTENT or code.endswith("Hash.match")):
                return verdict
    return None


def _name(certificate: Optional[x509.Certificate], field: str) -> Optional[str]:
    """The certificate's subject or issuer for display; a name cryptography
    refuses to read is shown as such."""
    if certificate is None:
        return None
    try:
        return describe_name(getattr(certificate, field))
    except Exception:  # cryptography raises ValueError and others on damaged names
        return f"(a {field} that cannot be read)"


def manifest_state(log: StatusLog) -> State:
    """C2PA 2.2, 14.3.4 to 14.3.6: invalid (not well-formed), well-formed,
    valid or trusted. Content failures belong to the asset, not the
    manifest (14.3.3)."""
    codes = {status.code for status in log.failure}
    if codes - NOT_VALID - NOT_TRUSTED - CONTENT:
        return State.INVALID
    validated = {status.code for status in log.success}
    if codes & NOT_VALID or not {Code.CLAIM_SIGNATURE_VALIDATED, Code.CLAIM_SIGNATURE_INSIDE_VALIDITY} <= validated:
        return State.WELL_FORMED
    return State.TRUSTED if Code.SIGNING_CREDENTIAL_TRUSTED in validated else State.VALID


def bearing_failures(log: StatusLog) -> List[Status]:
    """The failures that keep an asset from being valid: every failure but
    signingCredential.untrusted, which only keeps a valid manifest from
    being trusted (C2PA 2.2, 14.3.6) and is judged by whoever gave the trust
    anchors."""
    return [status for status in log.failure if status.code not in NOT_TRUSTED]


@dataclass
class ValidationReport:
    """The validation of one font.

    `asset_valid` is what the validator found of the content binding; the
    report itself upholds the rule of C2PA 2.2, 14.3.3, whoever builds it:
    the asset is valid only when the active manifest is valid or trusted and
    no failure bears on it. A failure of the manifest whose binding an update
    manifest uses is recorded in the active manifest's results (as
    claim.hardBindings.missing), so this one check covers it too.

    `certificates` is the active manifest's x5chain (signer first, at most
    MAX_CHAIN of `chain_length`), `changed_tables` what differs from the
    tables a box hash binds (when it does not match), and `assertions` the
    active manifest's assertions with their content."""
    manifest_state: State
    asset_valid: bool
    manifest: Optional[ManifestSummary] = None
    results: StatusLog = field(default_factory=StatusLog)
    remote_uri: Optional[str] = None
    error: Optional[str] = None
    ingredient_deltas: List[Dict[str, Any]] = field(default_factory=list)
    history: List[ManifestSummary] = field(default_factory=list)
    certificates: List[CertificateSummary] = field(default_factory=list)
    chain_length: int = 0
    changed_tables: Optional[TableChanges] = None
    assertions: List[AssertionContent] = field(default_factory=list)

    def __post_init__(self) -> None:
        self.manifest_state = State(self.manifest_state)
        self.asset_valid = bool(self.asset_valid) and self.manifest_state.validated \
            and not bearing_failures(self.results)

    @property
    def validation_results(self) -> Dict[str, Any]:
        """The validation-results-map of C2PA 2.2, 15.2.1."""
        results: Dict[str, Any] = {}
        if self.manifest is not None or self.results.codes():
            results["activeManifest"] = self.results.to_json()
        if self.ingredient_deltas:
            results["ingredientDeltas"] = self.ingredient_deltas
        return results

    def to_json(self, path: Optional[str] = None, show: bool = False) -> Dict[str, Any]:
        """The report as JSON values: the keys of earlier releases, then
        certificate_chain ({sha256, serial, subject, issuer, not_before,
        not_after} for each certificate, signer first), changed_tables and,
        with `show`, assertions ([{label, content}], each content bounded as
        `shown.shown_value` bounds it; null without `show`)."""
        from ..shown import shown_value

        record: Dict[str, Any] = {} if path is None else {"path": path}
        record.update({
            "manifest_state": self.manifest_state.value,
            "asset_valid": self.asset_valid,
            "remote_manifest_uri": self.remote_uri,
            "manifest": self.manifest.to_json() if self.manifest is not None else None,
            "history": [dict(step.to_json(), state=step.state.value) for step in self.history],
            "validation_results": self.validation_results,
            "error": self.error,
            "certificate_chain": [certificate.to_json() for certificate in self.certificates],
            "changed_tables": self.changed_tables.to_json() if self.changed_tables is not None else None,
            "assertions": [{"label": assertion.label, "content": shown_value(assertion.value)}
                           for assertion in self.assertions] if show else None,
        })
        return record


def inaccessible(uri: Optional[str], why: str) -> ValidationReport:
    """The report of a font whose remote manifest cannot be had (C2PA 2.2,
    15.5.3.1: manifest.inaccessible)."""
    log = StatusLog()
    log.add(Code.MANIFEST_INACCESSIBLE, why)
    return ValidationReport(State.REMOTE, False, results=log, remote_uri=uri)
