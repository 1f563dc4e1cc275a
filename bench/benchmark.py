"""Times glyphward against fontTools and against copying the font's bytes.

    python bench/benchmark.py [--repeat N] [--check]

For a 2 KB font built here, DejaVuSans (about 0.7 MB), NotoColorEmoji (about
11 MB) and a CFF face of about 16 MB saved with fontTools from the Noto CJK
collection, the benchmark times in one process, with repetitions interleaved
so that a slow moment of the machine hits every task alike:

* each glyphward call of a signing service (embedding a 64 KiB Manifest
  Store, the two-pass reserve / ranges / fill workflow, the two reads, the
  exclusion ranges, the compliance check);
* the same task done with fontTools: load the font, add a raw C2PA table,
  save it; or load the font and read the table;
* a floor: copying the font's bytes twice, bytes(bytearray(font)), and a
  single copy, bytearray(font).

Each task's time is the median of its samples; a sample of a fast task is the
mean of enough back-to-back calls to last about a millisecond. By default
every sample is taken with warm caches, after a few untimed calls of the same
task, as in a service that calls it in a loop; --cold evicts the caches
before every sample instead, as for a font that was read long ago. glibc's
malloc is set to recycle font-sized blocks (see `recycle_large_blocks`).
Times are the calling thread's CPU time by default (page faults included),
which leaves out the moments when other processes hold the CPU; --clock wall
gives elapsed time. The peak memory of each call is measured in a fresh
subprocess per call, as the growth of the resident set (Linux's VmHWM after
resetting it) over the resident set with the inputs already in memory, and
is given in units of the font's size.

The targets are checked on the 11 MB and 16 MB fonts (`check_targets`),
from ratios measured in pairs rather than from the table's medians: each
call and its reference (one copy of the font, the two-copy floor, the same
call on the 2 KB font, or the fontTools task) are timed back to back, the
order alternating from pair to pair, and a target holds when the median of
the per-pair ratios does, so that a machine that slows down or speeds up
between the two halves of a run moves both sides of every pair alike.
--check exits with status 1 when a target is missed.
"""
from __future__ import annotations

import argparse
import gc
import io
import json
import math
import os
import platform
import random
import statistics
import struct
import subprocess
import sys
import time
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Tuple

import glyphward

REPO = Path(__file__).resolve().parent.parent
DEJAVU = Path("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf")
NOTO_EMOJI = Path("/usr/share/fonts/truetype/noto/NotoColorEmoji.ttf")
NOTO_CJK_TTC = Path("/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc")

STORE_SIZE = 64 * 1024
URI = "https://example.com/manifests/font.c2pa"
SAMPLE_SECONDS = 0.001

# Sizes of the fonts the targets are checked on.
LARGE_FONTS = ("emoji", "cjk")
SMALL_FONT = "small"


# --------------------------------------------------------------------------
# Fonts


def small_font() -> bytes:
    """A 2 KB TrueType font: a head table and a filler table."""
    head = bytearray(54)
    struct.pack_into(">IIII", head, 0, 0x00010000, 0x00010000, 0, 0x5F0F3CF5)
    struct.pack_into(">HH", head, 16, 0, 1000)
    struct.pack_into(">QQ", head, 20, 3_786_825_600, 3_786_825_600)  # created, modified: 2024
    filler = bytes(random.Random(1).getrandbits(8) for _ in range(1900))
    tables = [(b"head", bytes(head)), (b"zfil", filler)]
    offset = 12 + 16 * len(tables)
    directory = struct.pack(">IHHHH", 0x00010000, len(tables), 32, 1, 0)
    body = b""
    for tag, data in tables:
        directory += tag + struct.pack(">III", 0, offset + len(body), len(data))
        body += data + b"\0" * (-len(data) % 4)
    # Let glyphward lay it out properly (checksums, adjustment).
    return glyphward.remove_manifest_table(directory + body)


def cjk_cff_font(cache: Path) -> bytes:
    """The first face of the Noto CJK collection, saved with fontTools."""
    path = cache / "NotoSansCJK-Regular-0.otf"
    if not path.exists():
        from fontTools.ttLib import TTCollection

        cache.mkdir(parents=True, exist_ok=True)
        collection = TTCollection(str(NOTO_CJK_TTC))
        temporary = path.with_suffix(".tmp")
        collection.fonts[0].save(str(temporary))
        temporary.replace(path)
    return path.read_bytes()


