"""Tests for the union content nimbrel.quorvel.data.union_content."""

import dataclasses
import inspect
import types
import typing
from typing import ClassVar, Generic, TypeVar, Union

import pytest

from conftest import unchanged
from nimbrel.quorvel.core import naming
from nimbrel.quorvel.core.exceptions import (
    QuorvelError, QuorvelImplementationError, QuorvelMetadataError, QuorvelParseError, QuorvelTypeResolutionError,
    QuorvelValidationError,
)
from nimbrel.quorvel.data import content_core, parse, serialize, union_content as uc
from nimbrel.quorvel.data.content_core import BaseConfigurableData
from nimbrel.quorvel.data.list_content import ConfigList
from nimbrel.quorvel.data.record_content import ConfigData
from nimbrel.quorvel.data.union_content import ConfigUnion
from nimbrel.quorvel.fields import field_models
from nimbrel.quorvel.fields.field_models import FieldBool, FieldData, FieldInteger, FieldString, FieldUnion
from nimbrel.quorvel.typing import type_lookup
from nimbrel.quorvel.typing.generic_params import GenericWithArgs

ARG_ERR = "Argument '{}' has incorrect type (expected {}, got {})"
NOT_CONFIG = "type must be BaseConfigurableData subclass or PrimitiveType, got {!r}."
MEMBER_ERR = "{} parameter must be PrimitiveType or BaseConfigurableData: "
EMPTY_UNION = types.GenericAlias(Union, ())
MyStr, MyDict = type("MyStr", (str,), {}), type("MyDict", (dict,), {})
D = "ConfigUnion[...]"
CLASS_DOC = (
    "Templated union of multiple types selectable via UI.\n\n    Allowed:\n"
    "    - ConfigUnion[A | B | ...] where A, B, ... are of type BaseConfigurableData or PrimitiveTypes.\n"
    "    - ConfigUnion[Union[A, ...]] where A, ... are of type BaseConfigurableData or PrimitiveTypes.\n\n"
    "    Example allowed:\n        - ConfigUnion[Union[A, int]]\n        - ConfigUnion[Union[int]]\n"
    "        - ConfigUnion[int | A]\n\n    Example disallowed:\n         - ConfigUnion[int | type(None)]\n"
    "         - ConfigUnion[X | A] where X is neither of type BaseConfigurableData or PrimitiveTypes\n"
    "         - ConfigUnion[Union[X, A]] where X is neither of type BaseConfigurableData or PrimitiveTypes\n"
    "         - ConfigUnion (without parameters). This cannot be checked at annotation time, but at instantiation\n"
    "         - ConfigUnion[A] where A is arbitrary (can be BaseConfigurableData or PrimitiveTypes).\n    ")
PARSE_DOC = ("Create an instance from UI defaults data.\n\n        Raises:\n"
             "            QuorvelError: If the input cannot be parsed for this type.\n        ")
GETITEM_DOC = "Validate generic argument at alias creation time.\n\n        This explicitly disallows Annotated for now.\n        "
MEMBERS_DOC = ("Simple utility function that checks the member args and returns them.\n\n"
               "        Given ConfigUnion[Union[A, ...]] or ConfigUnion[A | B | ...] this returns [A, B, ...] and "
               "checks that they\n        adhere to the constraints formulated in the type annotations.\n        ")


@dataclasses.dataclass
class UnionCam(ConfigData):
    host: str = "localhost"
    port: int = 80


@dataclasses.dataclass
class UnionWeird(ConfigData):
    @classmethod
    def from_defaults(cls, data, alias=None):
        return 42


@dataclasses.dataclass
class SameKeyFirst(ConfigData):
    @classmethod
    def type_key(cls):
        return "same_key"


@dataclasses.dataclass
class SameKeySecond(ConfigData):
    calls: ClassVar[list] = []

    @classmethod
    def type_key(cls):
        SameKeySecond.calls.append(cls)
        return "same_key"


class Halt(BaseException):
    pass


@dataclasses.dataclass
class Picky(ConfigUnion[int | str]):
    def __post_init__(self):
        if self.content in ("bad", 13):
            raise ValueError("bad content")
        if self.content == "lib":
            raise QuorvelValidationError("library says no")
        if self.content == "halt":
            raise Halt()


class Choice(ConfigUnion[int | str]):
    pass


class NoContent(ConfigUnion[int | str]):
    selected = property(lambda self: "int")


