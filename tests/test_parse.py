"""Tests for the typed parse dispatcher nimbrel.quorvel.data.parse."""

import collections
import enum
import inspect
import re
import subprocess
import sys
import types
import typing
import warnings
from typing import Annotated, Any, ClassVar, Generic, Literal, Optional, TypeVar, Union

import pytest
import typing_extensions

from conftest import unchanged
from nimbrel.quorvel.core import exceptions, naming
from nimbrel.quorvel.core.exceptions import (
    QuorvelError, QuorvelParseError, QuorvelTypeResolutionError, QuorvelUserError, QuorvelValidationError,
)
from nimbrel.quorvel.core.naming import display_class_name
from nimbrel.quorvel.data import base, content_core, parse
from nimbrel.quorvel.data.content_core import BaseConfigurableData, build_defaults
from nimbrel.quorvel.data.enum_content import ConfigEnum
from nimbrel.quorvel.data.json_content import ConfigUntypedDict
from nimbrel.quorvel.data.list_content import ConfigList
from nimbrel.quorvel.data.optional_content import ConfigOptional
from nimbrel.quorvel.data.parse import from_defaults
from nimbrel.quorvel.data.union_content import ConfigUnion
from nimbrel.quorvel.fields.field_models import FieldString
from nimbrel.quorvel.typing import type_lookup

T = TypeVar("T")
LIST_WARNING = "Passing list[...] is discouraged. Please use ConfigList[...] in the future!"
NONE_DICT_TAIL = (', got None. If optional, pass ConfigOptional[...] wrapper: {{"default": false}} or '
                  '{{"default": true, "content": {{...}}}}.')
DICT_KEYS = ("Dict keys must be primitive types or Enum. Other BaseConfigurableData keys are not supported "
             "because keys must be stable and JSON-like.")


class MyDict(dict):
    pass


class MyList(list):
    pass


class Color(enum.Enum):
    RED = "r"
    GREEN = "g"


class Level(enum.IntEnum):
    LOW = 1
    HIGH = 2


class ParseShade(ConfigEnum):
    DARK = "dark"
    LIGHT = "light"


class ParseProbe(BaseConfigurableData):
    """Keyword-only parser that records what it was given."""

    calls: ClassVar[list] = []

    @classmethod
    def build_field_for_type(cls, value=None, type_specification=None, name=None, metadata=None):
        return FieldString(name=name or "probe")

    @classmethod
    def from_defaults(cls, *, data, alias):
        ParseProbe.calls.append((cls, data, alias))
        return cls()


class ParseKeyedProbe(ParseProbe):
    @classmethod
    def type_key(cls):
        return "keyed_parse_probe"


class ParseBox(ParseProbe, Generic[T]):
    pass


class ParseFailure(BaseConfigurableData):
    error: ClassVar[BaseException] = ValueError("bad data")

    @classmethod
    def build_field_for_type(cls, value=None, type_specification=None, name=None, metadata=None):
        return FieldString(name=name or "failure")

    @classmethod
    def from_defaults(cls, data, alias=None):
        raise cls.error


class ParseBoxFailure(ParseFailure, Generic[T]):
    pass


@pytest.fixture(autouse=True)
def _fresh_calls():
    ParseProbe.calls.clear()


def recording(monkeypatch, cls, error=None):
    """Wrap cls.from_defaults so that the (cls, data, alias) of every call is kept."""
    original = cls.__dict__["from_defaults"].__func__
    calls = []

    def wrapper(klass, data, alias=None):
        calls.append((klass, data, alias))
        if error is not None:
            raise error
        return original(klass, data, alias)

    monkeypatch.setattr(cls, "from_defaults", classmethod(wrapper))
    return calls


