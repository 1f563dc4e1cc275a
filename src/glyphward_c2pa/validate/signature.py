"""Validating the claim signature (C2PA 2.2, 15.7), its time-stamp (15.8)
and what can be said of revocation (15.9), with the credential judged by the
trust model (14.2, 14.5)."""
from __future__ import annotations

from dataclasses import dataclass, field
from datetime import datetime, timezone
from typing import Any, List, Optional, Sequence

from cryptography import x509
from cryptography.x509.oid import AuthorityInformationAccessOID

from ..certificates import (CertificateError, CheckBudget, describe_name, load_der_chain, profile_problems,
                            validate_chain, validity_problem)
from ..cose import (BY_COSE_ID, IAT, SIG_TST, SIG_TST2, X5CHAIN, X5CHAIN_TEXT, CoseError, countersignature_payload,
                    decode_sign1, key_problem, to_be_signed, verify_with_key)
from ..labels import CLAIM_SIGNATURE
from ..shown import shown
from ..uris import resolve
from .claim import claim_content
from .context import Manifest


@dataclass
class TrustSettings:
    """What the validator trusts, and when it validates. One is made per
    validation: its budget bounds the certificate signature checks of every
    chain the validation builds (claim signers' and TSAs', of every manifest)."""
    anchors: Sequence[x509.Certificate] = ()
    tsa_anchors: Sequence[x509.Certificate] = ()
    now: Optional[datetime] = None
    budget: CheckBudget = field(default_factory=CheckBudget)

    def time(self) -> datetime:
        return self.now if self.now is not None else datetime.now(timezone.utc)


def _credential(manifest: Manifest, sign1: Any, url: str) -> Optional[List[bytes]]:
    """The x5chain of the signature (C2PA 2.2, 14.5: label 33, or the older
    "x5chain", in either bucket; 33 wins when both labels are used; one
    label in both buckets is two credentials, 14.2)."""
    for label in (X5CHAIN, X5CHAIN_TEXT):
        buckets, value = sign1.header(label)
        if not buckets:
            continue
        if len(buckets) > 1:
            manifest.log.add("signingCredential.invalid", "the signature carries its certificate chain in both "
                             "header buckets: two credentials (C2PA 2.2, 14.2)", url)
            return None
        items = [value] if isinstance(value, bytes) else value
        if not isinstance(items, list) or not items or not all(isinstance(item, bytes) for item in items):
            manifest.log.add("signingCredential.invalid", "the x5chain header is not a certificate or a list of "
                             "certificates", url)
            return None
        return list(items)
    manifest.log.add("signingCredential.invalid", "the signature carries no certificate (x5chain)", url)
    return None


def validate_signature(manifest: Manifest, trust: TrustSettings) -> None:
    """C2PA 2.2, 15.7 to 15.9 for the manifest's claim (already read)."""
    log = manifest.log
    claim = manifest.claim
    assert claim is not None
    url = manifest.signature_url
    resolved = resolve(claim.signature_url, manifest.store, manifest.box)
    if resolved.box is None or resolved.outside or resolved.box.uuid != CLAIM_SIGNATURE:
        why = ("the claim's signature is not in its own manifest" if resolved.outside else
               resolved.problem or "the claim's signature URI does not name a claim signature box")
        log.add("claimSignature.missing", why, url)
        return
    content = claim_content(resolved.box)
    if content is None:
        log.add("claimSignature.mismatch", "the claim signature box does not hold a single CBOR box", url)
        return
    try:
        sign1 = decode_sign1(content)
    except CoseError as error:
        log.add("claimSignature.mismatch", f"the claim signature is not a COSE_Sign1_Tagged structure: {error}", url)
        return

    # C2PA 2.2, 13.2.3: alg in the protected bucket, from the allowed list.
    alg_id = sign1.protected.get(1)
    algorithm = BY_COSE_ID.get(alg_id) if isinstance(alg_id, int) and not isinstance(alg_id, bool) else None
    if algorithm is None:
        log.add("algorithm.unsupported", "the signature's protected header names no allowed algorithm "
                f"({shown(sign1.protected.get(1, sign1.unprotected.get(1)))})", url)
        return
    manifest.algorithm = algorithm.name
    items = _credential(manifest, sign1, url)
    if items is None:
        return
    try:
        chain = load_der_chain(items)
    except CertificateError as error:
        log.add("signingCredential.invalid", str(error), url)
        return
    signer = chain[0]
    try:
        public_key = signer.public_key()
    except Exception as error:  # cryptography: UnsupportedAlgorithm, ValueError on a damaged key
        log.add("signingCredential.invalid", f"the certificate's public key cannot be read: {error}", url)
        return
    manifest.signer = signer
    manifest.chain = list(chain)
    problem = key_problem(public_key, algorithm)
    if problem is not None:
        log.add("signingCredential.invalid", f"the certificate's key does not fit the algorithm: {problem}", url)
        return
    problems = profile_problems(signer, end_entity=True, purpose="claim-signing")
    if problems:
        log.add("signingCredential.invalid", "the signing certificate does not meet C2PA 2.2, 14.5.1: " +
                "; ".join(problems), url)

    result = validate_chain(signer, chain[1:], trust.anchors, purpose="claim-signing", budget=trust.budget)
    if result.trusted:
        manifest.trusted = True
        log.add("signingCredential.trusted", f"the signing certificate chains to the trust anchor "
                f"{describe_name(result.path[-1].subject)}", url)
    else:
        log.add("signingCredential.untrusted", (result.problem or "no trust anchor") if trust.anchors else
                "no trust anchors were given, so the signing credential is not trusted", url)

    if sign1.payload is not None:
        log.add("claimSignature.mismatch", "the claim signature's payload is not detached (C2PA 2.2, 10.3.2.4)", url)
    elif verify_with_key(public_key, algorithm, to_be_signed(sign1.protected_bytes, manifest.claim_bytes),
                         sign1.signature):
        log.add("claimSignature.validated", "the claim signature is valid", url)
    else:
        log.add("claimSignature.mismatch", "the claim signature does not verify: the claim or its signature "
                "changed after signing", url)

    with trust.budget.in_force():  # the TSA's chain is charged to the same budget
        manifest.timestamp = _validate_time_stamp(manifest, sign1, trust, url)
    at = manifest.timestamp or trust.time()
    expired = validity_problem(result.path, at)
    if expired is None:
        log.add("claimSignature.insideValidity", "the signing certificate was valid at the time-stamp's time"
                if manifest.timestamp else "the signing certificate is valid now", url)
    else:
        log.add("claimSignature.outsideValidity", expired + (" (at the time-stamp's time)" if manifest.timestamp
                                                             else ""), url)
    _time_of_signing(manifest, sign1, result.path, url)
    _revocation(manifest, signer, url)


