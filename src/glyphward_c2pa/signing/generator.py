"""The claim generator (C2PA 2.2, 10.3) for fonts: configured once, then
signing one font at a time in named phases.

    generator = ClaimGenerator(signer, time_stamper=TimeStamper(url), trust_anchors=anchors)
    signed = generator.sign(font, SigningRequest(title="Example Sans"))

The phases of `sign`, each a method of its own: `read` the font and the
Manifest Store it carries; `decide` between a standard and an update
manifest; make the `assertions`; `bind` (a strategy per binding, writing to
the request's placement, and signing and time-stamping the claim through
the `ManifestMaker`); `verify` the signed font as a validator would, by the
one acceptance rule `verify` uses. Nothing is returned, and so nothing is
written, unless the signed font validates. One clock serves every check of
a signing.
"""
from __future__ import annotations

import hashlib
from dataclasses import dataclass, field
from datetime import datetime, timezone
from typing import Any, Callable, List, Optional, Sequence, Tuple

from cryptography import x509

from .. import claim, manifest
from .._version import GENERATOR, VERSION
from ..algorithms import DEFAULT_HASH, HASH_ALGORITHMS
from ..assertions import actions, font_info, ingredient
from ..digests import KnownDigests
from ..labels import ACTIONS_V2, FONT_INFO, INGREDIENT_V3, STANDARD_MANIFEST, UPDATE_MANIFEST, is_label
from ..sfnt import FontStructureError, Table, find, read_tables
from ..signers import Signer
from ..validate.assertions import UPDATE_ACTIONS
from ..validate.acceptance import SIGNING_TOLERATES, judge
from ..validate.font import validate_font
from ..validate.report import ValidationReport
from .bindings import BoxesBinding, DataBinding, Draft, UpdateBinding
from .credential import check_credential, signing_algorithm
from .maker import ManifestMaker, generator_info
from .previous import Previous, read_previous
from .request import BINDINGS, Embedded, Remote, SigningRequest
from .result import SignedFont, SigningError
from .time_stamper import TimeStamper

# The assertions glyphward writes itself, which a caller's may not replace.
_RESERVED_LABELS = ("c2pa.hash.boxes", "c2pa.hash.data", ACTIONS_V2, FONT_INFO, "c2pa.actions", "c2pa.ingredient",
                    "c2pa.ingredient.v2", "c2pa.ingredient.v3")
def check_label(label: str) -> None:
    """Refuses a label glyphward writes itself or one C2PA 2.2, 6.2.2 does
    not admit."""
    if not is_label(label):
        raise SigningError(f"{label!r} is not an assertion label (dot-separated names, C2PA 2.2, 6.2.2)")
    if label in _RESERVED_LABELS or label.startswith("c2pa.hash."):
        raise SigningError(f"the assertion {label} is one glyphward writes itself")


@dataclass
class Source:
    """The font as given, read."""
    font: bytes
    tables: List[Table]
    previous: Optional[Previous]


@dataclass
class Signing:
    """The signing of one font: its time and its warnings."""
    now: datetime
    warn: Optional[Callable[[str], None]]
    warnings: List[str] = field(default_factory=list)

    def note(self, message: str) -> None:
        self.warnings.append(message)
        if self.warn is not None:
            self.warn(message)


def refusal(report: ValidationReport, anchors_given: bool) -> Optional[str]:
    """Why a signed font may not be written, or None: the acceptance rule
    `verify` applies (validate.acceptance.judge), tolerating only a signer
    no trust anchor vouches for (SIGNING_TOLERATES)."""
    acceptance = judge(report, anchors_given=anchors_given, tolerated=SIGNING_TOLERATES)
    if acceptance.accepted:
        return None
    reason = acceptance.reason
    return f"{reason.code}: {reason.explanation}" if reason is not None else acceptance.words


