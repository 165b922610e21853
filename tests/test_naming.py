"""Display and naming helpers of nimbrel.quorvel.core.naming."""

import dataclasses
import fractions
import inspect
import re
import sys
import typing

import pytest

from nimbrel.quorvel.core import naming
from nimbrel.quorvel.core.naming import (
    display_class_name,
    display_value,
    python_identifier_to_type_key,
)

SUFFIX = " (truncated)"


class MyStr(str):
    pass


class Reprs:
    """An object with a fixed repr (and no usable ``__name__``)."""

    def __init__(self, text):
        self.text = text

    def __repr__(self):
        return self.text


def with_name_property(getter, text="<named>"):
    """Instance whose ``__name__`` is computed by ``getter`` and whose repr is ``text``."""
    cls = type("Named", (Reprs,), {"__name__": property(lambda self: getter())})
    return cls(text)


def with_name(value, text="<named>"):
    obj = Reprs(text)
    obj.__name__ = value
    return obj


def raiser(exc):
    def getter():
        raise exc

    return getter


# ---------------------------------------------------------------- display_class_name


def module_level_function():
    pass


class Outer:
    class Inner:
        pass


class Forwarder:
    """Forwards attribute lookups to the wrapped class."""

    def __init__(self, target):
        self._target = target

    def __getattr__(self, name):
        return getattr(self._target, name)

    def __repr__(self):
        return "Forwarder()"


@pytest.mark.parametrize(
    "value, expected",
    [
        (int, "int"),
        (5, "5"),
        (None, "None"),
        ("abc", "'abc'"),
        (dict[str, int], "dict"),
        (module_level_function, "module_level_function"),
        (Outer.Inner, "Inner"),
        (Reprs, "Reprs"),
        (Reprs("<plain instance>"), "<plain instance>"),
        (Forwarder(float), "float"),
        (typing.Any, "Any"),
        (len, "len"),
        (str.upper, "upper"),
    ],
)
def test_display_class_name(value, expected):
    assert display_class_name(value) == expected
    assert display_class_name(a=value) == expected


@pytest.mark.parametrize(
    "obj",
    [
        with_name_property(raiser(RuntimeError("no name")), "<runtime>"),
        with_name_property(raiser(AttributeError("gone")), "<attribute>"),
        with_name_property(raiser(ValueError("bad")), "<value>"),
        with_name("", "<empty>"),
        with_name(42, "<number>"),
        with_name(3.5, "<float>"),
        with_name(None, "<none>"),
        with_name(b"bytes", "<bytes>"),
        with_name(MyStr(""), "<empty subclass>"),
    ],
    ids=["runtime", "attribute", "value", "empty", "int", "float", "none", "bytes", "empty-subclass"],
)
def test_display_class_name_falls_back_to_repr(obj):
    assert display_class_name(obj) == repr(obj)


def test_display_class_name_of_class_with_empty_name():
    cls = type("", (), {})
    assert display_class_name(cls) == repr(cls)


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_display_class_name_propagates_base_exceptions(exc_type):
    exc = exc_type("stop")
    obj = with_name_property(raiser(exc))
    with pytest.raises(exc_type) as info:
        display_class_name(obj)
    assert info.value is exc


def test_display_class_name_propagates_repr_errors():
    class BadRepr:
        def __repr__(self):
            raise ValueError("repr failed")

    with pytest.raises(ValueError, match="^repr failed$"):
        display_class_name(BadRepr())


# ---------------------------------------------------------------- display_value


