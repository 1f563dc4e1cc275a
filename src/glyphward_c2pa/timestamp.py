"""RFC 3161 time-stamps over claim signatures (C2PA 2.2, 10.3.2.5 and 15.8).

`request_timestamp` asks a time-stamp authority (TSA) for a TimeStampToken
over a message: for a v2 time-stamp, the ToBeSigned of the CounterSignature
Sig_structure that the COSE module computes (C2PA 2.2, 10.3.2.5.3).
`validate_timestamp` runs the steps of C2PA 2.2, 15.8.2 on one token, and
`timestamp_tokens` reads the tstContainer of a sigTst or sigTst2 header
(C2PA 2.2, 10.3.2.5.4 and 15.8.1.1).

The RFC 3161 and CMS structures are written and read with asn1crypto, whose
values keep the bytes they were read from (a signature covers the signed
attributes as the TSA encoded them); signatures are verified with
cryptography, and the TSA's certificate chain is judged by the certificates
module. The HTTP exchange uses urllib.
"""
from __future__ import annotations

import hashlib
import secrets
import socket
import time
import urllib.error
import urllib.parse
import urllib.request
from dataclasses import dataclass
from datetime import datetime
from email.message import Message
from http.client import HTTPException, HTTPResponse
from typing import IO, Any, Dict, List, Optional, Sequence, Tuple, Union

from asn1crypto import cms, core, tsp  # type: ignore[import-untyped]
from cryptography import x509
from cryptography.exceptions import InvalidSignature, UnsupportedAlgorithm
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, ed25519, padding, rsa

from .algorithms import HASH_ALGORITHMS
from .cose import DIGESTS
from .shown import one_line
from .certificates import describe_name, validate_chain, validity_problem


# C2PA 2.2, 15.2.2: the codes a time-stamp can get. C2PA 2.2, 15.8 writes
# some of them as "timestamp.*"; the tables of 15.2.2 and the CDDL of the
# status codes spell them "timeStamp.*", as here.
VALIDATED = "timeStamp.validated"
TRUSTED = "timeStamp.trusted"
MALFORMED = "timeStamp.malformed"
MISMATCH = "timeStamp.mismatch"
UNTRUSTED = "timeStamp.untrusted"
OUTSIDE_VALIDITY = "timeStamp.outsideValidity"

_TST_INFO = "1.2.840.113549.1.9.16.1.4"   # id-ct-TSTInfo, RFC 3161, 2.4.2
_GRANTED = ("granted", "granted_with_mods")  # PKIStatus 0 and 1, RFC 3161, 2.4.2
_CURVES = ("secp256r1", "secp384r1", "secp521r1")  # C2PA 2.2, 13.2.1: P-256, P-384, P-521
_READ_CHUNK = 1 << 16


class TimestampError(Exception):
    """A time-stamp could not be obtained; the message is one line for the user."""


@dataclass(frozen=True)
class TimestampResult:
    """The outcome of C2PA 2.2, 15.8.2 for one time-stamp: codes with explanations."""

    success: Tuple[Tuple[str, str], ...]         # timeStamp.validated and timeStamp.trusted, or nothing
    informational: Tuple[Tuple[str, str], ...]   # the one code that made the time-stamp ignored
    time: Optional[datetime]                     # genTime, only when both success codes were issued
    tsa: Optional[x509.Certificate]              # the TSA's certificate, when the token holds it


# ---------------------------------------------------------------------------
# The container (C2PA 2.2, 10.3.2.5.4)

def timestamp_tokens(header_value: object) -> Tuple[List[bytes], Optional[str]]:
    """The tokens of a decoded sigTst or sigTst2 header value, or why it is malformed.

    The value is a tstContainer (C2PA 2.2, 10.3.2.5.4, Example 2): the map
    {"tstTokens": [{"val": bstr}]}, both maps closed as the CDDL writes them.
    Under sigTst2 a val is a TimeStampToken, under sigTst a TimeStampResp.
    More than one tstToken is malformed and all are ignored (C2PA 2.2,
    15.8.1.1): no token is returned with a reason.
    """
    if not isinstance(header_value, dict) or set(header_value) != {"tstTokens"}:
        return [], "the time-stamp header is not a tstContainer, a map whose one key is tstTokens"
    tokens = header_value["tstTokens"]
    if not isinstance(tokens, (list, tuple)) or not tokens:
        return [], "tstTokens is not a non-empty array"
    if len(tokens) > 1:
        return [], f"tstTokens holds {len(tokens)} time-stamps where C2PA 2.2, 15.8.1.1 expects one"
    token = tokens[0]
    if not isinstance(token, dict) or set(token) != {"val"} or not isinstance(token["val"], bytes):
        return [], "the tstToken is not a map whose one key val holds a byte string"
    return [token["val"]], None


