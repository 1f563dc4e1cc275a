"""Calls that the glyphward stubs must reject.

Checked with `mypy --strict` (scripts/check-types.sh). Each line carries the
ignore comment for the error it must cause; --strict warns about an unused
ignore, so a stub that accepted one of these calls fails the check.
"""
from __future__ import annotations

import glyphward

font = b"\0\1\0\0"

glyphward.embed_manifest_store("font", b"store")  # type: ignore[arg-type]
glyphward.embed_manifest_store(font, "a str is not a store")  # type: ignore[arg-type]
glyphward.embed_manifest_store(font, [1.5])  # type: ignore[list-item]
glyphward.embed_remote(font, None)  # type: ignore[arg-type]
glyphward.embed_remote(font, b"https://example.com")  # type: ignore[arg-type]
glyphward.reserve_manifest_placeholder(font, "1024")  # type: ignore[arg-type]
glyphward.reserve_manifest_placeholder(font, 1024, uri=b"u")  # type: ignore[arg-type]
glyphward.reserve_manifest_placeholder(font)  # type: ignore[call-arg]
glyphward.read_manifest_store(font, font)  # type: ignore[call-arg]
glyphward.read_manifest_store(fonts=font)  # type: ignore[call-arg]
glyphward.fill_manifest_store(font, "manifest")  # type: ignore[arg-type]
# Fonts and signed manifests are bytes only (checked with --strict-bytes).
glyphward.is_compliant(bytearray(font))  # type: ignore[arg-type]
glyphward.data_hash_ranges(memoryview(font))  # type: ignore[arg-type]
glyphward.fill_manifest_store(font, bytearray(b"manifest"))  # type: ignore[arg-type]

# Results are exactly typed: the URI may be None, the ranges are int pairs.
glyphward.read_manifest_uri_str(font).startswith("https:")  # type: ignore[union-attr]
uri: str = glyphward.read_manifest_uri_str(font)  # type: ignore[assignment]
start, length, extra = glyphward.data_hash_ranges(font)[0]  # type: ignore[misc]
flag: int = glyphward.is_compliant(font)  # bool is an int: accepted
text: str = glyphward.read_manifest_store(font)  # type: ignore[assignment]

# The module has no attribute beyond its nine functions and __all__.
glyphward.PanicException  # type: ignore[attr-defined]
