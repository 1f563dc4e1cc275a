"""Helpers for the end-to-end tests of `glyphward sign --cert` and `glyphward verify`.

- `key_args(credential)`: the `--cert`/`--key` options of a c2pa_pki credential.
- `manifests(store)` / `active(font)`: a Manifest Store walked with
  glyphward_c2pa.jumbf.read_superbox into its manifests, each with its claim's,
  its signature's and every assertion's payload by label (the walk by
  description labels is done here, not by the validator's code).
- Tampering: functions that take a signed font and return new bytes, each
  making one of the faults the tests expect a failure code for.
- A small JUMBF writer and a re-signer (`resign`), to make stores whose
  claim signature is good but whose content is what a test wants.
"""
from __future__ import annotations

import hashlib
import json
import struct
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional, Tuple

import cbor2
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, ed25519, padding, rsa
from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature
from cryptography.hazmat.primitives.serialization import Encoding

import glyphward
from cli_support import run
from glyphward_c2pa.jumbf import Box, SuperBox, read_superbox


def key_args(credential) -> List[str]:
    """`--cert CHAIN.pem --key KEY.pem` for a credential of the test PKI."""
    return ["--cert", str(credential.cert_pem), "--key", str(credential.key_pem)]


# ---------------------------------------------------------------------------
# Reading a Manifest Store

def _fourcc(uuid: bytes) -> str:
    """The four letters of a C2PA JUMBF type UUID (c2pa, c2ma, c2as, ...)."""
    return uuid[:4].decode("latin-1")


@dataclass
class Manifest:
    label: str
    kind: str                                   # c2ma (standard) or c2um (update)
    claim: bytes                                # the claim's CBOR
    signature: bytes                            # the COSE_Sign1_Tagged's CBOR
    assertions: Dict[str, bytes] = field(default_factory=dict)  # label: CBOR (or JSON) payload
    hashed: Dict[str, bytes] = field(default_factory=dict)      # label: what a hashed URI to it hashes
    box: Optional[SuperBox] = None

    def decoded(self, label: str) -> Any:
        return cbor2.loads(self.assertions[label])

    @property
    def claim_map(self) -> Dict[str, Any]:
        return cbor2.loads(self.claim)


def _only_payload(box: SuperBox) -> bytes:
    contents = [child for child in box.children if isinstance(child, Box)]
    assert len(contents) == 1 and not list(box.superboxes()), f"{box.label}: not a single content box"
    return bytes(contents[0].payload)


def _after_header(whole: bytes) -> bytes:
    """A superbox without its LBox, TBox (and XLBox): what C2PA 2.2, 8.4.2.3 hashes."""
    return whole[16:] if struct.unpack_from(">I", whole)[0] == 1 else whole[8:]


def manifests(store: bytes) -> List[Manifest]:
    """The manifests of `store` (its JUMBF box; zeros after it are ignored), in store order."""
    top, length = read_superbox(store)
    assert bytes(store[length:]).count(0) == len(store) - length, "non-zero bytes after the Manifest Store"
    assert (_fourcc(top.uuid), top.label) == ("c2pa", "c2pa")
    found = []
    for box in top.superboxes():
        parts = {child.label: child for child in box.superboxes()}
        assert set(parts) == {"c2pa.assertions", "c2pa.claim.v2", "c2pa.signature"}, sorted(map(str, parts))
        children = list(parts["c2pa.assertions"].superboxes())
        assertions = {child.label: _only_payload(child) for child in children}
        hashed = {child.label: _after_header(bytes(child.whole)) for child in children}
        found.append(Manifest(box.label, _fourcc(box.uuid), _only_payload(parts["c2pa.claim.v2"]),
                              _only_payload(parts["c2pa.signature"]), assertions, hashed, box))
    return found


def store_of(font: bytes) -> bytes:
    """The font's Manifest Store: its JUMBF box, without what follows it in the C2PA table."""
    field_bytes = glyphward.read_manifest_store(font)
    (length,) = struct.unpack_from(">I", field_bytes)
    return field_bytes[:length]


def active(font: bytes) -> Manifest:
    return manifests(store_of(font))[-1]


def c2pa_table_store_length(font: bytes) -> int:
    """manifestStoreLength of the font's C2PA table (C2PA 2.2, A.3.9.2), read from the table itself."""
    for tag, _, offset, _ in table_records(font):
        if tag == b"C2PA":
            return struct.unpack_from(">I", font, offset + 16)[0]
    raise AssertionError("no C2PA table")


# ---------------------------------------------------------------------------
# The font's table directory

def table_records(font: bytes) -> List[Tuple[bytes, int, int, int]]:
    """(tag, checksum, offset, length) of each table, in directory order."""
    (count,) = struct.unpack_from(">H", font, 4)
    return [struct.unpack_from(">4sIII", font, 12 + 16 * index) for index in range(count)]


def _checksum(data: bytes) -> int:
    data += bytes(-len(data) % 4)
    return sum(struct.unpack(f">{len(data) // 4}I", data)) & 0xFFFFFFFF


