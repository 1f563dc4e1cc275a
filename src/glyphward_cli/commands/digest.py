"""print the hash of every byte outside the exclusion ranges, as a data hash carries it

The bytes outside data_hash_ranges, in file order, hashed with ALGORITHM
(default sha256). Prints the hex digest; with --json, an object with
algorithm, hash (hex) and exclusions ([{"start": s, "length": l}, ...]).
"""
from __future__ import annotations

import argparse
import threading
from typing import Any, Dict, Optional

from ..batch import Progress, Task, run_batch
from ..files import read_font
from ..hashing import ALGORITHMS
from ..options import add_fonts, tasks


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_fonts(parser, many=False)
    parser.add_argument("--algorithm", choices=ALGORITHMS, default="sha256", help="default sha256")
    parser.add_argument("--json", action="store_true", help="print a JSON object")


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    import glyphward

    from ..hashing import hash_outside

    def work(task: Task, cancel: threading.Event) -> Dict[str, Any]:
        font = read_font(task.path)
        ranges = glyphward.data_hash_ranges(font)
        return {"algorithm": args.algorithm, "hash": hash_outside(font, ranges, args.algorithm),
                "exclusions": [{"start": start, "length": length} for start, length in ranges]}

    def show(task: Task, result: Optional[Dict[str, Any]], error: Optional[str], progress: Progress) -> None:
        if result is None:
            return
        if args.json:
            import json

            progress.output(json.dumps(result, indent=2) + "\n")
        else:
            progress.output(result["hash"] + "\n")

    return run_batch(tasks(parser, args, writes=False), work, show, quiet=args.quiet)
