#!/usr/bin/env python3
"""Times the `glyphward` command against the same work done by a fontTools
script, in one run, as files per second and ratios.

    bash scripts/cli-bench.sh [--copies N] [--rounds N] [--info-rounds N] [--startup-runs N]

- sign: `glyphward sign` on N copies (default 200) of DejaVuSans.ttf into an
  output directory, with a trivial signer (a shell that reads the request and
  prints a fixed manifest), against a fontTools script doing the same per
  font: add a zero-filled C2PA table, save, find the exclusion ranges, hash
  outside them, run the same signer, put the manifest in, save again, check
  length, unchanged bytes and checksum, write the file (temporary file, fsync,
  rename, as the command does). Also timed: the signer alone, run N times,
  which is the part of the work that is neither glyphward's nor fontTools'.
- info: `glyphward info --json` on every font under /usr/share/fonts,
  against a fontTools script reporting the same fields (size, C2PA table,
  URI, store length, exclusion ranges, whole-font checksum for compliance).
- start-up: `glyphward --version` against a bare `python -c pass`.

Each command runs as its own process, as a user runs it, so process start-up
is included on both sides; rounds alternate the two sides and the median is
reported.
"""
from __future__ import annotations

import argparse
import io
import json
import os
import platform
import resource
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Dict, List, Tuple

DEJAVU = Path("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf")
FONTS = Path("/usr/share/fonts")
GLYPHWARD = Path(sys.executable).parent / "glyphward"
SIGNER = "sh -c 'cat >/dev/null; printf stand-in-manifest'"
SIZE = 32768


# ----------------------------------------------------------- fontTools side

def _c2pa_table(store: bytes) -> bytes:
    return struct.pack(">HHIHHII", 0, 1, 0, 0, 0, 20, len(store)) + store


def _ranges(font: bytes) -> List[Tuple[int, int]]:
    from fontTools.ttLib import TTFont

    tables = TTFont(io.BytesIO(font), lazy=True).reader.tables
    c2pa = tables["C2PA"]
    store_offset, store_length = struct.unpack(">II", font[c2pa.offset + 12:c2pa.offset + 20])
    (count,) = struct.unpack(">H", font[4:6])
    (record,) = [12 + 16 * i for i in range(count) if font[12 + 16 * i:16 + 16 * i] == b"C2PA"]
    found = [(c2pa.offset + store_offset, store_length), (record + 4, 4)]
    if "head" in tables and tables["head"].length >= 12:
        found.append((tables["head"].offset + 8, 4))
    return sorted(found)


def _hash_outside(font: bytes, ranges) -> str:
    import hashlib

    digest, position = hashlib.sha256(), 0
    for start, length in ranges:
        digest.update(font[position:start])
        position = start + length
    digest.update(font[position:])
    return digest.hexdigest()


def _with_table(font: bytes, table: bytes) -> bytes:
    from fontTools.ttLib import TTFont, newTable

    # Like the command, change nothing but the C2PA table (and the checksums).
    tt = TTFont(io.BytesIO(font), recalcTimestamp=False, recalcBBoxes=False)
    c2pa = newTable("C2PA")
    c2pa.data = table
    tt["C2PA"] = c2pa
    out = io.BytesIO()
    tt.save(out)
    return out.getvalue()


def _write_atomically(path: str, data: bytes) -> None:
    fd, temporary = tempfile.mkstemp(dir=os.path.dirname(path) or ".")
    with os.fdopen(fd, "wb") as file:
        file.write(data)
        file.flush()
        os.fsync(file.fileno())
    os.replace(temporary, path)


def fonttools_sign(output_dir: str, signer: str, paths: List[str]) -> int:
    import shlex

    from fontTools.ttLib.sfnt import calcChecksum

    command = shlex.split(signer)
    for path in paths:
        reserved = _with_table(Path(path).read_bytes(), _c2pa_table(bytes(SIZE)))
        ranges = _ranges(reserved)
        with tempfile.TemporaryDirectory() as workspace:
            copy = os.path.join(workspace, os.path.basename(path))
            Path(copy).write_bytes(reserved)
            request = {"font": path, "reserved_font": copy, "reserved_size": SIZE,
                       "hash": {"algorithm": "sha256", "value": _hash_outside(reserved, ranges)},
                       "exclusions": [{"start": s, "length": n} for s, n in ranges]}
            manifest = subprocess.run(command, input=json.dumps(request).encode(), stdout=subprocess.PIPE,
                                      check=True).stdout
        signed = _with_table(reserved, _c2pa_table(manifest + bytes(SIZE - len(manifest))))
        position = 0
        for start, length in ranges + [(len(reserved), 0)]:
            assert signed[position:start] == reserved[position:start]
            position = start + length
        assert len(signed) == len(reserved) and _ranges(signed) == ranges
        assert calcChecksum(signed) == 0xB1B0AFBA
        _write_atomically(os.path.join(output_dir, os.path.basename(path)), signed)
    return 0


