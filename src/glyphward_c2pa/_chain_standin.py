"""A temporary stand-in for `glyphward_c2pa.certificates` (same names and signatures).

It builds the path by names and signatures and checks the end-entity
certificate's EKU for the purpose, and nothing of the profile of C2PA 2.2,
14.5.1 beyond that. It goes when the real module is merged.
"""
from __future__ import annotations

from dataclasses import dataclass
from datetime import datetime
from typing import List, Literal, Optional, Sequence, Tuple

from cryptography import x509
from cryptography.exceptions import InvalidSignature, UnsupportedAlgorithm
from cryptography.x509.oid import ExtendedKeyUsageOID

Purpose = Literal["claim-signing", "time-stamping"]


@dataclass(frozen=True)
class ChainResult:
    trusted: bool
    path: Tuple[x509.Certificate, ...]
    problem: Optional[str]


def _issued_by(certificate: x509.Certificate, issuer: x509.Certificate) -> bool:
    if certificate.issuer != issuer.subject:
        return False
    try:
        certificate.verify_directly_issued_by(issuer)
    except (InvalidSignature, UnsupportedAlgorithm, ValueError, TypeError):
        return False
    return True


def validate_chain(signer: x509.Certificate, intermediates: Sequence[x509.Certificate],
                   anchors: Sequence[x509.Certificate], *, purpose: Purpose) -> ChainResult:
    if purpose == "time-stamping":
        try:
            usages = signer.extensions.get_extension_for_class(x509.ExtendedKeyUsage).value
        except x509.ExtensionNotFound:
            return ChainResult(False, (signer,), "the certificate has no extended key usage")
        if ExtendedKeyUsageOID.TIME_STAMPING not in usages:
            return ChainResult(False, (signer,), "the certificate is not for time-stamping")
    path: List[x509.Certificate] = [signer]
    pool = list(intermediates)
    for _ in range(len(pool) + 1):
        current = path[-1]
        for anchor in anchors:
            if current == anchor or _issued_by(current, anchor):
                return ChainResult(True, tuple(path) if current == anchor else (*path, anchor), None)
        following = next((c for c in pool if c not in path and _issued_by(current, c)), None)
        if following is None:
            break
        path.append(following)
    return ChainResult(False, tuple(path), "no path to a trust anchor")


def validity_problem(path: Sequence[x509.Certificate], at: datetime) -> Optional[str]:
    for certificate in path:
        if not certificate.not_valid_before_utc <= at <= certificate.not_valid_after_utc:
            return f"{certificate.subject.rfc4514_string()} is not valid at {at.isoformat()}"
    return None
