"""show what each font carries: C2PA table, manifest URI, store, manifest

For each font: its size, whether it has a C2PA table, the active manifest
URI, the Manifest Store's length and what it holds (a C2PA Manifest Store, or
a reserved placeholder of zeros that was never filled), the ranges a data hash
excludes when there is a store, what the table passes (well-formed, and the
font's checksum intact: is_compliant), and when the font carries a manifest,
its state as `verify` finds it without trust anchors and its summary: who
signed it and when, the claim generator, the title and the binding. A font
without a C2PA table, or whose table holds only a URI, is not an error: what
it lacks is shown as none (null in JSON). A font that cannot be read or parsed
is listed with its error (and only there), and makes the exit status 1.
`glyphward verify` checks a manifest fully, with trust anchors.

With --json, one JSON array with one object per font, with the keys path,
size, c2pa_table, compliant (is_compliant: the table well-formed and the
checksum intact), active_manifest_uri, manifest_store_length, store (null,
"manifest store", "placeholder" or "other"), exclusion_ranges ([[start,
length], ...] or null), manifest_state (as verify's, or null without a
table), manifest (verify's summary, or null) and error (null or the message).
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
            "active_manifest_uri": None, "manifest_store_length": None, "store": None,
            "exclusion_ranges": None, "manifest_state": None, "manifest": None, "error": error}


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
            store = None
            try:
                store = glyphward.read_manifest_store(font)
                record["manifest_store_length"] = len(store)
            except ValueError as error:
                if str(error) != NO_STORE:
                    raise
            if store is not None:
                record["store"] = _store_kind(store)
                record["exclusion_ranges"] = [[start, length]
                                              for start, length in glyphward.data_hash_ranges(font)]
            _manifest(font, record)
        record["compliant"] = glyphward.is_compliant(font)  # the last call on a font
    except ValueError as error:
        record["error"] = str(error)
        raise FontFailure(str(error), record) from None
    return record


def _store_kind(store: bytes) -> str:
    if store.count(0) == len(store):
        return "placeholder"
    return "manifest store" if store[4:8] == b"jumb" else "other"


def _manifest(font: bytes, record: Dict[str, Any]) -> None:
    """The manifest's state and summary, as `verify` finds them without
    trust anchors."""
    from glyphward_c2pa import verify_font

    report = verify_font(font)
    record["manifest_state"] = report.manifest_state
    record["manifest"] = report.manifest.to_json() if report.manifest is not None else None


STORE_KINDS = {"manifest store": "a C2PA Manifest Store", "placeholder": "a reserved placeholder (zeros), never filled",
               "other": "not a C2PA Manifest Store"}


def describe(record: Dict[str, Any]) -> str:
    lines = [record["path"]]
    if record["size"] is not None:
        lines.append(f"  size:                {record['size']} bytes")
    if record["error"] is not None:
        lines.append(f"  error:               {record['error']}")
        return "\n".join(lines) + "\n"
    if not record["c2pa_table"]:
        lines.append("  C2PA table:          none")
        return "\n".join(lines) + "\n"
    checked = "well-formed, checksum intact" if record["compliant"] else \
        "well-formed, but the font's checksum does not match (checkSumAdjustment)"
    lines.append(f"  C2PA table:          {checked}")
    uri = record["active_manifest_uri"]
    store = record["manifest_store_length"]
    lines.append(f"  active manifest URI: {uri if uri is not None else 'none'}")
    lines.append("  manifest store:      " + (f"{store} bytes, {STORE_KINDS[record['store']]}" if store is not None
                                             else "none"))
    if record["exclusion_ranges"] is not None:
        ranges = ", ".join(f"{start}+{length}" for start, length in record["exclusion_ranges"])
        lines.append(f"  exclusion ranges:    {ranges}  (start+length)")
    summary = record["manifest"]
    if record["manifest_state"] not in (None, "none"):
        lines.append(f"  manifest:            {record['manifest_state']}" +
                     (" (without trust anchors; see glyphward verify)" if summary else ""))
    if summary:
        for name, key in (("signer", "signer"), ("signed at", "signing_time"), ("claim generator", "claim_generator"),
                          ("title", "title"), ("binding", "binding")):
            if summary.get(key):
                lines.append(f"  {name + ':':<21}{summary[key]}")
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