def fonttools_info(paths: List[str]) -> int:
    from fontTools.ttLib import TTFont
    from fontTools.ttLib.sfnt import calcChecksum

    records = []
    for path in paths:
        record: Dict[str, object] = {"path": path, "size": None, "c2pa_table": None, "compliant": None,
                                     "active_manifest_uri": None, "manifest_store_length": None,
                                     "exclusion_ranges": None, "error": None}
        try:
            font = Path(path).read_bytes()
            record["size"] = len(font)
            tables = TTFont(io.BytesIO(font), lazy=True).reader.tables
            record["c2pa_table"] = "C2PA" in tables
            compliant = False
            if "C2PA" in tables:
                entry = tables["C2PA"]
                _, _, uri_offset, uri_length, _, store_offset, store_length = struct.unpack(
                    ">HHIHHII", font[entry.offset:entry.offset + 20])
                if uri_offset:
                    start = entry.offset + uri_offset
                    record["active_manifest_uri"] = font[start:start + uri_length].decode()
                if store_offset:
                    record["manifest_store_length"] = store_length
                    record["exclusion_ranges"] = [list(r) for r in _ranges(font)]
                compliant = bool(uri_offset or store_offset) and "head" in tables
            record["compliant"] = compliant and calcChecksum(font) == 0xB1B0AFBA
        except Exception as error:  # noqa: BLE001 - reported, like the command's errors
            record["error"] = str(error)
        records.append(record)
    json.dump(records, sys.stdout)
    return 0


# ---------------------------------------------------------------- timing

