"""How a new manifest is bound to its font and written into it: one
strategy per hard binding (the box hash, the data hash, or none for an
update manifest), each writing through the glyphward module to the
placement the request names (`Embedded` or `Remote`)."""
from __future__ import annotations

import hashlib
from dataclasses import dataclass
from typing import List, Optional, Tuple

from ..assertions import hash_boxes, hash_data
from ..digests import KnownDigests
from ..labels import HASH_BOXES, HASH_DATA
from ..sfnt import Table, read_tables
from .maker import TOKEN_SLACK, ManifestMaker, Retry
from .request import Embedded, Placement, Remote
from .result import SigningError


@dataclass
class Draft:
    """The font being signed, and what binding it needs."""
    font: bytes                 # the font as given
    tables: List[Table]
    placement: Placement
    alg: str
    known: KnownDigests


def write_embedded(font: bytes, store: bytes, placement: Embedded) -> bytes:
    """`font` with `store` in its `C2PA` table (and the remote URI beside it)."""
    import glyphward

    if placement.uri is not None:
        reserved = glyphward.reserve_manifest_placeholder(font, len(store), placement.uri)
        return glyphward.fill_manifest_store(reserved, store)
    return glyphward.embed_manifest_store(font, store)


def _reserved(font: bytes, size: int, uri: Optional[str]) -> bytes:
    """`font` with `size` zero bytes reserved for its store; the module's
    ValueError (a font it cannot write) is the font's fault."""
    import glyphward

    try:
        return glyphward.reserve_manifest_placeholder(font, size, uri)
    except ValueError as error:
        raise SigningError(str(error)) from None


class UpdateBinding:
    """An update manifest (C2PA 2.2, 11.2.3): no hard binding of its own;
    the font's content is bound by the manifests before it."""

    def bind(self, draft: Draft, maker: ManifestMaker) -> Tuple[bytes, bytes]:
        if not isinstance(draft.placement, Embedded):
            raise SigningError("internal error: an update manifest is embedded")
        store = maker.store(None, None)
        return write_embedded(draft.font, store, draft.placement), store


class BoxesBinding:
    """The box hash (C2PA 2.2, 18.7.3.6), one box per table, made from the
    table directory of the font as it is written: the font is first written
    with its `C2PA` table holding a placeholder (or, remote, the URI), and
    the signed font must keep that directory."""

    def bind(self, draft: Draft, maker: ManifestMaker) -> Tuple[bytes, bytes]:
        import glyphward

        placement = draft.placement
        if isinstance(placement, Remote):
            try:
                written = glyphward.embed_remote(draft.font, placement.url)
            except ValueError as error:
                raise SigningError(str(error)) from None
        else:
            written = _reserved(draft.font, 1, placement.uri)
        tables = read_tables(written)
        bound = hash_boxes.build(written, tables, draft.alg, draft.known)
        store = maker.store(HASH_BOXES, bound)
        if isinstance(placement, Remote):
            return written, store
        del written  # only its directory is needed now: one font-sized copy alive at a time
        if placement.size is not None and placement.size > len(store):
            # The least room asked for is made up in the boxes' pad fields,
            # not with zeros after the store (C2PA 2.2, 18.7.1).
            hash_boxes.grow(bound, placement.size - len(store))
            store = maker.store(HASH_BOXES, bound)
            if len(store) != placement.size:
                raise SigningError(f"internal error: the Manifest Store is {len(store)} bytes, not {placement.size}")
        signed = write_embedded(draft.font, store, placement)
        if [table.tag for table in read_tables(signed)] != [table.tag for table in tables]:
            raise SigningError("internal error: the signed font's table directory is not the one hashed")
        return signed, store


class DataBinding:
    """The data hash (C2PA 2.2, 18.5) by multiple step processing (10.4):
    measure the store, reserve that room, hash the reserved font outside
    its exclusion ranges, and fill the signed store in; the data hash's pad
    and pad2 make up any difference, so that the store fills its
    reservation exactly (10.4.4)."""

    def bind(self, draft: Draft, maker: ManifestMaker) -> Tuple[bytes, bytes]:
        import glyphward

        placement = draft.placement
        if not isinstance(placement, Embedded):
            raise SigningError("a remote manifest is bound by the box hash: the data hash covers the font's "
                               "C2PA table, which then holds only the URI")
        alg, tsa = draft.alg, maker.tsa
        stand_in = maker.stand_in_signature()
        no_digest = bytes(hashlib.new(alg).digest_size)
        room = 0
        if tsa is not None:
            if not tsa.token_size:  # learn the authority's token size, once per run
                tsa.stamp(b"glyphward: the size of a time-stamp token", "sha256")
            room = tsa.token_size + TOKEN_SLACK

        for _ in range(8):
            def measure(ranges: List[Tuple[int, int]]) -> int:
                # The COSE pad header's key (4 bytes) and empty value (1) are
                # counted, so that the real token may be up to `room` long.
                return len(maker.store(HASH_DATA, hash_data.build(ranges, alg, no_digest), stand_in, room)) + \
                    (5 if tsa is not None else 0)

            # Exclusions as large as a font's offsets can be (32 bits) make
            # the measure an upper bound: one reservation fits, and the pads
            # take up the difference.
            reservation = max(placement.size or 0, measure([(0xFFFFFFFF, 0xFFFFFFFF)] * 3))
            reserved = _reserved(draft.font, reservation, placement.uri)
            ranges = [(start, length) for start, length in glyphward.data_hash_ranges(reserved)]
            measured = measure(ranges)
            if measured > reservation:  # pragma: no cover - the measure is an upper bound
                raise SigningError("internal error: the Manifest Store outgrew its reservation")
            pad, pad2 = hash_data.padding(reservation - measured)
            digest = hash_data.hash_outside(reserved, ranges, alg)
            draft.known.remember_outside(reserved, read_tables(reserved), alg, digest, ranges)
            try:
                store = maker.store(HASH_DATA, hash_data.build(ranges, alg, digest, pad, pad2),
                                    fill_to=reservation if tsa is not None else None)
            except Retry as retry:
                room = max(room + 1, retry.room)
                continue
            if len(store) != reservation:
                raise SigningError(f"internal error: the Manifest Store is {len(store)} bytes, its reservation "
                                   f"{reservation}")
            if placement.uri is not None:
                return glyphward.fill_manifest_store(reserved, store), store
            # A store that fills the reservation exactly, embedded, gives the
            # reserved font with the store filled in (the same layout, the
            # same bytes outside the exclusions): made from the input font
            # once the reserved one is let go, so that only one font-sized
            # copy is alive.
            del reserved
            return glyphward.embed_manifest_store(draft.font, store), store
        raise SigningError("the time-stamp authority's tokens do not fit the room reserved for them")