def load_fonts(cache: Path) -> Dict[str, Tuple[str, bytes]]:
    for path in (DEJAVU, NOTO_EMOJI, NOTO_CJK_TTC):
        if not path.exists():
            sys.exit(f"{path} is missing; scripts/setup-system.sh installs it")
    return {
        "small": ("2 KB TrueType", small_font()),
        "dejavu": ("DejaVuSans.ttf", DEJAVU.read_bytes()),
        "emoji": ("NotoColorEmoji.ttf", NOTO_EMOJI.read_bytes()),
        "cjk": ("NotoSansCJK CFF face", cjk_cff_font(cache)),
    }


# --------------------------------------------------------------------------
# The tasks


def c2pa_table(uri: Optional[str], store: bytes) -> bytes:
    """A C2PA table of version 0.1, built by hand for the fontTools side."""
    uri_bytes = (uri or "").encode()
    uri_offset = 20 if uri_bytes else 0
    store_offset = 20 + len(uri_bytes) if store else 0
    header = struct.pack(">HHIHHII", 0, 1, uri_offset, len(uri_bytes), 0, store_offset, len(store))
    return header + uri_bytes + store


class Inputs:
    """What the tasks of one font work on."""

    def __init__(self, font: bytes):
        self.font = font
        self.store = random.Random(len(font)).randbytes(STORE_SIZE)
        self.reserved = glyphward.reserve_manifest_placeholder(font, STORE_SIZE, URI)
        self.signed = glyphward.fill_manifest_store(self.reserved, self.store)


def glyphward_tasks(x: Inputs) -> Dict[str, Callable[[], Any]]:
    def workflow() -> object:
        reserved = glyphward.reserve_manifest_placeholder(x.font, STORE_SIZE, URI)
        glyphward.data_hash_ranges(reserved)
        return glyphward.fill_manifest_store(reserved, x.store)

    return {
        "embed_manifest_store": lambda: glyphward.embed_manifest_store(x.font, x.store),
        "reserve_manifest_placeholder": lambda: glyphward.reserve_manifest_placeholder(x.font, STORE_SIZE, URI),
        "fill_manifest_store": lambda: glyphward.fill_manifest_store(x.reserved, x.store),
        "reserve + data_hash_ranges + fill": workflow,
        "read_manifest_store": lambda: glyphward.read_manifest_store(x.signed),
        "read_manifest_uri_str": lambda: glyphward.read_manifest_uri_str(x.signed),
        "data_hash_ranges": lambda: glyphward.data_hash_ranges(x.signed),
        "is_compliant": lambda: glyphward.is_compliant(x.signed),
    }


