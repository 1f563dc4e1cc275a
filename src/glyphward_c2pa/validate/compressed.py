"""Compressed manifests (C2PA 2.2, 11.2.4 and 15.5.4): a `brob` box holding
the Brotli-compressed bytes of a whole manifest superbox. Each is expanded
only when the validation needs it, once, and all that a store's compressed
manifests expand to is held under one cap."""
from __future__ import annotations

from typing import Union

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
        found = state.expanded[id(box)] = _expand(box, MAX_EXPANDED - state.expanded_bytes)
        if not isinstance(found, str):
            state.expanded_bytes += len(found.whole)
    return found


def _expand(box: SuperBox, limit: int) -> Union[SuperBox, str]:
    """The manifest `box` holds, if it expands to at most `limit` bytes."""
    payloads = [child.payload for child in box.content_boxes() if child.type == BROB]
    if len(payloads) != 1:
        return "a compressed manifest holds no single brob box"
    try:
        import brotli
    except ImportError:
        return "a compressed manifest needs the brotli package, which is not installed"
    try:
        decompressor = brotli.Decompressor()
        try:  # brotli 1.2 and newer can stop at a limit; an older one could expand without end
            data = decompressor.process(bytes(payloads[0]), output_buffer_limit=max(limit, 0) + 1)
        except TypeError:
            return "a compressed manifest needs brotli 1.2 or newer, which bounds what it expands to"
        finished = decompressor.is_finished()
    except Exception as error:  # brotli.error and friends
        return f"the brob box does not decompress: {error}"
    if len(data) > limit:
        return f"the compressed manifests of the store expand beyond {MAX_EXPANDED} bytes together"
    if not finished:
        return "the brob box ends before its compressed data does"
    try:
        manifest, length = read_superbox(data)
    except JumbfError as error:
        return f"the decompressed manifest is not a JUMBF superbox: {error}"
    if length != len(data) or manifest.uuid not in (STANDARD_MANIFEST, UPDATE_MANIFEST) \
            or manifest.label != box.label:
        return "the brob box does not hold a standard or update manifest with the compressed box's label"
    return manifest
