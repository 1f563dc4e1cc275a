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

from typing import Optional

from .certificates import CertificateError, load_pem_certificates
from .signers import KeySigner, Signer, SignerError
from .signing import SignedFont, SigningError, sign_font
from .validate.font import validate_font as verify_font
from .validate.report import ManifestSummary, ValidationReport

__all__ = [
    "CertificateError", "KeySigner", "ManifestSummary", "SignedFont", "Signer", "SignerError", "SigningError",
    "ValidationReport", "load_pem_certificates", "read_manifest_summary", "sign_font", "verify_font",
]


def read_manifest_summary(font: bytes) -> Optional[ManifestSummary]:
    """The summary of the font's active manifest, as validation without
    trust anchors finds it (its `state` says how far it validated), or None
    when the font carries no Manifest Store."""
    return verify_font(font).manifest
