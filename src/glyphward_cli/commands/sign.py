"""sign fonts: with a certificate (a C2PA manifest made here), or with an external signer

With --cert CHAIN.pem and --key KEY.pem (or --key-command CMD), glyphward
makes a C2PA manifest for each font (C2PA Technical Specification 2.2): a
hard binding (--binding boxes: one hash per table, c2pa.hash.boxes; or
--binding data: one hash outside the exclusion ranges, c2pa.hash.data), the
actions, font.info from the font's own tables, and any --assertion; signs
its claim with the key (COSE, ES256/384/512, PS256/384/512 or Ed25519, from
the key or --alg), puts the Manifest Store into the font's C2PA table,
validates the result, and only then writes it. --cert holds the signing
certificate followed by its intermediates. --key-command is run like
--signer (below), once per font: it reads the bytes to sign on standard
input, gets the algorithm's name as its last argument, and writes the raw
signature (COSE's form: r and s for ECDSA) to standard output.

With --signer CMD: for each font, reserve --size bytes for the Manifest
Store, compute the exclusion ranges and the hash of every other byte, run
the signer, fill its manifest into the reservation, check the result, and
write it.

The signer (--signer CMD, split like a shell line and run without a shell,
once per font) reads one JSON object on standard input:

  {"font": INPUT PATH, "reserved_font": PATH OF A TEMPORARY COPY OF THE
   RESERVED FONT, "reserved_size": N, "hash": {"algorithm": "sha256",
   "value": HEX}, "exclusions": [{"start": S, "length": L}, ...]}

and writes the signed Manifest Store, raw bytes, to standard output, exiting
0; each line of its standard error is passed on as 'glyphward: FONT: signer:
LINE'. A non-zero exit (a signal included; the message quotes its last line
of standard error), no output, an output longer than the reservation, or a
run longer than --signer-timeout (the signer is then killed) fails that font.

Before writing, the filled font must have the reserved font's length, the
same bytes outside the exclusion ranges, the same ranges, the manifest
followed by zeros as its store, and be compliant (is_compliant); a font that
fails a check is not written.
"""
from __future__ import annotations

import argparse
import os
import shlex
import threading
from typing import List, Tuple

from ..atomic import write_atomically
from ..batch import Task, run_batch
from ..errors import FontFailure
from ..files import read_font
from ..hashing import ALGORITHMS
from ..options import add_fonts, add_output, positive_int, positive_seconds, tasks
from ..text import path_text

DEFAULT_SIZE = 32768  # room for a typical signed manifest with its certificate chain

QUIET_HELP = ("no progress bar and no summary line; each failed font is still reported, "
              "and the signer's standard error passed on")


def signer_command(text: str) -> List[str]:
    try:
        command = shlex.split(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(f"cannot split {text!r}: {error}") from None
    if not command:
        raise argparse.ArgumentTypeError("empty command")
    return command


def add_arguments(parser: argparse.ArgumentParser) -> None:
    from ..c2pa_sign import add_c2pa_arguments

    add_fonts(parser, many=True)
    add_c2pa_arguments(parser)
    external = parser.add_argument_group("with an external signer")
    external.add_argument("--signer", type=signer_command, metavar="CMD",
                          help="the signer's command line, run once per font")
    parser.add_argument("--size", type=positive_int, metavar="N",
                        help=f"bytes reserved for the signed manifest (--signer: default {DEFAULT_SIZE}; "
                             "--cert: the least room to reserve, default exactly what the manifest needs)")
    parser.add_argument("--uri", metavar="URI", help="also record this active manifest URI")
    parser.add_argument("--algorithm", choices=ALGORITHMS, default="sha256",
                        help="hash algorithm (default sha256)")
    parser.add_argument("--signer-timeout", type=positive_seconds, default=120.0, metavar="SECONDS",
                        help="kill the signer or key command and fail the font after this long (default 120)")
    add_output(parser, many=True)


def sign(task: Task, args: argparse.Namespace, cancel: threading.Event) -> None:
    import shutil
    import tempfile

    import glyphward

    from ..hashing import hash_outside
    from ..signer import run_signer

    from ..batch import report

    assert task.destination is not None
    font = read_font(task.path)
    try:
        glyphward.read_manifest_uri_str(font)
        report(f"glyphward: {path_text(task.path)}: warning: the font's C2PA table is replaced; what it held is not kept "
               "(glyphward sign --cert keeps a Manifest Store as the new manifest's ingredient)")
    except ValueError:
        pass  # no C2PA table (or none the module can read: reserving reports that)
    reserved = glyphward.reserve_manifest_placeholder(font, args.size, args.uri)
    ranges = glyphward.data_hash_ranges(reserved)
    digest = hash_outside(reserved, ranges, args.algorithm)

    try:
        workspace = tempfile.mkdtemp(prefix="glyphward-sign-")
    except OSError as error:
        raise FontFailure(f"cannot make a temporary directory for the signer: {error.strerror}") from None
    try:
        copy = os.path.join(workspace, os.path.basename(task.path))
        try:
            with open(copy, "wb") as file:
                file.write(reserved)
        except OSError as error:
            raise FontFailure(f"cannot write the reserved copy for the signer: {error.strerror}") from None
        request = {
            "font": task.path,
            "reserved_font": copy,
            "reserved_size": args.size,
            "hash": {"algorithm": args.algorithm, "value": digest},
            "exclusions": [{"start": start, "length": length} for start, length in ranges],
        }
        manifest = run_signer(args.signer, request, args.size, args.signer_timeout, cancel)
    finally:
        shutil.rmtree(workspace, ignore_errors=True)

    signed = glyphward.fill_manifest_store(reserved, manifest)
    check_filled(reserved, signed, ranges, manifest)
    write_atomically(task.destination, signed, cancel)


def check_filled(reserved: bytes, signed: bytes, ranges: List[Tuple[int, int]], manifest: bytes) -> None:
    """Raises FontFailure unless `signed` is `reserved` with `manifest` in
    its store and nothing else changed outside the exclusion ranges."""
    import glyphward

    def fail(why: str) -> None:
        raise FontFailure(f"the signed font fails verification: {why}; not written")

    if len(signed) != len(reserved):
        fail(f"it is {len(signed)} bytes, the reserved font {len(reserved)}")
    if glyphward.data_hash_ranges(signed) != ranges:
        fail("its exclusion ranges differ from the reserved font's")
    position = 0
    for start, length in ranges + [(len(reserved), 0)]:
        if signed[position:start] != reserved[position:start]:
            fail(f"bytes between {position} and {start} changed")
        position = start + length
    store = glyphward.read_manifest_store(signed)
    if store != manifest + bytes(len(store) - len(manifest)):
        fail("its Manifest Store is not the signer's manifest followed by zeros")
    if not glyphward.is_compliant(signed):
        fail("is_compliant is False")


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    if (args.signer is None) == (args.cert is None):
        parser.error("give either --cert (with --key or --key-command) or --signer")
    if args.cert is not None:
        from ..c2pa_sign import run_c2pa

        return run_c2pa(args, parser)
    if args.size is None:
        args.size = DEFAULT_SIZE
    return run_batch(tasks(parser, args), lambda task, cancel: sign(task, args, cancel),
                     jobs=args.jobs, quiet=args.quiet, verb="signed")
