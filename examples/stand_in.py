"""The stand-in manifest of glyphward's signing demo, shared by the example
signer (stand_in_signer.py), the verifier (verify_font.py) and the demo
(sign_font.py).

The manifest made here is a STAND-IN, not a C2PA manifest: a small JSON
document holding the hash, the exclusion ranges, the algorithm and an Ed25519
signature over the hash. A real pipeline puts a C2PA Manifest Store (with a
c2pa.hash.data assertion over the same hash and ranges, signed by C2PA
signing software) in its place; the glyphward calls stay the same.
"""
from __future__ import annotations

import hashlib
import json
from pathlib import Path
from typing import List, Optional, Sequence, Tuple

import glyphward
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey, Ed25519PublicKey
from cryptography.hazmat.primitives.serialization import (
    Encoding,
    NoEncryption,
    PrivateFormat,
    PublicFormat,
    load_pem_private_key,
)

STAND_IN_FORMAT = "glyphward-demo/stand-in-manifest"
STAND_IN_NOTICE = (
    "STAND-IN for a real C2PA manifest, made by glyphward's signing demo. "
    "It is NOT a C2PA manifest and proves nothing beyond this demo."
)
HASH_ALGORITHM = "sha256"
SIGNATURE_ALGORITHM = "Ed25519"

Ranges = List[Tuple[int, int]]


def hash_outside(font: bytes, ranges: Sequence[Tuple[int, int]]) -> bytes:
    """SHA-256 over every byte of `font` that no range covers, in file order."""
    digest = hashlib.sha256()
    position = 0
    for start, length in sorted(ranges):
        if start > position:
            digest.update(font[position:start])
        position = max(position, start + length)
    digest.update(font[position:])
    return digest.digest()


def make_manifest(digest: bytes, ranges: Ranges, key: Ed25519PrivateKey) -> bytes:
    """The stand-in manifest: JSON binding the hash, signed with `key`."""
    return _manifest_json(digest, ranges, public_key_bytes(key), key.sign(digest))


def _manifest_json(digest: bytes, ranges: Ranges, public_key: bytes, signature: bytes) -> bytes:
    document = {
        "format": STAND_IN_FORMAT,
        "stand_in": True,
        "notice": STAND_IN_NOTICE,
        "hash": {
            "algorithm": HASH_ALGORITHM,
            "value": digest.hex(),
            "exclusions": [{"start": start, "length": length} for start, length in ranges],
        },
        "signature": {
            "algorithm": SIGNATURE_ALGORITHM,
            "signed_over": "the raw bytes of hash.value",
            "public_key": public_key.hex(),
            "value": signature.hex(),
        },
    }
    return json.dumps(document, indent=2, sort_keys=True).encode("utf-8") + b"\n"


def manifest_size_bound() -> int:
    """An upper bound on the stand-in manifest's size, to reserve.

    Every field has a fixed width except the numbers of the ranges, so the
    manifest built with three ranges of the widest possible numbers (64-bit)
    is at least as long as any real one. data_hash_ranges returns two or three
    ranges.
    """
    widest = (2**64 - 1, 2**64 - 1)
    return len(_manifest_json(bytes(32), [widest] * 3, bytes(32), bytes(64)))


def public_key_bytes(key: Ed25519PrivateKey) -> bytes:
    return key.public_key().public_bytes(Encoding.Raw, PublicFormat.Raw)


def new_key(path: Path) -> Ed25519PrivateKey:
    """A fresh Ed25519 key, saved to `path` (PEM, readable by its owner only)."""
    key = Ed25519PrivateKey.generate()
    pem = key.private_bytes(Encoding.PEM, PrivateFormat.PKCS8, NoEncryption())
    path.touch(mode=0o600, exist_ok=False)
    path.write_bytes(pem)
    return key


def load_key(path: Path) -> Ed25519PrivateKey:
    key = load_pem_private_key(path.read_bytes(), password=None)
    if not isinstance(key, Ed25519PrivateKey):
        raise ValueError(f"{path} does not hold an Ed25519 private key")
    return key


def read_manifest(font: bytes) -> dict:
    """The stand-in manifest from a signed font's Manifest Store.

    The store keeps the size that was reserved; the manifest is followed by
    zero bytes up to that size.
    """
    return json.loads(glyphward.read_manifest_store(font).rstrip(b"\0").decode("utf-8"))


CHECKS = ("is_compliant", "read manifest", "exclusion ranges", "data hash", "signature")


def verify(font: bytes, public_key: Optional[bytes] = None) -> Tuple[bool, List[Tuple[str, bool, str]]]:
    """Checks a signed font, with the module's reading calls only.

    Returns whether it verifies, and (check, passed, detail) for each check
    that ran; a check that cannot run stops the others. It verifies only when
    every one of CHECKS ran and passed. `public_key` is the raw Ed25519 key the
    signature must verify with; when it is None, the key recorded in the
    manifest is used (which shows the font is intact, not who signed it).
    """
    checks: List[Tuple[str, bool, str]] = []

    def check(name: str, passed: bool, detail: str = "") -> bool:
        checks.append((name, passed, detail))
        return passed

    try:
        compliant = glyphward.is_compliant(font)
    except ValueError as error:
        check("is_compliant", False, str(error))
        return False, checks
    check("is_compliant", compliant, "C2PA table well formed, whole-font checksum intact" if compliant else
          "missing C2PA content or bad whole-font checksum")
    try:
        manifest = read_manifest(font)
        ranges = [tuple(r) for r in glyphward.data_hash_ranges(font)]
    except (ValueError, UnicodeDecodeError) as error:
        check("read manifest", False, str(error))
        return False, checks
    if not check("read manifest", manifest.get("format") == STAND_IN_FORMAT,
                 f"format {manifest.get('format')!r}"):
        return False, checks

    recorded = [(r["start"], r["length"]) for r in manifest["hash"]["exclusions"]]
    check("exclusion ranges", recorded == ranges, f"{ranges}")
    digest = hash_outside(font, ranges)
    check("data hash", digest.hex() == manifest["hash"]["value"], f"{HASH_ALGORITHM} {digest.hex()}")

    key = public_key if public_key is not None else bytes.fromhex(manifest["signature"]["public_key"])
    try:
        Ed25519PublicKey.from_public_bytes(key).verify(bytes.fromhex(manifest["signature"]["value"]),
                                                      bytes.fromhex(manifest["hash"]["value"]))
        check("signature", True, f"{SIGNATURE_ALGORITHM}, public key {key.hex()}")
    except (InvalidSignature, ValueError) as error:
        check("signature", False, f"{SIGNATURE_ALGORITHM}: {error or 'invalid signature'}")
    verified = [name for name, _, _ in checks] == list(CHECKS) and all(passed for _, passed, _ in checks)
    return verified, checks


def print_verification(verified: bool, checks: List[Tuple[str, bool, str]]) -> None:
    print("verification:")
    for name, passed, detail in checks:
        print(f"  {'ok  ' if passed else 'FAIL'} {name}: {detail}")
    print("VERIFIED (with a stand-in manifest, not a real C2PA manifest)" if verified else
          "VERIFICATION FAILED")
