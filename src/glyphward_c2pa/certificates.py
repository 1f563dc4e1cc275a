"""X.509 certificates of C2PA signers and time-stamping authorities.

Reading certificates (PEM files given by the user, DER entries of an x5chain
header), checking one against the certificate profile of C2PA 2.2, 14.5.1.1,
building and validating a certification path to a trust anchor as C2PA 2.2,
14.5.1.2 asks (RFC 5280, section 6), and judging validity periods at a chosen
time (C2PA 2.2, 15.8.2).

Every check is done with `cryptography`, except the one field it does not
expose: whether issuerUniqueID and subjectUniqueID are present, which
asn1crypto reads from the TBSCertificate. Nothing here parses ASN.1 itself.

Nothing here raises on a certificate that `cryptography` could parse: fields
that `cryptography` refuses to decode on access (a duplicate extension, a
malformed extension value, an unknown hash) become problems in plain words.
"""
from __future__ import annotations

import contextlib
import contextvars
import functools
import threading
from collections import OrderedDict
from dataclasses import dataclass
from datetime import datetime, timezone
from typing import Dict, Iterator, List, Literal, Optional, Sequence, Tuple, Union

from asn1crypto import core as asn1_core  # type: ignore[import-untyped]
from asn1crypto import x509 as asn1_x509
from cryptography import x509
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, ed25519, padding, rsa
from cryptography.x509.oid import ExtendedKeyUsageOID, ExtensionOID, SignatureAlgorithmOID

from .shown import one_line

__all__ = [
    "C2PA_CLAIM_SIGNING",
    "CLAIM_SIGNING_EKUS",
    "DOCUMENT_SIGNING",
    "MAX_CHAIN_CERTIFICATES",
    "MAX_ISSUER_TRIALS",
    "MAX_PATH_CERTIFICATES",
    "VALIDATION_CHECK_UNITS",
    "CertificateError",
    "ChainResult",
    "CheckBudget",
    "Purpose",
    "describe_name",
    "load_der_chain",
    "load_pem_certificates",
    "profile_problems",
    "validate_chain",
    "validity_problem",
]

Purpose = Literal["claim-signing", "time-stamping"]

# c2pa-kp-claimSigning, C2PA 2.2, 14.4.1.
C2PA_CLAIM_SIGNING = x509.ObjectIdentifier("1.3.6.1.4.1.62558.2.1")
# id-kp-documentSigning, RFC 9336.
DOCUMENT_SIGNING = x509.ObjectIdentifier("1.3.6.1.5.5.7.3.36")
# The EKUs for which the user's trust anchors are taken for claim signing
# (C2PA 2.2, 14.4.1 names these three).
CLAIM_SIGNING_EKUS: Tuple[x509.ObjectIdentifier, ...] = (
    C2PA_CLAIM_SIGNING,
    DOCUMENT_SIGNING,
    ExtendedKeyUsageOID.EMAIL_PROTECTION,
)

# The longest certification path accepted, signer and trust anchor included.
MAX_PATH_CERTIFICATES = 16
# More distinct certificates than this in one x5chain are refused outright:
# a path holds at most MAX_PATH_CERTIFICATES, so such a chain is not a
# candidate path (RFC 9360) but padding.
MAX_CHAIN_CERTIFICATES = 64
# How many issuer candidates path building may try before it gives up; it
# bounds the work on chains whose names form many candidate paths.
MAX_ISSUER_TRIALS = 100
# The signature checks path building may do in one validation (every manifest
# of a store, their claim signers' chains and their TSAs' chains together), in
# units of about one P-256 check (see _check_units). A chain of 2 to 4
# certificates (C2PA 2.2, 14.5) costs 2 to 15 units; this bounds a store of many
# manifests whose chains are each a bundle of failing candidates to about a
# quarter of a second on AMD EPYC (family 25, model 17).
VALIDATION_CHECK_UNITS = 2000

_ANY_EKU = ExtendedKeyUsageOID.ANY_EXTENDED_KEY_USAGE
_TIME_STAMPING = ExtendedKeyUsageOID.TIME_STAMPING
_OCSP_SIGNING = ExtendedKeyUsageOID.OCSP_SIGNING

_EKU_NAMES: Dict[x509.ObjectIdentifier, str] = {
    C2PA_CLAIM_SIGNING: "c2pa-kp-claimSigning",
    DOCUMENT_SIGNING: "id-kp-documentSigning",
    ExtendedKeyUsageOID.EMAIL_PROTECTION: "id-kp-emailProtection",
    _TIME_STAMPING: "id-kp-timeStamping",
    _OCSP_SIGNING: "id-kp-OCSPSigning",
    _ANY_EKU: "anyExtendedKeyUsage",
}

