"""Binding of positional and keyword arguments to parameters, and the
conversion of font-bytes arguments."""
import array

import pytest

import glyphward
from fontbuilder import c2pa_table, simple_font

F = simple_font([("C2PA", c2pa_table(uri=b"https://example.com/m", store=b"store bytes"))])

ONE_FONT_PARAMETER = [
    "read_manifest_store",
    "read_manifest_uri_str",
    "remove_manifest_table",
    "is_compliant",
    "data_hash_ranges",
]

# name -> parameter names
PARAMETERS = {
    "embed_manifest_store": ("font", "manifest_store"),
    "embed_remote": ("font", "uri"),
    **{name: ("font",) for name in ONE_FONT_PARAMETER},
    "reserve_manifest_placeholder": ("font", "reserve_size", "uri"),
    "fill_manifest_store": ("reserved_font", "signed_manifest"),
}

# Well-typed arguments for every parameter of every function.
GOOD_ARGUMENTS = {
    "embed_manifest_store": (F, b"m"),
    "embed_remote": (F, "u"),
    **{name: (F,) for name in ONE_FONT_PARAMETER},
    "reserve_manifest_placeholder": (F, 8, "u"),
    "fill_manifest_store": (glyphward.reserve_manifest_placeholder(F, 8), b"m"),
}


def call(name, *args, **kwargs):
    return getattr(glyphward, name)(*args, **kwargs)


def type_error(name, *args, **kwargs) -> TypeError:
    with pytest.raises(TypeError) as info:
        call(name, *args, **kwargs)
    assert type(info.value) is TypeError
    assert len(info.value.args) == 1
    return info.value


def assert_type_error(message, name, *args, **kwargs):
    error = type_error(name, *args, **kwargs)
    assert str(error) == message
    assert error.args == (message,)


class Untouchable:
    """An argument whose every use as a sequence, index or text is recorded."""

    def __init__(self):
        self.touched = []

    def __getattribute__(self, name):
        if name not in ("touched", "__class__", "__dict__"):
            object.__getattribute__(self, "touched").append(name)
        return object.__getattribute__(self, name)

    def __len__(self):
        self.touched.append("len")
        return 1

    def __iter__(self):
        self.touched.append("iter")
        return iter([1])

    def __getitem__(self, index):
        self.touched.append("getitem")
        return 1

    def __index__(self):
        self.touched.append("index")
        return 1


def test_parameter_table_matches_the_functions():
    assert set(PARAMETERS) == set(glyphward.__all__)


# --- surplus positional arguments -------------------------------------------------


@pytest.mark.parametrize("name", ONE_FONT_PARAMETER)
@pytest.mark.parametrize("count", [2, 3])
def test_surplus_positionals_for_one_parameter_keep_plural(name, count):
    assert_type_error(
        f"{name}() takes 1 positional arguments but {count} were given",
        name,
        *([F] * count),
    )


@pytest.mark.parametrize("name", ["embed_manifest_store", "embed_remote", "fill_manifest_store"])
@pytest.mark.parametrize("count", [3, 7])
def test_surplus_positionals_for_two_parameters(name, count):
    assert_type_error(
        f"{name}() takes 2 positional arguments but {count} were given",
        name,
        *([F] * count),
    )


@pytest.mark.parametrize("count", [4, 10])
def test_surplus_positionals_with_optional_parameter_use_from_to(count):
    assert_type_error(
        f"reserve_manifest_placeholder() takes from 2 to 3 positional arguments but {count} were given",
        "reserve_manifest_placeholder",
        *([F] * count),
    )


def test_examples_with_wrong_types_still_report_the_count():
    assert_type_error(
        "embed_remote() takes 2 positional arguments but 3 were given", "embed_remote", b"", "u", "v"
    )
    assert_type_error(
        "reserve_manifest_placeholder() takes from 2 to 3 positional arguments but 4 were given",
        "reserve_manifest_placeholder",
        b"",
        1,
        None,
        2,
    )


def test_positional_count_is_checked_before_keywords():
    assert_type_error(
        "embed_remote() takes 2 positional arguments but 3 were given", "embed_remote", 1, 2, 3, bogus=4
    )
    assert_type_error(
        "read_manifest_store() takes 1 positional arguments but 2 were given",
        "read_manifest_store",
        F,
        F,
        font=F,
    )


# --- missing required arguments -----------------------------------------------


@pytest.mark.parametrize("name", ONE_FONT_PARAMETER)
def test_missing_the_only_argument(name):
    assert_type_error(f"{name}() missing 1 required positional argument: 'font'", name)


