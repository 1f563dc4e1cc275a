"""Signing a font: the claim generator of C2PA 2.2, 10.3, for fonts.

`sign_font` builds a standard manifest (the hard binding, the actions, the
font information and the caller's own assertions), signs its claim, puts the
Manifest Store into the font's `C2PA` table through the glyphward module,
and validates the result before returning it.
"""
from __future__ import annotations

import hashlib
import uuid
from dataclasses import dataclass, field
from datetime import datetime, timezone
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from . import cbor, claim, manifest
from ._version import GENERATOR, VERSION
from cryptography import x509

from .assertions import actions, font_info, hash_boxes, hash_data, ingredient
from .certificates import profile_problems
from .cose import (IAT, PAD, SIG_TST2, X5CHAIN, countersignature_payload, encode_sign1, signature_length,
                   to_be_signed, verify_with_key)
from .digests import KnownDigests
from .jumbf import SuperBox
from .labels import (ACTIONS_V2, CLAIM_SIGNATURE, FONT_INFO, HASH_BOXES, HASH_DATA, INGREDIENT_V3, SIGNATURE_LABEL,
                     STANDARD_MANIFEST, UPDATE_MANIFEST)
from .sfnt import C2PA, FontStructureError, find, read_tables, store_field
from .uris import absolute
from .validate.assertions import UPDATE_ACTIONS
from .validate.locate import locate
from .signers import KeySigner, Signer
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


class TimeStamper:
    """Gets v2 time-stamps (C2PA 2.2, 10.3.2.5) from one RFC 3161 authority,
    and remembers how large its tokens are, so that a data-bound font can
    reserve room for the next one."""

    def __init__(self, url: str, timeout: float = 30.0):
        self.url = url
        self.timeout = timeout
        self.token_size = 0

    def stamp(self, message: bytes, hash_algorithm: str) -> bytes:
        from .timestamp import TimestampError, request_timestamp

        try:
            token = request_timestamp(self.url, message, hash_algorithm=hash_algorithm, timeout=self.timeout)
        except TimestampError as error:
            raise SigningError(str(error)) from None
        self.token_size = max(self.token_size, len(token))
        return token


# 10.3.2.5.3: the time-stamp's hash is that of the claim signature's
# algorithm where possible (Ed25519 hashes with SHA-512).
_STAMP_HASH = {"ES256": "sha256", "ES384": "sha384", "ES512": "sha512", "PS256": "sha256", "PS384": "sha384",
               "PS512": "sha512", "Ed25519": "sha512"}
# Room kept for a time-stamp token beyond the largest one seen so far.
_TOKEN_SLACK = 64