class ClaimGenerator:
    """Signs fonts with one signer and one configuration.

    `hash_algorithm` is the claim's (C2PA 2.2, 13.1); `time_stamper` gets a
    v2 time-stamp for each claim signature (10.3.2.5); `trust_anchors`
    validate the manifest a font already carries, whose results the new
    manifest records; `strict` refuses intermediates that fall short of
    14.5.1 (a signing certificate that does is always refused); `clock`
    gives the time of each signing (default: now, UTC); `claim_generator`,
    a (name, version) pair, names the caller's tool in the claim beside
    glyphward (10.2.3)."""

    def __init__(self, signer: Signer, *, hash_algorithm: str = DEFAULT_HASH,
                 time_stamper: Optional[TimeStamper] = None, trust_anchors: Sequence[x509.Certificate] = (),
                 strict: bool = False, clock: Optional[Callable[[], datetime]] = None,
                 claim_generator: Optional[Tuple[str, str]] = None):
        if hash_algorithm not in HASH_ALGORITHMS:
            raise SigningError(f"unknown hash algorithm {hash_algorithm!r} (one of {', '.join(HASH_ALGORITHMS)})")
        certificates = list(getattr(signer, "certificates", None) or ())
        if not certificates or not all(isinstance(item, x509.Certificate) for item in certificates):
            raise SigningError("the signer has no certificate chain (a list of x509.Certificate)")
        if claim_generator is not None and not (len(claim_generator) == 2 and all(
                isinstance(part, str) and part for part in claim_generator)):
            raise SigningError("the claim generator is a name and a version")
        self.signer = signer
        self.algorithm = signing_algorithm(getattr(signer, "algorithm", None), certificates[0])
        self.hash_algorithm = hash_algorithm
        self.time_stamper = time_stamper
        self.trust_anchors = list(trust_anchors)
        self.strict = strict
        self.clock = clock or (lambda: datetime.now(timezone.utc))
        self.generator = generator_info(GENERATOR, VERSION, claim_generator)

    def sign(self, font: bytes, request: SigningRequest = SigningRequest(), *,
             warn: Optional[Callable[[str], None]] = None) -> SignedFont:
        """Signs `font` (the bytes of a TrueType or OpenType font) as
        `request` says; warnings go to `warn` as they arise and into the
        result. Raises SigningError."""
        signing = Signing(self.clock(), warn)
        _check_request(request)
        check_credential(list(self.signer.certificates), signing.now, self.strict, signing.note)
        source = self.read(font, request, signing)
        update = self.decide(source, request)
        assertions, title = self.assertions(source, request, update, signing)
        maker = ManifestMaker(
            label=manifest.new_label(), title=title, assertions=assertions, signer=self.signer,
            algorithm=self.algorithm, now=signing.now, alg=self.hash_algorithm, generator=self.generator,
            earlier=source.previous.boxes if source.previous is not None else (),
            kind=UPDATE_MANIFEST if update else STANDARD_MANIFEST, tsa=self.time_stamper)
        known = KnownDigests(font, source.tables)
        draft = Draft(font, source.tables, request.placement, self.hash_algorithm, known)
        strategy = UpdateBinding() if update else DataBinding() if request.binding == "data" else BoxesBinding()
        signed, store = strategy.bind(draft, maker)
        report = self.verify(signed, store, request, signing, known)
        return SignedFont(signed, store, maker.label, signing.warnings, report)

    # ------------------------------------------------------------- phases

    def read(self, font: bytes, request: SigningRequest, signing: Signing) -> Source:
        """The font's tables and the Manifest Store it carries (kept unless
        the request replaces it)."""
        import glyphward

        if not isinstance(font, bytes):
            raise SigningError("the font is not bytes")
        try:
            glyphward.read_manifest_uri_str(font)  # the module's word on fonts it cannot use
        except ValueError as error:
            if str(error) != "no C2PA table found in font":
                raise SigningError(str(error)) from None
        try:
            tables = read_tables(font)
        except FontStructureError as error:
            raise SigningError(str(error)) from None
        previous = None if request.replace else read_previous(font, tables, self.trust_anchors, signing.now,
                                                              signing.note, self.hash_algorithm)
        if find(tables, b"DSIG") is not None:
            signing.note("the font has a DSIG table: the signature it holds does not cover the signed font")
        return Source(font, tables, previous)

    def decide(self, source: Source, request: SigningRequest) -> bool:
        """True for an update manifest (C2PA 2.2, 11.2.3): when the font
        carries a manifest whose box hash still holds, the request leaves the
        binding to glyphward, keeps the manifest in the font, and records only
        actions an update manifest may hold. A standard manifest otherwise."""
        return source.previous is not None and source.previous.content_unchanged and request.binding is None \
            and isinstance(request.placement, Embedded) \
            and all(actions.name_of(action) in UPDATE_ACTIONS for action in request.actions)

    def assertions(self, source: Source, request: SigningRequest, update: bool,
                   signing: Signing) -> Tuple[List[Tuple[str, Any]], Optional[str]]:
        """The manifest's assertions but its hard binding, and its title."""
        font, previous = source.font, source.previous
        info, missing, font_name = font_info.build(font, request.font_info)
        steps = actions.recorded(request.actions, font, request.parent)
        parts: List[Tuple[str, Any]] = []
        full_name = info["fullName"] if info is not None else font_name
        if previous is not None:
            ingredient_value = ingredient.parent(
                title=previous.title or full_name, format=ingredient.media_type(font[:4]),
                active_manifest=previous.active_manifest, claim_signature=previous.claim_signature,
                validation_results=previous.validation_results)
            ingredient_box = manifest.assertion_box(INGREDIENT_V3, ingredient_value)
            reference = claim.HashedUri(claim.assertion_url(INGREDIENT_V3),
                                        hashlib.new(self.hash_algorithm, ingredient_box.content).digest())
            parts.append((ACTIONS_V2, actions.opened(reference.to_cbor(), steps)))
            parts.append((INGREDIENT_V3, ingredient_value))
        else:
            parts.append((ACTIONS_V2, actions.created(request.digital_source_type, steps)))
        if info is not None and not update:
            parts.append((FONT_INFO, info))
        elif info is None:
            signing.note("font.info left out: " + "; ".join(missing))
        for label, value in request.assertions:
            check_label(label)
            parts.append((label, value))
        if len({label for label, _ in parts}) != len(parts):
            raise SigningError("an assertion label is given twice")
        return parts, request.title if request.title is not None else full_name

    def verify(self, signed: bytes, store: bytes, request: SigningRequest, signing: Signing,
               known: KnownDigests) -> ValidationReport:
        """The signed font, validated as `verify` validates it (with this
        generator's trust anchors and clock); SigningError unless it is
        accepted."""
        report = validate_font(signed, now=signing.now, trust_anchors=self.trust_anchors,
                               manifest_store=store if isinstance(request.placement, Remote) else None, known=known)
        why = refusal(report, bool(self.trust_anchors))
        if why is not None:
            raise SigningError(f"the signed font does not validate ({why}); not written")
        return report


def _check_request(request: SigningRequest) -> None:
    if request.binding is not None and request.binding not in BINDINGS:
        raise SigningError(f"unknown binding {request.binding!r} (boxes or data)")
    if isinstance(request.placement, Remote) and request.binding == "data":
        raise SigningError("a remote manifest is bound by the box hash, and the font holds only its URI")
    if not isinstance(request.placement, (Embedded, Remote)):
        raise SigningError("the placement is Embedded(...) or Remote(url)")
    for action in request.actions:
        actions.check_action(actions.name_of(action))
