"""embed a Manifest Store or a remote manifest URI (embed_manifest_store, embed_remote)

Replaces any C2PA table the font has with one holding the Manifest Store
read from FILE ('-' for standard input), or the URI. An empty store or URI
is refused: the font would carry nothing.
"""
from __future__ import annotations

import argparse
import sys

from ..errors import FontFailure
from ..files import data_name, nothing_to, read_data
from ..options import add_fonts, add_output, tasks
from ..rewrite import rewrite


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_fonts(parser, many=False)
    content = parser.add_mutually_exclusive_group(required=True)
    content.add_argument("--store", metavar="FILE", help="the Manifest Store's bytes ('-': standard input)")
    content.add_argument("--uri", metavar="URI", help="the active manifest URI")
    add_output(parser)


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    import glyphward

    todo = tasks(parser, args)
    if args.uri == "":
        print(f"glyphward: --uri: {nothing_to('manifest URI to embed')}", file=sys.stderr)
        return 1
    if args.uri is not None:
        return rewrite(todo, args, lambda font: glyphward.embed_remote(font, args.uri), "embedded")
    try:
        store = read_data(args.store, "Manifest Store to embed")
    except FontFailure as failure:
        print(f"glyphward: {data_name(args.store)}: {failure.message}", file=sys.stderr)
        return 1
    return rewrite(todo, args, lambda font: glyphward.embed_manifest_store(font, store), "embedded")
