#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into OUTPUT_DIR/<target>/.

The seeds are small: fonts built with tests/python/fontbuilder.py (well-formed
ones, ones with C2PA tables of every shape, and deliberately broken ones),
plus fonts cut down from real Debian fonts: their small tables rebuilt into a
fresh font, and a prefix of a font kept in its original layout, gaps and all.
Targets that take more than a font get the argument prefix their input
layout expects (see the comment at the top of each *_fuzzer.cc).

    python3 fuzz/make_seeds.py build/fuzz/seeds
"""
from __future__ import annotations

import hashlib
import struct
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "python"))

import fontbuilder as fb  # noqa: E402

DEJAVU = Path("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf")
NOTO_EMOJI = Path("/usr/share/fonts/truetype/noto/NotoColorEmoji.ttf")
NOTO_CJK_TTC = Path("/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc")

SMALL_TABLE = 2048


def records_at(data: bytes, base: int):
    (count,) = struct.unpack_from(">H", data, base + 4)
    for i in range(count):
        tag, _, offset, length = struct.unpack_from(">4sIII", data, base + 12 + 16 * i)
        yield tag, offset, length


def small_tables_of(path: Path, face_offset: int = 0) -> bytes:
    """A fresh font made of the real font's tables shorter than SMALL_TABLE."""
    data = path.read_bytes()
    (version,) = struct.unpack_from(">I", data, face_offset)
    tables = [(tag, data[o:o + n]) for tag, o, n in records_at(data, face_offset) if n < SMALL_TABLE]
    return fb.build_font(tables, version=version)


def prefix_of(path: Path, limit: int) -> bytes:
    """The first `limit` bytes of a real font, with a directory that lists only
    the tables lying wholly inside them; every table keeps its position."""
    data = path.read_bytes()
    (version,) = struct.unpack_from(">I", data, 0)
    kept = [fb.Record(tag, o, n) for tag, o, n in records_at(data, 0) if o + n <= limit]
    head = fb.raw_font(kept, version=version)
    return head + data[len(head):limit]


def c2pa_fonts(base_tables):
    """Fonts carrying C2PA tables of every shape the operations distinguish."""
    store = bytes(range(40))
    uri = b"https://example.com/manifest.c2pa"
    yield fb.build_font(base_tables + [("C2PA", fb.c2pa_table(store=store))])
    yield fb.build_font(base_tables + [("C2PA", fb.c2pa_table(uri=uri))])
    yield fb.build_font(base_tables + [("C2PA", fb.c2pa_table(uri=uri, store=store, major=9, minor=9))])
    yield fb.build_font(base_tables + [("C2PA", fb.c2pa_table(store=bytes(64)))])  # a placeholder
    yield fb.build_font(base_tables + [("C2PA", fb.c2pa_table())])  # neither part
    yield fb.build_font(base_tables + [("C2PA", fb.c2pa_header(store_offset=20, store_length=0))])
    yield fb.build_font(base_tables + [("C2PA", fb.c2pa_header(uri_offset=20, uri_length=0))])
    yield fb.build_font(base_tables + [("C2PA", b"\0\0\0")])  # too short
    yield fb.build_font(base_tables + [("C2PA", fb.c2pa_header(uri_offset=20, uri_length=2) + b"\xc0\xaf")])
    yield fb.build_font(base_tables + [("C2PA", fb.c2pa_header(store_offset=0xFFFFFFFF, store_length=0xFFFFFFFF))])
    yield fb.build_font(base_tables + [("C2PA", fb.c2pa_header(uri_offset=4, uri_length=4, store_offset=8, store_length=12))])
    yield fb.build_font(base_tables + [("C2PA", fb.c2pa_table(store=b"ab")), ("C2PA", fb.c2pa_table(uri=b"x"))])
    # Not in the writer's layout: tables out of tag order, with a gap.
    yield fb.build_font(base_tables + [("C2PA", fb.c2pa_table(store=store) + b"tail")], sort=False)


