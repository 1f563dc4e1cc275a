"""verify the C2PA manifests of fonts (C2PA Technical Specification 2.2, 15)

For each font: locates the Manifest Store in its C2PA table and validates the
active manifest: the claim, its signature and certificate, every assertion's
hash, and the hard binding against the font's bytes. Prints the manifest's
state (none, remote, invalid, well-formed, valid, trusted), whether the font
is a valid asset (its content unchanged since signing and its manifest valid
or trusted), who signed it and when, and every failure with its status code.

Without --trust-anchors a valid manifest is valid but not trusted
(signingCredential.untrusted); with it, the signer's chain must end at one of
those certificates. Exit status 0 when every font is a valid asset (and its
manifest trusted, with --trust-anchors), 1 otherwise, 2 for bad usage.

With --json, one JSON array, one object per font, with the keys path,
manifest_state, asset_valid, remote_manifest_uri, manifest (a summary, or
null), history, validation_results (C2PA's validation-results-map:
activeManifest with success, informational and failure lists of {code, url,
explanation}) and error; every record has all of these keys, a font that
cannot be read too (its error set, manifest_state none). The JSON is ASCII
(other characters as \\u escapes), and a lone surrogate in a font's text is
replaced by U+FFFD.

Text a font supplies (a title, a signer's name, an action, a remote URI) is
listed with its control characters, bidi controls and other characters that
are not printable escaped as \\xNN, \\uNNNN or \\UNNNNNNNN, so that it
cannot rewrite the listing on a terminal; so is a font's file name (an
undecodable byte as \\xNN), which JSON keeps as it is (but for U+FFFD). A
step of the history whose manifest does not validate (not valid or trusted)
only claims to be signed by its signer, and its title and actions are listed
as unverified.
"""
from __future__ import annotations

import argparse
import threading
from typing import Any, Dict, List, Optional, Sequence

from ..anchors import HELP as ANCHORS_HELP
from ..anchors import load_anchors
from ..batch import Progress, Task, run_batch
from ..errors import FontFailure
from ..files import read_font_as_sfnt
from ..options import add_fonts, positive_seconds, tasks
from ..text import JSON_HELP, for_terminal, json_text, path_text


QUIET_HELP = ("no progress bar and no summary line on standard error; "
              "the listing, failed fonts included, is unchanged")


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_fonts(parser, many=True)
    parser.add_argument("--trust-anchors", action="append", metavar="PEM",
                        help=ANCHORS_HELP.format(what=" a signer's chain must end at to be trusted"))
    parser.add_argument("--tsa-trust-anchors", action="append", metavar="PEM",
                        help=ANCHORS_HELP.format(what=" a time-stamp authority's chain must end at"))
    remote = parser.add_argument_group("fonts whose C2PA table holds only a remote manifest's URI")
    remote.add_argument("--manifest", metavar="FILE", help="the Manifest Store of the (one) font")
    remote.add_argument("--manifest-dir", metavar="DIR",
                        help="where each font's Manifest Store is, as NAME.c2pa for the font NAME.ttf")
    remote.add_argument("--fetch", action="store_true",
                        help="fetch the Manifest Store from the font's URI (http or https)")
    remote.add_argument("--fetch-timeout", type=positive_seconds, default=30.0, metavar="SECONDS",
                        help="give up fetching after this long (default 30)")
    parser.add_argument("--json", action="store_true", help=JSON_HELP)


