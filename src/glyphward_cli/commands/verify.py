"""verify the C2PA manifests of fonts (C2PA Technical Specification 2.2, 15)

For each font: locates the Manifest Store in its C2PA table and validates the
active manifest: the claim, its signature and certificate, every assertion's
hash, and the hard binding against the font's bytes. The first line of each
font is its file name and the verdict in words: "trusted", "valid, signer NOT
trusted", "NOT valid: content changed (glyf, name)" (every table that is not
as signed: changed, removed or added), "NOT valid: assertion changed
(c2pa.actions.v2)", "NOT valid: ..." (the first failure). Then the manifest's
state (none, remote, invalid, well-formed, valid, trusted), whether the font
is a valid asset (its content unchanged since signing and its manifest valid
or trusted), who signed it (subject, issuer, SHA-256 fingerprint) and when,
every failure with its status code, and the notes that are not routine (with
--verbose, the routine ones too, such as timeOfSigning.insideValidity, and
every success code). With --show, the content of every assertion of the
active manifest (the claim generator's own JSON, font.info, actions with
their parameters) follows, bounded: long text, byte strings (base64url) and
lists are cut, and it says so; what a manifest that is not valid, or a font
that is not a valid asset, says is headed with a warning (C2PA 2.2, 15.3).

Without --trust-anchors a valid manifest is valid but not trusted
(signingCredential.untrusted); with it, the signer's chain must end at one of
those certificates. --expect-signer FINGERPRINT|SUBJECT, repeatable, accepts
only fonts signed by one of the certificates given: by SHA-256 fingerprint
(64 hexadecimal digits, colons allowed) or by subject as the listing shows
it (RFC 4514), which needs --trust-anchors (anyone can make a certificate
with any subject). Exit status 0 when every font is a valid asset (and its
manifest trusted, with --trust-anchors; and its signer expected, with
--expect-signer), 1 otherwise, 2 for bad usage.

With --json, one JSON array, one object per font, with the keys path,
manifest_state, asset_valid, remote_manifest_uri, manifest (a summary, or
null), history, validation_results (C2PA's validation-results-map:
activeManifest with success, informational and failure lists of {code, url,
explanation}), error, certificate_chain (the signer's x5chain, signer first:
sha256, serial in hexadecimal, subject, issuer, not_before, not_after),
changed_tables (null, or the changed, removed and added tables and whether
they were reordered), assertions (with --show, [{label, content}]; else
null), verdict ("trusted", "valid" or "not valid"), verdict_text (the words
of the first line) and accepted (what the exit status counts); every record
has all of these keys, a font that cannot be read too (its error set,
manifest_state none). The JSON is ASCII (other characters as \\u escapes),
and a lone surrogate in a font's text is replaced by U+FFFD.

Text a font supplies (a title, a signer's name, an action, a remote URI, an
assertion's content) is listed with its control characters, bidi controls
and other characters that are not printable escaped as \\xNN, \\uNNNN or
\\UNNNNNNNN, so that it cannot rewrite the listing on a terminal; so is a
font's file name (an undecodable byte as \\xNN; a name holding ": " in
quotes, so that it cannot pass for a verdict), which JSON keeps as it is
(but for U+FFFD). A step of the history whose manifest does not validate
(not valid or trusted) only claims to be signed by its signer, and its title
and actions are listed as unverified.
"""
from __future__ import annotations

import argparse
import threading
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence

from ..anchors import HELP as ANCHORS_HELP
from ..anchors import load_anchors
from ..batch import Progress, Task, run_batch
from ..errors import FontFailure
from ..files import read_font_as_sfnt
from ..options import add_fonts, positive_seconds, tasks
from ..text import JSON_HELP, json_text, path_text, terminal_text

if TYPE_CHECKING:
    from glyphward_c2pa.status import Status
    from glyphward_c2pa.validate.acceptance import Acceptance
    from glyphward_c2pa.validate.report import ManifestSummary, ValidationReport


