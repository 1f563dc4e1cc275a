"""Stand-in until the X.509 module lands (same interface)."""
from __future__ import annotations

from dataclasses import dataclass
from datetime import datetime, timezone
from typing import List, Literal, Optional, Sequence, Tuple

from cryptography import x509

Purpose = Literal["claim-signing", "time-stamping"]
C2PA_CLAIM_SIGNING = x509.ObjectIdentifier("1.3.6.1.4.1.62558.2.1")
CLAIM_SIGNING_EKUS: Tuple[x509.ObjectIdentifier, ...] = (C2PA_CLAIM_SIGNING,)


class CertificateError(ValueError):
    pass


def load_pem_certificates(data: bytes, what: str) -> List[x509.Certificate]:
    try:
        certificates = x509.load_pem_x509_certificates(data)
    except ValueError as error:
        raise CertificateError(f"{what}: not a PEM certificate: {error}") from None
    return certificates


def load_der_chain(items: Sequence[bytes]) -> List[x509.Certificate]:
    try:
        return [x509.load_der_x509_certificate(item) for item in items]
    except ValueError as error:
        raise CertificateError(f"not a DER certificate: {error}") from None


def profile_problems(cert: x509.Certificate, *, end_entity: bool, purpose: Optional[Purpose]) -> List[str]:
    return []


@dataclass(frozen=True)
class ChainResult:
    trusted: bool
    path: Tuple[x509.Certificate, ...]
    problem: Optional[str]


def validate_chain(signer: x509.Certificate, intermediates: Sequence[x509.Certificate],
                   anchors: Sequence[x509.Certificate], *, purpose: Purpose) -> ChainResult:
    path = [signer, *intermediates]
    for anchor in anchors:
        if path[-1].issuer == anchor.subject:
            return ChainResult(True, tuple(path + [anchor]), None)
    return ChainResult(False, tuple(path), "no trust anchor")


def validity_problem(path: Sequence[x509.Certificate], at: datetime) -> Optional[str]:
    for cert in path:
        if not cert.not_valid_before_utc <= at <= cert.not_valid_after_utc:
            return f"{cert.subject.rfc4514_string()} is not valid at {at}"
    return None


def describe_name(name: x509.Name) -> str:
    return name.rfc4514_string()