def test_module_names_in_order():
    names = ["UnionType", "TYPE_CHECKING", "Any", "Type", "TypeVar", "Union", "cast", "get_args", "get_origin",
             "overload", "Enum", "TypeForm", "warn", "PrimitiveArgs", "AliasContainerType", "BaseConfigurableData",
             "ConfigValue", "WrapperAlias", "QuorvelError", "QuorvelParseError", "QuorvelTypeResolutionError",
             "QuorvelUserError", "display_class_name", "get_implementation", "resolve_generic_arg",
             "type_key_class", "CT", "K", "V", "CU", "CO", "L", "from_defaults"]
    from_defaults(int | None, 5)  # the content kinds are imported inside the call, not into the module
    assert [n for n in vars(parse) if not n.startswith("__")] == names
    assert parse.UnionType is types.UnionType and parse.TYPE_CHECKING is False and parse.Any is typing.Any
    for name in ("Type", "TypeVar", "Union", "cast", "get_args", "get_origin", "overload"):
        assert getattr(parse, name) is getattr(typing, name)
    assert parse.Enum is enum.Enum and parse.TypeForm is typing_extensions.TypeForm and parse.warn is warnings.warn
    assert parse.PrimitiveArgs is base.PrimitiveArgs
    for name in ("AliasContainerType", "BaseConfigurableData", "ConfigValue", "WrapperAlias"):
        assert getattr(parse, name) is getattr(content_core, name)
    for name in ("QuorvelError", "QuorvelParseError", "QuorvelTypeResolutionError", "QuorvelUserError"):
        assert getattr(parse, name) is getattr(exceptions, name)
    assert parse.display_class_name is naming.display_class_name
    for name in ("get_implementation", "resolve_generic_arg", "type_key_class"):
        assert getattr(parse, name) is getattr(type_lookup, name)


@pytest.mark.parametrize("name, bounded", [("CT", True), ("K", False), ("V", False), ("CU", True), ("CO", True),
                                           ("L", True)])
def test_type_variables(name, bounded):
    tv = getattr(parse, name)
    assert type(tv) is TypeVar and tv.__name__ == name
    assert tv.__bound__ == (content_core.ConfigValue if bounded else None)
    assert tv.__constraints__ == ()


def test_signature_and_docstring():
    assert str(inspect.signature(from_defaults)) == (
        "(alias: 'Type[Any] | AliasContainerType | str', data: 'Any') -> 'Any'")
    doc = " ".join(from_defaults.__doc__.split())
    assert doc.startswith("Create an instance from UI defaults data.")
    assert "get_origin/get_args" in doc and "Raises:" in doc
    assert "QuorvelError: If the input cannot be parsed for this type." in doc
    assert from_defaults(alias=int, data=3) == 3 and from_defaults(int, 3) == 3


# --- string aliases ---------------------------------------------------------------------------------------------

@pytest.mark.parametrize("key, cls", [("parse_probe", ParseProbe), ("keyed_parse_probe", ParseKeyedProbe),
                                      ("parse_box", ParseBox)])
def test_string_alias_looks_up_class_by_type_key(key, cls):
    data = {"k": [1]}
    with pytest.warns(DeprecationWarning) as record:
        line = inspect.currentframe().f_lineno + 1
        result = from_defaults(key, data)
    assert type(result) is cls and ParseProbe.calls == [(cls, data, cls)] and ParseProbe.calls[0][1] is data
    assert len(record) == 1
    warning = record[0]
    assert str(warning.message) == f"Passing string type annotations into from_defaults is deprecated, got {key!r}"
    assert (warning.filename, warning.lineno) == (__file__, line)


@pytest.mark.parametrize("alias", ["list[int]", "a]", "int | str", "MyUnionThing", "Optional", "mylist",
                                   "dict[str, int]", "tuple", "parse_probe[int]"])
def test_string_alias_with_generic_tokens(alias):
    with warnings.catch_warnings(record=True) as record:
        warnings.simplefilter("always")
        with pytest.raises(QuorvelError) as err:
            from_defaults(alias, 1)
    assert str(err.value) == (f"String annotation {alias!r} is not supported here because generics cannot be "
                              "recovered.")
    assert [w.category for w in record] == [DeprecationWarning] and record[0].filename == __file__
    assert ParseProbe.calls == []


