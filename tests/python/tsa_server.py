"""A local RFC 3161 time-stamp authority (TSA) for the tests, on 127.0.0.1.

`openssl ts -reply` makes its tokens, with a configuration file written into
the TSA's directory; its test PKI is made here with cryptography: a TSA root
and TSA certificates that meet C2PA 2.2, 14.5.1 (a key usage of
digitalSignature and the one extended key usage id-kp-timeStamping, both
critical). The URL path chooses what the TSA answers:

    /               a time-stamp (an ECDSA P-256 TSA)
    /rsa            a time-stamp from a TSA with an RSA 2048 key (RSASSA-PKCS1-v1_5)
    /expired        a time-stamp from a TSA whose certificate expired in 2021
    /wrong-imprint  a time-stamp over another hash, with the query's nonce
    /wrong-nonce    a time-stamp over the query's hash, with another nonce
    /slow           a time-stamp, after `slow_seconds`
    /garbage        bytes that are no time-stamp response
    /http-500       an HTTP 500
    /redirect       an HTTP 302 to the good mode
    /reject         a rejection, "Message digest algorithm is not supported."
    /oversized      2 MiB of bytes, without a Content-Length

OpenSSL 3.0's ts and cms commands offer no RSASSA-PSS time-stamps and no
Ed25519 signatures: `TestTsa.cms_signed` re-signs a TSTInfo with `openssl cms
-sign` (RSASSA-PSS, other digests), and `TestTsa.ed25519_signed` builds an
Ed25519 token with asn1crypto and cryptography, a second producer of tokens.

The server is a ThreadingHTTPServer: the `glyphward` command can use it from
another process while a test waits. `running()` starts and stops it.
"""
from __future__ import annotations

import contextlib
import datetime
import hashlib
import http.server
import subprocess
import threading
from dataclasses import dataclass
from pathlib import Path
from typing import Iterator

from asn1crypto import cms, tsp
from asn1crypto import x509 as asn1_x509
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, ed25519, rsa
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

OVERSIZED = 2 << 20
GARBAGE = b"<html><body>This is not a time-stamp response.</body></html>\n"
_UTC = datetime.timezone.utc


def _name(common_name: str) -> x509.Name:
    return x509.Name([x509.NameAttribute(NameOID.ORGANIZATION_NAME, "glyphward tests"),
                      x509.NameAttribute(NameOID.COMMON_NAME, common_name)])


def _key_usage(*, signer: bool) -> x509.KeyUsage:
    return x509.KeyUsage(digital_signature=signer, content_commitment=False, key_encipherment=False,
                         data_encipherment=False, key_agreement=False, key_cert_sign=not signer,
                         crl_sign=not signer, encipher_only=False, decipher_only=False)


def _write_key(path: Path, key) -> None:
    path.write_bytes(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                       serialization.NoEncryption()))


def _write_certificate(path: Path, certificate: x509.Certificate) -> None:
    path.write_bytes(certificate.public_bytes(serialization.Encoding.PEM))


def make_root(common_name: str = "glyphward test TSA root"):
    """A self-signed TSA trust anchor (ECDSA P-256), valid from 2019 to ten years from now: (certificate, key)."""
    key = ec.generate_private_key(ec.SECP256R1())
    now = datetime.datetime.now(_UTC)
    certificate = (
        x509.CertificateBuilder().subject_name(_name(common_name)).issuer_name(_name(common_name))
        .public_key(key.public_key()).serial_number(x509.random_serial_number())
        .not_valid_before(datetime.datetime(2019, 1, 1, tzinfo=_UTC))
        .not_valid_after(now + datetime.timedelta(days=3650))
        .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
        .add_extension(_key_usage(signer=False), critical=True)
        .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()), critical=False)
        .sign(key, hashes.SHA256()))
    return certificate, key


def make_tsa_certificate(root: x509.Certificate, root_key, key, common_name: str,
                         not_before: datetime.datetime, not_after: datetime.datetime) -> x509.Certificate:
    """A TSA certificate under `root` for `key`, as C2PA 2.2, 14.5.1 and RFC 3161, 2.3 want it."""
    return (
        x509.CertificateBuilder().subject_name(_name(common_name)).issuer_name(root.subject)
        .public_key(key.public_key()).serial_number(x509.random_serial_number())
        .not_valid_before(not_before).not_valid_after(not_after)
        .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
        .add_extension(_key_usage(signer=True), critical=True)
        .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.TIME_STAMPING]), critical=True)
        .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()), critical=False)
        .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(root_key.public_key()), critical=False)
        .sign(root_key, hashes.SHA256()))


# The sections of the openssl configuration: one per TSA (RFC 3161 policy
# 1.3.6.1.4.1.4146.555.1 is a made-up test policy).
_SECTION = """
[ {name} ]
dir = {directory}
serial = $dir/serial
crypto_device = builtin
signer_cert = $dir/{name}.pem
signer_key = $dir/{name}.key
signer_digest = sha256
default_policy = 1.3.6.1.4.1.4146.555.1
other_policies = 1.3.6.1.4.1.4146.555.2
certs = $dir/tsa-root.pem
digests = {digests}
accuracy = secs:1
clock_precision_digits = 0
ordering = no
tsa_name = yes
ess_cert_id_chain = no
ess_cert_id_alg = sha256
"""