# C2PA 2.2, 14.5.1.1: the algorithm field of signatureAlgorithm.
_ALLOWED_SIGNATURE_ALGORITHMS: Dict[x509.ObjectIdentifier, str] = {
    SignatureAlgorithmOID.ECDSA_WITH_SHA256: "ecdsa-with-SHA256",
    SignatureAlgorithmOID.ECDSA_WITH_SHA384: "ecdsa-with-SHA384",
    SignatureAlgorithmOID.ECDSA_WITH_SHA512: "ecdsa-with-SHA512",
    SignatureAlgorithmOID.RSA_WITH_SHA256: "sha256WithRSAEncryption",
    SignatureAlgorithmOID.RSA_WITH_SHA384: "sha384WithRSAEncryption",
    SignatureAlgorithmOID.RSA_WITH_SHA512: "sha512WithRSAEncryption",
    SignatureAlgorithmOID.RSASSA_PSS: "id-RSASSA-PSS",
    SignatureAlgorithmOID.ED25519: "id-Ed25519",
}
# C2PA 2.2, 14.5.1.1: the hashes RSASSA-PSS-params may name.
_PSS_HASHES = (hashes.SHA256, hashes.SHA384, hashes.SHA512)
# C2PA 2.2, 14.5.1.1: the named curves of an id-ecPublicKey.
_ALLOWED_CURVES = {"secp256r1": "P-256", "secp384r1": "P-384", "secp521r1": "P-521"}
_MIN_RSA_BITS = 2048
# C2PA 2.2, 13.2.1 lets implementations refuse larger RSA moduli; refusing them
# bounds what one signature check can cost.
_MAX_RSA_BITS = 16384

# The extensions this validator processes, when critical (RFC 5280, 6.1.4 (o)
# and 6.1.5 (f)); any other critical extension refuses a path. Certificate
# policies are among them because, with RFC 5280's default inputs (any policy,
# no explicit policy required), they cannot refuse a path by themselves: only
# policy constraints, policy mappings and inhibitAnyPolicy can, and those are
# not processed here.
_PROCESSED_EXTENSIONS = frozenset(
    {
        ExtensionOID.BASIC_CONSTRAINTS,
        ExtensionOID.KEY_USAGE,
        ExtensionOID.EXTENDED_KEY_USAGE,
        ExtensionOID.SUBJECT_KEY_IDENTIFIER,
        ExtensionOID.AUTHORITY_KEY_IDENTIFIER,
        ExtensionOID.SUBJECT_ALTERNATIVE_NAME,
        ExtensionOID.ISSUER_ALTERNATIVE_NAME,
        ExtensionOID.CERTIFICATE_POLICIES,
    }
)


class CertificateError(ValueError):
    """A certificate could not be read; the message is one line."""


# ------------------------------------------------------------------ reading


def load_pem_certificates(data: bytes, what: str) -> List[x509.Certificate]:
    """Every certificate of a PEM file, in order; other PEM blocks are skipped."""
    try:
        return x509.load_pem_x509_certificates(data)
    except _LOAD_ERRORS as error:
        if b"CERTIFICATE-----" not in data:
            raise CertificateError(f"{what}: no certificate found") from None
        raise CertificateError(f"{what}: not a PEM certificate: {_parse_error(error)}") from None


def load_der_chain(items: Sequence[bytes]) -> List[x509.Certificate]:
    """The certificates of an x5chain header (RFC 9360), one DER item each."""
    chain = tuple(bytes(item) for item in items)
    if sum(map(len, chain)) > _CACHED_CHAIN_BYTES:
        return list(_load_der_chain.__wrapped__(chain))
    return list(_load_der_chain(chain))


# Chains larger than this are loaded afresh rather than kept in the cache.
_CACHED_CHAIN_BYTES = 64 << 10


# The caches below hold the last few certificates and chains seen (a batch
# of fonts is mostly signed by one credential), bounded in size.
@functools.lru_cache(maxsize=32)
def _load_der_chain(items: Tuple[bytes, ...]) -> Tuple[x509.Certificate, ...]:
    chain = []
    for index, item in enumerate(items):
        try:
            chain.append(x509.load_der_x509_certificate(bytes(item)))
        except _LOAD_ERRORS as error:
            raise CertificateError(
                f"x5chain entry {index}: not a DER certificate: {_parse_error(error)}"
            ) from None
    return tuple(chain)


# What cryptography raises for input it cannot load as a certificate.
_LOAD_ERRORS = (ValueError, x509.InvalidVersion)


def _parse_error(error: Exception) -> str:
    text = one_line(str(error))
    if text.startswith("Unable to load PEM file"):
        return "malformed PEM"
    return text