@pytest.mark.parametrize("alias", ["int", "dict", "no_such_content"])
def test_string_alias_without_class(alias):
    with pytest.warns(DeprecationWarning), pytest.raises(QuorvelUserError) as err:
        from_defaults(alias, 1)
    assert str(err.value) == f"Class for {alias} not found."


def test_string_alias_failure_names_the_string(monkeypatch):
    monkeypatch.setattr(ParseFailure, "error", KeyError("k"))
    with pytest.warns(DeprecationWarning), pytest.raises(QuorvelParseError) as err:
        from_defaults("parse_failure", 7)
    assert str(err.value) == "Failed to parse parse_failure from <class 'int'>."
    assert err.value.__cause__ is ParseFailure.error


class ReprHandlesErrors(type):
    """A metaclass whose repr raises and handles an error of its own."""

    def __repr__(cls):
        try:
            raise KeyError("inside repr")
        except KeyError:
            pass
        return "<quiet repr>"


class QuietReprDict(dict, metaclass=ReprHandlesErrors):
    pass


def test_guarded_failure_keeps_its_cause_while_the_message_runs_code(monkeypatch):
    # The message shows the data's type, whose repr may run code that handles
    # errors of its own: the failure being wrapped must survive that.
    error = ValueError("bad data")
    monkeypatch.setattr(ParseFailure, "error", error)
    with pytest.raises(QuorvelParseError) as err:
        from_defaults(ParseFailure, QuietReprDict())
    assert str(err.value) == "Failed to parse ParseFailure from <quiet repr>."
    assert err.value.__cause__ is error and err.value.__context__ is error


# --- bare containers, primitives, unsupported annotations ------------------------------------------------------

@pytest.mark.parametrize("alias", [list, tuple])
def test_bare_list_and_tuple(alias):
    with pytest.raises(QuorvelError) as err:
        from_defaults(alias, [1])
    assert str(err.value) == (f"Bare container {alias!r} is not allowed in annotations. Use ConfigList[T] or "
                              "tuple[...] as appropriate.")


def test_bare_dict_goes_to_untyped_dict_unguarded(monkeypatch):
    data = {"a": {"b": 1}}
    result = from_defaults(dict, data)
    assert type(result) is ConfigUntypedDict and result == data and result["a"] is data["a"]
    with pytest.raises(QuorvelValidationError, match=r"^Expected dict for ConfigUntypedDict, got None\.$"):
        from_defaults(dict, None)
    failure = ValueError("not wrapped")
    recording(monkeypatch, ConfigUntypedDict, failure)
    with pytest.raises(ValueError) as err:
        from_defaults(dict, data)
    assert err.value is failure


@pytest.mark.parametrize("alias, data", [(int, 5), (int, "5"), (str, 5), (bool, 0), (float, [1]), (str, None),
                                         (int, (1, 2)), (bool, object())])
def test_primitives_are_returned_unchanged(alias, data):
    assert from_defaults(alias, data) is data


@pytest.mark.parametrize("alias, data", [(int, {"a": 1}), (str, {}), (bool, MyDict(x=1))])
def test_primitives_reject_dicts(alias, data):
    with pytest.raises(QuorvelError) as err:
        from_defaults(alias, data)
    assert str(err.value) == f"Primitive values must be passed directly, not wrapped in dicts (got {data!r})."


@pytest.mark.parametrize("alias", [set[int], frozenset[str], Literal["a"], Annotated[int, "x"],
                                   typing.Callable[[int], int]])
def test_unsupported_origin(alias):
    with pytest.raises(QuorvelTypeResolutionError) as err:
        from_defaults(alias, 1)
    assert str(err.value) == f"Unsupported origin {typing.get_origin(alias)!r} for alias {alias!r}."


@pytest.mark.parametrize("alias, data", [(object, 1), (None, "x"), (Any, 1), (3, [1]), (MyList, [1]),
                                         (type(None), None)])
