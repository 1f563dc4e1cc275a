#!/usr/bin/env python3
"""The web font corpus check (glyphward issue 21): for every TrueType and
CFF font of a set of Debian font packages, normalise it to the WOFF2 normal
form, sign it with a box hash (test credentials made on the spot, as
tests/python/c2pa_pki.py makes them), write its TTF, WOFF and WOFF2 with
glyphward, make a WOFF2 of the signed TTF with fontTools' encoder and one
with Debian's woff2_compress, and verify all five. Also checks that every
glyph's outline, advance and instructions are the same before and after
normalisation (fontTools). Prints a Markdown table: fonts, format, fraction
valid, time per font; then the fonts that fail, with why.

    python scripts/webfont-corpus.py [--packages fonts-dejavu-core,...] [--max-seconds N] [--limit N]

Needs the packages installed (apt-get install), woff2 for woff2_compress,
and the test requirements (fontTools, brotli, cryptography).
"""
from __future__ import annotations

import argparse
import io
import shutil
import subprocess
import sys
import tempfile
import time
from collections import defaultdict
from pathlib import Path
from typing import Dict, List, Tuple

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "python"))

PACKAGES = ("fonts-dejavu-core", "fonts-dejavu-extra", "fonts-liberation", "fonts-liberation2",
            "fonts-noto-core", "fonts-freefont-ttf", "fonts-lato", "fonts-open-sans", "fonts-hack",
            "fonts-crosextra-caladea", "fonts-crosextra-carlito", "fonts-linuxlibertine", "fonts-sil-andika",
            "fonts-roboto-unhinted", "fonts-droid-fallback", "fonts-noto-color-emoji", "fonts-urw-base35")
FORMATS = ("ttf", "woff", "woff2", "fontTools woff2", "woff2_compress")


def package_fonts(package: str) -> List[Path]:
    listed = subprocess.run(["dpkg", "-L", package], capture_output=True, text=True)
    if listed.returncode:
        return []
    return sorted(Path(line) for line in listed.stdout.splitlines()
                  if line.lower().endswith((".ttf", ".otf")) and Path(line).is_file())