def fonts():
    simple = [
        ("head", fb.head_table()),
        ("cmap", bytes(range(10))),
        ("glyf", bytes(range(33))),
        ("name", b"glyphward test font"),
        ("OS/2", bytes(78)),
    ]
    yield fb.simple_font()
    yield fb.build_font(simple, version=fb.OTTO)
    yield fb.build_font(simple, version=0x74727565)  # "true"
    yield fb.build_font(simple[1:])  # no head
    yield fb.build_font([("head", fb.head_table(length=11))] + simple[1:])
    yield fb.build_font([("head", fb.head_table(length=20)), ("head", fb.head_table())] + simple[1:])
    yield fb.build_font([("cvt ", b"\1\2\3"), ("\xff\xff\xff\xff", b""), ("glyf", b"")])
    yield fb.raw_font([], version=fb.TRUETYPE)  # 12 bytes, no tables
    yield fb.raw_font([fb.Record("glyf", 28, 5)], b"abcd")  # table one byte past the end
    yield fb.raw_font([fb.Record("name", 12, 16)])  # a table that is the directory itself
    yield struct.pack(">I", 0x774F4646) + bytes(40)  # WOFF
    yield struct.pack(">I", 0x74746366) + bytes(40)  # collection
    yield from c2pa_fonts(simple)
    yield from c2pa_fonts(simple[1:])
    for path in (DEJAVU, NOTO_EMOJI, NOTO_CJK_TTC):
        if not path.exists():
            print(f"make_seeds: {path} missing, skipped", file=sys.stderr)
    if DEJAVU.exists():
        real = small_tables_of(DEJAVU)
        yield real
        yield fb.build_font(
            [(t, real[o:o + n]) for t, _, o, n in fb.parse_directory(real)] + [("C2PA", fb.c2pa_table(store=bytes(32)))]
        )
        yield DEJAVU.read_bytes()[:4096]  # a real directory whose tables run past the end
    if NOTO_EMOJI.exists():
        yield prefix_of(NOTO_EMOJI, 16384)
    if NOTO_CJK_TTC.exists():
        ttc = NOTO_CJK_TTC.read_bytes()
        (first_face,) = struct.unpack_from(">I", ttc, 12)
        yield small_tables_of(NOTO_CJK_TTC, first_face)  # CFF-flavoured ("OTTO")
        yield ttc[:256]


def c2pa_tables():
    yield fb.c2pa_table(uri=b"abc", store=b"12345")
    yield fb.c2pa_header(uri_offset=20, uri_length=3) + b"\xed\xa0\x80"
    yield fb.c2pa_header(uri_offset=20, uri_length=4) + "\U0001F600".encode()
    yield fb.c2pa_header(store_offset=19, store_length=2) + b"x"
    yield fb.c2pa_header()[:19]


def woff2_glyf_seeds():
    """Transformed glyf tables of small fonts, behind the fuzzer's mode byte
    (0: loca origLength from the header; 1: from the first four bytes).
    Needs fontTools and brotli; without them the target starts from nothing."""
    try:
        import io

        from fontTools import subset
        from fontTools.ttLib import TTFont
        from fontTools.ttLib.woff2 import compress
        from woff2_stream import read_woff2
    except ImportError:
        return
    sources = [Path(__file__).resolve().parent.parent / "examples" / "fonts" / "GlyphwardDemo.ttf", DEJAVU]
    for path in sources:
        if not path.is_file():
            continue
        for text in ("Hg", "Aé%&fi"):
            font = TTFont(str(path))
            options = subset.Options()
            options.layout_features = []
            subsetter = subset.Subsetter(options)
            subsetter.populate(text=text)
            subsetter.subset(font)
            plain, packed = io.BytesIO(), io.BytesIO()
            font.save(plain)
            plain.seek(0)
            compress(plain, packed, transform_tables={"glyf", "loca", "hmtx"})
            tables = read_woff2(packed.getvalue())
            for mode in (0, 2, 4):  # numberOfHMetrics 0, 1, 2 in the high bits
                yield bytes([mode]) + tables["glyf"].data + tables["hmtx"].data


def write(directory: Path, seeds) -> int:
    directory.mkdir(parents=True, exist_ok=True)
    count = 0
    for seed in seeds:
        name = hashlib.sha1(seed).hexdigest()[:16]
        (directory / name).write_bytes(seed)
        count += 1
    return count


def main() -> None:
    if len(sys.argv) != 2:
        sys.exit("usage: make_seeds.py OUTPUT_DIR")
    out = Path(sys.argv[1])
    all_fonts = list(fonts())
    uri = b"https://example.com/m"
    u16 = lambda n: struct.pack(">H", n)  # noqa: E731

    plan = {
        "parse_fuzzer": all_fonts,
        "remove_fuzzer": all_fonts,
        "compliance_fuzzer": all_fonts,
        "ranges_fuzzer": all_fonts,
        "read_fuzzer": all_fonts + list(c2pa_tables()),
        # mode, u16 part length, part, font
        "embed_fuzzer": [bytes([m]) + u16(len(p)) + p + f
                         for f in all_fonts for m, p in ((0, b"store"), (1, uri), (2, uri + b"st"), (3, b""))],
        # u16 reserve size, URI length or 0xFF, URI, font
        "reserve_fuzzer": [u16(s) + (bytes([len(u)]) + u if u is not None else b"\xff") + f
                           for f in all_fonts for s, u in ((64, None), (1, uri), (4, b""), (0, None))],
        # u16 manifest length, manifest, font
        "fill_fuzzer": [u16(len(m)) + m + f for f in all_fonts for m in (b"", b"signed!", bytes(range(64)))],
        # destination alignment, source skip, bytes: each font at a few alignments
        "checksum_fuzzer": [bytes([to, skip]) + f for f in all_fonts for to, skip in ((0, 0), (5, 3), (31, 30))],
        # mode (bit 0: loca origLength from the header or the first 4 bytes;
        # the rest: numberOfHMetrics), transformed glyf, transformed hmtx
        "woff2_glyf_fuzzer": list(woff2_glyf_seeds()),
    }
    for target, seeds in plan.items():
        print(f"{target}: {write(out / target, seeds)} seeds")


if __name__ == "__main__":
    main()