def test_unsupported_alias(alias, data):
    with pytest.raises(QuorvelTypeResolutionError) as err:
        from_defaults(alias, data)
    assert str(err.value) == f"Unsupported alias {alias!r} for data of type {type(data)!r}."


# --- content classes and guarded delegation ----------------------------------------------------------------------

def test_content_classes_get_data_and_alias_by_keyword():
    data = {"nested": [1]}
    assert type(from_defaults(ParseProbe, data)) is ParseProbe
    assert type(from_defaults(ParseBox[int], data)) is ParseBox
    assert ParseProbe.calls == [(ParseProbe, data, ParseProbe), (ParseBox, data, ParseBox[int])]
    assert all(call[1] is data for call in ParseProbe.calls)
    result = from_defaults(ConfigList[int], [1, {"content": 2}])
    assert type(result) is ConfigList[int] and result == [1, 2]


@pytest.mark.parametrize("error", [ValueError("v"), KeyError("k"), TypeError("t"), RuntimeError("r"),
                                   type("Custom", (Exception,), {})("c")])
@pytest.mark.parametrize("alias", [ParseFailure, ParseBoxFailure[int]])
def test_foreign_exceptions_become_parse_errors(monkeypatch, alias, error):
    monkeypatch.setattr(ParseFailure, "error", error)
    with pytest.raises(QuorvelParseError) as err:
        from_defaults(alias, [1])
    assert str(err.value) == f"Failed to parse {display_class_name(alias)} from <class 'list'>."
    assert err.value.__cause__ is error and err.value.__suppress_context__ is True


class ShownByMeta(type):
    def __repr__(cls):
        return "<shown by its metaclass>"


class MetaShown(metaclass=ShownByMeta):
    pass


@pytest.mark.parametrize("alias", [ParseFailure, ParseBoxFailure[int]])
def test_foreign_error_is_held_aside_while_the_data_class_is_shown(monkeypatch, alias):
    # repr of the data's class runs Python code, which must not find the caught error still raised.
    error = KeyError("k")
    monkeypatch.setattr(ParseFailure, "error", error)
    with pytest.raises(QuorvelParseError) as err:
        from_defaults(alias, MetaShown())
    assert str(err.value) == f"Failed to parse {display_class_name(alias)} from <shown by its metaclass>."
    assert err.value.__cause__ is error and err.value.__suppress_context__ is True


@pytest.mark.parametrize("error", [QuorvelError("a"), QuorvelValidationError("b"), QuorvelParseError("c"),
                                   QuorvelUserError("d"), KeyboardInterrupt(), SystemExit(3),
                                   type("Halt", (BaseException,), {})()])
def test_library_and_base_exceptions_pass_unchanged(monkeypatch, error):
    monkeypatch.setattr(ParseFailure, "error", error)
    for alias in (ParseFailure, ParseBoxFailure[str], ParseFailure | None):
        with pytest.raises(type(error)) as err:
            from_defaults(alias, {"default": True, "content": 1})
        assert err.value is error and err.value.__cause__ is None


# --- unions ---------------------------------------------------------------------------------------------------

DEFAULT_TRUE = {"default": True, "content": 5}


@pytest.mark.parametrize("alias", [int | None, Optional[int], Union[None, int]])
@pytest.mark.parametrize("data, used, same", [(None, {"default": False}, False),
                                              (5, {"default": True, "content": 5}, False),
                                              (DEFAULT_TRUE, DEFAULT_TRUE, True),
                                              ({"default": 0}, {"default": 0}, True)])
def test_optional_union_normalises_data(monkeypatch, alias, data, used, same):
    calls = recording(monkeypatch, ConfigOptional)
    with unchanged(data):
        result = from_defaults(alias, data)
    assert len(calls) == 1
    cls, got, got_alias = calls[0]
    assert cls is ConfigOptional and got_alias is ConfigOptional[int]
    assert got == used and type(got) is dict and (got is data) is same
    assert isinstance(result, ConfigOptional) and result.content == (5 if used.get("default") else None)