@pytest.mark.parametrize(
    "value, kwargs, expected",
    [
        ("x" * 30, {}, "'" + "x" * 24 + SUFFIX),
        (12345, {}, "12345"),
        (Reprs("a" * 25), {}, "a" * 25),
        (Reprs("a" * 26), {}, "a" * 25 + SUFFIX),
        (Reprs("a" * 24), {}, "a" * 24),
        (Reprs(""), {}, ""),
        (Reprs("abc"), {"value_length": 0}, SUFFIX),
        (Reprs(""), {"value_length": 0}, ""),
        (Reprs("abcdef"), {"value_length": 3}, "abc" + SUFFIX),
        (Reprs("abcdef"), {"value_length": 6}, "abcdef"),
        (Reprs("abcdef"), {"value_length": 3.9}, "abc" + SUFFIX),
        (Reprs("abcdef"), {"value_length": -0.5}, SUFFIX),
        (Reprs("abcdef"), {"value_length": True}, "a" + SUFFIX),
        (Reprs("abcdef"), {"value_length": fractions.Fraction(9, 2)}, "abcd" + SUFFIX),
        (Reprs("abcdef"), {"value_length": -2}, "abcd" + SUFFIX),
        (Reprs("abcdef"), {"value_length": -6}, SUFFIX),
        (Reprs("abcdef"), {"value_length": -100}, SUFFIX),
        (Reprs(""), {"value_length": -1}, SUFFIX),
        (Reprs("abcdef"), {"value_length": 10**30}, "abcdef"),
        (Reprs("abcdef"), {"value_length": -(10**30)}, SUFFIX),
        (Reprs("é" * 30), {}, "é" * 25 + SUFFIX),
        (Reprs("😀" * 26), {}, "😀" * 25 + SUFFIX),
        (Reprs("😀" * 25), {}, "😀" * 25),
        (Reprs("a\x00b" * 10), {"value_length": 4}, "a\x00ba" + SUFFIX),
        ([1, 2, 3], {}, "[1, 2, 3]"),
        ({"k": None}, {"value_length": 5}, "{'k':" + SUFFIX),
    ],
)
def test_display_value(value, kwargs, expected):
    assert display_value(value, **kwargs) == expected


@pytest.mark.parametrize("n", [-40, -26, -25, -1, 0, 1, 24, 25, 26, 100])
@pytest.mark.parametrize("size", [0, 1, 25, 26, 60])
def test_display_value_matches_slicing(n, size):
    rep = "".join(chr(0x41 + i % 26) for i in range(size))
    expected = rep[:n] + (SUFFIX if len(rep) > n else "")
    assert display_value(Reprs(rep), n) == expected
    assert display_value(value=Reprs(rep), value_length=n) == expected


def test_display_value_returns_exact_str_for_str_subclass_repr():
    result = display_value(Reprs(MyStr("short")))
    assert result == "short"
    assert type(result) is str


@pytest.mark.parametrize(
    "bad, type_name",
    [("5", "str"), (None, "NoneType"), ([3], "list"), (b"3", "bytes")],
)
def test_display_value_rejects_non_number_length(bad, type_name):
    with pytest.raises(TypeError) as info:
        display_value("abc", bad)
    assert str(info.value) == (
        f"Argument 'value_length' has incorrect type (expected int, got {type_name})"
    )


@pytest.mark.parametrize("bad, exc_type", [(float("inf"), OverflowError), (float("nan"), ValueError)])
def test_display_value_length_conversion_errors_propagate(bad, exc_type):
    with pytest.raises(exc_type):
        display_value("abc", bad)


def test_display_value_attribute_error_in_repr():
    class Broken:
        def __repr__(self):
            raise AttributeError("missing")

    assert display_value(Broken()) == repr(AttributeError("missing"))


def test_display_value_dataclass_with_missing_field():
    @dataclasses.dataclass
    class Point:
        x: int
        y: int

    point = Point(1, 2)
    del point.y
    with pytest.raises(AttributeError) as info:
        repr(point)
    assert display_value(point) == repr(info.value)


@pytest.mark.parametrize("exc", [ValueError("v"), KeyError("k"), RuntimeError("r"), KeyboardInterrupt()])
def test_display_value_propagates_other_repr_errors(exc):
    class Broken:
        def __repr__(self):
            raise exc

    with pytest.raises(type(exc)) as info:
        display_value(Broken())
    assert info.value is exc


# Built-in values are shown without building their whole repr: the text must still be exactly the head of it.


