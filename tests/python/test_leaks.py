"""Calling the functions many times leaks neither memory nor references.

Every path through the call protocol is run a few thousand times: success,
binding errors, conversion errors, library errors (ValueError) and the
internal failure (PanicException). Afterwards

- the native heap is where it was: the bytes in use according to glibc's
  mallinfo2, or to the AddressSanitizer runtime when it is loaded (see
  scripts/test-sanitizers.sh), grow by less than a byte per call in at
  least one of two rounds of calls (a leak grows it in both);
- the Python heap is where it was: sys.getallocatedblocks() grows by less
  than one block per four calls (a leaked object per call shows as
  a block per call);
- the resident set size has not grown by more than a leak of a fraction of
  the font per call would make it grow (skipped under the sanitizers,
  whose quarantine holds freed memory);
- the reference counts of every argument object are unchanged, and those of
  None, True, False and the small ints, which the whole interpreter shares,
  move by far less than one per call.

The font is a few kilobytes, so a leaked copy of it, of a written font or of
a result shows at once; the thresholds still catch a leak of a small error
message per call.
"""
import ctypes
import gc
import os
import sys

import pytest

import glyphward
from fontbuilder import build_font, c2pa_table, head_table

CALLS = 3000
WARM_UP = 300

FONT = build_font(
    [
        ("head", head_table()),
        ("glyf", bytes(range(256)) * 12),
        ("cmap", bytes(500)),
        ("name", b"leak test font " * 20),
    ]
)
EMBEDDED = glyphward.embed_manifest_store(FONT, b"\x01" * 700)
REMOTE = glyphward.embed_remote(FONT, "https://example.com/manifest")
RESERVED = glyphward.reserve_manifest_placeholder(FONT, 1024, "https://example.com/m")
TWO_C2PA = build_font([("head", head_table()), ("C2PA", c2pa_table(store=b"a")), ("C2PA", c2pa_table(uri=b"b"))])
# A record that runs past the end: the error message names the tag.
TRUNCATED = FONT[: len(FONT) - 100]


class FailingSequence:
    """A sequence whose iteration fails after two items."""

    def __len__(self):
        return 5

    def __getitem__(self, index):
        if index >= 2:
            raise RuntimeError("iteration failed")
        return index


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def _panic_type():
    try:
        glyphward.reserve_manifest_placeholder(FONT, 2**63)
    except BaseException as exc:  # noqa: B036 - PanicException derives from BaseException
        return type(exc)
    raise AssertionError("no PanicException")


PanicException = _panic_type()