class KeylessUnion(ConfigUnion):
    broken = False

    @classmethod
    def type_key(cls):
        if cls.broken:
            raise TypeError("no key")
        return "keyless_union"


# ---------------------------------------------------------------- module and class shape


def test_module_layout():
    expected = {
        "dataclass": dataclasses.dataclass, "UnionType": types.UnionType, "TypeVar": typing.TypeVar,
        "Generic": typing.Generic, "Union": typing.Union, "get_origin": typing.get_origin,
        "get_args": typing.get_args, "Any": typing.Any, "Type": typing.Type,
        "ConfigValue": content_core.ConfigValue, "BaseConfigurableData": BaseConfigurableData,
        "WrapperAlias": content_core.WrapperAlias, "require_valid_config_type": content_core.require_valid_config_type,
        "require_valid_config_value": content_core.require_valid_config_value,
        "build_defaults": content_core.build_defaults, "from_defaults": parse.from_defaults,
        "build_field": serialize.build_field, "instantiate_field": serialize.instantiate_field,
        "QuorvelError": QuorvelError, "QuorvelMetadataError": QuorvelMetadataError,
        "QuorvelParseError": QuorvelParseError, "QuorvelTypeResolutionError": QuorvelTypeResolutionError,
        "QuorvelValidationError": QuorvelValidationError, "display_class_name": naming.display_class_name,
        "BaseField": field_models.BaseField, "FieldUnion": FieldUnion, "GenericWithArgs": GenericWithArgs,
        "resolve_generic_arg": type_lookup.resolve_generic_arg, "resolve_generic_args": type_lookup.resolve_generic_args,
        "type_key_class": type_lookup.type_key_class, "U": uc.U, "ConfigUnion": ConfigUnion,
    }
    assert [n for n in vars(uc) if n in expected] == list(expected)
    assert all(getattr(uc, n) is obj for n, obj in expected.items())
    assert isinstance(uc.U, TypeVar) and uc.U.__name__ == "U" and uc.U.__bound__ == content_core.ConfigValue


def test_class_shape():
    assert ConfigUnion.__bases__ == (GenericWithArgs, Generic, BaseConfigurableData)
    assert ConfigUnion.__orig_bases__ == (GenericWithArgs, Generic[uc.U], BaseConfigurableData)
    assert ConfigUnion.__doc__ == CLASS_DOC
    (field,) = dataclasses.fields(ConfigUnion)
    assert (field.name, field.type, field.default) == ("content", "ConfigValue | None", None)
    assert ConfigUnion.__hash__ is None
    with pytest.raises(TypeError):
        hash(ConfigUnion[int | str](1))
    assert ConfigUnion[int | str](1) == ConfigUnion[int | str](content=1) != ConfigUnion[int | str]("1")
    assert ConfigUnion[int | str]().content is None and ConfigUnion(3).content == 3
    names = ["content", "_contained_types", "selected", "build_field_for_type", "build_defaults", "from_defaults",
             "__class_getitem__"]
    assert [n for n in vars(ConfigUnion) if n in names] == names


@pytest.mark.parametrize("name, is_classmethod, text, doc", [
    ("_contained_types", True, "(cls, alias: 'WrapperAlias') -> 'list[Type[Any]]'", MEMBERS_DOC),
    ("build_field_for_type", True,
     "(cls: 'Type[ConfigUnion[U]]', value: 'ConfigUnion[U] | None' = None, type_specification: "
     "'WrapperAlias | None' = None, name: 'str | None' = None, metadata: 'dict[str, Any] | None' = None) "
     "-> 'FieldUnion | BaseField'", "Transform an instance of this class or None into the representation of this class."),
    ("build_defaults", False, "(self) -> 'dict[str, Any]'",
     "Create a nested default dictionary for representation in UI."),
    ("from_defaults", True,
     "(cls, data: 'dict[str, Any] | Any', alias: 'WrapperAlias | None' = None) -> 'ConfigUnion[U]'", PARSE_DOC),
    ("__class_getitem__", True, "(cls, item: 'Any') -> 'Any'", GETITEM_DOC),
])
def test_members(name, is_classmethod, text, doc):
    member = vars(ConfigUnion)[name]
    assert isinstance(member, classmethod) is is_classmethod
    func = getattr(member, "__func__", member)
    assert str(inspect.signature(func)) == text and func.__doc__ == doc