def fonttools_tasks(x: Inputs) -> Dict[str, Callable[[], Any]]:
    from fontTools.ttLib import TTFont, newTable
    from fontTools.ttLib.sfnt import calcChecksum

    def load(font: bytes) -> "TTFont":
        return TTFont(io.BytesIO(font))

    def with_table(font: bytes, table: bytes) -> bytes:
        tt = load(font)
        c2pa = newTable("C2PA")
        c2pa.data = table
        tt["C2PA"] = c2pa
        out = io.BytesIO()
        tt.save(out)
        return out.getvalue()

    def read_table(font: bytes) -> Tuple[bytes, int, int, int, int]:
        data = load(font).getTableData("C2PA")
        _, _, uri_offset, uri_length, _, store_offset, store_length = struct.unpack(">HHIHHII", data[:20])
        return data, uri_offset, uri_length, store_offset, store_length

    def reserve() -> bytes:
        return with_table(x.font, c2pa_table(URI, bytes(STORE_SIZE)))

    def fill(reserved: bytes) -> bytes:
        return with_table(reserved, c2pa_table(URI, x.store))

    def ranges(font: bytes) -> List[Tuple[int, int]]:
        tt = load(font)
        entries = tt.reader.tables
        c2pa = entries["C2PA"]
        data = tt.getTableData("C2PA")
        store_offset, store_length = struct.unpack(">II", data[12:20])
        tags = list(entries)
        found = [(c2pa.offset + store_offset, store_length), (12 + 16 * tags.index("C2PA") + 4, 4)]
        if "head" in entries and entries["head"].length >= 12:
            found.append((entries["head"].offset + 8, 4))
        return sorted(found)

    def workflow() -> bytes:
        reserved = reserve()
        ranges(reserved)
        return fill(reserved)

    def read_store() -> bytes:
        data, _, _, offset, length = read_table(x.signed)
        return data[offset : offset + length]

    def read_uri() -> Optional[str]:
        data, offset, length, _, _ = read_table(x.signed)
        return data[offset : offset + length].decode() if offset else None

    def compliant() -> bool:
        tt = load(x.signed)
        data = tt.getTableData("C2PA")
        has_part = struct.unpack(">I", data[4:8])[0] != 0 or struct.unpack(">I", data[12:16])[0] != 0
        head = tt.reader.tables["head"].offset
        adjustment = struct.unpack(">I", x.signed[head + 8 : head + 12])[0]
        zeroed = x.signed[: head + 8] + b"\0\0\0\0" + x.signed[head + 12 :]
        return has_part and (0xB1B0AFBA - calcChecksum(zeroed)) & 0xFFFFFFFF == adjustment

    return {
        "embed_manifest_store": lambda: with_table(x.font, c2pa_table(None, x.store)),
        "reserve_manifest_placeholder": reserve,
        "fill_manifest_store": lambda: fill(x.reserved),
        "reserve + data_hash_ranges + fill": workflow,
        "read_manifest_store": read_store,
        "read_manifest_uri_str": read_uri,
        "data_hash_ranges": lambda: ranges(x.signed),
        "is_compliant": compliant,
    }


def floor_tasks(x: Inputs) -> Dict[str, Callable[[], Any]]:
    return {
        "two copies": lambda: bytes(bytearray(x.font)),
        "one copy": lambda: bytearray(x.font),
    }


WRITING_CALLS = ("embed_manifest_store", "reserve_manifest_placeholder", "fill_manifest_store")
WRITING_TASKS = WRITING_CALLS + ("reserve + data_hash_ranges + fill",)
READING_CALLS = ("read_manifest_store", "read_manifest_uri_str", "data_hash_ranges")
MEMORY_CALLS = WRITING_CALLS + READING_CALLS + ("is_compliant",)


def check_fonttools_agrees(x: Inputs) -> None:
    """The fontTools tasks do the same work: their results read the same."""
    gw, ft = glyphward_tasks(x), fonttools_tasks(x)
    for name in READING_CALLS + ("is_compliant",):
        assert gw[name]() == ft[name](), name
    for name in WRITING_TASKS:
        written = ft[name]()
        assert glyphward.read_manifest_store(written) == glyphward.read_manifest_store(gw[name]()), name


# --------------------------------------------------------------------------
# Timing


def recycle_large_blocks() -> bool:
    """Makes glibc's malloc keep freed blocks of up to 32 MiB for reuse
    instead of handing them back to the kernel. By default the heap's
    thresholds move with the history of allocations, so whether a font-sized
    output (of glyphward, or of a copy) lands on recycled memory or on fresh
    pages, which cost a page fault per 4 KiB, depends on what ran before it;
    the timings then swing by a factor of ten. Pinned, every task reuses
    memory, as a long-running service does."""
    if platform.libc_ver()[0] != "glibc":
        return False
    import ctypes

    libc = ctypes.CDLL(None)
    m_trim_threshold, m_mmap_threshold = -1, -3
    return bool(libc.mallopt(m_mmap_threshold, 32 << 20)) and bool(libc.mallopt(m_trim_threshold, 1 << 30))


CLOCKS = {
    # The calling thread's CPU time, page faults included: on a shared
    # machine it leaves out the time other processes hold the CPU.
    "cpu": time.thread_time,
    "wall": time.perf_counter,
}
clock = CLOCKS["cpu"]


def calls_per_sample(task: Callable[[], Any]) -> int:
    """Back-to-back calls that make a sample of about SAMPLE_SECONDS."""
    start = clock()
    task()
    elapsed = clock() - start
    if elapsed >= SAMPLE_SECONDS:
        return 1
    return min(10_000, math.ceil(SAMPLE_SECONDS / max(elapsed, 1e-7)))


