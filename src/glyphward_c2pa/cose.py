"""COSE_Sign1 claim signatures (C2PA 2.2, 13.2; RFC 9052 / RFC 8152), made
and checked with cryptography, encoded with cbor2."""
from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Tuple, Union

import cbor2
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, ed25519, padding, rsa
from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature, encode_dss_signature

from . import cbor
from .algorithms import SIGNATURES

SIGN1_TAG = 18
ALG = 1          # the `alg` header parameter
X5CHAIN = 33     # RFC 9360; C2PA 2.2, 14.5 also reads the older string label
X5CHAIN_TEXT = "x5chain"
IAT = "iat"      # C2PA 2.2, 13.2.4: the claimed time of signing
SIG_TST = "sigTst"
SIG_TST2 = "sigTst2"
PAD = "pad"

PublicKey = Union[ec.EllipticCurvePublicKey, rsa.RSAPublicKey, ed25519.Ed25519PublicKey]
PrivateKey = Union[ec.EllipticCurvePrivateKey, rsa.RSAPrivateKey, ed25519.Ed25519PrivateKey]


@dataclass(frozen=True)
class Algorithm:
    name: str       # as glyphward names it (the COSE name, and Ed25519 for EdDSA over Ed25519)
    cose_id: int
    family: str     # "ecdsa", "pss" or "eddsa"
    hash: Optional[hashes.HashAlgorithm]


# C2PA 2.2, 13.2.1: the allowed list, made from algorithms.SIGNATURES.
DIGESTS: Dict[str, hashes.HashAlgorithm] = {"sha256": hashes.SHA256(), "sha384": hashes.SHA384(),
                                             "sha512": hashes.SHA512()}
ALGORITHMS: Dict[str, Algorithm] = {
    name: Algorithm(name, entry.cose_id, entry.family, None if entry.family == "eddsa" else DIGESTS[entry.digest])
    for name, entry in SIGNATURES.items()
}
BY_COSE_ID: Dict[int, Algorithm] = {algorithm.cose_id: algorithm for algorithm in ALGORITHMS.values()}

_CURVES = {"secp256r1": 32, "secp384r1": 48, "secp521r1": 66}  # name: bytes per coordinate
_RSA_MAX_BITS = 16384


def key_problem(key: Any, algorithm: Algorithm) -> Optional[str]:
    """Why `key` (public or private) cannot be used with `algorithm`, or None
    (C2PA 2.2, 13.2.1: ECDSA on P-256, P-384 or P-521 with any ES
    algorithm, RSA of 2048 bits or more for PS, Ed25519 for EdDSA)."""
    if algorithm.family == "ecdsa":
        if not isinstance(key, (ec.EllipticCurvePublicKey, ec.EllipticCurvePrivateKey)):
            return f"{algorithm.name} needs an elliptic-curve key, not {_kind(key)}"
        if key.curve.name not in _CURVES:
            return f"{algorithm.name} needs a key on P-256, P-384 or P-521, not {key.curve.name}"
    elif algorithm.family == "pss":
        if not isinstance(key, (rsa.RSAPublicKey, rsa.RSAPrivateKey)):
            return f"{algorithm.name} needs an RSA key, not {_kind(key)}"
        if not 2048 <= key.key_size <= _RSA_MAX_BITS:
            return f"{algorithm.name} needs an RSA key of 2048 to {_RSA_MAX_BITS} bits, not {key.key_size}"
    elif not isinstance(key, (ed25519.Ed25519PublicKey, ed25519.Ed25519PrivateKey)):
        return f"Ed25519 needs an Ed25519 key, not {_kind(key)}"
    return None


def _kind(key: Any) -> str:
    if isinstance(key, (ec.EllipticCurvePublicKey, ec.EllipticCurvePrivateKey)):
        return f"an elliptic-curve key on {key.curve.name}"
    if isinstance(key, (rsa.RSAPublicKey, rsa.RSAPrivateKey)):
        return f"a {key.key_size}-bit RSA key"
    if isinstance(key, (ed25519.Ed25519PublicKey, ed25519.Ed25519PrivateKey)):
        return "an Ed25519 key"
    return f"a {type(key).__name__.replace('PrivateKey', '').replace('PublicKey', '')} key"


def algorithm_for_key(key: Any, requested: Optional[str] = None) -> Algorithm:
    """The algorithm to sign with: `requested`, or the one the key implies
    (ES256/ES384/ES512 by curve, PS256 for RSA, Ed25519). Raises ValueError
    when the key does not fit it or no allowed algorithm fits the key."""
    if requested is not None:
        if requested not in ALGORITHMS:
            raise ValueError(f"unknown algorithm {requested!r} (one of {', '.join(ALGORITHMS)})")
        algorithm = ALGORITHMS[requested]
    elif isinstance(key, (ec.EllipticCurvePublicKey, ec.EllipticCurvePrivateKey)):
        algorithm = ALGORITHMS[{"secp384r1": "ES384", "secp521r1": "ES512"}.get(key.curve.name, "ES256")]
    elif isinstance(key, (rsa.RSAPublicKey, rsa.RSAPrivateKey)):
        algorithm = ALGORITHMS["PS256"]
    else:
        algorithm = ALGORITHMS["Ed25519"]
    problem = key_problem(key, algorithm)
    if problem is not None:
        raise ValueError(problem)
    return algorithm


