"""fill a signed manifest into a reserved font (fill_manifest_store)

Only the bytes inside the font's data_hash_ranges change; the manifest read
from FILE ('-' for standard input) must fit in the reservation, and must
not be empty.
"""
from __future__ import annotations

import argparse
import sys

from ..errors import FontFailure
from ..files import data_name, read_data
from ..options import add_fonts, add_output, tasks
from ..rewrite import rewrite


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_fonts(parser, many=False)
    parser.add_argument("--manifest", required=True, metavar="FILE",
                        help="the signed Manifest Store ('-': standard input)")
    add_output(parser)


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    import glyphward

    todo = tasks(parser, args)
    try:
        manifest = read_data(args.manifest, "signed manifest to fill in")
    except FontFailure as failure:
        print(f"glyphward: {data_name(args.manifest)}: {failure.message}", file=sys.stderr)
        return 1
    return rewrite(todo, args, lambda font: glyphward.fill_manifest_store(font, manifest), "filled")
