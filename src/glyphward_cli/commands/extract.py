"""write the embedded Manifest Store's bytes to a file or standard output (read_manifest_store)"""
from __future__ import annotations

import argparse
import sys
import threading
from typing import Optional

from ..atomic import write_atomically
from ..batch import Progress, Task, run_batch
from ..files import read_font
from ..options import add_fonts, font_paths


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_fonts(parser, many=False)
    parser.add_argument("-o", "--output", metavar="FILE", default="-",
                        help="where to write the store (default '-': standard output)")


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    import glyphward

    (path,) = font_paths(parser, args)
    to_file = args.output != "-"

    def work(task: Task, cancel: threading.Event) -> Optional[bytes]:
        store = glyphward.read_manifest_store(read_font(task.path))
        if to_file:
            write_atomically(args.output, store, cancel)
            return None
        return store

    def show(task: Task, store: Optional[bytes], error: Optional[str], progress: Progress) -> None:
        if store is not None:
            sys.stdout.buffer.write(store)
            sys.stdout.buffer.flush()

    return run_batch([Task(path, args.output if to_file else None)], work, show, quiet=args.quiet)
