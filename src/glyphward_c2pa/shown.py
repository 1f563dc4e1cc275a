"""Untrusted values in messages: every value a manifest supplies is shown
through `shown`, which never raises and never grows with the input (a
5,000-digit integer has no str() in Python 3.11 and later; a label of a
megabyte must not become a message of a megabyte); and every value a person
asks to see in full (`verify --show`) through `shown_value`, which keeps
its shape within fixed bounds."""
from __future__ import annotations

from typing import Any, Dict, List

# What a message shows of one value at most.
LIMIT = 80


def clipped(text: str, limit: int = 200) -> str:
    """`text` cut to at most `limit` characters, "..." marking the cut: the
    one shortener of messages (what it holds is escaped where it is shown)."""
    return text if len(text) <= limit else text[:max(limit - 3, 0)] + "..."


def one_line(text: str, limit: int = 200) -> str:
    """`text` (a message from a library, the network or a certificate) fit
    for a one-line message: whitespace runs made one space, characters that
    are not printable left out, and clipped to `limit` characters."""
    return clipped("".join(character for character in " ".join(text.split()) if character.isprintable()), limit)


def shown(value: Any, limit: int = LIMIT) -> str:
    """A short repr of `value` for a message: strings and byte strings cut to
    `limit` characters, integers of many digits by their size, containers by
    their kind and length."""
    if isinstance(value, bool) or value is None:
        return repr(value)
    if isinstance(value, int):
        if value.bit_length() > 64:
            return f"(an integer of {value.bit_length()} bits)"
        return repr(value)
    if isinstance(value, str):
        if len(value) > limit:
            return repr(value[:limit]) + f"... ({len(value)} characters)"
        return repr(value)
    if isinstance(value, (bytes, bytearray, memoryview)):
        data = bytes(value[:limit])
        if len(value) > limit:
            return repr(data) + f"... ({len(value)} bytes)"
        return repr(data)
    if isinstance(value, float):
        return repr(value)
    if isinstance(value, (list, tuple)):
        return f"(a list of {len(value)} items)"
    if isinstance(value, dict):
        return f"(a map of {len(value)} entries)"
    return f"(a {type(value).__name__})"


# What `shown_value` keeps of a value: characters of a text string, bytes of
# a byte string, items of a list or map, levels of nesting, and values in all.
TEXT_LIMIT = 1000
BYTES_LIMIT = 64
ITEMS_LIMIT = 100
DEPTH_LIMIT = 16
VALUES_LIMIT = 5000


def shown_value(value: Any) -> Any:
    """`value` (decoded CBOR or JSON) as JSON values, for a person to read,
    bounded whatever its size: RFC 8949, 6.1's conversion (a byte string as
    base64url without padding, a tag as its content, a NaN or infinity as
    null), with text cut after TEXT_LIMIT characters, a byte string after
    BYTES_LIMIT bytes, a list or map after ITEMS_LIMIT items (a last item
    says how many more), nesting cut after DEPTH_LIMIT levels and at most
    VALUES_LIMIT values in all; what is cut is said in words. A map key that
    is not text is shown as `shown` shows it. Never raises."""
    budget = [VALUES_LIMIT]
    return _shown_value(value, 0, budget)


def _shown_value(value: Any, depth: int, budget: List[int]) -> Any:
    import base64
    import math
    from datetime import datetime
    from uuid import UUID

    budget[0] -= 1
    if budget[0] < 0:
        return "(not shown: the limit of values shown is reached)"
    if isinstance(value, bool) or value is None:
        return value
    if isinstance(value, int):
        return value if value.bit_length() <= 64 else shown(value)
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, str):
        return value if len(value) <= TEXT_LIMIT else value[:TEXT_LIMIT] + f"... ({len(value)} characters)"
    if isinstance(value, (bytes, bytearray, memoryview)):
        data = bytes(value[:BYTES_LIMIT])
        text = base64.urlsafe_b64encode(data).decode("ascii").rstrip("=")
        return text if len(value) <= BYTES_LIMIT else text + f"... ({len(value)} bytes)"
    if isinstance(value, datetime):
        return value.isoformat()
    if isinstance(value, UUID):
        return str(value)
    tag_value = getattr(value, "value", None) if type(value).__name__ == "CBORTag" else None
    if tag_value is not None:
        return _shown_value(tag_value, depth, budget)
    if depth >= DEPTH_LIMIT and isinstance(value, (list, tuple, dict)):
        return shown(value)
    if isinstance(value, (list, tuple)):
        items = [_shown_value(item, depth + 1, budget) for item in value[:ITEMS_LIMIT]]
        if len(value) > ITEMS_LIMIT:
            items.append(f"(and {len(value) - ITEMS_LIMIT} more items)")
        return items
    if isinstance(value, dict):
        entries: Dict[str, Any] = {}
        for count, (key, item) in enumerate(value.items()):
            if count == ITEMS_LIMIT:
                entries["..."] = f"(and {len(value) - ITEMS_LIMIT} more entries)"
                break
            name = _shown_value(key, DEPTH_LIMIT, budget) if isinstance(key, str) else shown(key)
            entries[str(name)] = _shown_value(item, depth + 1, budget)
        return entries
    return shown(value)