@pytest.mark.parametrize(
    "name, args, kwargs, message",
    [
        ("embed_manifest_store", (), {}, "missing 2 required positional arguments: 'font' and 'manifest_store'"),
        ("embed_remote", (), {}, "missing 2 required positional arguments: 'font' and 'uri'"),
        (
            "fill_manifest_store",
            (),
            {},
            "missing 2 required positional arguments: 'reserved_font' and 'signed_manifest'",
        ),
        (
            "reserve_manifest_placeholder",
            (),
            {},
            "missing 2 required positional arguments: 'font' and 'reserve_size'",
        ),
        (
            "reserve_manifest_placeholder",
            (),
            {"uri": "u"},
            "missing 2 required positional arguments: 'font' and 'reserve_size'",
        ),
        ("reserve_manifest_placeholder", (F,), {}, "missing 1 required positional argument: 'reserve_size'"),
        (
            "reserve_manifest_placeholder",
            (F,),
            {"uri": None},
            "missing 1 required positional argument: 'reserve_size'",
        ),
        ("reserve_manifest_placeholder", (), {"reserve_size": 1}, "missing 1 required positional argument: 'font'"),
        (
            "reserve_manifest_placeholder",
            (),
            {"font": F, "uri": "u"},
            "missing 1 required positional argument: 'reserve_size'",
        ),
        ("embed_remote", (), {"uri": "u"}, "missing 1 required positional argument: 'font'"),
        ("embed_remote", (F,), {}, "missing 1 required positional argument: 'uri'"),
        ("embed_remote", (), {"font": F}, "missing 1 required positional argument: 'uri'"),
        ("embed_manifest_store", (), {"manifest_store": b""}, "missing 1 required positional argument: 'font'"),
        ("fill_manifest_store", (F,), {}, "missing 1 required positional argument: 'signed_manifest'"),
        (
            "fill_manifest_store",
            (),
            {"signed_manifest": b""},
            "missing 1 required positional argument: 'reserved_font'",
        ),
    ],
)
def test_missing_arguments(name, args, kwargs, message):
    assert_type_error(f"{name}() {message}", name, *args, **kwargs)


def test_missing_arguments_are_reported_without_converting_given_ones():
    untouchable = Untouchable()
    assert_type_error(
        "embed_manifest_store() missing 1 required positional argument: 'font'",
        "embed_manifest_store",
        manifest_store=untouchable,
    )
    assert untouchable.touched == []
    # A bad font given alongside a missing parameter: binding wins.
    assert_type_error(
        "embed_manifest_store() missing 1 required positional argument: 'manifest_store'",
        "embed_manifest_store",
        None,
    )


# --- keyword arguments ------------------------------------------------------------


@pytest.mark.parametrize(
    "name, args, kwargs, parameter",
    [
        ("read_manifest_store", (F,), {"font": F}, "font"),
        ("is_compliant", (F,), {"font": F}, "font"),
        ("embed_remote", (F, "u"), {"uri": "v"}, "uri"),
        ("embed_remote", (F,), {"font": F}, "font"),  # reported before the missing 'uri'
        ("reserve_manifest_placeholder", (F, 1, None), {"uri": "x"}, "uri"),
        ("reserve_manifest_placeholder", (F, 1), {"uri": None, "reserve_size": 2}, "reserve_size"),
        ("fill_manifest_store", (F,), {"reserved_font": F}, "reserved_font"),
    ],
)
def test_multiple_values(name, args, kwargs, parameter):
    assert_type_error(f"{name}() got multiple values for argument '{parameter}'", name, *args, **kwargs)


@pytest.mark.parametrize(
    "name, args, kwargs, keyword",
    [
        ("read_manifest_store", (), {"fonts": F}, "fonts"),  # not the missing 'font'
        ("read_manifest_store", (F,), {"Font": F}, "Font"),  # names are case-sensitive
        ("read_manifest_store", (F,), {"font_": F}, "font_"),
        ("read_manifest_store", (F,), {"fon": F}, "fon"),
        ("reserve_manifest_placeholder", (F, 1), {"url": "x"}, "url"),
        ("fill_manifest_store", (), {"font": F, "signed_manifest": b""}, "font"),
        ("embed_manifest_store", (), {"manifest": b""}, "manifest"),
        ("data_hash_ranges", (), {"f\u00f6nt": F}, "f\u00f6nt"),
    ],
)
def test_unexpected_keyword(name, args, kwargs, keyword):
    assert_type_error(f"{name}() got an unexpected keyword argument '{keyword}'", name, *args, **kwargs)


