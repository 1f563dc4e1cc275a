"""CBOR as C2PA uses it, through cbor2: deterministic encoding for what we
write (C2PA 2.2, 10.1: RFC 8949, 4.2.1), and a decoder for what we read
that accepts one complete item and nothing that cannot be walked safely."""
from __future__ import annotations

import io
import re
from collections.abc import Mapping
from typing import Any, Set, Union

import cbor2

# Deeper than any C2PA structure; keeps hostile nesting far from Python's
# recursion limit.
MAX_DEPTH = 64

# The heads of tags 28 and 29 (shared values) in any of their encodings:
# without them no decoded value can contain itself, and the walk that
# checks for it is skipped (a byte string that happens to hold these bytes
# only costs the walk).
_SHARED_TAG = re.compile(rb"\xd8[\x1c\x1d]|\xd9\x00[\x1c\x1d]|\xda\x00{3}[\x1c\x1d]|\xdb\x00{7}[\x1c\x1d]")


class CborError(ValueError):
    """The bytes are not one well-formed CBOR item of the kind C2PA uses."""


def encode(value: Any) -> bytes:
    """The deterministic encoding of `value` (maps in the bytewise order of
    their encoded keys, which for keys of one major type, as in every map
    C2PA defines, is cbor2's canonical order)."""
    return cbor2.dumps(value, canonical=True)


def decode(data: Union[bytes, memoryview]) -> Any:
    """The one CBOR item that `data` holds, exactly.

    Raises CborError when it is not well-formed or has bytes after the item,
    and, when it uses the shared-value tags 28 and 29, when it contains
    itself or nests deeper than MAX_DEPTH. Containers inside tags may be the
    immutable ones cbor2 makes there (tuples, frozen dicts).
    """
    stream = io.BytesIO(data)
    try:
        value = cbor2.CBORDecoder(stream).decode()
    except RecursionError:
        raise CborError("CBOR nested too deeply") from None
    except Exception as error:  # cbor2 raises CBORDecodeError and, for some inputs, other errors
        raise CborError(f"not well-formed CBOR: {error}") from None
    if stream.tell() != len(data):
        raise CborError(f"{len(data) - stream.tell()} bytes after the CBOR item")
    if _SHARED_TAG.search(bytes(data)):
        return _plain(value, 0, set())
    return value


def plain(value: Any) -> Any:
    """`value` with tuples and frozen dicts (as cbor2 decodes the contents of
    tags) turned into lists and dicts; CborError on self-containment or
    nesting deeper than MAX_DEPTH."""
    return _plain(value, 0, set())


def _plain(value: Any, depth: int, path: Set[int]) -> Any:
    """`value` with the immutable containers cbor2 makes inside tags and map
    keys (tuples, frozen dicts) turned into lists and dicts, after checking
    depth and self-containment."""
    if depth > MAX_DEPTH:
        raise CborError(f"CBOR nested more than {MAX_DEPTH} deep")
    if isinstance(value, (str, bytes, int, float, bool)) or value is None:
        return value
    identity = id(value)
    if identity in path:
        raise CborError("a CBOR value that contains itself (shared-value tags)")
    path.add(identity)
    try:
        if isinstance(value, Mapping):
            return {_key(key, depth, path): _plain(item, depth + 1, path) for key, item in value.items()}
        if isinstance(value, (list, tuple)):
            return [_plain(item, depth + 1, path) for item in value]
        if isinstance(value, cbor2.CBORTag):
            return cbor2.CBORTag(value.tag, _plain(value.value, depth + 1, path))
        return value  # datetimes, big integers, other decoded semantic tags
    finally:
        path.discard(identity)


def _key(key: Any, depth: int, path: Set[int]) -> Any:
    plain = _plain(key, depth + 1, path)
    if isinstance(plain, (list, dict, cbor2.CBORTag)):
        return key  # a container as a map key stays in its hashable form
    return plain