# (id, function, positional args, keyword args, expected exception or None)
PATHS = [
    # Success.
    ("embed_store_bytes", glyphward.embed_manifest_store, (FONT, b"\x02" * 900), {}, None),
    ("embed_store_list", glyphward.embed_manifest_store, (FONT, list(range(256)) * 2), {}, None),
    ("embed_store_bytearray", glyphward.embed_manifest_store, (FONT, bytearray(b"x" * 600)), {}, None),
    ("embed_store_index_items", glyphward.embed_manifest_store, (FONT, [Index(7), True, 255]), {}, None),
    ("embed_remote", glyphward.embed_remote, (FONT, "https://example.com/" + "é" * 300), {}, None),
    ("embed_remote_keywords", glyphward.embed_remote, (), {"uri": "u" * 50, "font": FONT}, None),
    ("read_store", glyphward.read_manifest_store, (EMBEDDED,), {}, None),
    ("read_uri", glyphward.read_manifest_uri_str, (REMOTE,), {}, None),
    ("read_uri_none", glyphward.read_manifest_uri_str, (EMBEDDED,), {}, None),
    ("remove", glyphward.remove_manifest_table, (EMBEDDED,), {}, None),
    ("is_compliant_true", glyphward.is_compliant, (EMBEDDED,), {}, None),
    ("is_compliant_false", glyphward.is_compliant, (FONT,), {}, None),
    ("reserve", glyphward.reserve_manifest_placeholder, (FONT, 2000, "https://example.com/m"), {}, None),
    ("reserve_index_size", glyphward.reserve_manifest_placeholder, (FONT, Index(100)), {"uri": None}, None),
    ("ranges", glyphward.data_hash_ranges, (RESERVED,), {}, None),
    ("fill", glyphward.fill_manifest_store, (RESERVED, b"\x03" * 1000), {}, None),
    # Binding errors.
    ("too_many_positional", glyphward.read_manifest_store, (FONT, FONT), {}, TypeError),
    ("too_many_with_optional", glyphward.reserve_manifest_placeholder, (FONT, 1, None, 2), {}, TypeError),
    ("missing_two", glyphward.embed_manifest_store, (), {}, TypeError),
    ("missing_after_keyword", glyphward.reserve_manifest_placeholder, (), {"reserve_size": 1}, TypeError),
    ("unexpected_keyword", glyphward.read_manifest_store, (), {"fonts": FONT}, TypeError),
    ("multiple_values", glyphward.read_manifest_store, (FONT,), {"font": FONT}, TypeError),
    # Conversion errors.
    ("font_bytearray", glyphward.read_manifest_store, (bytearray(FONT),), {}, TypeError),
    ("font_none", glyphward.embed_manifest_store, (None, []), {}, TypeError),
    ("store_str", glyphward.embed_manifest_store, (FONT, "abc"), {}, TypeError),
    ("store_set", glyphward.embed_manifest_store, (FONT, {1, 2}), {}, TypeError),
    ("store_item_256", glyphward.embed_manifest_store, (FONT, [1, 2, 256]), {}, OverflowError),
    ("store_item_float", glyphward.embed_manifest_store, (FONT, [1, 1.0]), {}, TypeError),
    ("store_iteration_fails", glyphward.embed_manifest_store, (FONT, FailingSequence()), {}, RuntimeError),
    ("uri_none", glyphward.embed_remote, (FONT, None), {}, TypeError),
    ("uri_surrogate", glyphward.embed_remote, (FONT, "ab\udc80"), {}, UnicodeEncodeError),
    ("reserve_size_negative", glyphward.reserve_manifest_placeholder, (FONT, -1), {}, OverflowError),
    ("reserve_size_huge", glyphward.reserve_manifest_placeholder, (FONT, 2**64), {}, OverflowError),
    ("reserve_size_str", glyphward.reserve_manifest_placeholder, (FONT, "5"), {}, TypeError),
    ("reserve_uri_int", glyphward.reserve_manifest_placeholder, (FONT, 8, 5), {}, TypeError),
    ("signed_manifest_bytearray", glyphward.fill_manifest_store, (RESERVED, bytearray(b"x")), {}, TypeError),
    # Library errors.
    ("read_store_empty_input", glyphward.read_manifest_store, (b"",), {}, ValueError),
    ("read_store_no_c2pa", glyphward.read_manifest_store, (FONT,), {}, ValueError),
    ("read_store_uri_only", glyphward.read_manifest_store, (REMOTE,), {}, ValueError),
    ("read_uri_truncated", glyphward.read_manifest_uri_str, (TRUNCATED,), {}, ValueError),
    ("embed_truncated", glyphward.embed_manifest_store, (TRUNCATED, b"x" * 100), {}, ValueError),
    ("embed_remote_woff", glyphward.embed_remote, (b"wOFF" + FONT[4:], "u"), {}, ValueError),
    ("remove_collection", glyphward.remove_manifest_table, (b"ttcf" + FONT[4:],), {}, ValueError),
    ("is_compliant_two_tables", glyphward.is_compliant, (TWO_C2PA,), {}, ValueError),
    ("reserve_zero", glyphward.reserve_manifest_placeholder, (FONT, 0), {}, ValueError),
    ("reserve_truncated", glyphward.reserve_manifest_placeholder, (TRUNCATED, 10, "u"), {}, ValueError),
    ("ranges_no_c2pa", glyphward.data_hash_ranges, (FONT,), {}, ValueError),
    ("ranges_uri_only", glyphward.data_hash_ranges, (REMOTE,), {}, ValueError),
    ("fill_too_long", glyphward.fill_manifest_store, (RESERVED, b"x" * 1025), {}, ValueError),
    ("fill_no_store", glyphward.fill_manifest_store, (REMOTE, b"x"), {}, ValueError),
    # Internal failure.
    ("reserve_capacity_overflow", glyphward.reserve_manifest_placeholder, (FONT, 2**63), {}, PanicException),
]


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")
    ]