def test_keywords_are_examined_in_call_order():
    assert_type_error(
        "embed_remote() got an unexpected keyword argument 'bogus'", "embed_remote", F, bogus=1, font=F
    )
    assert_type_error(
        "embed_remote() got multiple values for argument 'font'", "embed_remote", F, font=F, bogus=1
    )
    assert_type_error(
        "embed_remote() got an unexpected keyword argument 'first'",
        "embed_remote",
        **{"first": 1, "second": 2},
    )
    assert_type_error(
        "embed_remote() got an unexpected keyword argument 'second'",
        "embed_remote",
        **{"uri": "u", "second": 2, "first": 1},
    )


def test_unexpected_keyword_is_reported_without_converting_anything():
    assert_type_error(
        "read_manifest_store() got an unexpected keyword argument 'x'", "read_manifest_store", 123, x=1
    )
    untouchable = Untouchable()
    assert_type_error(
        "embed_manifest_store() got an unexpected keyword argument 'extra'",
        "embed_manifest_store",
        F,
        untouchable,
        extra=1,
    )
    assert untouchable.touched == []
    untouchable = Untouchable()
    assert_type_error(
        "reserve_manifest_placeholder() got an unexpected keyword argument 'extra'",
        "reserve_manifest_placeholder",
        F,
        untouchable,
        extra=1,
    )
    assert untouchable.touched == []


@pytest.mark.parametrize(
    "key, shown",
    [
        (1, "1"),
        (b"font", "b'font'"),
        (None, "None"),
        (("font",), "('font',)"),
        ("\udc80", "\udc80"),  # a str that cannot be encoded matches nothing
        ("font\0", "font\0"),
    ],
)
def test_keyword_names_that_match_no_parameter(key, shown):
    # Called directly: a Python-level **kwargs would refuse non-str names itself.
    with pytest.raises(TypeError) as info:
        glyphward.read_manifest_store(**{key: F})
    assert type(info.value) is TypeError
    assert info.value.args == (f"read_manifest_store() got an unexpected keyword argument '{shown}'",)


def test_str_subclass_keyword_names_bind_by_their_text():
    class Name(str):
        pass

    assert glyphward.read_manifest_store(**{Name("font"): F}) == b"store bytes"


def test_unexpected_keyword_message_uses_str_of_the_name():
    class Name(str):
        def __str__(self):
            return "shown"

    with pytest.raises(TypeError) as info:
        glyphward.read_manifest_store(**{Name("hidden"): F})
    assert info.value.args == ("read_manifest_store() got an unexpected keyword argument 'shown'",)


def test_every_parameter_binds_by_keyword_in_any_order():
    reserved = glyphward.reserve_manifest_placeholder(F, 8)
    assert glyphward.embed_remote(uri="u", font=F) == glyphward.embed_remote(F, "u")
    assert glyphward.embed_remote(F, uri="u") == glyphward.embed_remote(F, "u")
    assert glyphward.embed_manifest_store(manifest_store=[1, 2], font=F) == glyphward.embed_manifest_store(F, b"\1\2")
    assert glyphward.reserve_manifest_placeholder(uri="x", reserve_size=8, font=F) == (
        glyphward.reserve_manifest_placeholder(F, 8, "x")
    )
    assert glyphward.reserve_manifest_placeholder(F, uri="x", reserve_size=8) == (
        glyphward.reserve_manifest_placeholder(F, 8, "x")
    )
    assert glyphward.fill_manifest_store(signed_manifest=b"sig", reserved_font=reserved) == (
        glyphward.fill_manifest_store(reserved, b"sig")
    )
    for name in ONE_FONT_PARAMETER:
        assert call(name, font=F) == call(name, F)


def test_optional_uri_left_out_or_none_means_the_same():
    expected = glyphward.reserve_manifest_placeholder(F, 8)
    assert glyphward.read_manifest_uri_str(expected) is None
    assert glyphward.reserve_manifest_placeholder(F, 8, None) == expected
    assert glyphward.reserve_manifest_placeholder(F, 8, uri=None) == expected
    assert glyphward.reserve_manifest_placeholder(F, reserve_size=8, uri=None) == expected
    assert glyphward.reserve_manifest_placeholder(F, 8, "u") != expected


def test_binding_messages_never_carry_an_argument_prefix():
    for name in glyphward.__all__:
        assert not str(type_error(name)).startswith("argument")
        assert not str(type_error(name, bogus=1)).startswith("argument")


# --- font bytes -------------------------------------------------------------------


def _nested_class_instance():
    class HasBytes:
        def __bytes__(self):
            return F

    return HasBytes()


NOT_BYTES = [
    (bytearray(F), "bytearray"),
    (memoryview(F), "memoryview"),
    (F.decode("latin-1"), "str"),
    (None, "NoneType"),
    (0, "int"),
    ([1, 2], "list"),
    (array.array("B", F), "array"),
    (_nested_class_instance(), "_nested_class_instance.<locals>.HasBytes"),
]
NOT_BYTES_IDS = [kind for _, kind in NOT_BYTES]

