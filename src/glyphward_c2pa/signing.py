"""Signing a font: the claim generator of C2PA 2.2, 10.3, for fonts.

`sign_font` builds a standard manifest (the hard binding, the actions, the
font information and the caller's own assertions), signs its claim, puts the
Manifest Store into the font's `C2PA` table through the glyphward module,
and validates the result before returning it.
"""
from __future__ import annotations

import uuid
from dataclasses import dataclass, field
from datetime import datetime, timezone
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from . import cbor, claim, manifest
from ._version import GENERATOR, VERSION
from .assertions import actions, font_info, hash_boxes, hash_data
from .certificates import profile_problems
from .cose import X5CHAIN, IAT, encode_sign1, signature_length, to_be_signed, verify_with_key
from .jumbf import Built
from .labels import ACTIONS_V2, FONT_INFO, HASH_BOXES, HASH_DATA
from .sfnt import C2PA, FontStructureError, find, read_tables
from .signers import Signer
from .validate.font import validate_font
from .validate.report import ValidationReport

BINDINGS = ("boxes", "data")
DEFAULT_HASH = "sha256"
_RESERVED_LABELS = (HASH_BOXES, HASH_DATA, ACTIONS_V2, FONT_INFO, "c2pa.actions", "c2pa.ingredient",
                    "c2pa.ingredient.v2", "c2pa.ingredient.v3")


class SigningError(ValueError):
    """The font could not be signed; the message says why, in one line."""


@dataclass
class SignedFont:
    font: bytes                     # the signed font
    manifest_store: bytes           # the Manifest Store it carries
    label: str                      # the active manifest's label
    warnings: List[str] = field(default_factory=list)
    report: Optional[ValidationReport] = None


@dataclass
class _Parts:
    """The assertions of the manifest being made, but the hard binding."""
    assertions: List[Tuple[str, Any]]
    title: Optional[str]


def check_label(label: str) -> None:
    """Refuses a label glyphward writes itself or one C2PA 2.2, 6.2.2 does
    not admit."""
    import re

    if not re.fullmatch(r"[A-Za-z0-9][A-Za-z0-9_-]*(\.[A-Za-z0-9][A-Za-z0-9_-]*)+", label) or "__" in label:
        raise SigningError(f"{label!r} is not an assertion label (dot-separated names, C2PA 2.2, 6.2.2)")
    if label in _RESERVED_LABELS or label.startswith("c2pa.hash."):
        raise SigningError(f"the assertion {label} is one glyphward writes itself")