def test_selected_is_a_read_only_property():
    prop = vars(ConfigUnion)["selected"]
    assert isinstance(prop, property) and prop.fset is None and prop.fdel is None
    assert str(inspect.signature(prop.fget)) == "(self) -> 'str | None'"
    assert prop.fget.__doc__ == prop.__doc__ == "Return the identifier of the current selection."


# ---------------------------------------------------------------- subscription and member resolution


def test_subscription_accepts_unions():
    assert ConfigUnion[int | str] is ConfigUnion[int | str] and ConfigUnion[int | str].__type_args__ == (int | str,)
    assert ConfigUnion[Union[int, UnionCam]].__type_args__ == (int | UnionCam,)


@pytest.mark.parametrize("item, message, inner", [
    (int, f"ConfigUnion parameter must be Union[A, B, ...] or A | B | ..., got {int!r}.", None),
    (Union[int], f"ConfigUnion parameter must be Union[A, B, ...] or A | B | ..., got {int!r}.", None),
    ((int, str), f"ConfigUnion parameter must be Union[A, B, ...] or A | B | ..., got {(int, str)!r}.", None),
    (ConfigList[int], f"ConfigUnion parameter must be Union[A, B, ...] or A | B | ..., got {ConfigList[int]!r}.", None),
    (EMPTY_UNION, "ConfigUnion must have Union/UnionType arguments .", None),
    (int | list[int], MEMBER_ERR.format("ConfigUnion"), NOT_CONFIG.format(list[int])),
    (int | None, MEMBER_ERR.format("ConfigUnion"), NOT_CONFIG.format(type(None))),
    (Union[object, list[int]], MEMBER_ERR.format("ConfigUnion"), NOT_CONFIG.format(object)),
])
def test_subscription_rejects(item, message, inner):
    with pytest.raises(QuorvelTypeResolutionError) as err:
        ConfigUnion[item]
    assert str(err.value) == message + (inner or "")
    if inner is not None:
        assert isinstance(err.value.__context__, QuorvelError) and str(err.value.__context__) == inner
        assert err.value.__cause__ is None


@pytest.mark.parametrize("cls, alias, expected", [
    (ConfigUnion, ConfigUnion[int | str], [int, str]),
    (ConfigUnion[float | bool], types.GenericAlias(ConfigUnion, str | int), [str, int]),
    (ConfigUnion, ConfigUnion[bool | float].typing_alias(), list(ConfigUnion[bool | float].__type_args__[0].__args__)),
    (ConfigUnion, ConfigUnion[Union[int, UnionCam]], [int, UnionCam]),
    (ConfigUnion, ConfigUnion[int | ConfigList[int]], [int, ConfigList[int]]),
    (ConfigUnion, ConfigUnion[int | types.GenericAlias(ConfigList, int)], [int, ConfigList]),
    (Choice, Choice, [int, str]),
])
def test_contained_types(cls, alias, expected):
    result = cls._contained_types(alias)
    assert type(result) is list and result == expected


@pytest.mark.parametrize("cls, alias, message, inner", [
    (ConfigUnion, ConfigList[int], "Alias must be a ConfigUnion.", None),
    (ConfigUnion[int | str], int | str, f"Alias must be a {D}.", None),
    (ConfigUnion, ConfigUnion, "ConfigUnion parameter must be Union of PrimitiveTypes or BaseConfigurableData.", None),
    (ConfigUnion, types.GenericAlias(ConfigUnion, int),
     "ConfigUnion parameter must be Union of PrimitiveTypes or BaseConfigurableData.", None),
    (ConfigUnion, types.GenericAlias(ConfigUnion, EMPTY_UNION),
     "ConfigUnion must be of Union | UnionType with at least one argument.", None),
    (ConfigUnion[int | str], types.GenericAlias(ConfigUnion, int | list[str] | dict), MEMBER_ERR.format(D),
     NOT_CONFIG.format(list[str])),
])
def test_contained_types_errors(cls, alias, message, inner):
    with pytest.raises(QuorvelTypeResolutionError) as err:
        cls._contained_types(alias)
    assert str(err.value) == message + (inner or "")
    if inner is not None:
        assert isinstance(err.value.__context__, QuorvelError) and str(err.value.__context__) == inner
        assert err.value.__cause__ is None


# ---------------------------------------------------------------- selected and build_defaults