_PROCESS = ctypes.CDLL(None)
_SANITIZER_ALLOCATED = getattr(_PROCESS, "__sanitizer_get_current_allocated_bytes", None)
_MALLINFO2 = getattr(_PROCESS, "mallinfo2", None)
if _SANITIZER_ALLOCATED is not None:
    _SANITIZER_ALLOCATED.restype = ctypes.c_size_t
if _MALLINFO2 is not None:
    _MALLINFO2.restype = _MallInfo2


def native_bytes_in_use():
    """Bytes the native allocator has handed out and not got back."""
    if _SANITIZER_ALLOCATED is not None:
        return _SANITIZER_ALLOCATED()
    if _MALLINFO2 is not None:
        info = _MALLINFO2()
        return info.uordblks + info.hblkhd
    pytest.skip("no way to read the allocator's bytes in use on this platform")


def resident_bytes():
    try:
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except OSError:
        return None


def run(function, args, kwargs, expected, times):
    for _ in range(times):
        try:
            function(*args, **kwargs)
        except BaseException as exc:  # noqa: B036 - PanicException derives from BaseException
            if expected is None or type(exc) is not expected:
                raise
        else:
            assert expected is None, f"no {expected.__name__} raised"


def is_shared(value):
    """None, True, False and the cached small ints are shared with the whole
    interpreter: their counts move a little with unrelated work, but a
    reference leaked per call would still move them by thousands."""
    return value is None or type(value) is bool or (type(value) is int and -5 <= value <= 256)


def tracked_objects(args, kwargs):
    """The argument objects (and the items of list arguments), and the
    shared singletons, which results and errors hand out."""
    objects = list(args) + list(kwargs.values())
    for value in list(args) + list(kwargs.values()):
        if isinstance(value, (list, tuple)):
            objects.extend(value)
    unique = {id(o): o for o in objects if not is_shared(o)}
    shared = {id(o): o for o in objects + [None, True, False] if is_shared(o)}
    return list(unique.values()), list(shared.values())


def growth_over(function, args, kwargs, expected):
    """What CALLS calls add to the native heap and to the Python heap."""
    gc.collect()
    blocks = sys.getallocatedblocks()
    native = native_bytes_in_use()
    run(function, args, kwargs, expected, CALLS)
    gc.collect()
    return native_bytes_in_use() - native, sys.getallocatedblocks() - blocks


@pytest.mark.parametrize("path", PATHS, ids=[p[0] for p in PATHS])
def test_repeated_calls_leak_nothing(path):
    _, function, args, kwargs, expected = path
    objects, shared = tracked_objects(args, kwargs)

    run(function, args, kwargs, expected, WARM_UP)
    gc.collect()
    refcounts = [sys.getrefcount(o) for o in objects]
    shared_refcounts = [sys.getrefcount(o) for o in shared]
    resident = resident_bytes()

    # Two rounds: a leak grows the heap in both, while a cache of the
    # interpreter that fills up on the way grows it in one at most.
    first, second = growth_over(function, args, kwargs, expected), growth_over(function, args, kwargs, expected)
    native_growth = min(first[0], second[0])
    block_growth = min(first[1], second[1])
    assert [sys.getrefcount(o) for o in objects] == refcounts, "argument reference counts changed"
    for before, value in zip(shared_refcounts, shared):
        assert abs(sys.getrefcount(value) - before) < CALLS // 10, f"reference count of {value!r} moved"
    assert native_growth < CALLS, f"native heap grew by {native_growth} bytes over {CALLS} calls"
    assert block_growth < CALLS // 4, f"Python heap grew by {block_growth} blocks over {CALLS} calls"
    if resident is not None and _SANITIZER_ALLOCATED is None:
        resident_growth = resident_bytes() - resident
        assert resident_growth < 2 * CALLS * len(FONT) // 8, f"resident set grew by {resident_growth} bytes"


def test_a_deliberate_leak_would_be_seen():
    """The measures above notice a leak of one small object per call."""
    kept = []
    blocks = sys.getallocatedblocks()
    native = native_bytes_in_use()
    for i in range(CALLS):
        kept.append(bytes(600 + i % 7))  # large enough for the native allocator
    assert native_bytes_in_use() - native >= CALLS * 600
    assert sys.getallocatedblocks() - blocks >= CALLS or sys.getallocatedblocks() == 0
    del kept
