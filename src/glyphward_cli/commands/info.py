"""show what each font carries: C2PA table, manifest URI, store, manifest

For each font: its size, whether it has a C2PA table, the active manifest
URI, the Manifest Store's length and what it holds (a C2PA Manifest Store, or
a reserved placeholder of zeros that was never filled), the ranges a data hash
excludes when there is a store, what the table passes (well-formed, and the
font's checksum intact: is_compliant), and when the font carries a manifest,
its state and summary as `verify` finds them without trust anchors: who
signed it and when, the claim generator, the title and the binding.

info validates an embedded manifest as verify does, but for trust: its
signature, its assertions' hashes and its hard binding, which costs one hash
pass over the font. So "asset: valid" means the font's content is what was
signed; "asset: NOT valid" lists the failure codes (a changed glyf table gives
assertion.boxesHash.mismatch). The signer's name is what the certificate
says, not checked against any trust anchors (`glyphward verify
--trust-anchors` says whether to trust it), and "unverified" when the
manifest is not valid. A remote manifest is not fetched, and the asset is
then not checked. An active manifest URI beside an embedded Manifest Store
is not what validators use; unless a data hash binds it (a valid asset with
the c2pa.hash.data binding), anyone may have added or changed it, and the
listing says so.

A font without a C2PA table, or whose table holds only a URI, is not an
error: what it lacks is shown as none (null in JSON). A font that cannot be
read or parsed is listed with its error (and only there), and makes the exit
status 1. Text a font supplies (a URI, a title, a signer's name) is listed
with its control characters, bidi controls and other characters that are not
printable escaped as \\xNN, \\uNNNN or \\UNNNNNNNN; so is the font's file
name (an undecodable byte as \\xNN).

With --json, one JSON array with one object per font, with the keys path,
size, c2pa_table, compliant (is_compliant: the table well-formed and the
checksum intact), active_manifest_uri, manifest_store_length, store (null,
"manifest store", "placeholder" or "other"), exclusion_ranges ([[start,
length], ...] or null), manifest_state (as verify's, or null without a
table), asset_valid (as verify's: true, false, or null without a manifest to
check), failures (the active manifest's failure codes, but for
signingCredential.untrusted, which info has no anchors to decide; or null),
manifest (verify's summary, or null) and error (null or the message). The
JSON is ASCII (other characters as \\u escapes), and a lone surrogate in a
font's text is replaced by U+FFFD.
"""
from __future__ import annotations

import argparse
from typing import Any, Dict, List, Optional

from ..batch import Progress, Task, run_batch
from ..errors import FontFailure
from ..files import read_font
from ..options import add_fonts, tasks
from ..text import JSON_HELP, for_terminal, json_text, path_text

# The module's messages are fixed, so these two cases, which are not errors
# here, are told apart from real ones by their text.
NO_TABLE = "no C2PA table found in font"
NO_STORE = "invalid C2PA table: C2PA table has no embedded manifest store"

QUIET_HELP = ("no progress bar and no summary line on standard error; "
              "the listing, failed fonts included, is unchanged")


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_fonts(parser, many=True)
    parser.add_argument("--json", action="store_true", help=JSON_HELP)


def blank(path: str, error: Optional[str] = None) -> Dict[str, Any]:
    return {"path": path, "size": None, "c2pa_table": None, "compliant": None,
            "active_manifest_uri": None, "manifest_store_length": None, "store": None,
            "exclusion_ranges": None, "manifest_state": None, "asset_valid": None, "failures": None,
            "manifest": None, "error": error}


def inspect(path: str) -> Dict[str, Any]:
    """The record of one font; raises FontFailure carrying the partial record."""
    import glyphward
    from glyphward_c2pa.webfont import decode_font

    record = blank(path)
    try:
        font = read_font(path)
    except FontFailure as failure:
        record["error"] = failure.message
        raise FontFailure(failure.message, record) from None
    record["size"] = len(font)
    try:
        decoded = decode_font(font)  # a WOFF/WOFF2 file's tables as an SFNT (WebfontError is a ValueError)
        font = decoded.sfnt
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
            _manifest(font, record, decoded.container)
        record["compliant"] = glyphward.is_compliant(font)  # the last call on a font
    except ValueError as error:
        record["error"] = str(error)
        raise FontFailure(str(error), record) from None
    return record