def glyphs_equal(before: bytes, after: bytes) -> str:
    """'' when every glyph's outline, advance and instructions are equal, or
    the first difference."""
    from fontTools.pens.recordingPen import DecomposingRecordingPen
    from fontTools.ttLib import TTFont

    one, two = TTFont(io.BytesIO(before), lazy=True), TTFont(io.BytesIO(after), lazy=True)
    order = one.getGlyphOrder()
    if order != two.getGlyphOrder():
        return "glyph order differs"
    for name in order:
        if one["hmtx"][name] != two["hmtx"][name]:
            return f"advance/lsb of {name}"
    if "glyf" in one:
        glyf1, glyf2 = one["glyf"], two["glyf"]
        for name in order:
            a, b = glyf1[name], glyf2[name]
            a.expand(glyf1)
            b.expand(glyf2)
            if a.numberOfContours != b.numberOfContours:
                return f"contours of {name}"
            if a.isComposite():
                if [(c.glyphName, c.x, c.y, c.flags & ~0x2 & ~0x1, getattr(c, "transform", None))
                        for c in a.components] != \
                   [(c.glyphName, c.x, c.y, c.flags & ~0x2 & ~0x1, getattr(c, "transform", None))
                        for c in b.components]:
                    return f"components of {name}"
            elif a.numberOfContours > 0:
                if list(a.coordinates) != list(b.coordinates) or a.endPtsOfContours != b.endPtsOfContours or \
                        [f & 1 for f in a.flags] != [f & 1 for f in b.flags]:
                    return f"outline of {name}"
            program_a = a.program.getBytecode() if hasattr(a, "program") else b""
            program_b = b.program.getBytecode() if hasattr(b, "program") else b""
            if program_a != program_b:
                return f"instructions of {name}"
    else:
        set1, set2 = one.getGlyphSet(), two.getGlyphSet()
        for name in order:
            pen1, pen2 = DecomposingRecordingPen(set1), DecomposingRecordingPen(set2)
            set1[name].draw(pen1)
            set2[name].draw(pen2)
            if pen1.value != pen2.value:
                return f"outline of {name}"
    return ""


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--packages", default=",".join(PACKAGES))
    parser.add_argument("--max-seconds", type=float, default=0, help="stop starting fonts after this long")
    parser.add_argument("--limit", type=int, default=0, help="at most this many fonts")
    parser.add_argument("--skip-larger", type=int, default=8 << 20, help="skip fonts larger than this (bytes)")
    args = parser.parse_args()

    from fontTools.ttLib import woff2 as fonttools_woff2

    from c2pa_pki import C2paPki
    from glyphward_c2pa import KeySigner, sign_font, verify_font
    from glyphward_c2pa.webfont import decode_font, normalise, web_formats

    work = Path(tempfile.mkdtemp(prefix="webfont-corpus-"))
    credential = C2paPki(work / "pki").signer("ES256")
    signer = KeySigner.from_pem(credential.cert_pem.read_bytes(), credential.key_pem.read_bytes())
    have_woff2 = shutil.which("woff2_compress") is not None

    fonts: List[Tuple[str, Path]] = []
    for package in args.packages.split(","):
        fonts.extend((package, path) for path in package_fonts(package))
    if args.limit:
        fonts = fonts[:args.limit]
    valid: Dict[str, int] = defaultdict(int)
    tried: Dict[str, int] = defaultdict(int)
    failures: List[str] = []
    glyph_same = 0
    times: Dict[str, float] = defaultdict(float)
    done = 0
    started = time.perf_counter()
    for package, path in fonts:
        if args.max_seconds and time.perf_counter() - started > args.max_seconds:
            break
        original = path.read_bytes()
        if len(original) > args.skip_larger:
            failures.append(f"{path.name} ({package}): skipped, {len(original)} bytes")
            continue
        done += 1
        try:
            clock = time.perf_counter()
            ready = normalise(original)
            times["normalise"] += time.perf_counter() - clock
            clock = time.perf_counter()
            signed = sign_font(ready, signer).font
            times["sign"] += time.perf_counter() - clock
            clock = time.perf_counter()
            files = web_formats(signed, ("ttf", "woff", "woff2"))
            times["write woff+woff2"] += time.perf_counter() - clock
        except Exception as error:
            failures.append(f"{path.name} ({package}): not signed: {type(error).__name__}: {error}")
            for name in FORMATS:
                tried[name] += 1
            continue
        out = io.BytesIO()
        try:
            fonttools_woff2.compress(io.BytesIO(signed), out)
            files["fontTools woff2"] = out.getvalue()
        except Exception as error:
            failures.append(f"{path.name}: fontTools' encoder fails: {error}")
        if have_woff2:
            ttf = work / "font.ttf"
            ttf.write_bytes(signed)
            (work / "font.woff2").unlink(missing_ok=True)
            subprocess.run(["woff2_compress", str(ttf)], capture_output=True)
            if (work / "font.woff2").exists():
                files["woff2_compress"] = (work / "font.woff2").read_bytes()
        for name in FORMATS:
            tried[name] += 1
            data = files.get(name)
            if data is None:
                failures.append(f"{path.name} ({package}) {name}: not made")
                continue
            clock = time.perf_counter()
            try:
                report = verify_font(decode_font(data).sfnt)
            except Exception as error:
                failures.append(f"{path.name} ({package}) {name}: {type(error).__name__}: {error}")
                continue
            times[f"verify {name}"] += time.perf_counter() - clock
            if report.asset_valid and report.manifest_state == "valid":
                valid[name] += 1
            else:
                codes = sorted({s.code for s in report.results.failure} - {"signingCredential.untrusted"})
                explanations = [s.explanation for s in report.results.failure
                                if s.code != "signingCredential.untrusted"][:2]
                failures.append(f"{path.name} ({package}) {name}: {report.manifest_state}, {', '.join(codes)}: "
                                f"{'; '.join(explanations)}")
        difference = glyphs_equal(original, ready)
        if difference:
            failures.append(f"{path.name} ({package}): glyphs changed by normalising: {difference}")
        else:
            glyph_same += 1
        print(f"{done}/{len(fonts)} {path.name}", file=sys.stderr, flush=True)

    print(f"{done} fonts from {len({p for p, _ in fonts[:done]})} packages, "
          f"{time.perf_counter() - started:.0f} s\n")
    print("| format | valid | fraction |")
    print("| --- | --- | --- |")
    for name in FORMATS:
        count = tried[name]
        print(f"| {name} | {valid[name]}/{count} | {valid[name] / count:.1%} |" if count else f"| {name} | 0/0 | - |")
    print(f"| glyphs unchanged by normalising | {glyph_same}/{done} | {glyph_same / max(done, 1):.1%} |")
    print("\n| step | time per font (s) |")
    print("| --- | --- |")
    for step, total in times.items():
        print(f"| {step} | {total / max(done, 1):.3f} |")
    if failures:
        print("\nFailures:")
        for line in failures:
            print(f"- {line}")
    shutil.rmtree(work, ignore_errors=True)
    return 0 if not failures else 1


if __name__ == "__main__":
    sys.exit(main())