WARM_CALLS = 3


class CacheScrubber:
    """Reads a buffer much larger than any font, so that what a task reads
    next comes from main memory."""

    def __init__(self, largest_font: int):
        self.buffer = bytes(bytearray(b"\1") * max(64 << 20, 4 * largest_font))

    def __call__(self) -> None:
        self.buffer.find(b"\2")


def time_tasks(groups: Dict[str, Dict[str, Callable[[], Any]]], repeat: int, slow_repeat: int,
               scrub: Optional[Callable[[], None]] = None) -> Dict[str, Dict[str, float]]:
    """Median seconds per call of every task. Rounds interleave the tasks;
    the group "fontTools" takes part in the first `slow_repeat` rounds only.

    Warm (no `scrub`): each sample of a glyphward or floor task follows
    WARM_CALLS untimed calls of the same task, so that it is timed in the
    steady state of a service calling it in a loop on one font, with its input
    in the cache whatever ran before it (one call is not enough to get there
    after another task has streamed a large font through the cache).
    Cold: one untimed call settles the allocator, then `scrub` evicts the
    caches before each sample, of every task alike."""
    flat = [(group, name, task) for group, tasks in groups.items() for name, task in tasks.items()]
    counts = {(group, name): calls_per_sample(task) for group, name, task in flat}
    samples: Dict[Tuple[str, str], List[float]] = {key: [] for key in counts}
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for round_index in range(repeat):
            for group, name, task in flat:
                if group == "fontTools" and round_index >= slow_repeat:
                    continue
                if group != "fontTools":
                    for _ in range(WARM_CALLS if scrub is None else 1):
                        task()
                if scrub is not None:
                    scrub()
                n = counts[(group, name)]
                start = clock()
                for _ in range(n):
                    task()
                samples[(group, name)].append((clock() - start) / n)
            gc.collect()
    finally:
        if gc_was_enabled:
            gc.enable()
    medians: Dict[str, Dict[str, float]] = {group: {} for group in groups}
    for (group, name), values in samples.items():
        medians[group][name] = statistics.median(values)
    return medians


class Paired:
    """The per-pair ratios of a task's time to its reference's."""

    def __init__(self, ratios: List[float]):
        self.ratios = sorted(ratios)
        self.median = statistics.median(ratios)

    def spread(self, digits: int = 2) -> str:
        """The middle half of the ratios."""
        n = len(self.ratios)
        return f"{self.ratios[n // 4]:.{digits}f}-{self.ratios[(3 * n) // 4]:.{digits}f}"


def time_pairs(task: Callable[[], Any], reference: Callable[[], Any], pairs: int,
               warm_task: bool = True, warm_reference: bool = True,
               scrub: Optional[Callable[[], None]] = None) -> Paired:
    """Times `task` and `reference` back to back `pairs` times, the task
    first in even pairs and the reference first in odd ones; each side is a
    sample as in `time_tasks` (warmed by WARM_CALLS untimed calls unless it
    is slow; or by one untimed call and then `scrub`, when given)."""
    sides = [(task, calls_per_sample(task), warm_task), (reference, calls_per_sample(reference), warm_reference)]
    ratios: List[float] = []
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for index in range(pairs):
            seconds: List[float] = []
            for function, n, warm in (sides if index % 2 == 0 else sides[::-1]):
                for _ in range(1 if scrub is not None else WARM_CALLS if warm else 0):
                    function()
                if scrub is not None:
                    scrub()
                start = clock()
                for _ in range(n):
                    function()
                seconds.append((clock() - start) / n)
            task_seconds, reference_seconds = seconds if index % 2 == 0 else seconds[::-1]
            ratios.append(task_seconds / reference_seconds)
            gc.collect()
    finally:
        if gc_was_enabled:
            gc.enable()
    return Paired(ratios)


# --------------------------------------------------------------------------
# Memory


def _status_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} not in /proc/self/status")


