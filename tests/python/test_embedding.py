"""Embedding a Manifest Store or a remote URI, and removing the C2PA table:
synthetic edge cases, round trips on real fonts, unsupported containers and
the size limits of the C2PA table."""
import io
import struct

import pytest

import glyphward
from limited import run_limited
from fontbuilder import (
    Record,
    assert_well_written,
    build_font,
    c2pa_header,
    c2pa_table,
    head_table,
    raw_font,
    simple_font,
    tables_in_order,
)

NO_STORE = "invalid C2PA table: C2PA table has no embedded manifest store"
EMPTY_TABLE = bytes.fromhex("00000001") + bytes(16)


def store_table(store):
    return struct.pack(">HHIHHII", 0, 1, 0, 0, 0, 20, len(store)) + store


def uri_table(uri):
    return struct.pack(">HHIHHII", 0, 1, 20, len(uri), 0, 0, 0) + uri


def read_error(function, font):
    with pytest.raises(ValueError) as caught:
        function(font)
    assert type(caught.value) is ValueError
    return caught.value.args


# --- Synthetic fonts -------------------------------------------------------


@pytest.mark.parametrize("store", [b"\x00", b"abc", bytes(range(256)) * 5 + b"xy"], ids=["1", "3", "1282"])
def test_embedded_store_table_layout(small_font, store):
    font = glyphward.embed_manifest_store(small_font, store)
    assert assert_well_written(small_font, font) == [store_table(store)]
    assert glyphward.read_manifest_store(font) == store
    assert glyphward.read_manifest_uri_str(font) is None


@pytest.mark.parametrize("uri", ["u", "https://example.com/m.c2pa", "é☃" * 100])
def test_embedded_uri_table_layout(small_font, uri):
    font = glyphward.embed_remote(small_font, uri)
    assert assert_well_written(small_font, font) == [uri_table(uri.encode())]
    assert glyphward.read_manifest_uri_str(font) == uri
    assert read_error(glyphward.read_manifest_store, font) == (NO_STORE,)


@pytest.mark.parametrize(
    "embed", [lambda f: glyphward.embed_manifest_store(f, b""), lambda f: glyphward.embed_remote(f, "")],
    ids=["empty store", "empty uri"],
)
def test_empty_part_gives_the_bare_header(small_font, embed):
    font = embed(small_font)
    assert assert_well_written(small_font, font) == [EMPTY_TABLE]
    assert read_error(glyphward.read_manifest_store, font) == (NO_STORE,)
    assert glyphward.read_manifest_uri_str(font) is None


OLD_TABLES = {
    "uri and store": c2pa_table(b"https://old.example/", b"old store"),
    "store": c2pa_table(store=b"old store"),
    "uri": c2pa_table(uri=b"https://old.example/"),
    "3 bytes": b"\x00\x01\x02",
    "empty": b"",
    "bad utf-8": c2pa_header(20, 2, 0, 0) + b"\xc0\xaf",
    "store past end": c2pa_header(0, 0, 20, 100),
    "version 9.9": c2pa_table(b"x", b"y", major=9, minor=9),
}


@pytest.mark.parametrize("old", list(OLD_TABLES.values()), ids=list(OLD_TABLES))
def test_embedding_replaces_any_old_table(old):
    source = simple_font([("C2PA", old)])
    with_store = glyphward.embed_manifest_store(source, b"new store")
    assert assert_well_written(source, with_store) == [store_table(b"new store")]
    assert glyphward.read_manifest_uri_str(with_store) is None

    with_uri = glyphward.embed_remote(source, "https://new.example/")
    assert assert_well_written(source, with_uri) == [uri_table(b"https://new.example/")]
    assert read_error(glyphward.read_manifest_store, with_uri) == (NO_STORE,)

    removed = glyphward.remove_manifest_table(source)
    assert assert_well_written(source, removed) == []
    assert removed == simple_font()


@pytest.mark.parametrize("count", [2, 3])
def test_several_old_tables(count):
    extra = [("C2PA", c2pa_table(store=b"store %d" % i)) for i in range(count)]
    source = build_font(list(extra[:1]) + [("head", head_table()), ("name", b"abc")] + list(extra[1:]), sort=False)
    font = glyphward.embed_manifest_store(source, b"only")
    assert assert_well_written(source, font) == [store_table(b"only")]
    removed = glyphward.remove_manifest_table(source)
    assert assert_well_written(source, removed) == []
    assert glyphward.remove_manifest_table(font) == removed


def test_removal_without_c2pa_table(small_font):
    removed = glyphward.remove_manifest_table(small_font)
    assert assert_well_written(small_font, removed) == []
    assert removed == small_font  # already in the writer's layout


def test_embedding_keeps_the_input_and_is_deterministic(small_font):
    pristine = bytes(bytearray(small_font))
    first = glyphward.embed_manifest_store(small_font, b"abc")
    assert assert_well_written(small_font, first) == [store_table(b"abc")]
    assert glyphward.embed_manifest_store(small_font, bytearray(b"abc")) == first
    assert glyphward.embed_manifest_store(first, [97, 98, 99]) == first
    assert small_font == pristine