@pytest.mark.parametrize("value, key", [
    (ConfigUnion[int | str](5), "int"), (ConfigUnion[int | str]("a"), "str"), (ConfigUnion[int | str](), None),
    (ConfigUnion[int | bool](True), "bool"), (ConfigUnion[int | UnionCam](UnionCam()), "union_cam"),
    (Choice(2.5), "float"),
])
def test_selected(value, key):
    assert value.selected == key


@pytest.mark.parametrize("value", [ConfigUnion[int | str](object()), Choice(object())])
def test_selected_rejects_foreign_content(value):
    inner = f"value must be BaseConfigurableData or PrimitiveTypes, got {object!r}."
    for action in (lambda: value.selected, value.build_defaults):
        with pytest.raises(QuorvelValidationError) as err:
            action()
        assert str(err.value) == f"Invalid ConfigUnion content: {object!r}: {inner}."
        assert isinstance(err.value.__context__, QuorvelError) and str(err.value.__context__) == inner
        assert err.value.__cause__ is None


def test_selection_follows_replaced_content():
    value = ConfigUnion[int | str](1)
    value.content = "x"
    assert value.selected == "str" and value.build_defaults() == {"selection": "str", "str": "x"}


@pytest.mark.parametrize("value, expected", [
    (ConfigUnion[int | str](5), {"selection": "int", "int": 5}),
    (ConfigUnion[int | bool](False), {"selection": "bool", "bool": False}),
    (ConfigUnion[int | UnionCam](UnionCam("h")), {"selection": "union_cam", "union_cam": {"host": "h", "port": 80}}),
])
def test_build_defaults(value, expected):
    result = value.build_defaults()
    assert type(result) is dict and result == expected and list(result) == list(expected)


@pytest.mark.parametrize("value, message", [
    (ConfigUnion[int | str](), f"{D} needs an active selection."),
    (Choice(), "Choice needs an active selection."),
    (NoContent(), "NoContent selection 'int' has no content."),
])
def test_build_defaults_errors(value, message):
    with pytest.raises(QuorvelValidationError) as err:
        value.build_defaults()
    assert str(err.value) == message


# ---------------------------------------------------------------- from_defaults


@pytest.mark.parametrize("cls, data, alias, content", [
    (ConfigUnion[int | str], {"selection": "str", "str": "a"}, None, "a"),
    (ConfigUnion[int | str], {"selection": "int", "int": 1, "str": "x", "other": 0}, None, 1),
    (ConfigUnion[int | bool], {"selection": "int", "int": True}, None, True),
    (ConfigUnion[int | UnionCam], {"selection": "union_cam", "union_cam": {"port": 1}}, None, UnionCam(port=1)),
    (ConfigUnion[int | str], {"selection": "union_cam", "union_cam": {}}, ConfigUnion[int | UnionCam], UnionCam()),
    (ConfigUnion, {"selection": "int", "int": 4}, ConfigUnion[int | str], 4),
    (Choice, {"selection": "str", "str": "c"}, None, "c"),
])
def test_from_defaults(cls, data, alias, content):
    result = cls.from_defaults(data, alias)
    assert type(result) is cls and result.content == content and type(result.content) is type(content)


def test_from_defaults_round_trip_and_dispatcher():
    value = ConfigUnion[int | UnionCam](UnionCam("x", 2))
    assert ConfigUnion[int | UnionCam].from_defaults(value.build_defaults()) == value
    parsed = parse.from_defaults(data={"selection": "int", "int": 1}, alias=int | str)
    assert type(parsed) is ConfigUnion and parsed.content == 1


def test_selection_scan_stops_at_the_first_match():
    union = ConfigUnion[int | SameKeySecond]
    # The first use reads every member's key once, to check that they differ.
    union.from_defaults({"selection": "int", "int": 1})
    SameKeySecond.calls.clear()
    assert union.from_defaults({"selection": "int", "int": 1}).content == 1
    assert SameKeySecond.calls == []


