"""Times glyphward's C2PA layer, glyphward_c2pa: signing and verifying fonts
against hashing and copying their bytes, and `glyphward verify` against
`sha256sum`.

    python bench/c2pa_benchmark.py [--pairs N] [--rounds N] [--check] [--profile]
    python bench/c2pa_benchmark.py --quick      # a smoke run: few pairs and rounds

The fonts are those of bench/benchmark.py (whose code this imports): a 2 KB
font built there, DejaVuSans (about 0.7 MB), NotoColorEmoji (about 11 MB)
and a CFF face of about 16 MB saved with fontTools from the Noto CJK
collection. The 2 KB font has a `head` table and a filler only: sign_font
leaves the font.info assertion out of its manifest (no `name` or `OS/2`
table to make it from) and says so in a warning; the other fonts get one.

The credential is made here, in memory, with cryptography: an ES256 (P-256) signing certificate under a self-signed root, with the C2PA
claim-signing EKU (1.3.6.1.4.1.62558.2.1) and id-kp-documentSigning, the
digitalSignature key usage, and subject and authority key identifiers, so
that it meets the certificate profile of C2PA 2.2, 14.5.1. Every font is
verified with the root as trust anchor, so that a verification goes all
the way to a trusted manifest and a valid asset (checked before timing).

What is timed, for each font and each hard binding (`boxes`, one hash per
table; `data`, one hash outside the exclusion ranges):

* `sign_font(font, signer, binding=...)` against its reference, one SHA-256
  pass over the font plus one copy, `hashlib.sha256(font).digest()` and
  `bytearray(font)` in one call (bench/benchmark.py counts `bytearray(font)`
  as one copy and `bytes(bytearray(font))` as two);
* `verify_font(signed font, trust_anchors=[root])` against one SHA-256 pass
  over the signed font.

Each call and its reference are timed back to back, the order alternating
from pair to pair, and a target holds when the median of the per-pair
ratios does, so that a machine that slows down or speeds up during the run
moves both sides of every pair alike (the method of bench/benchmark.py).
A sample is the mean of enough back-to-back calls to last about a
millisecond, after untimed calls of the same function (three, or one for a
call of more than 5 ms); the garbage collector is off while a pair is timed
and runs between pairs. Times are the calling thread's CPU time (page
faults included; --clock wall uses elapsed time for the ratios); the table
gives both. glibc's malloc is set to recycle font-sized blocks, as in
bench/benchmark.py.

The command: `glyphward sign --cert --key --strict` (timed once) signs 200
copies of DejaVuSans into a temporary directory; then, in rounds,
`glyphward verify --trust-anchors ROOT --jobs 1` (and `--jobs 2`) over the
200 signed fonts and `sha256sum` over the same files are run back to back,
the order alternating, and their wall times compared per pair. Each command
runs as its own process, start-up included.

Peak memory of sign_font and verify_font on the 11 MB and 16 MB fonts is
measured in a fresh subprocess per call, as in bench/benchmark.py: the
growth of the resident set (VmHWM after resetting it) over the resident set
with the inputs already in memory and the code already run once on
DejaVuSans; what exceeds the size of the call's result (the signed font and
its Manifest Store for sign_font; nothing of note for verify_font) is
reported in units of the font's size.

The targets (`check_*`): on the 11 MB and 16 MB fonts, verify_font at most
1.2 times one SHA-256 pass and sign_font at most 2 times one SHA-256 pass
plus one copy, for both bindings; on the 2 KB font, sign_font (both
bindings) and verify_font at most 1 ms each, the median CPU time per call;
`glyphward verify` over the 200 fonts within 2 times the wall time of
`sha256sum` (the better of --jobs 1 and --jobs 2); peak memory of each call
at most its result plus 1 MiB. --check exits with status 1 when a target is
missed; --profile then shows where the time (cProfile) or the memory
(tracemalloc at the peak) of each missed call goes.
"""
from __future__ import annotations

import argparse
import cProfile
import gc
import hashlib
import json
import math
import os
import platform
import pstats
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import tracemalloc
from dataclasses import dataclass, field
from datetime import datetime, timedelta, timezone
from importlib import metadata
from pathlib import Path
from types import FrameType
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, cast

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID

import glyphward_c2pa
from glyphward_c2pa import KeySigner, Signer, sign_font, verify_font

# bench/benchmark.py, beside this file: its fonts, malloc setting and helpers.
from benchmark import (DEJAVU, NOTO_CJK_TTC, NOTO_EMOJI, Paired, cjk_cff_font, cpu_name, memory_supported,
                       recycle_large_blocks, small_font)

REPO = Path(__file__).resolve().parent.parent
GLYPHWARD = Path(sys.executable).parent / "glyphward"

FONTS = {"small": "2 KB TrueType", "dejavu": "DejaVuSans.ttf", "emoji": "NotoColorEmoji.ttf",
         "cjk": "NotoSansCJK CFF face"}
LARGE_FONTS = ("emoji", "cjk")
SMALL_FONT = "small"
BINDINGS = ("boxes", "data")

SAMPLE_SECONDS = 0.001
WARM_CALLS = 3
SLOW_CALL = 0.005      # a call at least this long is warmed by one call only