def memory_probe(font_key: str, group: str, name: str, cache: Path) -> None:
    """Runs in a subprocess: prints the call's peak resident growth in bytes."""
    fonts = load_fonts(cache)
    inputs = Inputs(fonts[font_key][1])
    task = (glyphward_tasks if group == "glyphward" else fonttools_tasks)(inputs)[name]
    if group == "fontTools":
        import fontTools.ttLib.tables  # noqa: F401  (module imports are not the call's memory)

        fonttools_tasks(Inputs(fonts["small"][1]))[name]()
    del fonts
    gc.collect()
    before = _status_kib("VmRSS")
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")  # resets VmHWM to the current resident set
    result = task()
    peak = _status_kib("VmHWM")
    output = len(result) if isinstance(result, bytes) else 0
    del result
    print(json.dumps({"peak_growth": (peak - before) * 1024, "output": output}))


def measure_memory(font_keys: List[str], cache: Path) -> Dict[Tuple[str, str, str], Tuple[int, int]]:
    """Peak resident growth of each call and the size of its result, in
    bytes, from a subprocess each.
    glibc's mmap threshold is pinned so that large blocks are mapped and
    unmapped, not kept in the heap, and the resident set follows live data."""
    env = dict(os.environ, MALLOC_MMAP_THRESHOLD_="65536", MALLOC_TRIM_THRESHOLD_="65536")
    results: Dict[Tuple[str, str, str], Tuple[int, int]] = {}
    for font_key in font_keys:
        for group in ("glyphward", "fontTools"):
            for name in MEMORY_CALLS:
                command = [sys.executable, __file__, "--memory-probe", font_key, group, name,
                           "--cache", str(cache)]
                output = subprocess.run(command, env=env, check=True, capture_output=True, text=True).stdout
                probe = json.loads(output.splitlines()[-1])
                results[(font_key, group, name)] = (probe["peak_growth"], probe["output"])
    return results


def cpu_name() -> str:
    """The processor's model name, and whether it runs under a hypervisor."""
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            fields = {key.strip(): value.strip() for key, value in
                      (line.split(":", 1) for line in cpuinfo if ":" in line)}
    except OSError:
        return platform.processor() or platform.machine()
    name = " ".join(fields.get("model name", platform.machine()).split())
    virtual = "hypervisor" in fields.get("flags", "").split()
    return f"{name}{' (virtual machine)' if virtual else ''}"


def memory_supported() -> bool:
    return sys.platform.startswith("linux") and os.access("/proc/self/clear_refs", os.W_OK)


# --------------------------------------------------------------------------
# Report


def ms(seconds: float) -> str:
    if seconds >= 0.1:
        return f"{seconds * 1e3:.0f}"
    if seconds >= 0.001:
        return f"{seconds * 1e3:.2f}"
    return f"{seconds * 1e3:.4f}"


def ratio(value: float) -> str:
    return f"{value:.0f}" if value >= 100 else f"{value:.1f}" if value >= 10 else f"{value:.2f}"


def report(fonts: Dict[str, Tuple[str, bytes]], times: Dict[str, Dict[str, Dict[str, float]]],
           memory: Optional[Dict[Tuple[str, str, str], Tuple[int, int]]]) -> List[str]:
    lines: List[str] = []
    for key, (label, font) in fonts.items():
        t = times[key]
        floor = t["floor"]["two copies"]
        lines.append("")
        lines.append(f"{label}: {len(font):,} bytes; floor bytes(bytearray(font)) {ms(floor)} ms, "
                     f"one copy {ms(t['floor']['one copy'])} ms")
        lines.append("")
        header = "| call | glyphward ms | fontTools ms | fontTools / glyphward | glyphward / floor |"
        rule = "|---|---:|---:|---:|---:|"
        if memory is not None:
            header += " peak memory / font size, glyphward | fontTools |"
            rule += "---:|---:|"
        lines.append(header)
        lines.append(rule)
        for name, gw in t["glyphward"].items():
            ft = t["fontTools"][name]
            row = f"| {name} | {ms(gw)} | {ms(ft)} | {ratio(ft / gw)} | {gw / floor:.3f} |"
            if memory is not None:
                if name in MEMORY_CALLS:
                    row += (f" {memory[(key, 'glyphward', name)][0] / len(font):.2f} |"
                            f" {memory[(key, 'fontTools', name)][0] / len(font):.2f} |")
                else:
                    row += " | |"
            lines.append(row)
    return lines


