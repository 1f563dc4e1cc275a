#!/usr/bin/env python3
"""Times rebuilding WOFF2-transformed tables with glyphward_woff2 against the
decoders available to the project, on large TrueType fonts.

For each font, packed once by woff2_compress (google/woff2), it reports the
fastest of several runs, in milliseconds, of:
  brotli      brotli.decompress of the WOFF2 stream (the Python brotli
              package, a C library): the floor of any WOFF2 decode;
  reference   woff2_decompress, the whole decode to a TTF file, as a process
              (its start-up, measured on a one-glyph font, shown apart);
  fontTools   fontTools' WOFF2 reader rebuilding every table (pure Python);
  rebuild     glyphward_woff2.reconstruct_glyf (+ reconstruct_hmtx when
              transformed) on the decompressed tables;
  read        brotli + directory parse + rebuild: what reading a WOFF2's
              tables costs;
  decode      glyphward_c2pa.webfont.decode_font: the whole decode to an
              SFNT, the fastest decoder the project has;
  verify      glyphward's verification of the WOFF2, as `glyphward verify`
              does it: decode_font, then verify_font with the trust anchor
              (the font normalised and signed with a box hash first, then
              packed by woff2_compress); and its ratio to the fastest whole
              decode (the lesser of decode and reference).

    python scripts/woff2-bench.py [FONT.ttf ...]
"""
from __future__ import annotations

import shutil
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Callable, List

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "python"))
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))

import brotli  # noqa: E402

import glyphward_woff2  # noqa: E402
from woff2_stream import read_directory, read_woff2  # noqa: E402

DEFAULT_FONTS = [
    "/usr/share/fonts/truetype/droid/DroidSansFallbackFull.ttf",
    "/usr/share/fonts/truetype/noto/NotoSansSignWriting-Regular.ttf",
    "/usr/share/fonts/truetype/noto/NotoSerifTangut-Regular.ttf",
    "/usr/share/fonts/truetype/freefont/FreeSerif.ttf",
    "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
]
LIMIT = 30 << 20


def best_ms(run: Callable[[], object], repeat: int) -> float:
    """The fastest of `repeat` runs: the machine's other load only adds time."""
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return 1000 * min(times)


def rebuild(woff2: bytes) -> None:
    rebuild_tables(read_woff2(woff2))


def main() -> None:
    fonts = [Path(p) for p in (sys.argv[1:] or DEFAULT_FONTS) if Path(p).is_file()]
    work = Path(tempfile.mkdtemp(prefix="woff2-bench-"))
    try:
        tiny = work / "tiny.ttf"
        shutil.copyfile(Path(__file__).resolve().parent.parent / "examples" / "fonts" / "GlyphwardDemo.ttf", tiny)
        subprocess.run(["woff2_compress", str(tiny)], check=True, capture_output=True)
        startup = best_ms(lambda: subprocess.run(["woff2_decompress", str(work / "tiny.woff2")], check=True), 7)
        print(f"woff2_decompress start-up (a 6-glyph font): {startup:.1f} ms")
        from c2pa_benchmark import make_credential
        from glyphward_c2pa import sign_font, verify_font
        from glyphward_c2pa.webfont import decode_font, normalise

        credential = make_credential()
        header = (f"{'font':<34} {'glyphs':>6} {'KiB':>6} {'brotli':>7} {'reference':>9} {'fontTools':>9} "
                  f"{'rebuild':>8} {'read':>7} {'decode':>7} {'verify':>7} ratio")
        print(header)
        for font in fonts:
            ttf = work / font.name
            ttf.write_bytes(sign_font(normalise(font.read_bytes()), credential.signer).font)
            subprocess.run(["woff2_compress", str(ttf)], check=True, capture_output=True)
            woff2_path = ttf.with_suffix(".woff2")
            woff2 = woff2_path.read_bytes()
            tables = read_woff2(woff2)
            (num_glyphs,) = struct.unpack_from(">H", tables["glyf"].data, 4)
            stream = read_directory(woff2)[1]
            repeat = 7
            brotli_ms = best_ms(lambda: brotli.decompress(stream), repeat)
            reference_ms = best_ms(
                lambda: subprocess.run(["woff2_decompress", str(woff2_path)], check=True), repeat
            )

            def fonttools_decode() -> None:
                from fontTools.ttLib import TTFont

                decoded = TTFont(str(woff2_path))
                for tag in decoded.reader.keys():
                    decoded.reader[tag]

            fonttools_ms = best_ms(fonttools_decode, 3)
            rebuild_ms = best_ms(lambda: rebuild_tables(tables), repeat)
            read_ms = best_ms(lambda: rebuild(woff2), repeat)
            decode_ms = best_ms(lambda: decode_font(woff2), repeat)

            def verify() -> None:
                report = verify_font(decode_font(woff2).sfnt, trust_anchors=[credential.root])
                assert report.manifest_state == "trusted" and report.asset_valid, report.to_json()

            verify_ms = best_ms(verify, repeat)
            fastest = min(decode_ms, reference_ms)
            print(
                f"{font.name:<34} {num_glyphs:>6} {len(font.read_bytes()) // 1024:>6} {brotli_ms:>7.1f} "
                f"{reference_ms:>9.1f} {fonttools_ms:>9.1f} {rebuild_ms:>8.1f} {read_ms:>7.1f} {decode_ms:>7.1f} "
                f"{verify_ms:>7.1f} {verify_ms / fastest:.2f}x"
            )
    finally:
        shutil.rmtree(work, ignore_errors=True)


def rebuild_tables(tables) -> None:
    glyf, loca = glyphward_woff2.reconstruct_glyf(tables["glyf"].data, tables["loca"].orig_length, LIMIT)
    if tables["hmtx"].transformed:
        (num_hmetrics,) = struct.unpack_from(">H", tables["hhea"].data, 34)
        (num_glyphs,) = struct.unpack_from(">H", tables["glyf"].data, 4)
        glyphward_woff2.reconstruct_hmtx(tables["hmtx"].data, num_glyphs, num_hmetrics, glyf, loca)


if __name__ == "__main__":
    main()
