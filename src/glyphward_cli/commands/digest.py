"""print the hash of every byte outside the exclusion ranges, as a data hash carries it

The bytes outside data_hash_ranges, in file order, hashed with ALGORITHM
(default sha256). Prints the hex digest; with --json, an object with
algorithm, hash (hex) and exclusions ([{"start": s, "length": l}, ...]).
A font whose C2PA table holds only a remote manifest URI has no store to
exclude: its exclusions are the C2PA table record's checksum and the head
table's checkSumAdjustment.
"""
from __future__ import annotations

import argparse
import threading
from typing import Any, Dict, List, Optional, Tuple

from ..batch import Progress, Task, run_batch
from ..files import read_font
from ..hashing import ALGORITHMS
from ..options import add_fonts, tasks


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_fonts(parser, many=False)
    parser.add_argument("--algorithm", choices=ALGORITHMS, default="sha256", help="default sha256")
    parser.add_argument("--json", action="store_true", help="print a JSON object")


NO_STORE_TO_BIND = "invalid C2PA table: no embedded manifest store to bind"


def uri_only_ranges(font: bytes) -> List[Tuple[int, int]]:
    """What a data hash of a font without a Manifest Store excludes: the
    C2PA table record's checksum and head's checkSumAdjustment (the fields
    that change when the table does)."""
    from glyphward_c2pa.sfnt import C2PA, HEAD, HEAD_ADJUSTMENT, FontStructureError, read_tables

    try:
        tables = read_tables(font)
    except FontStructureError as error:
        raise ValueError(f"invalid font: {error}") from None
    ranges = [(table.record + 4, 4) for table in tables if table.tag == C2PA]
    ranges += [(table.offset + HEAD_ADJUSTMENT, 4) for table in tables
               if table.tag == HEAD and table.length >= HEAD_ADJUSTMENT + 4]
    return sorted(ranges)


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    import glyphward

    from ..hashing import hash_outside

    def work(task: Task, cancel: threading.Event) -> Dict[str, Any]:
        font = read_font(task.path)
        try:
            ranges = glyphward.data_hash_ranges(font)
        except ValueError as error:
            if str(error) != NO_STORE_TO_BIND:
                raise
            ranges = uri_only_ranges(font)
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