# Limits of the targets.
VERIFY_LIMIT = 1.2     # verify_font against one SHA-256 pass over the signed font
SIGN_LIMIT = 2.0       # sign_font against one SHA-256 pass plus one copy of the font
SMALL_LIMIT = 0.001    # seconds of CPU time per call on the 2 KB font
COMMAND_LIMIT = 2.0    # glyphward verify against sha256sum, wall time
MEMORY_SLACK = 1 << 20  # peak memory of a call beyond its result

SIGN_REFERENCE = "one SHA-256 pass + bytearray(font)"
VERIFY_REFERENCE = "one SHA-256 pass"


# --------------------------------------------------------------------------
# The credential


@dataclass
class Credential:
    signer: Signer
    root: x509.Certificate
    chain_pem: bytes    # the signing certificate
    key_pem: bytes
    root_pem: bytes


C2PA_CLAIM_SIGNING = x509.ObjectIdentifier("1.3.6.1.4.1.62558.2.1")
DOCUMENT_SIGNING = x509.ObjectIdentifier("1.3.6.1.5.5.7.3.36")  # id-kp-documentSigning


def _name(common_name: str) -> x509.Name:
    return x509.Name([x509.NameAttribute(NameOID.COUNTRY_NAME, "CH"),
                      x509.NameAttribute(NameOID.ORGANIZATION_NAME, "glyphward benchmark"),
                      x509.NameAttribute(NameOID.COMMON_NAME, common_name)])


def _key_usage(signing: bool) -> x509.KeyUsage:
    return x509.KeyUsage(digital_signature=signing, content_commitment=False, key_encipherment=False,
                         data_encipherment=False, key_agreement=False, key_cert_sign=not signing,
                         crl_sign=not signing, encipher_only=False, decipher_only=False)


def make_credential() -> Credential:
    """An ES256 signing certificate under a root, both P-256, valid from an
    hour ago for 30 days (C2PA 2.2, 14.5.1: EKU, key usage, key identifiers,
    not a CA)."""
    now = datetime.now(timezone.utc)
    root_key = ec.generate_private_key(ec.SECP256R1())
    signing_key = ec.generate_private_key(ec.SECP256R1())
    root_name = _name("glyphward benchmark root CA")
    root = (x509.CertificateBuilder()
            .subject_name(root_name).issuer_name(root_name).public_key(root_key.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(now - timedelta(hours=1)).not_valid_after(now + timedelta(days=30))
            .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True)
            .add_extension(_key_usage(signing=False), critical=True)
            .add_extension(x509.SubjectKeyIdentifier.from_public_key(root_key.public_key()), critical=False)
            .sign(root_key, hashes.SHA256()))
    certificate = (x509.CertificateBuilder()
                   .subject_name(_name("glyphward benchmark signer")).issuer_name(root_name)
                   .public_key(signing_key.public_key())
                   .serial_number(x509.random_serial_number())
                   .not_valid_before(now - timedelta(hours=1)).not_valid_after(now + timedelta(days=30))
                   .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
                   .add_extension(_key_usage(signing=True), critical=True)
                   .add_extension(x509.ExtendedKeyUsage([C2PA_CLAIM_SIGNING, DOCUMENT_SIGNING]), critical=False)
                   .add_extension(x509.SubjectKeyIdentifier.from_public_key(signing_key.public_key()),
                                  critical=False)
                   .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(root_key.public_key()),
                                  critical=False)
                   .sign(root_key, hashes.SHA256()))
    pem = serialization.Encoding.PEM
    key_pem = signing_key.private_bytes(pem, serialization.PrivateFormat.PKCS8, serialization.NoEncryption())
    # The cast: KeySigner's `certificates` is a list, which mypy does not
    # take for the Sequence attribute of the Signer protocol.
    signer = cast(Signer, KeySigner(signing_key, [certificate]))
    return Credential(signer, root, certificate.public_bytes(pem), key_pem, root.public_bytes(pem))


# --------------------------------------------------------------------------
# Fonts and tasks


def font_bytes(key: str, cache: Path) -> bytes:
    if key == "small":
        return small_font()
    if key == "cjk":
        return cjk_cff_font(cache)
    return {"dejavu": DEJAVU, "emoji": NOTO_EMOJI}[key].read_bytes()


def check_fonts(keys: Sequence[str]) -> None:
    needed = {"dejavu": DEJAVU, "emoji": NOTO_EMOJI, "cjk": NOTO_CJK_TTC}
    for key in keys:
        if key in needed and not needed[key].exists():
            sys.exit(f"{needed[key]} is missing; scripts/setup-system.sh installs it")


def signed_font(font: bytes, credential: Credential, binding: str) -> bytes:
    """The font signed, checked to verify as a trusted manifest and a valid
    asset, and signed with a credential that meets the profile (strict)."""
    signed = sign_font(font, credential.signer, binding=binding, strict=True)
    report = verify_font(signed.font, trust_anchors=[credential.root])
    if report.manifest_state != "trusted" or not report.asset_valid:
        sys.exit(f"the signed font does not verify: {report.manifest_state}, asset valid {report.asset_valid}, "
                 f"{[status.code for status in report.results.failure]}")
    return signed.font


@dataclass
class Calls:
    """The four functions timed on one font and binding."""
    sign: Callable[[], Any]
    sign_reference: Callable[[], Any]
    verify: Callable[[], Any]
    verify_reference: Callable[[], Any]