@functools.lru_cache(maxsize=64)
def describe_name(name: x509.Name) -> str:
    """`name` as an RFC 4514 string, with characters that are not printable
    escaped as hex pairs (RFC 4514, section 2.4) so that it stays on one line."""
    try:
        text = name.rfc4514_string()
    except Exception:  # cryptography raises several types on odd attribute values
        return "(a name that cannot be displayed)"
    if text.isprintable():
        return text
    return "".join(
        ch if ch.isprintable() else "".join(f"\\{byte:02X}" for byte in ch.encode("utf-8"))
        for ch in text
    )


# ---------------------------------------------------------- one certificate


_ExtensionMap = Dict[x509.ObjectIdentifier, "x509.Extension[x509.ExtensionType]"]


class _Cert:
    """A certificate with the fields validation reads, each decoded once and
    only when read: `cryptography` 43 builds a new Name object on each access
    of `subject` or `issuer`, and one validation reads them several times."""

    __slots__ = ("cert", "_subject", "_issuer", "_self_issued", "_extensions", "_ca_problems", "_critical", "_units")

    def __init__(self, cert: x509.Certificate):
        self.cert = cert
        self._subject: Union[x509.Name, str, None] = None
        self._issuer: Union[x509.Name, str, None] = None
        self._self_issued: Optional[bool] = None
        self._extensions: Union[_ExtensionMap, str, None] = None
        self._ca_problems: Optional[List[str]] = None
        self._critical: Optional[str] = None
        self._units: Optional[int] = None

    @property
    def subject(self) -> Optional[x509.Name]:
        """The subject name; None when cryptography cannot decode it."""
        if self._subject is None:
            self._subject = _read_name(self.cert, "subject")
        return self._subject if isinstance(self._subject, x509.Name) else None

    @property
    def issuer(self) -> Optional[x509.Name]:
        """The issuer name; None when cryptography cannot decode it."""
        if self._issuer is None:
            self._issuer = _read_name(self.cert, "issuer")
        return self._issuer if isinstance(self._issuer, x509.Name) else None

    def name_problems(self) -> List[str]:
        """Why the subject or issuer name cannot be read, if so."""
        problems = []
        if self.subject is None:
            problems.append(str(self._subject))
        if self.issuer is None:
            problems.append(str(self._issuer))
        return problems

    @property
    def label(self) -> str:
        return _quoted(self.subject)

    @property
    def self_issued(self) -> bool:
        if self._self_issued is None:
            self._self_issued = self.subject is not None and self.subject == self.issuer
        return self._self_issued

    def extensions(self) -> Union[_ExtensionMap, str]:
        """The extensions by OID, or why they cannot be read."""
        if self._extensions is None:
            try:
                self._extensions = {extension.oid: extension for extension in self.cert.extensions}
            except Exception as error:  # DuplicateExtension, ValueError, ...
                self._extensions = f"its extensions cannot be read ({one_line(str(error))})"
        return self._extensions

    def extension(self, oid: x509.ObjectIdentifier) -> Optional[x509.ExtensionType]:
        extensions = self.extensions()
        if isinstance(extensions, str) or oid not in extensions:
            return None
        return extensions[oid].value

    def basic_constraints(self) -> Optional[x509.BasicConstraints]:
        value = self.extension(ExtensionOID.BASIC_CONSTRAINTS)
        return value if isinstance(value, x509.BasicConstraints) else None

    def is_ca(self) -> bool:
        constraints = self.basic_constraints()
        return constraints is not None and constraints.ca

    def key_usage(self) -> Optional[x509.KeyUsage]:
        value = self.extension(ExtensionOID.KEY_USAGE)
        return value if isinstance(value, x509.KeyUsage) else None

    def extended_key_usage(self) -> Optional[List[x509.ObjectIdentifier]]:
        value = self.extension(ExtensionOID.EXTENDED_KEY_USAGE)
        return list(value) if isinstance(value, x509.ExtendedKeyUsage) else None

    def ca_problems(self) -> List[str]:
        if self._ca_problems is None:
            self._ca_problems = _profile_problems(self, end_entity=False, purpose=None)
        return self._ca_problems

    def check_units(self) -> int:
        """What checking a signature with this certificate's key costs, in
        units of about one P-256 check (OpenSSL 3 on AMD EPYC: Ed25519 about 2,
        P-521 about 6, P-384 about 8; RSA grows with the square of the modulus
        and with the length of the public exponent, and is counted high)."""
        if self._units is None:
            self._units = _check_units(self.cert)
        return self._units

    def unprocessed_critical_extension(self) -> str:
        """The first critical extension this validator does not process, or ""."""
        if self._critical is None:
            self._critical = ""
            extensions = self.extensions()
            if not isinstance(extensions, str):
                for oid, extension in extensions.items():
                    if extension.critical and oid not in _PROCESSED_EXTENSIONS:
                        self._critical = _oid_label(oid)
                        break
        return self._critical


