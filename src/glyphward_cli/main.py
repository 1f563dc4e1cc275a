"""Entry point of the `glyphward` command: the parser and the dispatch.

Each command lives in `commands/<name>.py`, with `add_arguments(parser)` and
`run(args, parser) -> exit status`. Only argparse and the commands' small
modules are imported here; the extension module, json, hashing and threads
are imported by the command that needs them, so that `glyphward --version`
and `--help` start quickly.
"""
from __future__ import annotations

import argparse
import importlib
import os
import sys
from typing import Optional, Sequence

from ._version import __version__

COMMANDS = ("info", "verify", "extract", "embed", "strip", "reserve", "ranges", "digest", "fill", "sign")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="glyphward",
        description="Inspect, embed, strip and sign the C2PA provenance data of TrueType/OpenType fonts.",
        epilog="Run 'glyphward COMMAND --help' for a command's options.")
    parser.add_argument("--version", action="version", version=f"glyphward {__version__}")
    commands = parser.add_subparsers(title="commands", metavar="COMMAND", dest="command")
    commands.required = True
    for name in COMMANDS:
        module = importlib.import_module(f"{__package__}.commands.{name}")
        doc = (module.__doc__ or "").strip()
        command = commands.add_parser(name, help=doc.splitlines()[0] if doc else None, description=doc,
                                      formatter_class=argparse.RawDescriptionHelpFormatter)
        module.add_arguments(command)
        command.add_argument("-q", "--quiet", action="store_true",
                             help="no progress bar and no summary line (errors are still reported)")
        command.set_defaults(run=module.run, parser=command)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    try:
        args = build_parser().parse_args(argv)
        return args.run(args, args.parser)
    except KeyboardInterrupt:
        print("glyphward: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # Standard output was closed early (`glyphward info ... | head`):
        # stop quietly, and keep the interpreter from complaining at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