class _Retry(Exception):
    """The reservation did not fit; try again with at least `room` for the token."""

    def __init__(self, room: int):
        super().__init__(room)
        self.room = room


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
              warn: Optional[Callable[[str], None]] = None, replace: bool = False,
              font_actions: Sequence[str] = (), trust_anchors: Sequence[x509.Certificate] = (),
              binding_chosen: bool = True, remote: Optional[str] = None,
              tsa: Optional[TimeStamper] = None) -> SignedFont:
    """Signs `font` (the bytes of a TrueType or OpenType font).

    `binding` is "boxes" (a `c2pa.hash.boxes` assertion, C2PA 2.2, 18.7.3.6)
    or "data" (`c2pa.hash.data`, 18.5); `assertions` are the caller's own
    (label, value) pairs, stored as CBOR; `size` is the least room to reserve
    for the Manifest Store; `remote_uri` is also recorded in the `C2PA`
    table. Warnings (a replaced `C2PA` table, a `DSIG` table, a font.info
    that could not be made, a certificate that falls short of C2PA 2.2,
    14.5.1) go to `warn` as they arise and into the result; with `strict`,
    a certificate that falls short is an error.

    A font that already carries a Manifest Store keeps it (C2PA 2.2,
    10.3.2.2 and 18.15.11): its manifests stay in the new store, and the new
    manifest names the previous active one as its parentOf ingredient, with
    the validation results found for it (validated with `trust_anchors`),
    and records `c2pa.opened` and then `font_actions`. When the font's
    content is unchanged since then (its box hash still matches), nothing
    but provenance is added, and `binding_chosen` is False, that manifest is
    an update manifest (11.2.3); otherwise a standard one. `replace`
    discards the old store instead.

    With `remote`, the manifest is remote (C2PA 2.2, 11.4 and A.3.9): the
    font's `C2PA` table holds only that URI, bound by the box hash (which
    does not cover the table), and the caller publishes the returned
    `manifest_store` there. With `tsa`, the claim signature gets a v2
    time-stamp (C2PA 2.2, 10.3.2.5), stored in its `sigTst2` header.
    Raises SigningError.
    """
    import glyphward

    if binding not in BINDINGS:
        raise SigningError(f"unknown binding {binding!r} (boxes or data)")
    if remote is not None and (binding != "boxes" or remote_uri is not None or size is not None):
        raise SigningError("a remote manifest is bound by the box hash, and the font holds only its URI")
    now = now or datetime.now(timezone.utc)
    warnings: List[str] = []

    def note(message: str) -> None:
        warnings.append(message)
        if warn is not None:
            warn(message)

    try:
        glyphward.read_manifest_uri_str(font)  # the module's word on fonts it cannot use
    except ValueError as error:
        if str(error) != "no C2PA table found in font":
            raise SigningError(str(error)) from None
    try:
        tables = read_tables(font)
    except FontStructureError as error:
        raise SigningError(str(error)) from None
    previous = None if replace else _previous(font, tables, trust_anchors, now, note, hash_algorithm)
    if find(tables, b"DSIG") is not None:
        note("the font has a DSIG table: the signature it holds does not cover the signed font")
    credential_problems = _check_credential(signer, strict, note)

    for action in font_actions:
        if not isinstance(action, str) or not action:
            raise SigningError(f"{action!r} is not an action name")
    update = previous is not None and previous.content_unchanged and not binding_chosen and binding == "boxes" \
        and all(action in UPDATE_ACTIONS for action in font_actions)
    info, missing = font_info.build(font)
    parts: List[Tuple[str, Any]] = []
    if previous is not None:
        ingredient_value = ingredient.parent(
            title=previous.title or (info or {}).get("fullName"), format=ingredient.media_type(font[:4]),
            active_manifest=previous.active_manifest, claim_signature=previous.claim_signature,
            validation_results=previous.validation_results)
        ingredient_box = manifest.assertion_box(INGREDIENT_V3, ingredient_value)
        reference = claim.HashedUri(claim.assertion_url(INGREDIENT_V3),
                                    hashlib.new(hash_algorithm, ingredient_box.content).digest())
        parts.append((ACTIONS_V2, actions.opened(reference.to_cbor(), font_actions)))
        parts.append((INGREDIENT_V3, ingredient_value))
    else:
        if font_actions:
            raise SigningError("actions are recorded when a signed font is signed again; this font has no "
                               "manifest to follow")
        parts.append((ACTIONS_V2, actions.created(digital_source_type)))
    if info is not None and not update:
        parts.append((FONT_INFO, info))
    elif info is None:
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

    earlier = previous.boxes if previous is not None else []
    known = KnownDigests(font, tables)
    maker = _ManifestMaker(label, common, signer, now, hash_algorithm, earlier, UPDATE_MANIFEST if update else
                           STANDARD_MANIFEST, tsa)
    if update:
        store = maker.store(None, None)
        signed = glyphward.embed_manifest_store(font, store)
    elif remote is not None:
        store = maker.store(HASH_BOXES, hash_boxes.build(font, tables, hash_algorithm))
        try:
            signed = glyphward.embed_remote(font, remote)
        except ValueError as error:
            raise SigningError(str(error)) from None
    elif binding == "boxes":
        bound = hash_boxes.build(font, tables, hash_algorithm, known)
        store = maker.store(HASH_BOXES, bound)
        if size is not None and size > len(store):
            # The least room asked for is made up in the boxes' pad fields,
            # not with zeros after the store (C2PA 2.2, 18.7.1).
            hash_boxes.grow(bound, size - len(store))
            store = maker.store(HASH_BOXES, bound)
            if len(store) != size:
                raise SigningError(f"internal error: the Manifest Store is {len(store)} bytes, not {size}")
        if remote_uri is not None:
            reserved = glyphward.reserve_manifest_placeholder(font, len(store), remote_uri)
            signed = glyphward.fill_manifest_store(reserved, store)
        else:
            signed = glyphward.embed_manifest_store(font, store)
    else:
        signed, store = _sign_data_bound(font, maker, size, remote_uri, known)

    report = validate_font(signed, now=now, trust_anchors=trust_anchors,
                           manifest_store=store if remote is not None else None, known=known)
    tolerated = {"signingCredential.untrusted"} | ({"signingCredential.invalid"} if credential_problems else set())
    failures = [status for status in report.results.failure if status.code not in tolerated]
    if failures or report.manifest is None:
        first = failures[0] if failures else None
        why = f"{first.code}: {first.explanation}" if first is not None else report.error or "no manifest"
        raise SigningError(f"the signed font does not validate ({why}); not written")
    return SignedFont(signed, store, label, warnings, report)


