"""reserve a zero-filled Manifest Store of N bytes for signing (reserve_manifest_placeholder)"""
from __future__ import annotations

import argparse

from ..options import add_fonts, add_output, positive_int, tasks
from ..rewrite import rewrite


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_fonts(parser, many=False)
    parser.add_argument("--size", type=positive_int, required=True, metavar="N",
                        help="bytes to reserve for the signed manifest")
    parser.add_argument("--uri", metavar="URI", help="also record this active manifest URI")
    add_output(parser)


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    import glyphward

    todo = tasks(parser, args)
    return rewrite(todo, args, lambda font: glyphward.reserve_manifest_placeholder(font, args.size, args.uri),
                   "reserved")