def sign_font(font: bytes, signer: Signer, *, binding: str = "boxes", title: Optional[str] = None,
              assertions: Sequence[Tuple[str, Any]] = (), digital_source_type: str = actions.DIGITAL_CREATION,
              size: Optional[int] = None, remote_uri: Optional[str] = None, strict: bool = False,
              hash_algorithm: str = DEFAULT_HASH, now: Optional[datetime] = None,
              warn: Optional[Callable[[str], None]] = None) -> SignedFont:
    """Signs `font` (the bytes of a TrueType or OpenType font).

    `binding` is "boxes" (a `c2pa.hash.boxes` assertion, C2PA 2.2, 18.7.3.6)
    or "data" (`c2pa.hash.data`, 18.5); `assertions` are the caller's own
    (label, value) pairs, stored as CBOR; `size` is the least room to reserve
    for the Manifest Store; `remote_uri` is also recorded in the `C2PA`
    table. Warnings (a replaced `C2PA` table, a `DSIG` table, a font.info
    that could not be made, a certificate that falls short of C2PA 2.2,
    14.5.1) go to `warn` as they arise and into the result; with `strict`,
    a certificate that falls short is an error. Raises SigningError.
    """
    import glyphward

    if binding not in BINDINGS:
        raise SigningError(f"unknown binding {binding!r} (boxes or data)")
    now = now or datetime.now(timezone.utc)
    warnings: List[str] = []

    def note(message: str) -> None:
        warnings.append(message)
        if warn is not None:
            warn(message)

    try:
        tables = read_tables(font)
    except FontStructureError as error:
        raise SigningError(str(error)) from None
    if find(tables, C2PA) is not None:
        note("the font already has a C2PA table: it is replaced, and the manifests it held are not kept")
    if find(tables, b"DSIG") is not None:
        note("the font has a DSIG table: the signature it holds does not cover the signed font")
    credential_problems = _check_credential(signer, strict, note)

    info, missing = font_info.build(font)
    parts: List[Tuple[str, Any]] = [(ACTIONS_V2, actions.created(digital_source_type))]
    if info is not None:
        parts.append((FONT_INFO, info))
    else:
        note("font.info left out: " + "; ".join(missing))
    for label, value in assertions:
        check_label(label)
        parts.append((label, value))
    if len({label for label, _ in parts}) != len(parts):
        raise SigningError("an assertion label is given twice")
    if title is None and info is not None:
        title = info["fullName"]
    label = manifest.new_label()
    common = _Parts(parts, title)

    if binding == "boxes":
        bound = hash_boxes.build(font, tables, hash_algorithm)
        store = _store(label, [(HASH_BOXES, bound)] + common.assertions, common, signer, now, hash_algorithm)
        if size is not None and size > len(store) or remote_uri is not None:
            reserved = glyphward.reserve_manifest_placeholder(font, max(size or 0, len(store)), remote_uri)
            signed = glyphward.fill_manifest_store(reserved, store)
        else:
            signed = glyphward.embed_manifest_store(font, store)
    else:
        signed, store = _sign_data_bound(font, label, common, signer, now, hash_algorithm, size, remote_uri)

    report = validate_font(signed, now=now)
    tolerated = {"signingCredential.untrusted"} | ({"signingCredential.invalid"} if credential_problems else set())
    failures = [status for status in report.results.failure if status.code not in tolerated]
    if failures or report.manifest is None:
        first = failures[0] if failures else None
        why = f"{first.code}: {first.explanation}" if first is not None else report.error or "no manifest"
        raise SigningError(f"the signed font does not validate ({why}); not written")
    return SignedFont(signed, store, label, warnings, report)


def _check_credential(signer: Signer, strict: bool, note: Callable[[str], None]) -> List[str]:
    """C2PA 2.2, 13.2.5: the claim generator checks its own credential
    against the profile of 14.5.1 and warns (or, strict, refuses)."""
    chain = list(signer.certificates)
    problems = [f"the signing certificate: {problem}"
                for problem in profile_problems(chain[0], end_entity=True, purpose="claim-signing")]
    for certificate in chain[1:]:
        problems.extend(f"the intermediate {certificate.subject.rfc4514_string()}: {problem}"
                        for problem in profile_problems(certificate, end_entity=False, purpose=None))
    now = datetime.now(timezone.utc)
    for certificate in chain:
        if not certificate.not_valid_before_utc <= now <= certificate.not_valid_after_utc:
            problems.append(f"the certificate {certificate.subject.rfc4514_string()} is not valid now "
                            f"({certificate.not_valid_before_utc:%Y-%m-%d} to "
                            f"{certificate.not_valid_after_utc:%Y-%m-%d})")
    if problems and strict:
        raise SigningError("the certificate does not meet C2PA 2.2, 14.5.1 (--strict): " + "; ".join(problems))
    for problem in problems:
        note(f"{problem} (C2PA 2.2, 14.5.1)")
    return problems


def _assertion_boxes(parts: Sequence[Tuple[str, Any]], alg: str) -> Tuple[List[Built], List[claim.HashedUri]]:
    import hashlib

    boxes = [manifest.assertion_box(label, value) for label, value in parts]
    references = [claim.HashedUri(claim.assertion_url(label), hashlib.new(alg, built.content).digest())
                  for (label, _), built in zip(parts, boxes)]
    return boxes, references


