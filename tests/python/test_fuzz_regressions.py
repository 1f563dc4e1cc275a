"""Inputs found by the fuzz targets of fuzz/, replayed through the module.

tests/python/fuzz_regressions/<target>/ holds inputs exactly as the target
<target> read them: any input that once crashed a target, and a few corpus
inputs that reach deep into the operations (C2PA tables that overlap their
header, directories that point into themselves, duplicate head and C2PA
tables, reservations with odd URIs and the like). Each input is decoded into
the target's arguments (see the comment at the top of fuzz/<target>.cc; the
inputs of fuzz/validator_fuzzer.py, fonts with C2PA manifests that
glyphward_c2pa failed on, into their font, as
test_validator_fuzz_regressions.py describes), then:

- all nine functions run on its font and either return a value of the right
  type or raise ValueError, nothing else;
- the target's own operation runs with the input's arguments, under the
  same rule;
- every font that a function writes passes fontbuilder.assert_well_written;
- a font that reserves also fills, changing only bytes inside its ranges.
"""
import struct
from pathlib import Path

import pytest

import glyphward
from fontbuilder import assert_well_written, parse_directory

HERE = Path(__file__).parent / "fuzz_regressions"
DEMO_FONT = Path(__file__).parents[2] / "examples" / "fonts" / "GlyphwardDemo.ttf"
INPUTS = sorted(p for p in HERE.glob("*/*") if p.is_file())


def decode(target, data):
    """(font, the target's own call as (function, args)) for one input."""
    def u8(at):
        return data[at] if at < len(data) else 0

    def u16(at):
        return (u8(at) << 8) | u8(at + 1)

    if target == "embed_fuzzer":
        mode, length = u8(0) & 3, u16(1)
        part, font = data[3:3 + length], data[3 + length:]
        if mode == 1:
            return font, (glyphward.embed_remote, (font, part.decode("utf-8", "replace")))
        return font, (glyphward.embed_manifest_store, (font, part))
    if target == "reserve_fuzzer":
        size, selector = u16(0), u8(2)
        if selector == 0xFF:
            return data[3:], (glyphward.reserve_manifest_placeholder, (data[3:], size))
        uri, font = data[3:3 + selector], data[3 + selector:]
        return font, (glyphward.reserve_manifest_placeholder, (font, size, uri.decode("utf-8", "replace")))
    if target == "validator_fuzzer":
        mode, rest = u8(0) % 8, data[1:]
        if mode == 1:  # a trust anchor before the font
            return rest[2 + u16(1):], None
        if mode == 2:  # a Manifest Store for the demo font
            return glyphward.embed_manifest_store(DEMO_FONT.read_bytes(), rest), None
        return rest, None
    if target == "fill_fuzzer":
        length = u16(0)
        manifest, font = data[2:2 + length], data[2 + length:]
        return font, (glyphward.fill_manifest_store, (font, manifest))
    return data, None


def the_nine(font):
    return [
        (glyphward.embed_manifest_store, (font, b"manifest store"), bytes),
        (glyphward.embed_remote, (font, "https://example.com/m"), bytes),
        (glyphward.read_manifest_store, (font,), bytes),
        (glyphward.read_manifest_uri_str, (font,), (str, type(None))),
        (glyphward.remove_manifest_table, (font,), bytes),
        (glyphward.is_compliant, (font,), bool),
        (glyphward.reserve_manifest_placeholder, (font, 32, "u"), bytes),
        (glyphward.data_hash_ranges, (font,), list),
        (glyphward.fill_manifest_store, (font, b"sig"), bytes),
    ]


WRITERS = {
    glyphward.embed_manifest_store,
    glyphward.embed_remote,
    glyphward.remove_manifest_table,
    glyphward.reserve_manifest_placeholder,
    glyphward.fill_manifest_store,
}


def call(function, args, result_type):
    """The function's result, or None after a ValueError."""
    try:
        result = function(*args)
    except ValueError as error:
        assert type(error) is ValueError
        assert len(error.args) == 1 and isinstance(error.args[0], str) and error.args[0]
        return None
    assert isinstance(result, result_type), function.__name__
    if function in WRITERS:
        assert_well_written(args[0], result)
    return result


def test_there_are_inputs_for_every_target():
    targets = {p.parent.name for p in INPUTS}
    assert targets >= {
        "parse_fuzzer", "read_fuzzer", "embed_fuzzer", "remove_fuzzer",
        "compliance_fuzzer", "ranges_fuzzer", "reserve_fuzzer", "fill_fuzzer",
    }


@pytest.mark.parametrize("path", INPUTS, ids=[f"{p.parent.name}/{p.name}" for p in INPUTS])
def test_replayed_input(path):
    font, own_call = decode(path.parent.name, path.read_bytes())
    for function, args, result_type in the_nine(font):
        call(function, args, result_type)
    if own_call is not None:
        call(*own_call, bytes)

    reserved = call(glyphward.reserve_manifest_placeholder, (font, 40, "https://example.com/m"), bytes)
    if reserved is None:
        return
    heads = [tag for tag, *_ in parse_directory(reserved) if tag == b"head"]
    ranges = glyphward.data_hash_ranges(reserved)
    filled = glyphward.fill_manifest_store(reserved, b"\xa5" * 33)
    assert len(filled) == len(reserved)
    if len(heads) <= 1:
        changed = [i for i, (a, b) in enumerate(zip(reserved, filled)) if a != b]
        assert all(any(s <= i < s + n for s, n in ranges) for i in changed)
        assert glyphward.data_hash_ranges(filled) == ranges
    assert glyphward.read_manifest_store(filled) == b"\xa5" * 33 + bytes(7)
    assert struct.unpack_from(">I", filled, 0) == struct.unpack_from(">I", font, 0)
