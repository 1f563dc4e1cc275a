"""A test PKI for the C2PA layer, made with cryptography into a directory.

    pki = C2paPki(directory)          # or the session fixture `c2pa_pki`
    pki.signer("ES256")               # a good claim signer: .cert_pem (chain), .key_pem, .chain, .key
    pki.bad("expired")                # a signer that C2PA 2.2, 14.5.1 or 15.8.2 refuses, same shape
    pki.root.cert_pem                 # root.pem, the signers' trust anchor
    pki.tsa, pki.tsa_root             # a time-stamping authority and its own root (tsa-root.pem)
    pki.other_root                    # other-root.pem, which issued nothing here

The good signers and the TSA meet the certificate profile of C2PA 2.2,
14.5.1.1; each bad one breaks one rule (see BAD_KINDS). `issue` makes further
certificates for tests that need odd ones. Keys are made once per process.
"""
from __future__ import annotations

import functools
from dataclasses import dataclass
from datetime import datetime, timedelta, timezone
from pathlib import Path
from typing import Dict, FrozenSet, List, Optional, Sequence, Tuple, Union

import pytest
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, ed25519, padding, rsa
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

PrivateKey = Union[ec.EllipticCurvePrivateKey, rsa.RSAPrivateKey, ed25519.Ed25519PrivateKey]
Issuer = Union["Credential", Tuple[x509.Name, PrivateKey], None]

C2PA_CLAIM_SIGNING = x509.ObjectIdentifier("1.3.6.1.4.1.62558.2.1")
DOCUMENT_SIGNING = x509.ObjectIdentifier("1.3.6.1.5.5.7.3.36")
SIGNER_EKUS = (C2PA_CLAIM_SIGNING, DOCUMENT_SIGNING)

# The algorithm of each good signer and the key it has.
ALGORITHMS: Dict[str, str] = {
    "ES256": "P-256",
    "ES384": "P-384",
    "ES512": "P-521",
    "PS256": "RSA",
    "PS384": "RSA",
    "PS512": "RSA",
    "Ed25519": "Ed25519",
}
# Each bad signer and what is wrong with it.
BAD_KINDS: Dict[str, str] = {
    "expired": "its validity ended yesterday",
    "not-yet-valid": "its validity begins tomorrow",
    "ca": "basic constraints assert cA",
    "no-digital-signature": "key usage nonRepudiation only",
    "wrong-eku": "extended key usage serverAuth only",
    "any-eku": "extended key usage lists anyExtendedKeyUsage",
    "no-eku": "no extended key usage extension",
    "unknown-root": "issued under other-root.pem's hierarchy, not root.pem's",
}

CA_USAGES = frozenset({"key_cert_sign", "crl_sign"})
SIGNER_USAGES = frozenset({"digital_signature"})
_DEFAULT: Tuple[()] = ()  # "the usual value" for issue()'s optional extensions


@dataclass(frozen=True)
class Credential:
    """A certificate with its key. `chain` is the certificate and then its
    issuers below the root (what an x5chain carries); `cert_pem` holds that
    chain (what `glyphward sign --cert` takes), `key_pem` the PKCS#8 key."""

    chain: List[x509.Certificate]
    key: PrivateKey
    cert_pem: Path
    key_pem: Path

    @property
    def cert(self) -> x509.Certificate:
        return self.chain[0]

    @property
    def name(self) -> x509.Name:
        return self.cert.subject


@functools.lru_cache(maxsize=None)
def key(label: str, kind: str) -> PrivateKey:
    """The process's key called `label`, of `kind` P-256, P-384, P-521, RSA
    (2048 bits) or Ed25519: made on first use."""
    if kind == "RSA":
        return rsa.generate_private_key(public_exponent=65537, key_size=2048)
    if kind == "Ed25519":
        return ed25519.Ed25519PrivateKey.generate()
    curves = {"P-256": ec.SECP256R1(), "P-384": ec.SECP384R1(), "P-521": ec.SECP521R1()}
    return ec.generate_private_key(curves[kind])