def test_optional_union_wraps_dict_without_default(monkeypatch):
    calls = recording(monkeypatch, ConfigOptional)
    for data in ({"x": 1}, MyDict(x=2), {}):
        result = from_defaults(ParseProbe | None, data)
        assert calls[-1][1] == {"default": True, "content": data} and calls[-1][1]["content"] is data
        assert calls[-1][2] is ConfigOptional[ParseProbe] and type(result.content) is ParseProbe
    assert [c[1] for c in ParseProbe.calls] == [{"x": 1}, {"x": 2}, {}]
    assert ParseProbe.calls[1][1].__class__ is MyDict


def test_optional_union_of_several_members(monkeypatch):
    calls = recording(monkeypatch, ConfigOptional)
    data = {"default": True, "content": {"selection": "str", "str": "a"}}
    result = from_defaults(int | str | None, data)
    assert calls[0][2] is ConfigOptional[ConfigUnion[int | str]]
    assert type(result.content) is ConfigUnion[int | str] and result.content.content == "a"
    assert from_defaults(Union[int, None, str], None).content is None
    assert calls[-1][2] is ConfigOptional[ConfigUnion[int | str]]


def test_union_without_none(monkeypatch):
    calls = recording(monkeypatch, ConfigUnion)
    data = {"selection": "int", "int": 5, "ignored": 1}
    result = from_defaults(int | str, data)
    assert calls == [(ConfigUnion, data, ConfigUnion[int | str])] and calls[0][1] is data
    assert isinstance(result, ConfigUnion) and result.content == 5
    assert from_defaults(Union[int, str], {"selection": "str", "str": "x"}).content == "x"


@pytest.mark.parametrize("data", [5, None, "x", [{"selection": "int", "int": 1}]])
def test_union_without_none_needs_a_dict(data):
    with pytest.raises(QuorvelUserError) as err:
        from_defaults(int | str, data)
    assert str(err.value) == "Data for ConfigUnion has to be a dict."


@pytest.mark.parametrize("alias, data", [(int | str, MyDict(selection="int", int=1)),
                                         (int | None, MyDict(default=True, content=1)),
                                         (int | str | None, type("OtherDict", (dict,), {})(default=False))])
def test_union_rejects_dict_subclasses(alias, data):
    with pytest.raises(TypeError) as err:
        from_defaults(alias, data)
    assert str(err.value) == f"Expected dict, got {type(data).__name__}"


@pytest.mark.parametrize("alias, target, data, shown", [
    (int | None, ConfigOptional, 5, ConfigOptional[int]),
    (int | None, ConfigOptional, None, ConfigOptional[int]),
    (int | str | None, ConfigOptional, "s", ConfigOptional[ConfigUnion[int | str]]),
    (int | str, ConfigUnion, {"selection": "int"}, ConfigUnion[int | str]),
])
def test_union_guard_names_rebound_alias(monkeypatch, alias, target, data, shown):
    failure = LookupError("inner")
    recording(monkeypatch, target, failure)
    with pytest.raises(QuorvelParseError) as err:
        from_defaults(alias, data)
    assert str(err.value) == f"Failed to parse {display_class_name(shown)} from {type(data)!r}."
    assert err.value.__cause__ is failure


# --- list[...] ------------------------------------------------------------------------------------------------

def test_list_alias_becomes_config_list():
    data = [1, {"content": 2}]
    with warnings.catch_warnings(record=True) as record:
        warnings.simplefilter("always")
        line = inspect.currentframe().f_lineno + 1
        result = from_defaults(list[int], data)
    assert type(result) is ConfigList[int] and result == [1, 2] and data == [1, {"content": 2}]
    assert [(w.category, str(w.message)) for w in record] == [(UserWarning, LIST_WARNING)]
    assert (record[0].filename, record[0].lineno) == (__file__, line)
    with pytest.warns(UserWarning, match=r"^Passing list\[\.\.\.\] is discouraged"):
        probes = from_defaults(list[ParseProbe], [{"content": "a"}, "b"])
    assert type(probes) is ConfigList[ParseProbe] and [c[1] for c in ParseProbe.calls] == ["a", "b"]


