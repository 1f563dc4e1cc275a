"""The Manifest Store of one new manifest, made (and made again, as
multiple step processing needs) around its hard binding: the claim, its
signature and its time-stamp (C2PA 2.2, 10.3 and 10.4)."""
from __future__ import annotations

import hashlib
import uuid
from datetime import datetime
from typing import Any, Dict, Optional, Sequence, Tuple

from cryptography.hazmat.primitives.serialization import Encoding

from .. import cbor, claim, manifest
from ..algorithms import time_stamp_hash
from ..assertions import hash_data
from ..cose import (IAT, PAD, SIG_TST2, X5CHAIN, Algorithm, countersignature_payload, encode_sign1,
                    signature_length, to_be_signed, verify_with_key)
from ..labels import STANDARD_MANIFEST
from ..signers import KeySigner, Signer
from .result import SigningError
from .time_stamper import TimeStamper

# Room kept for a time-stamp token beyond the largest one seen so far.
TOKEN_SLACK = 64


class Retry(Exception):
    """The reservation did not fit; try again with at least `room` for the token."""

    def __init__(self, room: int):
        super().__init__(room)
        self.room = room


class ManifestMaker:
    """Makes the Manifest Store of one manifest, given its hard binding: the
    other assertions, their hashed URIs and the protected header are made
    once, since multiple step processing makes the store several times."""

    def __init__(self, *, label: str, title: Optional[str], assertions: Sequence[Tuple[str, Any]], signer: Signer,
                 algorithm: Algorithm, now: datetime, alg: str, generator: Dict[str, Any],
                 earlier: Sequence[bytes] = (), kind: bytes = STANDARD_MANIFEST,
                 tsa: Optional[TimeStamper] = None):
        self.tsa = tsa
        self.earlier = list(earlier)
        self.kind = kind
        self.label = label
        self.signer = signer
        self.algorithm = algorithm
        self.alg = alg
        self.title = title
        self.generator = generator
        self.boxes = [manifest.assertion_box(name, value) for name, value in assertions]
        # C2PA 2.2, 10.3.2.2: hashed URIs are made with the claim's algorithm.
        self.references = [claim.HashedUri(claim.assertion_url(name), hashlib.new(alg, built.content).digest())
                           for (name, _), built in zip(assertions, self.boxes)]
        certificates = [certificate.public_bytes(Encoding.DER) for certificate in signer.certificates]
        self.protected = cbor.encode({1: algorithm.cose_id,
                                      X5CHAIN: certificates[0] if len(certificates) == 1 else certificates,
                                      IAT: int(now.timestamp())})
        self.instance_id = f"urn:uuid:{uuid.uuid4()}"

    def store(self, binding_label: Optional[str], binding: Any, signature: Optional[bytes] = None,
              token_room: int = 0, fill_to: Optional[int] = None) -> bytes:
        """The store with `binding` as its hard binding (an update manifest
        has none), its claim signed by the signer and time-stamped (or, to
        measure, with `signature` and `token_room` zero bytes in place),
        after the earlier manifests. With `fill_to`, the claim signature's
        unprotected `pad` header makes the store exactly that long (C2PA 2.2,
        10.4.4); Retry when it cannot."""
        boxes, references = list(self.boxes), list(self.references)
        if binding_label is not None:
            bound = manifest.assertion_box(binding_label, binding)
            boxes.insert(0, bound)
            references.insert(0, claim.HashedUri(claim.assertion_url(binding_label),
                                                 hashlib.new(self.alg, bound.content).digest()))
        claim_bytes = cbor.encode(claim.build(instance_id=self.instance_id, title=self.title, created=references,
                                              generator=self.generator, alg=self.alg))
        unprotected: Dict[str, Any] = {}
        if signature is None:
            signature = self.sign(to_be_signed(self.protected, claim_bytes))
            if self.tsa is not None:
                message = to_be_signed(self.protected, countersignature_payload(signature), "CounterSignature")
                token = self.tsa.stamp(message, time_stamp_hash(self.algorithm.name))
                unprotected[SIG_TST2] = {"tstTokens": [{"val": token}]}
        elif token_room:
            unprotected[SIG_TST2] = {"tstTokens": [{"val": bytes(token_room)}]}

        def assemble() -> bytes:
            assert signature is not None
            sign1 = encode_sign1(self.protected, unprotected, signature)
            return manifest.manifest_store(self.earlier + [
                manifest.manifest_box(self.label, boxes, claim_bytes, sign1, self.kind).data])

        store = assemble()
        if fill_to is not None and len(store) != fill_to:
            grow = fill_to - len(store) - 5  # the "pad" key (4 bytes) and an empty byte string (1 byte)
            pad = None if grow < 0 else hash_data.padding_alone(grow)
            if pad is None:
                raise Retry(self.tsa.token_size + TOKEN_SLACK + (1 if grow >= 0 else -grow) if self.tsa else 0)
            unprotected[PAD] = bytes(pad)
            store = assemble()
        return store

    def stand_in_signature(self) -> bytes:
        """Zeros as long as the signer's signatures, to measure a store."""
        return bytes(signature_length(self.signer.certificates[0].public_key(), self.algorithm))

    def sign(self, data: bytes) -> bytes:
        """The signer's signature over `data`, checked when the signer is
        not glyphward's own (a program, an HSM): its length, and that it
        verifies with the certificate's key."""
        signature = self.signer.sign(data)
        if isinstance(self.signer, KeySigner):
            return signature  # made here, with the certificate's own key
        key = self.signer.certificates[0].public_key()
        expected = signature_length(key, self.algorithm)
        if not isinstance(signature, bytes) or len(signature) != expected:
            length = len(signature) if isinstance(signature, (bytes, bytearray)) else "not"
            raise SigningError(f"the signature is {length} bytes; a {self.algorithm.name} signature with this "
                               f"certificate's key is {expected}")
        if not verify_with_key(key, self.algorithm, data, signature):
            raise SigningError("the signature does not verify with the signing certificate's key")
        return signature


def generator_info(name: str, version: str, caller: Optional[Tuple[str, str]]) -> Dict[str, Any]:
    """The claim's `claim_generator_info` (C2PA 2.2, 10.2.3.2): glyphward, or
    the caller's tool that signs with it (`caller`, a name and a version),
    with glyphward beside it in a field namespaced as 6.2.1 asks."""
    if caller is None:
        return {"name": name, "version": version}
    return {"name": caller[0], "version": caller[1], "org.glyphward.library": {"name": name, "version": version}}