def _store_kind(store: bytes) -> str:
    if store.count(0) == len(store):
        return "placeholder"
    return "manifest store" if store[4:8] == b"jumb" else "other"


def _manifest(font: bytes, record: Dict[str, Any], container: Optional[str] = None) -> None:
    """The manifest's state, whether the asset is valid (its hard binding
    checked against `font`) and the summary, as `verify` finds them without
    trust anchors."""
    from glyphward_c2pa import verify_font

    from glyphward_c2pa.status import Code, State

    report = verify_font(font)
    if container is not None:  # a WOFF/WOFF2 file: a data hash cannot bind it
        from glyphward_c2pa.webfont.report import for_container
        report = for_container(report, container)
    record["manifest_state"] = report.manifest_state.value
    if report.manifest_state not in (State.NONE, State.REMOTE):
        record["asset_valid"] = report.asset_valid
        record["failures"] = [status.code.value for status in report.results.failure
                              if status.code != Code.SIGNING_CREDENTIAL_UNTRUSTED]
    record["manifest"] = report.manifest.to_json() if report.manifest is not None else None


STORE_KINDS = {"manifest store": "a C2PA Manifest Store", "placeholder": "a reserved placeholder (zeros), never filled",
               "other": "not a C2PA Manifest Store"}


def describe(record: Dict[str, Any]) -> str:
    """The listing of one font's record: its path, and every string the font
    supplied, with their control characters escaped (a file name may come
    from an attacker too)."""
    lines = [path_text(record["path"])]
    record = for_terminal(record)
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
    lines.append(f"  active manifest URI: {uri if uri is not None else 'none'}" + _uri_caveat(record))
    lines.append("  manifest store:      " + (f"{store} bytes, {STORE_KINDS[record['store']]}" if store is not None
                                             else "none"))
    if record["exclusion_ranges"] is not None:
        ranges = ", ".join(f"{start}+{length}" for start, length in record["exclusion_ranges"])
        lines.append(f"  exclusion ranges:    {ranges}  (start+length)")
    summary = record["manifest"]
    state = record["manifest_state"]
    if state not in (None, "none"):
        lines.append(f"  manifest:            {state}" +
                     (" (without trust anchors; see glyphward verify)" if summary else ""))
    if state == "remote":
        lines.append("  asset:               not checked: the manifest is remote (glyphward verify --fetch, "
                     "--manifest or --manifest-dir checks it)")
    elif record["asset_valid"] is not None:
        lines.append("  asset:               " + ("valid: its content is what was signed" if record["asset_valid"]
                                                  else "NOT valid: " + (", ".join(record["failures"]) or
                                                                        "the manifest is not valid")))
    if summary:
        # What a manifest that is not valid says of itself, no signature vouches for.
        unsigned = "" if state in ("valid", "trusted") else f" (unverified: the manifest is {state})"
        for name, key in (("signer", "signer"), ("signed at", "signing_time"), ("claim generator", "claim_generator"),
                          ("title", "title"), ("binding", "binding")):
            if summary.get(key):
                lines.append(f"  {name + ':':<21}{summary[key]}" + (unsigned if key == "signer" else ""))
    return "\n".join(lines) + "\n"


def _uri_caveat(record: Dict[str, Any]) -> str:
    """What an active manifest URI beside an embedded Manifest Store is
    worth: validators use the store (C2PA 2.2, 15.5.3.1 looks for a URI
    only when there is no embedded store); a data hash covers the URI (it
    excludes only the store), a box hash does not (it never hashes the C2PA
    table)."""
    if record["active_manifest_uri"] is None or record["store"] != "manifest store":
        return ""
    summary = record["manifest"] or {}
    if record["asset_valid"] and summary.get("binding") == "c2pa.hash.data":
        return " (bound by the manifest's data hash)"
    return " (not bound by the manifest: anyone may have added it; validators use the embedded store)"


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
        import sys

        sys.stdout.write(json_text(records) + "\n")
    return status
