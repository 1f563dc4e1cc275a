"""Who signs a claim: a certificate chain and something that makes
signatures with its key. `KeySigner` holds the private key; a program that
keeps the key in an HSM or a cloud KMS is run by the command instead (its
`--key-command`), through the same `Signer` protocol."""
from __future__ import annotations

from typing import Any, Optional, Sequence

from cryptography import x509
from cryptography.hazmat.primitives import serialization

from .certificates import CertificateError, load_pem_certificates
from .cose import ALGORITHMS, Algorithm, PrivateKey, algorithm_for_key, key_problem, sign_with_key

try:
    from typing import Protocol
except ImportError:  # pragma: no cover - Python 3.7
    Protocol = object  # type: ignore


class SignerError(ValueError):
    """A credential or key that cannot sign; the message says why."""


class Signer(Protocol):
    """Makes claim signatures.

    `algorithm` is one of the names of `cose.ALGORITHMS` (C2PA 2.2, 13.2.1),
    `certificates` the signer's certificate followed by its intermediates
    (what goes into `x5chain`, C2PA 2.2, 14.5), and `sign` returns the
    signature over `data` in COSE's form (RFC 9053: ECDSA as r and s)."""
    algorithm: Algorithm
    certificates: Sequence[x509.Certificate]

    def sign(self, data: bytes) -> bytes: ...


def load_chain(data: bytes, what: str = "--cert") -> Sequence[x509.Certificate]:
    try:
        return load_pem_certificates(data, what)
    except CertificateError as error:
        raise SignerError(str(error)) from None


def chosen_algorithm(certificate: x509.Certificate, requested: Optional[str]) -> Algorithm:
    """The algorithm to sign with, from the certificate's key and `requested`
    (RSA: PS256 unless asked otherwise); SignerError when they do not fit."""
    try:
        return algorithm_for_key(certificate.public_key(), requested)
    except ValueError as error:
        raise SignerError(f"the certificate's key cannot sign: {error}") from None


class KeySigner:
    """Signs with a private key held in memory."""

    def __init__(self, key: PrivateKey, certificates: Sequence[x509.Certificate], algorithm: Optional[str] = None):
        if not certificates:
            raise SignerError("no signing certificate")
        self.certificates: Sequence[x509.Certificate] = list(certificates)
        self.algorithm = chosen_algorithm(self.certificates[0], algorithm)
        problem = key_problem(key, self.algorithm)
        if problem is not None:
            raise SignerError(f"the private key cannot sign: {problem}")
        if _public_bytes(key.public_key()) != _public_bytes(self.certificates[0].public_key()):
            raise SignerError("the private key does not belong to the signing certificate (the first one of "
                              "the chain)")
        self._key = key

    @classmethod
    def from_pem(cls, chain_pem: bytes, key_pem: bytes, password: Optional[bytes] = None,
                 algorithm: Optional[str] = None) -> "KeySigner":
        chain = load_chain(chain_pem)
        try:
            key: Any = serialization.load_pem_private_key(key_pem, password)
        except TypeError as error:  # a password where none is needed, or none where one is
            raise SignerError(f"--key: {_password_problem(error, password)}") from None
        except ValueError as error:
            raise SignerError(f"--key: not a PEM private key, or the wrong passphrase ({error})") from None
        except Exception as error:  # cryptography's unsupported-algorithm errors
            raise SignerError(f"--key: {error}") from None
        if algorithm is not None and algorithm not in ALGORITHMS:
            raise SignerError(f"unknown algorithm {algorithm!r}")
        return cls(key, chain, algorithm)

    def sign(self, data: bytes) -> bytes:
        return sign_with_key(self._key, self.algorithm, data)


def _public_bytes(key: Any) -> bytes:
    return bytes(key.public_bytes(serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo))


def _password_problem(error: TypeError, password: Optional[bytes]) -> str:
    if password is None:
        return "the key is encrypted: give its passphrase (--key-password-env)"
    return "the key is not encrypted, but a passphrase was given"
