"""JUMBF boxes (ISO 19566-5) as C2PA 2.2, 11.1 uses them: a strict reader
and a writer.

A box is LBox (4 bytes, big-endian: the box's whole length), TBox (4 bytes:
its type), and when LBox is 1, XLBox (8 bytes: the length); then the
payload. A superbox has TBox `jumb`; its payload is a description box
(`jumd`: a type UUID, toggles, and the label, ID, signature and private box
the toggles announce) followed by content boxes and superboxes.

The reader never copies payloads: boxes hold memoryviews of the input. It
refuses every length that does not fit its container, nesting deeper than
`MAX_DEPTH`, and description boxes that do not parse, with a `JumbfError`.
"""
from __future__ import annotations

import struct
from dataclasses import dataclass, field
from typing import Dict, Iterator, List, Optional, Tuple, Union

from .shown import shown

SUPERBOX = b"jumb"
DESCRIPTION = b"jumd"
CBOR = b"cbor"
JSON = b"json"

# Description box toggles (ISO 19566-5, A.3; C2PA 2.2, 11.1.4.1.2).
REQUESTABLE = 0x01
LABEL_PRESENT = 0x02
ID_PRESENT = 0x04
SIGNATURE_PRESENT = 0x08
PRIVATE_PRESENT = 0x10

# A C2PA Manifest Store nests five deep (store, manifest, assertion store,
# assertion, content); anything far deeper is not a store.
MAX_DEPTH = 32

# The longest label read. C2PA's labels are short (a manifest's is a URN of a
# UUID, 8.1; an assertion's a dotted name, 6.2); every status a validator
# reports repeats its box's label in its URL, so a label of megabytes would
# make a report of gigabytes.
MAX_LABEL = 256

# C2PA 2.2, 11.1.4.1.1: characters a label must not contain.
_FORBIDDEN_IN_LABEL = frozenset("/;?#\ufeff\uffff")


class JumbfError(ValueError):
    """The bytes are not the JUMBF structure they claim to be."""


@dataclass
class Box:
    """A content box: its type and payload."""
    type: bytes
    payload: memoryview


@dataclass
class SuperBox:
    """A JUMBF superbox: its description and children.

    `content` is everything after the superbox's own header (the
    description box and the children), which is what a hashed URI to the
    box hashes (C2PA 2.2, 8.4.2.3); `offset` is where the superbox starts
    in the bytes it was read from.
    """
    uuid: bytes
    label: Optional[str]
    toggles: int
    children: List[Union[Box, "SuperBox"]]
    content: memoryview
    offset: int = 0
    private: Optional[Box] = None
    whole: memoryview = field(default_factory=lambda: memoryview(b""))  # the box, header included
    _by_label: Optional[Dict[Optional[str], List["SuperBox"]]] = field(default=None, repr=False, compare=False)

    def superboxes(self) -> Iterator["SuperBox"]:
        for child in self.children:
            if isinstance(child, SuperBox):
                yield child

    def content_boxes(self) -> Iterator[Box]:
        for child in self.children:
            if isinstance(child, Box):
                yield child

    def find(self, label: str) -> List["SuperBox"]:
        """The child superboxes labelled `label` (more than one makes a
        JUMBF URI to it ambiguous: C2PA 2.2, 8.4.1)."""
        if self._by_label is None:
            self._by_label = {}
            for box in self.superboxes():
                self._by_label.setdefault(box.label, []).append(box)
        return list(self._by_label.get(label, ()))


def _header(data: memoryview, position: int, end: int) -> Tuple[bytes, int, int]:
    """Reads a box header at `position`: (type, payload start, box end)."""
    if end - position < 8:
        raise JumbfError(f"a box header at offset {position} runs past the end of its container")
    length, box_type = struct.unpack_from(">I4s", data, position)
    start = position + 8
    if length == 1:
        if end - position < 16:
            raise JumbfError(f"the extended length of the box at offset {position} runs past its container")
        (length,) = struct.unpack_from(">Q", data, start)
        start += 8
    elif length == 0:
        length = end - position  # "to the end of its container"
    if length < start - position:
        raise JumbfError(f"the box at offset {position} declares a length ({length}) shorter than its header")
    if length > end - position:
        raise JumbfError(f"the box at offset {position} declares {length} bytes; its container holds "
                         f"{end - position}")
    return bytes(box_type), start, position + length


