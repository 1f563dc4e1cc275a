#!/usr/bin/env python3
"""An atheris fuzz target for glyphward_c2pa's validator.

`glyphward_c2pa.verify_font` must never raise, hang or use unbounded memory:
every malformed structure is a status code in its report (C2PA 2.2, 15).
Each run checks that it returns a ValidationReport whose `to_json()` is JSON
(no NaN, nothing json cannot write), within what verify promises for a font
of its size: TIME_BOUND (2 s) of CPU time plus two SHA-256 passes over it
(decided by a replay without instrumentation: `check_time`), MEMORY_BOUND
(256 MiB) beyond its size at the process's high-water mark, and no more than
HASH_PASSES times its size (and HASH_SLACK) hashed; when the report finds
the asset valid, a byte changed in its outlines and in one other table must
each make it not valid (`check_bound`: no table left unbound). It fuzzes the
readers under it directly too: `jumbf.read_superbox` may raise only
JumbfError, `cbor.decode` only CborError (and `cose.decode_sign1` only
CoseError).

The first byte of an input, modulo 8, chooses what the rest is:

  0  a font: verify_font(rest)
  1  a font and a trust anchor: u16 n (big-endian), n bytes of a DER
     certificate, the font; verify_font(font, trust_anchors=[certificate],
     tsa_trust_anchors=[certificate])
  2  a Manifest Store, embedded with glyphward.embed_manifest_store into
     examples/fonts/GlyphwardDemo.ttf, then verify_font
  3  bytes for jumbf.read_superbox
  4  bytes for cbor.decode and cose.decode_sign1
  5-7  structure-aware: mutations of a valid signed font's Manifest Store
     (see `mutate`), chosen by the rest of the input; among them those that
     make work an input multiplies (op_shared to op_many_compressed), whose
     largest shapes are in the seed corpus (`shape_inputs`)

Modes 0 to 4 are replayed by tests/python/test_validator_fuzz_regressions.py
from tests/python/fuzz_regressions/validator_fuzzer/. A structure-aware
input depends on the signed fonts made at start-up (their keys, labels and
signatures are new in every run, their sizes are not), so when one crashes
the font it made is also written, as a mode 0 or 1 input that replays
anywhere ("derived input written to ..."); `--derive INPUT OUTPUT` makes
that file from a structure-aware input (a time-out, say) later.

At start-up the target signs GlyphwardDemo.ttf with throw-away credentials
(an Ed25519 root, the trust anchor; end-entity certificates for ES256,
ES384, PS256 and Ed25519 keys, one behind an intermediate) with both
bindings, `c2pa.hash.boxes` and `c2pa.hash.data` (the latter with room to
spare, so that a mutated store of another size can be filled in without
moving a byte the data hash covers); some with a time-stamp that
`openssl ts` makes offline (where openssl is installed), one signed twice
(two manifests, the first an ingredient of the second) and one made an
update manifest (see SEED_PLAN).

    python fuzz/validator_fuzzer.py [libFuzzer flags] [CORPUS_DIR...]
    python fuzz/validator_fuzzer.py --write-seeds=DIR    # the seed corpus
    python fuzz/validator_fuzzer.py [--max-store=BYTES] [--without=OPS] --derive INPUT OUTPUT

Flags of this target (libFuzzer ignores flags that begin with "--"):
  --crash-dir=DIR    where derived inputs of crashes go (default: the
                     libFuzzer -artifact_prefix, else the working directory)
  --skip-known=FILE  lines "ExceptionType module.py:function" (a broken
                     invariant of this target is "Failure(time)",
                     "Failure(json)", ...): crashes of those kinds are not
                     reported (for exploring past a known, unfixed fault;
                     CI never passes it)
  --max-store=BYTES  the largest mutated store validated (default 1 MiB; a
                     smaller one explores past a known slowness)
  --without=OPS      mutations (op_* names, comma-separated) that do nothing
                     in this run, their opcodes kept (for exploring past a
                     known time-out or out-of-memory, which --skip-known
                     cannot pass; CI never passes it)
"""
from __future__ import annotations

import copy
import datetime
import functools
import hashlib
import importlib
import json
import math
import os
import pkgutil
import resource
import struct
import subprocess
import sys
import tempfile
import time
import traceback
import warnings
from collections.abc import Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Set, Tuple

import atheris

with atheris.instrument_imports(include=["glyphward_c2pa"]):
    import glyphward_c2pa
    # Every submodule, also those the validator imports lazily.
    for _module in pkgutil.walk_packages(glyphward_c2pa.__path__, "glyphward_c2pa."):
        importlib.import_module(_module.name)
    from glyphward_c2pa import cbor as c2pa_cbor
    from glyphward_c2pa import cose, jumbf, labels
    from glyphward_c2pa.assertions.hash_data import hash_outside

import cbor2
import glyphward
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import dsa, ec, ed448, ed25519, rsa, x25519
from cryptography.x509.oid import AuthorityInformationAccessOID, ExtendedKeyUsageOID, ExtensionOID, NameOID

try:
    import brotli  # type: ignore[import-not-found]
except ImportError:  # compressed manifests are then made without it, and do not expand
    brotli = None

ROOT = Path(__file__).resolve().parent.parent
DEMO_FONT = ROOT / "examples" / "fonts" / "GlyphwardDemo.ttf"

# What the validator promises (docs/security.md): a font of up to 16 MB
# verifies within 2 s of CPU time plus two SHA-256 passes over it, in at most
# 256 MiB beyond its own size. The inputs here are at most a few hundred
# kilobytes (a mutated store of up to MAX_STORE), which validate in
# milliseconds. The time of the passes is measured at start-up
# (`sha256_seconds_per_byte`).
TIME_BOUND = 2.0
MEMORY_BOUND = 256 << 20
# Bytes the validator may hash (with hashlib) for a font: each byte a few
# times (the binding's pass over the font; the store's boxes again through
# the claim's hashed URIs, an ingredient's manifest, its claim signature),
# plus what compressed manifests expand to (64 MiB each, two of them); never
# once for every reference to one box. The 2 s of TIME_BOUND would let a
# store of at most MAX_STORE bytes hash one box thousands of times unseen.
HASH_PASSES = 4
HASH_SLACK = 128 << 20
# Larger mutated stores are not validated (a few duplications of a large box
# could make megabytes, which says nothing new).
MAX_STORE = 1 << 20
# Data-bound seeds reserve this much more than their store needs.
SLACK = 1024
MAX_OPS = 24
# Deeper trees are not validated: the reader stops at 32 levels, and the
# trees here are written and copied recursively.
MAX_DEPTH = 100

MODE_FONT, MODE_FONT_ANCHOR, MODE_STORE, MODE_JUMBF, MODE_CBOR, MODE_MUTATE = 0, 1, 2, 3, 4, 5
STATES = ("none", "remote", "invalid", "well-formed", "valid", "trusted")


def mode_of(data: bytes) -> int:
    return min(data[0] % 8, MODE_MUTATE) if data else MODE_FONT


# ---------------------------------------------------------------- the checks


class Failure(AssertionError):
    """A broken invariant of the validator: `kind` is "type", "time",
    "memory", "hashing", "unbound", "state" or "json"."""

    def __init__(self, kind: str, message: str):
        super().__init__(message)
        self.kind = kind


@functools.lru_cache(maxsize=None)
def sha256_seconds_per_byte() -> float:
    """CPU seconds SHA-256 takes per byte here (the best of three passes
    over 16 MiB)."""
    block = bytes(16 << 20)
    best = math.inf
    for _ in range(3):
        started = time.process_time()
        hashlib.sha256(block).digest()
        best = min(best, time.process_time() - started)
    return best / len(block)


def time_bound(size: int) -> float:
    """The CPU seconds a font of `size` bytes may take to verify."""
    return TIME_BOUND + 2 * size * sha256_seconds_per_byte()


def check_report(report: Any) -> None:
    if type(report) is not glyphward_c2pa.ValidationReport:
        raise Failure("type", f"verify_font returned {type(report).__name__}, not a ValidationReport")
    if report.manifest_state not in STATES or type(report.asset_valid) is not bool:
        raise Failure("state", f"a report with state {report.manifest_state!r} and asset_valid "
                               f"{report.asset_valid!r}")
    try:
        text = json.dumps(report.to_json("font.ttf"), allow_nan=False)
    except (TypeError, ValueError) as error:
        raise Failure("json", f"the report's to_json() is not JSON: {error}") from error
    if not isinstance(json.loads(text), dict):
        raise Failure("json", "the report's to_json() is not a JSON object")


# Run in a fresh interpreter, without atheris: the CPU seconds verify_font
# takes on the font in the directory argv[1] with the argv[2] trust anchors
# there, every module of glyphward_c2pa imported first.
_UNINSTRUMENTED = """
import pkgutil, importlib, sys, time
from pathlib import Path
from cryptography import x509
import glyphward_c2pa
for module in pkgutil.walk_packages(glyphward_c2pa.__path__, "glyphward_c2pa."):
    importlib.import_module(module.name)
directory = Path(sys.argv[1])
anchors = [x509.load_der_x509_certificate((directory / f"anchor{n}").read_bytes()) for n in range(int(sys.argv[2]))]
font = (directory / "font").read_bytes()
started = time.process_time()
glyphward_c2pa.verify_font(font, trust_anchors=anchors, tsa_trust_anchors=anchors)
print(time.process_time() - started)
"""


def uninstrumented_seconds(font: bytes, anchors: Sequence[x509.Certificate]) -> float:
    """The CPU seconds verify_font takes on `font` in a fresh interpreter of
    this environment, without atheris's instrumentation, which makes the
    validator's Python up to about ten times slower (measured: a store of
    512,000 CBOR items that validates in 0.49 s took 5.2 s instrumented);
    infinite when that does not end within ten times TIME_BOUND."""
    with tempfile.TemporaryDirectory(prefix="validator_fuzzer-") as name:
        directory = Path(name)
        (directory / "font").write_bytes(font)
        for number, anchor in enumerate(anchors):
            (directory / f"anchor{number}").write_bytes(anchor.public_bytes(serialization.Encoding.DER))
        try:
            done = subprocess.run([sys.executable, "-c", _UNINSTRUMENTED, name, str(len(anchors))], cwd=name,
                                  capture_output=True, timeout=10 * TIME_BOUND + 30, check=True)
        except subprocess.TimeoutExpired:
            return math.inf
        except subprocess.CalledProcessError as error:
            raise Failure("time", f"verify_font, replayed without instrumentation, failed: "
                                  f"{error.stderr.decode('utf-8', 'replace')[-2000:]}") from None
        return float(done.stdout.split()[-1])


def check_time(font: bytes, anchors: Sequence[x509.Certificate], elapsed: float) -> None:
    """Failure("time") when verify_font takes longer than time_bound: the
    instrumented run only raises the suspicion, an uninstrumented replay
    decides (the bound is what the validator promises as shipped)."""
    bound = time_bound(len(font))
    if elapsed <= bound:
        return
    again = uninstrumented_seconds(font, anchors)
    if again > bound:
        raise Failure("time", f"verify_font took {again:.2f} s of CPU time without instrumentation ({elapsed:.2f} s "
                              f"with it; bound for {len(font)} bytes: {bound:.3f} s)")


_PAGE = os.sysconf("SC_PAGE_SIZE")


def resident() -> int:
    """The bytes of the process resident now."""
    with open("/proc/self/statm", "rb") as statm:
        return int(statm.read().split()[1]) * _PAGE