def _validate_time_stamp(manifest: Manifest, sign1: Any, trust: TrustSettings, url: str) -> Optional[datetime]:
    """C2PA 2.2, 15.8: the time a trusted, validated time-stamp attests."""
    for label, response in ((SIG_TST2, False), (SIG_TST, True)):
        _, value = sign1.header(label)
        if value is None:
            continue
        from .. import timestamp

        tokens, problem = timestamp.timestamp_tokens(value)
        if problem is not None:
            manifest.log.add("timeStamp.malformed", problem, url)
            continue
        if response:  # v1: over the payload of the claim signature itself (10.3.2.5.2)
            payload = manifest.claim_bytes
        else:
            payload = countersignature_payload(sign1.signature)
        message = to_be_signed(sign1.protected_bytes, payload, context="CounterSignature")
        for token in tokens:
            checked = timestamp.validate_timestamp(token, message, trust.tsa_anchors, response=response)
            for code, explanation in checked.success + checked.informational:
                manifest.log.add(code, explanation, url)
            if checked.time is not None:
                time: datetime = checked.time
                return time
    return None


def _time_of_signing(manifest: Manifest, sign1: Any, path: Sequence[x509.Certificate], url: str) -> None:
    """C2PA 2.2, 15.8.3: the claimed time of signing, iat."""
    value = sign1.protected.get(IAT)
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return
    try:
        claimed = datetime.fromtimestamp(value, timezone.utc)
    except (OverflowError, OSError, ValueError):
        manifest.log.add("timeOfSigning.outsideValidity", "the claimed time of signing is not a date", url)
        return
    manifest.signing_time = claimed
    problem = validity_problem(path, claimed)
    if problem is None and (manifest.timestamp is None or claimed <= manifest.timestamp):
        manifest.log.add("timeOfSigning.insideValidity", "the claimed time of signing lies within the "
                         "certificates' validity", url)
    else:
        manifest.log.add("timeOfSigning.outsideValidity", problem or "the claimed time of signing is later "
                         "than the time-stamp's time", url)


def _revocation(manifest: Manifest, signer: x509.Certificate, url: str) -> None:
    """C2PA 2.2, 15.9: glyphward does not query OCSP responders; a
    certificate that names one gets signingCredential.ocsp.skipped (15.9.2)."""
    try:
        access = signer.extensions.get_extension_for_class(x509.AuthorityInformationAccess).value
    except Exception:  # absent, or extensions cryptography refuses (duplicates, damage): no responder named
        return
    if any(description.access_method == AuthorityInformationAccessOID.OCSP for description in access):
        manifest.log.add("signingCredential.ocsp.skipped", "the certificate names an OCSP responder; glyphward "
                         "does not query it", url)
