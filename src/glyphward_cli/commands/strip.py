"""remove the C2PA table from fonts (remove_manifest_table)"""
from __future__ import annotations

import argparse

from ..options import add_fonts, add_output, tasks
from ..rewrite import rewrite

QUIET_HELP = "no progress bar and no summary line; each failed font is still reported"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_fonts(parser, many=True)
    add_output(parser, many=True)


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    import glyphward

    todo = tasks(parser, args)
    return rewrite(todo, args, glyphward.remove_manifest_table, "stripped")