def rebuild(font: bytes, tables: List[Tuple[bytes, bytes]]) -> bytes:
    """An SFNT with `font`'s version and `tables` ((tag, data), directory order as given)."""
    count = len(tables)
    power = 1 << (count.bit_length() - 1)
    header = font[:4] + struct.pack(">HHHH", count, power * 16, power.bit_length() - 1, (count - power) * 16)
    offset = 12 + 16 * count
    directory, body = b"", b""
    for tag, data in tables:
        directory += struct.pack(">4sIII", tag, _checksum(data), offset + len(body), len(data))
        body += data + bytes(-len(data) % 4)
    return header + directory + body


def tables_of(font: bytes) -> List[Tuple[bytes, bytes]]:
    return [(tag, font[offset:offset + length]) for tag, _, offset, length in table_records(font)]


# ---------------------------------------------------------------------------
# Tampering: each returns the tampered font

def change_outline_byte(font: bytes) -> bytes:
    """One byte in the middle of the glyph outlines (glyf, or CFF) flipped; nothing else fixed."""
    for tag, _, offset, length in table_records(font):
        if tag in (b"glyf", b"CFF "):
            position = offset + length // 2
            return font[:position] + bytes([font[position] ^ 0x01]) + font[position + 1:]
    raise AssertionError("no outline table")


DSIG_STUB = struct.pack(">IHH", 1, 0, 0)  # a DSIG table holding no signature


def add_table(font: bytes, tag: bytes = b"DSIG", data: bytes = DSIG_STUB) -> bytes:
    """The font rebuilt with one more table, in tag order; every other table's bytes unchanged."""
    return rebuild(font, sorted(tables_of(font) + [(tag, data)]))


def swap_directory_records(font: bytes, first: bytes = b"glyf", second: bytes = b"head") -> bytes:
    """Two table records swapped in the directory; the tables' bytes stay where they are."""
    tags = [tag for tag, _, _, _ in table_records(font)]
    a, b = 12 + 16 * tags.index(first), 12 + 16 * tags.index(second)
    data = bytearray(font)
    data[a:a + 16], data[b:b + 16] = font[b:b + 16], font[a:a + 16]
    return bytes(data)


def replace_store(font: bytes, store: bytes) -> bytes:
    """The font with its Manifest Store's bytes replaced in place by `store`, which must
    fit; the rest of the store field is zeroed. Nothing else changes."""
    old = store_of(font)
    assert len(store) <= len(glyphward.read_manifest_store(font)) and font.count(old) == 1
    start = font.index(old)
    field_length = len(glyphward.read_manifest_store(font))
    return font[:start] + store + bytes(field_length - len(store)) + font[start + field_length:]


def _flip_last_byte_of(store: bytes, payload: bytes) -> bytes:
    assert store.count(payload) == 1
    end = store.index(payload) + len(payload)
    return store[:end - 1] + bytes([store[end - 1] ^ 0x01]) + store[end:]


def change_assertion(font: bytes, label: str = "font.info") -> bytes:
    """The last byte of one assertion's CBOR changed (in place)."""
    store = store_of(font)
    return replace_store(font, _flip_last_byte_of(store, active(font).assertions[label]))


def change_claim(font: bytes) -> bytes:
    """The claim's dc:title changed after signing (same length, still CBOR; in place)."""
    manifest = active(font)
    title = manifest.claim_map["dc:title"]
    old, new = cbor2.dumps(title), cbor2.dumps(title.swapcase())
    assert manifest.claim.count(old) == 1 and old != new
    claim = manifest.claim.replace(old, new)
    store = store_of(font)
    return replace_store(font, store.replace(manifest.claim, claim))


def change_signature(font: bytes) -> bytes:
    """The last byte of the COSE signature (the last element of COSE_Sign1) changed."""
    store = store_of(font)
    return replace_store(font, _flip_last_byte_of(store, active(font).signature))


# ---------------------------------------------------------------------------
# Writing JUMBF and re-signing: a store whose claim signature is good

def jumbf_box(box_type: bytes, payload: bytes) -> bytes:
    return struct.pack(">I4s", 8 + len(payload), box_type) + payload


def c2pa_uuid(fourcc: str) -> bytes:
    return fourcc.encode("ascii") + bytes.fromhex("00110010800000AA00389B71")


def superbox(fourcc: str, label: str, children: List[bytes]) -> bytes:
    description = jumbf_box(b"jumd", c2pa_uuid(fourcc) + b"\x03" + label.encode() + b"\x00")
    return jumbf_box(b"jumb", description + b"".join(children))


def cbor_assertion(label: str, value: Any) -> bytes:
    return superbox("cbor", label, [jumbf_box(b"cbor", cbor2.dumps(value, canonical=True))])