def test_c2pa_tag_is_matched_exactly():
    lookalikes = [("c2pa", b"lower"), ("C2PA"[::-1], b"reversed"), (b"C2P ", b"space")]
    source = simple_font(lookalikes)
    font = glyphward.embed_manifest_store(source, b"s")
    assert assert_well_written(source, font) == [store_table(b"s")]
    assert glyphward.remove_manifest_table(source) == source


# --- Real fonts ------------------------------------------------------------

REAL_FONTS = ["dejavu", "cff_font", "noto_emoji", "tiny_truetype"]


@pytest.fixture(scope="module")
def tiny_truetype():
    return make_tiny_font("Tiny")


def make_tiny_font(family):
    """A complete two-glyph TrueType font made with fontTools."""
    from fontTools.fontBuilder import FontBuilder
    from fontTools.pens.ttGlyphPen import TTGlyphPen

    builder = FontBuilder(1000, isTTF=True)
    builder.setupGlyphOrder([".notdef", "A"])
    builder.setupCharacterMap({0x41: "A"})
    pen = TTGlyphPen(None)
    pen.moveTo((0, 0))
    pen.lineTo((0, 700))
    pen.lineTo((500, 0))
    pen.closePath()
    glyph = pen.glyph()
    builder.setupGlyf({".notdef": glyph, "A": glyph})
    builder.setupHorizontalMetrics({".notdef": (500, 0), "A": (500, 0)})
    builder.setupHorizontalHeader(ascent=800, descent=-200)
    builder.setupNameTable({"familyName": family, "styleName": "Regular"})
    builder.setupOS2()
    builder.setupPost()
    out = io.BytesIO()
    builder.save(out)
    return out.getvalue()


@pytest.mark.parametrize("name", REAL_FONTS)
def test_real_font_store_round_trip(request, name):
    original = request.getfixturevalue(name)
    store = bytes((i * 31 + 7) % 256 for i in range(4099))
    assert glyphward.is_compliant(original) is False

    embedded = glyphward.embed_manifest_store(original, store)
    assert assert_well_written(original, embedded) == [store_table(store)]
    assert glyphward.read_manifest_store(embedded) == store
    assert glyphward.read_manifest_uri_str(embedded) is None
    assert glyphward.is_compliant(embedded) is True

    removed = glyphward.remove_manifest_table(embedded)
    assert assert_well_written(original, removed) == []
    assert glyphward.is_compliant(removed) is False
    assert removed == glyphward.remove_manifest_table(original)


@pytest.mark.parametrize("name", ["dejavu", "cff_font", "tiny_truetype"])
def test_real_font_uri_round_trip(request, name):
    original = request.getfixturevalue(name)
    uri = "https://example.com/manifests/" + "é" * 40
    embedded = glyphward.embed_remote(original, uri)
    assert assert_well_written(original, embedded) == [uri_table(uri.encode())]
    assert glyphward.read_manifest_uri_str(embedded) == uri
    assert glyphward.is_compliant(embedded) is True

    # Replacing the URI with a store drops the URI.
    restored = glyphward.embed_manifest_store(embedded, b"signed")
    assert assert_well_written(original, restored) == [store_table(b"signed")]
    assert glyphward.read_manifest_uri_str(restored) is None

    removed = glyphward.remove_manifest_table(restored)
    assert assert_well_written(original, removed) == []
    assert glyphward.is_compliant(removed) is False


# --- Unsupported containers ------------------------------------------------

COLLECTION = "font collections (ttcf) are not supported"
WOFF = "WOFF/WOFF2 fonts are not supported; decompress to SFNT first"
NOT_SFNT = "not a supported SFNT (TrueType/OpenType) font"

OPERATIONS = {
    "embed_manifest_store": lambda f: glyphward.embed_manifest_store(f, b"store"),
    "embed_remote": lambda f: glyphward.embed_remote(f, "https://example.com/"),
    "remove_manifest_table": glyphward.remove_manifest_table,
    "read_manifest_store": glyphward.read_manifest_store,
    "read_manifest_uri_str": glyphward.read_manifest_uri_str,
    "is_compliant": glyphward.is_compliant,
    "reserve_manifest_placeholder": lambda f: glyphward.reserve_manifest_placeholder(f, 16),
}


def built_collection():
    from fontTools.ttLib import TTCollection, TTFont

    collection = TTCollection()
    collection.fonts = [TTFont(io.BytesIO(make_tiny_font(name))) for name in ("One", "Two")]
    out = io.BytesIO()
    collection.save(out)
    return out.getvalue()


def web_font(flavor):
    from fontTools.ttLib import TTFont

    font = TTFont(io.BytesIO(make_tiny_font("Web")))
    font.flavor = flavor
    out = io.BytesIO()
    font.save(out)
    return out.getvalue()


