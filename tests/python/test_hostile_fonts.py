"""Fonts crafted to make a reader copy or scan far more than the file holds.

A font of about 1 MiB whose 65,535 table records all cover the whole file
would need 64 GiB if every table were copied out; reading it must take
neither that memory nor noticeable time. The calls run in a fresh
interpreter that only loads the prepared file, so that the peak memory it
reports is the calls' own.
"""
import json
import os
import struct
import subprocess
import sys
import textwrap
from pathlib import Path

import glyphward
from fontbuilder import Record, c2pa_table, checksum, raw_font

MAX_SECONDS_PER_CALL = 0.5
MAX_PEAK_GROWTH_KIB = 50 * 1024

RECORDS = 65535
DIRECTORY_END = 12 + 16 * RECORDS
URI = "https://example.com/manifest"
STORE = bytes(range(256)) * 16

MEASURE = """
import json, resource, sys, time
import glyphward

# Cap the address space a little above what is mapped now, so that a reader
# that copies every table fails with MemoryError instead of exhausting the
# machine.
with open("/proc/self/status") as status:
    mapped_kib = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, ((mapped_kib << 10) + (2 << 30), resource.RLIM_INFINITY))

with open(sys.argv[1], "rb") as file:
    font = file.read()
functions = sys.argv[2:]
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
results = {}
for name in functions:
    start = time.perf_counter()
    try:
        value = getattr(glyphward, name)(font)
    except ValueError as error:
        value = "ValueError: " + str(error)
    seconds = time.perf_counter() - start
    if isinstance(value, bytes):
        value = value.hex()
    results[name] = {"value": value, "seconds": seconds}
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"growth_kib": after - before, "results": results}))
"""


def whole_file_font(tags) -> bytes:
    """Records with `tags` that cover the whole file, then a valid C2PA table
    right after the directory."""
    table = c2pa_table(uri=URI.encode(), store=STORE)
    size = DIRECTORY_END + len(table)
    records = [Record(tag, 0, size) for tag in tags] + [Record("C2PA", DIRECTORY_END, len(table))]
    assert len(records) == RECORDS
    font = raw_font(records, table)
    assert len(font) == size >= 1 << 20
    return font


def measure(tmp_path, font: bytes, functions) -> dict:
    path = tmp_path / "hostile.ttf"
    path.write_bytes(font)
    paths = [str(Path(glyphward.__file__).resolve().parent)]
    if os.environ.get("PYTHONPATH"):
        paths.append(os.environ["PYTHONPATH"])
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths))
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(MEASURE), str(path), *functions],
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout.splitlines()[-1])
    for name, outcome in report["results"].items():
        assert outcome["seconds"] < MAX_SECONDS_PER_CALL, (name, outcome)
    assert report["growth_kib"] < MAX_PEAK_GROWTH_KIB, report
    return {name: outcome["value"] for name, outcome in report["results"].items()}


def test_whole_file_records_with_one_valid_c2pa_table(tmp_path):
    # The first record is a `head` table covering the whole file, so its
    # checkSumAdjustment is the file's bytes 8..11 (entrySelector and
    # rangeShift); they are set so that the whole-font checksum holds.
    font = bytearray(whole_file_font(["head"] + ["glyf"] * (RECORDS - 2)))
    font[8:12] = bytes(4)
    font[8:12] = struct.pack(">I", (0xB1B0AFBA - checksum(bytes(font))) & 0xFFFFFFFF)
    values = measure(
        tmp_path,
        bytes(font),
        ["read_manifest_store", "read_manifest_uri_str", "is_compliant", "data_hash_ranges"],
    )
    assert values["read_manifest_store"] == STORE.hex()
    assert values["read_manifest_uri_str"] == URI
    assert values["is_compliant"] is True
    last_record = 12 + 16 * (RECORDS - 1)
    assert values["data_hash_ranges"] == [
        [8, 4],
        [last_record + 4, 4],
        [DIRECTORY_END + 20 + len(URI), len(STORE)],
    ]


def test_whole_file_records_all_tagged_c2pa(tmp_path):
    # The first C2PA table is the whole file; its URI offset (the numTables
    # and searchRange fields) points far outside it.
    font = whole_file_font(["C2PA"] * (RECORDS - 1))
    values = measure(tmp_path, font, ["read_manifest_store", "read_manifest_uri_str", "is_compliant"])
    uri_error = "ValueError: invalid C2PA table: active manifest URI extends past end of table"
    assert values["read_manifest_store"] == uri_error
    assert values["read_manifest_uri_str"] == uri_error
    assert values["is_compliant"] == (
        "ValueError: invalid C2PA table: font contains 65535 C2PA tables; at most one is allowed"
    )
