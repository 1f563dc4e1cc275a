"""Compressed manifests (C2PA 2.2, 11.2.4 and 15.5.4): a `brob` box holding
the Brotli-compressed bytes of a whole manifest superbox."""
from __future__ import annotations

from typing import Union

from ..jumbf import JumbfError, SuperBox, read_superbox
from ..labels import STANDARD_MANIFEST, UPDATE_MANIFEST

BROB = b"brob"
# A manifest that expands beyond this is refused rather than held in memory.
MAX_EXPANDED = 64 << 20


def expand(box: SuperBox) -> Union[SuperBox, str]:
    """The manifest a compressed manifest box holds, or why it cannot be had."""
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
            data = decompressor.process(bytes(payloads[0]), output_buffer_limit=MAX_EXPANDED + 1)
        except TypeError:
            return "a compressed manifest needs brotli 1.2 or newer, which bounds what it expands to"
        finished = decompressor.is_finished()
    except Exception as error:  # brotli.error and friends
        return f"the brob box does not decompress: {error}"
    if len(data) > MAX_EXPANDED:
        return f"the compressed manifest expands beyond {MAX_EXPANDED} bytes"
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