@pytest.mark.parametrize("alias, data, message", [
    (list[int], None, "None is not valid for list[int]. Use ConfigOptional[...] if the value is optional."),
    (list[int], (1,), "Expected list data for list[int], got <class 'tuple'>."),
    (list[int], {"content": 1}, "Expected list data for list[int], got <class 'dict'>."),
    (list[T], [1], "Unsupported list alias list[~T]. Please use ConfigList[T]."),
])
def test_list_alias_errors_after_warning(alias, data, message):
    with warnings.catch_warnings(record=True) as record:
        warnings.simplefilter("always")
        with pytest.raises(QuorvelError) as err:
            from_defaults(alias, data)
    assert str(err.value) == message and [w.category for w in record] == [UserWarning]


def test_list_alias_guarded_delegation(monkeypatch):
    with pytest.warns(UserWarning), pytest.raises(QuorvelParseError) as err:
        from_defaults(list[int], MyList([1]))
    assert str(err.value) == f"Failed to parse list from {MyList!r}."
    assert type(err.value.__cause__) is TypeError and str(err.value.__cause__) == "Expected list, got MyList"
    failure = ValueError("x")
    calls = recording(monkeypatch, ConfigList, failure)
    with pytest.warns(UserWarning), pytest.raises(QuorvelParseError) as err:
        from_defaults(list[str], ["a"])
    assert err.value.__cause__ is failure and calls == [(ConfigList[str], ["a"], ConfigList[str])]


# --- tuple[...] -----------------------------------------------------------------------------------------------

@pytest.mark.parametrize("alias, data", [(tuple[int, str], (1, "a")), (tuple[int, ...], ()),
                                         (tuple[int, ...], (1, "2", 3.0)), (tuple[str], ("x",)),
                                         (tuple[()], ()), (tuple[int, bool, str], (1, False, "s"))])
def test_tuples_are_rebuilt(alias, data):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        result = from_defaults(alias, data)
    assert type(result) is tuple and result == data
    assert all(a is b for a, b in zip(result, data))


def test_tuple_elements_are_parsed_by_their_alias():
    result = from_defaults(tuple[ParseProbe, int, Color], ({"p": 1}, 2, "g"))
    assert type(result[0]) is ParseProbe and result[1:] == (2, Color.GREEN)
    assert [type(x) for x in from_defaults(tuple[ParseProbe, ...], ("a", "b"))] == [ParseProbe, ParseProbe]
    assert [c[1] for c in ParseProbe.calls] == [{"p": 1}, "a", "b"]
    with pytest.raises(QuorvelError, match=r"^Primitive values must be passed directly"):
        from_defaults(tuple[int, ...], (1, {"x": 1}))


# --- dict[K, V] -----------------------------------------------------------------------------------------------

def test_dicts_are_rebuilt():
    data = {"a": 1, "b": 2}
    result = from_defaults(dict[str, int], data)
    assert type(result) is dict and result == data and result is not data and list(result) == ["a", "b"]
    ordered = from_defaults(collections.OrderedDict[str, int], collections.OrderedDict(x=1))
    assert type(ordered) is dict and ordered == {"x": 1}
    nested = from_defaults(dict[int, tuple[int, ...]], {1: (2, 3)})
    assert nested == {1: (2, 3)}


@pytest.mark.parametrize("alias", [dict[Color, int], dict[Level, int], dict[ParseShade, int]])
def test_enum_keys_are_parsed(alias):
    members = list(typing.get_args(alias)[0])
    data = {members[0].value: 1, members[1].name: 2, members[0]: 3}
    result = from_defaults(alias, data)
    assert result == {members[0]: 3, members[1]: 2} and list(result) == [members[0], members[1]]
    assert all(type(k) is typing.get_args(alias)[0] for k in result)


def test_dict_key_parsed_before_value():
    with pytest.raises(QuorvelError) as err:
        from_defaults(dict[Color, int], {"blue": {"x": 1}})
    assert str(err.value) == "Invalid Color: 'blue'"


