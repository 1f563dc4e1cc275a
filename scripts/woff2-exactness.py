#!/usr/bin/env python3
"""Measures glyphward_woff2 against the reference WOFF2 decoder on a corpus.

For every TrueType font given (files or directories, searched for .ttf/.otf
with a 'glyf' table), two WOFF2 files are made: one by Debian's
woff2_compress (google/woff2), one by fontTools' encoder with the glyf and
hmtx transforms. Each is decoded by woff2_decompress (the reference) and, for
the transformed tables, by glyphward_woff2 from the brotli-decompressed
stream. The script reports, per encoder, the fraction of fonts whose glyf,
loca and hmtx are byte-identical, and lists the fonts that differ.

    python scripts/woff2-exactness.py /usr/share/fonts examples/fonts [--jobs 2]
"""
from __future__ import annotations

import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path
from typing import Dict, List, Optional, Tuple

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "python"))

import glyphward_woff2  # noqa: E402
from woff2_stream import read_woff2, sfnt_tables  # noqa: E402

MAX_GLYF = 30 << 20  # the reference decoder's bound on a whole font


def reference_decode(woff2_path: Path) -> Dict[str, bytes]:
    subprocess.run(["woff2_decompress", str(woff2_path)], check=True, capture_output=True)
    return sfnt_tables(woff2_path.with_suffix(".ttf").read_bytes())


def ours(woff2: bytes) -> Tuple[Dict[str, bytes], List[str]]:
    """The tables glyphward_woff2 rebuilds, and which were transformed."""
    tables = read_woff2(woff2)
    out: Dict[str, bytes] = {}
    transformed = []
    glyf_entry, loca_entry = tables["glyf"], tables["loca"]
    if glyf_entry.transformed:
        out["glyf"], out["loca"] = glyphward_woff2.reconstruct_glyf(glyf_entry.data, loca_entry.orig_length, MAX_GLYF)
        transformed.append("glyf")
    hmtx = tables.get("hmtx")
    if hmtx is not None and hmtx.transformed:
        (num_hmetrics,) = struct.unpack_from(">H", tables["hhea"].data, 34)
        (num_glyphs,) = struct.unpack_from(">H", glyf_entry.data, 4)
        out["hmtx"] = glyphward_woff2.reconstruct_hmtx(hmtx.data, num_glyphs, num_hmetrics, out["glyf"], out["loca"])
        transformed.append("hmtx")
    return out, transformed


def fonttools_compress(ttf: Path, out: Path) -> None:
    from fontTools.ttLib.woff2 import compress

    compress(str(ttf), str(out), transform_tables={"glyf", "loca", "hmtx"})


def check_font(path: str) -> Tuple[str, Dict[str, Optional[str]]]:
    """For each encoder: None when exact, else why not."""
    results: Dict[str, Optional[str]] = {}
    workdir = Path(tempfile.mkdtemp(prefix="woff2-exact-"))
    try:
        ttf = workdir / "font.ttf"
        shutil.copyfile(path, ttf)
        for encoder in ("woff2_compress", "fontTools"):
            sub = workdir / encoder
            sub.mkdir()
            woff2_path = sub / "font.woff2"
            try:
                if encoder == "woff2_compress":
                    shutil.copyfile(ttf, sub / "font.ttf")
                    subprocess.run(["woff2_compress", str(sub / "font.ttf")], check=True, capture_output=True)
                    (sub / "font.ttf").unlink()
                else:
                    fonttools_compress(ttf, woff2_path)
                reference = reference_decode(woff2_path)
            except Exception as error:  # an encoder or the reference refusing the font
                results[encoder] = f"skipped: {type(error).__name__}: {error}"[:200]
                continue
            try:
                rebuilt, transformed = ours(woff2_path.read_bytes())
            except ValueError as error:
                results[encoder] = f"ValueError: {error}"
                continue
            if "glyf" not in transformed:
                results[encoder] = "skipped: glyf not transformed"
                continue
            differing = [tag for tag, data in rebuilt.items() if reference.get(tag) != data]
            results[encoder] = f"differs: {' '.join(differing)}" if differing else None
            if encoder == "fontTools" and "hmtx" not in transformed:
                results[encoder + " (hmtx)"] = "skipped: hmtx not transformed"
            elif encoder == "fontTools":
                results[encoder + " (hmtx)"] = None if "hmtx" not in differing else "differs: hmtx"
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    return path, results


def truetype_fonts(roots: List[str]) -> List[str]:
    found = []
    for root in roots:
        paths = [Path(root)] if os.path.isfile(root) else sorted(Path(root).rglob("*"))
        for path in paths:
            if path.suffix.lower() not in (".ttf", ".otf") or not path.is_file():
                continue
            data = path.read_bytes()
            if data[:4] in (b"\0\1\0\0", b"true") and b"glyf" in data[12 : 12 + 16 * struct.unpack_from(">H", data, 4)[0]]:
                found.append(str(path))
    return found


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("paths", nargs="+")
    parser.add_argument("--jobs", type=int, default=1)
    args = parser.parse_args()
    fonts = truetype_fonts(args.paths)
    print(f"{len(fonts)} TrueType fonts", flush=True)
    tally: Dict[str, List[int]] = {}
    failures: List[str] = []
    with ProcessPoolExecutor(max_workers=args.jobs) as pool:
        for path, results in pool.map(check_font, fonts):
            for encoder, problem in results.items():
                counts = tally.setdefault(encoder, [0, 0, 0])  # exact, measured, skipped
                if problem is not None and problem.startswith("skipped"):
                    counts[2] += 1
                    continue
                counts[1] += 1
                if problem is None:
                    counts[0] += 1
                else:
                    failures.append(f"{encoder}: {path}: {problem}")
    print(f"{'encoder':<20} {'exact':>6} {'measured':>9} {'skipped':>8} fraction")
    for encoder, (exact, measured, skipped) in tally.items():
        fraction = f"{100.0 * exact / measured:.1f} %" if measured else "-"
        print(f"{encoder:<20} {exact:>6} {measured:>9} {skipped:>8} {fraction}")
    for line in failures:
        print(line)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