# ---------------------------------------------------------------------------
# Reading RFC 3161 structures

class _TimeStampResp(core.Sequence):  # type: ignore[misc]
    """TimeStampResp, RFC 3161, 2.4.2, whose timeStampToken is OPTIONAL.

    asn1crypto 1.5.1's tsp.TimeStampResp declares the token required, and so
    cannot read a rejection, which carries none.
    """

    _fields = [
        ("status", tsp.PKIStatusInfo),
        ("time_stamp_token", cms.ContentInfo, {"optional": True}),
    ]


@dataclass(frozen=True)
class _Response:
    """What a TimeStampResp says."""

    status: str               # "granted", "granted_with_mods", "rejection", ... or the number
    text: str                 # statusString and failInfo, on one line
    token: Optional[bytes]    # the DER TimeStampToken, as received


@dataclass(frozen=True)
class _Token:
    """What a TimeStampToken says, read into plain values."""

    hash_algorithm: str       # of the messageImprint: a name from HASH_ALGORITHMS, another name or an OID
    hashed_message: bytes
    gen_time: datetime
    nonce: Optional[int]
    certificates: Tuple[x509.Certificate, ...]
    signer: Optional[int]     # the index in `certificates` of the one the SignerInfo names
    digest_algorithm: str     # the SignerInfo's
    signature_algorithm: str  # the SignerInfo's, asn1crypto's name or an OID
    pss: Optional[Tuple[str, str, str, int]]  # RSASSA-PSS: hash, mask generation, its hash, salt length
    signature: bytes
    signed_attributes: Optional[bytes]  # DER of signedAttrs with the SET OF tag (RFC 5652, 5.4), if any
    content_types: Tuple[str, ...]      # values of the content-type attributes
    message_digests: Tuple[bytes, ...]  # values of the message-digest attributes
    content: bytes                      # eContent: the DER TSTInfo


def _read_response(der: bytes) -> Union[_Response, str]:
    """A TimeStampResp (RFC 3161, 2.4.2), or why it is not one."""
    # asn1crypto parses lazily and reports malformed input with several
    # exception types; everything needed is read inside this block.
    try:
        response = _TimeStampResp.load(der, strict=True)
        info = response["status"]
        status = str(info["status"].native)
        texts = [str(text) for text in info["status_string"].native or ()]
        failures = sorted(str(name) for name in info["fail_info"].native or ())
        token = response["time_stamp_token"]
        token_der = None if isinstance(token, core.Void) else bytes(token.dump())
    except Exception as error:  # noqa: BLE001 - any parse failure means malformed
        return one_line(str(error).split("\n")[0]) or type(error).__name__
    text = "; ".join(texts) + (f" (failInfo: {', '.join(failures)})" if failures else "")
    return _Response(status, one_line(text), token_der)


def _load_certificates(signed_data: Any) -> Tuple[List[x509.Certificate], List[Any]]:
    """The X.509 certificates of a SignedData, with their asn1crypto forms (other kinds are skipped).

    cryptography reads a certificate's names, dates and extensions when they
    are first asked for: they are asked for here, so that one it cannot read
    makes the token malformed instead of failing a later step.
    """
    loaded: List[x509.Certificate] = []
    forms: List[Any] = []
    certificates = signed_data["certificates"]
    if isinstance(certificates, core.Void):
        return loaded, forms
    for choice in certificates:
        if choice.name == "certificate":
            certificate = x509.load_der_x509_certificate(bytes(choice.chosen.dump()))
            _ = (certificate.subject, certificate.issuer, certificate.extensions,
                 certificate.not_valid_before_utc, certificate.not_valid_after_utc)
            loaded.append(certificate)
            forms.append(choice.chosen)
    return loaded, forms


