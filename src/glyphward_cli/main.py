"""Entry point of the `glyphward` command."""
from __future__ import annotations

import argparse
from typing import Optional, Sequence

from ._version import __version__


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="glyphward")
    parser.add_argument("--version", action="version", version=f"glyphward {__version__}")
    parser.parse_args(argv)
    return 0