@dataclass
class _Previous:
    """The Manifest Store a font already carries, kept when it is signed again."""
    boxes: List[bytes]                  # every box of the old store, in order
    active_manifest: claim.HashedUri
    claim_signature: claim.HashedUri
    validation_results: Dict[str, Any]
    title: Optional[str]
    content_unchanged: bool             # its box hash matches the font as it is


def _previous(font: bytes, tables: Sequence[Any], trust_anchors: Sequence[x509.Certificate], now: datetime,
              note: Callable[[str], None], alg: str) -> Optional[_Previous]:
    """The font's Manifest Store, validated as the ingredient it becomes
    (C2PA 2.2, 15.2.1: the claim generator acts as a validator of it); None
    when the font has none to keep. The ingredient's hashed URIs are made
    with `alg`, the new claim's algorithm: they name none of their own, and
    the ingredient assertion has no `alg` either, so a validator takes the
    claim's (C2PA 2.2, 15.4.1)."""
    table = find(list(tables), C2PA)
    if table is None:
        return None
    try:
        field = store_field(font, table)
    except FontStructureError:
        field = None
    if field is None:
        note("the font's C2PA table holds no Manifest Store (a remote URI at most): it is replaced")
        return None
    located = locate(memoryview(font)[field.offset:field.offset + field.length])
    if located.store is None or not located.manifests or located.code is not None:
        note(f"the font's C2PA table holds no usable Manifest Store ({located.problem}): it is replaced, and "
             "nothing of it is kept")
        return None
    report = validate_font(font, trust_anchors=trust_anchors, now=now)
    active = located.manifests[-1]
    for box in located.store.superboxes():  # a compressed manifest is named by its own box (11.2.4)
        if box.label == active.label:
            active = box
    signature = [box for box in active.superboxes() if box.uuid == CLAIM_SIGNATURE]
    if len(signature) != 1 or not active.label:
        note("the font's active manifest has no single claim signature: the old store is replaced")
        return None
    results: Dict[str, Any] = {"activeManifest": report.results.to_json()}
    if report.ingredient_deltas:
        results["ingredientDeltas"] = report.ingredient_deltas
    if report.manifest_state not in ("valid", "trusted") or not report.asset_valid:
        note(f"the font's manifest is {report.manifest_state}" + ("" if report.asset_valid else
             ", and the font is not a valid asset") + ": this is recorded in the new manifest's ingredient")
    bound = {status.code for status in report.results.success}
    return _Previous(
        boxes=[bytes(box.whole) for box in located.store.children if isinstance(box, SuperBox)],
        active_manifest=claim.HashedUri(absolute(active.label), hashlib.new(alg, active.content).digest()),
        claim_signature=claim.HashedUri(absolute(active.label, SIGNATURE_LABEL),
                                        hashlib.new(alg, signature[0].content).digest()),
        validation_results=results,
        title=report.manifest.title if report.manifest is not None else None,
        content_unchanged="assertion.boxesHash.match" in bound)


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
        note(problem if "C2PA 2.2" in problem else f"{problem} (C2PA 2.2, 14.5.1)")
    return problems


