"""Compressed manifests (C2PA 2.2, 11.2.4 and 15.5.4): a `brob` box holding
the Brotli-compressed bytes of a whole manifest superbox. Each is expanded
only when the validation needs it, once, and all that a store's compressed
manifests expand to is held under one cap."""
from __future__ import annotations

from typing import Optional, Tuple, Union

from ..jumbf import JumbfError, SuperBox, read_superbox
from ..labels import STANDARD_MANIFEST, UPDATE_MANIFEST
from .context import shared

BROB = b"brob"
# What all the compressed manifests of one store may expand to, together; a
# manifest that would take the total beyond it is refused rather than held
# in memory (as large as the largest remote Manifest Store fetched).
MAX_EXPANDED = 16 << 20


def expand(box: SuperBox, store: SuperBox) -> Union[SuperBox, str]:
    """The manifest the compressed manifest box `box` of `store` holds, or
    why it cannot be had; expanded the first time it is asked for."""
    state = shared(store)
    found = state.expanded.get(id(box))
    if found is None:
        found, produced = _expand(box, MAX_EXPANDED - state.expanded_bytes)
        state.expanded[id(box)] = found
        state.expanded_bytes += produced  # what a refused one made counts too: it cost the work
    return found


def _expand(box: SuperBox, limit: int) -> Tuple[Union[SuperBox, str], int]:
    """The manifest `box` holds, if it expands to at most `limit` bytes, and
    the bytes its expansion produced."""
    found, data = _decompress(box, limit)
    if isinstance(found, str) or data is None:
        return str(found), len(data or b"")
    try:
        manifest, length = read_superbox(data)
    except JumbfError as error:
        return f"the decompressed manifest is not a JUMBF superbox: {error}", len(data)
    if length != len(data) or manifest.uuid not in (STANDARD_MANIFEST, UPDATE_MANIFEST) \
            or manifest.label != box.label:
        return "the brob box does not hold a standard or update manifest with the compressed box's label", len(data)
    return manifest, len(data)


def _decompress(box: SuperBox, limit: int) -> Tuple[Union[bytes, str], Optional[bytes]]:
    """The bytes of the one brob box of `box` decompressed, or why not; and
    what the decompression produced, if anything."""
    payloads = [child.payload for child in box.content_boxes() if child.type == BROB]
    if len(payloads) != 1:
        return "a compressed manifest holds no single brob box", None
    try:
        import brotli
    except ImportError:
        return "a compressed manifest needs the brotli package, which is not installed", None
    try:
        decompressor = brotli.Decompressor()
        try:  # brotli 1.2 and newer can stop at a limit; an older one could expand without end
            data = decompressor.process(bytes(payloads[0]), output_buffer_limit=max(limit, 0) + 1)
        except TypeError:
            return "a compressed manifest needs brotli 1.2 or newer, which bounds what it expands to", None
        finished = decompressor.is_finished()
    except Exception as error:  # brotli.error and friends
        return f"the brob box does not decompress: {error}", None
    if len(data) > limit:
        return f"the compressed manifests of the store expand beyond {MAX_EXPANDED} bytes together", data
    if not finished:
        return "the brob box ends before its compressed data does", data
    return data, data
