"""A signed font's active manifest taken apart into the fields the C2PA layer
builds it from, and put back together with the layer's own builders
(glyphward_c2pa.jumbf, .manifest, .cose, .cbor), so that a test changes ONE
field and the rest stays as the signer made it.

    parts = Parts.of(signed_font)          # the font's only manifest, decoded
    parts.claim["instanceID"] = 7          # one field changed
    font = parts.font_with()               # hashed URIs made anew, claim signed anew, store put back

`font_with(rehash=False)` keeps the claim's hashed URIs as they were (an
assertion changed after signing); `resign=False` keeps the old signature (a
claim or header changed after signing). The new store goes into the font's
store field in place, zeros after it, when it fits (a data-bound font then
still matches its exclusion range); otherwise a box-bound font is re-embedded.
"""
from __future__ import annotations

import hashlib
import struct
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional

import cbor2

import glyphward
from glyphward_c2pa import cbor, jumbf
from glyphward_c2pa.claim import assertion_url
from glyphward_c2pa.cose import ALGORITHMS, encode_sign1, sign_with_key, to_be_signed
from glyphward_c2pa.labels import (ASSERTION_STORE, ASSERTION_STORE_LABEL, CBOR_CONTENT, CLAIM, CLAIM_LABEL,
                                   CLAIM_SIGNATURE, MANIFEST_STORE, MANIFEST_STORE_LABEL, SIGNATURE_LABEL)


@dataclass
class Assertion:
    label: str
    value: Any                          # decoded CBOR (written back with the layer's encoder)
    uuid: bytes = CBOR_CONTENT          # the superbox's JUMBF type
    content_type: bytes = jumbf.CBOR    # the content box's type
    raw: Optional[bytes] = None         # content bytes to write instead of `value` encoded

    def box(self) -> jumbf.Built:
        payload = self.raw if self.raw is not None else cbor.encode(self.value)
        return jumbf.superbox(self.uuid, self.label, [jumbf.box(self.content_type, payload)])


@dataclass
class Parts:
    """Every field of a one-manifest store; the JUMBF types and labels too."""
    font: bytes
    key: Any                            # the private key that signs the claim
    algorithm: str                      # its COSE algorithm name
    manifest_label: str
    manifest_uuid: bytes
    assertions: List[Assertion]
    claim: Dict[str, Any]
    protected: Dict[Any, Any]
    unprotected: Dict[Any, Any]
    signature: bytes
    labels: Dict[str, str] = field(default_factory=lambda: {
        "store": MANIFEST_STORE_LABEL, "assertions": ASSERTION_STORE_LABEL, "claim": CLAIM_LABEL,
        "signature": SIGNATURE_LABEL})
    uuids: Dict[str, bytes] = field(default_factory=lambda: {
        "store": MANIFEST_STORE, "assertions": ASSERTION_STORE, "claim": CLAIM, "signature": CLAIM_SIGNATURE})
    extra_boxes: List[bytes] = field(default_factory=list)  # more children of the manifest superbox
    claim_raw: Optional[bytes] = None         # claim bytes to write instead of `claim` encoded

    @classmethod
    def of(cls, font: bytes, key: Any, algorithm: str) -> "Parts":
        top, _ = jumbf.read_superbox(store_of(font))
        (box,) = list(top.superboxes())
        children = {child.label: child for child in box.superboxes()}
        assertions = []
        for child in children[ASSERTION_STORE_LABEL].superboxes():
            (content,) = list(child.content_boxes())
            assertions.append(Assertion(child.label or "", cbor.decode(content.payload), child.uuid, content.type))
        (claim_box,) = list(children[CLAIM_LABEL].content_boxes())
        (signature_box,) = list(children[SIGNATURE_LABEL].content_boxes())
        sign1 = cbor2.loads(bytes(signature_box.payload)).value
        protected_bytes, unprotected, _, signature = sign1
        protected = cbor.decode(protected_bytes)
        assert cbor.encode(protected) == protected_bytes  # so that the header may be written anew from its map
        return cls(font, key, algorithm, box.label or "", box.uuid, assertions, cbor.decode(claim_box.payload),
                   protected, dict(unprotected), signature)

    def assertion(self, label: str) -> Assertion:
        (found,) = [assertion for assertion in self.assertions if assertion.label == label]
        return found

    def store(self, *, rehash: bool = True, resign: bool = True) -> bytes:
        """The Manifest Store of these parts: with `rehash`, the claim's
        created_assertions hash every assertion box as it is now (C2PA 2.2,
        8.4.2.3); with `resign`, the claim and the protected header are signed again."""
        boxes = [assertion.box() for assertion in self.assertions]
        if rehash:
            alg = self.claim["alg"]
            self.claim["created_assertions"] = [
                {"url": assertion_url(assertion.label), "hash": hashlib.new(alg, built.content).digest()}
                for assertion, built in zip(self.assertions, boxes)]
        claim_bytes = self.claim_raw if self.claim_raw is not None else cbor.encode(self.claim)
        protected = cbor.encode(self.protected)
        if resign:
            self.signature = sign_with_key(self.key, ALGORITHMS[self.algorithm], to_be_signed(protected, claim_bytes))
        sign1 = encode_sign1(protected, self.unprotected, self.signature)
        assertion_store = jumbf.superbox(self.uuids["assertions"], self.labels["assertions"],
                                         [built.data for built in boxes])
        claim = jumbf.superbox(self.uuids["claim"], self.labels["claim"], [jumbf.box(jumbf.CBOR, claim_bytes)])
        signature = jumbf.superbox(self.uuids["signature"], self.labels["signature"], [jumbf.box(jumbf.CBOR, sign1)])
        manifest = jumbf.superbox(self.manifest_uuid, self.manifest_label,
                                  [assertion_store.data, claim.data, signature.data] + self.extra_boxes)
        return jumbf.superbox(self.uuids["store"], self.labels["store"], [manifest.data]).data

    def font_with(self, *, rehash: bool = True, resign: bool = True) -> bytes:
        return put_store(self.font, self.store(rehash=rehash, resign=resign))


def store_field(font: bytes) -> bytes:
    return glyphward.read_manifest_store(font)


def store_of(font: bytes) -> bytes:
    """The Manifest Store at the start of the font's store field."""
    data = store_field(font)
    return data[:struct.unpack_from(">I", data)[0]]


def put_store(font: bytes, store: bytes) -> bytes:
    """The font with `store` in its store field: in place, zeros after it,
    when it fits; else embedded anew by the glyphward module."""
    old = store_field(font)
    if len(store) > len(old):
        return glyphward.embed_manifest_store(font, store)
    start = font.index(old)
    assert font.count(old) == 1
    return font[:start] + store + bytes(len(old) - len(store)) + font[start + len(old):]
