"""The sign command's web option (`sign --web`, `--formats ttf,woff,woff2`):
its help text, and the files it writes beside a signed font. The sign
command wires them in; the work is glyphward_c2pa.webfont's."""
from __future__ import annotations

import argparse
import os
from typing import Dict, List

WEB_HELP = ("prepare the font for the web before signing: bring it to the WOFF2 normal form (head.flags bit 11 "
            "set, no DSIG, glyf and loca as a WOFF2 decoder rebuilds them; outlines, metrics and hinting "
            "unchanged), sign it with one box per table, and write it in each of --formats, every file "
            "carrying the same manifest and valid; a WOFF or WOFF2 input is read the same way")
FORMATS_HELP = ("with --web, the formats to write, comma-separated, of ttf (the signed SFNT, named as the "
                "output), woff and woff2 (beside it, with those extensions); default ttf,woff,woff2")
DEFAULT_FORMATS = ("ttf", "woff", "woff2")


def formats(text: str) -> List[str]:
    """The --formats value, parsed (argparse type)."""
    from glyphward_c2pa.webfont.normalise import FORMATS

    names = [name.strip().lower() for name in text.split(",") if name.strip()]
    unknown = [name for name in names if name not in FORMATS]
    if not names or unknown:
        raise argparse.ArgumentTypeError(f"give formats among {', '.join(FORMATS)}, comma-separated")
    return list(dict.fromkeys(names))


def web_files(signed: bytes, destination: str, chosen: List[str]) -> Dict[str, bytes]:
    """Each file to write (path to bytes) for the signed, normalised SFNT
    `signed` whose own output path is `destination`: the SFNT there (with
    "ttf"), and its WOFF and WOFF2 beside it (Font.ttf gives Font.woff and
    Font.woff2). An output named .woff or .woff2 (from a web font given as
    input) has its SFNT written as .ttf or .otf beside it, never under a
    web font's name. Raises glyphward_c2pa.webfont.WebfontError."""
    from glyphward_c2pa.webfont import web_formats

    stem, extension = os.path.splitext(destination)
    if extension.lower() in (".woff", ".woff2"):
        destination = stem + (".otf" if signed[:4] == b"OTTO" else ".ttf")
    written = web_formats(signed, chosen)
    return {destination if name == "ttf" else f"{stem}.{name}": data for name, data in written.items()}
