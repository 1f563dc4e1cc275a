"""CBOR as C2PA uses it, through cbor2: deterministic encoding for what we
write (C2PA 2.2, 10.1: RFC 8949, 4.2.1), and a decoder for what we read
that accepts one complete item and costs time and memory in proportion to
its bytes, whatever they hold.

A claim or an assertion is decoded before its signature is checked, so its
bytes are anyone's. Before cbor2 builds anything, `_measure` walks the heads
of the item (it decodes no value, it only counts) and refuses:

- an item whose Python form would take more than EXPANSION bytes for each
  byte of it (plus SLACK): every container, string and number is charged
  what cbor2 makes of it;
- a map key that is not an integer or a text string (C2PA 2.2's CDDL and
  COSE, RFC 9052, 3.1, use no other), so no key can be chosen to collide in
  a Python dict (an integer of CBOR's major types 0 and 1 shares its hash
  with at most 31 others);
- indefinite lengths, which the Core Deterministic Encoding Requirements
  that C2PA 2.2 sets for claims (10.1) and assertions (18) exclude.

- tags other than those C2PA 2.2 and COSE use: date/time (0, 1, the CDDL
  prelude's tdate), bignums (2, 3), COSE_Sign1 (18, RFC 9052), URI (32) and
  UUID (37, the CDDL's buuid). cbor2 gives other tags meanings of its own
  that cost more than their bytes: the packing tags (shared values 28/29,
  string references 256/25) make references that a walk of the value
  expands without end, sets (258) are hash tables whose members an attacker
  can make collide, regular expressions (35) and MIME messages (36) are
  parsed. They are refused, the same with every cbor2 version.
"""
from __future__ import annotations

import io
import re
from collections.abc import Mapping
from typing import Any, Dict, Set, Union

import cbor2

from .shown import one_line

# Deeper than any C2PA structure; keeps hostile nesting far from Python's
# recursion limit.
MAX_DEPTH = 64

# What the decoded form of an item may cost, in bytes of memory for each byte
# of the item, plus SLACK for each item decoded. A claim or an assertion of
# short maps, text and byte strings is charged 8 to 13 times its size (and
# takes 4 to 7 times in fact); the densest that glyphward writes, the
# Unicode ranges of a character action (C2PA 2.2, 18.14.1: a two-entry map
# of small integers for each range), about 23 times.
EXPANSION = 24
SLACK = 4096

# The tags a claim, an assertion or a COSE structure may hold (see above).
ALLOWED_TAGS = frozenset({0, 1, 2, 3, 18, 32, 37})

# What cbor2 makes of each kind of item, in bytes (sys.getsizeof under
# CPython 3.11 on a 64-bit machine, rounded up); the container holding it
# pays for the reference. Integers from -5 to 256 are shared objects.
_INT = 32
_FLOAT = 24
_TEXT = 56              # plus its bytes when they are ASCII, else 4 bytes for each
_BYTES = 40             # plus its bytes
_ARRAY = 88             # plus 9 for each element (a list grown by appending)
_SMALL_MAP = 224        # up to 5 entries; beyond, 56 for each entry and 128
_TAG = 56
_EMPTY = ((b"\x40", _BYTES), (b"\x60", _TEXT), (b"\x80", _ARRAY), (b"\xa0", _SMALL_MAP))


# One-byte items that decode to shared objects: integers -24 to 23 and the
# simple values false, true, null and undefined.
_FREE_RUN = re.compile(rb"[\x00-\x17\x20-\x37\xf4-\xf7]*")
_EMPTY_RUN = re.compile(rb"[\x40\x60\x80\xa0]*")
_RUN_HEADS = frozenset([*range(0x00, 0x18), *range(0x20, 0x38), 0xf4, 0xf5, 0xf6, 0xf7, 0x40, 0x60, 0x80, 0xa0])


class CborError(ValueError):
    """The bytes are not one well-formed CBOR item of the kind C2PA uses."""


def encode(value: Any) -> bytes:
    """The deterministic encoding of `value` (maps in the bytewise order of
    their encoded keys, which for keys of one major type, as in every map
    C2PA defines, is cbor2's canonical order)."""
    return cbor2.dumps(value, canonical=True)


def _decoder_options() -> Dict[str, Any]:
    """max_depth where this cbor2 takes it (5.9 and newer): a second guard
    beside `_measure`'s own depth check."""
    try:
        cbor2.CBORDecoder(io.BytesIO(b"\x00"), max_depth=MAX_DEPTH)
    except TypeError:
        return {}
    return {"max_depth": MAX_DEPTH}


_OPTIONS = _decoder_options()


