#!/usr/bin/env python3
"""An example signer for `glyphward sign`, making the demo's STAND-IN manifest.

    glyphward sign FONT... --signer "python3 examples/stand_in_signer.py --key KEY.pem" ...
    stand_in_signer.py --new-key KEY.pem     (makes a key and prints its public half)

It speaks the signer protocol of `glyphward sign`: it reads one JSON object on
standard input,

    {"font": ..., "reserved_font": PATH, "reserved_size": N,
     "hash": {"algorithm": "sha256", "value": HEX},
     "exclusions": [{"start": S, "length": L}, ...]}

checks the hash against the reserved font (a signer should not sign a hash it
was merely told), and writes the manifest, raw bytes, to standard output. On
any problem it explains on standard error and exits 1, so the font fails and
is not written.

The manifest is a STAND-IN, not a C2PA manifest: JSON holding the hash, the
exclusion ranges and an Ed25519 signature over the hash (see stand_in.py). A
real C2PA signer plugs in at the same place: given the same JSON, it writes a
C2PA Manifest Store whose c2pa.hash.data assertion carries this hash and
these exclusions.
"""
from __future__ import annotations

import json
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from stand_in import (  # noqa: E402
    HASH_ALGORITHM,
    hash_outside,
    load_key,
    make_manifest,
    new_key,
    public_key_bytes,
)

USAGE = "usage: stand_in_signer.py --key KEY.pem  |  stand_in_signer.py --new-key KEY.pem"


def fail(message: str) -> int:
    print(f"stand_in_signer: {message}", file=sys.stderr)
    return 1


def sign(key_path: Path) -> int:
    try:
        key = load_key(key_path)
    except (OSError, ValueError) as error:
        return fail(f"cannot load the key {key_path}: {error}")
    try:
        request = json.load(sys.stdin)
        algorithm, claimed = request["hash"]["algorithm"], request["hash"]["value"]
        ranges = [(item["start"], item["length"]) for item in request["exclusions"]]
        reserved_path, reserved_size = request["reserved_font"], request["reserved_size"]
    except (ValueError, KeyError, TypeError) as error:
        return fail(f"not a glyphward signing request: {error!r}")
    if algorithm != HASH_ALGORITHM:
        return fail(f"only {HASH_ALGORITHM} is supported, not {algorithm}")
    try:
        reserved = Path(reserved_path).read_bytes()
    except OSError as error:
        return fail(f"cannot read the reserved font: {error}")
    digest = hash_outside(reserved, ranges)
    if digest.hex() != claimed:
        return fail("the hash does not match the reserved font; not signing")
    manifest = make_manifest(digest, ranges, key)
    if len(manifest) > reserved_size:
        return fail(f"the manifest needs {len(manifest)} bytes, only {reserved_size} are reserved")
    sys.stdout.buffer.write(manifest)
    return 0


def main(argv: list) -> int:
    if len(argv) == 3 and argv[1] == "--key":
        return sign(Path(argv[2]))
    if len(argv) == 3 and argv[1] == "--new-key":
        try:
            key = new_key(Path(argv[2]))
        except OSError as error:
            return fail(f"cannot write {argv[2]}: {error}")
        print(public_key_bytes(key).hex())
        return 0
    print(USAGE, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
