#!/usr/bin/env python3
"""An atheris fuzz target for glyphward_c2pa's WOFF 1.0 and WOFF2 reader.

`glyphward_c2pa.webfont.decode_font` may only return an SFNT whose table
directory reads back (glyphward_c2pa.sfnt.read_tables) or raise
WebfontError: any other exception, a run over TIME_BOUND seconds, or a
high-water mark MEMORY_BOUND beyond the input is a finding.

The first byte of an input, modulo 3, chooses what the rest is:

  0  a WOFF or WOFF2 file, read as it is
  1  a WOFF 1.0 file: the seed WOFF of examples/fonts/GlyphwardDemo.ttf with
     the rest of the input XORed over it from its start (headers and
     directory first)
  2  a WOFF2 file whose decompressed stream is the seed's with the rest of
     the input XORed over it from the transformed glyf table on, compressed
     again: the transformed glyf data (reached only through a valid Brotli
     stream) are what it mutates

    python fuzz/webfont_fuzzer.py [libFuzzer flags] [CORPUS_DIR...]
    python fuzz/webfont_fuzzer.py --write-seeds=DIR
    python fuzz/webfont_fuzzer.py --hypothesis=N     # N examples without atheris
"""
from __future__ import annotations

import os
import resource
import sys
import time
from pathlib import Path
from typing import Dict, Tuple

TIME_BOUND = 2.0            # seconds for one input (the rebuild is glyphward_woff2's, native)
MEMORY_BOUND = 512 << 20    # bytes of high-water mark beyond the input's size
DEMO = Path(__file__).resolve().parent.parent / "examples" / "fonts" / "GlyphwardDemo.ttf"


class Failure(Exception):
    """A broken invariant of the reader."""


def _seeds() -> Tuple[bytes, bytes, int, Dict[bytes, bytes]]:
    from glyphward_c2pa.webfont import normalise
    from glyphward_c2pa.webfont.normalise import sfnt_tables
    from glyphward_c2pa.webfont.woff import write_woff
    from glyphward_c2pa.webfont.woff2 import write_woff2

    flavor, tables = sfnt_tables(normalise(DEMO.read_bytes()))
    return write_woff(flavor, tables), write_woff2(flavor, tables), flavor, tables


WOFF_SEED, WOFF2_SEED, FLAVOR, TABLES = _seeds()


def _xor(base: bytes, over: bytes) -> bytes:
    out = bytearray(base)
    for index, value in enumerate(over[:len(out)]):
        out[index] ^= value
    return bytes(out)


def _woff2_with_stream(over: bytes) -> bytes:
    """The seed WOFF2 with its decompressed stream mutated."""
    import brotli
    from glyphward_c2pa.webfont.woff2 import HEADER, _read_directory

    count = int.from_bytes(WOFF2_SEED[12:14], "big")
    entries, start = _read_directory(WOFF2_SEED, count)
    compressed = int.from_bytes(WOFF2_SEED[20:24], "big")
    stream = brotli.decompress(WOFF2_SEED[start:start + compressed])
    glyf = 0
    for entry in entries:  # the mutation begins at the transformed glyf table
        if entry.tag == b"glyf":
            break
        glyf += entry.stored
    packed = brotli.compress(stream[:glyf] + _xor(stream[glyf:], over), quality=1)
    size = start + len(packed)
    size += -size % 4
    header = bytearray(WOFF2_SEED[:HEADER.size])
    header[8:12] = size.to_bytes(4, "big")
    header[20:24] = len(packed).to_bytes(4, "big")
    return (bytes(header) + WOFF2_SEED[HEADER.size:start] + packed).ljust(size, b"\0")


def make_input(data: bytes) -> bytes:
    if not data:
        return b""
    mode, rest = data[0] % 3, data[1:]
    if mode == 1:
        return _xor(WOFF_SEED, rest)
    if mode == 2:
        return _woff2_with_stream(rest)
    return rest


def check(data: bytes) -> None:
    """Reads one input; raises Failure (or the unexpected exception)."""
    from glyphward_c2pa.sfnt import read_tables
    from glyphward_c2pa.webfont import WebfontError, decode_font

    font = make_input(data)
    start = time.process_time()
    try:
        decoded = decode_font(font)
    except WebfontError:
        decoded = None
    elapsed = time.process_time() - start
    if elapsed > TIME_BOUND:
        raise Failure(f"time: {elapsed:.1f} s for {len(font)} bytes")
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    if peak > BASELINE + MEMORY_BOUND + len(font):
        raise Failure(f"memory: high-water mark {peak >> 20} MiB")
    if decoded is not None and decoded.container is not None:
        read_tables(decoded.sfnt)  # raises FontStructureError: a finding


BASELINE = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def write_seeds(directory: str) -> None:
    os.makedirs(directory, exist_ok=True)
    for name, data in (("woff", b"\0" + WOFF_SEED), ("woff2", b"\0" + WOFF2_SEED), ("woff-mutate", b"\1"),
                       ("woff2-mutate", b"\2")):
        Path(directory, name).write_bytes(data)


def run_hypothesis(examples: int) -> None:
    from hypothesis import HealthCheck, given, settings
    from hypothesis import strategies as st

    @settings(max_examples=examples, deadline=None, suppress_health_check=list(HealthCheck))
    @given(st.binary(max_size=2048))
    def one(data: bytes) -> None:
        check(data)

    one()


def main() -> None:
    for argument in sys.argv[1:]:
        if argument.startswith("--write-seeds="):
            write_seeds(argument.split("=", 1)[1])
            return
        if argument.startswith("--hypothesis="):
            run_hypothesis(int(argument.split("=", 1)[1]))
            return
    import atheris

    atheris.Setup([arg for arg in sys.argv if not arg.startswith("--")], check)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
