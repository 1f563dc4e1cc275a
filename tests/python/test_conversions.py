"""Conversions of the byte-sequence, unsigned-integer and text arguments:
manifest_store of embed_manifest_store, reserve_size and uri of
reserve_manifest_placeholder, uri of embed_remote."""
import array
import enum
import operator

import pytest

import glyphward
from limited import run_limited
from fontbuilder import simple_font

FONT = simple_font()
OUT_OF_RANGE = "out of range integral type conversion attempted"


def stored(manifest_store):
    """The store that embed_manifest_store writes for this argument."""
    return glyphward.read_manifest_store(glyphward.embed_manifest_store(FONT, manifest_store))


def index_error_text(value):
    """The interpreter's own message for a value without __index__."""
    with pytest.raises(TypeError) as caught:
        operator.index(value)
    return str(caught.value)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Sized:
    """A sequence by __len__ and __getitem__ alone (no __iter__)."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class Small(enum.IntEnum):
    SEVEN = 7


class CustomTypeError(TypeError):
    pass


# --- manifest_store --------------------------------------------------------


@pytest.mark.parametrize(
    "value",
    [[0, 255], (0, 255), b"\x00\xff", bytearray(b"\x00\xff"), range(0, 256, 255), array.array("B", [0, 255])],
    ids=["list", "tuple", "bytes", "bytearray", "range", "array"],
)
def test_sequences_of_the_same_bytes(value):
    assert stored(value) == b"\x00\xff"


def test_every_byte_value_in_order():
    assert stored(list(range(256)) * 3) == bytes(range(256)) * 3
    assert stored(bytes(range(256))[::-1]) == bytes(range(255, -1, -1))


@pytest.mark.parametrize(
    "value, expected",
    [
        ([True], b"\x01"),
        ([True, False, 5], b"\x01\x00\x05"),
        ([Small.SEVEN], b"\x07"),
        ([Index(0), Index(255), 3], b"\x00\xff\x03"),
        (Sized([1, 2, 3]), b"\x01\x02\x03"),
        (type("ByteList", (list,), {})([9, 8]), b"\x09\x08"),
        (type("MyBytes", (bytes,), {})(b"\x04\x05"), b"\x04\x05"),
    ],
    ids=["bool", "bools", "int-enum", "index", "getitem-sequence", "list-subclass", "bytes-subclass"],
)
def test_accepted_items_and_sequences(value, expected):
    assert stored(value) == expected


def test_subclass_iteration_is_used():
    # Subclasses are iterated with their own __iter__, not read as storage.
    class Reversed(bytes):
        def __iter__(self):
            return iter(reversed(list(bytes(self))))

    class Doubled(list):
        def __iter__(self):
            for item in list.__iter__(self):
                yield item
                yield item

    assert stored(Reversed(b"\x01\x02\x03")) == b"\x03\x02\x01"
    assert stored(Doubled([4, 5])) == b"\x04\x04\x05\x05"


def test_empty_sequence_is_accepted():
    for value in ([], (), b"", bytearray(), range(0)):
        font = glyphward.embed_manifest_store(FONT, value)
        # An empty store is written as absent: the table carries neither part.
        with pytest.raises(ValueError) as caught:
            glyphward.read_manifest_store(font)
        assert caught.value.args == ("invalid C2PA table: C2PA table has no embedded manifest store",)


@pytest.mark.parametrize("value", ["abc", "", type("Text", (str,), {})("xyz")], ids=["str", "empty", "subclass"])
def test_str_is_refused(value):
    with pytest.raises(TypeError) as caught:
        glyphward.embed_manifest_store(FONT, value)
    assert type(caught.value) is TypeError
    assert caught.value.args == ("argument 'manifest_store': Can't extract `str` to `Vec`",)


class Opaque:
    pass


@pytest.mark.parametrize(
    "value, name",
    [
        ({1, 2}, "set"),
        (frozenset([1]), "frozenset"),
        ({1: 2}, "dict"),
        (type("Table", (dict,), {})(), "Table"),
        ((i for i in [1]), "generator"),
        (iter([1, 2]), "list_iterator"),
        (map(int, "12"), "map"),
        (7, "int"),
        (None, "NoneType"),
        (1.5, "float"),
        (Opaque(), "Opaque"),
    ],
)
def test_non_sequences_are_refused(value, name):
    with pytest.raises(TypeError) as caught:
        glyphward.embed_manifest_store(FONT, value)
    assert caught.value.args == (f"argument 'manifest_store': '{name}' object cannot be converted to 'Sequence'",)


def test_type_is_named_by_qualified_name():
    class Nested:
        pass

    with pytest.raises(TypeError) as caught:
        glyphward.embed_manifest_store(FONT, Nested())
    assert caught.value.args == (
        "argument 'manifest_store': 'test_type_is_named_by_qualified_name.<locals>.Nested' object "
        "cannot be converted to 'Sequence'",
    )


@pytest.mark.parametrize(
    "value",
    # 2**32 + 5 is within the range of a 64-bit C long; a truncating
    # conversion would take it for the byte 5.
    [[256], [-1], [0, 1, 1000], [-2**31], [Index(256)], [Index(-1)], [True, 2**32 + 5]],
    ids=["256", "-1", "1000", "-2**31", "index-256", "index--1", "2**32+5"],
)
def test_items_out_of_byte_range(value):
    with pytest.raises(OverflowError) as caught:
        glyphward.embed_manifest_store(FONT, value)
    assert type(caught.value) is OverflowError
    assert caught.value.args == (OUT_OF_RANGE,)


@pytest.mark.parametrize("item", [2**64, -2**64, 10**30, Index(2**100)], ids=["2**64", "-2**64", "10**30", "index"])
def test_items_beyond_the_native_integer(item):
    with pytest.raises(OverflowError) as caught:
        glyphward.embed_manifest_store(FONT, [1, item])
    assert type(caught.value) is OverflowError
    assert not str(caught.value).startswith("argument")


@pytest.mark.parametrize("item", [1.0, "a", None, b"x", [1]], ids=["float", "str", "None", "bytes", "list"])
def test_items_without_index(item):
    with pytest.raises(TypeError) as caught:
        glyphward.embed_manifest_store(FONT, [0, item])
    assert type(caught.value) is TypeError
    assert caught.value.args == ("argument 'manifest_store': " + index_error_text(item),)


def test_first_bad_item_ends_the_conversion():
    taken = []

    def items():
        for item in [1, 2, 300, "never"]:
            taken.append(item)
            yield item

    class Lazy(Sized):
        def __iter__(self):
            return items()

    with pytest.raises(OverflowError):
        glyphward.embed_manifest_store(FONT, Lazy([]))
    assert taken == [1, 2, 300]


class RaisingIndex:
    def __init__(self, exception):
        self.exception = exception

    def __index__(self):
        raise self.exception


@pytest.mark.parametrize("where", ["item __index__", "__iter__", "next item"])
def test_exceptions_from_the_sequence(where):
    def sequence_raising(exception):
        if where == "item __index__":
            return [1, RaisingIndex(exception)]

        class Failing(Sized):
            def __iter__(self):
                if where == "__iter__":
                    raise exception

                def gen():
                    yield 1
                    raise exception

                return gen()

        return Failing([1, 2])

    # Exactly TypeError: re-worded with the parameter's name.
    with pytest.raises(TypeError) as caught:
        glyphward.embed_manifest_store(FONT, sequence_raising(TypeError("nope")))
    assert type(caught.value) is TypeError
    assert caught.value.args == ("argument 'manifest_store': nope",)
    assert caught.value.__cause__ is None and caught.value.__suppress_context__

    # Any other class, a subclass of TypeError included, passes unchanged.
    for exception in [CustomTypeError("sub"), ValueError("value"), RuntimeError("runtime"), KeyError("k")]:
        with pytest.raises(BaseException) as caught:
            glyphward.embed_manifest_store(FONT, sequence_raising(exception))
        assert caught.value is exception


def test_rewording_keeps_an_explicit_cause():
    cause = KeyError("root")
    error = TypeError("wrapped")
    error.__cause__ = cause
    with pytest.raises(TypeError) as caught:
        glyphward.embed_manifest_store(FONT, [RaisingIndex(error)])
    assert caught.value.args == ("argument 'manifest_store': wrapped",)
    assert caught.value.__cause__ is cause


@pytest.mark.parametrize("failure", [RuntimeError("len"), TypeError("len"), OverflowError("len")])
def test_failing_len_is_ignored(failure):
    class NoLength(Sized):
        def __len__(self):
            raise failure

    assert stored(NoLength([7, 8, 9])) == b"\x07\x08\x09"


@pytest.mark.parametrize("claimed", [-1, 0, 1])
def test_wrong_len_does_not_limit_the_items(claimed):
    class Liar(Sized):
        def __len__(self):
            return claimed

        def __iter__(self):
            return iter(self.items)

    assert stored(Liar(range(50))) == bytes(range(50))


def test_enormous_claimed_length_reserves_nothing_like_it():
    result = run_limited(
        """
        from fontbuilder import simple_font
        font = simple_font()

        class Huge:
            def __init__(self, claimed):
                self.claimed = claimed
            def __len__(self):
                return self.claimed
            def __getitem__(self, i):
                raise IndexError(i)
            def __iter__(self):
                return iter([1, 2, 3])

        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        start = time.perf_counter()
        for claimed in (2**62, 2**33, sys.maxsize):
            written = glyphward.embed_manifest_store(font, Huge(claimed))
            assert glyphward.read_manifest_store(written) == b"\\x01\\x02\\x03"
        elapsed = time.perf_counter() - start
        grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
        print("ok", elapsed, grown)
        """
    )
    assert result.returncode == 0, result.stderr
    word, elapsed, grown_kib = result.stdout.split()
    assert word == "ok"
    assert float(elapsed) < 2.0
    assert int(grown_kib) < 64 * 1024


def test_long_sequences_still_convert():
    # The up-front reservation is capped; longer sequences grow past the cap.
    items = [i % 251 for i in range(3 * 2**20 + 5)]
    assert stored(items) == bytes(items)


# --- reserve_size ----------------------------------------------------------


def reserved_store(reserve_size, **kwargs):
    return glyphward.read_manifest_store(glyphward.reserve_manifest_placeholder(FONT, reserve_size, **kwargs))


@pytest.mark.parametrize(
    "value, size",
    [(True, 1), (1, 1), (7, 7), (Small.SEVEN, 7), (Index(9), 9), (type("Big", (int,), {})(3), 3)],
    ids=["True", "1", "7", "int-enum", "index", "int-subclass"],
)
def test_reserve_size_accepted(value, size):
    assert reserved_store(value) == bytes(size)


@pytest.mark.parametrize("value", [-1, -2**70, 2**64, 2**100, Index(-1), Index(2**64)])
def test_reserve_size_out_of_range(value):
    with pytest.raises(OverflowError) as caught:
        glyphward.reserve_manifest_placeholder(FONT, value)
    assert type(caught.value) is OverflowError
    assert not str(caught.value).startswith("argument")


@pytest.mark.parametrize("value", ["5", 5.0, None, b"5", [5]], ids=["str", "float", "None", "bytes", "list"])
def test_reserve_size_without_index(value):
    with pytest.raises(TypeError) as caught:
        glyphward.reserve_manifest_placeholder(FONT, value)
    assert type(caught.value) is TypeError
    assert caught.value.args == ("argument 'reserve_size': " + index_error_text(value),)


def test_reserve_size_index_raising():
    custom = CustomTypeError("custom")
    with pytest.raises(CustomTypeError) as caught:
        glyphward.reserve_manifest_placeholder(FONT, RaisingIndex(custom))
    assert caught.value is custom
    with pytest.raises(TypeError) as caught:
        glyphward.reserve_manifest_placeholder(FONT, RaisingIndex(TypeError("plain")))
    assert caught.value.args == ("argument 'reserve_size': plain",)


@pytest.mark.parametrize("value", [2**64 - 1, 2**63], ids=["2**64-1", "2**63"])
def test_largest_reserve_sizes_pass_conversion(value):
    # 2**64 - 1 is a value, not the conversion's error marker: the call gets
    # as far as the reservation, which cannot make a buffer that large.
    with pytest.raises(BaseException) as caught:
        glyphward.reserve_manifest_placeholder(FONT, value)
    assert type(caught.value).__name__ == "PanicException"
    assert caught.value.args == ("capacity overflow",)


def test_reserve_size_zero_and_false_pass_conversion():
    for value in (0, False):
        with pytest.raises(ValueError) as caught:
            glyphward.reserve_manifest_placeholder(FONT, value)
        assert caught.value.args == ("invalid C2PA table: reserve_size must be non-zero",)


def test_only_the_first_bad_argument_is_reported():
    with pytest.raises(TypeError) as caught:
        glyphward.reserve_manifest_placeholder(FONT, "5", 5)
    assert caught.value.args[0].startswith("argument 'reserve_size': ")


# --- uri -------------------------------------------------------------------


class Text(str):
    def __str__(self):
        return "not this"

    def encode(self, *args, **kwargs):
        return b"nor this"


@pytest.mark.parametrize(
    "uri",
    ["https://example.com/manifest", "ünïcødé ☃ 𝄞", "a\0b", Text("urn:uuid:1234")],
    ids=["ascii", "non-ascii", "nul", "str-subclass"],
)
def test_uri_text(uri):
    text = str.__str__(uri)
    font = glyphward.embed_remote(FONT, uri)
    assert glyphward.read_manifest_uri_str(font) == text
    reserved = glyphward.reserve_manifest_placeholder(FONT, 8, uri)
    assert glyphward.read_manifest_uri_str(reserved) == text
    # The table holds the UTF-8 bytes.
    assert text.encode("utf-8") in reserved


def test_empty_uri_is_written_as_absent():
    font = glyphward.embed_remote(FONT, "")
    assert glyphward.read_manifest_uri_str(font) is None
    assert glyphward.is_compliant(font) is False
    assert glyphward.reserve_manifest_placeholder(FONT, 8, "") == glyphward.reserve_manifest_placeholder(FONT, 8)


def test_uri_none_is_no_uri():
    plain = glyphward.reserve_manifest_placeholder(FONT, 8)
    assert glyphward.reserve_manifest_placeholder(FONT, 8, None) == plain
    assert glyphward.reserve_manifest_placeholder(FONT, 8, uri=None) == plain
    assert glyphward.reserve_manifest_placeholder(font=FONT, uri=None, reserve_size=8) == plain
    assert glyphward.read_manifest_uri_str(plain) is None


@pytest.mark.parametrize(
    "uri, name", [(None, "NoneType"), (b"u", "bytes"), (5, "int"), (["u"], "list"), (bytearray(b"u"), "bytearray")]
)
def test_embed_remote_refuses_non_text(uri, name):
    with pytest.raises(TypeError) as caught:
        glyphward.embed_remote(FONT, uri)
    assert caught.value.args == (f"argument 'uri': '{name}' object cannot be converted to 'PyString'",)


@pytest.mark.parametrize("uri, name", [(b"u", "bytes"), (5, "int")])
def test_reserve_refuses_non_text(uri, name):
    with pytest.raises(TypeError) as caught:
        glyphward.reserve_manifest_placeholder(FONT, 8, uri)
    assert caught.value.args == (f"argument 'uri': '{name}' object cannot be converted to 'PyString'",)


@pytest.mark.parametrize("uri", ["\udc80", "ok\ud800", Text("\udfff")], ids=["low", "high", "subclass"])
def test_lone_surrogate_raises_the_encoders_error(uri):
    with pytest.raises(UnicodeEncodeError) as expected:
        str.encode(uri, "utf-8")
    for call in (lambda: glyphward.embed_remote(FONT, uri), lambda: glyphward.reserve_manifest_placeholder(FONT, 8, uri)):
        with pytest.raises(UnicodeEncodeError) as caught:
            call()
        assert type(caught.value) is UnicodeEncodeError
        assert caught.value.args == expected.value.args
        assert str(caught.value) == str(expected.value)