# Limits of the targets: at most LIMIT times the reference, or, for the
# comparisons with fontTools, at least LIMIT times faster.
COPY_LIMIT = 1.2          # a writing call against one copy of the font
FLOOR_LIMIT = 1.2         # the reserve / ranges / fill workflow against two copies
COMPLIANCE_LIMIT = 0.6    # is_compliant against one copy
FONTTOOLS_SPEEDUP = 80    # fontTools' time over glyphward's, for the writing tasks
READ_GROWTH_LIMIT = 2     # a reading call on a large font against the 2 KB font
# Peak memory of a call beyond its result: nothing of the font's size.
MEMORY_SLACK = 1 << 20


class Target:
    """One target: a glyphward task of one font, a reference and a limit."""

    def __init__(self, font_label: str, name: str, reference: str, limit: float, at_least: bool = False):
        self.font_label, self.name, self.reference, self.limit, self.at_least = (
            font_label, name, reference, limit, at_least)
        self.paired: Optional[Paired] = None

    def met(self) -> bool:
        assert self.paired is not None
        value = self.paired.median
        return value >= self.limit if self.at_least else value <= self.limit

    def describe(self) -> str:
        assert self.paired is not None
        pairs = f"middle half of {len(self.paired.ratios)} pairs {self.paired.spread(0 if self.at_least else 2)}"
        if self.at_least:
            return (f"{self.font_label}: {self.name} {self.paired.median:.0f}x faster than {self.reference} "
                    f"(>= {self.limit}; {pairs})")
        return (f"{self.font_label}: {self.name} {self.paired.median:.2f}x {self.reference} "
                f"(<= {self.limit}; {pairs})")


def measure_targets(label: str, x: Inputs, small: Inputs, pairs: int, fonttools_pairs: int,
                    scrub: Optional[Callable[[], None]]) -> List[Target]:
    """Measures the targets of one large font in pairs (see `time_pairs`)."""
    gw, ft, floor = glyphward_tasks(x), fonttools_tasks(x), floor_tasks(x)
    small_gw = glyphward_tasks(small)
    targets: List[Target] = []

    def add(name: str, reference: str, limit: float, task: Callable[[], Any], against: Callable[[], Any],
            count: int, at_least: bool = False, warm_task: bool = True) -> None:
        target = Target(label, name, reference, limit, at_least)
        target.paired = time_pairs(task, against, count, warm_task=warm_task, scrub=scrub)
        targets.append(target)

    workflow = "reserve + data_hash_ranges + fill"
    for name in WRITING_CALLS:
        add(name, "one copy of the font", COPY_LIMIT, gw[name], floor["one copy"], pairs)
    add(workflow, "the two-copy floor", FLOOR_LIMIT, gw[workflow], floor["two copies"], pairs)
    for name in WRITING_TASKS:
        # fontTools' time over glyphward's: the slow side is not warmed.
        add(name, "fontTools", FONTTOOLS_SPEEDUP, ft[name], gw[name], fonttools_pairs, at_least=True,
            warm_task=False)
    add("is_compliant", "one copy of the font", COMPLIANCE_LIMIT, gw["is_compliant"], floor["one copy"], pairs)
    for name in READING_CALLS:
        add(name, "its time on the 2 KB font", READ_GROWTH_LIMIT, gw[name], small_gw[name], pairs)
    return targets


def check_memory(fonts: Dict[str, Tuple[str, bytes]],
                 memory: Dict[Tuple[str, str, str], Tuple[int, int]]) -> List[Tuple[bool, str]]:
    """Each call on the large fonts holds its result and less than
    MEMORY_SLACK besides, over the resident input."""
    checks: List[Tuple[bool, str]] = []
    for key in LARGE_FONTS:
        if key not in fonts:
            continue
        label, font = fonts[key]
        for name in MEMORY_CALLS:
            growth, output_size = memory[(key, "glyphward", name)]
            checks.append((growth <= output_size + MEMORY_SLACK,
                           f"{label}: {name} peak {growth / len(font):.3f} font sizes over the input, result "
                           f"{output_size / len(font):.3f} (<= result + {MEMORY_SLACK >> 20} MiB)"))
    return checks