def _store(label: str, parts: Sequence[Tuple[str, Any]], common: _Parts, signer: Signer, now: datetime,
           alg: str, signature: Optional[bytes] = None) -> bytes:
    """The Manifest Store holding one standard manifest with `parts`, its
    claim signed by `signer` (or, to measure, with `signature` in place)."""
    boxes, references = _assertion_boxes(parts, alg)
    claim_value = claim.build(instance_id=f"urn:uuid:{uuid.uuid4()}", title=common.title, created=references,
                              generator={"name": GENERATOR, "version": VERSION}, alg=alg)
    claim_bytes = cbor.encode(claim_value)
    certificates = [certificate.public_bytes(_DER) for certificate in signer.certificates]
    protected = cbor.encode({1: signer.algorithm.cose_id,
                             X5CHAIN: certificates[0] if len(certificates) == 1 else certificates,
                             IAT: int(now.timestamp())})
    if signature is None:
        signature = _sign(signer, to_be_signed(protected, claim_bytes))
    sign1 = encode_sign1(protected, {}, signature)
    return manifest.manifest_store([manifest.manifest_box(label, boxes, claim_bytes, sign1).data])


def _sign(signer: Signer, data: bytes) -> bytes:
    key = signer.certificates[0].public_key()
    expected = signature_length(key, signer.algorithm)
    signature = signer.sign(data)
    if len(signature) != expected:
        raise SigningError(f"the signature is {len(signature)} bytes; a {signer.algorithm.name} signature with this "
                           f"certificate's key is {expected}")
    if not verify_with_key(key, signer.algorithm, data, signature):
        raise SigningError("the signature does not verify with the signing certificate's key")
    return signature


def _sign_data_bound(font: bytes, label: str, common: _Parts, signer: Signer, now: datetime, alg: str,
                     size: Optional[int], remote_uri: Optional[str]) -> Tuple[bytes, bytes]:
    """Multiple step processing (C2PA 2.2, 10.4) with the glyphward module:
    measure the store, reserve exactly that room, hash the reserved font
    outside its exclusion ranges, and fill the signed store in; the data
    hash's pad and pad2 make up any difference, so that the store fills its
    reservation exactly (10.4.4)."""
    import glyphward

    placeholder_signature = bytes(signature_length(signer.certificates[0].public_key(), signer.algorithm))
    digest_length = len(hash_data.hash_outside(b"", [], alg))

    def store_with(ranges: List[Tuple[int, int]], digest: bytes, pad: int = 0, pad2: Optional[int] = None,
                   signature: Optional[bytes] = None) -> bytes:
        binding = hash_data.build(ranges, alg, digest, pad, pad2)
        return _store(label, [(HASH_DATA, binding)] + common.assertions, common, signer, now, alg, signature)

    reservation = max(size or 0, len(store_with([(0, 0)] * 3, bytes(digest_length),
                                                signature=placeholder_signature)))
    for _ in range(8):
        reserved = glyphward.reserve_manifest_placeholder(font, reservation, remote_uri)
        ranges = [(start, length) for start, length in glyphward.data_hash_ranges(reserved)]
        measured = len(store_with(ranges, bytes(digest_length), signature=placeholder_signature))
        if measured <= reservation:
            break
        reservation = measured
    else:  # pragma: no cover - the sizes settle after one or two rounds
        raise SigningError("the Manifest Store's size does not settle")
    pad, pad2 = hash_data.padding(reservation - measured)
    digest = hash_data.hash_outside(reserved, ranges, alg)
    store = store_with(ranges, digest, pad, pad2)
    if len(store) != reservation:
        raise SigningError(f"internal error: the Manifest Store is {len(store)} bytes, its reservation "
                           f"{reservation}")
    return glyphward.fill_manifest_store(reserved, store), store


from cryptography.hazmat.primitives.serialization import Encoding as _Encoding  # noqa: E402

_DER = _Encoding.DER