QUIET_HELP = ("no progress bar and no summary line on standard error; "
              "the listing, failed fonts included, is unchanged")


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_fonts(parser, many=True)
    parser.add_argument("--trust-anchors", action="append", metavar="PEM",
                        help=ANCHORS_HELP.format(what=" a signer's chain must end at to be trusted"))
    parser.add_argument("--tsa-trust-anchors", action="append", metavar="PEM",
                        help=ANCHORS_HELP.format(what=" a time-stamp authority's chain must end at"))
    parser.add_argument("--expect-signer", action="append", default=[], metavar="FINGERPRINT|SUBJECT",
                        help="accept only fonts signed by this certificate: its SHA-256 fingerprint (hexadecimal, "
                             "colons allowed), or its subject as the listing shows it (needs --trust-anchors); "
                             "repeat the option to accept any of several signers")
    parser.add_argument("-v", "--verbose", action="store_true",
                        help="also list the notes that hold for every good font and every success code")
    parser.add_argument("--show", action="store_true",
                        help="list the content of every assertion (bounded); with --json, in each record's "
                             "assertions")
    remote = parser.add_argument_group("fonts whose C2PA table holds only a remote manifest's URI")
    remote.add_argument("--manifest", metavar="FILE", help="the Manifest Store of the (one) font")
    remote.add_argument("--manifest-dir", metavar="DIR",
                        help="where each font's Manifest Store is, as NAME.c2pa for the font NAME.ttf")
    remote.add_argument("--fetch", action="store_true",
                        help="fetch the Manifest Store from the font's URI (http or https)")
    remote.add_argument("--fetch-timeout", type=positive_seconds, default=30.0, metavar="SECONDS",
                        help="give up fetching after this long (default 30)")
    parser.add_argument("--json", action="store_true", help=JSON_HELP)



@dataclass
class Verified:
    """One font's validation as the listing and the JSON record show it."""
    path: str
    report: "ValidationReport"
    acceptance: "Acceptance"
    anchors_given: bool

    def record(self, show: bool) -> Dict[str, Any]:
        record = self.report.to_json(self.path, show=show)
        record.update(verdict=self.acceptance.verdict.value, verdict_text=self.acceptance.words,
                      accepted=self.acceptance.accepted)
        return record


# Informational codes that hold for every good font: listed with --verbose.
ROUTINE = frozenset({"timeOfSigning.insideValidity"})


def heading(path: str, words: str) -> str:
    """The first line of a font's listing: its name and the verdict. A name
    holding ": " is quoted, so that a file called "a.ttf: trusted" cannot
    read as a verdict."""
    shown = path_text(path)
    if ": " in shown or shown != shown.strip():
        shown = "'" + shown.replace("'", "\\'") + "'"
    return f"{shown}: {terminal_text(words)}"