def sliced_repr(value, n):
    rep = repr(value)
    return rep[:n] + (SUFFIX if len(rep) > n else "")


class Flagged:
    """Records whether its repr was asked for."""

    def __init__(self):
        self.shown = False

    def __repr__(self):
        self.shown = True
        return "Flagged()"


def cyclic_list():
    value = [1, "a"]
    value.append(value)
    return value


def cyclic_dict():
    value = {"k": 1}
    value["self"] = value
    return value


def cycle_through_tuple():
    inner = []
    value = (inner, 2)
    inner.append(value)
    return value


class KeptSet(set):
    pass


class KeptFrozenSet(frozenset):
    pass


class HashableSet(set):
    __hash__ = object.__hash__


def cycle_through_set():
    value = HashableSet([1])
    value.add((value, "x"))
    return value


BUILT_IN_VALUES = [
    None, True, False, 0, -7, 2**64, -(2**70), 1.5, -0.0, float("nan"), float("inf"), 1e300,
    "", "plain", "it's", 'say "hi"', "both ' and \"", "tab\tnew\nline\\", "\x00\x7f\x80\u200b\U0001f600é",
    "x" * 40, "'" + "y" * 40, "y" * 40 + "'", "\"" + "'" * 30, "'" * 30 + "\"",
    [], (), {}, [[]], ((),), (1,), ("a",), [1, (2,), {"3": [4.0, None]}], (1, 2, 3) * 10,
    {"a": 1, "b": [1, 2], "c": {"d": "e" * 30}}, {1: None, (2, 3): "x", None: [True]},
    list(range(50)), {str(i): i for i in range(30)}, [Reprs("custom"), 1], {"k": Reprs("v" * 30)},
    [MyStr("sub"), 1], cyclic_list(), cyclic_dict(), cycle_through_tuple(),
    set(), frozenset(), {1, 2, 3}, frozenset({"a", (1, 2)}), set(range(40)), {frozenset({1}), frozenset()},
    KeptSet(), KeptSet({1, "two"}), KeptFrozenSet(), KeptFrozenSet({"x" * 30}), [{None}, (frozenset(),)],
    cycle_through_set(),
]


@pytest.mark.parametrize("n", [0, 1, 2, 5, 11, 25, 40, 200])
@pytest.mark.parametrize("value", BUILT_IN_VALUES, ids=lambda v: type(v).__name__)
def test_display_value_of_built_in_values_is_the_head_of_their_repr(value, n):
    assert display_value(value, n) == sliced_repr(value, n)


@pytest.mark.parametrize("n", range(0, 9))
def test_display_value_of_str_escapes_and_quotes_like_repr(n):
    # Every string of up to four characters over the ones that decide quoting and escaping.
    alphabet = ["a", "'", '"', "\\", "\n", "\x7f", "é", "\u0378"]
    texts = [""]
    for _ in range(4):
        texts = [text + c for text in texts for c in alphabet if len(text) < 4] + texts
    for text in set(texts):
        assert display_value(text, n) == sliced_repr(text, n), text


@pytest.mark.parametrize("sign", [1, -1])
@pytest.mark.parametrize("digits", [19, 20, 40, 4300, 4301, 20_000])
@pytest.mark.parametrize("n", [0, 1, 25, 60])
def test_display_value_of_long_int_shows_its_leading_digits(sign, digits, n):
    value = sign * (10 ** (digits - 1) + 123456789)
    limit = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(0)
    try:
        expected = sliced_repr(value, n)
    finally:
        sys.set_int_max_str_digits(limit)
    # Beyond the conversion limit repr itself refuses; the message still shows the digits.
    assert display_value(value, n) == expected


@pytest.mark.parametrize(
    "make",
    [
        lambda late: [1] * 30 + [late],
        lambda late: ("x" * 40, late),
        lambda late: {"k" * 30: late},
        lambda late: {"a": [[["b" * 10, 2]]], "z": late},
    ],
)
def test_display_value_does_not_visit_elements_past_the_head(make):
    late = Flagged()
    assert display_value(make(late)).endswith(SUFFIX)
    assert not late.shown