def signature_length(key: Any, algorithm: Algorithm) -> int:
    """The length of a signature in COSE's form (ECDSA: r and s, each as
    long as the curve's coordinates, RFC 9053, 2.1)."""
    if algorithm.family == "ecdsa":
        return 2 * _CURVES[key.curve.name]
    if algorithm.family == "pss":
        return int((key.key_size + 7) // 8)
    return 64


def sign_with_key(key: PrivateKey, algorithm: Algorithm, data: bytes) -> bytes:
    """A signature over `data` in COSE's form."""
    if algorithm.family == "ecdsa":
        assert isinstance(key, ec.EllipticCurvePrivateKey) and algorithm.hash is not None
        r, s = decode_dss_signature(key.sign(data, ec.ECDSA(algorithm.hash)))
        size = _CURVES[key.curve.name]
        return r.to_bytes(size, "big") + s.to_bytes(size, "big")
    if algorithm.family == "pss":
        assert isinstance(key, rsa.RSAPrivateKey) and algorithm.hash is not None
        return key.sign(data, _pss(algorithm.hash), algorithm.hash)
    assert isinstance(key, ed25519.Ed25519PrivateKey)
    return key.sign(data)


def verify_with_key(key: Any, algorithm: Algorithm, data: bytes, signature: bytes) -> bool:
    """Whether `signature` (COSE's form) over `data` verifies with `key`."""
    try:
        if algorithm.family == "ecdsa":
            size = _CURVES[key.curve.name]
            if len(signature) != 2 * size:
                return False
            r = int.from_bytes(signature[:size], "big")
            s = int.from_bytes(signature[size:], "big")
            assert algorithm.hash is not None
            key.verify(encode_dss_signature(r, s), data, ec.ECDSA(algorithm.hash))
        elif algorithm.family == "pss":
            assert algorithm.hash is not None
            key.verify(signature, data, _pss(algorithm.hash), algorithm.hash)
        else:
            key.verify(signature, data)
    except (InvalidSignature, ValueError):
        return False
    return True


def _pss(hash_algorithm: Any) -> padding.PSS:
    # RFC 8230, 2: MGF1 with the same hash, a salt as long as the hash.
    return padding.PSS(mgf=padding.MGF1(hash_algorithm), salt_length=hash_algorithm.digest_size)


def to_be_signed(protected: bytes, payload: bytes, context: str = "Signature1") -> bytes:
    """The ToBeSigned bytes: the Sig_structure of RFC 9052, 4.4, for
    COSE_Sign1 (no sign_protected element, C2PA 2.2, 13.2.3), with an empty
    external_aad."""
    return cbor.encode([context, protected, b"", payload])


def countersignature_payload(signature: bytes) -> bytes:
    """The payload of a v2 time-stamp (C2PA 2.2, 10.3.2.5.2): the claim
    signature's `signature` field as the serialized byte string, its CBOR
    head included."""
    return cbor.encode(signature)


def encode_sign1(protected: bytes, unprotected: Dict[Any, Any], signature: bytes) -> bytes:
    """A COSE_Sign1_Tagged with a detached (nil) payload."""
    return cbor.encode(cbor2.CBORTag(SIGN1_TAG, [protected, unprotected, None, signature]))


@dataclass
class Sign1:
    """A decoded COSE_Sign1_Tagged."""
    protected_bytes: bytes
    protected: Dict[Any, Any]
    unprotected: Dict[Any, Any]
    payload: Optional[bytes]
    signature: bytes

    def header(self, label: Any) -> Tuple[List[str], Any]:
        """The header `label` from either bucket: (the buckets it is in, its
        value, the protected one when both hold it)."""
        found = [name for name, bucket in (("protected", self.protected), ("unprotected", self.unprotected))
                 if label in bucket]
        value = self.protected.get(label, self.unprotected.get(label))
        return found, value


class CoseError(ValueError):
    """Not a COSE_Sign1_Tagged structure."""


def decode_sign1(data: Union[bytes, memoryview]) -> Sign1:
    try:
        value = cbor.decode(data)
    except cbor.CborError as error:
        raise CoseError(str(error)) from None
    if not isinstance(value, cbor2.CBORTag) or value.tag != SIGN1_TAG:
        raise CoseError("not a COSE_Sign1_Tagged structure (tag 18)")
    body = value.value  # cbor2 gives a tag's array as a tuple
    if not isinstance(body, (list, tuple)) or len(body) != 4:
        raise CoseError("a COSE_Sign1 structure is an array of four elements")
    protected_bytes, unprotected, payload, signature = body
    if not isinstance(protected_bytes, bytes) or not isinstance(unprotected, Mapping) \
            or not (payload is None or isinstance(payload, bytes)) or not isinstance(signature, bytes):
        raise CoseError("a COSE_Sign1 element has the wrong type")
    if protected_bytes:
        try:
            protected = cbor.decode(protected_bytes)
        except cbor.CborError as error:
            raise CoseError(f"the protected header: {error}") from None
        if not isinstance(protected, dict):
            raise CoseError("the protected header is not a map")
    else:
        protected = {}
    try:
        unprotected = cbor.plain(unprotected)
    except cbor.CborError as error:
        raise CoseError(f"the unprotected header: {error}") from None
    return Sign1(protected_bytes, protected, unprotected, payload, signature)