def name(common_name: str) -> x509.Name:
    return x509.Name(
        [
            x509.NameAttribute(NameOID.COMMON_NAME, common_name),
            x509.NameAttribute(NameOID.ORGANIZATION_NAME, "glyphward tests"),
        ]
    )


def default_hash(issuer_key: PrivateKey) -> Optional[hashes.HashAlgorithm]:
    if isinstance(issuer_key, ec.EllipticCurvePrivateKey):
        return {256: hashes.SHA256(), 384: hashes.SHA384()}.get(issuer_key.curve.key_size, hashes.SHA512())
    if isinstance(issuer_key, rsa.RSAPrivateKey):
        return hashes.SHA256()
    return None


def issue(
    subject: Union[str, x509.Name],
    subject_key: PrivateKey,
    issuer: Issuer = None,
    *,
    ca: bool = False,
    path_length: Optional[int] = None,
    basic_constraints: bool = True,
    key_usage: Optional[FrozenSet[str]] = None,
    no_key_usage: bool = False,
    eku: Union[Sequence[x509.ObjectIdentifier], None, Tuple[()]] = _DEFAULT,
    eku_critical: bool = False,
    subject_key_id: bool = True,
    authority_key_id: bool = True,
    not_before: Optional[datetime] = None,
    not_after: Optional[datetime] = None,
    hash_algorithm: Optional[hashes.HashAlgorithm] = None,
    rsa_padding: Optional[padding.AsymmetricPadding] = None,
    extra: Sequence[Tuple[x509.ExtensionType, bool]] = (),
) -> x509.Certificate:
    """A certificate for `subject_key`, signed by `issuer` (a Credential, a
    (name, key) pair, or None for self-signed). The defaults make a profile-
    conforming CA certificate (ca=True) or claim-signing certificate."""
    subject_name = name(subject) if isinstance(subject, str) else subject
    if issuer is None:
        issuer_name, issuer_key = subject_name, subject_key
    elif isinstance(issuer, Credential):
        issuer_name, issuer_key = issuer.name, issuer.key
    else:
        issuer_name, issuer_key = issuer
    now = datetime.now(timezone.utc)
    builder = (
        x509.CertificateBuilder()
        .subject_name(subject_name)
        .issuer_name(issuer_name)
        .public_key(subject_key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(not_before or now - timedelta(days=1))
        .not_valid_after(not_after or now + timedelta(days=365))
    )
    if basic_constraints:
        builder = builder.add_extension(x509.BasicConstraints(ca=ca, path_length=path_length), critical=True)
    if not no_key_usage:
        usages = key_usage if key_usage is not None else (CA_USAGES if ca else SIGNER_USAGES)
        flags = {
            flag: flag in usages
            for flag in (
                "digital_signature", "content_commitment", "key_encipherment", "data_encipherment",
                "key_agreement", "key_cert_sign", "crl_sign",
            )
        }
        builder = builder.add_extension(
            x509.KeyUsage(**flags, encipher_only=False, decipher_only=False), critical=True
        )
    usages_ext = (None if ca else SIGNER_EKUS) if eku == _DEFAULT else eku
    if usages_ext is not None:
        builder = builder.add_extension(x509.ExtendedKeyUsage(list(usages_ext)), critical=eku_critical)
    if subject_key_id:
        builder = builder.add_extension(
            x509.SubjectKeyIdentifier.from_public_key(subject_key.public_key()), critical=False
        )
    if authority_key_id and issuer is not None:
        builder = builder.add_extension(
            x509.AuthorityKeyIdentifier.from_issuer_public_key(issuer_key.public_key()), critical=False
        )
    for extension, critical in extra:
        builder = builder.add_extension(extension, critical=critical)
    algorithm = hash_algorithm or default_hash(issuer_key)
    if rsa_padding is not None:
        return builder.sign(issuer_key, algorithm, rsa_padding=rsa_padding)
    return builder.sign(issuer_key, algorithm)


def pem(certificates: Sequence[x509.Certificate]) -> bytes:
    return b"".join(c.public_bytes(serialization.Encoding.PEM) for c in certificates)


def write_credential(
    directory: Path, stem: str, chain: List[x509.Certificate], private_key: PrivateKey
) -> Credential:
    cert_pem = directory / f"{stem}.pem"
    key_pem = directory / f"{stem}.key"
    cert_pem.write_bytes(pem(chain))
    key_pem.write_bytes(
        private_key.private_bytes(
            serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()
        )
    )
    return Credential(chain=chain, key=private_key, cert_pem=cert_pem, key_pem=key_pem)


class C2paPki:
    """Roots, intermediates, signers and a TSA written into `directory`."""

    def __init__(self, directory: Path):
        self.directory = directory
        directory.mkdir(parents=True, exist_ok=True)
        now = datetime.now(timezone.utc)
        long_ago, far_ahead = now - timedelta(days=2), now + timedelta(days=3650)

        def authority(
            stem: str, label: str, kind: str, issuer: Optional[Credential], path_length: Optional[int] = None
        ) -> Credential:
            private_key = key(stem, kind)
            cert = issue(
                label, private_key, issuer, ca=True, path_length=path_length,
                not_before=long_ago, not_after=far_ahead,
            )
            return write_credential(directory, stem, [cert], private_key)

        self.root = authority("root", "glyphward test root CA", "P-384", None)
        self.intermediate = authority(
            "intermediate", "glyphward test intermediate CA", "P-256", self.root, path_length=0
        )
        self.other_root = authority("other-root", "glyphward other root CA", "P-256", None)
        self.other_intermediate = authority(
            "other-intermediate", "glyphward other intermediate CA", "P-256", self.other_root, path_length=0
        )
        self.tsa_root = authority("tsa-root", "glyphward test TSA root CA", "P-256", None)

        self._signers: Dict[str, Credential] = {}
        for algorithm, kind in ALGORITHMS.items():
            private_key = key(f"signer-{kind}", kind)
            cert = issue(f"glyphward {algorithm} signer", private_key, self.intermediate)
            self._signers[algorithm] = write_credential(
                directory, f"signer-{algorithm}", [cert, self.intermediate.cert], private_key
            )

        bad_key = key("bad-signer", "P-256")
        bad_options: Dict[str, Dict[str, object]] = {
            "expired": {"not_before": now - timedelta(days=30), "not_after": now - timedelta(days=1)},
            "not-yet-valid": {"not_before": now + timedelta(days=1)},
            "ca": {
                "ca": True, "key_usage": frozenset({"digital_signature", "key_cert_sign"}), "eku": SIGNER_EKUS,
            },
            "no-digital-signature": {"key_usage": frozenset({"content_commitment"})},
            "wrong-eku": {"eku": [ExtendedKeyUsageOID.SERVER_AUTH]},
            "any-eku": {"eku": [C2PA_CLAIM_SIGNING, ExtendedKeyUsageOID.ANY_EXTENDED_KEY_USAGE]},
            "no-eku": {"eku": None},
            "unknown-root": {},
        }
        self._bad: Dict[str, Credential] = {}
        for kind, options in bad_options.items():
            issuer = self.other_intermediate if kind == "unknown-root" else self.intermediate
            cert = issue(f"glyphward bad signer: {kind}", bad_key, issuer, **options)  # type: ignore[arg-type]
            self._bad[kind] = write_credential(directory, f"bad-{kind}", [cert, issuer.cert], bad_key)

        tsa_key = key("tsa", "P-256")
        tsa_cert = issue(
            "glyphward test TSA", tsa_key, self.tsa_root,
            eku=[ExtendedKeyUsageOID.TIME_STAMPING], eku_critical=True,
        )
        self.tsa = write_credential(directory, "tsa", [tsa_cert], tsa_key)

    def signer(self, algorithm: str) -> Credential:
        """The good claim signer for `algorithm`, one of ALGORITHMS."""
        return self._signers[algorithm]

    def bad(self, kind: str) -> Credential:
        """The bad claim signer of `kind`, one of BAD_KINDS."""
        return self._bad[kind]


@pytest.fixture(scope="session")
def c2pa_pki(tmp_path_factory: pytest.TempPathFactory) -> C2paPki:
    return C2paPki(tmp_path_factory.mktemp("c2pa-pki"))
