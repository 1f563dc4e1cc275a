"""Entry point of the `glyphward` command: the parser and the dispatch.

Each command lives in `commands/<name>.py`, with `add_arguments(parser)` and
`run(args, parser) -> exit status` (raising errors.CommandError for a
failure that is not a usage error: one line, exit status 1), and, where `-q` silences more
or less than for a command on one font, `QUIET_HELP`. Only argparse and the commands' small
modules are imported here; the extension module, json, hashing and threads
are imported by the command that needs them, so that `glyphward --version`
and `--help` start quickly.
"""
from __future__ import annotations

import argparse
import importlib
import os
import signal
import sys
from typing import Optional, Sequence

from ._version import __version__
from .batch import record_signals
from .errors import CommandError
from .text import protect_streams, terminal_text

COMMANDS = ("info", "verify", "extract", "embed", "strip", "reserve", "ranges", "digest", "fill", "sign")

# What -q silences for a command on one font, which shows neither.
QUIET_HELP = "accepted for scripts: on one font there is no progress bar or summary line to silence"


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="glyphward",
        description="Inspect, embed, strip and sign the C2PA provenance data of TrueType/OpenType fonts.",
        epilog="Run 'glyphward COMMAND --help' for a command's options.")
    parser.add_argument("--version", action="version", version=f"glyphward {__version__}")
    parser.add_argument("-q", "--quiet", action="store_true",
                        help="the command's -q, given before its name (see 'glyphward COMMAND --help')")
    commands = parser.add_subparsers(title="commands", metavar="COMMAND", dest="command")
    commands.required = True
    for name in COMMANDS:
        module = importlib.import_module(f"{__package__}.commands.{name}")
        doc = (module.__doc__ or "").strip()
        command = commands.add_parser(name, help=doc.splitlines()[0] if doc else None, description=doc,
                                      formatter_class=argparse.RawDescriptionHelpFormatter)
        module.add_arguments(command)
        # SUPPRESS: a -q given before the command's name is not undone here.
        command.add_argument("-q", "--quiet", action="store_true", default=argparse.SUPPRESS,
                             help=getattr(module, "QUIET_HELP", QUIET_HELP))
        command.set_defaults(run=module.run, parser=command)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    # First of all: an interrupt from here on is recorded, and stops the
    # command at the batch (batch.record_signals).
    with record_signals() as signals:
        protect_streams()
        try:
            args = build_parser().parse_args(argv)
            try:
                status: int = args.run(args, args.parser)
            except CommandError as error:
                print(f"glyphward: error: {terminal_text(error.message)}", file=sys.stderr)
                status = 1
            sys.stdout.flush()  # here, where a closed pipe is handled below
        except KeyboardInterrupt:
            status = 128 + (signals.signum or signal.SIGINT)
        except BrokenPipeError:
            return _end_by_sigpipe()
        if signals.signum is not None and status < 128:
            status = 128 + signals.signum  # received after the batch, or where a command has none
        if status > 128 and not signals.reported:
            print("glyphward: interrupted", file=sys.stderr)
        return status


def _end_by_sigpipe() -> int:
    """Standard output was closed early (`glyphward info ... | head -1`):
    end as a Unix tool does there, terminated by SIGPIPE, which a shell
    does not take for a failure the way it takes status 1."""
    # Keep the interpreter from flushing into the closed pipe, should the
    # signal not end it.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    try:
        sys.stderr.flush()
    except OSError:
        pass
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    os.kill(os.getpid(), signal.SIGPIPE)
    return 128 + signal.SIGPIPE