def sign_raw(key: Any, algorithm: str, data: bytes) -> bytes:
    """A signature over `data` in COSE's form, made with cryptography (RS256: PKCS #1 v1.5)."""
    if isinstance(key, ec.EllipticCurvePrivateKey):
        digest = {"ES256": hashes.SHA256(), "ES384": hashes.SHA384(), "ES512": hashes.SHA512()}[algorithm]
        r, s = decode_dss_signature(key.sign(data, ec.ECDSA(digest)))
        size = (key.curve.key_size + 7) // 8
        return r.to_bytes(size, "big") + s.to_bytes(size, "big")
    if isinstance(key, rsa.RSAPrivateKey):
        digest = {"256": hashes.SHA256(), "384": hashes.SHA384(), "512": hashes.SHA512()}[algorithm[2:]]
        if algorithm.startswith("RS"):
            return key.sign(data, padding.PKCS1v15(), digest)
        return key.sign(data, padding.PSS(padding.MGF1(digest), digest.digest_size), digest)
    assert isinstance(key, ed25519.Ed25519PrivateKey)
    return key.sign(data)


COSE_IDS = {"ES256": -7, "ES384": -35, "ES512": -36, "PS256": -37, "PS384": -38, "PS512": -39, "Ed25519": -8,
            "RS256": -257}


def json_assertion(label: str, text: str) -> bytes:
    """An assertion stored as JSON: `text` as it is, UTF-8 (a lone surrogate escape stays an escape)."""
    return superbox("json", label, [jumbf_box(b"json", text.encode("utf-8"))])


def resign(font: bytes, credential, *, assertions: Optional[Callable[[Dict[str, Any]], None]] = None,
           algorithm: str = "ES256", json_assertions: Optional[Dict[str, str]] = None) -> bytes:
    """The font's active manifest (of a font with one manifest) rebuilt and signed
    again with `credential` and `algorithm`: `assertions` may change the decoded
    assertions (label: value) first, and `json_assertions` (label: JSON text) stores
    those labels as JSON assertions instead (in place of a CBOR one of the same
    label); the claim's hashed URIs are made anew. The new
    store replaces the old in place when it fits the store field exactly, else it is
    embedded with glyphward.embed_manifest_store."""
    (manifest,) = manifests(store_of(font))
    values = {label: cbor2.loads(payload) for label, payload in manifest.assertions.items()}
    if assertions is not None:
        assertions(values)
    boxes = {label: cbor_assertion(label, value) for label, value in values.items()}
    boxes.update({label: json_assertion(label, text) for label, text in (json_assertions or {}).items()})
    claim = manifest.claim_map
    alg = claim["alg"]
    claim["created_assertions"] = [
        {"url": f"self#jumbf=c2pa.assertions/{label}", "hash": hashlib.new(alg, box[8:]).digest()}
        for label, box in boxes.items()]
    claim_bytes = cbor2.dumps(claim, canonical=True)
    chain = [certificate.public_bytes(Encoding.DER) for certificate in credential.chain]
    protected = cbor2.dumps({1: COSE_IDS[algorithm], 33: chain, "iat": cbor2.loads(
        cbor2.loads(manifest.signature).value[0])["iat"]}, canonical=True)
    to_be_signed = cbor2.dumps(["Signature1", protected, b"", claim_bytes])
    sign1 = cbor2.dumps(cbor2.CBORTag(18, [protected, {}, None, sign_raw(credential.key, algorithm, to_be_signed)]))
    store = superbox("c2pa", "c2pa", [superbox(manifest.kind, manifest.label, [
        superbox("c2as", "c2pa.assertions", list(boxes.values())),
        superbox("c2cl", "c2pa.claim.v2", [jumbf_box(b"cbor", claim_bytes)]),
        superbox("c2cs", "c2pa.signature", [jumbf_box(b"cbor", sign1)]),
    ])])
    if len(store) == len(glyphward.read_manifest_store(font)):
        return replace_store(font, store)
    return glyphward.embed_manifest_store(font, store)


# ---------------------------------------------------------------------------
# verify's JSON

def codes(record: Dict[str, Any], kind: str = "failure") -> List[str]:
    """The codes of one kind (success, informational, failure) in a verify --json record."""
    return [status["code"] for status in record["validation_results"].get("activeManifest", {}).get(kind, [])]


def verify_json(*fonts, options=()) -> Tuple[Any, Dict[str, Dict[str, Any]]]:
    """Runs `glyphward verify --json` over `fonts`: the run (exit status 0 or 1), and its
    records by path, which come in the order of the fonts."""
    result = run("verify", *fonts, "--json", *options)
    assert result.returncode in (0, 1), result.stderr
    records = json.loads(result.stdout)
    assert [record["path"] for record in records] == [str(font) for font in fonts]
    return result, {record["path"]: record for record in records}


def run_all(commands: List[List[Any]], workers: int = 4, env: Optional[Dict[str, str]] = None) -> List[Any]:
    """Runs several `glyphward` command lines at once (each through cli_support.run)."""
    from concurrent.futures import ThreadPoolExecutor

    with ThreadPoolExecutor(workers) as pool:
        return list(pool.map(lambda args: run(*args, env=env), commands))