def test_display_value_of_deeply_nested_containers_shows_their_head():
    lists, dicts = [], {}
    for _ in range(100_000):
        lists, dicts = [lists], {"k": dicts}
    assert display_value(lists) == "[" * 25 + SUFFIX
    assert display_value(dicts, 12) == "{'k': {'k': " + SUFFIX


class KeptInt(int):
    pass


class KeptDict(dict):
    pass


class KeptList(list):
    pass


def test_display_value_bounds_subclasses_that_keep_the_built_in_repr():
    late = Flagged()
    assert display_value(KeptList([1] * 30 + [late])).endswith(SUFFIX) and not late.shown
    huge = KeptInt(-(10**5000))
    assert display_value(huge) == "-1" + "0" * 23 + SUFFIX
    assert display_value(KeptDict(k=huge)) == "{'k': -100000000000000000" + SUFFIX


@pytest.mark.parametrize(
    "value, expected",
    [
        ({10**5000}, "{1" + "0" * 23),
        (frozenset({-(10**5000)}), "frozenset({-" + "1" + "0" * 12),
        (KeptSet({10**5000}), "KeptSet({1" + "0" * 15),
        ([(1, {2: frozenset({10**5000})})], "[(1, {2: frozenset({10000"),
    ],
)
def test_display_value_of_sets_shows_the_digits_of_long_ints(value, expected):
    assert display_value(value) == expected + SUFFIX


def test_display_value_of_set_ignores_an_overridden_iter():
    class Iterates(set):
        def __iter__(self):
            return iter(["not", "these"])

    value = Iterates({1})
    assert display_value(value) == repr(value) == "Iterates({1})"


def test_display_value_of_set_shows_the_entries_it_had_when_shown():
    class Clears:
        def __init__(self, owner):
            self.owner = owner

        def __hash__(self):
            return 0

        def __repr__(self):
            self.owner.clear()
            return "C"

    def make():
        value = {1, 2, 3}
        value.add(Clears(value))
        return value

    assert display_value(make()) == sliced_repr(make(), 25)


def test_display_value_keeps_the_reprs_of_subclasses_and_other_objects():
    class Shown(list):
        def __repr__(self):
            return "Shown!"

    assert display_value([Shown([1]), {"k": Reprs("other")}]) == "[Shown!, {'k': other}]"


def test_display_value_sees_a_list_that_an_element_shrinks():
    class Shrinks:
        def __init__(self, owner):
            self.owner = owner

        def __repr__(self):
            del self.owner[1:]
            return "S"

    def make():
        value = [None, 2, 3]
        value[0] = Shrinks(value)
        return value

    assert display_value(make()) == sliced_repr(make(), 25) == "[S]"


@pytest.mark.parametrize("n", [2**40, sys.maxsize - 1, sys.maxsize])
def test_display_value_with_a_huge_length_shows_everything(n):
    assert display_value([1, "two", {3: None}], n) == "[1, 'two', {3: None}]"


@pytest.mark.parametrize("error", [AttributeError("gone"), ValueError("bad")])
def test_display_value_errors_of_a_shown_element(error):
    class Broken:
        def __repr__(self):
            raise error

    if isinstance(error, AttributeError):
        assert display_value([1, Broken()]) == repr(error)
    else:
        with pytest.raises(ValueError) as info:
            display_value({"k": Broken()})
        assert info.value is error


# ---------------------------------------------------------------- python_identifier_to_type_key


def reference_type_key(name):
    """Straightforward re-based rendition of the documented algorithm."""
    if not name:
        return name
    match = re.match(r"^_+", name)
    leading = match.group(0) if match else ""
    core = name[len(leading):]
    core = re.sub(r"([a-z0-9])([A-Z])", r"\1_\2", core)
    core = re.sub(r"([A-Z]+)([A-Z][a-z])", r"\1_\2", core)
    core = re.sub(r"_+", "_", core)
    return leading + core.lower()