@pytest.fixture(scope="module")
def containers(noto_cjk_ttc):
    built = {"built ttc": built_collection(), "woff": web_font("woff"), "woff2": web_font("woff2")}
    assert [data[:4] for data in built.values()] == [b"ttcf", b"wOFF", b"wOF2"]
    return {
        "noto cjk ttc": (noto_cjk_ttc, COLLECTION),
        "built ttc": (built["built ttc"], COLLECTION),
        "woff": (built["woff"], WOFF),
        "woff2": (built["woff2"], WOFF),
        "5 bytes": (b"\x00\x01\x00\x00\x00", NOT_SFNT),
        "version 2.0": (b"\x00\x02\x00\x00" + simple_font()[4:], NOT_SFNT),
    }


@pytest.mark.parametrize("kind", ["noto cjk ttc", "built ttc", "woff", "woff2", "5 bytes", "version 2.0"])
@pytest.mark.parametrize("operation", list(OPERATIONS))
def test_unsupported_containers(containers, kind, operation):
    data, message = containers[kind]
    assert read_error(OPERATIONS[operation], data) == (message,)


@pytest.mark.parametrize(
    "font, message",
    [
        (raw_font([Record("head", 12, 0)], num_tables=2), "invalid font: table directory truncated"),
        (raw_font([Record("glyf", 28, 5)], b"1234"), "invalid font: table glyf extends past end of file"),
        (raw_font([Record("cvt ", 28, 1)]), "invalid font: table cvt  extends past end of file"),
    ],
)
@pytest.mark.parametrize("operation", ["embed_manifest_store", "embed_remote", "remove_manifest_table"])
def test_parse_errors_pass_through(font, message, operation):
    assert read_error(OPERATIONS[operation], font) == (message,)


# --- Sizes the C2PA table cannot describe ----------------------------------

URI_LIMIT = 65535


@pytest.mark.parametrize(
    "uri, size",
    [("a" * (URI_LIMIT + 1), URI_LIMIT + 1), ("é" * 32768, 65536), ("x" * 200000, 200000)],
    ids=["ascii", "two-byte", "much longer"],
)
def test_uri_too_long(small_font, uri, size):
    message = f"invalid C2PA table: active manifest URI is {size} bytes; a C2PA table holds at most 65535"
    for call in (
        lambda: glyphward.embed_remote(small_font, uri),
        lambda: glyphward.reserve_manifest_placeholder(small_font, 16, uri),
    ):
        with pytest.raises(ValueError) as caught:
            call()
        assert caught.value.args == (message,)


@pytest.mark.parametrize("uri", ["a" * URI_LIMIT, "é" * 32767 + "a"], ids=["ascii", "two-byte"])
def test_uri_at_the_limit(small_font, uri):
    font = glyphward.embed_remote(small_font, uri)
    assert assert_well_written(small_font, font) == [uri_table(uri.encode())]
    assert glyphward.read_manifest_uri_str(font) == uri
    assert glyphward.is_compliant(font) is True

    reserved = glyphward.reserve_manifest_placeholder(small_font, 16, uri)
    (table,) = assert_well_written(small_font, reserved)
    assert table[:20] == struct.pack(">HHIHHII", 0, 1, 20, URI_LIMIT, 0, 20 + URI_LIMIT, 16)
    assert glyphward.read_manifest_uri_str(reserved) == uri


@pytest.mark.parametrize(
    "reserve_size, uri, message",
    [
        (2**32, None, "manifest store is 4294967296 bytes; a C2PA table holds at most 4294967295"),
        (2**62, None, "manifest store is 4611686018427387904 bytes; a C2PA table holds at most 4294967295"),
        (2**32 - 20, None, "table would be 4294967296 bytes; an SFNT table holds at most 4294967295"),
        (2**32 - 21, "abc", "table would be 4294967298 bytes; an SFNT table holds at most 4294967295"),
    ],
)
def test_store_too_large_for_the_table(small_font, reserve_size, uri, message):
    with pytest.raises(ValueError) as caught:
        glyphward.reserve_manifest_placeholder(small_font, reserve_size, uri)
    assert caught.value.args == ("invalid C2PA table: " + message,)


def test_font_too_large_is_refused_before_the_store_is_made(small_font):
    # A table of exactly 0xFFFFFFFF bytes fits its own fields, but not the
    # font around it. The refusal must come from the sizes: in an address
    # space of 1 GiB, making the 4 GiB placeholder first would fail.
    result = run_limited(
        """
        font = sys.stdin.buffer.read()
        for size, uri in ((2**32 - 21, None), (2**32 - 24, "abc"), (2**32 - 120, None)):
            try:
                glyphward.reserve_manifest_placeholder(font, size, uri)
            except BaseException as e:
                print(type(e).__name__, repr(e.args))
        """,
        stdin=small_font,
    )
    others = sum((len(data) + 3) // 4 * 4 for _, data in tables_in_order(small_font))
    directory = 12 + 16 * (len(tables_in_order(small_font)) + 1)
    lines = []
    for table_length in (2**32 - 1, 2**32 - 1, 2**32 - 100):
        total = directory + others + (table_length + 3) // 4 * 4
        message = f"invalid font: font would be {total} bytes; an SFNT font holds at most 4294967295"
        lines.append(f"ValueError {(message,)!r}")
    assert result.stdout.decode().splitlines() == lines, result.stderr.decode()
