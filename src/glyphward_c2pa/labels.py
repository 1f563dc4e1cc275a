"""The names C2PA gives to boxes and assertions: JUMBF type UUIDs, labels,
and the hash and signature algorithms it allows."""
from __future__ import annotations

import re
from typing import Container, Dict, FrozenSet

from .algorithms import HASH_ALGORITHMS as _HASH_ALGORITHMS


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

# JUMBF content types (ISO 19566-5, Annex B) that C2PA 2.2 names for
# assertion boxes (11.1.4.3): CBOR and JSON, which glyphward decodes, and the
# codestream type, which "shall not be used for a C2PA assertion" (18.1).
CBOR_CONTENT = _jumbf_uuid("cbor")
JSON_CONTENT = _jumbf_uuid("json")
CODESTREAM_CONTENT = bytes.fromhex("6579D6FBDBA2446BB2AC1B82FEEB89D1")

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

class AnyTypeBut:
    """Every JUMBF type UUID but `excluded`: what an assertion store holds."""

    def __init__(self, excluded: FrozenSet[bytes]):
        self.excluded = excluded

    def __contains__(self, uuid: object) -> bool:
        return uuid not in self.excluded


# C2PA 2.2, 11.1.2: a box whose JUMBF type is not recognised is skipped. What
# each C2PA superbox may hold, by type (11.1.4.2 to 11.1.4.6): manifests in
# the store; the assertion store, claim, claim signature and data box store
# in a manifest; CBOR boxes in the data box store. A compressed manifest
# holds a brob box, no superbox. An assertion store holds assertion boxes,
# whose JUMBF type is their content type (11.1.4.3): any content type of
# ISO 19566-5, Annex B and its amendments, or one an entity defines for its
# own assertions (18, "Standard assertions", as ISO 19566-5, Table B.1
# instructs), but not the codestream content type, which "shall not be used
# for a C2PA assertion", nor C2PA's own superbox types. An assertion of a
# content type glyphward does not decode is still found and hash-checked;
# its bytes are bound like any other's.
_IN_MANIFEST: FrozenSet[bytes] = frozenset({ASSERTION_STORE, CLAIM, CLAIM_SIGNATURE, DATA_BOX_STORE})
ASSERTION_TYPES = AnyTypeBut(frozenset(MANIFEST_TYPES) | _IN_MANIFEST | {MANIFEST_STORE, CODESTREAM_CONTENT})
RECOGNISED_CHILDREN: Dict[bytes, Container[bytes]] = {
    MANIFEST_STORE: frozenset(MANIFEST_TYPES),
    STANDARD_MANIFEST: _IN_MANIFEST,
    LEGACY_STANDARD_MANIFEST: _IN_MANIFEST,
    UPDATE_MANIFEST: _IN_MANIFEST,
    ASSERTION_STORE: ASSERTION_TYPES,
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

HASH_ALGORITHMS = _HASH_ALGORITHMS  # C2PA 2.2, 13.1, named in algorithms.py

# The digital source type of a font drawn by people with digital tools: the
# IPTC term "digitalCreation" (C2PA 2.2, 18.14.4.5 takes the IPTC terms).
DIGITAL_CREATION = "http://cv.iptc.org/newscodes/digitalsourcetype/digitalCreation"

# C2PA 2.2, 6.2.1 and 6.2.2: a namespaced name, such as an assertion label or
# an action ("c2pa.actions.v2", "font.subset", "com.example.thing"):
# dot-separated components of letters, digits, "_" and "-".
NAMESPACED_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9_-]*(\.[A-Za-z0-9][A-Za-z0-9_-]*)+")


def is_label(text: str) -> bool:
    """True when `text` is a label C2PA 2.2, 6.2.2 admits for an assertion."""
    return NAMESPACED_NAME.fullmatch(text) is not None and "__" not in text


def base_label(label: str) -> str:
    """An assertion label without its instance suffix (C2PA 2.2, 6.4:
    `c2pa.ingredient.v3__1` is an instance of `c2pa.ingredient.v3`)."""
    head, separator, tail = label.rpartition("__")
    return head if separator and tail.isdigit() else label