def _signer_index(signer_info: Any, forms: List[Any]) -> Optional[int]:
    """Which certificate the SignerInfo's sid names (RFC 5652, 5.3), if any."""
    sid = signer_info["sid"]
    for index, certificate in enumerate(forms):
        if sid.name == "issuer_and_serial_number":
            named = sid.chosen
            if (certificate.serial_number == named["serial_number"].native
                    and certificate.issuer == named["issuer"]):
                return index
        elif certificate.key_identifier == sid.chosen.native:
            return index
    return None


def _read_token(der: bytes) -> Union[_Token, str]:
    """A TimeStampToken (RFC 3161, 2.4.2: a CMS SignedData over a TSTInfo), or why it is not one."""
    # As in _read_response: asn1crypto reports malformed input with several
    # exception types, and everything needed is read inside this block.
    try:
        content_info = cms.ContentInfo.load(der, strict=True)
        if content_info["content_type"].native != "signed_data":
            return "it is not a CMS SignedData"
        signed_data = content_info["content"]
        encapsulated = signed_data["encap_content_info"]
        if encapsulated["content_type"].dotted != _TST_INFO:
            return "its content is not a TSTInfo"
        if isinstance(encapsulated["content"], core.Void):
            return "its TSTInfo is missing"
        content = bytes(encapsulated["content"])
        info = tsp.TSTInfo.load(content, strict=True)
        if info["version"].native != "v1":
            return "its TSTInfo is not version 1"
        imprint = info["message_imprint"]
        gen_time = info["gen_time"].native
        if not isinstance(gen_time, datetime):
            return "its genTime is not a date"
        nonce = info["nonce"].native
        signer_infos = signed_data["signer_infos"]
        if len(signer_infos) != 1:
            return f"it has {len(signer_infos)} signatures, where RFC 3161 has the TSA's alone"
        signer_info = signer_infos[0]
        certificates, forms = _load_certificates(signed_data)
        algorithm = signer_info["signature_algorithm"]
        pss = None
        if algorithm["algorithm"].native == "rsassa_pss":
            parameters = algorithm["parameters"]
            mask = parameters["mask_gen_algorithm"]
            pss = (str(parameters["hash_algorithm"]["algorithm"].native), str(mask["algorithm"].native),
                   str(mask["parameters"]["algorithm"].native), int(parameters["salt_length"].native))
        attributes = signer_info["signed_attrs"]
        signed_attributes = None
        content_types: List[str] = []
        message_digests: List[bytes] = []
        if not isinstance(attributes, core.Void):
            signed_attributes = bytes(attributes.untag().dump())
            for attribute in attributes:
                kind = attribute["type"].native
                if kind == "content_type":
                    content_types.extend(str(value.dotted) for value in attribute["values"])
                elif kind == "message_digest":
                    message_digests.extend(bytes(value.native) for value in attribute["values"])
        return _Token(
            hash_algorithm=str(imprint["hash_algorithm"]["algorithm"].native),
            hashed_message=bytes(imprint["hashed_message"].native),
            gen_time=gen_time,
            nonce=None if nonce is None else int(nonce),
            certificates=tuple(certificates),
            signer=_signer_index(signer_info, forms),
            digest_algorithm=str(signer_info["digest_algorithm"]["algorithm"].native),
            signature_algorithm=str(algorithm["algorithm"].native),
            pss=pss,
            signature=bytes(signer_info["signature"].native),
            signed_attributes=signed_attributes,
            content_types=tuple(content_types),
            message_digests=tuple(message_digests),
            content=content,
        )
    except Exception as error:  # noqa: BLE001 - any parse failure means malformed
        return one_line(str(error).split("\n")[0]) or type(error).__name__


# ---------------------------------------------------------------------------
# The TSA's signature (C2PA 2.2, 15.8.2, its first two steps)

@dataclass(frozen=True)
class _Scheme:
    """A signature algorithm of C2PA 2.2, 13.2.1, as CMS names it."""

    kind: str                 # "ecdsa", "rsa-pss", "rsa-pkcs1" or "ed25519"
    hash: Optional[str]       # None for Ed25519
    salt_length: int = 0      # RSASSA-PSS


