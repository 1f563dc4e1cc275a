"""The algorithms C2PA 2.2 allows, named once: the hash algorithms of
13.1 and the signature algorithms of 13.2.1 (both deprecated lists are
empty). Everything else (COSE, time-stamps, the command's choices) is made
from these tables; this module imports nothing, so the command can offer
the names without loading cryptography."""
from __future__ import annotations

from typing import Dict, NamedTuple, Tuple

# C2PA 2.2, 13.1. The names are C2PA's, and also hashlib's and asn1crypto's.
HASH_ALGORITHMS: Tuple[str, ...] = ("sha256", "sha384", "sha512")
DEFAULT_HASH = "sha256"


class SignatureAlgorithm(NamedTuple):
    cose_id: int    # its COSE algorithm identifier (RFC 9053)
    family: str     # "ecdsa", "pss" or "eddsa"
    digest: str     # the hash it signs with (Ed25519: SHA-512, RFC 8032, 5.1)


# C2PA 2.2, 13.2.1, by glyphward's names: the COSE names, and Ed25519 for
# EdDSA over Ed25519.
SIGNATURES: Dict[str, SignatureAlgorithm] = {
    "ES256": SignatureAlgorithm(-7, "ecdsa", "sha256"),
    "ES384": SignatureAlgorithm(-35, "ecdsa", "sha384"),
    "ES512": SignatureAlgorithm(-36, "ecdsa", "sha512"),
    "PS256": SignatureAlgorithm(-37, "pss", "sha256"),
    "PS384": SignatureAlgorithm(-38, "pss", "sha384"),
    "PS512": SignatureAlgorithm(-39, "pss", "sha512"),
    "Ed25519": SignatureAlgorithm(-8, "eddsa", "sha512"),
}
SIGNATURE_ALGORITHMS: Tuple[str, ...] = tuple(SIGNATURES)


def time_stamp_hash(signature_algorithm: str) -> str:
    """The hash of a time-stamp request over a claim signature: that of the
    signature's own algorithm (C2PA 2.2, 10.3.2.5.3; Ed25519's is SHA-512)."""
    return SIGNATURES[signature_algorithm].digest