def describe(verified: Verified, verbose: bool = False, show: bool = False) -> str:
    """The human listing of one font, from its report and acceptance.
    Without trust anchors, an untrusted credential is a note (listed with
    `verbose`), not a failure line. Every string the font supplied is shown
    with its control characters escaped (text.terminal_text), and the path
    with text.path_text: a file name may come from an attacker too. A
    history step that is not valid is not said to be signed by anyone, and
    what it says of itself is marked unverified."""
    from glyphward_c2pa.status import Code, State

    report = verified.report
    lines = [heading(verified.path, verified.acceptance.words)]

    def line(name: str, value: Any) -> None:
        lines.append(f"  {name + ':':<17}{terminal_text(str(value))}")

    if report.error is not None:
        line("error", report.error)
        return "\n".join(lines) + "\n"
    state = report.manifest_state
    summary = report.manifest
    kind = " (update manifest)" if summary is not None and summary.kind == "update" else ""
    line("manifest", f"{state}{kind}" + {State.REMOTE: f" ({report.remote_uri})",
                                          State.NONE: " (no C2PA manifest)"}.get(state, ""))
    line("asset", "valid" if report.asset_valid else "NOT valid")
    failures = report.results.failure
    if state == State.REMOTE and not failures:
        line("to validate", "give --manifest FILE, --manifest-dir DIR or --fetch")
    if summary is not None:
        if summary.signer:
            line("signer", summary.signer)
            line("issuer", summary.issuer)
        if report.certificates:
            line("fingerprint", f"SHA-256 {report.certificates[0].sha256}")
        if verified.acceptance.expected_signer is not None:
            line("expected signer", "yes" if verified.acceptance.expected_signer else
                 "NO: none of the --expect-signer certificates")
        if summary.signing_time:
            line("signed at", f"{summary.signing_time} (claimed by the signer)")
        if summary.timestamp:
            line("time-stamp", f"{summary.timestamp} (attested by a trusted time-stamp authority)")
        if summary.claim_generator:
            line("claim generator", summary.claim_generator)
        if summary.title:
            line("title", summary.title)
        line("binding", summary.binding or ("none: the parent's binds the content" if kind else "none"))
        line("assertions", ", ".join(summary.assertions) or "none")
        if summary.actions:
            line("actions", ", ".join(summary.actions))
    for status in failures:
        untrusted = status.code == Code.SIGNING_CREDENTIAL_UNTRUSTED and not verified.anchors_given
        if not untrusted:
            line("failure", _status(status))
        elif verbose:
            line("note", _status(status))
    for status in report.results.informational:
        if verbose or status.code not in ROUTINE:
            line("note", _status(status))
    if verbose:
        for status in report.results.success:
            line("success", _status(status))
    if show and report.assertions:
        lines.extend(_assertions(report))
    if report.history:
        lines.append("  history, before this manifest (newest first; each step as validated now):")
        for number, step in enumerate(report.history, 1):
            lines.extend(_history_step(number, step))
            if step.content_when_used:
                lines.append(f"       content when it was signed again: {terminal_text(step.content_when_used)}")
    for delta in report.ingredient_deltas:
        deltas = delta.get("validationDeltas") if isinstance(delta, dict) else None
        for category in ("failure", "informational"):
            for entry in (deltas or {}).get(category, []):
                if isinstance(entry, dict):
                    explanation = entry.get("explanation")
                    line("ingredient", f"{entry.get('code')}: {explanation}" if explanation else entry.get("code"))
    return "\n".join(lines) + "\n"


def _assertions(report: "ValidationReport") -> List[str]:
    """Each assertion's content, as JSON indented under its label, every
    line escaped for the terminal; `shown_value` bounds what is shown. What
    a manifest that is not valid, or a font that is not a valid asset, says
    is shown with a warning that no signer vouches for it (C2PA 2.2, 15.3)."""
    from glyphward_c2pa.shown import shown_value

    if not report.manifest_state.validated:
        heading = (f"  content of the assertions (UNVERIFIED: the manifest is {report.manifest_state}; "
                   "do not attribute it to the signer):")
    elif not report.asset_valid:
        heading = "  content of the assertions (as signed, but the font is NOT a valid asset):"
    else:
        heading = "  content of the assertions (as signed):"
    lines = [heading]
    for assertion in report.assertions:
        lines.append(f"    {terminal_text(assertion.label)}:")
        if assertion.value is None:
            lines.append("      (not CBOR or JSON that decodes)")
            continue
        text = _json_lines(shown_value(assertion.value), 6)
        lines.extend(terminal_text(part) for part in text.split("\n"))
    return lines


# A list or map whose JSON fits in this many characters is shown on one line.
LINE = 100


def _json_lines(value: Any, indent: int) -> str:
    """`value` as indented JSON, `indent` spaces in, with each small list or
    map (of at most 16 items, whose JSON fits on one line) on one line."""
    import json

    pad = " " * indent
    if not isinstance(value, (list, dict)) or not value:
        return pad + json.dumps(value, ensure_ascii=False)
    if len(value) <= 16:
        one = json.dumps(value, ensure_ascii=False)
        if indent + len(one) <= LINE:
            return pad + one
    if isinstance(value, list):
        inner = [_json_lines(item, indent + 2) for item in value]
        return pad + "[\n" + ",\n".join(inner) + "\n" + pad + "]"
    entries = [_json_lines(item, indent + 2) for item in value.values()]
    keyed = [" " * (indent + 2) + json.dumps(key, ensure_ascii=False) + ": " + entry.lstrip(" ")
             for key, entry in zip(value, entries)]
    return pad + "{\n" + ",\n".join(keyed) + "\n" + pad + "}"