def peak_resident() -> int:
    """The most bytes the process ever had resident (a high-water mark)."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def check_memory(before: int, peak_before: int, size: int) -> None:
    """Failure("memory") when the validation raised the process's high-water
    mark more than MEMORY_BOUND plus the font's size above what was resident
    when it began: libFuzzer's -rss_limit_mb looks once a second and misses a
    peak that is freed again in time, the high-water mark does not. (A run
    that stays under an earlier, higher mark is not measured: it used less
    than that run did.)"""
    peak = peak_resident()
    if peak > peak_before and peak - before > MEMORY_BOUND + size:
        raise Failure("memory", f"verify_font took the process {(peak - before) >> 20} MiB above where it began "
                                f"(bound: {MEMORY_BOUND >> 20} MiB beyond the font's {size} bytes)")


class _Counted:
    """A hashlib object that adds the bytes it hashes to `counter`."""

    def __init__(self, inner: Any, counter: List[int]):
        self._inner, self._counter = inner, counter

    def update(self, data: Any) -> None:
        try:
            self._counter[0] += memoryview(data).nbytes
        except TypeError:  # not bytes-like: hashlib refuses it too
            pass
        self._inner.update(data)

    def copy(self) -> "_Counted":
        return _Counted(self._inner.copy(), self._counter)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._inner, name)


_HASHLIB_NEW = hashlib.new


def hashing_counted(counter: List[int]) -> Any:
    """A context in which hashlib.new (all the validator hashes with)
    counts the bytes it hashes into counter[0]."""
    class Counting:
        def __enter__(self) -> None:
            def new(name: str, data: Any = b"", **options: Any) -> _Counted:
                counted = _Counted(_HASHLIB_NEW(name, **options), counter)
                if data:
                    counted.update(data)
                return counted
            hashlib.new = new  # type: ignore[assignment]

        def __exit__(self, *exception: Any) -> None:
            hashlib.new = _HASHLIB_NEW
    return Counting()


def check_hashing(hashed: int, size: int) -> None:
    bound = HASH_PASSES * size + HASH_SLACK
    if hashed > bound:
        raise Failure("hashing", f"verify_font hashed {hashed} bytes for a font of {size} "
                                 f"(bound: {HASH_PASSES} passes and {HASH_SLACK >> 20} MiB, {bound})")


def check_bound(font: bytes, anchors: Sequence[x509.Certificate], report: Any) -> None:
    """An asset found valid has every table bound (C2PA 2.2, 15.12;
    docs/security.md: grouped boxes with gaps or exclusions over table data
    are refused): a byte changed in the outlines (glyf, CFF or CFF2, else
    the largest table) and in a table chosen by the font's hash must each
    make it not valid. Bytes of the C2PA table, also when another table shares them, and
    head's checkSumAdjustment (which no hash covers, C2PA 2.2, 18.7.3.6) are
    not chosen."""
    if not report.asset_valid:
        return
    try:
        tables = glyphward_c2pa.sfnt.read_tables(font)
    except ValueError:
        return
    manifests = [(table.offset, table.offset + table.length) for table in tables if table.tag == b"C2PA"]
    others = [table for table in tables if table.tag != b"C2PA" and table.length]
    if not others:
        return
    pick = int.from_bytes(hashlib.sha256(font).digest()[:8], "big")
    outlines = next((table for table in others if table.tag in (b"glyf", b"CFF ", b"CFF2")),
                    max(others, key=lambda table: table.length))
    for table in dict.fromkeys([outlines, others[pick % len(others)]]):
        at = table.offset + (pick >> 16) % table.length
        if (table.tag == b"head" and 8 <= at - table.offset < 12) or any(start <= at < end for start, end in manifests):
            continue
        changed = bytearray(font)
        changed[at] ^= 0x01
        again = glyphward_c2pa.verify_font(bytes(changed), trust_anchors=anchors, tsa_trust_anchors=anchors)
        if again.asset_valid:
            raise Failure("unbound", f"the asset stays valid with byte {at} (in table {table.tag!r}) changed")


def verify(font: bytes, anchors: Sequence[x509.Certificate] = ()) -> None:
    before, peak_before = resident(), peak_resident()
    hashed = [0]
    started = time.process_time()
    with hashing_counted(hashed):
        report = glyphward_c2pa.verify_font(font, trust_anchors=anchors, tsa_trust_anchors=anchors)
    elapsed = time.process_time() - started
    check_report(report)  # to_json() included: its memory counts too
    check_memory(before, peak_before, len(font))
    check_time(font, anchors, elapsed)
    check_hashing(hashed[0], len(font))
    check_bound(font, anchors, report)


def read_jumbf(data: bytes) -> None:
    try:
        box, length = jumbf.read_superbox(data)
    except jumbf.JumbfError:
        return
    if not isinstance(box, jumbf.SuperBox) or not 0 < length <= len(data):
        raise Failure("type", f"read_superbox returned {type(box).__name__} and length {length} for "
                              f"{len(data)} bytes")


def decode_cbor(data: bytes) -> None:
    try:
        c2pa_cbor.decode(data)
    except c2pa_cbor.CborError:
        pass
    try:
        cose.decode_sign1(data)
    except cose.CoseError:
        pass


def anchor_and_font(rest: bytes) -> Tuple[List[x509.Certificate], bytes]:
    length = int.from_bytes(rest[:2], "big")
    der, font = rest[2:2 + length], rest[2 + length:]
    try:
        return [x509.load_der_x509_certificate(der)], font
    except Exception:  # not a certificate cryptography loads (ValueError, InvalidVersion, ...): no anchor
        return [], font


# ---------------------------------------------------------------- credentials and seeds


FIXED_START = datetime.datetime(2020, 1, 1, tzinfo=datetime.timezone.utc)
FIXED_END = datetime.datetime(2099, 1, 1, tzinfo=datetime.timezone.utc)
SIGNED_AT = datetime.datetime(2026, 1, 1, tzinfo=datetime.timezone.utc)
C2PA_CLAIM_SIGNING = x509.ObjectIdentifier("1.3.6.1.4.1.62558.2.1")


def _name(common_name: str) -> x509.Name:
    return x509.Name([x509.NameAttribute(NameOID.ORGANIZATION_NAME, "glyphward fuzzing"),
                      x509.NameAttribute(NameOID.COMMON_NAME, common_name)])


def _ext(value: x509.ExtensionType, critical: bool = False) -> x509.Extension[x509.ExtensionType]:
    return x509.Extension(value.oid, critical, value)


def _key_usage(signing: bool) -> x509.KeyUsage:
    return x509.KeyUsage(digital_signature=signing, content_commitment=False, key_encipherment=False,
                         data_encipherment=False, key_agreement=False, key_cert_sign=not signing,
                         crl_sign=not signing, encipher_only=False, decipher_only=False)


def certificate(subject: str, public_key: Any, issuer: x509.Certificate, issuer_key: Any, serial: int, *,
                ca: bool = False, extra: Sequence[x509.Extension[x509.ExtensionType]] = (),
                extensions: Optional[List[x509.Extension[x509.ExtensionType]]] = None,
                start: datetime.datetime = FIXED_START, end: datetime.datetime = FIXED_END) -> x509.Certificate:
    """A certificate signed by `issuer_key` (Ed25519, so the same inputs give
    the same bytes), with the extensions C2PA 2.2, 14.5.1 asks of a CA or an
    end-entity claim signer, or exactly `extensions`."""
    if extensions is None:
        extensions = [
            _ext(x509.BasicConstraints(ca=ca, path_length=None), critical=True),
            _ext(_key_usage(signing=not ca), critical=True),
            _ext(x509.SubjectKeyIdentifier.from_public_key(public_key)),
            _ext(x509.AuthorityKeyIdentifier.from_issuer_public_key(issuer_key.public_key())),
        ]
        if not ca:
            extensions.append(_ext(x509.ExtendedKeyUsage([C2PA_CLAIM_SIGNING, ExtendedKeyUsageOID.EMAIL_PROTECTION])))
        extensions.extend(extra)
    builder = x509.CertificateBuilder(issuer.subject, _name(subject), public_key, serial, start, end, extensions)
    return builder.sign(issuer_key, None)


def _dsa_key() -> Any:
    with warnings.catch_warnings():  # DSA is deprecated, which is the point
        warnings.simplefilter("ignore")
        return dsa.generate_private_key(1024).public_key()


@dataclass
class Credentials:
    root: x509.Certificate
    root_key: ed25519.Ed25519PrivateKey
    # name: (private key, chain for x5chain)
    signers: Dict[str, Tuple[Any, List[x509.Certificate]]]
    # certificates that are odd in one way each, for the x5chain mutation
    odd: List[bytes]

    @functools.cached_property
    def certificates(self) -> List[bytes]:
        """Every certificate the x5chain mutation puts in (DER)."""
        return self.odd + [chain[0].public_bytes(serialization.Encoding.DER) for _, chain in self.signers.values()]


def make_credentials() -> Credentials:
    root_key = ed25519.Ed25519PrivateKey.generate()
    name = _name("fuzz root")
    root = x509.CertificateBuilder(
        name, name, root_key.public_key(), 1, FIXED_START, FIXED_END,
        [_ext(x509.BasicConstraints(ca=True, path_length=None), critical=True),
         _ext(_key_usage(signing=False), critical=True),
         _ext(x509.SubjectKeyIdentifier.from_public_key(root_key.public_key()))]).sign(root_key, None)
    intermediate_key = ed25519.Ed25519PrivateKey.generate()
    intermediate = certificate("fuzz intermediate", intermediate_key.public_key(), root, root_key, 2, ca=True)

    signers: Dict[str, Tuple[Any, List[x509.Certificate]]] = {}
    ocsp = _ext(x509.AuthorityInformationAccess([x509.AccessDescription(
        AuthorityInformationAccessOID.OCSP, x509.UniformResourceIdentifier("http://ocsp.invalid/"))]))
    es256 = ec.generate_private_key(ec.SECP256R1())
    signers["ES256"] = (es256, [certificate("fuzz ES256", es256.public_key(), intermediate, intermediate_key, 3),
                                intermediate])
    es384 = ec.generate_private_key(ec.SECP384R1())
    signers["ES384"] = (es384, [certificate("fuzz ES384", es384.public_key(), root, root_key, 4, extra=[ocsp])])
    ps256 = rsa.generate_private_key(65537, 2048)
    signers["PS256"] = (ps256, [certificate("fuzz PS256", ps256.public_key(), root, root_key, 5)])
    ed = ed25519.Ed25519PrivateKey.generate()
    signers["Ed25519"] = (ed, [certificate("fuzz Ed25519", ed.public_key(), root, root_key, 6)])

    der = serialization.Encoding.DER
    odd_keys: List[Any] = [ec.generate_private_key(ec.SECP256K1()).public_key(),
                           ed448.Ed448PrivateKey.generate().public_key(),
                           x25519.X25519PrivateKey.generate().public_key(),
                           _dsa_key(),
                           rsa.generate_private_key(65537, 1024).public_key()]
    odd = [certificate(f"odd key {index}", key, root, root_key, 10 + index).public_bytes(der)
           for index, key in enumerate(odd_keys)]
    duplicate = x509.SubjectKeyIdentifier.from_public_key(es256.public_key())
    garbage_aia = x509.UnrecognizedExtension(ExtensionOID.AUTHORITY_INFORMATION_ACCESS, b"\x30\x03\x02\x01\x00")
    odd += [
        # the same extension twice
        certificate("duplicate", es256.public_key(), root, root_key, 20,
                    extensions=[_ext(duplicate), _ext(duplicate)]).public_bytes(der),
        # an extension that does not parse
        certificate("bad AIA", es256.public_key(), root, root_key, 21,
                    extensions=[x509.Extension(garbage_aia.oid, False, garbage_aia)]).public_bytes(der),
        # expired, and not yet valid
        certificate("expired", es256.public_key(), root, root_key, 22,
                    start=datetime.datetime(2000, 1, 1, tzinfo=datetime.timezone.utc),
                    end=datetime.datetime(2001, 1, 1, tzinfo=datetime.timezone.utc)).public_bytes(der),
        certificate("future", es256.public_key(), root, root_key, 23,
                    start=datetime.datetime(2090, 1, 1, tzinfo=datetime.timezone.utc)).public_bytes(der),
        # no extensions at all, and a CA as signer
        certificate("bare", ed.public_key(), root, root_key, 24, extensions=[]).public_bytes(der),
        root.public_bytes(der), intermediate.public_bytes(der),
    ]
    return Credentials(root, root_key, signers, odd)


@dataclass
class Seed:
    name: str
    binding: str
    font: bytes                 # the signed font
    store: bytes                # its Manifest Store
    sign: Callable[[bytes], bytes]
    reserved: int               # bytes its C2PA table keeps for a store
    v1_response: Optional[bytes] = None     # a TimeStampResp over its claim (a sigTst, C2PA 2.2, 10.3.2.5.2)
    v2_token: Optional[bytes] = None        # the TimeStampToken of its sigTst2, if it has one


class OpenSslStamper:
    """Time-stamps (RFC 3161) for sign_font's `tsa`, made offline by
    `openssl ts -reply` with a time-stamping certificate under the root:
    the claim signatures of some seeds carry a v2 time-stamp (C2PA 2.2,
    10.3.2.5), so that the validator's time-stamp reading is fuzzed too."""

    def __init__(self, directory: Path, root: x509.Certificate, root_key: ed25519.Ed25519PrivateKey):
        key = ec.generate_private_key(ec.SECP256R1())
        tsa = certificate("fuzz TSA", key.public_key(), root, root_key, 30, extensions=[
            _ext(x509.BasicConstraints(ca=False, path_length=None), critical=True),
            _ext(_key_usage(signing=True), critical=True),
            _ext(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.TIME_STAMPING]), critical=True),
            _ext(x509.SubjectKeyIdentifier.from_public_key(key.public_key())),
            _ext(x509.AuthorityKeyIdentifier.from_issuer_public_key(root_key.public_key()))])
        pem = serialization.Encoding.PEM
        (directory / "tsa.pem").write_bytes(tsa.public_bytes(pem))
        (directory / "root.pem").write_bytes(root.public_bytes(pem))
        (directory / "tsa.key").write_bytes(key.private_bytes(pem, serialization.PrivateFormat.PKCS8,
                                                              serialization.NoEncryption()))
        (directory / "serial").write_text("01\n")
        # 1.3.6.1.4.1.4146.555.9: a made-up policy
        (directory / "tsa.cnf").write_text(f"""[ tsa ]
dir = {directory}
serial = $dir/serial
crypto_device = builtin
signer_cert = $dir/tsa.pem
signer_key = $dir/tsa.key
signer_digest = sha256
default_policy = 1.3.6.1.4.1.4146.555.9
certs = $dir/root.pem
digests = sha256, sha384, sha512
accuracy = secs:1
ordering = no
tsa_name = yes
ess_cert_id_chain = no
ess_cert_id_alg = sha256
""")
        self.directory = directory
        self.token_size = 0

    def stamp(self, message: bytes, hash_algorithm: str) -> bytes:
        return self.reply(message, hash_algorithm, token=True)

    def reply(self, message: bytes, hash_algorithm: str, token: bool) -> bytes:
        """A TimeStampToken over `message`, or the whole TimeStampResp."""
        (self.directory / "message.bin").write_bytes(message)
        query = subprocess.run(["openssl", "ts", "-query", "-data", str(self.directory / "message.bin"),
                                f"-{hash_algorithm}", "-cert"], capture_output=True, check=True, timeout=60).stdout
        (self.directory / "query.tsq").write_bytes(query)
        subprocess.run(["openssl", "ts", "-reply", "-config", str(self.directory / "tsa.cnf"), "-section", "tsa",
                        "-queryfile", str(self.directory / "query.tsq"), *(["-token_out"] if token else []),
                        "-out", str(self.directory / "token.der")], capture_output=True, check=True, timeout=60)
        answer = (self.directory / "token.der").read_bytes()
        if token:
            self.token_size = max(self.token_size, len(answer))
        return answer


# (signer, binding, how): "" signs the demo font; "tsa" with a time-stamp;
# "history" signs a font ES256 signed before (two manifests, the first the
# second's parentOf ingredient); "update" does so without changing the
# content, which makes the second an update manifest (C2PA 2.2, 11.2.3).
SEED_PLAN = (("ES256", "boxes", ""), ("ES256", "data", ""), ("Ed25519", "boxes", ""), ("Ed25519", "data", ""),
             ("PS256", "boxes", ""), ("PS256", "data", ""), ("ES384", "boxes", ""),
             ("ES256", "boxes", "tsa"), ("Ed25519", "data", "tsa"), ("PS256", "boxes", "history"),
             ("Ed25519", "boxes", "update"))


def make_seeds(credentials: Credentials, base: bytes, stamper: Optional[OpenSslStamper]) -> List[Seed]:
    seeds = []
    first_key, first_chain = credentials.signers["ES256"]
    earlier = glyphward_c2pa.sign_font(base, glyphward_c2pa.KeySigner(first_key, first_chain), now=SIGNED_AT).font
    for name, binding, how in SEED_PLAN:
        if how == "tsa" and stamper is None:
            continue
        key, chain = credentials.signers[name]
        signer = glyphward_c2pa.KeySigner(key, chain)
        font = earlier if how in ("history", "update") else base
        options: Dict[str, Any] = {"binding": binding, "now": SIGNED_AT}
        if how == "tsa":
            options["tsa"] = stamper
        if how == "update":
            options["binding"] = None
        signed = glyphward_c2pa.sign_font(font, signer, **options)
        size = None
        if binding == "data":  # sign again with room to spare
            size = len(signed.manifest_store) + SLACK
            signed = glyphward_c2pa.sign_font(font, signer, size=size, **options)
        report = glyphward_c2pa.verify_font(signed.font, trust_anchors=[credentials.root],
                                            tsa_trust_anchors=[credentials.root])
        if report.manifest_state != "trusted" or not report.asset_valid:
            raise SystemExit(f"the seed {name}/{binding}/{how} does not validate: {report.to_json()}")
        seed = Seed(f"{name}-{binding}-{how}", binding, signed.font, signed.manifest_store, signer.sign,
                    size or len(signed.manifest_store))
        if stamper is not None:
            seed.v1_response, seed.v2_token = _time_stamps(seed.store, stamper)
        seeds.append(seed)
    return seeds


