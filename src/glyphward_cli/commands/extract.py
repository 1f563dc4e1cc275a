"""write the embedded Manifest Store's bytes to a file or standard output (read_manifest_store)

A store that is a JUMBF box (its length in its header) is written without
the zeros that a reservation leaves after it; --raw writes the table's whole
store field.
"""
from __future__ import annotations

import argparse
import sys
import threading
from typing import Optional

from ..atomic import write_atomically
from ..batch import Progress, Task, run_batch
from ..files import read_font_as_sfnt
from ..options import add_fonts, font_paths


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_fonts(parser, many=False)
    parser.add_argument("-o", "--output", metavar="FILE", default="-",
                        help="where to write the store (default '-': standard output)")
    parser.add_argument("--raw", action="store_true",
                        help="the whole store field, with the zeros after a JUMBF box")


def _without_padding(store: bytes) -> bytes:
    """`store` up to the end of the JUMBF superbox it starts with, when all
    that follows the box is zeros; otherwise `store` whole.

    The box header is a 4-byte big-endian length (LBox) and the type
    "jumb"; LBox 1 means an 8-byte length (XLBox) follows the type, LBox 0
    "to the end" (nothing to trim). A length shorter than its header or
    longer than the field is not a well-formed box.
    """
    if store[4:8] != b"jumb":
        return store
    length, header = int.from_bytes(store[:4], "big"), 8
    if length == 1 and len(store) >= 16:
        length, header = int.from_bytes(store[8:16], "big"), 16
    if length < header or length > len(store) or store.count(0, length) != len(store) - length:
        return store
    return store[:length]


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    import glyphward

    (path,) = font_paths(parser, args)
    to_file = args.output != "-"

    def work(task: Task, cancel: threading.Event) -> Optional[bytes]:
        store = glyphward.read_manifest_store(read_font_as_sfnt(task.path)[0])
        if not args.raw:
            store = _without_padding(store)
        if to_file:
            write_atomically(args.output, store, cancel)
            return None
        return store

    def show(task: Task, store: Optional[bytes], error: Optional[str], progress: Progress) -> None:
        if store is not None:
            sys.stdout.buffer.write(store)
            sys.stdout.buffer.flush()

    return run_batch([Task(path, args.output if to_file else None)], work, show, quiet=args.quiet)