def _check_units(cert: x509.Certificate) -> int:
    try:
        key = cert.public_key()
    except Exception:  # unsupported or malformed key: the check fails at once
        return 1
    if isinstance(key, ec.EllipticCurvePublicKey):
        return {"secp384r1": 8, "secp521r1": 6}.get(key.curve.name, 1)
    if isinstance(key, ed25519.Ed25519PublicKey):
        return 2
    if isinstance(key, rsa.RSAPublicKey):
        exponent_bits = key.public_numbers().e.bit_length()
        return 1 + (key.key_size // 2048) ** 2 * exponent_bits // 17
    return 1


def _read_name(cert: x509.Certificate, field: Literal["subject", "issuer"]) -> Union[x509.Name, str]:
    """The certificate's subject or issuer name, or why it cannot be read
    (cryptography decodes names on first access and may refuse them then)."""
    try:
        return cert.subject if field == "subject" else cert.issuer
    except Exception as error:  # ValueError and others on malformed attribute values
        return f"its {field} name cannot be read ({one_line(str(error))})"


def _quoted(name: Optional[x509.Name]) -> str:
    return f'"{describe_name(name)}"' if name is not None else "(a certificate whose subject cannot be read)"


def _oid_label(oid: x509.ObjectIdentifier) -> str:
    name = _EKU_NAMES.get(oid) or getattr(oid, "_name", "Unknown OID")
    if name == "Unknown OID":
        return oid.dotted_string
    return f"{name} ({oid.dotted_string})"


@functools.lru_cache(maxsize=128)
def _signature_problem(child: x509.Certificate, issuer: x509.Certificate) -> Optional[str]:
    """Why `issuer`'s key does not verify `child`'s signature, or None.

    The result depends on the two certificates' bytes only; the small bounded
    cache spares repeated validations of one chain (a family of fonts signed
    with one credential) their most costly step.
    """
    try:
        child.verify_directly_issued_by(issuer)
    except InvalidSignature:
        return "its signature does not verify with the issuer's public key"
    except Exception as error:  # ValueError, TypeError, UnsupportedAlgorithm: a refused algorithm or key
        return f"its signature cannot be checked ({one_line(str(error)) or type(error).__name__})"
    return None


def profile_problems(
    cert: x509.Certificate, *, end_entity: bool, purpose: Optional[Purpose]
) -> List[str]:
    """Where `cert` falls short of the certificate profile of C2PA 2.2,
    14.5.1.1, one line each; [] when it meets the profile.

    end_entity=True checks it as the certificate of a signer for `purpose`
    (None: any signer), end_entity=False as a CA certificate.
    """
    return list(_cached_profile_problems(cert, end_entity, purpose))


@functools.lru_cache(maxsize=64)
def _cached_profile_problems(cert: x509.Certificate, end_entity: bool, purpose: Optional[Purpose]) -> Tuple[str, ...]:
    return tuple(_profile_problems(_Cert(cert), end_entity=end_entity, purpose=purpose))


def _profile_problems(node: _Cert, *, end_entity: bool, purpose: Optional[Purpose]) -> List[str]:
    problems = node.name_problems()
    problems += _signature_algorithm_problems(node.cert)
    problems += _public_key_problems(node.cert)
    try:
        version = node.cert.version
    except Exception:  # x509.InvalidVersion
        version = None
    if version != x509.Version.v3:
        problems.append("it is not an X.509 version 3 certificate")
    problems += _unique_id_problems(node.cert)
    extensions = node.extensions()
    if isinstance(extensions, str):
        problems.append(extensions)
        return problems
    problems += _extension_problems(node)
    if end_entity:
        problems += _end_entity_problems(node, purpose)
    else:
        problems += _ca_certificate_problems(node)
    return problems


def _signature_algorithm_problems(cert: x509.Certificate) -> List[str]:
    oid = cert.signature_algorithm_oid
    if oid not in _ALLOWED_SIGNATURE_ALGORITHMS:
        return [f"its signature algorithm {_oid_label(oid)} is not one C2PA 2.2, 14.5.1.1 allows"]
    if oid != SignatureAlgorithmOID.RSASSA_PSS:
        return []
    # RSASSA-PSS-params: hashAlgorithm and maskGenAlgorithm present, the hash
    # SHA-256, SHA-384 or SHA-512, and MGF1 over that same hash. In DER an
    # absent field takes its default, SHA-1, which the hash rules refuse.
    try:
        parameters = cert.signature_algorithm_parameters
        hash_algorithm = cert.signature_hash_algorithm
    except Exception as error:  # unknown hash or mask generation function
        return [f"its RSASSA-PSS parameters are not usable ({one_line(str(error))})"]
    if not isinstance(hash_algorithm, _PSS_HASHES):
        name = hash_algorithm.name if hash_algorithm is not None else "absent"
        return [f"its RSASSA-PSS hash algorithm is {name}, not SHA-256, SHA-384 or SHA-512"]
    mgf = parameters.mgf if isinstance(parameters, padding.PSS) else None
    # cryptography keeps MGF1's hash in this attribute only (43 to 51).
    mgf_hash = getattr(mgf, "_algorithm", None) if isinstance(mgf, padding.MGF1) else None
    if not isinstance(mgf_hash, hashes.HashAlgorithm) or mgf_hash.name != hash_algorithm.name:
        mgf_name = mgf_hash.name if isinstance(mgf_hash, hashes.HashAlgorithm) else "unknown"
        return [
            f"its RSASSA-PSS mask generation uses {mgf_name}, not the signature's "
            f"hash {hash_algorithm.name}"
        ]
    return []


@functools.lru_cache(maxsize=128)
def _unique_id_problems(cert: x509.Certificate) -> Tuple[str, ...]:
    """C2PA 2.2, 14.5.1.1 (RFC 5280, 4.1.2.8): no issuerUniqueID, no
    subjectUniqueID. Cached like _signature_problem: asn1crypto's parse of the
    TBSCertificate costs about as much as the rest of the profile."""
    try:
        tbs = asn1_x509.TbsCertificate.load(cert.tbs_certificate_bytes)
        present = [field for field in ("issuer_unique_id", "subject_unique_id")
                   if not isinstance(tbs[field], asn1_core.Void)]
    except Exception as error:  # asn1crypto reports malformed input with several types
        return (f"its unique identifier fields cannot be read ({one_line(str(error))})",)
    names = {"issuer_unique_id": "issuerUniqueID", "subject_unique_id": "subjectUniqueID"}
    return tuple(f"its {names[field]} field is present, which C2PA 2.2, 14.5.1.1 forbids" for field in present)


def _public_key_problems(cert: x509.Certificate) -> List[str]:
    try:
        key = cert.public_key()
    except Exception as error:  # unsupported or malformed key
        return [f"its public key cannot be read ({one_line(str(error))})"]
    if isinstance(key, ec.EllipticCurvePublicKey):
        if key.curve.name not in _ALLOWED_CURVES:
            return [f"its EC public key is on {key.curve.name}, not on P-256, P-384 or P-521"]
    elif isinstance(key, rsa.RSAPublicKey):
        if key.key_size < _MIN_RSA_BITS:
            return [f"its RSA modulus has {key.key_size} bits, fewer than {_MIN_RSA_BITS}"]
        if key.key_size > _MAX_RSA_BITS:
            return [f"its RSA modulus has {key.key_size} bits, more than {_MAX_RSA_BITS}"]
    elif not isinstance(key, ed25519.Ed25519PublicKey):
        # C2PA 2.2, 13.2.1: ECDSA, RSASSA-PSS and Ed25519 only.
        return [f"its public key ({type(key).__name__}) serves no algorithm of C2PA 2.2, 13.2.1"]
    return []


def _extension_problems(node: _Cert) -> List[str]:
    """The rules of C2PA 2.2, 14.5.1.1 for every certificate but a private credential."""
    problems = []
    key_usage = node.key_usage()
    if key_usage is None:
        problems.append("it has no key usage extension")
    elif key_usage.key_cert_sign and not node.is_ca():
        problems.append("its key usage asserts keyCertSign but its basic constraints do not assert cA")
    if node.extension(ExtensionOID.AUTHORITY_KEY_IDENTIFIER) is None and not _self_signed(node):
        problems.append("it has no authority key identifier extension and is not self-signed")
    return problems


def _self_signed(node: _Cert) -> bool:
    return node.self_issued and _signature_problem(node.cert, node.cert) is None


def _end_entity_problems(node: _Cert, purpose: Optional[Purpose]) -> List[str]:
    problems = []
    if node.is_ca():
        problems.append(
            "its basic constraints assert cA: a CA certificate cannot sign C2PA claims or time-stamps"
        )
    key_usage = node.key_usage()
    if key_usage is not None:
        if purpose == "time-stamping":
            # C2PA 2.2, 14.5.1.1 asks digitalSignature of manifest signers only;
            # a TSA's signature is a digital signature (RFC 5280, 4.2.1.3).
            if not (key_usage.digital_signature or key_usage.content_commitment):
                problems.append(
                    "its key usage asserts neither digitalSignature nor nonRepudiation"
                )
        elif not key_usage.digital_signature:
            problems.append("its key usage does not assert digitalSignature")
    usages = node.extended_key_usage()
    if usages is None:
        problems.append("it has no extended key usage extension, which an end-entity certificate needs")
        return problems
    if not usages:
        problems.append("its extended key usage extension is empty")
        return problems
    if _ANY_EKU in usages:
        problems.append("its extended key usage lists anyExtendedKeyUsage, which C2PA 2.2, 14.5.1.1 forbids")
    for exclusive in (_TIME_STAMPING, _OCSP_SIGNING):
        if exclusive in usages and len(set(usages)) > 1:
            problems.append(
                f"its extended key usage lists {_EKU_NAMES[exclusive]} beside other purposes; "
                "such a certificate must be valid for that purpose only"
            )
    if purpose == "claim-signing" and not any(eku in usages for eku in CLAIM_SIGNING_EKUS):
        problems.append(
            "its extended key usage lists none of c2pa-kp-claimSigning, id-kp-documentSigning "
            "and id-kp-emailProtection, the purposes trusted for claim signing"
        )
    elif purpose == "time-stamping" and _TIME_STAMPING not in usages:
        problems.append("its extended key usage does not list id-kp-timeStamping")
    return problems


def _ca_certificate_problems(node: _Cert) -> List[str]:
    problems = []
    constraints = node.basic_constraints()
    if constraints is None:
        problems.append("it has no basic constraints extension, which a CA certificate needs")
    elif not constraints.ca:
        problems.append("its basic constraints do not assert cA")
    key_usage = node.key_usage()
    if key_usage is not None and not key_usage.key_cert_sign:
        problems.append("its key usage does not assert keyCertSign")
    if node.extension(ExtensionOID.SUBJECT_KEY_IDENTIFIER) is None:
        problems.append("it has no subject key identifier extension, which a CA certificate needs")
    return problems


# ------------------------------------------------------------- trust chains


@dataclass(frozen=True)
class ChainResult:
    """The outcome of validate_chain."""

    trusted: bool  # a path from the signer to one of the anchors was built and checked
    path: Tuple[x509.Certificate, ...]  # when trusted: signer, intermediates, anchor; else the given chain
    problem: Optional[str]  # one line saying why not trusted; None when trusted


class CheckBudget:
    """The signature checks that path building may still do in one
    validation, in the units of VALIDATION_CHECK_UNITS.

    One budget serves every chain of a validation: a store of many manifests,
    each with its own bundle of candidate issuers, costs at most the budget,
    not the budget once per manifest. When it is spent, path building stops
    and the chain is not trusted. A chain already validated (the cache below)
    costs nothing.
    """

    def __init__(self, units: int = VALIDATION_CHECK_UNITS):
        self.units = units
        self.spent = 0
        self._lock = threading.Lock()

    def spend(self, units: int) -> bool:
        """Takes `units` from the budget; False, taking nothing, when fewer are left."""
        with self._lock:
            if self.spent + units > self.units:
                return False
            self.spent += units
            return True

    def spent_problem(self) -> str:
        return (f"path building stopped: this validation has spent its budget of {self.units} units of "
                "certificate signature checks (about one P-256 check each) on the chains of its manifests")

    @contextlib.contextmanager
    def in_force(self) -> Iterator[None]:
        """Makes this the budget of validate_chain calls given none, such as
        those of time-stamp validation, within the `with` block."""
        token = _BUDGET_IN_FORCE.set(self)
        try:
            yield
        finally:
            _BUDGET_IN_FORCE.reset(token)


_BUDGET_IN_FORCE: contextvars.ContextVar[Optional[CheckBudget]] = contextvars.ContextVar(
    "glyphward_c2pa_check_budget", default=None)


def validate_chain(
    signer: x509.Certificate,
    intermediates: Sequence[x509.Certificate],
    anchors: Sequence[x509.Certificate],
    *,
    purpose: Purpose,
    budget: Optional[CheckBudget] = None,
) -> ChainResult:
    """Build and validate a certification path from `signer` to one of
    `anchors` for `purpose` (C2PA 2.2, 14.5.1.2; RFC 5280, section 6).

    `intermediates` are untrusted candidates (an x5chain after its first
    entry), tried in their order. Validity periods are not judged here: see
    validity_problem. The signature checks are charged to `budget` (by
    default the one in force, see CheckBudget.in_force, else a budget for
    this chain alone).
    """
    key: _ChainKey = (signer, tuple(intermediates), tuple(anchors), purpose)
    with _CHAIN_CACHE_LOCK:
        cached = _CHAIN_CACHE.get(key)
        if cached is not None:
            _CHAIN_CACHE.move_to_end(key)
            return cached
    if budget is None:
        budget = _BUDGET_IN_FORCE.get() or CheckBudget()
    result, final = _validate_chain(*key, budget)
    if final:  # a result cut short by the budget would hold for this validation only
        with _CHAIN_CACHE_LOCK:
            _CHAIN_CACHE[key] = result
            while len(_CHAIN_CACHE) > _CACHED_CHAINS:
                _CHAIN_CACHE.popitem(last=False)
    return result


# The last few chains validated (a batch of fonts is mostly signed by one credential).
_CACHED_CHAINS = 32
_ChainKey = Tuple[x509.Certificate, Tuple[x509.Certificate, ...], Tuple[x509.Certificate, ...], Purpose]
_CHAIN_CACHE: "OrderedDict[_ChainKey, ChainResult]" = OrderedDict()
_CHAIN_CACHE_LOCK = threading.Lock()


def _validate_chain(signer: x509.Certificate, intermediates: Tuple[x509.Certificate, ...],
                    anchors: Tuple[x509.Certificate, ...], purpose: Purpose,
                    budget: CheckBudget) -> Tuple[ChainResult, bool]:
    """The result, and whether it holds beyond this validation (it does unless the budget cut it short)."""
    given = (signer, *intermediates)

    def untrusted(problem: str) -> Tuple[ChainResult, bool]:
        return ChainResult(trusted=False, path=given, problem=problem), True

    leaf = _Cert(signer)
    problems = _profile_problems(leaf, end_entity=True, purpose=purpose)
    if problems:
        return untrusted(
            f"the signing certificate {leaf.label} does not meet the certificate profile of "
            f"C2PA 2.2, 14.5.1.1 for {purpose}: " + "; ".join(problems)
        )
    critical = leaf.unprocessed_critical_extension()
    if critical:
        return untrusted(f"the signing certificate {leaf.label} has an unknown critical extension {critical}")

    anchor_set = dict.fromkeys(anchors)
    if signer in anchor_set:
        return ChainResult(trusted=True, path=(signer,), problem=None), True
    if not anchor_set:  # no path can end at an anchor: trying the candidates would be futile work
        return untrusted("no trust anchors were given")
    candidates = [c for c in dict.fromkeys(intermediates) if c != signer and c not in anchor_set]
    if len(candidates) > MAX_CHAIN_CERTIFICATES:
        return untrusted(
            f"the chain holds {len(candidates)} distinct certificates besides the signer's, "
            f"more than the {MAX_CHAIN_CERTIFICATES} accepted"
        )
    # Indexing the candidates by name decodes each one's subject: about an
    # eighth of a unit each.
    if not budget.spend((len(candidates) + 7) // 8):
        return ChainResult(trusted=False, path=given, problem=budget.spent_problem()), False
    builder = _PathBuilder([_Cert(a) for a in anchor_set], [_Cert(c) for c in candidates], budget)
    path = builder.build(leaf)
    if path is None:
        return ChainResult(trusted=False, path=given, problem=builder.problem), not builder.out_of_budget
    return ChainResult(trusted=True, path=tuple(node.cert for node in path), problem=None), True


class _PathBuilder:
    """Depth-first path building from the signer up to a trust anchor.

    Each step takes, for the last certificate of the path, the anchors and
    then the chain's certificates whose subject is its issuer name (RFC 5280,
    6.1.3 (a)(4)), in the order given, and checks the issuer's signature on
    it and the issuer's fitness as a CA; a candidate that fails is left for
    the next one. When no path is found, `problem` tells why the deepest
    attempt failed.
    """

    def __init__(self, anchors: List[_Cert], intermediates: List[_Cert], budget: CheckBudget):
        self.anchors = _by_subject(anchors)
        self.intermediates = _by_subject(intermediates)
        self.budget = budget
        self.out_of_budget = False
        self.trials = 0
        self.problem = "no path to a trust anchor was found"
        self._problem_depth = -1

    def build(self, leaf: _Cert) -> Optional[List[_Cert]]:
        return self._extend([leaf])

    def _fail(self, path: List[_Cert], problem: str) -> None:
        if len(path) > self._problem_depth:
            self._problem_depth = len(path)
            self.problem = problem

    def _extend(self, path: List[_Cert]) -> Optional[List[_Cert]]:
        current = path[-1]
        issuer = current.issuer
        anchors = self.anchors.get(issuer, []) if issuer is not None else []
        intermediates = self.intermediates.get(issuer, []) if issuer is not None else []
        if not anchors and not intermediates:
            self._fail(
                path,
                f"no trust anchor and no certificate of the chain is named {_quoted(issuer)}, "
                f"the issuer of {current.label}",
            )
            return None
        for anchor in anchors:
            if not self._count_trial(anchor, as_anchor=True):
                return None
            problem = _issuer_problem(anchor, path, as_anchor=True)
            if problem is None:
                return path + [anchor]
            self._fail(path, problem)
        for candidate in intermediates:
            if any(node is candidate for node in path):
                self._fail(path, f"the chain loops: {candidate.label} would appear twice on the path")
                continue
            if len(path) + 2 > MAX_PATH_CERTIFICATES:
                self._fail(
                    path, f"no path of at most {MAX_PATH_CERTIFICATES} certificates reaches a trust anchor"
                )
                continue
            if not self._count_trial(candidate, as_anchor=False):
                return None
            problem = _issuer_problem(candidate, path, as_anchor=False)
            if problem is not None:
                self._fail(path, problem)
                continue
            found = self._extend(path + [candidate])
            if found is not None:
                return found
        return None

    def _count_trial(self, issuer: _Cert, *, as_anchor: bool) -> bool:
        """Counts a trial of `issuer` and charges the budget for its checks:
        its signature on the certificate below, and for a self-issued
        intermediate the signature on itself that the profile may check
        (_self_signed). False when path building must stop."""
        self.trials += 1
        if self.trials > MAX_ISSUER_TRIALS:
            self._problem_depth = MAX_PATH_CERTIFICATES + 1
            self.problem = f"path building gave up after {MAX_ISSUER_TRIALS} candidate issuers"
            return False
        units = issuer.check_units() * (2 if issuer.self_issued and not as_anchor else 1)
        if not self.budget.spend(units):
            self.out_of_budget = True
            self._problem_depth = MAX_PATH_CERTIFICATES + 1
            self.problem = self.budget.spent_problem()
            return False
        return True


def _by_subject(nodes: List[_Cert]) -> Dict[x509.Name, List[_Cert]]:
    index: Dict[x509.Name, List[_Cert]] = {}
    for node in nodes:
        if node.subject is not None:
            index.setdefault(node.subject, []).append(node)
    return index


def _issuer_problem(issuer: _Cert, path: List[_Cert], *, as_anchor: bool) -> Optional[str]:
    """Why `issuer` cannot certify the last certificate of `path`, or None.

    An intermediate must meet the CA profile of C2PA 2.2, 14.5.1.1 (cA,
    keyCertSign, SKI, AKI, algorithms, keys) and carry no critical extension
    left unprocessed (RFC 5280, 6.1.4). Of a trust anchor only what makes it an
    issuer is asked: cA, keyCertSign when it has a key usage extension.
    Both honour their pathLenConstraint (RFC 5280, 6.1.4 (l), (m)).
    """
    role = "trust anchor" if as_anchor else "intermediate certificate"
    if as_anchor:
        extensions = issuer.extensions()
        if isinstance(extensions, str):
            return f"the {role} {issuer.label} cannot act as a CA: {extensions}"
        if not issuer.is_ca():
            return f"the {role} {issuer.label} cannot act as a CA: its basic constraints do not assert cA"
        key_usage = issuer.key_usage()
        if key_usage is not None and not key_usage.key_cert_sign:
            return f"the {role} {issuer.label} cannot act as a CA: its key usage does not assert keyCertSign"
    else:
        problems = issuer.ca_problems()
        if problems:
            return (
                f"the {role} {issuer.label} does not meet the certificate profile of "
                "C2PA 2.2, 14.5.1.1 for a CA: " + "; ".join(problems)
            )
        critical = issuer.unprocessed_critical_extension()
        if critical:
            return f"the {role} {issuer.label} has an unknown critical extension {critical}"
    constraints = issuer.basic_constraints()
    if constraints is not None and constraints.path_length is not None:
        # Non-self-issued intermediates below this issuer, the signer excluded.
        below = sum(1 for node in path[1:] if not node.self_issued)
        if below > constraints.path_length:
            return (
                f"the {role} {issuer.label} allows {constraints.path_length} intermediate "
                f"CA certificates below it (pathLenConstraint), the path has {below}"
            )
    child = path[-1]
    problem = _signature_problem(child.cert, issuer.cert)
    if problem is not None:
        return f"the certificate {child.label}, checked against the {role} {issuer.label}: {problem}"
    return None


# ----------------------------------------------------------------- validity


def validity_problem(path: Sequence[x509.Certificate], at: datetime) -> Optional[str]:
    """None when `at` lies within the validity period of every certificate of
    `path` (C2PA 2.2, 15.8.2: the signer's and every CA certificate's up to
    the trust anchor); else why not, naming the first certificate out of it.

    A naive `at` is taken as UTC. Both ends of a period are inclusive
    (RFC 5280, 4.1.2.5).
    """
    if at.tzinfo is None:
        at = at.replace(tzinfo=timezone.utc)
    for cert in path:
        begins = cert.not_valid_before_utc
        ends = cert.not_valid_after_utc
        if at < begins:
            return (
                f"the certificate {_Cert(cert).label} is not yet valid at {_when(at)}: "
                f"its validity begins {_when(begins)}"
            )
        if at > ends:
            return (
                f"the certificate {_Cert(cert).label} has expired at {_when(at)}: "
                f"its validity ended {_when(ends)}"
            )
    return None


def _when(moment: datetime) -> str:
    return moment.astimezone(timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