def _time_stamps(store: bytes, stamper: OpenSslStamper) -> Tuple[Optional[bytes], Optional[bytes]]:
    """A v1 time-stamp response over the active manifest's claim (what a
    sigTst holds), and the token of its sigTst2 if it has one."""
    manifest = list(jumbf.read_superbox(store)[0].superboxes())[-1]
    claim = bytes(next(manifest.find(labels.CLAIM_LABEL)[0].content_boxes()).payload)
    sign1 = cose.decode_sign1(next(manifest.find(labels.SIGNATURE_LABEL)[0].content_boxes()).payload)
    message = cose.to_be_signed(sign1.protected_bytes, claim, context="CounterSignature")
    _, container = sign1.header(cose.SIG_TST2)
    tokens = container.get("tstTokens") if isinstance(container, dict) else None
    token = tokens[0].get("val") if isinstance(tokens, list) and tokens and isinstance(tokens[0], dict) else None
    return stamper.reply(message, "sha256", token=False), token if isinstance(token, bytes) else None


# ---------------------------------------------------------------- JUMBF trees


@dataclass(eq=False)  # boxes are told apart by identity
class Node:
    """A box as the mutations see it: a leaf with a payload, or a superbox
    with children; the header can be made to lie."""
    type: bytes
    payload: bytes = b""
    children: Optional[List["Node"]] = None
    declared: Optional[int] = None      # the length written instead of the real one
    extended: bool = False              # LBox 1 and an XLBox
    # A CBOR payload that later mutations and the fix-up leave as it is:
    # decoding it again here would be as slow as it is meant to make the
    # validator (colliding keys) or write it out expanded (string references).
    opaque: bool = False


def parse_boxes(data: bytes) -> List[Node]:
    """The boxes of a valid store (the seeds'), superboxes split up."""
    nodes = []
    position = 0
    while position < len(data):
        length, box_type = struct.unpack_from(">I4s", data, position)
        start = position + 8
        if length == 1:
            (length,) = struct.unpack_from(">Q", data, start)
            start += 8
        payload = data[start:position + length]
        if box_type == jumbf.SUPERBOX:
            nodes.append(Node(box_type, children=parse_boxes(payload)))
        else:
            nodes.append(Node(box_type, payload))
        position += length
    return nodes


def content(node: Node) -> bytes:
    return b"".join(serialize(child) for child in node.children) if node.children is not None else node.payload


def serialize(node: Node) -> bytes:
    body = content(node)
    if node.extended:
        length = node.declared if node.declared is not None else 16 + len(body)
        return struct.pack(">I4sQ", 1, node.type, length % (1 << 64)) + body
    length = node.declared if node.declared is not None else 8 + len(body)
    return struct.pack(">I4s", length % (1 << 32), node.type) + body


def walk(root: Node) -> List[Tuple[Node, Optional[List[Node]]]]:
    """Every node with the list that holds it, in document order."""
    ordered: List[Tuple[Node, Optional[List[Node]]]] = []
    stack: List[Tuple[Node, Optional[List[Node]]]] = [(root, None)]
    while stack:
        node, holder = stack.pop()
        ordered.append((node, holder))
        if node.children is not None:
            stack.extend((child, node.children) for child in reversed(node.children))
    return ordered


def depth(root: Node) -> int:
    deepest = 0
    stack = [(root, 1)]
    while stack:
        node, level = stack.pop()
        deepest = max(deepest, level)
        stack.extend((child, level + 1) for child in node.children or [])
    return deepest


def description(node: Node) -> Tuple[bytes, int, Optional[str]]:
    """(type UUID, toggles, label) of a superbox, as far as they read."""
    if not node.children or node.children[0].type != jumbf.DESCRIPTION:
        return b"", 0, None
    payload = node.children[0].payload
    uuid, toggles = payload[:16], payload[16] if len(payload) > 16 else 0
    label = None
    if toggles & jumbf.LABEL_PRESENT and b"\x00" in payload[17:]:
        label = payload[17:payload.index(b"\x00", 17)].decode("utf-8", "replace")
    return uuid, toggles, label


def make_superbox(uuid: bytes, label: Optional[str], children: List[Node], toggles: Optional[int] = None) -> Node:
    if toggles is None:
        toggles = jumbf.REQUESTABLE | (jumbf.LABEL_PRESENT if label is not None else 0)
    text = label.encode("utf-8", "surrogatepass") + b"\x00" if label is not None else b""
    return Node(jumbf.SUPERBOX, children=[Node(jumbf.DESCRIPTION, uuid + bytes([toggles]) + text)] + children)


def child_labelled(node: Node, label: str) -> Optional[Node]:
    for child in node.children or []:
        if child.children is not None and description(child)[2] == label:
            return child
    return None


# ---------------------------------------------------------------- the input


class Reader:
    """The fuzzer's bytes, read as choices; zeros once they run out."""

    def __init__(self, data: bytes):
        self.data = data
        self.position = 0

    def byte(self) -> int:
        if self.position >= len(self.data):
            return 0
        self.position += 1
        return self.data[self.position - 1]

    def u16(self) -> int:
        return self.byte() << 8 | self.byte()

    def u32(self) -> int:
        return self.u16() << 16 | self.u16()

    def take(self, count: int) -> bytes:
        chunk = self.data[self.position:self.position + count]
        self.position += len(chunk)
        return chunk

    def choose(self, items: Sequence[Any]) -> Any:
        return items[self.u16() % len(items)] if items else None

    def left(self) -> int:
        return len(self.data) - self.position


# ---------------------------------------------------------------- vocabulary


def _uuid(fourcc: bytes) -> bytes:
    return fourcc + bytes.fromhex("00110010800000AA00389B71")


UUIDS = [labels.MANIFEST_STORE, labels.STANDARD_MANIFEST, labels.UPDATE_MANIFEST, labels.COMPRESSED_MANIFEST,
         labels.LEGACY_STANDARD_MANIFEST, labels.ASSERTION_STORE, labels.CLAIM, labels.CLAIM_SIGNATURE,
         labels.CBOR_CONTENT, labels.JSON_CONTENT, _uuid(b"bfdb"), _uuid(b"uuid"), bytes(16), b"\xff" * 16]
LABELS = ["c2pa", "c2pa.assertions", "c2pa.claim.v2", "c2pa.claim", "c2pa.signature", "c2pa.hash.data",
          "c2pa.hash.boxes", "c2pa.actions.v2", "c2pa.actions", "c2pa.ingredient.v3", "c2pa.ingredient",
          "font.info", "c2pa.hash.data__1", "c2pa.hash.boxes__2", "c2pa.hash.bmff.v2",
          "urn:c2pa:00000000-0000-4000-8000-000000000000", "", "a/b", "x\x01", "\u00e9t\u00e9", "c2pa.thumbnail.claim"]
BOX_TYPES = [jumbf.CBOR, jumbf.JSON, jumbf.DESCRIPTION, jumbf.SUPERBOX, b"brob", b"bfdb", b"bidb", b"uuid",
             b"free", b"c2sh", b"\x00\x00\x00\x00"]
KEYS: List[Any] = [
    "alg", "hash", "url", "pad", "pad2", "exclusions", "start", "length", "boxes", "names", "excluded",
    "actions", "action", "parameters", "ingredients", "ingredient", "relationship", "redacted",
    "instanceID", "signature", "created_assertions", "gathered_assertions", "redacted_assertions",
    "claim_generator_info", "claim_generator", "assertions", "dc:title", "name", "version",
    "digitalSourceType", "x5chain", "iat", "sigTst", "sigTst2", "tstTokens", "val", "activeManifest",
    1, 2, 3, 4, 33, -1, 0,
]
TEXTS = [
    "sha256", "sha384", "sha512", "sha1", "md5", "SHA256", "", "self#jumbf=c2pa.assertions/c2pa.hash.data",
    "self#jumbf=c2pa.assertions/c2pa.hash.boxes", "self#jumbf=c2pa.assertions/c2pa.actions.v2",
    "self#jumbf=c2pa.assertions/font.info", "self#jumbf=c2pa.signature", "self#jumbf=/c2pa/",
    "self#jumbf=/c2pa", "self#jumbf=/c2pa/x/c2pa.signature", "self#jumbf=../c2pa.signature", "self#jumbf=",
    "self#jumbf=c2pa.assertions", "self#jumbf=c2pa.claim.v2", "http://example.com/m",
    "c2pa.created", "c2pa.opened", "c2pa.placed", "c2pa.removed", "c2pa.redacted", "c2pa.transcoded",
    "c2pa.repackaged", "c2pa.edited.metadata", "parentOf", "componentOf", "inputTo", "C2PA", "head", "glyf",
    "cmap", "name", "cvt", "cvt ", "OS/2", "urn:uuid:0", "\x00", "\ud7ff\ue000", "x" * 300,
]
INTEGERS = [0, 1, -1, 2, 7, 8, 16, 20, 24, 255, 256, 65535, 2 ** 31 - 1, 2 ** 31, 2 ** 32 - 1, 2 ** 32,
            2 ** 63 - 1, 2 ** 63, 2 ** 64 - 1, -(2 ** 63), -(2 ** 64), 2 ** 64, 10 ** 40, -(10 ** 40),
            -7, -8, -35, -36, -37, -38, -39, -257, -65535, 33, 18, 1672531200, 253402300800, -62135596801]
FLOATS = [0.0, -0.0, 1.5, -1.5, float("nan"), float("inf"), float("-inf"), 1e308, 5e-324, 1672531200.5]
TAGS = [0, 1, 2, 3, 4, 5, 18, 21, 24, 25, 28, 29, 30, 32, 35, 36, 37, 256, 258, 260, 261, 1001, 55799, 2 ** 32]


class Tagged:
    """A CBOR tag that mutations can change (cbor2's CBORTag is not)."""

    def __init__(self, tag: int, value: Any):
        self.tag = tag
        self.value = value


# How deep thaw and freeze go (one Python frame a level); deeper items become
# None. Deeper than glyphward_c2pa.cbor's limit (64), within cbor2's (400).
COPY_DEPTH = 200


# Whether a document thawed since the input's mutations began shared a
# container, or a long string, between two places (cbor2 decodes shared
# values and string references so): only then can a document be far larger
# written out than it is, and `dump` measure it.
_SHARING = [False]


def thaw(value: Any) -> Any:
    """The document with cbor2's tags, tuples and frozen maps (outside map
    keys) made mutable."""
    memo: Dict[int, Any] = {}
    strings: Set[int] = set()

    def go(item: Any, depth: int) -> Any:
        if depth > COPY_DEPTH:
            return None
        if id(item) in memo:
            _SHARING[0] = True
            return memo[id(item)]
        if isinstance(item, (str, bytes)) and len(item) > 64:
            if id(item) in strings:
                _SHARING[0] = True
            strings.add(id(item))
        if isinstance(item, cbor2.CBORTag):
            made: Any = Tagged(item.tag, None)
            memo[id(item)] = made
            made.value = go(item.value, depth + 1)
        elif isinstance(item, (list, tuple)):
            made = []
            memo[id(item)] = made
            for element in item:
                made.append(go(element, depth + 1))
        elif isinstance(item, Mapping):
            made = {}
            memo[id(item)] = made
            for key, element in item.items():
                made[key] = go(element, depth + 1)
        else:
            made = item
        return made
    return go(value, 0)


def freeze(value: Any) -> Any:
    """A thawed document as cbor2 encodes it."""
    memo: Dict[int, Any] = {}

    def go(item: Any, depth: int) -> Any:
        if depth > COPY_DEPTH:
            return None
        if id(item) in memo:
            return memo[id(item)]
        if isinstance(item, Tagged):
            made: Any = cbor2.CBORTag(item.tag, go(item.value, depth + 1))
            memo[id(item)] = made
        elif isinstance(item, list):
            made = []
            memo[id(item)] = made
            for element in item:
                made.append(go(element, depth + 1))
        elif isinstance(item, dict):
            made = {}
            memo[id(item)] = made
            for key, element in item.items():
                made[key] = go(element, depth + 1)
        else:
            made = item
        return made
    return go(value, 0)


def clone(value: Any) -> Any:
    """A copy of the lists, maps and tags of a thawed document (what cbor2
    makes immutable is shared, not copied)."""
    return thaw(freeze(value))


# Payloads of opaque leaves (see Node.opaque) made by the input being
# mutated: `load` refuses them wherever a mutation or the fix-up meets them.
_OPAQUE: Set[bytes] = set()


def load(data: bytes) -> Any:
    """The CBOR in `data`, thawed; raises ValueError when cbor2 cannot read
    it, or when it is an opaque leaf's."""
    if data in _OPAQUE:
        raise ValueError("an opaque payload: decoding it here would be as slow as it means the validator to be")
    try:
        return thaw(cbor2.loads(data))
    except Exception as error:  # cbor2's decode errors, and whatever a semantic tag raises
        raise ValueError(str(error)) from None


class SharedRef(Tagged):
    """A reference (tag 29, RFC 8949's shared values, which cbor2 decodes) to
    a shared value, a Tagged(28, ...) of the same document: its index is
    the target's place among the document's tag-28 items in the order a
    decoder meets them, set by `number_shared` when the document is dumped
    (a reference to an item no longer in the document keeps its index)."""

    def __init__(self, target: Tagged):
        super().__init__(29, 0)
        self.target = target
        _REFERENCES.append(self)


# SharedRefs made and not yet numbered (only op_shared makes them, and dumps
# its document at once): `number_shared` walks a document only when there are.
_REFERENCES: List[SharedRef] = []


class CollidingKeys:
    """A map of `count` integer keys `base + sign * MODULUS * n` (n = 0, 1,
    ...), each to `value`: Python hashes an integer k as k modulo
    sys.hash_info.modulus (2**61 - 1), so every key of it lands in the same
    slot of a dict or set, and building one takes time quadratic in the keys.
    Written by `_write_special` straight to CBOR after `entries` (the map's
    own, frozen), never built as a dict here."""

    MODULUS = sys.hash_info.modulus

    def __init__(self, base: int, count: int, sign: int, value: Any):
        self.base, self.count, self.sign, self.value = base, count, sign, value
        self.entries: Dict[Any, Any] = {}   # written before the colliding keys (a map's own entries)

    def keys(self) -> Iterator[int]:
        for n in range(self.count):
            key = self.base + self.MODULUS * n
            yield key if self.sign > 0 or (self.sign == 0 and n % 2) else -key


def _write_special(encoder: Any, value: Any) -> None:
    """cbor2's hook for what it cannot encode itself: a CollidingKeys map."""
    if not isinstance(value, CollidingKeys):
        raise cbor2.CBOREncodeError(f"cannot encode {type(value).__name__}")
    encoder.encode_length(5, len(value.entries) + value.count)
    for key, item in value.entries.items():
        encoder.encode(key)
        encoder.encode(freeze(item))
    frozen = freeze(value.value)
    for key in value.keys():
        encoder.encode(key)
        encoder.encode(frozen)