def _read_label(payload: bytes, position: int) -> Tuple[str, int]:
    terminator = payload.find(b"\x00", position, position + MAX_LABEL + 1) - position
    if terminator < 0:
        if payload.find(b"\x00", position) >= 0:
            raise JumbfError(f"a description box's label is longer than {MAX_LABEL} bytes")
        raise JumbfError("a description box's label is not null-terminated")
    raw = payload[position:position + terminator]
    try:
        label = raw.decode("utf-8")
    except UnicodeDecodeError:
        raise JumbfError("a description box's label is not UTF-8") from None
    for character in label:
        code = ord(character)
        if code < 0x20 or 0x7F <= code <= 0x9F or character in _FORBIDDEN_IN_LABEL:
            raise JumbfError(f"the label {shown(label)} holds a character C2PA 2.2, 11.1.4.1.1 does not permit")
    return label, position + terminator + 1


def _read_description(payload: memoryview) -> Tuple[bytes, int, Optional[str], Optional[Box]]:
    if len(payload) < 17:
        raise JumbfError("a description box is shorter than its type and toggles")
    uuid = bytes(payload[:16])
    toggles = payload[16]
    position = 17
    label: Optional[str] = None
    private: Optional[Box] = None
    if toggles & LABEL_PRESENT:
        label, position = _read_label(payload.tobytes(), position)
    if toggles & ID_PRESENT:
        position += 4
    if toggles & SIGNATURE_PRESENT:
        position += 32
    if position > len(payload):
        raise JumbfError("a description box is shorter than its toggles announce")
    if toggles & PRIVATE_PRESENT:
        box_type, start, end = _header(payload, position, len(payload))
        private = Box(box_type, payload[start:end])
        position = end
    if position != len(payload):
        raise JumbfError(f"a description box holds {len(payload) - position} bytes after its fields")
    return uuid, toggles, label, private


def _read_superbox(data: memoryview, position: int, start: int, end: int, depth: int) -> SuperBox:
    if depth > MAX_DEPTH:
        raise JumbfError(f"superboxes are nested more than {MAX_DEPTH} deep")
    if start == end:
        raise JumbfError(f"the superbox at offset {position} has no description box")
    description_type, description_start, description_end = _header(data, start, end)
    if description_type != DESCRIPTION:
        raise JumbfError(f"the superbox at offset {position} does not begin with a description box")
    uuid, toggles, label, private = _read_description(data[description_start:description_end])
    children: List[Union[Box, SuperBox]] = []
    cursor = description_end
    while cursor < end:
        box_type, child_start, child_end = _header(data, cursor, end)
        if box_type == SUPERBOX:
            children.append(_read_superbox(data, cursor, child_start, child_end, depth + 1))
        else:
            children.append(Box(box_type, data[child_start:child_end]))
        cursor = child_end
    return SuperBox(uuid, label, toggles, children, data[start:end], position, private, data[position:end])


def read_superbox(data: Union[bytes, memoryview]) -> Tuple[SuperBox, int]:
    """Reads the superbox at the start of `data`; returns it and the number
    of bytes it occupies (what follows is the caller's to judge)."""
    view = memoryview(data)
    box_type, start, end = _header(view, 0, len(view))
    if box_type != SUPERBOX:
        raise JumbfError(f"the data begins with a {box_type!r} box, not a JUMBF superbox")
    return _read_superbox(view, 0, start, end, 1), end


def box_length(data: Union[bytes, memoryview]) -> Optional[int]:
    """The length the box header at the start of `data` declares, or None
    when there is no complete header."""
    view = memoryview(data)
    if len(view) < 8:
        return None
    (length,) = struct.unpack_from(">I", view, 0)
    if length == 1:
        if len(view) < 16:
            return None
        (length,) = struct.unpack_from(">Q", view, 8)
    elif length == 0:
        return len(view)
    return int(length)


# Writing.

def box(box_type: bytes, payload: bytes) -> bytes:
    """A box of `box_type` holding `payload`."""
    length = 8 + len(payload)
    if length > 0xFFFFFFFF:
        return struct.pack(">I4sQ", 1, box_type, length + 8) + payload
    return struct.pack(">I4s", length, box_type) + payload


def description(uuid: bytes, label: str) -> bytes:
    """A description box for a C2PA box: requestable, labelled (C2PA 2.2,
    11.1.4.1.2)."""
    return box(DESCRIPTION, uuid + bytes([REQUESTABLE | LABEL_PRESENT]) + label.encode("utf-8") + b"\x00")


@dataclass
class Built:
    """A superbox made by `superbox`: its bytes, and its content (the part a
    hashed URI hashes, C2PA 2.2, 8.4.2.3)."""
    data: bytes
    header_length: int = field(default=8)

    @property
    def content(self) -> bytes:
        return self.data[self.header_length:]


def superbox(uuid: bytes, label: str, children: List[bytes]) -> Built:
    """A labelled, requestable superbox of `uuid` holding `children`."""
    data = box(SUPERBOX, description(uuid, label) + b"".join(children))
    return Built(data, 16 if struct.unpack_from(">I", data)[0] == 1 else 8)