@pytest.mark.parametrize("cls, data, error, message", [
    (ConfigUnion[int | str], {"selection": "float", "float": 1.0}, QuorvelValidationError,
     f"{D} selection 'float' is not a valid member."),
    (ConfigUnion[int | str], {"selection": "float"}, QuorvelValidationError, f"{D} selection 'float' is not a valid member."),
    (ConfigUnion[int | str], {"selection": "int"}, QuorvelValidationError,
     f"{D} selection 'int' is missing its content payload."),
    (ConfigUnion[int | str], {"selection": 1}, QuorvelParseError, f"{D} selection must be str, got {int!r}."),
    (ConfigUnion[int | str], {}, QuorvelValidationError, f"{D} requires an active selection."),
    (ConfigUnion[int | str], {"selection": None, "int": 1}, QuorvelValidationError, f"{D} requires an active selection."),
    (ConfigUnion[int | str], [1], QuorvelParseError, f"Expected dict data for {D}, got {list!r}."),
    (Choice, None, QuorvelParseError, f"Expected dict data for Choice, got {type(None)!r}."),
    (ConfigUnion[int | str], {"selection": "int", "int": "text"}, QuorvelValidationError,
     f"{D} selection 'int' produced incompatible content."),
    (ConfigUnion[int | UnionWeird], {"selection": "union_weird", "union_weird": {}}, QuorvelValidationError,
     f"{D} selection 'union_weird' produced incompatible content."),
    (ConfigUnion[int | UnionCam], {"selection": "union_cam", "union_cam": {"bad": 1}}, QuorvelValidationError,
     "Unexpected fields for UnionCam: ['bad']"),
    (ConfigUnion, "not a dict", QuorvelTypeResolutionError,
     "ConfigUnion parameter must be Union of PrimitiveTypes or BaseConfigurableData."),
    (Picky, {"selection": "str", "str": "lib"}, QuorvelValidationError, "library says no"),
])
def test_from_defaults_errors(cls, data, error, message):
    with pytest.raises(error) as err:
        cls.from_defaults(data)
    assert type(err.value) is error and str(err.value) == message and err.value.__cause__ is None


@pytest.mark.parametrize("data, tail", [
    ({"selection": "str", "str": "bad"}, "selection 'str' and content of type str."),
    ({"selection": "int", "int": 13}, "selection 'int' and content of type int."),
])
def test_from_defaults_wraps_foreign_constructor_errors(data, tail):
    with pytest.raises(QuorvelParseError) as err:
        Picky.from_defaults(data)
    assert str(err.value) == "Could not instantiate Picky with " + tail
    assert type(err.value.__cause__) is ValueError and str(err.value.__cause__) == "bad content"
    with pytest.raises(Halt):
        Picky.from_defaults({"selection": "str", "str": "halt"})


# ---------------------------------------------------------------- build_field_for_type


@pytest.mark.parametrize("value, selected, defaults", [
    (ConfigUnion[int | str]("a"), "str", [0, "a"]), (ConfigUnion[int | str](7), "int", [7, ""]),
    (None, None, [0, ""]), (ConfigUnion[int | str](), None, [0, ""]),
    (types.SimpleNamespace(selected="str", content="z"), "str", [0, "z"]),
    (types.SimpleNamespace(selected="int", content="z"), "int", [0, ""]),
])
def test_build_field(value, selected, defaults):
    field = ConfigUnion[int | str].build_field_for_type(value=value)
    assert type(field) is FieldUnion and field.name == "config_union[...]" and field.default == selected
    assert [type(c) for c in field.fields] == [FieldInteger, FieldString]
    assert [(c.name, c.display_name, c.default) for c in field.fields] == [("int", "Int", defaults[0]),
                                                                           ("str", "Str", defaults[1])]
    assert field.get_children() == [c for c in field.fields if c.name == selected]


def test_build_field_selects_by_type_key():
    field = ConfigUnion[int | bool].build_field_for_type(value=ConfigUnion[int | bool](True), name="flag")
    assert field.default == "bool" and [type(c) for c in field.fields] == [FieldInteger, FieldBool]
    assert field.fields[0].default == 0 and field.fields[1].default is True
    cams = ConfigUnion[int | UnionCam].build_field_for_type(value=ConfigUnion[int | UnionCam](UnionCam("h", 1)))
    assert cams.default == "union_cam" and type(cams.fields[1]) is FieldData
    assert (cams.fields[1].name, cams.fields[1].display_name) == ("union_cam", "Union Cam")
    assert [(c.name, c.default) for c in cams.fields[1].fields] == [("host", "h"), ("port", 1)]
    via_builder = serialize.build_field(name="choice", value_type=ConfigUnion[int | str],
                                        metadata={"default": ConfigUnion[int | str](5), "int": {"min": 0}})
    assert via_builder.name == "choice" and via_builder.default == "int"
    assert (via_builder.fields[0].default, via_builder.fields[0].min) == (5, 0)


