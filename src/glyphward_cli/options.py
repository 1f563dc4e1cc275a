"""Options that several commands share, and the checks argparse leaves to us."""
from __future__ import annotations

import argparse
import os
import shlex
from typing import Dict, List

from .batch import Task
from .text import path_text


def positive_int(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def positive_seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"must be a positive number of seconds, not {text}")
    return value


def command_line(text: str) -> List[str]:
    """A program's command line (--signer, --key-command), split like a
    shell line; it is run without a shell."""
    try:
        command = shlex.split(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(f"cannot split {text!r}: {error}") from None
    if not command:
        raise argparse.ArgumentTypeError("empty command")
    return command


def add_fonts(parser: argparse.ArgumentParser, many: bool) -> None:
    if many:
        parser.add_argument("fonts", nargs="+", metavar="FONT", help="TrueType/OpenType font files")
        parser.add_argument("-j", "--jobs", type=positive_int, default=1, metavar="N",
                            help="handle N fonts at once (default 1)")
    else:
        parser.add_argument("font", metavar="FONT", help="a TrueType/OpenType font file")


def add_output(parser: argparse.ArgumentParser, many: bool = False) -> None:
    """Exactly one of -o OUT, --in-place and, for commands taking many
    fonts, --output-dir DIR."""
    group = parser.add_mutually_exclusive_group(required=True)
    group.add_argument("-o", "--output", metavar="OUT",
                       help="write the result to OUT" + (" (one input font only)" if many else ""))
    group.add_argument("--in-place", action="store_true",
                       help="replace the input font (its permission bits are kept)")
    if many:
        group.add_argument("--output-dir", metavar="DIR",
                           help="write each result to DIR under the input's file name")


def font_paths(parser: argparse.ArgumentParser, args: argparse.Namespace) -> List[str]:
    paths = list(args.fonts) if hasattr(args, "fonts") else [args.font]
    if "-" in paths:
        parser.error("fonts are read from files: '-' (standard input) is not accepted")
    return paths


def tasks(parser: argparse.ArgumentParser, args: argparse.Namespace, writes: bool = True) -> List[Task]:
    """One task per input font, with the destination its options give.

    Refuses (as a usage error) -o with several inputs, -o naming a
    directory where --output-dir is what writes into one, an --output-dir
    that is not a directory, and two inputs that would be written to the
    same file.
    """
    paths = font_paths(parser, args)
    if not writes:
        return [Task(path, None) for path in paths]
    output_dir = getattr(args, "output_dir", None)
    if args.output is not None:
        if len(paths) > 1:
            parser.error("-o/--output takes one input font; use --output-dir or --in-place for several")
        if args.output == "-":
            parser.error("fonts are written to files: '-o -' (standard output) is not accepted")
        if hasattr(args, "output_dir") and args.output and os.path.isdir(args.output):
            parser.error(f"-o/--output {path_text(args.output)} is a directory: to write the font into it "
                         f"under its own name, use --output-dir {path_text(args.output)}")
        destinations = [args.output]
    elif output_dir is not None:
        if not os.path.isdir(output_dir):
            parser.error(f"--output-dir {output_dir}: not an existing directory")
        destinations = [os.path.join(output_dir, os.path.basename(path)) for path in paths]
    else:
        destinations = list(paths)

    seen: Dict[str, str] = {}
    for path, destination in zip(paths, destinations):
        key = os.path.realpath(destination)
        if key in seen:
            parser.error(f"{path_text(seen[key])} and {path_text(path)} would both be written to "
                         f"{path_text(destination)}")
        seen[key] = path
    return [Task(path, destination) for path, destination in zip(paths, destinations)]
