"""Signing fonts: the claim generator of C2PA 2.2, 10.3, for fonts.

`ClaimGenerator` is configured once (signer, hash algorithm, time-stamp
authority, trust anchors, strictness, clock) and signs one font at a time
with a `SigningRequest`; `sign_font` is the one-call form. Every font is
validated before it is returned; all font writing goes through the
glyphward module.
"""
from __future__ import annotations

from datetime import datetime
from typing import Any, Callable, Mapping, Optional, Sequence, Tuple

from cryptography import x509

from ..algorithms import DEFAULT_HASH
from ..assertions.actions import DIGITAL_CREATION
from ..signers import Signer
from .generator import ClaimGenerator, check_label, refusal
from .request import BINDINGS, Action, Embedded, Placement, Remote, SigningRequest
from .result import SignedFont, SigningError
from .time_stamper import TimeStamper

__all__ = ["BINDINGS", "DEFAULT_HASH", "Action", "ClaimGenerator", "Embedded", "Placement", "Remote",
           "SignedFont", "SigningError", "SigningRequest", "TimeStamper", "check_label", "refusal", "sign_font"]


def sign_font(font: bytes, signer: Signer, *, binding: Optional[str] = None, title: Optional[str] = None,
              assertions: Sequence[Tuple[str, Any]] = (), digital_source_type: str = DIGITAL_CREATION,
              size: Optional[int] = None, remote_uri: Optional[str] = None, remote: Optional[str] = None,
              strict: bool = False, hash_algorithm: str = DEFAULT_HASH, now: Optional[datetime] = None,
              warn: Optional[Callable[[str], None]] = None, replace: bool = False,
              font_actions: Sequence[Action] = (), trust_anchors: Sequence[x509.Certificate] = (),
              tsa: Optional[TimeStamper] = None, claim_generator: Optional[Tuple[str, str]] = None,
              font_info_extra: Optional[Mapping[str, Any]] = None, parent: Optional[bytes] = None) -> SignedFont:
    """Signs `font` (the bytes of a TrueType or OpenType font) in one call:
    a `ClaimGenerator` with `signer`, `hash_algorithm`, `tsa`,
    `trust_anchors`, `strict`, the clock `now` and `claim_generator`,
    signing one `SigningRequest` (`binding`, `title`, `assertions`,
    `digital_source_type`, `font_actions`, `parent`, `font_info_extra`,
    `replace`), placed `Remote(remote)` or `Embedded(size, remote_uri)`.
    Raises SigningError."""
    if remote is not None and (remote_uri is not None or size is not None):
        raise SigningError("a remote manifest is bound by the box hash, and the font holds only its URI")
    generator = ClaimGenerator(signer, hash_algorithm=hash_algorithm, time_stamper=tsa, trust_anchors=trust_anchors,
                               strict=strict, clock=None if now is None else (lambda: now),
                               claim_generator=claim_generator)
    placement: Placement = Remote(remote) if remote is not None else Embedded(size, remote_uri)
    request = SigningRequest(binding=binding, placement=placement, title=title, assertions=tuple(assertions),
                             digital_source_type=digital_source_type, actions=tuple(font_actions), parent=parent,
                             font_info=font_info_extra, replace=replace)
    return generator.sign(font, request, warn=warn)