# URL path -> the configuration section that signs its answer.
_SECTIONS = {"/": "good", "/rsa": "rsa", "/expired": "expired", "/wrong-imprint": "good",
             "/wrong-nonce": "good", "/slow": "good", "/reject": "reject"}


@dataclass
class TestTsa:
    """A running test TSA."""

    __test__ = False  # not a test class for pytest

    url: str                        # http://127.0.0.1:PORT/ (the good mode; add a mode's path after it)
    anchor: x509.Certificate        # the TSA root, the trust anchor of every mode
    anchor_pem: Path
    directory: Path
    certificates: dict              # TSA name ("good", "rsa", "expired", "reject", "ed25519") -> its certificate
    keys: dict                      # TSA name -> its private key
    slow_seconds: float

    def url_for(self, mode: str) -> str:
        """The URL of a mode, "slow" or "/slow"."""
        return self.url + mode.lstrip("/")

    def reply(self, query: bytes, section: str = "good") -> bytes:
        """The TimeStampResp that `openssl ts -reply` makes for a DER TimeStampReq."""
        with self._lock:  # openssl reads and writes the serial file
            query_path = self.directory / "query.tsq"
            query_path.write_bytes(query)
            result = subprocess.run(
                ["openssl", "ts", "-reply", "-config", str(self.directory / "tsa.cnf"), "-section", section,
                 "-queryfile", str(query_path), "-out", str(self.directory / "reply.tsr")],
                capture_output=True, timeout=30)
            if result.returncode != 0:
                raise RuntimeError(f"openssl ts -reply failed: {result.stderr.decode(errors='replace')}")
            return (self.directory / "reply.tsr").read_bytes()

    def response_over(self, message: bytes, section: str = "good") -> bytes:
        """A whole TimeStampResp over `message` (SHA-256, certReq), as a sigTst (v1) header holds it."""
        with self._lock:
            data = self.directory / "message.bin"
            data.write_bytes(message)
            query = subprocess.run(["openssl", "ts", "-query", "-data", str(data), "-sha256", "-cert"],
                                   capture_output=True, check=True, timeout=30).stdout
        return self.reply(query, section)

    def cms_signed(self, content: bytes, section: str, *options: str) -> bytes:
        """A TimeStampToken over the DER TSTInfo `content` by `openssl cms -sign` with the key of `section`."""
        with self._lock:
            path = self.directory / "tst-info.der"
            path.write_bytes(content)
            return subprocess.run(
                ["openssl", "cms", "-sign", "-binary", "-nodetach", "-nosmimecap", "-outform", "DER",
                 "-econtent_type", "1.2.840.113549.1.9.16.1.4", "-in", str(path),
                 "-signer", str(self.directory / f"{section}.pem"), "-inkey", str(self.directory / f"{section}.key"),
                 *options], capture_output=True, check=True, timeout=30).stdout

    def ed25519_signed(self, content: bytes) -> bytes:
        """A TimeStampToken over the DER TSTInfo `content`, signed with the Ed25519 TSA (RFC 8419)."""
        certificate = asn1_x509.Certificate.load(self.certificates["ed25519"].public_bytes(serialization.Encoding.DER))
        attributes = cms.CMSAttributes([
            {"type": "content_type", "values": ["tst_info"]},
            {"type": "message_digest", "values": [hashlib.sha512(content).digest()]},
        ])
        signer = cms.SignerInfo({
            "version": "v1",
            "sid": {"issuer_and_serial_number": {"issuer": certificate.issuer,
                                                 "serial_number": certificate.serial_number}},
            "digest_algorithm": {"algorithm": "sha512"},
            "signed_attrs": attributes,
            "signature_algorithm": {"algorithm": "ed25519"},
            "signature": self.keys["ed25519"].sign(attributes.dump()),
        })
        signed_data = cms.SignedData({
            "version": "v3", "digest_algorithms": [{"algorithm": "sha512"}],
            "encap_content_info": {"content_type": "tst_info", "content": tsp.TSTInfo.load(content)},
            "certificates": [certificate], "signer_infos": [signer],
        })
        return cms.ContentInfo({"content_type": "signed_data", "content": signed_data}).dump()

    def __post_init__(self) -> None:
        self._lock = threading.Lock()
        self._stopping = threading.Event()


def _altered(query: bytes, path: str) -> bytes:
    """`query`, with the imprint of another message or another nonce for the modes that want it."""
    if path not in ("/wrong-imprint", "/wrong-nonce"):
        return query
    original = tsp.TimeStampReq.load(query)
    algorithm = original["message_imprint"]["hash_algorithm"]["algorithm"].native
    digest = original["message_imprint"]["hashed_message"].native
    nonce = original["nonce"].native
    return tsp.TimeStampReq({
        "version": "v1",
        "message_imprint": {
            "hash_algorithm": {"algorithm": algorithm},
            "hashed_message": hashlib.new(algorithm, b"another message").digest() if path == "/wrong-imprint"
            else digest},
        "nonce": nonce + 1 if path == "/wrong-nonce" else nonce,
        "cert_req": original["cert_req"].native,
    }).dump()


