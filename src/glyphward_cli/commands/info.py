"""show what each font carries: C2PA table, manifest URI, store, compliance

For each font: its size, whether it has a C2PA table, the active manifest
URI, the Manifest Store's length, whether it is compliant (is_compliant), and
the ranges a data hash excludes when there is a store. A font without a C2PA
table, or whose table holds only a URI, is not an error: what it lacks is
shown as none (null in JSON). A font that cannot be read or parsed is listed
with its error (and only there), and makes the exit status 1.

With --json, one JSON array with one object per font, with the keys path,
size, c2pa_table, compliant, active_manifest_uri, manifest_store_length,
exclusion_ranges ([[start, length], ...] or null) and error (null or the
message).
"""
from __future__ import annotations

import argparse
from typing import Any, Dict, List, Optional

from ..batch import Progress, Task, run_batch
from ..errors import FontFailure
from ..files import read_font
from ..options import add_fonts, tasks

# The module's messages are fixed, so these two cases, which are not errors
# here, are told apart from real ones by their text.
NO_TABLE = "no C2PA table found in font"
NO_STORE = "invalid C2PA table: C2PA table has no embedded manifest store"

QUIET_HELP = ("no progress bar and no summary line on standard error; "
              "the listing, failed fonts included, is unchanged")


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_fonts(parser, many=True)
    parser.add_argument("--json", action="store_true", help="print one JSON array")


def blank(path: str, error: Optional[str] = None) -> Dict[str, Any]:
    return {"path": path, "size": None, "c2pa_table": None, "compliant": None,
            "active_manifest_uri": None, "manifest_store_length": None,
            "exclusion_ranges": None, "error": error}


def inspect(path: str) -> Dict[str, Any]:
    """The record of one font; raises FontFailure carrying the partial record."""
    import glyphward

    record = blank(path)
    try:
        font = read_font(path)
    except FontFailure as failure:
        record["error"] = failure.message
        raise FontFailure(failure.message, record) from None
    record["size"] = len(font)
    try:
        try:
            record["active_manifest_uri"] = glyphward.read_manifest_uri_str(font)
            record["c2pa_table"] = True
        except ValueError as error:
            if str(error) != NO_TABLE:
                raise
            record["c2pa_table"] = False
        if record["c2pa_table"]:
            try:
                record["manifest_store_length"] = len(glyphward.read_manifest_store(font))
            except ValueError as error:
                if str(error) != NO_STORE:
                    raise
            if record["manifest_store_length"] is not None:
                record["exclusion_ranges"] = [[start, length]
                                              for start, length in glyphward.data_hash_ranges(font)]
        record["compliant"] = glyphward.is_compliant(font)
    except ValueError as error:
        record["error"] = str(error)
        raise FontFailure(str(error), record) from None
    return record


def describe(record: Dict[str, Any]) -> str:
    def yes_no(value: Optional[bool]) -> str:
        return "yes" if value else "no"

    lines = [record["path"]]
    if record["size"] is not None:
        lines.append(f"  size:                {record['size']} bytes")
    if record["error"] is not None:
        lines.append(f"  error:               {record['error']}")
        return "\n".join(lines) + "\n"
    lines.append(f"  C2PA table:          {yes_no(record['c2pa_table'])}")
    if record["c2pa_table"]:
        uri = record["active_manifest_uri"]
        store = record["manifest_store_length"]
        lines.append(f"  active manifest URI: {uri if uri is not None else 'none'}")
        lines.append(f"  manifest store:      {f'{store} bytes' if store is not None else 'none'}")
        if record["exclusion_ranges"] is not None:
            ranges = ", ".join(f"{start}+{length}" for start, length in record["exclusion_ranges"])
            lines.append(f"  exclusion ranges:    {ranges}  (start+length)")
    lines.append(f"  compliant:           {yes_no(record['compliant'])}")
    return "\n".join(lines) + "\n"


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    records: List[Dict[str, Any]] = []

    def show(task: Task, record: Optional[Dict[str, Any]], error: Optional[str], progress: Progress) -> None:
        if record is None:  # an unexpected failure, reported without a record
            record = blank(task.path, error)
        if not args.json:
            progress.output(("\n" if records else "") + describe(record))
        records.append(record)

    status = run_batch(tasks(parser, args, writes=False), lambda task, cancel: inspect(task.path), show,
                       jobs=args.jobs, quiet=args.quiet, verb="inspected", report_failures=False)
    if args.json and status in (0, 1):
        import json
        import sys

        json.dump(records, sys.stdout, indent=2)
        sys.stdout.write("\n")
    return status