def decode(data: Union[bytes, memoryview]) -> Any:
    """The one CBOR item that `data` holds, exactly.

    Raises CborError when it is not well-formed, has bytes after the item,
    nests deeper than MAX_DEPTH, or is refused by `_measure`. Containers
    inside tags and map keys may be the immutable ones cbor2 makes there
    (tuples, frozen dicts).
    """
    raw = bytes(data)
    length = _measure(raw)
    stream = io.BytesIO(raw)
    try:
        value = cbor2.CBORDecoder(stream, **_OPTIONS).decode()
    except RecursionError:
        raise CborError("CBOR nested too deeply") from None
    except Exception as error:  # cbor2 raises CBORDecodeError and, for some inputs, other errors
        raise CborError(f"not well-formed CBOR: {one_line(str(error))}") from None
    if length != len(raw) or stream.tell() != len(raw):
        raise CborError(f"{len(raw) - length} bytes after the CBOR item")
    return value


def _measure(data: bytes) -> int:
    """The length of the one item at the start of `data`, after walking its
    heads (RFC 8949, 3: major type, argument) to charge what cbor2 would make
    of it; CborError when the item is cut short, uses an indefinite length
    or a reserved head, has a map key that is neither an integer nor a text
    string, or would cost more than EXPANSION bytes for each of its bytes."""
    end = len(data)
    budget = EXPANSION * end + SLACK
    cost = 0
    position = 0
    # Open containers, innermost last: the items each still holds, doubled,
    # plus 1 for a map (whose keys are at the even counts).
    open_items = [2]
    while open_items:
        top = open_items[-1]
        if not top & 1 and top > 3 and position < end and data[position] in _RUN_HEADS:
            # A run of one-byte items in an array: small integers, false,
            # true, null and undefined (which cost nothing), or empty
            # strings, arrays and maps (charged by their counts), skipped
            # at once.
            stop = min(end, position + (top >> 1) - 1)
            run = _run(_FREE_RUN, data, position, stop)
            if not run:
                run = _run(_EMPTY_RUN, data, position, stop)
                cost += sum(data.count(head, position, position + run) * charge for head, charge in _EMPTY)
            position += run
            top -= 2 * run
            open_items[-1] = top
            if cost > budget:
                raise CborError(f"the CBOR item of {end} bytes would take more than {budget} bytes decoded")
        key = top & 1 and not top & 2
        if top > 3:
            open_items[-1] = top - 2
        else:
            open_items.pop()
        if position >= end:
            raise CborError("the CBOR item is cut short")
        head = data[position]
        major = head >> 5
        info = head & 31
        position += 1
        if info < 24:
            argument = info
        elif info < 28:
            size = 1 << (info - 24)
            if position + size > end:
                raise CborError("the CBOR item is cut short")
            argument = int.from_bytes(data[position:position + size], "big")
            position += size
        elif info == 31:
            raise CborError("an indefinite length, which C2PA's deterministic CBOR excludes (RFC 8949, 4.2.1)")
        else:
            raise CborError(f"a reserved CBOR head 0x{head:02x}")
        if key and major not in (0, 1, 3):
            raise CborError("a map key that is neither an integer nor a text string")
        if major < 2:
            if argument > 255:
                cost += _INT
        elif major < 4:
            if position + argument > end:
                raise CborError("the CBOR item is cut short")
            position += argument
            if major == 2:
                cost += _BYTES + argument
            else:
                cost += _TEXT + (argument if data[position - argument:position].isascii() else 4 * argument)
        elif major == 4:
            cost += _ARRAY + 9 * argument
            if argument:
                if argument > end:
                    raise CborError("an array longer than the bytes that hold it")
                open_items.append(2 * argument)
        elif major == 5:
            cost += _SMALL_MAP if argument <= 5 else 128 + 56 * argument
            if argument:
                if argument > end:
                    raise CborError("a map longer than the bytes that hold it")
                open_items.append(4 * argument + 1)
        elif major == 6:
            if argument not in ALLOWED_TAGS:
                raise CborError(f"the CBOR tag {argument}, which C2PA does not use")
            cost += _TAG
            open_items.append(2)
        elif info > 24:
            cost += _FLOAT
        if len(open_items) > MAX_DEPTH:
            raise CborError(f"CBOR nested more than {MAX_DEPTH} deep")
        if cost > budget:
            raise CborError(f"the CBOR item of {end} bytes would take more than {budget} bytes decoded")
    return position


def _run(pattern: "re.Pattern[bytes]", data: bytes, start: int, stop: int) -> int:
    """How many bytes from `start` (to `stop` at most) `pattern` matches."""
    match = pattern.match(data, start, stop)
    return match.end() - start if match is not None else 0


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