def calls(font: bytes, signed: bytes, credential: Credential, binding: str) -> Calls:
    signer, anchors = credential.signer, [credential.root]

    def sign_reference() -> Tuple[bytes, bytearray]:
        return hashlib.sha256(font).digest(), bytearray(font)

    return Calls(sign=lambda: sign_font(font, signer, binding=binding),
                 sign_reference=sign_reference,
                 verify=lambda: verify_font(signed, trust_anchors=anchors),
                 verify_reference=lambda: hashlib.sha256(signed).digest())


# --------------------------------------------------------------------------
# Timing


@dataclass
class Samples:
    """Seconds per call, one value per sample, on both clocks."""
    cpu: List[float] = field(default_factory=list)
    wall: List[float] = field(default_factory=list)

    def on(self, clock: str) -> List[float]:
        return self.cpu if clock == "cpu" else self.wall


@dataclass
class PairTimes:
    task: Samples
    reference: Samples
    paired: Paired      # ratios task / reference, on the chosen clock


def calls_per_sample(function: Callable[[], Any]) -> Tuple[int, int]:
    """Back-to-back calls that make a sample of about SAMPLE_SECONDS, and
    the untimed calls to make before each sample."""
    function()
    start = time.perf_counter()
    function()
    elapsed = time.perf_counter() - start
    warm = 1 if elapsed >= SLOW_CALL else WARM_CALLS
    if elapsed >= SAMPLE_SECONDS:
        return 1, warm
    return min(10_000, math.ceil(SAMPLE_SECONDS / max(elapsed, 1e-7))), warm


def time_pairs(task: Callable[[], Any], reference: Callable[[], Any], pairs: int, clock: str) -> PairTimes:
    """Times `task` and `reference` back to back `pairs` times, the task
    first in even pairs and the reference first in odd ones."""
    sides = [(task, *calls_per_sample(task), Samples()), (reference, *calls_per_sample(reference), Samples())]
    ratios: List[float] = []
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for index in range(pairs):
            for function, n, warm, samples in (sides if index % 2 == 0 else sides[::-1]):
                for _ in range(warm):
                    function()
                cpu, wall = time.thread_time(), time.perf_counter()
                for _ in range(n):
                    function()
                samples.wall.append((time.perf_counter() - wall) / n)
                samples.cpu.append((time.thread_time() - cpu) / n)
            ratios.append(sides[0][3].on(clock)[-1] / sides[1][3].on(clock)[-1])
            gc.collect()
    finally:
        if gc_was_enabled:
            gc.enable()
    return PairTimes(sides[0][3], sides[1][3], Paired(ratios))


@dataclass
class FontTimes:
    size: int
    copies: Dict[str, float] = field(default_factory=dict)       # median CPU seconds of the copy floors
    sign: Dict[str, PairTimes] = field(default_factory=dict)      # by binding
    verify: Dict[str, PairTimes] = field(default_factory=dict)


COPIES: Dict[str, Callable[[bytes], Any]] = {"bytearray(font)": bytearray,
                                              "bytes(bytearray(font))": lambda font: bytes(bytearray(font))}


def median_cpu(function: Callable[[], Any], samples: int) -> float:
    """The median CPU time of a call, from samples as in `time_pairs`."""
    n, warm = calls_per_sample(function)
    seconds = []
    for _ in range(samples):
        for _ in range(warm):
            function()
        start = time.thread_time()
        for _ in range(n):
            function()
        seconds.append((time.thread_time() - start) / n)
    return statistics.median(seconds)


def time_font(font: bytes, credential: Credential, pairs: int, clock: str) -> FontTimes:
    times = FontTimes(len(font))
    for name, copy in COPIES.items():
        times.copies[name] = median_cpu(lambda: copy(font), 11)
    for binding in BINDINGS:
        c = calls(font, signed_font(font, credential, binding), credential, binding)
        times.sign[binding] = time_pairs(c.sign, c.sign_reference, pairs, clock)
        times.verify[binding] = time_pairs(c.verify, c.verify_reference, pairs, clock)
    return times


# --------------------------------------------------------------------------
# The command against sha256sum


@dataclass
class CommandTimes:
    copies: int
    bytes_each: int
    sign_seconds: float                                 # glyphward sign, one run
    pairs: Dict[int, Paired] = field(default_factory=dict)           # by --jobs: verify / sha256sum
    verify_wall: Dict[int, List[float]] = field(default_factory=dict)
    verify_cpu: Dict[int, List[float]] = field(default_factory=dict)  # user + system, all threads
    sha256sum_wall: List[float] = field(default_factory=list)