_ECDSA = {"sha256_ecdsa": "sha256", "sha384_ecdsa": "sha384", "sha512_ecdsa": "sha512"}
_RSA_PKCS1 = {"sha256_rsa": "sha256", "sha384_rsa": "sha384", "sha512_rsa": "sha512"}


def _signature_scheme(token: _Token) -> Union[_Scheme, str]:
    """The token's signature algorithm if C2PA 2.2, 13.2.1 allows it, or why not.

    ES256/384/512 are ECDSA with SHA-2, PS256/384/512 RSASSA-PSS with MGF1 of
    the same hash, EdDSA Ed25519 alone. RSASSA-PKCS1-v1_5 with SHA-2 is also
    accepted: it is not on the list of 13.2.1, which names COSE algorithms,
    but most TSAs sign with it and C2PA 2.2, 14.5.1.1 accepts it for the
    signatures of certificates. The hash of the message-digest attribute (the
    SignerInfo's digestAlgorithm) must be on the list of C2PA 2.2, 13.1.
    """
    name = token.signature_algorithm
    if token.digest_algorithm not in HASH_ALGORITHMS:
        return f"its digest algorithm {token.digest_algorithm} is not on the allowed list of C2PA 2.2, 13.1"
    if name in _ECDSA:
        return _Scheme("ecdsa", _ECDSA[name])
    if name == "ecdsa":  # ECDSA with the digest algorithm's hash
        return _Scheme("ecdsa", token.digest_algorithm)
    if name in _RSA_PKCS1:
        return _Scheme("rsa-pkcs1", _RSA_PKCS1[name])
    if name == "rsassa_pkcs1v15":  # rsaEncryption, with the digest algorithm's hash
        return _Scheme("rsa-pkcs1", token.digest_algorithm)
    if name == "ed25519":
        return _Scheme("ed25519", None)
    if name == "rsassa_pss" and token.pss is not None:
        digest, mask, mask_digest, salt_length = token.pss
        if digest in HASH_ALGORITHMS and mask == "mgf1" and mask_digest == digest and salt_length >= 0:
            return _Scheme("rsa-pss", digest, salt_length)
        return f"its RSASSA-PSS parameters ({digest}, {mask} with {mask_digest}) are not those of PS256, PS384 or PS512"
    return f"its signature algorithm {name} is not on the allowed list of C2PA 2.2, 13.2.1"


def _key_problem(scheme: _Scheme, certificate: x509.Certificate) -> Optional[str]:
    """Why the certificate's key is not one C2PA 2.2, 13.2.1 allows for the algorithm, if it is not."""
    try:
        key = certificate.public_key()
    except (UnsupportedAlgorithm, ValueError, TypeError) as error:  # a key type cryptography does not know
        return f"the TSA's public key cannot be read ({one_line(str(error))})"
    if scheme.kind == "ecdsa":
        if isinstance(key, ec.EllipticCurvePublicKey) and key.curve.name in _CURVES:
            return None
        return "the TSA's key is not an ECDSA key on P-256, P-384 or P-521"
    if scheme.kind in ("rsa-pss", "rsa-pkcs1"):
        if isinstance(key, rsa.RSAPublicKey) and key.key_size >= 2048:
            return None
        return "the TSA's key is not an RSA key of at least 2048 bits"
    if isinstance(key, ed25519.Ed25519PublicKey):
        return None
    return "the TSA's key is not an Ed25519 key"


def _signature_problem(token: _Token, scheme: _Scheme, certificate: x509.Certificate) -> Optional[str]:
    """Why the token's signature does not verify (RFC 5652, 5.6, as RFC 2630, 5.6), if it does not."""
    signed = token.content
    if token.signed_attributes is not None:
        if token.content_types != (_TST_INFO,):
            return "its content-type attribute does not name a TSTInfo"
        digest = hashlib.new(token.digest_algorithm, token.content).digest()
        if token.message_digests != (digest,):
            return "its message-digest attribute does not match its TSTInfo"
        signed = token.signed_attributes
    key = certificate.public_key()
    try:
        if isinstance(key, ed25519.Ed25519PublicKey):
            key.verify(token.signature, signed)
        elif isinstance(key, ec.EllipticCurvePublicKey) and scheme.hash is not None:
            key.verify(token.signature, signed, ec.ECDSA(DIGESTS[scheme.hash]))
        elif isinstance(key, rsa.RSAPublicKey) and scheme.hash is not None:
            algorithm = DIGESTS[scheme.hash]
            if scheme.kind == "rsa-pss":
                key.verify(token.signature, signed,
                           padding.PSS(mgf=padding.MGF1(algorithm), salt_length=scheme.salt_length), algorithm)
            else:
                key.verify(token.signature, signed, padding.PKCS1v15(), algorithm)
        else:  # _key_problem has ruled this out
            return "the TSA's key does not fit its signature algorithm"
    except (InvalidSignature, ValueError):
        return "its signature does not verify with the TSA's certificate"
    return None


