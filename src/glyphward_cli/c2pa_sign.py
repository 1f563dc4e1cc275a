"""`glyphward sign --cert ...`: signing fonts with a C2PA manifest that
glyphward makes itself (through glyphward_c2pa), one font per task."""
from __future__ import annotations

import argparse
import os
import re
import threading
from typing import Any, Dict, List, Optional, Tuple

from .atomic import write_atomically, write_pair
from .batch import Task, run_batch
from .errors import FontFailure
from .files import read_font
from .options import tasks
from .text import path_text, terminal_text

# C2PA 2.2, 6.2.1: an action is a namespaced name (c2pa.*, font.*, com.example.*).
_ACTION = re.compile(r"[A-Za-z0-9][A-Za-z0-9_-]*(\.[A-Za-z0-9][A-Za-z0-9_-]*)+")
ALGORITHM_NAMES = ("ES256", "ES384", "ES512", "PS256", "PS384", "PS512", "Ed25519")
DIGITAL_CREATION = "http://cv.iptc.org/newscodes/digitalsourcetype/digitalCreation"


def add_c2pa_arguments(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("with a certificate (a C2PA manifest made by glyphward)")
    group.add_argument("--cert", metavar="CHAIN.pem",
                       help="the signing certificate followed by its intermediate CA certificates (PEM)")
    key = group.add_mutually_exclusive_group()
    key.add_argument("--key", metavar="KEY.pem", help="the signing certificate's private key (PEM)")
    key.add_argument("--key-command", type=_command, metavar="CMD",
                     help="a program that signs with the key: bytes to sign on its standard input, the "
                          "algorithm's name as its last argument, the raw signature on its standard output")
    group.add_argument("--key-password-env", metavar="VAR",
                       help="the environment variable that holds the key's passphrase")
    group.add_argument("--alg", choices=ALGORITHM_NAMES,
                       help="signature algorithm (default: from the key; PS256 for RSA)")
    group.add_argument("--binding", choices=("boxes", "data"),
                       help="hard binding: one hash per table (boxes, the default) or one hash of the font "
                            "outside its exclusion ranges (data)")
    group.add_argument("--title", help="the manifest's dc:title (default: the font's full name)")
    group.add_argument("--digital-source-type", metavar="URI", default=DIGITAL_CREATION,
                       help=f"of the c2pa.created action (default {DIGITAL_CREATION})")
    group.add_argument("--assertion", action="append", default=[], metavar="LABEL=FILE.json",
                       help="add an assertion of your own: the JSON in FILE, stored as CBOR (repeatable)")
    group.add_argument("--strict", action="store_true",
                       help="refuse a certificate that falls short of the C2PA certificate profile "
                            "(by default a warning)")
    group.add_argument("--tsa", metavar="URL",
                       help="get an RFC 3161 time-stamp over the claim signature from this time-stamp authority, "
                            "so that the signature stays valid after the certificate expires")
    group.add_argument("--tsa-timeout", type=_seconds, default=30.0, metavar="SECONDS",
                       help="fail a font whose time-stamp takes longer than this (default 30)")
    group.add_argument("--remote", metavar="URL",
                       help="a remote manifest: the font's C2PA table holds only this URL, and the Manifest Store "
                            "is written beside the font as NAME.c2pa (or into --manifest-dir), to be published there; "
                            "a URL ending in '/' is a folder: each font gets URL + NAME.c2pa")
    group.add_argument("--manifest-dir", metavar="DIR",
                       help="with --remote: write the Manifest Stores into DIR instead of beside the fonts")
    history = parser.add_argument_group("fonts that are already signed")
    history.add_argument("--action", action="append", default=[], metavar="ACTION",
                         help="what was done to an already signed font since, recorded after c2pa.opened: "
                              "font.subset, font.edited, font.hinted, ... (repeatable)")
    history.add_argument("--replace", action="store_true",
                         help="discard the Manifest Store the font carries instead of keeping it as the new "
                              "manifest's ingredient")
    history.add_argument("--trust-anchors", metavar="PEM",
                         help="the trust anchors to validate the font's existing manifest with, whose results the "
                              "new manifest records")


def _seconds(text: str) -> float:
    from .options import positive_seconds

    return positive_seconds(text)


def _command(text: str) -> List[str]:
    from .commands.sign import signer_command

    return signer_command(text)


def _assertions(parser: argparse.ArgumentParser, specs: List[str]) -> List[Tuple[str, Any]]:
    import json

    from glyphward_c2pa.signing import SigningError, check_label

    found: List[Tuple[str, Any]] = []
    for spec in specs:
        label, separator, path = spec.partition("=")
        if not separator or not label or not path:
            parser.error(f"--assertion {spec}: expected LABEL=FILE.json")
        try:
            check_label(label)
        except SigningError as error:
            parser.error(f"--assertion {spec}: {error}")
        if label in (existing for existing, _ in found):
            parser.error(f"--assertion {label} is given twice")
        try:
            with open(path, "rb") as file:
                value = json.loads(file.read().decode("utf-8"))
        except OSError as error:
            parser.error(f"--assertion {spec}: cannot read {path}: {error.strerror}")
        except (UnicodeDecodeError, ValueError) as error:
            parser.error(f"--assertion {spec}: {path} is not JSON: {error}")
        found.append((label, value))
    return found


def _read(parser: argparse.ArgumentParser, option: str, path: str) -> bytes:
    try:
        with open(path, "rb") as file:
            return file.read()
    except OSError as error:
        parser.error(f"{option} {path}: {error.strerror}")
        raise  # unreachable: parser.error exits


def _sidecars(parser: argparse.ArgumentParser, args: argparse.Namespace, todo: List[Task]) -> Dict[str, str]:
    """With --remote: where each font's Manifest Store is written."""
    if args.remote is None:
        if args.manifest_dir is not None:
            parser.error("--manifest-dir goes with --remote")
        return {}
    if args.binding == "data" or args.uri is not None or args.size is not None:
        parser.error("--remote binds the font with the box hash and puts only its URL in the font: "
                     "--binding data, --uri and --size do not apply")
    from glyphward_c2pa.remote import sidecar_name

    if args.manifest_dir is not None and not os.path.isdir(args.manifest_dir):
        parser.error(f"--manifest-dir {args.manifest_dir}: not an existing directory")
    places: Dict[str, str] = {}
    seen: Dict[str, str] = {}
    for task in todo:
        assert task.destination is not None
        directory = args.manifest_dir if args.manifest_dir is not None else os.path.dirname(task.destination)
        place = os.path.join(directory, sidecar_name(task.destination))
        key = os.path.realpath(place)
        if key in seen:
            parser.error(f"the Manifest Stores of {path_text(seen[key])} and {path_text(task.path)} would both be written to "
                         f"{path_text(place)}")
        seen[key] = task.path
        places[task.path] = place
    return places


def _remote_urls(parser: argparse.ArgumentParser, args: argparse.Namespace, todo: List[Task]) -> Dict[str, str]:
    """Each font's remote manifest URL: --remote itself for one font, or
    --remote + NAME.c2pa when it ends in '/'."""
    if args.remote is None:
        return {}
    from glyphward_c2pa.remote import sidecar_name

    from urllib.parse import quote, urlsplit

    if urlsplit(args.remote).scheme not in ("http", "https") or not urlsplit(args.remote).netloc:
        parser.error(f"--remote {args.remote}: not an http or https URL")
    if args.remote.endswith("/"):
        return {task.path: args.remote + quote(sidecar_name(task.destination or task.path))
                for task in todo}
    if len(todo) > 1:
        parser.error("--remote names one manifest's URL: for several fonts give a folder URL ending in '/' "
                     "(each font gets URL + NAME.c2pa)")
    return {task.path: args.remote for task in todo}


def make_signer(args: argparse.Namespace, parser: argparse.ArgumentParser) -> Any:
    """The signer the options describe; a usage error when they do not."""
    from glyphward_c2pa import KeySigner, SignerError

    if args.key is None and args.key_command is None:
        parser.error("--cert needs --key KEY.pem or --key-command CMD")
    chain = _read(parser, "--cert", args.cert)
    try:
        if args.key_command is not None:
            from .key_command import CommandSigner

            return CommandSigner(args.key_command, chain, args.alg, args.signer_timeout)
        password: Optional[bytes] = None
        if args.key_password_env is not None:
            if args.key_password_env not in os.environ:
                parser.error(f"--key-password-env: the environment variable {args.key_password_env} is not set")
            password = os.environ[args.key_password_env].encode("utf-8")
        return KeySigner.from_pem(chain, _read(parser, "--key", args.key), password, args.alg)
    except SignerError as error:
        parser.error(str(error))


def run_c2pa(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    from glyphward_c2pa import SigningError, sign_font

    from .commands.verify import load_anchors

    todo = tasks(parser, args)
    signer = make_signer(args, parser)
    assertions = _assertions(parser, args.assertion)
    anchors = load_anchors(parser, "--trust-anchors", args.trust_anchors)
    for action in args.action:
        if not _ACTION.fullmatch(action):
            parser.error(f"--action {action!r}: not an action name (e.g. font.subset)")
    sidecars = _sidecars(parser, args, todo)
    remotes = _remote_urls(parser, args, todo)
    from glyphward_c2pa.signing import TimeStamper

    tsa = TimeStamper(args.tsa, args.tsa_timeout) if args.tsa is not None else None

    def work(task: Task, cancel: threading.Event) -> List[str]:
        assert task.destination is not None
        font = read_font(task.path)
        signer_for_font = signer.for_task(task.path, cancel) if hasattr(signer, "for_task") else signer
        from .batch import report

        try:
            shown_path = path_text(task.path)
            signed = sign_font(font, signer_for_font, warn=lambda line: report(f"glyphward: {shown_path}: warning: "
                                                                                   f"{terminal_text(line)}"),
                               binding=args.binding, title=args.title,
                               assertions=assertions, digital_source_type=args.digital_source_type, size=args.size,
                               remote_uri=args.uri, strict=args.strict, hash_algorithm=args.algorithm,
                               replace=args.replace, font_actions=args.action, trust_anchors=anchors,
                               remote=remotes.get(task.path), tsa=tsa)
        except SigningError as error:
            raise FontFailure(str(error)) from None
        if sidecars:
            write_pair([(sidecars[task.path], signed.manifest_store), (task.destination, signed.font)], cancel)
        else:
            write_atomically(task.destination, signed.font, cancel)
        return signed.warnings

    return run_batch(todo, work, jobs=args.jobs, quiet=args.quiet, verb="signed")
