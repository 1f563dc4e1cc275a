"""The module object, its functions' metadata, initialisation and the
exception classes that calls raise."""
import importlib
import inspect
import os
import subprocess
import sys
import textwrap
import threading
from pathlib import Path

import pytest

import glyphward
from fontbuilder import c2pa_table, simple_font

NAMES = [
    "embed_manifest_store",
    "embed_remote",
    "read_manifest_store",
    "read_manifest_uri_str",
    "remove_manifest_table",
    "is_compliant",
    "reserve_manifest_placeholder",
    "data_hash_ranges",
    "fill_manifest_store",
]

# name -> (text signature, docstring)
DOCUMENTATION = {
    "embed_manifest_store": (
        "(font, manifest_store)",
        "Embed a signed Manifest Store into a font's `C2PA` table.",
    ),
    "embed_remote": (
        "(font, uri)",
        "Embed a remote manifest URI into a font's `C2PA` table.",
    ),
    "read_manifest_store": (
        "(font)",
        "Read the embedded Manifest Store from a font.",
    ),
    "read_manifest_uri_str": (
        "(font)",
        "Read the active manifest URI from a font, if present.",
    ),
    "remove_manifest_table": (
        "(font)",
        "Remove the `C2PA` table from a font.",
    ),
    "is_compliant": (
        "(font)",
        "Whether the font has a well-formed `C2PA` table with intact checksums.",
    ),
    "reserve_manifest_placeholder": (
        "(font, reserve_size, uri=None)",
        "Reserve `reserve_size` bytes for a manifest, returning the font with a\nzero-filled placeholder.",
    ),
    "data_hash_ranges": (
        "(font)",
        "The `c2pa.hash.data` exclusion ranges for a reserved font, as\n`[(start, length), ...]`.",
    ),
    "fill_manifest_store": (
        "(reserved_font, signed_manifest)",
        "Fill a reserved font's Manifest Store with signed bytes (<= reserved size).",
    ),
}

IMPORT_SYSTEM_ATTRIBUTES = {"__name__", "__doc__", "__file__", "__loader__", "__spec__", "__package__"}

NOT_SFNT = "not a supported SFNT (TrueType/OpenType) font"


def run_python(code: str) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter that imports the same glyphward."""
    paths = [
        str(Path(glyphward.__file__).resolve().parent),
        str(Path(__file__).resolve().parent),
    ]
    if os.environ.get("PYTHONPATH"):
        paths.append(os.environ["PYTHONPATH"])
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths))
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )


def test_all_lists_the_nine_functions_in_registration_order():
    assert type(glyphward.__all__) is list
    assert glyphward.__all__ == NAMES
    assert all(type(name) is str for name in glyphward.__all__)


def test_module_name_and_empty_docstring():
    assert glyphward.__name__ == "glyphward"
    assert glyphward.__doc__ == ""


def test_module_has_no_attributes_beyond_functions_and_import_metadata():
    assert set(vars(glyphward)) == set(NAMES) | {"__all__"} | IMPORT_SYSTEM_ATTRIBUTES


def test_documentation_table_covers_every_function():
    assert set(DOCUMENTATION) == set(NAMES)


@pytest.mark.parametrize("name", NAMES)
def test_function_metadata(name):
    function = getattr(glyphward, name)
    text_signature, doc = DOCUMENTATION[name]
    assert type(function).__name__ == "builtin_function_or_method"
    assert function.__name__ == name
    assert function.__qualname__ == name
    assert function.__doc__ == doc
    assert function.__text_signature__ == text_signature
    assert function.__module__ == "glyphward"
    assert function.__self__ is glyphward


@pytest.mark.parametrize("name", NAMES)
def test_inspect_signature_reports_parameters_and_defaults(name):
    signature = inspect.signature(getattr(glyphward, name))
    text_signature, _ = DOCUMENTATION[name]
    assert str(signature) == text_signature
    for parameter in signature.parameters.values():
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        if name == "reserve_manifest_placeholder" and parameter.name == "uri":
            assert parameter.default is None
        else:
            assert parameter.default is inspect.Parameter.empty


def test_reserve_signature_in_detail():
    parameters = inspect.signature(glyphward.reserve_manifest_placeholder).parameters
    assert list(parameters) == ["font", "reserve_size", "uri"]
    assert parameters["uri"].default is None


def test_data_hash_ranges_doc_has_one_line_feed_after_as():
    doc = glyphward.data_hash_ranges.__doc__
    assert doc.count("\n") == 1
    assert doc.split("\n")[0].endswith(" as")


def test_second_initialisation_raises_import_error_and_first_module_keeps_working():
    result = run_python(
        """
        import sys
        import glyphward as first
        from fontbuilder import c2pa_table, simple_font

        del sys.modules["glyphward"]
        for attempt in range(2):
            try:
                import glyphward
            except ImportError as error:
                print("ImportError", type(error) is ImportError, bool(str(error)))
            else:
                print("imported again")
        print("in sys.modules", "glyphward" in sys.modules)

        font = simple_font([("C2PA", c2pa_table(uri=b"https://a/b", store=b"store"))])
        print(first.read_manifest_store(font))
        print(first.read_manifest_uri_str(font))
        print(first.read_manifest_store.__self__ is first)
        embedded = first.embed_remote(font, "u")
        print(first.read_manifest_uri_str(embedded), first.is_compliant(embedded))
        try:
            first.read_manifest_store(b"")
        except ValueError as error:
            print(error.args)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "ImportError True True",
        "ImportError True True",
        "in sys.modules False",
        "b'store'",
        "https://a/b",
        "True",
        "u True",
        f"('{NOT_SFNT}',)",
    ]