@pytest.mark.parametrize("items, expected", [
    ([["a", 1], "b2"], {"a": 1, "b": "2"}),
    ([5], TypeError("cannot unpack non-iterable int object")),
    ([(1, 2, 3)], ValueError("too many values to unpack (expected 2, got 3)")),
    (["a"], ValueError("not enough values to unpack (expected 2, got 1)")),
])
def test_dict_subclass_items_are_unpacked_like_a_for_loop(items, expected):
    class Listed(dict):
        def items(self):
            return items

    if isinstance(expected, Exception):
        with pytest.raises(type(expected), match=f"^{re.escape(str(expected))}$"):
            from_defaults(dict[str, Any], Listed(x=1))
    else:
        assert from_defaults(dict[str, Any], Listed(x=1)) == expected


def test_dict_items_emptied_while_a_key_parses():
    shared = []

    class Emptying(enum.Enum):
        A = "a"

        @classmethod
        def _missing_(cls, value):
            shared.clear()  # frees the pairs the items() list held
            return cls.A

    class Sneaky(dict):
        def items(self):
            shared[:] = [tuple([f"z{n}", n]) for n in range(3)]
            return shared

    assert from_defaults(dict[Emptying, int], Sneaky(x=1)) == {Emptying.A: 0}


def test_any_values_are_kept_as_they_are():
    value, other = {"deep": [1, {"x": object()}]}, object()
    result = from_defaults(dict[str, Any], {"a": value, "b": other})
    assert result == {"a": value, "b": other} and result["a"] is value and result["b"] is other
    keyed = from_defaults(dict[Color, Any], {"r": value})
    assert keyed == {Color.RED: value} and keyed[Color.RED] is value


@pytest.mark.parametrize("alias", [dict[ParseProbe, int], dict[ConfigUntypedDict, str], dict[list[int], int],
                                   dict[ConfigList[int], int], typing.Dict])
@pytest.mark.parametrize("data", [{"a": 1}, None, [1]])
def test_dict_keys_must_be_primitive_or_enum(alias, data):
    with pytest.raises(QuorvelError) as err:
        from_defaults(alias, data)
    assert str(err.value) == DICT_KEYS and ParseProbe.calls == []


@pytest.mark.parametrize("alias, data, message", [
    (tuple[int, str], None, "None is not valid for tuple[int, str]. Use ConfigOptional[...] if the value is "
                            "optional."),
    (tuple[int, str], {1: "a"}, "Expected tuple data for tuple[int, str], got <class 'dict'>."),
    (tuple[int, str], [1], "Expected tuple of length 2 for tuple[int, str], got length 1."),
    (tuple[int, str], (1,), "Expected tuple of length 2 for tuple[int, str], got length 1."),
    (tuple[()], (1,), "Expected tuple of length 0 for tuple[()], got length 1."),
    (tuple[..., int], (1,), "Ellipsis argument is only allowed in conjunction with a simple type (f.i. "
                            "tuple[int, ...]). Found (Ellipsis, <class 'int'>) ."),
    (tuple[int, int, ...], (1, 2), "Ellipsis argument is only allowed in conjunction with a simple type (f.i. "
                                   "tuple[int, ...]). Found (<class 'int'>, <class 'int'>, Ellipsis) ."),
    (dict[str, None], {}, "Dict alias dict[str, None] must be parametrised as dict[K, V]."),
    (dict[None, int], {}, "Dict alias dict[None, int] must be parametrised as dict[K, V]."),
    (dict[str, int], None, "Expected dict data for dict[str, int]" + NONE_DICT_TAIL),
    (dict[str, int], [("a", 1)], "Expected dict data for dict[str, int], got <class 'list'>."),
])
def test_tuple_and_dict_errors(alias, data, message):
    with pytest.raises(QuorvelError) as err:
        from_defaults(alias, data)
    assert str(err.value) == message


# --- plain enumerations ---------------------------------------------------------------------------------------