BYTES_PARAMETERS = [
    (name, index)
    for name, parameters in PARAMETERS.items()
    for index, parameter in enumerate(parameters)
    if parameter in ("font", "reserved_font", "signed_manifest")
]


@pytest.mark.parametrize("name, index", BYTES_PARAMETERS)
@pytest.mark.parametrize("value, kind", NOT_BYTES, ids=NOT_BYTES_IDS)
def test_font_bytes_refuse_everything_but_bytes(name, index, value, kind):
    args = list(GOOD_ARGUMENTS[name])
    args[index] = value
    parameter = PARAMETERS[name][index]
    error = type_error(name, *args)
    assert str(error) == f"argument '{parameter}': '{kind}' object cannot be converted to 'PyBytes'"


def test_argument_errors_have_no_cause_and_suppress_context():
    error = type_error("read_manifest_store", bytearray(F))
    assert error.__cause__ is None
    assert error.__suppress_context__ is True


def test_type_name_falls_back_when_qualname_fails():
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                raise RuntimeError("no name")
            return super().__getattribute__(name)

    class Nameless(metaclass=Meta):
        pass

    assert_type_error(
        "argument 'font': '<failed to extract type name>' object cannot be converted to 'PyBytes'",
        "read_manifest_store",
        Nameless(),
    )


def test_bytes_subclass_is_accepted_everywhere():
    class Font(bytes):
        pass

    reserved = glyphward.reserve_manifest_placeholder(F, 8)
    assert glyphward.read_manifest_store(Font(F)) == b"store bytes"
    assert glyphward.read_manifest_uri_str(font=Font(F)) == "https://example.com/m"
    assert glyphward.is_compliant(Font(F)) is glyphward.is_compliant(F)
    assert glyphward.remove_manifest_table(Font(F)) == glyphward.remove_manifest_table(F)
    assert glyphward.embed_remote(Font(F), "u") == glyphward.embed_remote(F, "u")
    assert glyphward.reserve_manifest_placeholder(Font(F), 8) == reserved
    assert glyphward.data_hash_ranges(Font(reserved)) == glyphward.data_hash_ranges(reserved)
    assert glyphward.fill_manifest_store(Font(reserved), Font(b"sig")) == glyphward.fill_manifest_store(reserved, b"sig")


def test_bytes_subclass_content_is_read_not_its_bytes_method():
    class Font(bytes):
        def __bytes__(self):
            return b"not a font"

    assert glyphward.read_manifest_store(Font(F)) == b"store bytes"


def test_only_the_first_bad_argument_is_reported():
    assert_type_error(
        "argument 'font': 'str' object cannot be converted to 'PyBytes'", "embed_manifest_store", "a", "b"
    )
    assert_type_error(
        "argument 'font': 'NoneType' object cannot be converted to 'PyBytes'", "embed_manifest_store", None, []
    )
    assert_type_error(
        "argument 'reserved_font': 'bytearray' object cannot be converted to 'PyBytes'",
        "fill_manifest_store",
        bytearray(b"a"),
        bytearray(b"b"),
    )
    assert_type_error(
        "argument 'font': 'NoneType' object cannot be converted to 'PyBytes'",
        "reserve_manifest_placeholder",
        None,
        "x",
        5,
    )
    assert str(type_error("reserve_manifest_placeholder", F, "x", 5)).startswith("argument 'reserve_size': ")
    assert str(type_error("embed_remote", bytearray(), None)).startswith("argument 'font': ")


def test_later_arguments_are_not_examined_after_a_bad_one():
    untouchable = Untouchable()
    type_error("embed_manifest_store", bytearray(F), untouchable)
    assert untouchable.touched == []
    untouchable = Untouchable()
    type_error("reserve_manifest_placeholder", bytearray(F), untouchable, untouchable)
    assert untouchable.touched == []


def test_signed_manifest_takes_only_bytes_unlike_manifest_store():
    reserved = glyphward.reserve_manifest_placeholder(F, 8)
    for value, kind in [(bytearray(b"x"), "bytearray"), (memoryview(b"x"), "memoryview"), ([120], "list")]:
        assert_type_error(
            f"argument 'signed_manifest': '{kind}' object cannot be converted to 'PyBytes'",
            "fill_manifest_store",
            reserved,
            value,
        )
    embedded = glyphward.embed_manifest_store(F, bytearray(b"x"))
    assert glyphward.read_manifest_store(embedded) == b"x"
    filled = glyphward.fill_manifest_store(reserved, b"x")
    assert glyphward.read_manifest_store(filled)[:1] == b"x"