def _panic(font: bytes, size: int = 2**63) -> BaseException:
    with pytest.raises(BaseException) as info:
        glyphward.reserve_manifest_placeholder(font, size)
    return info.value


@pytest.mark.parametrize("size", [2**63, 2**63 + 1, 2**64 - 1])
def test_capacity_overflow_raises_panic_exception(small_font, capfd, size):
    error = _panic(small_font, size)
    assert not isinstance(error, Exception)
    assert isinstance(error, BaseException)
    cls = type(error)
    assert cls.__name__ == "PanicException"
    assert cls.__qualname__ == "PanicException"
    assert cls.__bases__ == (BaseException,)
    assert error.args == ("capacity overflow",)
    assert str(error) == "capacity overflow"
    assert "capacity overflow" in capfd.readouterr().err


def test_panic_passes_through_except_exception(small_font, capfd):
    reached_handler = False
    with pytest.raises(BaseException) as info:
        try:
            glyphward.reserve_manifest_placeholder(small_font, 2**63)
        except Exception:  # must not catch it
            reached_handler = True
    assert not reached_handler
    assert type(info.value).__name__ == "PanicException"
    capfd.readouterr()


def test_panic_exception_class_is_made_once_and_not_importable(small_font, capfd):
    first = type(_panic(small_font))
    second = type(_panic(small_font))
    assert first is second
    assert not hasattr(glyphward, "PanicException")
    assert "PanicException" not in vars(glyphward)
    assert first.__module__ != "glyphward"
    with pytest.raises(ImportError):
        importlib.import_module(first.__module__)
    assert first.__doc__ and "BaseException" in first.__doc__
    capfd.readouterr()


def test_module_keeps_working_after_a_panic(small_font, capfd):
    _panic(small_font)
    capfd.readouterr()
    reserved = glyphward.reserve_manifest_placeholder(small_font, 16)
    assert glyphward.read_manifest_store(reserved) == bytes(16)


@pytest.mark.parametrize(
    "font, message",
    [
        (b"", NOT_SFNT),
        (b"\x00\x01\x00\x00" + bytes(7), NOT_SFNT),
        (b"ttcf" + bytes(60), "font collections (ttcf) are not supported"),
        (b"wOF2" + bytes(60), "WOFF/WOFF2 fonts are not supported; decompress to SFNT first"),
        (b"\x00\x01\x00\x00\x00\x02" + bytes(6), "invalid font: table directory truncated"),
    ],
)
def test_malformed_font_is_reported_before_capacity_overflow(font, message, capfd):
    with pytest.raises(ValueError) as info:
        glyphward.reserve_manifest_placeholder(font, 2**63)
    assert type(info.value) is ValueError
    assert info.value.args == (message,)
    assert "capacity overflow" not in capfd.readouterr().err


CALLS_ON_EMPTY_FONT = [
    ("embed_manifest_store", (b"", b"x")),
    ("embed_remote", (b"", "u")),
    ("read_manifest_store", (b"",)),
    ("read_manifest_uri_str", (b"",)),
    ("remove_manifest_table", (b"",)),
    ("is_compliant", (b"",)),
    ("reserve_manifest_placeholder", (b"", 8)),
    ("data_hash_ranges", (b"",)),
    ("fill_manifest_store", (b"", b"x")),
]


@pytest.mark.parametrize("name, args", CALLS_ON_EMPTY_FONT, ids=[c[0] for c in CALLS_ON_EMPTY_FONT])
def test_library_errors_are_plain_value_errors(name, args):
    with pytest.raises(ValueError) as info:
        getattr(glyphward, name)(*args)
    error = info.value
    assert type(error) is ValueError
    assert error.args == (NOT_SFNT,)
    assert str(error) == NOT_SFNT
    assert error.__cause__ is None
    assert error.__context__ is None


def test_value_error_message_is_a_str_not_bytes():
    with pytest.raises(ValueError) as info:
        glyphward.read_manifest_store(simple_font())
    assert type(info.value.args[0]) is str
    assert info.value.args == ("no C2PA table found in font",)


def test_result_types(small_font):
    reserved = glyphward.reserve_manifest_placeholder(small_font, 8)
    assert type(reserved) is bytes
    ranges = glyphward.data_hash_ranges(reserved)
    assert type(ranges) is list
    assert ranges and all(type(r) is tuple and len(r) == 2 for r in ranges)
    assert all(type(v) is int and v >= 0 for r in ranges for v in r)
    filled = glyphward.fill_manifest_store(reserved, b"signed")
    assert glyphward.is_compliant(filled) is True
    assert glyphward.is_compliant(small_font) is False
    assert type(glyphward.read_manifest_store(filled)) is bytes
    assert glyphward.read_manifest_uri_str(filled) is None
    with_uri = glyphward.embed_remote(small_font, "https://example.com/m")
    assert type(glyphward.read_manifest_uri_str(with_uri)) is str
    assert type(glyphward.remove_manifest_table(with_uri)) is bytes


def test_calls_from_several_threads_all_get_their_own_results():
    fonts = [simple_font([("C2PA", c2pa_table(store=bytes([i]) * (i + 1)))]) for i in range(4)]
    results = [None] * len(fonts)
    errors = []
    barrier = threading.Barrier(len(fonts))

    def work(index):
        try:
            barrier.wait()
            seen = []
            for round_ in range(50):
                font = glyphward.embed_remote(fonts[index], f"thread-{index}-{round_}")
                seen.append((glyphward.read_manifest_uri_str(font), glyphward.read_manifest_store(fonts[index])))
            results[index] = seen
        except BaseException as error:  # reported below
            errors.append(error)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(fonts))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors
    for index, seen in enumerate(results):
        assert seen == [(f"thread-{index}-{r}", bytes([index]) * (index + 1)) for r in range(50)]
