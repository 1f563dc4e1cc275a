"""`glyphward sign --cert ...`: signing fonts with a C2PA manifest that
glyphward makes itself (through glyphward_c2pa), one font per task."""
from __future__ import annotations

import argparse
import os
import threading
from typing import Any, Dict, List, Optional

from ...atomic import write_atomically, write_pair
from ...batch import Task, report, run_batch
from ...errors import CommandError, FontFailure
from ...files import read_font, read_json
from ...options import tasks
from ...text import path_text, terminal_text
from .arguments import assertion_specs


def run_certificate(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    from glyphward_c2pa.signing import ClaimGenerator, Embedded, Remote, SigningError, SigningRequest, TimeStamper

    from ...anchors import load_anchors

    # Usage errors first, before any file but the anchors is read ...
    todo = tasks(parser, args)
    if args.key is None and args.key_command is None:
        parser.error("--cert needs --key KEY.pem or --key-command CMD")
    specs = assertion_specs(parser, args.assertion)
    chosen_formats = _web_options(parser, args)
    sidecars = _sidecars(parser, args, todo)
    remotes = _remote_urls(parser, args, todo)
    anchors = load_anchors(parser, "--trust-anchors", args.trust_anchors)
    # ... then what the files hold, whose faults are not (CommandError).
    signer = make_signer(args, parser)
    assertions = [(label, read_json(path, f"--assertion {label}={path_text(path)}")) for label, path in specs]
    font_info = read_font_info(parser, args)
    parent = read_parent(args.parent)
    tsa = TimeStamper(args.tsa, args.tsa_timeout) if args.tsa is not None else None

    def generator_for(chosen: Any) -> ClaimGenerator:
        try:
            return ClaimGenerator(chosen, hash_algorithm=args.algorithm, time_stamper=tsa, trust_anchors=anchors,
                                  strict=args.strict, claim_generator=args.claim_generator)
        except SigningError as error:
            raise CommandError(str(error)) from None

    # One claim generator for the run; a key command signs through a signer
    # of its own for each font (its process is the task's to cancel).
    generator = generator_for(signer)

    def work(task: Task, cancel: threading.Event) -> List[str]:
        assert task.destination is not None
        font = read_font(task.path) if chosen_formats is None else _web_ready(task.path)
        signing = generator_for(signer.for_task(task.path, cancel)) if hasattr(signer, "for_task") else generator
        remote = remotes.get(task.path)
        request = SigningRequest(
            binding="boxes" if chosen_formats is not None else args.binding, placement=Remote(remote) if remote is not None else Embedded(args.size, args.uri),
            title=args.title, assertions=tuple(assertions), digital_source_type=args.digital_source_type,
            actions=tuple(args.action), parent=parent, font_info=font_info, replace=args.replace)
        shown_path = path_text(task.path)
        try:
            signed = signing.sign(font, request, warn=lambda line: report(f"glyphward: {shown_path}: warning: "
                                                                          f"{terminal_text(line)}"))
        except SigningError as error:
            raise FontFailure(str(error)) from None
        if chosen_formats is not None:
            from ...web_formats import web_files

            try:
                files = web_files(signed.font, task.destination, chosen_formats)
            except ValueError as error:  # WebfontError
                raise FontFailure(str(error)) from None
            write_pair(list(files.items()), cancel)
        elif sidecars:
            write_pair([(sidecars[task.path], signed.manifest_store), (task.destination, signed.font)], cancel)
        else:
            write_atomically(task.destination, signed.font, cancel)
        return signed.warnings

    return run_batch(todo, work, jobs=args.jobs, quiet=args.quiet, verb="signed")


def _web_options(parser: argparse.ArgumentParser, args: argparse.Namespace) -> Optional[List[str]]:
    """The formats --web writes, or None without --web; a usage error for
    options that do not go with it."""
    if not args.web:
        if args.formats is not None:
            parser.error("--formats goes with --web")
        return None
    if args.binding == "data" or args.uri is not None or args.size is not None or args.remote is not None:
        parser.error("--web binds each font with the box hash, one box per table, and embeds the manifest in "
                     "every file it writes: --binding data, --uri, --size and --remote do not apply")
    from ...web_formats import DEFAULT_FORMATS

    return list(args.formats or DEFAULT_FORMATS)


def _web_ready(path: str) -> bytes:
    """The font at `path` (an SFNT, WOFF or WOFF2 file) in the web normal
    form, ready to be signed for the web."""
    from glyphward_c2pa.webfont import WebfontError, normalise

    try:
        return normalise(read_font(path))
    except WebfontError as error:
        raise FontFailure(str(error)) from None


def read_parent(path: Optional[str]) -> Optional[bytes]:
    """The bytes of --parent FONT, or None."""
    if path is None:
        return None
    try:
        return read_font(path)
    except FontFailure as error:
        raise CommandError(f"--parent {path_text(path)}: {error}") from None


def read_font_info(parser: argparse.ArgumentParser, args: argparse.Namespace) -> Optional[Dict[str, Any]]:
    """The font.info fields of --font-info FILE.json, or None."""
    if args.font_info is None:
        return None
    value = read_json(args.font_info, f"--font-info {path_text(args.font_info)}")
    if not isinstance(value, dict):
        parser.error(f"--font-info {path_text(args.font_info)}: not a JSON object (font.info's fields by "
                     "name, as C2PA 2.2's font-info-map has them)")
    return value


def make_signer(args: argparse.Namespace, parser: argparse.ArgumentParser) -> Any:
    """The signer the options describe. A missing environment variable is a
    usage error; a file that cannot be read, a wrong passphrase, or a key
    that does not fit the certificate or --alg is a CommandError."""
    from glyphward_c2pa import KeySigner, SignerError

    password: Optional[bytes] = None
    if args.key_password_env is not None:
        if args.key_password_env not in os.environ:
            parser.error(f"--key-password-env: the environment variable {args.key_password_env} is not set")
        password = os.fsencode(os.environ[args.key_password_env])  # the variable's bytes, as they are
    chain = _read("--cert", args.cert)
    try:
        if args.key_command is not None:
            from ...key_command import CommandSigner

            return CommandSigner(args.key_command, chain, args.alg, args.signer_timeout)
        return KeySigner.from_pem(chain, _read("--key", args.key), password, args.alg)
    except SignerError as error:
        raise CommandError(str(error)) from None


def _read(option: str, path: str) -> bytes:
    try:
        if os.path.isdir(path):
            raise CommandError(f"{option} {path_text(path)}: is a directory, not a PEM file")
        with open(path, "rb") as file:
            return file.read()
    except OSError as error:
        raise CommandError(f"{option} {path_text(path)}: cannot read: {error.strerror}") from None


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
            parser.error(f"the Manifest Stores of {path_text(seen[key])} and {path_text(task.path)} would both be "
                         f"written to {path_text(place)}")
        seen[key] = task.path
        places[task.path] = place
    return places


def _remote_urls(parser: argparse.ArgumentParser, args: argparse.Namespace, todo: List[Task]) -> Dict[str, str]:
    """Each font's remote manifest URL: --remote itself for one font, or
    --remote + NAME.c2pa when it ends in '/'."""
    if args.remote is None:
        return {}
    from urllib.parse import quote, urlsplit

    from glyphward_c2pa.remote import sidecar_name

    if urlsplit(args.remote).scheme not in ("http", "https") or not urlsplit(args.remote).netloc:
        parser.error(f"--remote {args.remote}: not an http or https URL")
    if args.remote.endswith("/"):
        return {task.path: args.remote + quote(sidecar_name(task.destination or task.path))
                for task in todo}
    if len(todo) > 1:
        parser.error("--remote names one manifest's URL: for several fonts give a folder URL ending in '/' "
                     "(each font gets URL + NAME.c2pa)")
    return {task.path: args.remote for task in todo}