def number_shared(value: Any) -> None:
    """Gives each SharedRef in `value` the index cbor2's decoder will give
    its target: tag-28 items are numbered in the order their heads are read,
    depth first, map values in insertion order (so the document must be
    dumped without sorting its keys). Looks at a bounded number of items."""
    if not _REFERENCES:
        return
    _REFERENCES.clear()
    order: Dict[int, int] = {}
    references: List[SharedRef] = []
    stack: List[Tuple[Any, int]] = [(value, 0)]
    visits = 0
    while stack and visits < EXPANSION_LIMIT:
        item, level = stack.pop()
        visits += 1
        if level > COPY_DEPTH:
            continue
        if isinstance(item, SharedRef):
            references.append(item)
        elif isinstance(item, Tagged):
            if item.tag == 28:
                order.setdefault(id(item), len(order))
            stack.append((item.value, level + 1))
        elif isinstance(item, list):
            stack.extend((element, level + 1) for element in reversed(item))
        elif isinstance(item, dict):
            stack.extend((element, level + 1) for element in reversed(list(item.values())))
    for reference in references:
        if id(reference.target) in order:
            reference.value = order[id(reference.target)]


# Documents that cbor2 would write as more items than this (a doubling chain
# of shared values, decoded into a graph that shares its lists, and written
# out again) are written with cbor2's own value sharing instead, which keeps
# them as small as they came.
EXPANSION_LIMIT = 200_000


def expanded_size(value: Any) -> int:
    """How many items cbor2 writes for `value` without value sharing or
    string references, a text or byte string counting one for every 64
    bytes; up to EXPANSION_LIMIT (reached too by a value that contains
    itself)."""
    memo: Dict[int, int] = {}
    path: Set[int] = set()

    def go(item: Any, level: int) -> int:
        if isinstance(item, Tagged):
            children: Any = [item.value]
        elif isinstance(item, list):
            children = item
        elif isinstance(item, dict):
            children = item.values()
        elif isinstance(item, (str, bytes)):
            return 1 + len(item) // 64
        else:
            return 1
        if level > COPY_DEPTH:
            return 1
        identity = id(item)
        if identity in memo:
            return memo[identity]
        if identity in path:
            return EXPANSION_LIMIT
        path.add(identity)
        total = 1
        for child in children:
            total += go(child, level + 1)
            if total >= EXPANSION_LIMIT:
                total = EXPANSION_LIMIT
                break
        path.discard(identity)
        memo[identity] = total
        return total
    return go(value, 0)


def dump(value: Any, canonical: bool = False) -> bytes:
    number_shared(value)
    frozen = freeze(value)
    if not _SHARING[0] or expanded_size(value) < EXPANSION_LIMIT:
        try:
            return cbor2.dumps(frozen, canonical=canonical, default=_write_special)
        except (cbor2.CBOREncodeError, RecursionError, ValueError, TypeError, OverflowError):
            pass
    try:
        return cbor2.dumps(frozen, value_sharing=True, string_referencing=True, default=_write_special)
    except Exception:
        return cbor2.dumps(None)


Slot = Tuple[Any, Any]  # (container, key or index); (None, None) is the document itself


def slots(document: Any, limit: int = 4096) -> List[Slot]:
    """The places of every item in the document, in document order."""
    found: List[Slot] = [(None, None)]
    seen: Set[int] = set()
    stack: List[Any] = [document]
    while stack and len(found) < limit:
        item = stack.pop()
        if id(item) in seen:
            continue
        seen.add(id(item))
        if isinstance(item, list):
            for index in reversed(range(len(item))):
                found.append((item, index))
                stack.append(item[index])
        elif isinstance(item, dict):
            for key in reversed(list(item)):
                found.append((item, key))
                stack.append(item[key])
        elif isinstance(item, Tagged):
            found.append((item, "value"))
            stack.append(item.value)
    return found


def get_slot(document: Any, slot: Slot) -> Any:
    container, key = slot
    if container is None:
        return document
    if isinstance(container, Tagged):
        return container.value
    return container[key]


def set_slot(document: Any, slot: Slot, value: Any) -> Any:
    """The document with `value` in `slot`."""
    container, key = slot
    if container is None:
        return value
    if isinstance(container, Tagged):
        container.value = value
    else:
        container[key] = value
    return document


class Context:
    """What the mutations may splice in: the seed's items, certificates."""

    def __init__(self, credentials: Credentials, seed: Seed, seeds: List[Seed]):
        self.credentials = credentials
        self.seed = seed
        self.seeds = seeds
        self.certificates = credentials.certificates

    @functools.cached_property
    def tables(self) -> List[Any]:
        """The tables of the seed's signed font (glyphward_c2pa.sfnt.Table),
        where they stay when a store of the size it reserved is filled in."""
        return glyphward_c2pa.sfnt.read_tables(self.seed.font)


def generate(reader: Reader, context: Context, document: Any, depth: int = 0) -> Any:
    """A CBOR value the input chooses."""
    choice = reader.byte() % 22
    if depth > 3 and choice >= 9:
        choice %= 9
    if choice == 0:
        return None
    if choice == 1:
        return reader.byte() % 2 == 0
    if choice == 2:
        return reader.byte() - 128
    if choice == 3:
        return reader.choose(INTEGERS)
    if choice == 4:
        return reader.choose(FLOATS)
    if choice == 5:
        return reader.choose(TEXTS)
    if choice == 6:
        return reader.choose(KEYS)
    if choice == 7:
        return bytes(reader.choose([0, 1, 20, 32, 48, 64, 66, 96, 132, 256, 512]))
    if choice == 8:
        return reader.take(reader.byte() % 64)
    if choice == 9:
        return []
    if choice == 10:
        return {}
    if choice == 11:
        return [generate(reader, context, document, depth + 1) for _ in range(reader.byte() % 4)]
    if choice == 12:
        return {reader.choose(KEYS): generate(reader, context, document, depth + 1) for _ in range(reader.byte() % 4)}
    if choice == 13:
        return Tagged(reader.choose(TAGS), generate(reader, context, document, depth + 1))
    if choice == 14:  # nesting past the decoder's limits (64 in glyphward_c2pa.cbor)
        nested: Any = reader.choose([0, "x", {}])
        kind = reader.byte() % 3
        for _ in range(reader.byte() % 160 + 1):
            nested = [nested] if kind == 0 else {"a": nested} if kind == 1 else Tagged(24, nested)
        return nested
    if choice == 15:  # a list that contains itself (shared-value tags 28 and 29)
        itself: List[Any] = [generate(reader, context, document, depth + 1)]
        itself.append(itself)
        return itself
    if choice == 16:
        return reader.choose([cbor2.undefined, cbor2.CBORSimpleValue(reader.byte() % 20),
                              cbor2.CBORSimpleValue(32 + reader.byte() % 224)])
    if choice == 17:
        return clone(get_slot(document, reader.choose(slots(document))))
    if choice == 18:
        return reader.choose(context.certificates)
    if choice == 19:
        return [reader.choose(context.certificates) for _ in range(1 + reader.byte() % 3)]
    if choice == 20:
        return "A" * reader.u16()
    return datetime.datetime(2026, 1, 1, tzinfo=datetime.timezone.utc) + datetime.timedelta(seconds=reader.u32())


# ---------------------------------------------------------------- mutations