@pytest.mark.parametrize("metadata, alias, check", [
    ({"int": {"description": "x"}}, ConfigUnion[int | str],
     lambda f: [c.description for c in f.fields] == ["x", None] and f.description is None),
    ({"int": None, "description": "d"}, ConfigUnion[int | str], lambda f: f.description == "d"),
    ({"str": MyDict(display_name="Text")}, ConfigUnion[int | str], lambda f: f.fields[1].display_name == "Text"),
    ({"union_cam": {"port": {"min": 1}}}, ConfigUnion[int | UnionCam], lambda f: f.fields[1].fields[1].min == 1),
])
def test_member_metadata(metadata, alias, check):
    with unchanged(metadata):
        field = ConfigUnion.build_field_for_type(type_specification=alias, name="u", metadata=metadata)
    assert check(field)


@pytest.mark.parametrize("cls, kwargs, error, message", [
    (ConfigUnion[int | str], {"metadata": {"default": "int"}}, QuorvelMetadataError, "Ambiguous default value."),
    (ConfigUnion[int | str], {"metadata": {"int": "x"}}, QuorvelMetadataError,
     f"Field metadata for {D}.int must be a dict, got {str!r}."),
    (ConfigUnion[int | str], {"metadata": {"int": {"default": 1}}}, QuorvelMetadataError,
     f"Ambiguous default value for union member {D}.int."),
    (ConfigUnion[int | str], {"metadata": {"str": {"default": None}}}, QuorvelMetadataError,
     f"Ambiguous default value for union member {D}.str."),
    (ConfigUnion, {"name": "n"}, QuorvelTypeResolutionError, "ConfigUnion is not parametrized."),
    (KeylessUnion, {}, QuorvelTypeResolutionError, "ConfigUnion is not parametrized."),
    (KeylessUnion, {"type_specification": ConfigUnion[int | str]}, QuorvelImplementationError,
     f"Invalid type key lookup: {KeylessUnion}"),
    (ConfigUnion, {"type_specification": ConfigList[int], "name": "n"}, QuorvelTypeResolutionError,
     "Alias must be a ConfigUnion."),
    (ConfigUnion[int | str], {"value": types.SimpleNamespace(selected=5, content=5)}, TypeError,
     "Expected str, got int"),
    (ConfigUnion[int | str], {"name": MyStr("x")}, TypeError, ARG_ERR.format("name", "str", "MyStr")),
    (ConfigUnion, {"metadata": MyDict()}, TypeError, ARG_ERR.format("metadata", "dict", "MyDict")),
    (ConfigUnion, {"name": b"n"}, TypeError, ARG_ERR.format("name", "str", "bytes")),
])
def test_build_field_errors(cls, kwargs, error, message, monkeypatch):
    monkeypatch.setattr(KeylessUnion, "broken", True)
    with pytest.raises(error) as err:
        cls.build_field_for_type(**kwargs)
    assert type(err.value) is error and str(err.value) == message


def test_build_field_selection_outside_members_fails_in_field_model():
    with pytest.raises(QuorvelError) as err:
        ConfigUnion[int | str].build_field_for_type(value=ConfigUnion[int | str](True))
    assert str(err.value).startswith("Invalid metadata for field FieldUnion: keys=[fields, default]. ")
    assert "FieldUnion.default 'bool' not in options ['int', 'str']" in str(err.value)


def test_build_field_never_modifies_caller_metadata():
    inner = {"description": "x"}
    metadata = {"int": inner, "str": {"display_name": "S"}, "description": "d"}
    with unchanged(metadata):
        field = ConfigUnion[int | str].build_field_for_type(value=ConfigUnion[int | str](1), metadata=metadata)
    assert field.default == "int" and field.fields[0].default == 1
    assert metadata["int"] is inner
    assert ConfigUnion[int | str].build_field_for_type(name="").name == "config_union[...]"


def test_dict_subclasses_are_read_through_their_own_get():
    class Aliased(dict):
        def get(self, key, default=None):
            return {"selection": "int", "int": 5}.get(key, default)

    parsed = ConfigUnion[int | str].from_defaults(Aliased({"selection": "str", "int": 0}))
    assert parsed.content == 5


# --- members that stored data could not tell apart ------------------------------------------------------------

