"""Eight threads calling all nine functions at once get exactly the results
of a single-threaded run.

Each thread works on a font of its own (different tables, sizes, C2PA
states) and runs through every function, on success and error paths, many
times over. The switch interval is made tiny so that the interpreter hands
the lock between threads as often as it can; every call must still return
exactly what it returned when run alone.
"""
import sys
import threading

import glyphward
from fontbuilder import OTTO, TRUETYPE, build_font, c2pa_table, head_table

THREADS = 8
ROUNDS = 60


def make_font(n):
    tables = [
        ("head", head_table(adjustment=n, length=54 if n % 3 else 12)),
        ("glyf", bytes((i * (n + 3)) % 256 for i in range(200 + 97 * n))),
        ("name", f"thread font {n}".encode() * (n + 1)),
    ]
    if n % 2:
        tables.append(("cmap", bytes(range(n * 10))))
    if n % 4 == 1:
        tables.append(("C2PA", c2pa_table(uri=f"https://example.com/{n}".encode(), store=bytes([n]) * (10 + n))))
    if n % 4 == 2:
        tables.append(("C2PA", c2pa_table(uri=f"urn:{n}".encode())))
    return build_font(tables, version=OTTO if n % 2 else TRUETYPE)


def calls_for(n):
    """(function, args) covering the nine functions, successes and errors."""
    font = make_font(n)
    reserved = glyphward.reserve_manifest_placeholder(font, 64 + n, f"https://example.com/r{n}")
    embedded = glyphward.embed_manifest_store(font, bytes(range(n, n + 30)))
    return [
        (glyphward.embed_manifest_store, (font, bytes([n]) * (5 + n))),
        (glyphward.embed_manifest_store, (font, list(range(n + 1)))),
        (glyphward.embed_remote, (font, f"https://example.com/{'é' * n}")),
        (glyphward.read_manifest_store, (embedded,)),
        (glyphward.read_manifest_store, (font,)),  # an error for most fonts
        (glyphward.read_manifest_uri_str, (font,)),
        (glyphward.read_manifest_uri_str, (reserved,)),
        (glyphward.remove_manifest_table, (embedded,)),
        (glyphward.remove_manifest_table, (font[: len(font) - 3],)),  # truncated
        (glyphward.is_compliant, (embedded,)),
        (glyphward.is_compliant, (font,)),
        (glyphward.reserve_manifest_placeholder, (font, 10 + n)),
        (glyphward.reserve_manifest_placeholder, (font, 0)),
        (glyphward.data_hash_ranges, (reserved,)),
        (glyphward.data_hash_ranges, (font,)),
        (glyphward.fill_manifest_store, (reserved, bytes([0xA0 + n]) * (20 + n))),
        (glyphward.fill_manifest_store, (reserved, bytes(65 + n))),  # one byte too many
        (glyphward.embed_manifest_store, (font, [n, 256])),  # OverflowError
        (glyphward.embed_remote, (bytearray(font), "u")),  # TypeError
    ]


def outcome(function, args):
    try:
        return ("ok", function(*args))
    except Exception as exc:  # the expected errors are all Exceptions
        return (type(exc), exc.args)


def test_eight_threads_get_the_single_threaded_results():
    scripts = [calls_for(n) for n in range(THREADS)]
    expected = [[outcome(f, a) for f, a in script] for script in scripts]
    # The scripts reach every function and both kinds of outcome.
    functions = {f.__name__ for script in scripts for f, _ in script}
    assert len(functions) == 9
    assert {kind for results in expected for kind, _ in results} >= {"ok", ValueError, TypeError, OverflowError}

    start = threading.Barrier(THREADS)
    mismatches = []
    errors = []

    def worker(index):
        try:
            start.wait()
            for round_ in range(ROUNDS):
                for call, ((function, args), want) in enumerate(zip(scripts[index], expected[index])):
                    got = outcome(function, args)
                    if got != want:
                        mismatches.append((index, round_, call, function.__name__))
        except BaseException as exc:  # noqa: B036 - reported below
            errors.append((index, exc))

    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(old_interval)
    assert errors == []
    assert mismatches == []