class _ManifestMaker:
    """Makes the Manifest Store of one standard manifest, given its hard
    binding: the other assertions, their hashed URIs and the protected
    header are made once, since multiple step processing makes the store
    several times over."""

    def __init__(self, label: str, common: _Parts, signer: Signer, now: datetime, alg: str,
                 earlier: Sequence[bytes] = (), kind: bytes = STANDARD_MANIFEST,
                 tsa: Optional[TimeStamper] = None):
        self.tsa = tsa
        self.earlier = list(earlier)
        self.kind = kind
        self.label = label
        self.signer = signer
        self.alg = alg
        self.title = common.title
        self.boxes = [manifest.assertion_box(name, value) for name, value in common.assertions]
        # C2PA 2.2, 10.3.2.2: hashed URIs are made with the claim's algorithm.
        self.references = [claim.HashedUri(claim.assertion_url(name), hashlib.new(alg, built.content).digest())
                           for (name, _), built in zip(common.assertions, self.boxes)]
        certificates = [certificate.public_bytes(_DER) for certificate in signer.certificates]
        self.protected = cbor.encode({1: signer.algorithm.cose_id,
                                      X5CHAIN: certificates[0] if len(certificates) == 1 else certificates,
                                      IAT: int(now.timestamp())})
        self.instance_id = f"urn:uuid:{uuid.uuid4()}"

    def store(self, binding_label: Optional[str], binding: Any, signature: Optional[bytes] = None,
              token_room: int = 0, fill_to: Optional[int] = None) -> bytes:
        """The store with `binding` as its hard binding (an update manifest
        has none), its claim signed by the signer and time-stamped (or, to
        measure, with `signature` and `token_room` zero bytes in place),
        after the earlier manifests. With `fill_to`, the claim signature's
        unprotected `pad` header makes the store exactly that long (C2PA 2.2,
        10.4.4); _Retry when it cannot."""
        boxes, references = list(self.boxes), list(self.references)
        if binding_label is not None:
            bound = manifest.assertion_box(binding_label, binding)
            boxes.insert(0, bound)
            references.insert(0, claim.HashedUri(claim.assertion_url(binding_label),
                                                 hashlib.new(self.alg, bound.content).digest()))
        claim_bytes = cbor.encode(claim.build(
            instance_id=self.instance_id, title=self.title, created=references,
            generator={"name": GENERATOR, "version": VERSION}, alg=self.alg))
        unprotected: Dict[str, Any] = {}
        if signature is None:
            signature = _sign(self.signer, to_be_signed(self.protected, claim_bytes))
            if self.tsa is not None:
                message = to_be_signed(self.protected, countersignature_payload(signature), "CounterSignature")
                token = self.tsa.stamp(message, _STAMP_HASH[self.signer.algorithm.name])
                unprotected[SIG_TST2] = {"tstTokens": [{"val": token}]}
        elif token_room:
            unprotected[SIG_TST2] = {"tstTokens": [{"val": bytes(token_room)}]}

        def assemble() -> bytes:
            assert signature is not None
            sign1 = encode_sign1(self.protected, unprotected, signature)
            return manifest.manifest_store(self.earlier + [
                manifest.manifest_box(self.label, boxes, claim_bytes, sign1, self.kind).data])

        store = assemble()
        if fill_to is not None and len(store) != fill_to:
            grow = fill_to - len(store) - 5  # the "pad" key (4 bytes) and an empty byte string (1 byte)
            pad = None if grow < 0 else hash_data.padding_alone(grow)
            if pad is None:
                raise _Retry(self.tsa.token_size + _TOKEN_SLACK + (1 if grow >= 0 else -grow) if self.tsa else 0)
            unprotected[PAD] = bytes(pad)
            store = assemble()
        return store