_Failure = Tuple[str, str, Optional[x509.Certificate]]  # a code, why, and the TSA's certificate if found


def _check_signature(token: _Token) -> Union[x509.Certificate, _Failure]:
    """The TSA's certificate if the token's signature is valid, else a code and why.

    C2PA 2.2, 15.8.2: a signature algorithm off the allowed list gives
    timeStamp.untrusted, a signature that does not verify timeStamp.mismatch.
    Verifying needs the TSA's certificate: one the certificates field lacks
    is the case of the sixth step, timeStamp.untrusted.
    """
    certificate = None if token.signer is None else token.certificates[token.signer]
    scheme = _signature_scheme(token)
    if isinstance(scheme, str):
        return UNTRUSTED, f"the time-stamp cannot be trusted: {scheme}", certificate
    if certificate is None:
        return UNTRUSTED, "the time-stamp's certificates do not include the TSA's certificate", None
    problem = _key_problem(scheme, certificate)
    if problem is not None:
        return UNTRUSTED, f"the time-stamp cannot be trusted: {problem}", certificate
    problem = _signature_problem(token, scheme, certificate)
    if problem is not None:
        return MISMATCH, f"the time-stamp is not valid: {problem}", certificate
    return certificate


# ---------------------------------------------------------------------------
# Validating (C2PA 2.2, 15.8)

def _ignored(code: str, explanation: str, tsa: Optional[x509.Certificate] = None) -> TimestampResult:
    return TimestampResult(success=(), informational=((code, explanation),), time=None, tsa=tsa)


def _name(certificate: x509.Certificate) -> str:
    return one_line(describe_name(certificate.subject)) or "(no subject)"


def validate_timestamp(token: bytes, message: bytes, anchors: Sequence[x509.Certificate], *,
                       response: bool = False) -> TimestampResult:
    """C2PA 2.2, 15.8.2 for one time-stamp over `message`, with the TSA trust anchors `anchors`.

    `token` is the val of a sigTst2 tstToken, a TimeStampToken; with
    `response`, the val of a sigTst tstToken, a whole TimeStampResp whose
    status must be granted or grantedWithMods (C2PA 2.2, 15.8.1.1).
    `message` is what the imprint must be the hash of: for v2, the
    ToBeSigned of C2PA 2.2, 10.3.2.5.3. The result carries the success codes
    timeStamp.validated and timeStamp.trusted with genTime, or the one
    informational code for which the time-stamp is ignored. Malformed input
    gives timeStamp.malformed, never an exception.
    """
    if response:
        reply = _read_response(token)
        if isinstance(reply, str):
            return _ignored(MALFORMED, f"the sigTst time-stamp is not an RFC 3161 TimeStampResp: {reply}")
        if reply.status not in _GRANTED:
            return _ignored(MALFORMED, f"the sigTst time-stamp response's status is {reply.status}, not granted")
        if reply.token is None:
            return _ignored(MALFORMED, "the sigTst time-stamp response holds no token")
        token = reply.token
    read = _read_token(token)
    if isinstance(read, str):
        return _ignored(MALFORMED, f"the time-stamp is not an RFC 3161 TimeStampToken: {read}")

    certificate = _check_signature(read)
    if not isinstance(certificate, x509.Certificate):
        return _ignored(*certificate)

    if read.hash_algorithm not in HASH_ALGORITHMS:
        return _ignored(UNTRUSTED, f"the time-stamp's imprint hash {read.hash_algorithm} is not on the "
                                   "allowed list of C2PA 2.2, 13.1", certificate)
    if hashlib.new(read.hash_algorithm, message).digest() != read.hashed_message:
        return _ignored(MISMATCH, "the time-stamp is over another message than this claim signature", certificate)

    if not anchors:
        return _ignored(UNTRUSTED, f"no TSA trust anchors are given to trust the TSA {_name(certificate)}",
                        certificate)
    others = [c for index, c in enumerate(read.certificates) if index != read.signer]
    chain = validate_chain(certificate, others, anchors, purpose="time-stamping")
    if not chain.trusted:
        return _ignored(UNTRUSTED, f"the TSA {_name(certificate)} is not trusted: {chain.problem}", certificate)
    problem = validity_problem(chain.path, read.gen_time)
    if problem is not None:
        return _ignored(OUTSIDE_VALIDITY, f"the time-stamp's time {read.gen_time.isoformat()} is outside the "
                                          f"validity of the TSA's certificates: {problem}", certificate)
    return TimestampResult(
        success=((VALIDATED, f"the time-stamp of {read.gen_time.isoformat()} is over this claim signature"),
                 (TRUSTED, f"the TSA {_name(certificate)} is trusted")),
        informational=(), time=read.gen_time, tsa=certificate)