def describe(path: str, record: Dict[str, Any], anchors_given: bool = True) -> str:
    """The human listing of one font's record; without trust anchors, an
    untrusted credential is a note rather than a failure line. Every string
    the font supplied is shown with its control characters escaped
    (text.for_terminal), and `path` with its control characters escaped
    (text.path_text): a file name may come from an attacker too. A history
    step that is not valid is not said to be signed by anyone, and what it
    says of itself is marked unverified."""
    lines = [path_text(path)]
    record = for_terminal(record)

    def line(name: str, value: Any) -> None:
        lines.append(f"  {name + ':':<17}{value}")

    if record.get("error") is not None:
        line("error", record["error"])
        return "\n".join(lines) + "\n"
    state = record["manifest_state"]
    summary = record.get("manifest")
    kind = f" ({summary['kind']} manifest)" if summary and summary.get("kind") == "update" else ""
    line("manifest", state + kind + {"remote": f" ({record.get('remote_manifest_uri')})",
                                     "none": " (no C2PA manifest)"}.get(state, ""))
    line("asset", "valid" if record["asset_valid"] else "NOT valid")
    failures = record.get("validation_results", {}).get("activeManifest", {}).get("failure", [])
    if state == "remote" and not failures:
        line("to validate", "give --manifest FILE, --manifest-dir DIR or --fetch")
    if summary:
        if summary.get("signer"):
            line("signer", summary["signer"])
            line("issuer", summary["issuer"])
        if summary.get("signing_time"):
            line("signed at", f"{summary['signing_time']} (claimed by the signer)")
        if summary.get("timestamp"):
            line("time-stamp", f"{summary['timestamp']} (attested by a trusted time-stamp authority)")
        if summary.get("claim_generator"):
            line("claim generator", summary["claim_generator"])
        if summary.get("title"):
            line("title", summary["title"])
        line("binding", summary.get("binding") or ("none: the parent's binds the content" if kind else "none"))
        line("assertions", ", ".join(summary["assertions"]) or "none")
        if summary.get("actions"):
            line("actions", ", ".join(summary["actions"]))
    results = record.get("validation_results", {}).get("activeManifest", {})
    for category in ("failure", "informational"):
        for status in results.get(category, []):
            untrusted = status.get("code") == "signingCredential.untrusted" and not anchors_given
            line("failure" if category == "failure" and not untrusted else "note", _status(status))
    history = record.get("history") or []
    if history:
        lines.append("  history, before this manifest (newest first; each step as validated now):")
        for number, step in enumerate(history, 1):
            lines.extend(_history_step(number, step))
            if step.get("content_when_used"):
                lines.append(f"       content when it was signed again: {step['content_when_used']}")
    for delta in record.get("validation_results", {}).get("ingredientDeltas", []):
        for category in ("failure", "informational"):
            for status in delta["validationDeltas"].get(category, []):
                line("ingredient", _status(status))
    return "\n".join(lines) + "\n"


def _history_step(number: int, step: Dict[str, Any]) -> List[str]:
    """The lines of one step of the history. The active manifest pins only an
    ingredient manifest's claim signature (C2PA 2.2, 15.11.3.3.1), so anyone
    may rewrite the rest of a step whose own signature then fails: what such a
    step says (its signer, time, title, actions) is what it claims, not what
    anyone signed."""
    when = step.get("signing_time") or "an unknown time"
    head = f"    {number}. {step['kind']} manifest {step['label']}: "
    if step["state"] in ("valid", "trusted"):
        lines = [head + f"signed by {step.get('signer')} at {when}; {step['state']}"]
        unverified = ""
    else:
        lines = [head + f"claims to be signed by {step.get('signer')} at {when}; "
                        f"it does not validate ({step['state']})"]
        unverified = " (unverified)"
    if step.get("title"):
        lines.append(f"       title{unverified}: {step['title']}")
    if step.get("actions"):
        lines.append(f"       actions{unverified}: {', '.join(step['actions'])}")
    return lines


