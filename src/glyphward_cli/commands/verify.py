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
explanation}) and error.
"""
from __future__ import annotations

import argparse
import threading
from typing import Any, Dict, List, Optional, Sequence

from ..batch import Progress, Task, run_batch
from ..errors import FontFailure
from ..files import read_font
from ..options import add_fonts, tasks


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_fonts(parser, many=True)
    parser.add_argument("--trust-anchors", metavar="PEM",
                        help="the certificates (PEM) a signer's chain must end at to be trusted")
    parser.add_argument("--tsa-trust-anchors", metavar="PEM",
                        help="the certificates (PEM) a time-stamp authority's chain must end at")
    parser.add_argument("--json", action="store_true", help="print one JSON array")


def load_anchors(parser: argparse.ArgumentParser, option: str, path: Optional[str]) -> Sequence[Any]:
    if path is None:
        return ()
    from glyphward_c2pa import CertificateError, load_pem_certificates

    try:
        with open(path, "rb") as file:
            return load_pem_certificates(file.read(), f"{option} {path}")
    except OSError as error:
        parser.error(f"{option} {path}: {error.strerror}")
    except CertificateError as error:
        parser.error(str(error))
    return ()


def describe(path: str, record: Dict[str, Any]) -> str:
    """The human listing of one font's record."""
    lines = [path]

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
            line("failure" if category == "failure" else "note", _status(status))
    history = record.get("history") or []
    if history:
        lines.append("  history (newest first; each step as validated now):")
        for number, step in enumerate(history, 1):
            when = step.get("signing_time") or "an unknown time"
            lines.append(f"    {number}. {step['kind']} manifest {step['label']}: signed by {step.get('signer')} "
                         f"at {when}; {step['state']}")
            if step.get("actions"):
                lines.append(f"       actions: {', '.join(step['actions'])}")
            if step.get("content_when_used"):
                lines.append(f"       content when it was signed again: {step['content_when_used']}")
    for delta in record.get("validation_results", {}).get("ingredientDeltas", []):
        for category in ("failure", "informational"):
            for status in delta["validationDeltas"].get(category, []):
                line("ingredient", _status(status))
    return "\n".join(lines) + "\n"


def _status(status: Dict[str, Any]) -> str:
    explanation = status.get("explanation")
    return f"{status.get('code')}: {explanation}" if explanation else str(status.get("code"))


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    from glyphward_c2pa import verify_font

    anchors = load_anchors(parser, "--trust-anchors", args.trust_anchors)
    tsa_anchors = load_anchors(parser, "--tsa-trust-anchors", args.tsa_trust_anchors)
    records: List[Dict[str, Any]] = []

    def work(task: Task, cancel: threading.Event) -> Dict[str, Any]:
        try:
            font = read_font(task.path)
        except FontFailure as failure:
            raise FontFailure(failure.message, {"path": task.path, "manifest_state": "none", "asset_valid": False,
                                                "manifest": None, "validation_results": {},
                                                "error": failure.message}) from None
        report = verify_font(font, trust_anchors=anchors, tsa_trust_anchors=tsa_anchors)
        record = report.to_json(task.path)
        if report.error is not None:
            raise FontFailure(report.error, record)
        good = report.asset_valid and (not anchors or report.manifest_state == "trusted")
        if not good:
            raise FontFailure(_why(record), record)
        return record

    def show(task: Task, record: Optional[Dict[str, Any]], error: Optional[str], progress: Progress) -> None:
        if record is None:
            record = {"path": task.path, "manifest_state": "none", "asset_valid": False, "manifest": None,
                      "validation_results": {}, "error": error}
        if not args.json:
            progress.output(("\n" if records else "") + describe(task.path, record))
        records.append(record)

    status = run_batch(tasks(parser, args, writes=False), work, show, jobs=args.jobs, quiet=args.quiet,
                       verb="verified")
    if args.json and status in (0, 1):
        import json
        import sys

        json.dump(records, sys.stdout, indent=2)
        sys.stdout.write("\n")
    return status


def _why(record: Dict[str, Any]) -> str:
    state = record["manifest_state"]
    failures = record["validation_results"].get("activeManifest", {}).get("failure", [])
    if state == "none":
        return "no C2PA manifest"
    if state == "remote":
        return f"the manifest is remote ({record.get('remote_manifest_uri')}); nothing to validate it with"
    if failures:
        first = failures[0]
        more = f" (and {len(failures) - 1} more)" if len(failures) > 1 else ""
        return f"{state}: {first['code']}{more}"
    return f"the manifest is {state}"