# ---------------------------------------------------------------------------
# Asking a TSA (RFC 3161, 2.4 and 3.4; C2PA 2.2, 10.3.2.5.3)

class _NoRedirects(urllib.request.HTTPRedirectHandler):
    """A query goes by POST: a redirect is reported as an HTTP error, not followed as a GET."""

    def redirect_request(self, req: urllib.request.Request, fp: IO[bytes], code: int, msg: str,
                         headers: Message, newurl: str) -> Optional[urllib.request.Request]:
        return None


def _timestamp_query(digest: bytes, hash_algorithm: str, nonce: int) -> bytes:
    """A TimeStampReq (RFC 3161, 2.4.1) with certReq set (C2PA 2.2, 10.3.2.5.3)."""
    query = tsp.TimeStampReq({
        "version": "v1",
        "message_imprint": {"hash_algorithm": {"algorithm": hash_algorithm}, "hashed_message": digest},
        "nonce": nonce,
        "cert_req": True,
    })
    return bytes(query.dump())


def _read_capped(reply: HTTPResponse, url: str, max_response: int, deadline: float, timeout: float) -> bytes:
    """The body of `reply`, at most `max_response` bytes, read before `deadline`."""
    declared = reply.headers.get("Content-Length", "")
    if declared.strip().isdigit() and int(declared) > max_response:
        raise TimestampError(f"the time-stamp authority at {url} sent an answer of {int(declared)} bytes, "
                             f"more than the {max_response} accepted")
    chunks: List[bytes] = []
    size = 0
    while True:
        if time.monotonic() > deadline:
            raise TimestampError(f"the time-stamp authority at {url} did not answer within {timeout:g} s")
        chunk = reply.read1(min(_READ_CHUNK, max_response + 1 - size))
        if not chunk:
            return b"".join(chunks)
        chunks.append(chunk)
        size += len(chunk)
        if size > max_response:
            raise TimestampError(f"the time-stamp authority at {url} sent an answer of more than "
                                 f"the {max_response} bytes accepted")


def _exchange(url: str, query: bytes, timeout: float, max_response: int) -> bytes:
    """POSTs `query` to the TSA at `url` (RFC 3161, 3.4) and returns the body of its answer.

    `timeout` bounds each wait of the network and the reading of the body.
    """
    request = urllib.request.Request(url, data=query, method="POST", headers={
        "Content-Type": "application/timestamp-query", "Accept": "application/timestamp-reply"})
    deadline = time.monotonic() + timeout
    timed_out = f"the time-stamp authority at {url} did not answer within {timeout:g} s"
    try:
        with urllib.request.build_opener(_NoRedirects).open(request, timeout=timeout) as reply:
            return _read_capped(reply, url, max_response, deadline, timeout)
    except urllib.error.HTTPError as error:
        location = error.headers.get("Location") if error.headers is not None else None
        error.close()
        where = f" (a redirect to {one_line(location)})" if 300 <= error.code < 400 and location else ""
        raise TimestampError(f"the time-stamp authority at {url} answered HTTP {error.code} "
                             f"{one_line(str(error.reason))}{where}") from None
    except urllib.error.URLError as error:
        if isinstance(error.reason, socket.timeout):
            raise TimestampError(timed_out) from None
        if isinstance(error.reason, ConnectionRefusedError):
            raise TimestampError(f"the time-stamp authority at {url} refused the connection") from None
        raise TimestampError(f"could not reach the time-stamp authority at {url}: "
                             f"{one_line(str(error.reason))}") from None
    except socket.timeout:
        raise TimestampError(timed_out) from None
    except (HTTPException, OSError, ValueError) as error:  # ValueError: a host name IDNA cannot encode
        raise TimestampError(f"the connection to the time-stamp authority at {url} failed: "
                             f"{one_line(str(error)) or type(error).__name__}") from None