def run_timed(command: List[str]) -> Tuple[float, float]:
    """Wall time and CPU time (user + system) of one run; it must exit 0."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    completed = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    elapsed = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if completed.returncode != 0:
        sys.exit(f"{' '.join(command[:4])} ... exited with {completed.returncode}: "
                 f"{completed.stderr.decode(errors='replace')[-2000:]}")
    return elapsed, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def time_command(credential: Credential, copies: int, rounds: int, jobs: Sequence[int]) -> CommandTimes:
    if not GLYPHWARD.exists():
        sys.exit(f"no glyphward command at {GLYPHWARD} (the console script beside this Python)")
    with tempfile.TemporaryDirectory(prefix="glyphward-c2pa-bench-") as workspace:
        directory = Path(workspace)
        (directory / "chain.pem").write_bytes(credential.chain_pem)
        (directory / "key.pem").write_bytes(credential.key_pem)
        (directory / "root.pem").write_bytes(credential.root_pem)
        unsigned, signed = directory / "in", directory / "signed"
        unsigned.mkdir()
        signed.mkdir()
        for index in range(copies):
            shutil.copyfile(DEJAVU, unsigned / f"DejaVuSans-{index:03}.ttf")
        sign_seconds, _ = run_timed([str(GLYPHWARD), "sign", "-q", "--strict", "--cert", str(directory / "chain.pem"),
                                     "--key", str(directory / "key.pem"), "--output-dir", str(signed),
                                     *sorted(str(path) for path in unsigned.iterdir())])
        fonts = sorted(str(path) for path in signed.iterdir())
        if len(fonts) != copies:
            sys.exit(f"glyphward sign wrote {len(fonts)} fonts of {copies}")
        times = CommandTimes(copies, os.path.getsize(fonts[0]), sign_seconds)
        sha256sum = ["sha256sum", *fonts]
        verify = {n: [str(GLYPHWARD), "verify", "-q", "--jobs", str(n), "--trust-anchors",
                      str(directory / "root.pem"), *fonts] for n in jobs}
        ratios: Dict[int, List[float]] = {}
        for command in [sha256sum, *verify.values()]:  # untimed: page cache, byte-code caches
            run_timed(command)
        for round_index in range(rounds):
            for n, command in verify.items():
                first_verify = (round_index + n) % 2 == 0
                order = [command, sha256sum] if first_verify else [sha256sum, command]
                measured = [run_timed(side) for side in order]
                (verify_wall, verify_cpu), (sha_wall, _) = measured if first_verify else measured[::-1]
                times.verify_wall.setdefault(n, []).append(verify_wall)
                times.verify_cpu.setdefault(n, []).append(verify_cpu)
                times.sha256sum_wall.append(sha_wall)
                ratios.setdefault(n, []).append(verify_wall / sha_wall)
        times.pairs = {n: Paired(ratios[n]) for n in jobs}
    return times


# --------------------------------------------------------------------------
# Memory


def _status_kib(name: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(name + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{name} not in /proc/self/status")


def probe_inputs(font_key: str, call: str, binding: str, cache: Path) -> Callable[[], Any]:
    """The call to measure, with its inputs made and the code run once on
    DejaVuSans (imports, such as those of the fontTools tables that font.info
    reads, and first-call set-up are not the call's memory)."""
    credential = make_credential()
    warm = sign_font(DEJAVU.read_bytes(), credential.signer, binding=binding).font
    verify_font(warm, trust_anchors=[credential.root])
    del warm
    font = font_bytes(font_key, cache)
    if call == "sign":
        return lambda: sign_font(font, credential.signer, binding=binding)
    signed = sign_font(font, credential.signer, binding=binding).font
    return lambda: verify_font(signed, trust_anchors=[credential.root])


def result_size(result: Any) -> int:
    """The bytes a call's result holds of font size: the signed font and its
    Manifest Store for sign_font, nothing for verify_font's report."""
    if isinstance(result, glyphward_c2pa.SignedFont):
        return len(result.font) + len(result.manifest_store)
    return 0


def memory_probe(font_key: str, call: str, binding: str, cache: Path) -> None:
    """Runs in a subprocess: prints the call's peak resident growth, in bytes."""
    task = probe_inputs(font_key, call, binding, cache)
    gc.collect()
    before = _status_kib("VmRSS")
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")  # resets VmHWM to the current resident set
    result = task()
    peak = _status_kib("VmHWM")
    print(json.dumps({"peak_growth": (peak - before) * 1024, "result": result_size(result)}))


MEMORY_ENV = dict(os.environ, MALLOC_MMAP_THRESHOLD_="65536", MALLOC_TRIM_THRESHOLD_="65536")


@dataclass
class Memory:
    font_size: int
    peak_growth: int
    result: int

    @property
    def beyond(self) -> int:
        return self.peak_growth - self.result


def measure_memory(sizes: Dict[str, int], cache: Path) -> Dict[Tuple[str, str, str], Memory]:
    """Peak resident growth of each call, from a subprocess each. glibc's
    mmap threshold is pinned so that large blocks are mapped and unmapped,
    not kept in the heap, and the resident set follows live data."""
    found: Dict[Tuple[str, str, str], Memory] = {}
    for font_key, size in sizes.items():
        for call in ("sign", "verify"):
            for binding in BINDINGS:
                command = [sys.executable, __file__, "--memory-probe", font_key, call, binding, "--cache", str(cache)]
                output = subprocess.run(command, env=MEMORY_ENV, check=True, capture_output=True, text=True).stdout
                probe = json.loads(output.splitlines()[-1])
                found[(font_key, call, binding)] = Memory(size, probe["peak_growth"], probe["result"])
    return found


# --------------------------------------------------------------------------
# Where the time and the memory go (--profile)


def _where(filename: str, line: int, function: str) -> str:
    for marker in ("site-packages/", "/src/", "/lib/python"):
        if marker in filename:
            filename = filename.split(marker, 1)[1]
            break
    if not function:
        return f"{filename}:{line}"
    return f"{function} ({filename}:{line})" if line else function


# What the own time of a profiled function counts as, by its file or name.
CATEGORIES = (
    ("SHA-256 (hashlib)", ("_hashlib",)),
    ("the glyphward module (C++)", ("glyphward.",)),
    ("cryptography (ECDSA, X.509)", ("cryptography",)),
    ("cbor2", ("cbor2",)),
    ("fontTools (font.info)", ("fontTools",)),
    ("glyphward_c2pa's Python code", ("glyphward_c2pa",)),
)


def _category(filename: str, function: str) -> str:
    for name, markers in CATEGORIES:
        if any(marker in filename or marker in function for marker in markers):
            return name
    return "other (builtins, standard library)"


def profile_time(task: Callable[[], Any], entry: str, calls_count: int, top: int = 12) -> List[str]:
    """cProfile over `calls_count` calls, the garbage collector off as when
    timed: the steps of `entry` (the function the task calls: the time of
    each function it calls, with its share), the own time by kind of code,
    and the functions with the most own time."""
    task()
    profiler = cProfile.Profile()
    gc.collect()
    gc.disable()
    try:
        profiler.enable()
        for _ in range(calls_count):
            task()
        profiler.disable()
    finally:
        gc.enable()
    entries = pstats.Stats(profiler).stats  # type: ignore[attr-defined]
    total = sum(own for _, _, own, _, _ in entries.values()) or 1e-12

    def per_call(seconds: float) -> str:
        return f"{1e3 * seconds / calls_count:8.3f} ms {100 * seconds / total:5.1f} %"

    lines = [f"    {calls_count} calls, {1e3 * total / calls_count:.3f} ms per call under the profiler"]
    def steps(caller: Tuple[str, int, str], depth: int, share: float) -> None:
        """The calls `caller` makes, by time; those of a large share in turn.
        A profile counts a function's calls over all its callers: below the
        first level, times are shared out in proportion (`share`)."""
        found = [(edges[caller][3] * share, key) for key, (_, _, _, _, edges) in entries.items() if caller in edges]
        for cumulative, key in sorted(found, reverse=True)[:top]:
            if cumulative < 0.002 * total:
                break
            lines.append(f"      {'    ' * depth}{per_call(cumulative)}  {_where(*key)}")
            if depth < 2 and cumulative >= 0.05 * total and key[0] != "~":
                steps(key, depth + 1, cumulative / entries[key][3])
        lines.append(f"      {'    ' * depth}{per_call(entries[caller][2] * share)}  {_where(*caller)}: its own lines")

    top_key = next((key for key in entries if key[2] == entry and "glyphward_c2pa" in key[0]), None)
    if top_key is not None:
        lines.append(f"    the steps of {_where(*top_key)}: the calls it makes, and theirs (of 0.2 % or more; "
                     "inclusive time per call of the task):")
        steps(top_key, 0, 1.0)
    by_kind: Dict[str, float] = {}
    for (filename, _, function), (_, _, own, _, _) in entries.items():
        kind = _category(filename, function)
        by_kind[kind] = by_kind.get(kind, 0.0) + own
    lines.append("    own time by kind of code:")
    for kind, own in sorted(by_kind.items(), key=lambda item: item[1], reverse=True):
        lines.append(f"      {per_call(own)}  {kind}")
    lines.append("    the functions with the most own time (calls per call of the task):")
    rows = sorted(entries.items(), key=lambda item: item[1][2], reverse=True)[:top]
    for key, (_, count, own, _, _) in rows:
        lines.append(f"      {per_call(own)} {count / calls_count:7.1f}  {_where(*key)}")
    return lines


def trace_peak(task: Callable[[], Any]) -> List[str]:
    """Runs `task` under tracemalloc with a profile hook that looks at the
    traced memory at every call and return: where the peak is reached (the
    stack) and which blocks of 256 KiB or more are alive then (by the line
    that allocated them)."""
    tracemalloc.start(30)
    base = tracemalloc.get_traced_memory()[0]
    best: Dict[str, Any] = {"current": base, "stack": [], "snapshot": None}
    module_calls: List[str] = []  # the traced memory as each glyphward module call returns

    def hook(frame: FrameType, event: str, arg: Any) -> None:
        current = tracemalloc.get_traced_memory()[0]
        if event == "c_return" and getattr(arg, "__module__", None) == "glyphward":
            module_calls.append(f"      {(current - base) / 2**20:8.1f} MiB  after glyphward.{arg.__name__}, called "
                                f"from {_where(frame.f_code.co_filename, frame.f_lineno, frame.f_code.co_name)}")
        if current > best["current"] + (128 << 10):
            best["current"] = current
            stack: List[str] = []
            walker: Optional[FrameType] = frame
            while walker is not None:
                stack.append(_where(walker.f_code.co_filename, walker.f_lineno, walker.f_code.co_name))
                walker = walker.f_back
            if event == "c_return":
                stack.insert(0, f"returned from {getattr(arg, '__qualname__', arg)}")
            best["stack"] = stack
            best["snapshot"] = tracemalloc.take_snapshot()

    sys.setprofile(hook)
    try:
        result = task()
    finally:
        sys.setprofile(None)
    traced_peak = tracemalloc.get_traced_memory()[1] - base
    tracemalloc.stop()
    lines = [f"    traced peak {traced_peak / 2**20:.1f} MiB over the inputs; the highest seen at a call or return "
             f"{(best['current'] - base) / 2**20:.1f} MiB, result {result_size(result) / 2**20:.1f} MiB; "
             "reached in:"]
    lines += [f"      {entry}" for entry in best["stack"][:12] if "c2pa_benchmark" not in entry]
    if module_calls:
        lines.append("    traced memory over the inputs as each call of the glyphward module returns (reserve, "
                     "fill and embed make a font-sized result):")
        lines += module_calls
    if best["snapshot"] is not None:
        lines.append("    alive at the peak (blocks of 256 KiB or more, by the line that allocated them, innermost first):")
        for statistic in best["snapshot"].statistics("traceback"):
            if statistic.size < (256 << 10):
                break
            frames = [_where(frame.filename, frame.lineno, "") for frame in reversed(statistic.traceback)
                      if "c2pa_benchmark" not in frame.filename and "tracemalloc" not in frame.filename]
            lines.append(f"      {statistic.size / 2**20:8.1f} MiB  " + " <- ".join(frames[:6]))
    return lines


def trace_probe(font_key: str, call: str, binding: str, cache: Path) -> None:
    """Runs in a subprocess: prints `trace_peak` of the call."""
    task = probe_inputs(font_key, call, binding, cache)
    gc.collect()
    print("\n".join(trace_peak(task)))


# --------------------------------------------------------------------------
# Report


def ms(seconds: float) -> str:
    if seconds >= 0.1:
        return f"{seconds * 1e3:.0f}"
    if seconds >= 0.01:
        return f"{seconds * 1e3:.1f}"
    return f"{seconds * 1e3:.3f}"


def middle_half(values: Sequence[float], scale: float = 1.0, digits: int = 2) -> str:
    ordered = sorted(values)
    n = len(ordered)
    return f"{ordered[n // 4] * scale:.{digits}f}-{ordered[(3 * n) // 4] * scale:.{digits}f}"


def font_table(label: str, times: FontTimes) -> List[str]:
    sha = statistics.median(times.verify["boxes"].reference.cpu)
    copies = ", ".join(f"{name} {ms(seconds)} ms" for name, seconds in times.copies.items())
    lines = ["", f"{label}: {times.size:,} bytes; one SHA-256 pass {ms(sha)} ms CPU "
                 f"({times.size / sha / 1e9:.2f} GB/s); {copies}", "",
             "| call | binding | CPU ms | wall ms | reference | reference CPU ms | ratio, median of pairs | "
             "middle half |",
             "|---|---|---:|---:|---|---:|---:|---:|"]
    for call, by_binding, reference in (("sign_font", times.sign, SIGN_REFERENCE),
                                        ("verify_font", times.verify, VERIFY_REFERENCE)):
        for binding, pair in by_binding.items():
            lines.append(f"| {call} | {binding} | {ms(statistics.median(pair.task.cpu))} | "
                         f"{ms(statistics.median(pair.task.wall))} | {reference} | "
                         f"{ms(statistics.median(pair.reference.cpu))} | {pair.paired.median:.2f} | "
                         f"{pair.paired.spread()} |")
    return lines


def memory_table(fonts: Dict[str, str], memory: Dict[Tuple[str, str, str], Memory]) -> List[str]:
    lines = ["", "Peak memory of a call (fresh process each; growth of the resident set over the inputs):", "",
             "| font | call | binding | peak growth MiB | result MiB | beyond the result, MiB | "
             "beyond the result, font sizes |",
             "|---|---|---|---:|---:|---:|---:|"]
    for (font_key, call, binding), m in memory.items():
        lines.append(f"| {fonts[font_key]} | {call}_font | {binding} | {m.peak_growth / 2**20:.1f} | "
                     f"{m.result / 2**20:.1f} | {m.beyond / 2**20:.1f} | {m.beyond / m.font_size:.2f} |")
    return lines


def command_table(times: CommandTimes) -> List[str]:
    sha = statistics.median(times.sha256sum_wall)
    total = times.copies * times.bytes_each
    lines = ["", f"The command, {times.copies} signed copies of DejaVuSans.ttf ({times.bytes_each:,} bytes each; "
                 f"glyphward sign --cert --key made them in {times.sign_seconds:.2f} s):", "",
             "| run | wall s | fonts per second | MB/s | CPU s (user + system) | wall / sha256sum, median of pairs |"
             " middle half |",
             "|---|---:|---:|---:|---:|---:|---:|",
             f"| sha256sum | {sha:.3f} | {times.copies / sha:.0f} | {total / sha / 1e6:.0f} | | | |"]
    for n, paired in times.pairs.items():
        wall = statistics.median(times.verify_wall[n])
        lines.append(f"| glyphward verify --jobs {n} | {wall:.3f} | {times.copies / wall:.0f} | "
                     f"{total / wall / 1e6:.0f} | {statistics.median(times.verify_cpu[n]):.3f} | "
                     f"{paired.median:.2f} | {paired.spread()} |")
    return lines


@dataclass
class Check:
    passed: bool
    text: str
    # What --profile looks at for a miss: ("time", font, call, binding) or ("memory", ...).
    subject: Optional[Tuple[str, str, str, str]] = None


def check_ratios(fonts: Dict[str, str], times: Dict[str, FontTimes]) -> List[Check]:
    checks: List[Check] = []
    for key in LARGE_FONTS:
        if key not in times:
            continue
        for call, limit, reference in (("verify", VERIFY_LIMIT, VERIFY_REFERENCE),
                                       ("sign", SIGN_LIMIT, SIGN_REFERENCE)):
            for binding in BINDINGS:
                paired = getattr(times[key], call)[binding].paired
                checks.append(Check(paired.median <= limit,
                                    f"{fonts[key]}: {call}_font ({binding}) {paired.median:.2f}x {reference} "
                                    f"(<= {limit}; middle half of {len(paired.ratios)} pairs {paired.spread()})",
                                    ("time", key, call, binding)))
    return checks


def check_small(fonts: Dict[str, str], times: Dict[str, FontTimes]) -> List[Check]:
    checks: List[Check] = []
    if SMALL_FONT not in times:
        return checks
    t = times[SMALL_FONT]
    for call, binding, samples in (("sign", "boxes", t.sign["boxes"].task), ("sign", "data", t.sign["data"].task),
                                   ("verify", "boxes", t.verify["boxes"].task),
                                   ("verify", "data", t.verify["data"].task)):
        cpu = statistics.median(samples.cpu)
        checks.append(Check(cpu <= SMALL_LIMIT,
                            f"{fonts[SMALL_FONT]}: {call}_font ({binding}{', ES256' if call == 'sign' else ''}) "
                            f"{cpu * 1e3:.3f} ms CPU, {statistics.median(samples.wall) * 1e3:.3f} ms wall "
                            f"(<= {SMALL_LIMIT * 1e3:.0f} ms CPU; middle half of {len(samples.cpu)} samples "
                            f"{middle_half(samples.cpu, 1e3, 3)} ms)",
                            ("time", SMALL_FONT, call, binding)))
    return checks


def check_command(times: CommandTimes) -> List[Check]:
    best = min(times.pairs, key=lambda n: times.pairs[n].median)
    parts = [f"--jobs {n} {paired.median:.2f}x (middle half of {len(paired.ratios)} pairs {paired.spread()})"
             for n, paired in times.pairs.items()]
    return [Check(times.pairs[best].median <= COMMAND_LIMIT,
                  f"glyphward verify, {times.copies} signed copies of DejaVuSans.ttf, wall time against sha256sum: "
                  f"{'; '.join(parts)}; the better, --jobs {best}, <= {COMMAND_LIMIT}")]


def check_memory(fonts: Dict[str, str], memory: Dict[Tuple[str, str, str], Memory]) -> List[Check]:
    checks: List[Check] = []
    for (key, call, binding), m in memory.items():
        checks.append(Check(m.beyond <= MEMORY_SLACK,
                            f"{fonts[key]}: {call}_font ({binding}) peak {m.beyond / m.font_size:.2f} font sizes "
                            f"({m.beyond / 2**20:.1f} MiB) beyond its result of {m.result / 2**20:.1f} MiB "
                            f"(<= result + {MEMORY_SLACK >> 20} MiB)",
                            ("memory", key, call, binding)))
    return checks


def profile_misses(missed: List[Check], fonts: Dict[str, bytes], credential: Credential, cache: Path) -> List[str]:
    lines: List[str] = []
    for check in missed:
        if check.subject is None:
            continue
        kind, key, call, binding = check.subject
        lines += ["", f"{check.text}:"]
        if kind == "time":
            font = fonts[key]
            c = calls(font, signed_font(font, credential, binding), credential, binding)
            count = 300 if key == SMALL_FONT else 10 if key in LARGE_FONTS else 50
            lines.append(f"  cProfile of {call}_font ({binding}); own time: in the function itself")
            lines += profile_time(c.sign if call == "sign" else c.verify,
                                  "sign_font" if call == "sign" else "validate_font", count)
        else:
            command = [sys.executable, __file__, "--trace-probe", key, call, binding, "--cache", str(cache)]
            output = subprocess.run(command, env=MEMORY_ENV, check=True, capture_output=True, text=True).stdout
            lines.append(f"  tracemalloc of {call}_font ({binding}) in a fresh process "
                         "(Python's allocations; the C++ module's own buffers are not traced):")
            lines += output.rstrip("\n").splitlines()
    return lines


def versions() -> str:
    import cbor2
    import fontTools

    compiled = "compiled" if type(cbor2.dumps).__name__ == "builtin_function_or_method" else "pure Python"
    return (f"CPython {platform.python_version()} ({platform.machine()}), cryptography {metadata.version('cryptography')}"
            f" (OpenSSL {_openssl()}), cbor2 {metadata.version('cbor2')} ({compiled}), fontTools {fontTools.version}")


def _openssl() -> str:
    from cryptography.hazmat.backends.openssl import backend

    return backend.openssl_version_text().replace("OpenSSL ", "")


def load_average() -> str:
    return " ".join(f"{value:.2f}" for value in os.getloadavg())


# --------------------------------------------------------------------------


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--pairs", type=int, default=41,
                        help="pairs of each comparison on DejaVuSans and the large fonts (default 41)")
    parser.add_argument("--small-pairs", type=int, default=101,
                        help="pairs of each comparison on the 2 KB font (default 101)")
    parser.add_argument("--rounds", type=int, default=9, help="rounds of the command against sha256sum (default 9)")
    parser.add_argument("--copies", type=int, default=200, help="signed copies of DejaVuSans for the command")
    parser.add_argument("--quick", action="store_true",
                        help="a smoke run: 5 pairs, 21 on the 2 KB font, 3 rounds of the command")
    parser.add_argument("--fonts", default="small,dejavu,emoji,cjk",
                        help="comma-separated subset of small, dejavu, emoji, cjk")
    parser.add_argument("--cache", type=Path, default=REPO / "build" / "bench-fonts",
                        help="where the CFF face saved from the Noto CJK collection is kept")
    parser.add_argument("--no-memory", action="store_true", help="skip the peak-memory subprocesses")
    parser.add_argument("--no-command", action="store_true", help="skip the glyphward verify runs")
    parser.add_argument("--clock", choices=("cpu", "wall"), default="cpu",
                        help="what the in-process ratios compare: the thread's CPU time (default) or elapsed time")
    parser.add_argument("--default-malloc", action="store_true",
                        help="leave glibc's malloc thresholds alone (see bench/benchmark.py)")
    parser.add_argument("--check", action="store_true", help="exit with status 1 when a target is missed")
    parser.add_argument("--profile", action="store_true",
                        help="for each missed target, show where the time or the memory of the call goes")
    parser.add_argument("--memory-probe", nargs=3, metavar=("FONT", "CALL", "BINDING"), help=argparse.SUPPRESS)
    parser.add_argument("--trace-probe", nargs=3, metavar=("FONT", "CALL", "BINDING"), help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.memory_probe:
        font_key, call, binding = args.memory_probe
        memory_probe(font_key, call, binding, args.cache)
        return 0
    if args.trace_probe:
        font_key, call, binding = args.trace_probe
        trace_probe(font_key, call, binding, args.cache)
        return 0
    if args.quick:
        args.pairs, args.small_pairs, args.rounds = 5, 21, 3

    started = time.perf_counter()
    load_at_start = load_average()
    recycled = not args.default_malloc and recycle_large_blocks()
    wanted = [key for key in FONTS if key in args.fonts.split(",")]
    check_fonts(wanted + (["dejavu"] if not args.no_command else []))
    credential = make_credential()
    fonts = {key: font_bytes(key, args.cache) for key in wanted}
    labels = {key: FONTS[key] for key in wanted}

    print(f"glyphward_c2pa {Path(glyphward_c2pa.__file__).parent}")
    print(f"CPU: {cpu_name()}, {os.cpu_count()} CPUs; load average {load_at_start} at the start")
    print(f"{versions()}")
    print(f"ES256 (P-256) signing certificate under a root, the root the trust anchor of every verification; "
          f"{args.pairs} pairs per comparison ({args.small_pairs} on the 2 KB font); ratios of "
          f"{'thread CPU time' if args.clock == 'cpu' else 'wall-clock time'}; "
          f"{'large blocks recycled by malloc' if recycled else 'default malloc thresholds'}")

    times: Dict[str, FontTimes] = {}
    for key, font in fonts.items():
        print(f"timing {labels[key]} ...", file=sys.stderr)
        times[key] = time_font(font, credential, args.small_pairs if key == SMALL_FONT else args.pairs, args.clock)

    memory: Optional[Dict[Tuple[str, str, str], Memory]] = None
    large = {key: len(fonts[key]) for key in LARGE_FONTS if key in fonts}
    if not args.no_memory and large:
        if memory_supported():
            print("measuring peak memory ...", file=sys.stderr)
            memory = measure_memory(large, args.cache)
        else:
            print("peak memory: needs Linux's /proc/self/clear_refs; skipped")

    command: Optional[CommandTimes] = None
    if not args.no_command:
        print(f"timing glyphward verify against sha256sum, {args.rounds} rounds ...", file=sys.stderr)
        command = time_command(credential, args.copies, args.rounds, (1, 2))

    for key, font_times in times.items():
        for line in font_table(labels[key], font_times):
            print(line)
    if memory is not None:
        for line in memory_table(labels, memory):
            print(line)
    if command is not None:
        for line in command_table(command):
            print(line)

    checks = check_ratios(labels, times) + check_small(labels, times)
    if command is not None:
        checks += check_command(command)
    if memory is not None:
        checks += check_memory(labels, memory)
    print("")
    print(f"Targets ({cpu_name()}); ratios are medians of per-pair ratios, each call timed back to back with its")
    print("reference, alternating which goes first:")
    for check in checks:
        print(f"  {'ok  ' if check.passed else 'MISS'} {check.text}")
    missed = [check for check in checks if not check.passed]
    print(f"{len(checks) - len(missed)} of {len(checks)} targets met; load average {load_average()} at the end, "
          f"{load_at_start} at the start; {time.perf_counter() - started:.0f} s")
    if not checks:
        print("no target measured")
    for check in missed:
        print(f"MISSED: {check.text}")
    if args.profile and missed:
        print("", "Where the time or the memory of each missed call goes:", sep="\n")
        for line in profile_misses(missed, fonts, credential, args.cache):
            print(line)
    return 1 if args.check and (missed or not checks) else 0


if __name__ == "__main__":
    sys.exit(main())