class _Handler(http.server.BaseHTTPRequestHandler):
    server: "_Server"

    def log_message(self, format: str, *args: object) -> None:  # quiet
        pass

    def _send(self, body: bytes, content_type: str = "application/timestamp-reply") -> None:
        self.send_response(200)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_POST(self) -> None:
        tsa = self.server.tsa
        query = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        path = self.path
        if path == "/http-500":
            self.send_error(500, "Internal Server Error")
        elif path == "/redirect":
            self.send_response(302)
            self.send_header("Location", tsa.url)
            self.send_header("Content-Length", "0")
            self.end_headers()
        elif path == "/garbage":
            self._send(GARBAGE)
        elif path == "/oversized":
            self.send_response(200)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.end_headers()
            with contextlib.suppress(OSError):  # the client hangs up at its cap
                for _ in range(OVERSIZED // 65536):
                    self.wfile.write(b"\x30" * 65536)
        elif path in _SECTIONS:
            if path == "/slow" and tsa._stopping.wait(tsa.slow_seconds):
                return
            try:
                reply = tsa.reply(_altered(query, path), _SECTIONS[path])
            except (RuntimeError, ValueError) as error:
                self.send_error(400, str(error).splitlines()[0])
                return
            with contextlib.suppress(OSError):  # a client that gave up (the slow mode)
                self._send(reply)
        else:
            self.send_error(404, "No such mode")


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    tsa: TestTsa


def _make_pki(directory: Path) -> tuple:
    """The root and the TSAs' keys, certificates and files; the openssl configuration."""
    root, root_key = make_root()
    anchor_pem = directory / "tsa-root.pem"
    _write_certificate(anchor_pem, root)
    now = datetime.datetime.now(_UTC)
    current = (now - datetime.timedelta(days=1), now + datetime.timedelta(days=365))
    expired = (datetime.datetime(2020, 1, 1, tzinfo=_UTC), datetime.datetime(2021, 1, 1, tzinfo=_UTC))
    tsas = {
        "good": (ec.generate_private_key(ec.SECP256R1()), "glyphward test TSA", current, "sha256, sha384, sha512"),
        "rsa": (rsa.generate_private_key(public_exponent=65537, key_size=2048), "glyphward test RSA TSA", current,
                "sha256, sha384, sha512"),
        "expired": (ec.generate_private_key(ec.SECP256R1()), "glyphward expired test TSA", expired, "sha256"),
        # Answers every SHA-2 query with a rejection (RFC 3161 badAlg).
        "reject": (ec.generate_private_key(ec.SECP256R1()), "glyphward rejecting test TSA", current, "sha1"),
        # No openssl section: OpenSSL 3.0 cannot sign time-stamps with Ed25519.
        "ed25519": (ed25519.Ed25519PrivateKey.generate(), "glyphward Ed25519 test TSA", current, None),
    }
    certificates = {}
    keys = {}
    sections = ["[ tsa ]\ndefault_tsa = good\n"]
    for name, (key, common_name, (not_before, not_after), digests) in tsas.items():
        certificate = make_tsa_certificate(root, root_key, key, common_name, not_before, not_after)
        certificates[name], keys[name] = certificate, key
        _write_key(directory / f"{name}.key", key)
        _write_certificate(directory / f"{name}.pem", certificate)
        if digests is not None:
            sections.append(_SECTION.format(name=name, directory=directory, digests=digests))
    (directory / "serial").write_text("01\n")
    (directory / "tsa.cnf").write_text("".join(sections))
    return root, anchor_pem, certificates, keys


@contextlib.contextmanager
def running(directory: Path, *, slow_seconds: float = 3.0) -> Iterator[TestTsa]:
    """A test TSA serving on 127.0.0.1 (a port the OS chooses) while the block runs."""
    root, anchor_pem, certificates, keys = _make_pki(directory)
    server = _Server(("127.0.0.1", 0), _Handler)
    tsa = TestTsa(url=f"http://127.0.0.1:{server.server_address[1]}/", anchor=root, anchor_pem=anchor_pem,
                  directory=directory, certificates=certificates, keys=keys, slow_seconds=slow_seconds)
    server.tsa = tsa
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, name="test TSA",
                              daemon=True)
    thread.start()
    try:
        yield tsa
    finally:
        tsa._stopping.set()
        server.shutdown()
        server.server_close()
        thread.join()



if __name__ == "__main__":
    # A TSA for trying `sign --tsa` by hand: python tests/python/tsa_server.py DIR
    import sys
    import time

    if len(sys.argv) != 2:
        raise SystemExit("usage: python tests/python/tsa_server.py DIR  (serves until interrupted)")
    place = Path(sys.argv[1])
    place.mkdir(parents=True, exist_ok=True)
    with running(place) as served:
        print(f"time-stamp authority: {served.url}  trust anchor: {served.anchor_pem}", flush=True)
        try:
            while True:
                time.sleep(3600)
        except KeyboardInterrupt:
            pass