# What a union's first use is, given the union, a member value and that member's key.
UNION_USES = {
    "form": lambda union, value, key: union.build_field_for_type(value=union(value)),
    "defaults": lambda union, value, key: union(value).build_defaults(),
    "parse": lambda union, value, key: union.from_defaults({"selection": key, key: {"x": 2}}),
}


def declared_record(class_name, module, key=None, field_name="x"):
    """A record declared in `module`, with a type_key class method answering `key` when one is given."""
    def body(namespace):
        namespace.update({"__module__": module, "__annotations__": {field_name: int}, field_name: 1})
        if key is not None:
            namespace["type_key"] = classmethod(lambda cls: key)
    return dataclasses.dataclass(types.new_class(class_name, (ConfigData,), exec_body=body))


def shared_key_message(first, second):
    return (f"{D} members {first!r} and {second!r} share the type key {type_lookup.type_key_class(first)!r}, so its "
            "data cannot tell them apart; give one of them a type_key class method that returns a key of its own.")


def selection_key_message(member):
    return (f"{D} member {member!r} has the type key 'selection', under which the union's data holds its selection; "
            "give the member a type_key class method that returns another key.")


def same_name_in_two_modules(tag):
    first, second = declared_record(f"Twin{tag}", "first_site"), declared_record(f"Twin{tag}", "second_site")
    return (first, second), shared_key_message(first, second)


def one_key_from_two_methods(tag):
    first, second = declared_record(f"Left{tag}", __name__, "shared"), declared_record(f"Right{tag}", __name__, "shared")
    return (first, second), shared_key_message(first, second)


def keyed_selection(tag):
    member = declared_record(f"Chosen{tag}", __name__, "selection")
    return (member, int), selection_key_message(member)


def named_selection(tag):
    member = declared_record("Selection", f"selection_site_{tag}")
    return (str, member), selection_key_message(member)


UNLOADABLE_MEMBERS = [same_name_in_two_modules, one_key_from_two_methods, keyed_selection, named_selection]


def union_of(members):
    return ConfigUnion[typing.Union[members]]


def record_member(members):
    return next(member for member in members if issubclass(member, ConfigData))


@pytest.mark.parametrize("use", UNION_USES)
@pytest.mark.parametrize("declare", UNLOADABLE_MEMBERS)
def test_members_that_data_cannot_tell_apart_fail_the_first_use(use, declare):
    members, message = declare(use.title())
    member = record_member(members)
    with pytest.raises(QuorvelImplementationError) as err:
        UNION_USES[use](union_of(members), member(), type_lookup.type_key_class(member))
    assert str(err.value) == message


@pytest.mark.parametrize("use", ["form", "defaults", "parse"])
def test_a_record_holding_such_a_union_fails_its_first_use(use):
    (first, second), message = same_name_in_two_modules(f"Held{use.title()}")
    union = union_of((first, second))

    @dataclasses.dataclass
    class UnionHolder(ConfigData):
        choice: union = dataclasses.field(default_factory=lambda: union(first()))

    calls = {"form": lambda: UnionHolder.build_field_for_type(value=UnionHolder()),
             "defaults": lambda: UnionHolder().build_defaults(),
             "parse": lambda: UnionHolder.from_defaults({"choice": {"selection": "x", "x": {}}})}
    with pytest.raises(QuorvelError) as err:
        calls[use]()
    found = err.value if use != "parse" else err.value.__cause__
    assert type(found) is QuorvelImplementationError and str(found) == message


@pytest.mark.parametrize("use", UNION_USES)
def test_a_member_whose_field_hides_a_contract_method_fails_the_first_use(use):
    member = declared_record(f"Hiding{use.title()}", __name__, field_name="from_defaults")
    with pytest.raises(QuorvelImplementationError) as err:
        UNION_USES[use](union_of((member, int)), member(), type_lookup.type_key_class(member))
    assert str(err.value) == (f"Field {member.__name__}.from_defaults hides the method from_defaults that the library "
                              "calls on every configuration class; rename the field.")


def test_members_given_keys_of_their_own_round_trip():
    first = declared_record("Twin", "first_site", "first_twin")
    second = declared_record("Twin", "second_site", "second_twin")
    union = union_of((first, second))
    for value in (first(x=3), second(x=4)):
        defaults = union(value).build_defaults()
        assert union.from_defaults(defaults).content == value
    assert [f.name for f in union.build_field_for_type(value=union(second())).fields] == ["first_twin", "second_twin"]