def _sign(signer: Signer, data: bytes) -> bytes:
    key = signer.certificates[0].public_key()
    expected = signature_length(key, signer.algorithm)
    signature = signer.sign(data)
    if isinstance(signer, KeySigner):
        return signature  # made here, with the certificate's own key
    if len(signature) != expected:
        raise SigningError(f"the signature is {len(signature)} bytes; a {signer.algorithm.name} signature with this "
                           f"certificate's key is {expected}")
    if not verify_with_key(key, signer.algorithm, data, signature):
        raise SigningError("the signature does not verify with the signing certificate's key")
    return signature


def _sign_data_bound(font: bytes, maker: _ManifestMaker, size: Optional[int],
                     remote_uri: Optional[str], known: KnownDigests) -> Tuple[bytes, bytes]:
    """Multiple step processing (C2PA 2.2, 10.4) with the glyphward module:
    measure the store, reserve that room, hash the reserved font outside its
    exclusion ranges, and fill the signed store in; the data hash's pad and
    pad2 make up any difference, so that the store fills its reservation
    exactly (10.4.4)."""
    import glyphward

    signer, alg, tsa = maker.signer, maker.alg, maker.tsa
    stand_in = bytes(signature_length(signer.certificates[0].public_key(), signer.algorithm))
    no_digest = bytes(len(hash_data.hash_outside(b"", [], alg)))
    room = 0
    if tsa is not None:
        if not tsa.token_size:  # learn the authority's token size, once per run
            tsa.stamp(b"glyphward: the size of a time-stamp token", "sha256")
        room = tsa.token_size + _TOKEN_SLACK

    for _ in range(8):
        def measure(ranges: List[Tuple[int, int]]) -> int:
            # The COSE pad header's key (4 bytes) and empty value (1) are
            # counted, so that the real token may be up to `room` long.
            return len(maker.store(HASH_DATA, hash_data.build(ranges, alg, no_digest), stand_in, room)) + \
                (5 if tsa is not None else 0)

        # Exclusions as large as a font's offsets can be (32 bits) make the
        # measure an upper bound: one reservation fits, and the pads take up
        # the difference.
        reservation = max(size or 0, measure([(0xFFFFFFFF, 0xFFFFFFFF)] * 3))
        reserved = glyphward.reserve_manifest_placeholder(font, reservation, remote_uri)
        ranges = [(start, length) for start, length in glyphward.data_hash_ranges(reserved)]
        measured = measure(ranges)
        if measured > reservation:  # pragma: no cover - the measure is an upper bound
            raise SigningError("internal error: the Manifest Store outgrew its reservation")
        pad, pad2 = hash_data.padding(reservation - measured)
        digest = hash_data.hash_outside(reserved, ranges, alg)
        known.remember_outside(reserved, read_tables(reserved), alg, digest, ranges)
        try:
            store = maker.store(HASH_DATA, hash_data.build(ranges, alg, digest, pad, pad2),
                                fill_to=reservation if tsa is not None else None)
        except _Retry as retry:
            room = max(room + 1, retry.room)
            continue
        if len(store) != reservation:
            raise SigningError(f"internal error: the Manifest Store is {len(store)} bytes, its reservation "
                               f"{reservation}")
        if remote_uri is not None:
            return glyphward.fill_manifest_store(reserved, store), store
        # A store that fills the reservation exactly, embedded, gives the
        # reserved font with the store filled in (the same layout, the same
        # bytes outside the exclusions): made from the input font once the
        # reserved one is let go, so that only one font-sized copy is alive.
        del reserved
        return glyphward.embed_manifest_store(font, store), store
    raise SigningError("the time-stamp authority's tokens do not fit the room reserved for them")


from cryptography.hazmat.primitives.serialization import Encoding as _Encoding  # noqa: E402

_DER = _Encoding.DER
