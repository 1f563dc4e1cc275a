"""print the byte ranges a data hash must exclude (data_hash_ranges)

One range per line, as 'START LENGTH'; with --json, [[start, length], ...].
"""
from __future__ import annotations

import argparse
import threading
from typing import List, Optional, Tuple

from ..batch import Progress, Task, run_batch
from ..files import read_font
from ..options import add_fonts, tasks


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_fonts(parser, many=False)
    parser.add_argument("--json", action="store_true", help="print a JSON array of [start, length]")


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    import glyphward

    def work(task: Task, cancel: threading.Event) -> List[Tuple[int, int]]:
        return glyphward.data_hash_ranges(read_font(task.path))

    def show(task: Task, ranges: Optional[List[Tuple[int, int]]], error: Optional[str],
             progress: Progress) -> None:
        if ranges is None:
            return
        if args.json:
            import json

            progress.output(json.dumps([[start, length] for start, length in ranges]) + "\n")
        else:
            progress.output("".join(f"{start} {length}\n" for start, length in ranges))

    return run_batch(tasks(parser, args, writes=False), work, show, quiet=args.quiet)