def _granted_token(url: str, answer: bytes, hash_algorithm: str, digest: bytes, nonce: int) -> bytes:
    """The DER TimeStampToken of the TSA's `answer`, after checking that it answers our query."""
    response = _read_response(answer)
    if isinstance(response, str):
        raise TimestampError(f"the time-stamp authority at {url} answered with something that is not "
                             "an RFC 3161 time-stamp response")
    if response.status not in _GRANTED:
        said = f": {response.text}" if response.text else ""
        raise TimestampError(f"the time-stamp authority at {url} refused the request "
                             f"(status {response.status}){said}")
    if response.token is None:
        raise TimestampError(f"the time-stamp authority at {url} granted the request but sent no time-stamp")
    token = _read_token(response.token)
    if isinstance(token, str):
        raise TimestampError(f"the time-stamp from {url} is malformed: {token}")
    if token.hash_algorithm != hash_algorithm or token.hashed_message != digest:
        raise TimestampError(f"the time-stamp from {url} is over another message than the one sent "
                             "(its message imprint differs)")
    if token.nonce != nonce:
        raise TimestampError(f"the time-stamp from {url} does not carry the nonce of the request")
    checked = _check_signature(token)
    if not isinstance(checked, x509.Certificate):
        raise TimestampError(f"the answer of the time-stamp authority at {url} cannot be used: {checked[1]}")
    return response.token


def _check_url(url: str) -> None:
    """TimestampError unless `url` is an http or https URL that can be printed on one line."""
    if any(c.isspace() or not c.isprintable() for c in url):
        raise TimestampError(f"the time-stamp authority URL {one_line(url)!r} holds spaces or control characters")
    try:
        parts = urllib.parse.urlsplit(url)
        _ = parts.port  # ValueError for a port that is no number or out of range
    except ValueError as error:
        raise TimestampError(f"the time-stamp authority URL {url!r} is not a valid URL: {error}") from None
    if parts.scheme not in ("http", "https") or not parts.hostname:
        raise TimestampError(f"the time-stamp authority URL {url!r} is not an http:// or https:// URL")


def request_timestamp(url: str, message: bytes, *, hash_algorithm: str = "sha256", timeout: float = 30.0,
                      max_response: int = 1 << 20) -> bytes:
    """Asks the TSA at `url` for a time-stamp over `message`; returns the DER TimeStampToken.

    The query's messageImprint is the `hash_algorithm` hash of `message`
    (C2PA 2.2, 10.3.2.5.3), certReq is set and the nonce is 64 random bits.
    The answer must be granted (or grantedWithMods), and its token must
    carry our imprint and nonce and a signature that verifies against the
    TSA certificate it holds. Whether that certificate is trusted is for
    `validate_timestamp`. TimestampError, with a one-line message, on any
    failure: unreachable, slower than `timeout` seconds, an HTTP error, more
    than `max_response` bytes, garbage, a rejection or a token that does
    not answer the query. ValueError for a hash algorithm off the list.
    """
    if hash_algorithm not in HASH_ALGORITHMS:
        raise ValueError(f"hash algorithm {hash_algorithm!r} is not one of {', '.join(HASH_ALGORITHMS)} "
                         "(C2PA 2.2, 13.1)")
    _check_url(url)
    digest = hashlib.new(hash_algorithm, message).digest()
    nonce = secrets.randbits(64)
    answer = _exchange(url, _timestamp_query(digest, hash_algorithm, nonce), timeout, max_response)
    return _granted_token(url, answer, hash_algorithm, digest, nonce)
