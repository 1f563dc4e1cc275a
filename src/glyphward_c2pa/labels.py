"""The names C2PA gives to boxes and assertions: JUMBF type UUIDs, labels,
and the hash and signature algorithms it allows."""
from __future__ import annotations

from typing import Dict, FrozenSet


def _jumbf_uuid(fourcc: str) -> bytes:
    """A JUMBF type UUID of the form XXXXXXXX-0011-0010-8000-00AA00389B71,
    whose first four bytes are the ASCII `fourcc` (ISO 19566-5, and C2PA
    2.2, 11.1.4)."""
    return fourcc.encode("ascii") + bytes.fromhex("00110010800000AA00389B71")


# C2PA 2.2, 11.1.4.2 to 11.1.4.4 and 11.2.
MANIFEST_STORE = _jumbf_uuid("c2pa")
STANDARD_MANIFEST = _jumbf_uuid("c2ma")
UPDATE_MANIFEST = _jumbf_uuid("c2um")
COMPRESSED_MANIFEST = _jumbf_uuid("c2cm")
LEGACY_STANDARD_MANIFEST = _jumbf_uuid("c2md")  # accepted, never written (11.2.2)
ASSERTION_STORE = _jumbf_uuid("c2as")
CLAIM = _jumbf_uuid("c2cl")
CLAIM_SIGNATURE = _jumbf_uuid("c2cs")
DATA_BOX_STORE = _jumbf_uuid("c2db")  # deprecated, still read (11.1.4.6)

# JUMBF content types (ISO 19566-5, Annex B), which C2PA 2.2, 11.1.4.3
# permits for assertion boxes.
CBOR_CONTENT = _jumbf_uuid("cbor")
JSON_CONTENT = _jumbf_uuid("json")
XML_CONTENT = _jumbf_uuid("xml ")
UUID_CONTENT = _jumbf_uuid("uuid")
CODESTREAM_CONTENT = bytes.fromhex("6579D6FBDBA2446BB2AC1B82FEEB89D1")
EMBEDDED_FILE_CONTENT = bytes.fromhex("40CB0C32BB8A489DA70B2AD6F47F4369")
CONTENT_TYPES: FrozenSet[bytes] = frozenset({
    CBOR_CONTENT, JSON_CONTENT, XML_CONTENT, UUID_CONTENT, CODESTREAM_CONTENT, EMBEDDED_FILE_CONTENT})

MANIFEST_TYPES: Dict[bytes, str] = {
    STANDARD_MANIFEST: "standard",
    LEGACY_STANDARD_MANIFEST: "standard",
    UPDATE_MANIFEST: "update",
    COMPRESSED_MANIFEST: "compressed",
}

MANIFEST_STORE_LABEL = "c2pa"
ASSERTION_STORE_LABEL = "c2pa.assertions"
CLAIM_LABEL = "c2pa.claim.v2"
LEGACY_CLAIM_LABEL = "c2pa.claim"
SIGNATURE_LABEL = "c2pa.signature"

# C2PA 2.2, 11.1.2: a box whose JUMBF type is not recognised is skipped. What
# each C2PA superbox may hold, by type (11.1.4.2 to 11.1.4.6): manifests in
# the store; the assertion store, claim, claim signature and data box store
# in a manifest; content-type boxes in the assertion store; CBOR boxes in the
# data box store. A compressed manifest holds a brob box, no superbox.
_IN_MANIFEST: FrozenSet[bytes] = frozenset({ASSERTION_STORE, CLAIM, CLAIM_SIGNATURE, DATA_BOX_STORE})
RECOGNISED_CHILDREN: Dict[bytes, FrozenSet[bytes]] = {
    MANIFEST_STORE: frozenset(MANIFEST_TYPES),
    STANDARD_MANIFEST: _IN_MANIFEST,
    LEGACY_STANDARD_MANIFEST: _IN_MANIFEST,
    UPDATE_MANIFEST: _IN_MANIFEST,
    ASSERTION_STORE: CONTENT_TYPES,
    DATA_BOX_STORE: frozenset({CBOR_CONTENT}),
}

# Assertion labels.
HASH_DATA = "c2pa.hash.data"
HASH_BOXES = "c2pa.hash.boxes"
ACTIONS = "c2pa.actions"
ACTIONS_V2 = "c2pa.actions.v2"
INGREDIENT = "c2pa.ingredient"
INGREDIENT_V2 = "c2pa.ingredient.v2"
INGREDIENT_V3 = "c2pa.ingredient.v3"
FONT_INFO = "font.info"

# C2PA 2.2, 9.2 and 11.2.2: the hard bindings to content.
HARD_BINDINGS: FrozenSet[str] = frozenset({
    HASH_DATA, HASH_BOXES, "c2pa.hash.collection.data", "c2pa.hash.bmff.v2", "c2pa.hash.bmff.v3"})
ACTIONS_LABELS: FrozenSet[str] = frozenset({ACTIONS, ACTIONS_V2})
INGREDIENT_LABELS: FrozenSet[str] = frozenset({INGREDIENT, INGREDIENT_V2, INGREDIENT_V3})

# C2PA 2.2, 13.1: the allowed hash algorithms (the deprecated list is empty).
HASH_ALGORITHMS: FrozenSet[str] = frozenset({"sha256", "sha384", "sha512"})


def base_label(label: str) -> str:
    """An assertion label without its instance suffix (C2PA 2.2, 6.4:
    `c2pa.ingredient.v3__1` is an instance of `c2pa.ingredient.v3`)."""
    head, separator, tail = label.rpartition("__")
    return head if separator and tail.isdigit() else label
