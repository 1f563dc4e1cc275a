"""`glyphward sign --signer CMD`: an external signer fills the manifest
into a reservation, and the filled font is checked before it is written
(the protocol is in the command's help, commands/sign/__init__.py)."""
from __future__ import annotations

import argparse
import os
import threading
from typing import List, Tuple

from ...atomic import write_atomically
from ...batch import Task, report, run_batch
from ...errors import FontFailure
from ...files import read_font
from ...options import tasks
from ...text import path_text
from .arguments import DEFAULT_SIZE


def sign(task: Task, args: argparse.Namespace, cancel: threading.Event) -> None:
    import shutil
    import tempfile

    import glyphward

    from ...hashing import hash_outside
    from ...signer import run_signer

    assert task.destination is not None
    font = read_font(task.path)
    try:
        glyphward.read_manifest_uri_str(font)
        report(f"glyphward: {path_text(task.path)}: warning: the font's C2PA table is replaced; what it held is "
               "not kept "
               "(glyphward sign --cert keeps a Manifest Store as the new manifest's ingredient)")
    except ValueError:
        pass  # no C2PA table (or none the module can read: reserving reports that)
    reserved = glyphward.reserve_manifest_placeholder(font, args.size, args.uri)
    ranges = glyphward.data_hash_ranges(reserved)
    digest = hash_outside(reserved, ranges, args.algorithm)

    try:
        workspace = tempfile.mkdtemp(prefix="glyphward-sign-")
    except OSError as error:
        raise FontFailure(f"cannot make a temporary directory for the signer: {error.strerror}") from None
    try:
        copy = os.path.join(workspace, os.path.basename(task.path))
        try:
            with open(copy, "wb") as file:
                file.write(reserved)
        except OSError as error:
            raise FontFailure(f"cannot write the reserved copy for the signer: {error.strerror}") from None
        request = {
            "font": task.path,
            "reserved_font": copy,
            "reserved_size": args.size,
            "hash": {"algorithm": args.algorithm, "value": digest},
            "exclusions": [{"start": start, "length": length} for start, length in ranges],
        }
        manifest = run_signer(args.signer, request, args.size, args.signer_timeout, cancel)
    finally:
        shutil.rmtree(workspace, ignore_errors=True)

    signed = glyphward.fill_manifest_store(reserved, manifest)
    check_filled(reserved, signed, ranges, manifest)
    write_atomically(task.destination, signed, cancel)


def check_filled(reserved: bytes, signed: bytes, ranges: List[Tuple[int, int]], manifest: bytes) -> None:
    """Raises FontFailure unless `signed` is `reserved` with `manifest` in
    its store and nothing else changed outside the exclusion ranges."""
    import glyphward

    def fail(why: str) -> None:
        raise FontFailure(f"the signed font fails verification: {why}; not written")

    if len(signed) != len(reserved):
        fail(f"it is {len(signed)} bytes, the reserved font {len(reserved)}")
    if glyphward.data_hash_ranges(signed) != ranges:
        fail("its exclusion ranges differ from the reserved font's")
    position = 0
    for start, length in ranges + [(len(reserved), 0)]:
        if signed[position:start] != reserved[position:start]:
            fail(f"bytes between {position} and {start} changed")
        position = start + length
    store = glyphward.read_manifest_store(signed)
    if store != manifest + bytes(len(store) - len(manifest)):
        fail("its Manifest Store is not the signer's manifest followed by zeros")
    if not glyphward.is_compliant(signed):
        fail("is_compliant is False")


def run_external(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    if args.size is None:
        args.size = DEFAULT_SIZE
    return run_batch(tasks(parser, args), lambda task, cancel: sign(task, args, cancel),
                     jobs=args.jobs, quiet=args.quiet, verb="signed")