# --------------------------------------------------------------------------


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeat", type=int, default=21, help="samples of each glyphward and floor task")
    parser.add_argument("--fonttools-repeat", type=int, default=5,
                        help="samples of each fontTools task, and pairs of each comparison with fontTools")
    parser.add_argument("--pairs", type=int, default=41, help="pairs of each other comparison of the targets")
    parser.add_argument("--cache", type=Path, default=REPO / "build" / "bench-fonts",
                        help="where the CFF face saved from the Noto CJK collection is kept")
    parser.add_argument("--fonts", default="small,dejavu,emoji,cjk",
                        help="comma-separated subset of small, dejavu, emoji, cjk")
    parser.add_argument("--no-memory", action="store_true", help="skip the peak-memory subprocesses")
    parser.add_argument("--clock", choices=sorted(CLOCKS), default="cpu",
                        help="cpu: the thread's CPU time (default); wall: elapsed time")
    parser.add_argument("--cold", action="store_true",
                        help="evict the caches before each sample instead of warming them")
    parser.add_argument("--default-malloc", action="store_true",
                        help="leave glibc's malloc thresholds alone (see recycle_large_blocks)")
    parser.add_argument("--check", action="store_true", help="exit with status 1 when a target is missed")
    parser.add_argument("--memory-probe", nargs=3, metavar=("FONT", "GROUP", "CALL"), help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.memory_probe:
        font_key, group, name = args.memory_probe
        memory_probe(font_key, group, name, args.cache)
        return 0

    import fontTools

    global clock
    clock = CLOCKS[args.clock]
    recycled = not args.default_malloc and recycle_large_blocks()
    wanted = args.fonts.split(",")
    fonts = {key: value for key, value in load_fonts(args.cache).items() if key in wanted}
    print(f"glyphward {glyphward.__file__}")
    print(f"{cpu_name()}, {os.cpu_count()} CPUs")
    print(f"fontTools {fontTools.version}, CPython {platform.python_version()}, {platform.machine()}; "
          f"{args.repeat} samples per glyphward task, "
          f"{args.fonttools_repeat} per fontTools task; times are medians per call, "
          f"{'thread CPU time' if args.clock == 'cpu' else 'wall-clock time'}, "
          f"{'caches evicted before each sample' if args.cold else 'warm caches'}, "
          f"{'large blocks recycled by malloc' if recycled else 'default malloc thresholds'}")

    scrub = CacheScrubber(max(len(font) for _, font in fonts.values())) if args.cold else None
    times: Dict[str, Dict[str, Dict[str, float]]] = {}
    targets: List[Target] = []
    small_inputs = Inputs(small_font())
    for key, (label, font) in fonts.items():
        print(f"timing {label} ...", file=sys.stderr)
        inputs = Inputs(font)
        check_fonttools_agrees(inputs)
        groups = {"glyphward": glyphward_tasks(inputs), "fontTools": fonttools_tasks(inputs),
                  "floor": floor_tasks(inputs)}
        times[key] = time_tasks(groups, args.repeat, args.fonttools_repeat, scrub)
        if key in LARGE_FONTS:
            print(f"timing the targets of {label} in pairs ...", file=sys.stderr)
            targets += measure_targets(label, inputs, small_inputs, args.pairs, args.fonttools_repeat, scrub)
        del inputs, groups

    memory = None
    if not args.no_memory:
        if memory_supported():
            print("measuring peak memory ...", file=sys.stderr)
            memory = measure_memory(list(fonts), args.cache)
        else:
            print("peak memory: needs Linux's /proc/self/clear_refs; skipped")

    for line in report(fonts, times, memory):
        print(line)
    print("")
    print(f"Targets (11 MB and 16 MB fonts; {cpu_name()}); times are medians of per-pair ratios, each call")
    print("timed back to back with its reference, alternating which goes first:")
    checks = [(target.met(), target.describe()) for target in targets]
    if memory is not None:
        checks += check_memory(fonts, memory)
    for passed, text in checks:
        print(f"  {'ok  ' if passed else 'MISS'} {text}")
    missed = [text for passed, text in checks if not passed]
    print(f"{len(checks) - len(missed)} of {len(checks)} targets met")
    if not checks:
        print("no target measured: the targets need the emoji and cjk fonts")
    for text in missed:
        print(f"MISSED: {text}")
    return 1 if args.check and (missed or not checks) else 0


if __name__ == "__main__":
    sys.exit(main())