def mutate_cbor(reader: Reader, context: Context, data: bytes, depth: int = 0) -> bytes:
    """One change to the CBOR in `data`, made with cbor2: an item replaced,
    a map key deleted, added or renamed, an item duplicated in its list, or
    bytes inside a byte string (a certificate, a nested protected header)
    changed; byte strings that hold CBOR can be descended into."""
    try:
        document = load(data)
    except ValueError:
        return data
    where = reader.choose(slots(document))
    current = get_slot(document, where)
    action = reader.byte() % 8
    if isinstance(current, bytes) and depth < 2 and action == 7:
        try:
            load(current)
        except ValueError:
            action = 6
        else:
            document = set_slot(document, where, mutate_cbor(reader, context, current, depth + 1))
            return dump(document, canonical=reader.byte() % 2 == 0)
    if action <= 2:
        document = set_slot(document, where, generate(reader, context, document))
    elif action == 3 and isinstance(current, dict):
        operation = reader.byte() % 3
        keys = list(current)
        if operation == 0 and keys:
            del current[reader.choose(keys)]
        elif operation == 1:
            current[reader.choose(KEYS)] = generate(reader, context, document)
        elif keys:
            key = reader.choose(keys)
            current[reader.choose(KEYS)] = current.pop(key)
    elif action == 4 and isinstance(current, list):
        kind = reader.byte() % 3
        if current and kind == 0:
            index = reader.u16() % len(current)
            current.insert(index, clone(current[index]))
        elif current and kind == 1:  # many of one (references, actions): for work that grows faster than the input
            item = current[reader.u16() % len(current)]
            count = reader.u16() % 4096 if reader.byte() % 8 == 0 else reader.byte() % 16
            count = min(count, EXPANSION_LIMIT // expanded_size(item))  # copies of a large item would not fit
            current.extend(clone(item) for _ in range(count))
        elif current:
            del current[reader.u16() % len(current)]
        else:
            current.append(generate(reader, context, document))
    elif action in (5, 6) and isinstance(current, bytes) and current:
        changed = bytearray(current)
        kind = reader.byte() % 4
        at = reader.u16() % len(changed)
        if kind == 0:
            changed[at] ^= reader.byte() or 1
        elif kind == 1:  # copy a byte from elsewhere in the string (an OID's last arc, say)
            changed[at] = changed[reader.u16() % len(changed)]
        elif kind == 2:
            del changed[at:at + 1 + reader.byte() % 16]
        else:
            changed[at:at] = reader.take(reader.byte() % 8)
        document = set_slot(document, where, bytes(changed))
    else:
        document = set_slot(document, where, generate(reader, context, document))
    return dump(document, canonical=reader.byte() % 4 == 0)


def _leaves(root: Node, box_type: Optional[bytes] = None) -> List[Node]:
    """The leaves of `root` (of one type); CBOR ones that are opaque are left out."""
    return [node for node, _ in walk(root) if node.children is None and (box_type is None or node.type == box_type)
            and not (node.opaque and box_type == jumbf.CBOR)]


def _superboxes(root: Node) -> List[Node]:
    return [node for node, _ in walk(root) if node.children is not None]


def _brotli(data: bytes, quality: int = 1) -> bytes:
    return brotli.compress(data, quality=quality) if brotli is not None else data


_BOMB: List[bytes] = []


def _bomb() -> bytes:
    """A brob payload that expands past the validator's 64 MiB limit."""
    if not _BOMB:
        _BOMB.append(_brotli(bytes(65 << 20)))
    return _BOMB[0]


def op_flip(reader: Reader, root: Node, context: Context) -> None:
    leaf = reader.choose(_leaves(root))
    if leaf is not None and leaf.payload:
        changed = bytearray(leaf.payload)
        changed[reader.u16() % len(changed)] ^= reader.byte() or 0x80
        leaf.payload = bytes(changed)


def op_length(reader: Reader, root: Node, context: Context) -> None:
    node = reader.choose([node for node, _ in walk(root)])
    real = len(serialize(node))
    choice = reader.byte() % 11
    value = reader.u32()
    if choice == 0:  # the same length, as an XLBox or not
        node.extended = not node.extended
        node.declared = None
    elif choice == 1:
        node.extended = True
        node.declared = reader.choose([0, 1, 15, real + 1, real + 8, 2 ** 63, 2 ** 64 - 1, value])
    else:
        node.extended = False
        node.declared = [0, 1, 7, 8, 9, real - 1, real + 1, 0xFFFFFFFF, value][choice - 2]


def op_cbor(reader: Reader, root: Node, context: Context) -> None:
    leaf = reader.choose(_leaves(root, jumbf.CBOR))
    if leaf is not None:
        leaf.payload = mutate_cbor(reader, context, leaf.payload)


def op_truncate(reader: Reader, root: Node, context: Context) -> None:
    leaf = reader.choose(_leaves(root))
    if leaf is not None and leaf.payload:
        leaf.payload = leaf.payload[:reader.u16() % len(leaf.payload)]


def _placed(root: Node) -> List[Tuple[Node, List[Node]]]:
    return [(node, holder) for node, holder in walk(root) if holder is not None]


def op_duplicate(reader: Reader, root: Node, context: Context) -> None:
    chosen = reader.choose(_placed(root))
    if chosen is not None:
        node, holder = chosen
        holder.insert(holder.index(node) + 1, copy.deepcopy(node))


def relabel(box: Node, label: Optional[str]) -> None:
    """Gives a superbox another label, keeping its type and toggles."""
    uuid, toggles, _ = description(box)
    if box.children:
        text = label.encode("utf-8", "surrogatepass") + b"\x00" if label is not None else b""
        box.children[0].payload = uuid + bytes([toggles | (jumbf.LABEL_PRESENT if label is not None else 0)]) + text


def op_repeat(reader: Reader, root: Node, context: Context) -> None:
    """Up to 2048 copies of a box after it; copies of a superbox can be
    instances of its label (label__1, label__2, ...: C2PA 2.2, 6.4)."""
    chosen = reader.choose(_placed(root))
    if chosen is None:
        return
    node, holder = chosen
    count = 1 + (reader.u16() % 2048 if reader.byte() % 8 == 0 else reader.byte() % 16)
    if count * len(serialize(node)) > MAX_STORE:
        return
    instances = reader.byte() % 2 == 0 and node.children is not None
    label = description(node)[2] or ""
    copies = []
    for number in range(count):
        twin = copy.deepcopy(node)
        if instances:
            relabel(twin, f"{label}__{number + 1}")
        copies.append(twin)
    at = holder.index(node) + 1
    holder[at:at] = copies


def op_delete(reader: Reader, root: Node, context: Context) -> None:
    chosen = reader.choose(_placed(root))
    if chosen is not None:
        node, holder = chosen
        holder.remove(node)


def op_nest(reader: Reader, root: Node, context: Context) -> None:
    """Wraps a box in superboxes, up to 48 deep (the reader allows 32)."""
    chosen = reader.choose(_placed(root))
    if chosen is None:
        return
    node, holder = chosen
    at = holder.index(node)
    uuid = reader.choose(UUIDS)
    label = reader.choose(LABELS + [None])
    wrapped = node
    for _ in range(1 + reader.byte() % 48):
        wrapped = make_superbox(uuid, label, [wrapped])
    holder[at] = wrapped


def op_move(reader: Reader, root: Node, context: Context) -> None:
    chosen = reader.choose(_placed(root))
    if chosen is None:
        return
    node, holder = chosen
    inside = {id(descendant) for descendant, _ in walk(node)}
    targets = [box for box in _superboxes(root) if id(box) not in inside]
    target = reader.choose(targets)
    if target is None or target.children is None:
        return
    holder.remove(node)
    target.children.insert(reader.byte() % (len(target.children) + 1), node)


def op_description(reader: Reader, root: Node, context: Context) -> None:
    box = reader.choose(_superboxes(root))
    if box is None or not box.children or box.children[0].type != jumbf.DESCRIPTION:
        return
    uuid, toggles, label = description(box)
    choice = reader.byte() % 5
    if choice == 0:
        uuid = reader.choose(UUIDS)
    elif choice == 1:
        toggles = reader.byte()
    elif choice == 2:
        label = reader.choose(LABELS + [None])
    elif choice == 3:  # a label another manifest of the store has
        labels_found = [description(other)[2] for other in _superboxes(root)]
        label = reader.choose([found for found in labels_found if found is not None])
    payload = (uuid or bytes(16)) + bytes([toggles if choice != 4 else toggles | reader.byte() & 0x1C])
    if toggles & jumbf.LABEL_PRESENT or choice == 4:
        payload += (label or "").encode("utf-8", "surrogatepass") + b"\x00"
    if choice == 4:  # the ID, signature and private box the toggles announce, or not quite
        payload += reader.take(reader.choose([0, 4, 32, 36, 8, 16]))
        if reader.byte() % 2:
            payload += serialize(Node(reader.choose(BOX_TYPES), reader.take(reader.byte() % 16)))
    box.children[0].payload = payload


def op_insert(reader: Reader, root: Node, context: Context) -> None:
    box = reader.choose(_superboxes(root))
    if box is None or box.children is None:
        return
    box_type = reader.choose(BOX_TYPES)
    choice = reader.byte() % 3
    if choice == 0:
        payload = dump(generate(reader, context, None))
    elif choice == 1:
        payload = reader.take(reader.byte())
    else:
        payload = b""
    new = Node(box_type, payload) if box_type != jumbf.SUPERBOX else make_superbox(
        reader.choose(UUIDS), reader.choose(LABELS), [Node(jumbf.CBOR, payload)])
    box.children.insert(reader.byte() % (len(box.children) + 1), new)


def _json_ready(value: Any, depth: int = 0, budget: Optional[List[int]] = None) -> Any:
    """The document as JSON can write it; at most 100,000 items (a graph of
    shared values would expand)."""
    budget = budget if budget is not None else [100_000]
    budget[0] -= 1
    if depth > 50 or budget[0] < 0:
        return None
    if isinstance(value, bytes):
        return value.hex()
    if isinstance(value, list):
        return [_json_ready(item, depth + 1, budget) for item in value]
    if isinstance(value, dict):
        return {str(key): _json_ready(item, depth + 1, budget) for key, item in value.items()}
    if isinstance(value, Tagged):
        return _json_ready(value.value, depth + 1, budget)
    if isinstance(value, (str, int, bool)) or value is None:
        return value
    if isinstance(value, float):
        return value if math.isfinite(value) else str(value)
    return str(value)


def op_json(reader: Reader, root: Node, context: Context) -> None:
    """Turns a CBOR assertion into a JSON one (C2PA 2.2, 11.1.4.3), or gives a
    JSON box odd text."""
    boxes = [box for box in _superboxes(root) if box.children and any(
        child.type in (jumbf.CBOR, jumbf.JSON) for child in box.children)
        and not any(child.opaque for child in box.children)]
    box = reader.choose(boxes)
    if box is None or box.children is None:
        return
    leaf = next(child for child in box.children if child.type in (jumbf.CBOR, jumbf.JSON))
    choice = reader.byte() % 4
    if choice == 0:
        try:
            text = json.dumps(_json_ready(load(leaf.payload))).encode()
        except ValueError:
            text = b"{"
    elif choice == 1:
        text = b"[" * (reader.u16() % 5000) + b"1" + b"]" * (reader.byte() % 2)
    elif choice == 2:
        text = b'{"a": ' + b"9" * (reader.u16() % 6000) + b"}"
    else:
        text = reader.take(reader.byte())
    leaf.type, leaf.payload = jumbf.JSON, text
    if box.children[0].type == jumbf.DESCRIPTION and reader.byte() % 4:
        uuid, toggles, label = description(box)
        box.children[0].payload = labels.JSON_CONTENT + box.children[0].payload[16:]


def op_compress(reader: Reader, root: Node, context: Context) -> None:
    """Replaces a manifest with a compressed manifest (C2PA 2.2, 11.2.4):
    right, truncated, a bomb, not Brotli, or under another label."""
    manifests = [box for box in root.children or [] if box.children is not None]
    manifest = reader.choose(manifests)
    if manifest is None or root.children is None:
        return
    _, _, label = description(manifest)
    choice = reader.byte() % 6
    compressed = _brotli(serialize(manifest))
    if choice == 1:
        compressed = compressed[:reader.u16() % max(len(compressed), 1)]
    elif choice == 2:
        compressed = _bomb()
    elif choice == 3:
        compressed = serialize(manifest)
    elif choice == 4:
        label = reader.choose(LABELS)
    elif choice == 5:
        compressed = _brotli(serialize(make_superbox(reader.choose(UUIDS), label, manifest.children[1:])))
    brob = Node(b"brob", compressed)
    replacement = make_superbox(labels.COMPRESSED_MANIFEST, label, [brob] * (1 + (reader.byte() % 8 == 0)))
    root.children[root.children.index(manifest)] = replacement


def op_certificate(reader: Reader, root: Node, context: Context) -> None:
    """Puts other certificates into a claim signature's x5chain, in the
    protected or the unprotected header, under label 33 or "x5chain"."""
    leaves = [leaf for box in _superboxes(root) if description(box)[0] == labels.CLAIM_SIGNATURE
              for leaf in box.children or [] if leaf.type == jumbf.CBOR and not leaf.opaque]
    leaf = reader.choose(leaves)
    if leaf is None:
        return
    try:
        document = load(leaf.payload)
        body = document.value
        protected = load(body[0]) if body[0] else {}
    except (ValueError, AttributeError, TypeError, IndexError, KeyError):
        return
    if not isinstance(body, list) or len(body) != 4 or not isinstance(protected, dict) \
            or not isinstance(body[1], dict):
        return
    chain: Any = [reader.choose(context.certificates) for _ in range(1 + reader.byte() % 3)]
    if len(chain) == 1 and reader.byte() % 2:
        chain = chain[0]
    label = reader.choose([33, "x5chain"])
    bucket = reader.byte() % 3
    if bucket in (0, 2):
        protected[label] = chain
    if bucket in (1, 2):
        body[1][label] = chain
    if bucket == 1 and reader.byte() % 2:
        protected.pop(33, None)
    body[0] = dump(protected)
    leaf.payload = dump(document)


def op_timestamp(reader: Reader, root: Node, context: Context) -> None:
    """Puts a time-stamp into a claim signature's unprotected header (C2PA
    2.2, 10.3.2.5.4): a v1 response (sigTst) or a v2 token (sigTst2) made at
    start-up, under the other label, several of them, a certificate or a
    value the input chooses in their place, or none."""
    leaves = [leaf for box in _superboxes(root) if description(box)[0] == labels.CLAIM_SIGNATURE
              for leaf in box.children or [] if leaf.type == jumbf.CBOR and not leaf.opaque]
    leaf = reader.choose(leaves)
    if leaf is None:
        return
    try:
        document = load(leaf.payload)
        unprotected = document.value[1]
    except (ValueError, AttributeError, TypeError, IndexError, KeyError):
        return
    if not isinstance(unprotected, dict):
        return
    stamps = [stamp for seed in [context.seed] + context.seeds for stamp in (seed.v1_response, seed.v2_token)
              if stamp is not None]
    label = reader.choose([cose.SIG_TST, cose.SIG_TST2])
    choice = reader.byte() % 6
    if choice == 5:
        unprotected.pop(cose.SIG_TST, None)
        unprotected.pop(cose.SIG_TST2, None)
    elif choice == 4:
        unprotected[label] = generate(reader, context, document)
    else:
        value = reader.choose(context.certificates) if choice == 2 or not stamps else stamps[reader.u16() % len(stamps)]
        unprotected[label] = {"tstTokens": [{"val": value}] * (1 + (choice == 3))}
    leaf.payload = dump(document)


def op_swap(reader: Reader, root: Node, context: Context) -> None:
    box = reader.choose([box for box in _superboxes(root) if box.children and len(box.children) > 1])
    if box is None or box.children is None:
        return
    first, second = reader.u16() % len(box.children), reader.u16() % len(box.children)
    box.children[first], box.children[second] = box.children[second], box.children[first]


def op_splice(reader: Reader, root: Node, context: Context) -> None:
    leaf = reader.choose(_leaves(root))
    if leaf is None:
        return
    at = reader.u16() % (len(leaf.payload) + 1)
    chunk = reader.take(1 + reader.byte() % 16)
    if reader.byte() % 2:
        leaf.payload = leaf.payload[:at] + chunk + leaf.payload[at:]
    else:
        leaf.payload = leaf.payload[:at] + chunk + leaf.payload[at + len(chunk):]


def op_another_manifest(reader: Reader, root: Node, context: Context) -> None:
    """Adds a manifest of another seed (signed, for another font) to the
    store, before or after this one, or makes a copy an update manifest."""
    if root.children is None:
        return
    other = reader.choose(context.seeds)
    manifests = [box for box in parse_boxes(other.store)[0].children or [] if box.children is not None]
    manifest = copy.deepcopy(manifests[0])
    if reader.byte() % 2 and manifest.children:
        _, toggles, label = description(manifest)
        manifest.children[0].payload = labels.UPDATE_MANIFEST + manifest.children[0].payload[16:]
    root.children.insert(reader.byte() % (len(root.children) + 1), manifest)


INGREDIENT_LABELS = ["c2pa.ingredient.v3", "c2pa.ingredient.v3__1", "c2pa.ingredient.v2", "c2pa.ingredient"]
RELATIONSHIPS = ["parentOf", "componentOf", "inputTo", "", "PARENTOF"]
INGREDIENT_ACTIONS = ["c2pa.opened", "c2pa.placed", "c2pa.removed", "c2pa.transcoded", "c2pa.repackaged",
                      "c2pa.edited.metadata", "c2pa.redacted"]


def op_ingredient(reader: Reader, root: Node, context: Context) -> None:
    """Adds an ingredient assertion (C2PA 2.2, 18.15) to a manifest's
    assertion store, and an action that names it to its actions assertion
    (first or last, as `parameters.ingredients` or the older
    `parameters.ingredient`): the fix-up then makes their hashes right."""
    manifests = [box for box in root.children or [] if box.children is not None]
    manifest = reader.choose(manifests)
    store = child_labelled(manifest, labels.ASSERTION_STORE_LABEL) if manifest is not None else None
    if store is None or store.children is None:
        return
    label = reader.choose(INGREDIENT_LABELS)
    value: Dict[str, Any] = {"title": "GlyphwardDemo.ttf", "format": "font/ttf", "instanceID": "xmp:iid:0",
                             "relationship": reader.choose(RELATIONSHIPS)}
    if reader.byte() % 4 == 0:
        value = {"relationship": generate(reader, context, None)}
    store.children.append(make_superbox(labels.CBOR_CONTENT, label, [Node(jumbf.CBOR, dump(value))]))
    reference: Dict[str, Any] = {"url": f"self#jumbf=c2pa.assertions/{label}", "hash": b""}
    action: Dict[str, Any] = {"action": reader.choose(INGREDIENT_ACTIONS),
                              "parameters": {"ingredients": [reference]} if reader.byte() % 4 else
                              {"ingredient": reference}}
    actions = next((box for box in store.children if box.children is not None
                    and (description(box)[2] or "").startswith("c2pa.actions")), None)
    leaf = next((child for child in actions.children or [] if child.type == jumbf.CBOR), None) \
        if actions is not None else None
    if leaf is None or leaf.opaque:
        return
    try:
        document = load(leaf.payload)
    except ValueError:
        return
    if isinstance(document, dict) and isinstance(document.get("actions"), list):
        if reader.byte() % 2:
            document["actions"].insert(0, action)
        else:
            document["actions"].append(action)
        leaf.payload = dump(document)


# ---------------------------------------------------------------- work that an input multiplies
#
# Shapes in which a few bytes ask the validator for much time or memory
# before any signature is checked (the Manifest Store is decoded first):
# shared values and string references in CBOR, huge integers, maps whose
# integer keys all hash alike, many hashed URIs naming one large box, many
# compressed manifests that each expand a lot, box hashes of many or grouped
# boxes, data-hash exclusions over table data, and boxes of type UUIDs that
# C2PA 2.2 does not define where it names one.

# Integers of thousands of digits (no str() in Python 3.11 past 4300), and
# just past 64 bits, for slots that hold numbers, URIs or algorithm names.
HUGE_INTEGERS = [10 ** 5000, -(10 ** 5000), 2 ** 64, -(2 ** 64) - 1, 2 ** 16384 - 1, -(2 ** 16384), 10 ** 4300]
HOT_KEYS = frozenset({"alg", "url", "start", "length", "hash", "pad", "pad2", "names", "boxes", "exclusions",
                      "relationship", "action", "actions", "activeManifest", "claimSignature", "thumbnail", "icon",
                      "instanceID", "signature", "created_assertions", "claim_generator_info", "data"})
EMBEDDED_FILE = bytes.fromhex("40CB0C32BB8A489DA70B2AD6F47F4369")  # ISO 19566-5's Embedded File content type
DATA_BOXES = _uuid(b"c2db")  # C2PA 2.2, 11.1.4.6
# Sizes a large box is made to (bytes), within MAX_STORE.
LARGE = [0, 4 << 10, 64 << 10, 256 << 10, 512 << 10, 900 << 10]
# What compressed manifests expand to: up to just under the validator's
# limit of 64 MiB for one (its glyphward_c2pa.validate.compressed.MAX_EXPANDED).
EXPANDED = [64 << 10, 1 << 20, 8 << 20, 32 << 20, 60 << 20, (64 << 20) - 64]


# The most items a list is repeated to (a box hash's boxes, a box's names):
# repetition multiplies, and the store's size is only checked after each op.
MAX_ITEMS = 1 << 14


def _count(reader: Reader) -> int:
    """How many copies: a few, or (one time in four) up to 8191."""
    return reader.u16() % 8192 if reader.byte() % 4 == 0 else reader.byte() % 32


def _hot_slots(document: Any) -> List[Slot]:
    return [slot for slot in slots(document) if isinstance(slot[0], dict) and slot[1] in HOT_KEYS]


def _cbor_document(reader: Reader, root: Node) -> Tuple[Optional[Node], Any]:
    leaf = reader.choose(_leaves(root, jumbf.CBOR))
    if leaf is None:
        return None, None
    try:
        return leaf, load(leaf.payload)
    except ValueError:
        return None, None


def op_shared(reader: Reader, root: Node, context: Context) -> None:
    """Shared values (CBOR tags 28 and 29) and string references (tags 256
    and 25) around and naming the items of a CBOR box: a chain of up to 64
    levels, each a list (or map) of the level below and a reference to it,
    which doubles at every level when expanded; an item shared and named by
    up to 8191 references after it (or, from inside, by itself); one long
    string named by up to 8191 references (added to a list, or in place of
    an item); or one of these tags wrapped around an item."""
    leaf, document = _cbor_document(reader, root)
    if leaf is None:
        return
    hot = _hot_slots(document)
    where = reader.choose(hot) if hot and reader.byte() % 2 else reader.choose(slots(document))
    current = get_slot(document, where)
    kind = reader.byte() % 4
    count = _count(reader)
    if kind == 0:
        item, as_map = current, reader.byte() % 2
        for _ in range(1 + reader.byte() % 64):
            shared = Tagged(28, item)
            item = {"a": shared, "b": SharedRef(shared)} if as_map else [shared, SharedRef(shared)]
        document = set_slot(document, where, item)
    elif kind == 1:
        shared = Tagged(28, current)
        document = set_slot(document, where, shared)
        container, key = where
        inside = slots(current)[1:] if isinstance(current, (list, dict)) else []
        if inside and reader.byte() % 4 == 0:  # a value that contains itself
            set_slot(current, reader.choose(inside), SharedRef(shared))
        elif isinstance(container, list):
            container[key + 1:key + 1] = [SharedRef(shared) for _ in range(count)]
        elif isinstance(container, dict):
            keys = list(container)
            for later in keys[keys.index(key) + 1:]:
                container[later] = SharedRef(shared)
    elif kind == 2:
        text = current if isinstance(current, (str, bytes)) and len(current) >= 3 else "A" * (3 + reader.u16())
        # The string first, so that it is the namespace's string 0 (C2PA's
        # CBOR allows no tag 256, cbor2 reads it); a list keeps its items.
        kept = current if isinstance(current, list) else []
        document = set_slot(document, where, Tagged(256, [text] + kept + [Tagged(25, 0) for _ in range(count)]))
        leaf.opaque = True  # decoded again, it would be written out expanded
        leaf.payload = dump(document)
        _OPAQUE.add(leaf.payload)
        return
    else:
        tag = reader.choose([25, 28, 29, 256])
        document = set_slot(document, where, Tagged(tag, reader.choose(HUGE_INTEGERS + [0, 1, count])
                                                    if tag in (25, 29) and reader.byte() % 2 else current))
    leaf.payload = dump(document)


def op_big_numbers(reader: Reader, root: Node, context: Context) -> None:
    """Huge integers (thousands of digits, or just past 64 bits, either
    sign) in up to four slots of a CBOR box, chosen among those that hold
    numbers, URIs or algorithm names (alg, url, start, length, ...); or up
    to 32767 integer keys that all hash alike added to one of its maps (or
    replacing one of its items)."""
    leaf, document = _cbor_document(reader, root)
    if leaf is None:
        return
    if reader.byte() % 2 == 0:
        places = _hot_slots(document) or slots(document)
        for _ in range(1 + reader.byte() % 4):
            document = set_slot(document, reader.choose(places), reader.choose(HUGE_INTEGERS))
        leaf.payload = dump(document)
        return
    count = 1 + (reader.u16() % 32767 if reader.byte() % 2 else reader.byte() % 64)
    colliding = CollidingKeys(reader.choose([0, 1, 7, 24, 2 ** 32]), count, reader.byte() % 3 - 1,
                              generate(reader, context, document, depth=4))
    maps = [slot for slot in slots(document) if isinstance(get_slot(document, slot), dict)]
    where = reader.choose(maps) if maps and reader.byte() % 2 else reader.choose(slots(document))
    current = get_slot(document, where)
    if isinstance(current, dict):  # the map keeps its entries, and has the colliding keys besides
        colliding.entries = current
    document = set_slot(document, where, colliding)
    leaf.payload = dump(document)
    leaf.opaque = True  # decoding it here would take as long as it is meant to take the validator
    _OPAQUE.add(leaf.payload)


def _manifests(root: Node) -> List[Node]:
    return [box for box in root.children or [] if box.children is not None]


def _grow(root: Node, box: Node, size: int, reserve: int = 0) -> None:
    """Makes `box` about `size` bytes larger with a `free` box of zeros, as
    far as the store stays within MAX_STORE (less `reserve`)."""
    room = MAX_STORE - len(content(root)) - reserve - 8
    if size and room > 0 and box.children is not None:
        box.children.append(Node(b"free", bytes(min(size, room))))


def _other_manifest(reader: Reader, root: Node, context: Context) -> Optional[Node]:
    """A manifest of the store before the active (last) one: one there, or
    the first of another seed's store put there under a label of its own."""
    manifests = _manifests(root)
    earlier = [box for box in manifests[:-1] if description(box)[2]]
    if reader.byte() % 4 and earlier:
        return reader.choose(earlier)
    if root.children is None or not manifests:
        return None
    other = copy.deepcopy(_manifests(parse_boxes(reader.choose(context.seeds).store)[0])[0])
    relabel(other, f"urn:c2pa:00000000-0000-4000-8000-{reader.u32():012x}")
    root.children.insert(root.children.index(manifests[-1]), other)
    return other


def _assertion_store(root: Node) -> Optional[Node]:
    manifests = _manifests(root)
    store = child_labelled(manifests[-1], labels.ASSERTION_STORE_LABEL) if manifests else None
    return store if store is not None and store.children is not None else None


def _instances(label: str, count: int, value: Any) -> List[Node]:
    """`count` CBOR assertions of `value`, labelled label, label__1, ..."""
    payload = dump(value)
    return [make_superbox(labels.CBOR_CONTENT, f"{label}__{number}" if number else label,
                          [Node(jumbf.CBOR, payload)]) for number in range(count)]


def op_many_ingredients(reader: Reader, root: Node, context: Context) -> None:
    """Up to 8191 ingredient assertions (C2PA 2.2, 18.15) in the active
    manifest that all name one large box: another manifest of the store,
    grown to up to 900 KB, by activeManifest (its hash covers the whole
    manifest), with or without claimSignature (its claim signature box),
    or as their thumbnail. The fix-up, with every assertion listed, makes
    the hashes right, so that the validator checks each of them."""
    store = _assertion_store(root)
    target = _other_manifest(reader, root, context) if store is not None else None
    if store is None or target is None or store.children is None:
        return
    count = 1 + _count(reader)
    _grow(root, target, reader.choose(LARGE), reserve=count * 400)
    url = f"self#jumbf=/{labels.MANIFEST_STORE_LABEL}/{description(target)[2]}"
    how = reader.byte() % 3
    value: Dict[str, Any] = {"title": "GlyphwardDemo.ttf", "format": "font/ttf",
                             "relationship": reader.choose(["componentOf", "inputTo", "parentOf"]),
                             "validationResults": {"activeManifest": {"success": [], "informational": [],
                                                                      "failure": []}}}
    if how < 2:
        value["activeManifest"] = {"url": url, "hash": b""}
    if how == 1:
        value["claimSignature"] = {"url": f"{url}/{labels.SIGNATURE_LABEL}", "hash": b""}
    if how == 2:
        value["thumbnail"] = {"url": url, "hash": b""}
    store.children.extend(_instances(reader.choose(INGREDIENT_LABELS[:1] + ["c2pa.ingredient.v2"]), count, value))


def _embedded_data(reader: Reader, root: Node) -> Optional[str]:
    """A large box of data in the active manifest, and the URI that names
    it: a data box store (C2PA 2.2, 11.1.4.6: c2db, c2pa.databoxes, CBOR
    boxes c2pa.data) or an embedded data assertion (18.12: c2pa.icon or
    c2pa.thumbnail.ingredient, an Embedded File box)."""
    manifests = _manifests(root)
    store = _assertion_store(root)
    if store is None or store.children is None or manifests[-1].children is None:
        return None
    size = reader.choose(LARGE)
    if reader.byte() % 2:
        data = {"dc:format": "image/png", "data": b""}
        box = make_superbox(DATA_BOXES, "c2pa.databoxes", [make_superbox(labels.CBOR_CONTENT, "c2pa.data", [
            Node(jumbf.CBOR, dump(data))])])
        manifests[-1].children.append(box)
        leaf = box.children[1].children[1] if box.children and box.children[1].children else None
        room = MAX_STORE - len(content(root)) - 64
        if leaf is not None and room > 0:
            data["data"] = bytes(min(size, room))
            leaf.payload = dump(data)
        return "self#jumbf=c2pa.databoxes/c2pa.data"
    label = reader.choose(["c2pa.icon", "c2pa.thumbnail.ingredient", "c2pa.thumbnail.claim"])
    box = make_superbox(EMBEDDED_FILE, label, [Node(b"bfdb", b"\x00image/png\x00"), Node(b"bidb", b"")])
    store.children.append(box)
    _grow(root, box, size)
    return f"self#jumbf={labels.ASSERTION_STORE_LABEL}/{label}"


def op_icons(reader: Reader, root: Node, context: Context) -> None:
    """Hashed URIs to a large box of embedded data, up to 8191 times: as the
    claim generator's icon (C2PA 2.2, 10.2.3), in the softwareAgent of as
    many actions and in as many action templates (18.14), and as the
    thumbnail of every ingredient assertion and of as many new ones."""
    url = _embedded_data(reader, root)
    store = _assertion_store(root)
    if url is None or store is None or store.children is None:
        return
    count = 1 + _count(reader)
    reference = {"url": url, "hash": b""}
    where = reader.byte() % 4
    if where == 0:
        claim_box = child_labelled(_manifests(root)[-1], labels.CLAIM_LABEL) or \
            child_labelled(_manifests(root)[-1], labels.LEGACY_CLAIM_LABEL)
        leaf = next((child for child in claim_box.children or [] if child.type == jumbf.CBOR), None) \
            if claim_box is not None else None
        claim = _loaded(leaf)
        if leaf is not None and isinstance(claim, dict):
            info = {"name": "glyphward fuzzing", "icon": reference}
            claim["claim_generator_info"] = info if reader.byte() % 2 else [dict(info) for _ in range(count)]
            leaf.payload = dump(claim)
    elif where in (1, 2):
        actions = next((box for box in store.children if box.children is not None
                        and (description(box)[2] or "").startswith("c2pa.actions")), None)
        leaf = next((child for child in actions.children or [] if child.type == jumbf.CBOR), None) \
            if actions is not None else None
        document = _loaded(leaf)
        if leaf is None or not isinstance(document, dict):
            return
        if where == 1 and isinstance(document.get("actions"), list):
            agent = {"name": "glyphward fuzzing", "icon": reference}
            document["actions"].extend({"action": "c2pa.edited", "softwareAgent": dict(agent)} for _ in range(count))
        else:
            document["templates"] = [{"action": "c2pa.edited", "icon": dict(reference)} for _ in range(count)]
        leaf.payload = dump(document)
    else:
        for box in store.children:
            if (description(box)[2] or "").startswith("c2pa.ingredient"):
                leaf = next((child for child in box.children or [] if child.type == jumbf.CBOR), None)
                document = _loaded(leaf)
                if leaf is not None and isinstance(document, dict):
                    document["thumbnail"] = dict(reference)
                    leaf.payload = dump(document)
        store.children.extend(_instances("c2pa.ingredient.v3", count, {
            "title": "thumbnail.png", "format": "image/png", "relationship": "inputTo", "thumbnail": reference}))


def _loaded(leaf: Optional[Node]) -> Any:
    if leaf is None or leaf.opaque:
        return None
    try:
        return load(leaf.payload)
    except ValueError:
        return None


def _assertion_leaf(root: Node, prefix: str) -> Optional[Node]:
    """The CBOR box of the first assertion whose label begins with `prefix`."""
    for box in _superboxes(root):
        if (description(box)[2] or "").startswith(prefix):
            leaf = next((child for child in box.children or [] if child.type == jumbf.CBOR), None)
            if leaf is not None and not leaf.opaque:
                return leaf
    return None


def _span_digest(font: bytes, tables: Sequence[Any], alg: str) -> bytes:
    """The hash of the bytes from the first table's start to the last's end,
    with head's checkSumAdjustment as zeros (C2PA 2.2, 18.7.3.6): what a box
    naming these tables holds."""
    start, end = tables[0].offset, tables[-1].offset + tables[-1].length
    data = bytearray(font[start:end])
    for table in tables:
        if table.tag == b"head" and start <= table.offset + 8 and table.offset + 12 <= end:
            data[table.offset + 8 - start:table.offset + 12 - start] = bytes(4)
    return hashlib.new(alg, bytes(data)).digest()


def op_box_hash(reader: Reader, root: Node, context: Context) -> None:
    """A box hash (C2PA 2.2, 18.7) whose boxes name several tables: a run of
    its boxes merged into one box naming them all, hashed over their span
    (right for a font filled in place, the seed's own layout), the C2PA
    table's box among them or not; or a huge number of boxes: its list
    repeated, or one box naming a table thousands of times."""
    leaf = _assertion_leaf(root, labels.HASH_BOXES)
    value = _loaded(leaf)
    if leaf is None or not isinstance(value, dict) or not isinstance(value.get("boxes"), list) or not value["boxes"]:
        return
    boxes = value["boxes"]
    alg = value.get("alg") if isinstance(value.get("alg"), str) and value["alg"] in labels.HASH_ALGORITHMS \
        else "sha256"
    tables = {table.name: table for table in context.tables}
    kind = reader.byte() % 3
    if kind == 0:
        first = reader.u16() % len(boxes)
        run = boxes[first:first + 2 + reader.byte() % len(boxes)]
        names = [name for box in run if isinstance(box, dict) and isinstance(box.get("names"), list)
                 for name in box["names"]]
        groups: List[List[Any]] = [[]]
        alone = reader.byte() % 4 != 0  # the C2PA table keeps a box of its own (C2PA 2.2, 18.7.1), or not
        for name in names:
            if name == "C2PA" and alone:
                groups += [[name], []]
            else:
                groups[-1].append(name)
        merged: List[Dict[str, Any]] = []
        for group in filter(None, groups):
            entry: Dict[str, Any] = {"names": group, "pad": b""}
            spanned = [tables[name] for name in group if isinstance(name, str) and name in tables]
            if group == ["C2PA"]:
                entry["hash"] = b"\x00"
            elif spanned and len(spanned) == len(group):
                entry["hash"] = _span_digest(context.seed.font, spanned, alg)
            merged.append(entry)
        boxes[first:first + len(run)] = merged
    elif kind == 1:  # at most MAX_ITEMS boxes (applied again, the copies would multiply)
        value["boxes"] = boxes * min(1 + _count(reader), max(MAX_ITEMS // len(boxes), 1))
    else:
        box = reader.choose(boxes)
        if isinstance(box, dict) and isinstance(box.get("names"), list) and box["names"]:
            box["names"] = box["names"] * min(1 + _count(reader), max(MAX_ITEMS // len(box["names"]), 1))
    leaf.payload = dump(value)


def op_exclusions(reader: Reader, root: Node, context: Context) -> None:
    """Data-hash exclusions (C2PA 2.2, 18.5) over table data: a whole table
    (head, glyf, the table directory...), part of one, everything, or up to
    8191 small ones across the font, beside the store's own exclusion; the
    hash made right for the seed's font (a store filled in place leaves
    everything outside it as it was), so that only the check of the
    exclusions stands between the font and a match."""
    leaf = _assertion_leaf(root, labels.HASH_DATA)
    value = _loaded(leaf)
    if leaf is None or not isinstance(value, dict) or not context.tables:
        return
    font = context.seed.font
    size = len(dump(value))
    listed = value.get("exclusions")
    kept = [(entry["start"], entry["length"]) for entry in listed if isinstance(entry, dict)
            and isinstance(entry.get("start"), int) and isinstance(entry.get("length"), int)] \
        if isinstance(listed, list) else []
    table = reader.choose(context.tables)
    kind = reader.byte() % 5
    if kind == 0:
        added = [(table.offset, table.length)]
    elif kind == 1:
        start = table.offset + reader.u16() % max(table.length, 1)
        added = [(start, 1 + reader.u16() % max(table.offset + table.length - start, 1))]
    elif kind == 2:
        added = [(0, 12 + 16 * len(context.tables))]  # the table directory
    elif kind == 3:
        added = [(0, len(font))]
    else:
        count = 1 + _count(reader)
        step = max(2, len(font) // count)
        added = [(at, 1) for at in range(0, len(font), step)][:count]
    if reader.byte() % 4:  # the store's exclusion kept as it is (what differs is then only the table data)
        added = [(start, length) for start, length in added
                 if not any(start < end + size and end < start + length for end, size in kept)]
    merged: List[Tuple[int, int]] = []
    for start, length in sorted(kept + added):
        if merged and start < merged[-1][0] + merged[-1][1]:
            continue  # keep them apart, as C2PA 2.2, 15.12.1 asks
        merged.append((start, length))
    value["exclusions"] = [{"start": start, "length": length} for start, length in merged]
    alg = value.get("alg") if isinstance(value.get("alg"), str) and value["alg"] in labels.HASH_ALGORITHMS \
        else "sha256"
    value["hash"] = hash_outside(font, merged, alg)
    for _ in range(3):  # the padding gives up what the exclusions take, so that the store fits where it was
        grown = len(dump(value)) - size
        if grown <= 0 or not isinstance(value.get("pad"), bytes) or not value["pad"]:
            break
        value["pad"] = bytes(max(len(value["pad"]) - grown, 0))
    leaf.payload = dump(value)


def op_unknown_type(reader: Reader, root: Node, context: Context) -> None:
    """Type UUIDs C2PA 2.2 does not define where it names one (11.1.4): the
    assertion store, the claim, the claim signature or a manifest given an
    unknown UUID (or another C2PA one), or a twin of one of them put beside
    it under the same label with an unknown type."""
    wanted = {labels.ASSERTION_STORE_LABEL, labels.CLAIM_LABEL, labels.LEGACY_CLAIM_LABEL, labels.SIGNATURE_LABEL}
    boxes = [(box, holder) for box, holder in walk(root) if holder is not None and box.children is not None and (
        description(box)[2] in wanted or description(box)[0] in labels.MANIFEST_TYPES)]
    chosen = reader.choose(boxes)
    if chosen is None:
        return
    box, holder = chosen
    choice = reader.byte() % 3
    uuid = reader.take(16).ljust(16, b"\x00") if choice == 0 else \
        _uuid(reader.take(4).ljust(4, b"?")) if choice == 1 else reader.choose(UUIDS)
    if reader.byte() % 2:
        twin = copy.deepcopy(box)
        holder.insert(holder.index(box) + reader.byte() % 2, twin)
        box = twin
    if box.children and box.children[0].type == jumbf.DESCRIPTION:
        box.children[0].payload = uuid + box.children[0].payload[16:]


_COMPRESSED: Dict[Tuple[bytes, int], bytes] = {}


def op_many_compressed(reader: Reader, root: Node, context: Context) -> None:
    """Up to 64 compressed manifests (C2PA 2.2, 11.2.4) that each expand to
    up to just under the validator's limit: a manifest padded with zeros to
    the size chosen and Brotli-compressed to a few hundred bytes, put before
    the active manifest as copies (or the active one replaced too)."""
    manifests = _manifests(root)
    manifest = reader.choose(manifests)
    if manifest is None or root.children is None or brotli is None:
        return
    label = description(manifest)[2]
    size = reader.choose(EXPANDED)
    count = 1 + (reader.byte() % 64 if reader.byte() % 4 == 0 else reader.byte() % 8)
    body = content(manifest)
    key = (hashlib.sha1(body).digest(), size)
    if key not in _COMPRESSED:
        if len(_COMPRESSED) > 16:
            _COMPRESSED.clear()
        # Compressed as it is made, a MiB of zeros at a time: never the
        # whole expanded manifest in memory here.
        padding = max(size - len(body) - 16, 0)
        compressor = brotli.Compressor(quality=2)
        parts = [compressor.process(struct.pack(">I4s", 16 + len(body) + padding, jumbf.SUPERBOX) + body +
                                    struct.pack(">I4s", 8 + padding, b"free"))]
        zeros = bytes(1 << 20)
        for left in range(padding, 0, -len(zeros)):
            parts.append(compressor.process(zeros[:left]))
        parts.append(compressor.finish())
        _COMPRESSED[key] = b"".join(parts)
    brob = make_superbox(labels.COMPRESSED_MANIFEST, label, [Node(b"brob", _COMPRESSED[key])])
    at = root.children.index(manifests[-1])
    root.children[at:at] = [copy.deepcopy(brob) for _ in range(count)]
    if reader.byte() % 4 == 0:
        root.children[root.children.index(manifests[-1])] = copy.deepcopy(brob)


def op_nothing(reader: Reader, root: Node, context: Context) -> None:
    """What a mutation that --without names does instead."""


# Mutations of the tree, and of the font once the store is embedded.
TREE_OPS: List[Callable[[Reader, Node, Context], None]] = [
    op_flip, op_length, op_cbor, op_cbor, op_cbor, op_truncate, op_duplicate, op_delete, op_nest, op_move,
    op_description, op_insert, op_json, op_compress, op_certificate, op_swap, op_splice, op_another_manifest,
    op_repeat, op_ingredient, op_timestamp, op_shared, op_big_numbers, op_many_ingredients, op_icons, op_box_hash,
    op_exclusions, op_unknown_type, op_many_compressed,
]
FONT_OPS = ("font-flip", "c2pa-field")
OPS = len(TREE_OPS) + len(FONT_OPS)


class Labels:
    """The first child superbox of each label, per superbox, found once: the
    fix-up looks up a box for every hashed URI, and stores of thousands of
    boxes are common here. The hash of a box is kept too (thousands of
    hashed URIs may name one large box) until a leaf inside it changes."""

    def __init__(self, root: Node) -> None:
        self.root = root
        self.index: Dict[int, Dict[Optional[str], Node]] = {}
        self.digests: Dict[Tuple[int, str], bytes] = {}
        self.parents: Optional[Dict[int, Node]] = None

    def digest(self, node: Node, alg: str) -> bytes:
        key = (id(node), alg)
        if key not in self.digests:
            self.digests[key] = hashlib.new(alg, content(node)).digest()
        return self.digests[key]

    def changed(self, leaf: Node) -> None:
        """Forgets the hashes of the boxes that hold `leaf`."""
        if self.parents is None:
            self.parents = {id(child): node for node, _ in walk(self.root) for child in node.children or []}
        node: Optional[Node] = leaf
        while node is not None:
            for alg in labels.HASH_ALGORITHMS:
                self.digests.pop((id(node), alg), None)
            node = self.parents.get(id(node))

    def child(self, node: Node, label: str) -> Optional[Node]:
        if id(node) not in self.index:
            children: Dict[Optional[str], Node] = {}
            for child in node.children or []:
                if child.children is not None:
                    children.setdefault(description(child)[2], child)
            self.index[id(node)] = children
        return self.index[id(node)].get(label)

    def target(self, manifest: Node, url: str) -> Optional[Node]:
        """The box a JUMBF URI names: an absolute one (/c2pa/...) from the
        store, a relative one from `manifest` by its last two labels; what
        a fix-up hashes."""
        path = url.partition("#jumbf=")[2].split("/")
        target: Optional[Node] = manifest
        if len(path) > 2 and path[0] == "" and path[1] == labels.MANIFEST_STORE_LABEL:
            target, path = self.root, path[2:]
        else:
            path = path[-2:]
        for label in path:
            target = self.child(target, label) if target is not None else None
        return target


def _fix_references(value: Any, manifest: Node, default: str, found: Labels) -> None:
    """Gives every hashed URI (a map with a text `url`) in `value` the hash
    of the box it names."""
    stack, seen = [value], set()
    while stack:
        item = stack.pop()
        if id(item) in seen:
            continue
        seen.add(id(item))
        if isinstance(item, list):
            stack.extend(item)
        elif isinstance(item, Tagged):
            stack.append(item.value)
        elif isinstance(item, dict):
            url = item.get("url")
            target = found.target(manifest, url) if isinstance(url, str) and "hash" in item else None
            if target is not None:
                alg = item.get("alg", default)
                if not isinstance(alg, str) or alg not in labels.HASH_ALGORITHMS:
                    alg = "sha256"
                item["hash"] = found.digest(target, alg)
            stack.extend(item.values())


def fix_up(root: Node, context: Context, declare: bool) -> None:
    """Makes the hashed URIs of every manifest match their boxes again (those
    in assertions, an action's ingredients say, then the claim's; with
    `declare`, the claim first lists every box of its assertion store as a
    created assertion), and signs each claim anew with the seed's key, so
    that validation goes past the hashes and the signature into what the
    mutations changed."""
    found = Labels(root)  # the fix-up changes payloads only, never which box is where
    for manifest in root.children or []:
        if manifest.children is None:
            continue
        store = child_labelled(manifest, labels.ASSERTION_STORE_LABEL)
        for leaf in _leaves(store, jumbf.CBOR) if store is not None else []:
            try:
                assertion = load(leaf.payload)
            except ValueError:
                continue
            _fix_references(assertion, manifest, "sha256", found)
            leaf.payload = dump(assertion)
            found.changed(leaf)
        claim = child_labelled(manifest, labels.CLAIM_LABEL) or child_labelled(manifest, labels.LEGACY_CLAIM_LABEL)
        signature = child_labelled(manifest, labels.SIGNATURE_LABEL)
        claim_leaf = next((child for child in claim.children or [] if child.type == jumbf.CBOR), None) \
            if claim is not None else None
        if claim_leaf is None or claim_leaf.opaque:
            continue
        try:
            value = load(claim_leaf.payload)
        except ValueError:
            continue
        if not isinstance(value, dict):
            continue
        if declare and store is not None:
            value["created_assertions"] = [
                {"url": f"self#jumbf={labels.ASSERTION_STORE_LABEL}/{description(box)[2]}", "hash": b""}
                for box in store.children or [] if box.children is not None and description(box)[2] is not None]
        claim_alg = value.get("alg")
        default = claim_alg if isinstance(claim_alg, str) and claim_alg in labels.HASH_ALGORITHMS else "sha256"
        for key in ("created_assertions", "gathered_assertions", "assertions", "claim_generator_info"):
            _fix_references(value.get(key), manifest, default, found)
        claim_leaf.payload = dump(value, canonical=True)
        found.changed(claim_leaf)
        for leaf in signature.children or [] if signature is not None else []:
            if leaf.type != jumbf.CBOR or leaf.opaque:
                continue
            try:
                document = load(leaf.payload)
                body = document.value
                if not isinstance(body[0], bytes):  # a mutated header (a graph of shared values, say): left as it is
                    continue
                body[3] = context.seed.sign(cose.to_be_signed(body[0], claim_leaf.payload))
            except Exception:  # not a COSE_Sign1 any more: leave it
                continue
            leaf.payload = dump(document)
            found.changed(leaf)


@dataclass
class Derived:
    font: bytes
    anchors: List[x509.Certificate]


def embed(seed: Seed, store: bytes, method: int, uri: str, base: bytes) -> Optional[bytes]:
    try:
        if method == 0 and len(store) <= seed.reserved and store:
            return glyphward.fill_manifest_store(seed.font, store)
        if method == 2:
            return glyphward.embed_manifest_store(base, store)
        if method == 3:
            reserved = glyphward.reserve_manifest_placeholder(base, max(len(store), 1), uri)
            return glyphward.fill_manifest_store(reserved, store) if store else reserved
        return glyphward.embed_manifest_store(seed.font, store)
    except ValueError:  # an empty store, say
        return None


@dataclass
class FontOp:
    """A change to the font once the store is in it: a byte flipped, or a
    field of the C2PA table's header (C2PA 2.2, A.3.9.2) set."""
    kind: str
    position: int
    value: int
    choice: int


def read_font_op(reader: Reader, kind: str) -> FontOp:
    return FontOp(kind, reader.u16(), reader.u32(), reader.u16())


def font_op(font: bytes, op: FontOp) -> bytes:
    changed = bytearray(font)
    if op.kind == "font-flip":
        changed[op.position % len(changed)] ^= op.value & 0xFF or 1
        return bytes(changed)
    try:
        table = next(t for t in glyphward_c2pa.sfnt.read_tables(font) if t.tag == b"C2PA")
    except (StopIteration, ValueError):
        return font
    # majorVersion, minorVersion, activeManifestUriOffset, activeManifestUriLength,
    # reserved, manifestStoreOffset, manifestStoreLength
    fields = [(0, ">H"), (2, ">H"), (4, ">I"), (8, ">H"), (10, ">H"), (12, ">I"), (16, ">I")]
    offset, form = fields[op.position % len(fields)]
    if table.offset + offset + struct.calcsize(form) <= len(changed):
        size = 8 * struct.calcsize(form)
        values = [0, 1, 19, 20, 21, table.length, table.length - 1, len(font), (1 << size) - 1, op.value]
        struct.pack_into(form, changed, table.offset + offset, values[op.choice % len(values)] % (1 << size))
    return bytes(changed)


def mutate(data: bytes, credentials: Credentials, seeds: List[Seed], base: bytes) -> Optional[Derived]:
    """The font a structure-aware input makes: one seed's store, parsed into
    a tree, changed by up to MAX_OPS mutations, optionally fixed up
    (hashes and signature made right again), embedded, and the font then
    optionally changed too. None when the store grows past MAX_STORE or
    MAX_DEPTH, or cannot be embedded.

    The input: a byte choosing the seed, a byte of flags, a byte choosing
    an active manifest URI, then operations, each an opcode byte and the
    bytes it reads. Flags: 0x01 validate with the trust anchor; 0x06 how the
    store goes in (0: filled into the signed font where it fits, else as 1;
    1: embedded into the signed font; 2: embedded into the unsigned font; 3:
    reserved with the URI in the unsigned font, then filled); 0x08 fix up;
    0x10 with it, list every assertion in the claim."""
    reader = Reader(data)
    _OPAQUE.clear()
    _SHARING[0] = False
    seed = seeds[reader.byte() % len(seeds)]
    flags = reader.byte()
    uri = TEXTS[reader.byte() % len(TEXTS)]
    context = Context(credentials, seed, seeds)
    root = parse_boxes(seed.store)[0]
    font_ops: List[FontOp] = []
    for _ in range(MAX_OPS):
        if not reader.left():
            break
        opcode = reader.byte() % OPS
        if opcode < len(TREE_OPS):
            TREE_OPS[opcode](reader, root, context)
            if depth(root) > MAX_DEPTH or len(content(root)) > MAX_STORE:
                return None
        else:
            font_ops.append(read_font_op(reader, FONT_OPS[opcode - len(TREE_OPS)]))
    if flags & 0x08:
        fix_up(root, context, declare=bool(flags & 0x10))
    store = serialize(root)
    if len(store) > MAX_STORE:
        return None
    font = embed(seed, store, (flags >> 1) & 3, uri, base)
    if font is None:
        return None
    for op in font_ops:
        font = font_op(font, op)
    return Derived(font, [credentials.root] if flags & 0x01 else [])


def replayable(derived: Derived) -> bytes:
    """A mode 0 or 1 input for the font a structure-aware input made."""
    if not derived.anchors:
        return bytes([MODE_FONT]) + derived.font
    der = derived.anchors[0].public_bytes(serialization.Encoding.DER)
    return bytes([MODE_FONT_ANCHOR]) + len(der).to_bytes(2, "big") + der + derived.font


# ---------------------------------------------------------------- the target


class Target:
    def __init__(self, crash_dir: Path, known: Set[str]):
        self.base = DEMO_FONT.read_bytes()
        self.credentials = make_credentials()
        self.workspace = tempfile.TemporaryDirectory(prefix="validator_fuzzer-")
        try:
            made = OpenSslStamper(Path(self.workspace.name), self.credentials.root, self.credentials.root_key)
            made.stamp(b"does openssl ts work here?", "sha256")
            stamper: Optional[OpenSslStamper] = made
        except (OSError, subprocess.SubprocessError) as error:
            print(f"== no time-stamped seeds: openssl ts does not work here ({error})", file=sys.stderr)
            stamper = None
        self.seeds = make_seeds(self.credentials, self.base, stamper)
        self.crash_dir = crash_dir
        self.known = known
        self.skipped: Set[str] = set()
        self.mutation_faults: Set[str] = set()

    def __call__(self, data: bytes) -> None:
        if not data:
            return
        mode, rest = mode_of(data), data[1:]
        try:
            if mode == MODE_FONT:
                verify(rest)
            elif mode == MODE_FONT_ANCHOR:
                anchors, font = anchor_and_font(rest)
                verify(font, anchors)
            elif mode == MODE_STORE:
                try:
                    font = glyphward.embed_manifest_store(self.base, rest)
                except ValueError:  # an empty store
                    return
                verify(font)
            elif mode == MODE_JUMBF:
                read_jumbf(rest)
            elif mode == MODE_CBOR:
                decode_cbor(rest)
            else:
                self.structured(rest)
        except Exception as error:
            if self.is_known(error):
                return
            print(f"\n== crash kind: {signature(error)}", file=sys.stderr, flush=True)
            raise

    def structured(self, rest: bytes) -> None:
        started = time.process_time()
        try:
            derived = mutate(rest, self.credentials, self.seeds, self.base)
        except Exception as error:  # a fault of the mutations here, not of the validator
            kind = signature(error)
            if kind not in self.mutation_faults:
                self.mutation_faults.add(kind)
                print(f"\n== WARNING: the mutations failed ({kind}), input skipped (a fault of this target, "
                      f"not of the validator):\n{traceback.format_exc()}", file=sys.stderr, flush=True)
            return
        took = time.process_time() - started
        if took > TIME_BOUND:  # a time-out now would be this target's own slowness, not the validator's
            print(f"\n== WARNING: the mutations took {took:.1f} s of CPU time (a fault of this target, not of the "
                  f"validator)", file=sys.stderr, flush=True)
        if derived is None:
            return
        try:
            verify(derived.font, derived.anchors)
        except Exception as error:
            if not self.is_known(error):
                self.crash_dir.mkdir(parents=True, exist_ok=True)
                replay = replayable(derived)
                path = self.crash_dir / f"derived-{hashlib.sha1(replay).hexdigest()}"
                path.write_bytes(replay)
                print(f"\n== derived input written to {path}", file=sys.stderr, flush=True)
            raise

    def is_known(self, error: BaseException) -> bool:
        """Whether --skip-known names the kind of this crash."""
        if not self.known:
            return False
        kind = signature(error)
        if kind in self.known:
            if kind not in self.skipped:
                self.skipped.add(kind)
                print(f"\n== skipping known crash {kind}", file=sys.stderr, flush=True)
            return True
        return False


def signature(error: BaseException) -> str:
    """ "ExceptionType module.py:function" of the innermost frame in
    glyphward_c2pa (or in this file, for a broken invariant)."""
    frames = traceback.extract_tb(error.__traceback__)
    inside = [frame for frame in frames if "glyphward_c2pa" in frame.filename] or frames[-1:]
    where = f"{os.path.basename(inside[-1].filename)}:{inside[-1].name}" if inside else "?"
    name = f"Failure({error.kind})" if isinstance(error, Failure) else type(error).__name__
    return f"{name} {where}"


# ---------------------------------------------------------------- seeds and command line


def _u16(value: int) -> bytes:
    return value.to_bytes(2, "big")


def _op(op: Callable[[Reader, Node, Context], None]) -> bytes:
    return bytes([TREE_OPS.index(op)])


def shape_inputs(seeds: List[Seed]) -> List[bytes]:
    """Structure-aware inputs that make the shapes of op_shared to
    op_many_compressed at about their largest, on the first seed of each
    binding: so that a run begins where the work an input multiplies is
    (the bytes follow the reads of each op)."""
    inputs: List[bytes] = []
    for binding in ("boxes", "data"):
        index = next((number for number, seed in enumerate(seeds) if seed.binding == binding), None)
        if index is None:
            continue
        root = parse_boxes(seeds[index].store)[0]
        leaves = _leaves(root, jumbf.CBOR)

        def leaf_of(prefix: str) -> Tuple[bytes, Any]:
            """The u16 that chooses the CBOR box of the first superbox
            labelled `prefix`..., and its document."""
            leaf = _assertion_leaf(root, prefix)
            return _u16(leaves.index(leaf) if leaf is not None else 0), _loaded(leaf)

        def slot_of(document: Any, key: Any, inside: bool = False) -> bytes:
            """The bytes that choose (not among the hot slots) the slot of
            `key` in the document's top map, or of the first item of the
            list or map there."""
            found = slots(document)
            value = document.get(key) if isinstance(document, dict) else None
            for number, (container, at) in enumerate(found):
                if (not inside and container is document and at == key) or (inside and container is value):
                    return b"\x00" + _u16(number)
            return b"\x00" + _u16(0)

        binding_label = labels.HASH_BOXES if binding == "boxes" else labels.HASH_DATA
        listed = "boxes" if binding == "boxes" else "exclusions"
        claim, claim_document = leaf_of(labels.CLAIM_LABEL)
        hashed, hashed_document = leaf_of(binding_label)
        second_box = hashed_document["boxes"][1] if binding == "boxes" else None
        names = b"\x00" + _u16(next((number for number, (container, at) in enumerate(slots(hashed_document))
                                     if container is second_box and at == "names"), 0))
        start = bytes([MODE_MUTATE, index])
        for flags, ops in [
            # a chain of shared values 48 levels deep, for the claim's assertions and the binding's list
            (0x01, _op(op_shared) + claim + slot_of(claim_document, "created_assertions") + b"\x00\x01\x00\x00\x2f"),
            (0x09, _op(op_shared) + hashed + slot_of(hashed_document, listed) + b"\x00\x01\x00\x01\x2f"),
            # the first item of the binding's list shared, and named 8000 times after it
            (0x09, _op(op_shared) + hashed + slot_of(hashed_document, listed, inside=True) + b"\x01\x00"
             + _u16(8000) + b"\x01"),
            # a 20,000-character string named 8000 times: the second box's names, the claim's assertions
            (0x09, _op(op_shared) + hashed + (names if binding == "boxes" else slot_of(hashed_document, "alg"))
             + b"\x02\x00" + _u16(8000) + _u16(20000)),
            (0x01, _op(op_shared) + claim + slot_of(claim_document, "created_assertions") + b"\x02\x00"
             + _u16(8000) + _u16(20000)),
            # huge integers in four of the binding's slots (fixed up and signed)
            (0x09, _op(op_big_numbers) + hashed + b"\x00\x03" + b"".join(_u16(n) + _u16(n % 2) for n in range(4))),
            # 30,000 negative keys that hash alike in the claim; 30,000 positive ones in the binding
            (0x01, _op(op_big_numbers) + claim + b"\x01\x01" + _u16(30000) + b"\x00\x02\x00\x01" + _u16(0)),
            (0x09, _op(op_big_numbers) + hashed + b"\x01\x01" + _u16(30000) + b"\x01\x02\x02\x01" + _u16(0)),
            # 1200 ingredients naming a manifest grown by 256 KB: by activeManifest, with claimSignature
            (0x19, _op(op_many_ingredients) + b"\x00" + _u16(1) + _u16(0) + _u16(7) + b"\x00" + _u16(1200)
             + _u16(3) + b"\x00" + _u16(0) + _u16(0)),
            (0x19, _op(op_many_ingredients) + b"\x00" + _u16(1) + _u16(0) + _u16(7) + b"\x00" + _u16(1200)
             + _u16(3) + b"\x01" + _u16(0) + _u16(0)),
            # hashed URIs naming a 256 KB box: 4000 actions' software agents to a data box, 2000
            # ingredients' thumbnails to an icon assertion
            (0x19, _op(op_icons) + _u16(3) + b"\x01\x00" + _u16(4000) + b"\x01"),
            (0x19, _op(op_icons) + _u16(3) + b"\x00" + _u16(0) + b"\x00" + _u16(2000) + b"\x03"),
            # exclusions over the fourth table, and 8000 of one byte, beside the store's
            (0x19, _op(op_exclusions) + _u16(3) + b"\x00\x01"),
            (0x19, _op(op_exclusions) + _u16(0) + b"\x04\x00" + _u16(8000) + b"\x01"),
            # an unknown type on the first box of the manifest C2PA 2.2 names the type of, and a twin of it
            (0x19, _op(op_unknown_type) + _u16(1) + b"\x00" + b"\x11" * 16 + b"\x00"),
            (0x19, _op(op_unknown_type) + _u16(1) + b"\x01" + b"abcd" + b"\x01\x01"),
            # 16 compressed manifests, each expanding to just under 64 MiB
            (0x01, _op(op_many_compressed) + _u16(0) + _u16(5) + b"\x00\x0f"),
        ] + ([
            # boxes of the box hash merged into one (hashed over their span); its boxes 1000 times over;
            # one box naming a table 8000 times
            (0x19, _op(op_box_hash) + b"\x00" + _u16(0) + b"\x40\x01"),
            (0x19, _op(op_box_hash) + b"\x01\x00" + _u16(1000)),
            (0x19, _op(op_box_hash) + b"\x02" + _u16(3) + b"\x00" + _u16(8000)),
        ] if binding == "boxes" else []):
            inputs.append(start + bytes([flags, 0]) + ops)
    return inputs


def write_seeds(directory: Path, target: Target) -> int:
    """The seed corpus: the signed fonts, their stores and their CBOR items
    in the direct modes, and each seed unmutated (and fixed up) in the
    structure-aware mode."""
    directory.mkdir(parents=True, exist_ok=True)
    inputs: List[bytes] = []
    anchor = target.credentials.root.public_bytes(serialization.Encoding.DER)
    for index, seed in enumerate(target.seeds):
        inputs += [bytes([MODE_FONT]) + seed.font,
                   bytes([MODE_FONT_ANCHOR]) + len(anchor).to_bytes(2, "big") + anchor + seed.font,
                   bytes([MODE_STORE]) + seed.store, bytes([MODE_JUMBF]) + seed.store]
        root = parse_boxes(seed.store)[0]
        inputs += [bytes([MODE_CBOR]) + leaf.payload for leaf in _leaves(root, jumbf.CBOR)]
        inputs += [bytes([MODE_JUMBF]) + serialize(box) for box in _superboxes(root)[1:3]]
        inputs += [bytes([MODE_MUTATE, index, flags, 0]) for flags in (0x00, 0x01, 0x09, 0x19, 0x04, 0x06)]
    inputs += shape_inputs(target.seeds)
    for data in inputs:
        (directory / hashlib.sha1(data).hexdigest()).write_bytes(data)
    return len(inputs)


def own_flag(argv: List[str], name: str) -> Optional[str]:
    for argument in argv:
        if argument.startswith(f"--{name}="):
            return argument.split("=", 1)[1]
    return None


def main(argv: List[str]) -> None:
    global MAX_STORE
    MAX_STORE = int(own_flag(argv, "max-store") or MAX_STORE)
    for name in filter(None, (own_flag(argv, "without") or "").split(",")):
        matching = [index for index, op in enumerate(TREE_OPS) if op.__name__ == name]
        if not matching:
            raise SystemExit(f"--without: no mutation {name}")
        for index in matching:
            TREE_OPS[index] = op_nothing
    if "--derive" in argv[1:-2]:  # --derive INPUT OUTPUT, after any --max-store and --without
        at = argv.index("--derive")
        source, output = argv[at + 1], argv[at + 2]
        target = Target(Path("."), set())
        data = Path(source).read_bytes()
        if mode_of(data) != MODE_MUTATE:
            raise SystemExit(f"{source} is not a structure-aware input; it replays as it is")
        derived = mutate(data[1:], target.credentials, target.seeds, target.base)
        if derived is None:
            raise SystemExit(f"{source} makes no font")
        Path(output).write_bytes(replayable(derived))
        print(f"wrote {output}")
        return
    artifact = next((a.split("=", 1)[1] for a in argv if a.startswith("-artifact_prefix=")), None)
    crash_dir = Path(own_flag(argv, "crash-dir") or (os.path.dirname(artifact) if artifact else "."))
    known_file = own_flag(argv, "skip-known")
    known = {line.strip() for line in Path(known_file).read_text().splitlines()
             if line.strip() and not line.startswith("#")} if known_file else set()
    target = Target(crash_dir, known)
    seeds_dir = own_flag(argv, "write-seeds")
    if seeds_dir is not None:
        print(f"wrote {write_seeds(Path(seeds_dir), target)} seeds to {seeds_dir}")
        return
    # The dispatch and the mutations are instrumented too: otherwise an input
    # of one mode that reaches the same code of glyphward_c2pa as one of
    # another (a raw font and the structure-aware input it came from) adds
    # nothing, and libFuzzer keeps only the smallest (no raw fonts at all).
    for function in [Target.__call__, Target.structured, mutate, mutate_cbor, generate, fix_up, embed, font_op,
                     *TREE_OPS]:
        atheris.instrument_func(function)
    atheris.Setup([argument for argument in argv if not argument.startswith("--")], target)
    atheris.Fuzz()


if __name__ == "__main__":
    main(sys.argv)