def timed(command: List[str], **kwargs) -> Tuple[float, float]:
    """Wall time and CPU time (user + system, of the process and everything it
    started) of one run. Exit status 1 is allowed: info reports the font
    collections under /usr/share/fonts as fonts it cannot read."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    status = subprocess.run(command, stdout=subprocess.DEVNULL, **kwargs).returncode
    elapsed = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if status not in (0, 1):
        raise SystemExit(f"{command[:3]}... failed with status {status}")
    return elapsed, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def signer_alone(count: int) -> Tuple[float, float]:
    import shlex

    command, request = shlex.split(SIGNER), b'{"hash": {"algorithm": "sha256", "value": ""}}'
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    for _ in range(count):
        subprocess.run(command, input=request, stdout=subprocess.PIPE, check=True)
    elapsed = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return elapsed, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def cpu_name() -> str:
    for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
        if line.startswith("Model name:"):
            return line.split(":", 1)[1].strip()
    return platform.processor() or "unknown CPU"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--copies", type=int, default=200)
    parser.add_argument("--rounds", type=int, default=5, help="rounds of the sign runs (default 5)")
    parser.add_argument("--info-rounds", type=int, default=21, help="rounds of the info runs (default 21)")
    parser.add_argument("--startup-runs", type=int, default=30)
    parser.add_argument("--fonttools-sign", nargs="+", help=argparse.SUPPRESS)
    parser.add_argument("--fonttools-info", nargs="+", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.fonttools_sign:
        return fonttools_sign(args.fonttools_sign[0], args.fonttools_sign[1], args.fonttools_sign[2:])
    if args.fonttools_info:
        return fonttools_info(args.fonttools_info)

    import fontTools

    me = [sys.executable, str(Path(__file__).resolve())]
    fonts = sorted(str(p) for p in FONTS.rglob("*") if p.is_file() and p.suffix.lower() in (".ttf", ".otf", ".ttc"))
    font_bytes = sum(os.path.getsize(p) for p in fonts)
    times: Dict[str, List[Tuple[float, float]]] = {}
    with tempfile.TemporaryDirectory(prefix="glyphward-cli-bench-") as workspace:
        source = Path(workspace) / "in"
        source.mkdir()
        copies = []
        for index in range(args.copies):
            copies.append(source / f"DejaVuSans-{index:03}.ttf")
            shutil.copyfile(DEJAVU, copies[-1])
        copies = [str(p) for p in copies]
        outputs = {name: Path(workspace) / name for name in ("glyphward", "glyphward-j2", "fonttools")}
        for directory in outputs.values():
            directory.mkdir()

        # Both sides must report the same facts for every font.
        ours = json.loads(subprocess.run([str(GLYPHWARD), "info", "--json", "-q", *fonts],
                                         stdout=subprocess.PIPE).stdout)
        theirs = json.loads(subprocess.run(me + ["--fonttools-info", *fonts], stdout=subprocess.PIPE).stdout)
        for a, b in zip(ours, theirs):
            for key in ("size", "c2pa_table", "compliant", "manifest_store_length", "exclusion_ranges"):
                if a["error"] is None:
                    assert a[key] == b[key], (a, b, key)
            assert (a["error"] is None) == (b["error"] is None), (a, b)

        tasks = {
            "sign: glyphward": [str(GLYPHWARD), "sign", "-q", "--output-dir", str(outputs["glyphward"]),
                                "--size", str(SIZE), "--signer", SIGNER, *copies],
            "sign: glyphward --jobs 2": [str(GLYPHWARD), "sign", "-q", "--jobs", "2", "--output-dir",
                                         str(outputs["glyphward-j2"]), "--size", str(SIZE), "--signer", SIGNER,
                                         *copies],
            "sign: fontTools script": me + ["--fonttools-sign", str(outputs["fonttools"]), SIGNER, *copies],
            "info: glyphward": [str(GLYPHWARD), "info", "--json", "-q", *fonts],
            "info: fontTools script": me + ["--fonttools-info", *fonts],
        }
        for _ in range(args.rounds):
            for name, command in tasks.items():
                if name.startswith("sign"):
                    times.setdefault(name, []).append(timed(command, stderr=subprocess.DEVNULL))
            times.setdefault("signer alone", []).append(signer_alone(args.copies))
        for _ in range(args.info_rounds):  # a tenth of a second each: more rounds for a stable median
            for name, command in tasks.items():
                if name.startswith("info"):
                    times.setdefault(name, []).append(timed(command, stderr=subprocess.DEVNULL))
        for name in ("glyphward", "fonttools"):
            assert len(os.listdir(outputs[name])) == args.copies

    startup = {"glyphward --version": [str(GLYPHWARD), "--version"],
               "python -c pass": [sys.executable, "-c", "pass"]}
    for _ in range(args.startup_runs):
        for name, command in startup.items():
            times.setdefault(name, []).append(timed(command))

    wall = {name: statistics.median(w for w, _ in values) for name, values in times.items()}
    cpu = {name: statistics.median(c for _, c in values) for name, values in times.items()}
    print(f"CPU: {cpu_name()}, {os.cpu_count()} cores; CPython {platform.python_version()}, "
          f"fontTools {fontTools.version}; medians of {args.rounds} rounds for sign, {args.info_rounds} for info, "
          f"{args.startup_runs} for start-up; "
          "CPU time is user + system of the command and every process it started\n")

    def table(names: List[str], count: int, reference: str) -> None:
        print("| run | wall s | fonts per second | vs fontTools | CPU s | fonts per CPU second | vs fontTools |")
        print("|---|---:|---:|---:|---:|---:|---:|")
        for name in names:
            print(f"| {name} | {wall[name]:.3f} | {count / wall[name]:.0f} | {wall[reference] / wall[name]:.2f} "
                  f"| {cpu[name]:.3f} | {count / cpu[name]:.0f} | {cpu[reference] / cpu[name]:.2f} |")

    print(f"sign, {args.copies} copies of DejaVuSans.ttf ({DEJAVU.stat().st_size} bytes), trivial signer:\n")
    table(["sign: glyphward", "sign: glyphward --jobs 2", "sign: fontTools script", "signer alone"], args.copies,
          "sign: fontTools script")
    own = (cpu["sign: glyphward"] - cpu["signer alone"]) / args.copies * 1000
    print(f"\nglyphward's own CPU time per font (sign minus signer alone): {own:.2f} ms\n")
    print(f"info on every font under {FONTS} ({len(fonts)} files, {font_bytes} bytes):\n")
    table(["info: glyphward", "info: fontTools script"], len(fonts), "info: fontTools script")
    print("\nstart-up:\n")
    print("| run | wall ms | vs python -c pass |")
    print("|---|---:|---:|")
    for name in startup:
        print(f"| {name} | {wall[name] * 1000:.1f} | {wall[name] / wall['python -c pass']:.2f} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
