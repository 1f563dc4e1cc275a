"""Untrusted values in messages: every value a manifest supplies is shown
through `shown`, which never raises and never grows with the input (a
5,000-digit integer has no str() in Python 3.11 and later; a label of a
megabyte must not become a message of a megabyte)."""
from __future__ import annotations

from typing import Any

# What a message shows of one value at most.
LIMIT = 80


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