def _history_step(number: int, step: "ManifestSummary") -> List[str]:
    """The lines of one step of the history. The active manifest pins only an
    ingredient manifest's claim signature (C2PA 2.2, 15.11.3.3.1), so anyone
    may rewrite the rest of a step whose own signature then fails: what such a
    step says (its signer, time, title, actions) is what it claims, not what
    anyone signed."""
    when = step.signing_time or "an unknown time"
    head = f"    {number}. {step.kind} manifest {step.label}: "
    if step.state.validated:
        lines = [head + f"signed by {step.signer} at {when}; {step.state}"]
        unverified = ""
    else:
        lines = [head + f"claims to be signed by {step.signer} at {when}; "
                        f"it does not validate ({step.state})"]
        unverified = " (unverified)"
    if step.title:
        lines.append(f"       title{unverified}: {step.title}")
    if step.actions:
        lines.append(f"       actions{unverified}: {', '.join(step.actions)}")
    return [terminal_text(text) for text in lines]


def _status(status: "Status") -> str:
    return f"{status.code}: {status.explanation}" if status.explanation else str(status.code)


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    from glyphward_c2pa import verify_font
    from glyphward_c2pa.validate.acceptance import fingerprint_text, judge

    if args.manifest is not None and len(args.fonts) > 1:
        parser.error("--manifest names the Manifest Store of one font; use --manifest-dir for several")
    if sum(option is not None and option is not False for option in (args.manifest, args.manifest_dir, args.fetch)) > 1:
        parser.error("give one of --manifest, --manifest-dir and --fetch")
    subjects = [expected for expected in args.expect_signer if fingerprint_text(expected) is None]
    if subjects and args.trust_anchors is None:
        parser.error(f"--expect-signer {subjects[0]!r} names a subject, which anyone can put in a certificate: "
                     "give --trust-anchors too, or the signer's SHA-256 fingerprint")
    anchors = load_anchors(parser, "--trust-anchors", args.trust_anchors)
    tsa_anchors = load_anchors(parser, "--tsa-trust-anchors", args.tsa_trust_anchors)
    expected: Sequence[str] = tuple(args.expect_signer)
    records: List[Dict[str, Any]] = []

    def verified(path: str, report: "ValidationReport") -> Verified:
        acceptance = judge(report, anchors_given=bool(anchors), expected_signers=expected)
        return Verified(path, report, acceptance, bool(anchors))

    def work(task: Task, cancel: threading.Event) -> Verified:
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
        result = verified(task.path, report)
        if not result.acceptance.accepted:
            raise FontFailure(result.acceptance.words, result)
        return result

    def show(task: Task, result: Any, error: Optional[str], progress: Progress) -> None:
        if not isinstance(result, Verified):  # an unexpected failure, reported without a result
            result = failed(task.path, error or "internal error: no record")
        if not args.json:
            progress.output(("\n" if records else "") + describe(result, args.verbose, args.show))
        records.append(result.record(args.show))

    status = run_batch(tasks(parser, args, writes=False), work, show, jobs=args.jobs, quiet=args.quiet,
                       verb="verified", report_failures=False)
    if args.json and status in (0, 1):
        import sys

        sys.stdout.write(json_text(records) + "\n")
    return status


def failed(path: str, error: str) -> Verified:
    """A font that could not be validated: a report with `error` set, and so
    a record with the keys of every other (ValidationReport.to_json)."""
    from glyphward_c2pa.status import State
    from glyphward_c2pa.validate.acceptance import judge
    from glyphward_c2pa.validate.report import ValidationReport

    report = ValidationReport(State.NONE, False, error=error)
    return Verified(path, report, judge(report, anchors_given=False), False)


def _verify_remote(font: bytes, path: str, uri: Optional[str], args: argparse.Namespace, anchors: Sequence[Any],
                   tsa_anchors: Sequence[Any]) -> "ValidationReport":
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