@pytest.mark.parametrize("alias, data, expected", [
    (Color, Color.RED, Color.RED), (Color, "g", Color.GREEN), (Color, "GREEN", Color.GREEN),
    (Color, {"value": "g"}, Color.GREEN), (Color, {"default": "r"}, Color.RED),
    (Color, {"value": "r", "default": "g"}, Color.RED), (Color, {"value": "RED"}, Color.RED),
    (Level, 2, Level.HIGH), (Level, "LOW", Level.LOW), (Level, Level.LOW, Level.LOW),
    (ParseShade, "LIGHT", ParseShade.LIGHT),
])
def test_enum_alias(alias, data, expected):
    assert from_defaults(alias, data) is expected


@pytest.mark.parametrize("data, shown", [("blue", "blue"), ({}, {}), ({"value": "x"}, "x"), (3, 3),
                                         ({"default": None}, None)])
def test_enum_alias_rejects(data, shown):
    with pytest.raises(QuorvelError) as err:
        from_defaults(Color, data)
    assert str(err.value) == f"Invalid Color: {shown!r}"
    assert isinstance(err.value.__context__, ValueError)


@pytest.mark.parametrize("alias, data, message", [
    (int, {"a": 10**5000}, "Primitive values must be passed directly, not wrapped in dicts (got <dict>)."),
    (str, {10**5000: None}, "Primitive values must be passed directly, not wrapped in dicts (got <dict>)."),
    (Color, -(10**5000), "Invalid Color: <int>"),
    (Color, {"value": [10**5000]}, "Invalid Color: <list>"),
], ids=["primitive", "primitive_key", "enum", "enum_value"])
def test_data_without_a_repr_is_shown_by_display_value(monkeypatch, alias, data, message):
    # repr of an int past the digit limit raises ValueError; the message must still be built.
    monkeypatch.setattr(naming, "display_value", lambda value, value_length=25: f"<{type(value).__name__}>")
    with pytest.raises(QuorvelError) as err:
        from_defaults(alias, data)
    assert str(err.value) == message


def test_enum_member_defaults_are_values():
    assert build_defaults(Color.GREEN) == "g" and build_defaults(Level.HIGH) == 2


# --- import order -----------------------------------------------------------------------------------------------

@pytest.mark.parametrize("module", ["parse", "list_content", "optional_content", "union_content",
                                    "record_content"])
def test_any_module_can_be_imported_first(module):
    script = "\n".join([
        f"import nimbrel.quorvel.data.{module}",
        "import dataclasses, warnings",
        "from nimbrel.quorvel.data.parse import from_defaults",
        "from nimbrel.quorvel.data.record_content import ConfigData",
        "from nimbrel.quorvel.data.list_content import ConfigList",
        "warnings.simplefilter('ignore')",
        "@dataclasses.dataclass",
        "class Rec(ConfigData):",
        "    n: int | None = None",
        "    xs: ConfigList[str] = dataclasses.field(default_factory=lambda: ConfigList[str]())",
        "value = from_defaults(Rec, {'n': 4, 'xs': [{'content': 'a'}]})",
        "assert value.build_defaults() == {'n': {'default': True, 'content': 4}, 'xs': [{'content': 'a'}]}",
        "assert Rec.from_defaults(value.build_defaults()).build_defaults() == value.build_defaults()",
        "assert from_defaults(int | str, {'selection': 'str', 'str': 's'}).content == 's'",
        "assert from_defaults(list[int], [1]) == [1]",
        "print('round trip ok')",
    ])
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "round trip ok"


@pytest.mark.parametrize("alias", [ConfigList[int], ConfigOptional[int]])
def test_library_errors_pass_without_naming_the_alias(alias, monkeypatch):
    def broken(a):
        raise RuntimeError("display broke")

    # The alias's display name is only needed to wrap a foreign error.
    monkeypatch.setattr(parse, "display_class_name", broken)
    with pytest.raises(QuorvelParseError, match="^Expected (list|dict) data for"):
        from_defaults(data=5, alias=alias)
