"""glyphward's C2PA layer: builds, signs and validates C2PA manifests for
fonts, written from the C2PA Technical Specification 2.2.

    from glyphward_c2pa import KeySigner, sign_font, verify_font, read_manifest_summary

    signer = KeySigner.from_pem(open("chain.pem", "rb").read(), open("signer.key", "rb").read())
    signed = sign_font(open("Font.ttf", "rb").read(), signer)        # SignedFont: .font, .manifest_store, .warnings
    report = verify_font(signed.font, trust_anchors=anchors)          # ValidationReport
    report.manifest_state, report.asset_valid, report.validation_results

All font writing goes through the `glyphward` extension module.
"""
from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any, Optional

if TYPE_CHECKING:
    from .certificates import CertificateError as CertificateError
    from .certificates import load_pem_certificates as load_pem_certificates
    from .signers import KeySigner as KeySigner
    from .signers import Signer as Signer
    from .signers import SignerError as SignerError
    from .signing import SignedFont as SignedFont
    from .signing import SigningError as SigningError
    from .signing import TimeStamper as TimeStamper
    from .signing import sign_font as sign_font
    from .validate.font import verify_font as verify_font
    from .validate.report import ManifestSummary as ManifestSummary
    from .validate.report import ValidationReport as ValidationReport

# Each public name and the module it comes from; imported when first used,
# so that `glyphward verify` does not load what only signing needs.
_EXPORTS = {
    "CertificateError": "certificates", "load_pem_certificates": "certificates",
    "KeySigner": "signers", "Signer": "signers", "SignerError": "signers",
    "SignedFont": "signing", "SigningError": "signing", "TimeStamper": "signing", "sign_font": "signing",
    "verify_font": "validate.font", "ManifestSummary": "validate.report", "ValidationReport": "validate.report",
}

__all__ = sorted(_EXPORTS) + ["read_manifest_summary"]


def __getattr__(name: str) -> Any:
    if name not in _EXPORTS:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f".{_EXPORTS[name]}", __name__), name)
    globals()[name] = value
    return value


def read_manifest_summary(font: bytes) -> Optional["ManifestSummary"]:
    """The summary of the font's active manifest, as validation without
    trust anchors finds it (its `state` says how far it validated), or None
    when the font carries no Manifest Store."""
    from .validate.font import validate_font

    return validate_font(font).manifest
