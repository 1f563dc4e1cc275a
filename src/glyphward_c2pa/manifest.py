"""Writing a C2PA Manifest Store (C2PA 2.2, 11.1.4): the assertion store,
the claim and its signature in a manifest, the manifests in a store."""
from __future__ import annotations

import uuid
from typing import Any, List, Sequence

from . import cbor, jumbf
from .labels import (ASSERTION_STORE, ASSERTION_STORE_LABEL, CBOR_CONTENT, CLAIM, CLAIM_LABEL, CLAIM_SIGNATURE,
                     MANIFEST_STORE, MANIFEST_STORE_LABEL, SIGNATURE_LABEL, STANDARD_MANIFEST)


def new_label() -> str:
    """A manifest label: a c2pa URN with a random (version 4) UUID (C2PA
    2.2, 8.1), written in lower case as RFC 9562 asks."""
    return f"urn:c2pa:{uuid.uuid4()}"


def assertion_box(label: str, value: Any) -> jumbf.Built:
    """An assertion superbox holding `value` as CBOR (C2PA 2.2, 11.1.4.3)."""
    return jumbf.superbox(CBOR_CONTENT, label, [jumbf.box(jumbf.CBOR, cbor.encode(value))])


def claim_box(claim: bytes) -> jumbf.Built:
    return jumbf.superbox(CLAIM, CLAIM_LABEL, [jumbf.box(jumbf.CBOR, claim)])


def signature_box(signature: bytes) -> jumbf.Built:
    return jumbf.superbox(CLAIM_SIGNATURE, SIGNATURE_LABEL, [jumbf.box(jumbf.CBOR, signature)])


def manifest_box(label: str, assertions: Sequence[jumbf.Built], claim: bytes, signature: bytes,
                 kind: bytes = STANDARD_MANIFEST) -> jumbf.Built:
    """A manifest superbox: its assertion store, claim and claim signature."""
    store = jumbf.superbox(ASSERTION_STORE, ASSERTION_STORE_LABEL, [assertion.data for assertion in assertions])
    return jumbf.superbox(kind, label, [store.data, claim_box(claim).data, signature_box(signature).data])


def manifest_store(manifests: List[bytes]) -> bytes:
    """The Manifest Store superbox; the last manifest is the active one
    (C2PA 2.2, 10.4.3)."""
    return jumbf.superbox(MANIFEST_STORE, MANIFEST_STORE_LABEL, manifests).data