@pytest.mark.parametrize(
    "name, expected",
    [
        ("ModelSettings", "model_settings"),
        ("XMLParser", "xml_parser"),
        ("readJSONFile", "read_json_file"),
        ("_PrivateThing", "_private_thing"),
        ("__Dunder", "__dunder"),
        ("Foo__Bar", "foo_bar"),
        ("Config2D", "config2_d"),
        ("already_snake", "already_snake"),
        ("", ""),
        ("ÀbcDef", "àbc_def"),
        ("aÉb", "aéb"),
        ("___", "___"),
        ("__init__", "__init_"),
        ("mid___Under__score", "mid_under_score"),
    ],
)
def test_type_key_examples(name, expected):
    assert python_identifier_to_type_key(name) == expected
    assert python_identifier_to_type_key(name=name) == expected


TRICKY = [
    "A", "a", "_", "_A_", "ABC", "ABC123", "HTTP2Server", "getHTTPResponseCode",
    "ABCDeFGHi", "AAbCc", "aBC", "a1B2C", "v2Beta", "Version10Alpha", "x1Y2Z3",
    "PDFFile", "IOError", "snake_Case_Mixed", "Trailing__", "__Lead__Mid",
    "CamelCase_With_Under", "_1A", "1A", "9Lives", "__9Z", "A_B_C", "aB_Cd",
    "ÉtatMajor", "aÉB", "İstanbulCity", "ΟΔΟΣ", "ǅungla", "x\u0663Y",
    "a\u212aB", "ＦｏｏＢａｒ", "straßeName", "a\x00B", "a\udc80B", "Tab\tName",
    "ab" * 200 + "CD" * 200 + "Ef",
]


@pytest.mark.parametrize("name", TRICKY)
def test_type_key_matches_reference(name):
    result = python_identifier_to_type_key(name)
    assert result == reference_type_key(name)
    assert type(result) is str


@pytest.mark.parametrize(
    "bad, type_name",
    [(MyStr("Foo"), "MyStr"), (None, "NoneType"), (b"Foo", "bytes"), (3, "int")],
)
def test_type_key_requires_exact_str(bad, type_name):
    with pytest.raises(TypeError) as info:
        python_identifier_to_type_key(bad)
    assert str(info.value) == f"Argument 'name' has incorrect type (expected str, got {type_name})"


def test_type_key_rejects_empty_str_subclass():
    with pytest.raises(TypeError, match=r"got MyStr\)$"):
        python_identifier_to_type_key(MyStr(""))


# ---------------------------------------------------------------- module surface


def test_module_binds_any_and_re():
    assert naming.Any is typing.Any
    assert naming.re is re


@pytest.mark.parametrize(
    "func, signature",
    [
        (display_class_name, "(a: 'Any') -> 'str'"),
        (display_value, "(value: 'Any', value_length: 'int' = 25) -> 'str'"),
        (python_identifier_to_type_key, "(name: 'str') -> 'str'"),
    ],
)
def test_signatures(func, signature):
    sig = inspect.signature(func)
    assert str(sig) == signature
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())


@pytest.mark.parametrize(
    "func, first_line, mentions",
    [
        (
            display_class_name,
            "Return a human-readable name for a class type.",
            ["Used in order to keep the same representation for classes."],
        ),
        (
            display_value,
            "Display a value as a human-readable string that is truncated in order to not flood the logs.",
            [],
        ),
        (
            python_identifier_to_type_key,
            "Convert CamelCase or mixedCase identifiers to snake_case.",
            [
                "treat existing underscores as word boundaries",
                "do not introduce duplicate underscores",
                "preserve leading underscores",
                "lowercase the result",
            ],
        ),
    ],
)
def test_docstrings(func, first_line, mentions):
    doc = inspect.getdoc(func)
    assert doc.splitlines()[0] == first_line
    for text in mentions:
        assert text.lower() in doc.lower()