def _status(status: Dict[str, Any]) -> str:
    explanation = status.get("explanation")
    return f"{status.get('code')}: {explanation}" if explanation else str(status.get("code"))


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    from glyphward_c2pa import verify_font

    if args.manifest is not None and len(args.fonts) > 1:
        parser.error("--manifest names the Manifest Store of one font; use --manifest-dir for several")
    if sum(option is not None and option is not False for option in (args.manifest, args.manifest_dir, args.fetch)) > 1:
        parser.error("give one of --manifest, --manifest-dir and --fetch")
    anchors = load_anchors(parser, "--trust-anchors", args.trust_anchors)
    tsa_anchors = load_anchors(parser, "--tsa-trust-anchors", args.tsa_trust_anchors)
    records: List[Dict[str, Any]] = []

    def work(task: Task, cancel: threading.Event) -> Dict[str, Any]:
        try:
            font, container = read_font_as_sfnt(task.path)
        except FontFailure as failure:
            raise FontFailure(failure.message, failed(task.path, failure.message)) from None
        report = verify_font(font, trust_anchors=anchors, tsa_trust_anchors=tsa_anchors)
        if report.manifest_state == "remote" and (args.manifest or args.manifest_dir or args.fetch):
            report = _verify_remote(font, task.path, report.remote_uri, args, anchors, tsa_anchors)
        if container is not None:  # a WOFF/WOFF2 file: a data hash cannot bind it
            from glyphward_c2pa.webfont.report import for_container
            report = for_container(report, container)
        record = report.to_json(task.path)
        if report.error is not None:
            raise FontFailure(report.error, record)
        good = report.asset_valid and (not anchors or report.manifest_state == "trusted")
        if not good:
            raise FontFailure(_why(record), record)
        return record

    def show(task: Task, record: Optional[Dict[str, Any]], error: Optional[str], progress: Progress) -> None:
        if record is None:  # an unexpected failure, reported without a record
            record = failed(task.path, error or "internal error: no record")
        if not args.json:
            progress.output(("\n" if records else "") + describe(task.path, record, bool(anchors)))
        records.append(record)

    status = run_batch(tasks(parser, args, writes=False), work, show, jobs=args.jobs, quiet=args.quiet,
                       verb="verified", report_failures=False)
    if args.json and status in (0, 1):
        import sys

        sys.stdout.write(json_text(records) + "\n")
    return status


def failed(path: str, error: str) -> Dict[str, Any]:
    """The record of a font that could not be validated: the keys of every
    other record (ValidationReport.to_json), with `error` set."""
    from glyphward_c2pa.validate.report import ValidationReport

    return ValidationReport("none", False, error=error).to_json(path)


def _verify_remote(font: bytes, path: str, uri: Optional[str], args: argparse.Namespace, anchors: Sequence[Any],
                   tsa_anchors: Sequence[Any]) -> Any:
    """Validates a font against the remote Manifest Store the options lead to
    (C2PA 2.2, 15.5.3.1), or reports it inaccessible."""
    import os

    from glyphward_c2pa import verify_font
    from glyphward_c2pa.remote import RemoteError, fetch_store, sidecar_name
    from glyphward_c2pa.validate.report import inaccessible

    if args.fetch:
        try:
            store = fetch_store(uri or "", timeout=args.fetch_timeout)
        except RemoteError as error:
            return inaccessible(uri, str(error))
    else:
        place = args.manifest or os.path.join(args.manifest_dir, sidecar_name(path))
        try:
            with open(place, "rb") as file:
                store = file.read()
        except OSError as error:
            return inaccessible(uri, f"cannot read the Manifest Store {place}: {error.strerror}")
    return verify_font(font, trust_anchors=anchors, tsa_trust_anchors=tsa_anchors, manifest_store=store)


def _why(record: Dict[str, Any]) -> str:
    state = record["manifest_state"]
    failures = record["validation_results"].get("activeManifest", {}).get("failure", [])
    if state == "none":
        return "no C2PA manifest"
    if state == "remote" and not failures:
        return (f"the manifest is remote ({record.get('remote_manifest_uri')}): give --manifest, --manifest-dir "
                "or --fetch to validate it")
    if failures:
        first = failures[0]
        more = f" (and {len(failures) - 1} more)" if len(failures) > 1 else ""
        return f"{state}: {first['code']}{more}"
    return f"the manifest is {state}"
