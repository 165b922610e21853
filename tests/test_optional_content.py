"""Tests for the optional content nimbrel.quorvel.data.optional_content."""

import dataclasses
import inspect
import types
import typing
from typing import Annotated, Generic, TypeVar

import pytest

from conftest import unchanged
from nimbrel.quorvel.core import naming
from nimbrel.quorvel.core.exceptions import (
    QuorvelError, QuorvelImplementationError, QuorvelMetadataError, QuorvelParseError, QuorvelTypeResolutionError,
    QuorvelValidationError,
)
from nimbrel.quorvel.data import content_core, optional_content as oc, parse, serialize
from nimbrel.quorvel.data.content_core import BaseConfigurableData
from nimbrel.quorvel.data.list_content import ConfigList
from nimbrel.quorvel.data.optional_content import ConfigOptional
from nimbrel.quorvel.data.record_content import ConfigData
from nimbrel.quorvel.data.union_content import ConfigUnion
from nimbrel.quorvel.fields import field_models
from nimbrel.quorvel.fields.field_models import FieldData, FieldInteger, FieldOptional
from nimbrel.quorvel.typing import type_lookup
from nimbrel.quorvel.typing.generic_params import GenericWithArgs

X = TypeVar("X")
ARG_ERR = "Argument '{}' has incorrect type (expected {}, got {})"
NOT_CONFIG = "type must be BaseConfigurableData subclass or PrimitiveType, got {!r}."
MyStr, MyDict = type("MyStr", (str,), {}), type("MyDict", (dict,), {})
ENABLED = 'ConfigOptional[...] is enabled but "content" is missing or None.'
DISABLED = 'ConfigOptional[...] is disabled but "content" is present.'
CLASS_DOC = (
    "Class containing optional data. The argument needs to be of type BaseConfigurableData or a Primitive type.\n\n"
    "    Example allowed:\n        - ConfigOptional[int]\n"
    "        - ConfigOptional[ConfigUnion[int | CF]] where CF is of type ConfigData\n\n"
    "    Example disallowed:\n         - ConfigOptional[int | str]\n         - ConfigOptional[list[int]]\n"
    "         - ConfigOptional\n         - ConfigOptional[A] where A is neither of type BaseConfigurableData nor a "
    "PrimitiveType\n         - ConfigOptional (without parameters). This cannot be checked at annotation time, "
    "but at instantiation.\n    ")
PARSE_DOC = ("Create an instance from UI defaults data.\n\n        Raises:\n"
             "            QuorvelError: If the input cannot be parsed for this type.\n        ")
GETITEM_DOC = "Validate generic argument at alias creation time.\n\n        This explicitly disallows Annotated for now.\n        "
CONTAINED_DOC = ("Simple utility function that checks the contained type and returns it.\n\n"
                 "        Given ConfigOptional[A] this returns A and checks before that A is of type ConfigType.\n        ")


@dataclasses.dataclass
class OptCam(ConfigData):
    host: str = "localhost"
    port: int = 80


class OptInt(ConfigOptional[int]):
    pass


class KeylessOptional(ConfigOptional):
    broken = False

    @classmethod
    def type_key(cls):
        if cls.broken:
            raise TypeError("no key")
        return "keyless_optional"


class Shadowing(dict):
    """A data mapping whose get answers from its own table."""

    def get(self, key, default=None):
        return {"default": True, "content": 7}.get(key, default)


# ---------------------------------------------------------------- module and class shape


def test_module_layout():
    expected = {
        "dataclass": dataclasses.dataclass, "TypeVar": typing.TypeVar, "Generic": typing.Generic,
        "get_origin": typing.get_origin, "Any": typing.Any, "Type": typing.Type,
        "ConfigValue": content_core.ConfigValue, "BaseConfigurableData": BaseConfigurableData,
        "WrapperAlias": content_core.WrapperAlias, "ConfigType": content_core.ConfigType,
        "require_valid_config_type": content_core.require_valid_config_type,
        "build_defaults": content_core.build_defaults, "from_defaults": parse.from_defaults,
        "build_field": serialize.build_field, "instantiate_field": serialize.instantiate_field,
        "QuorvelError": QuorvelError, "QuorvelParseError": QuorvelParseError,
        "QuorvelValidationError": QuorvelValidationError, "QuorvelMetadataError": QuorvelMetadataError,
        "QuorvelTypeResolutionError": QuorvelTypeResolutionError, "display_class_name": naming.display_class_name,
        "BaseField": field_models.BaseField, "FieldOptional": FieldOptional, "GenericWithArgs": GenericWithArgs,
        "resolve_generic_arg": type_lookup.resolve_generic_arg, "type_key_class": type_lookup.type_key_class,
        "T": oc.T, "ConfigOptional": ConfigOptional,
    }
    assert [n for n in vars(oc) if n in expected] == list(expected)
    assert all(getattr(oc, n) is obj for n, obj in expected.items())
    assert isinstance(oc.T, TypeVar) and oc.T.__name__ == "T" and oc.T.__bound__ == content_core.ConfigValue


def test_class_shape():
    assert ConfigOptional.__bases__ == (GenericWithArgs, Generic, BaseConfigurableData)
    assert ConfigOptional.__orig_bases__ == (GenericWithArgs, Generic[oc.T], BaseConfigurableData)
    assert ConfigOptional.__doc__ == CLASS_DOC
    (field,) = dataclasses.fields(ConfigOptional)
    assert (field.name, field.type, field.default) == ("content", "T | None", None)
    assert list(inspect.signature(ConfigOptional).parameters) == ["content"]
    assert inspect.signature(ConfigOptional).parameters["content"].default is None
    assert ConfigOptional.__hash__ is None
    with pytest.raises(TypeError):
        hash(ConfigOptional[int](1))
    assert ConfigOptional[int](1) == ConfigOptional[int](1) and ConfigOptional[int](1) != ConfigOptional[int](2)
    assert ConfigOptional[int]().content is None and ConfigOptional[int](content=3).content == 3
    assert ConfigOptional(5).content == 5 and ConfigOptional().content is None  # the bare class is not rejected


@pytest.mark.parametrize("name, is_classmethod, text, doc", [
    ("_contained_type", True, "(cls, alias: 'WrapperAlias') -> 'ConfigType'", CONTAINED_DOC),
    ("build_field_for_type", True,
     "(cls: 'Type[ConfigOptional[T]]', value: 'ConfigOptional[T] | None' = None, type_specification: "
     "'WrapperAlias | None' = None, name: 'str | None' = None, metadata: 'dict[str, Any] | None' = None) "
     "-> 'FieldOptional | BaseField'", BaseConfigurableData.build_field_for_type.__doc__),
    ("build_defaults", False, "(self) -> 'dict[str, Any]'",
     "Create a nested default dictionary for representation in UI."),
    ("from_defaults", True,
     "(cls, data: 'dict[str, Any] | Any', alias: 'WrapperAlias | None' = None) -> 'ConfigOptional[T]'", PARSE_DOC),
    ("__class_getitem__", True, "(cls, item: 'Any') -> 'Any'", GETITEM_DOC),
])
def test_members(name, is_classmethod, text, doc):
    member = vars(ConfigOptional)[name]
    assert isinstance(member, classmethod) is is_classmethod
    func = getattr(member, "__func__", member)
    assert str(inspect.signature(func)) == text
    assert func.__doc__ == doc and doc


def test_member_order():
    names = ["content", "_contained_type", "build_field_for_type", "build_defaults", "from_defaults",
             "__class_getitem__"]
    assert [n for n in vars(ConfigOptional) if n in names] == names


# ---------------------------------------------------------------- subscription and contained type


def test_subscription_accepts_configurable_types():
    assert ConfigOptional[int] is ConfigOptional[int] and issubclass(ConfigOptional[int], ConfigOptional)
    assert ConfigOptional[ConfigUnion[int | OptCam]].__type_args__ == (ConfigUnion[int | OptCam],)
    assert ConfigOptional[ConfigList[int]].__type_args__ == (ConfigList[int],)


@pytest.mark.parametrize("item, origin", [
    (int | str, typing.Union), (list[int], list), (Annotated[int, "x"], Annotated), (X, X), (oc.T, oc.T),
    ((int,), (int,)), (type(None), type(None)),
])
def test_subscription_rejects(item, origin):
    with pytest.raises(QuorvelTypeResolutionError) as err:
        ConfigOptional[item]
    inner = NOT_CONFIG.format(origin)
    assert str(err.value) == f"ConfigOptional cannot contain non configurable types {item!r} {inner}."
    assert isinstance(err.value.__context__, QuorvelError) and str(err.value.__context__) == inner
    assert err.value.__cause__ is None


@pytest.mark.parametrize("cls, alias, expected", [
    (ConfigOptional, ConfigOptional[int], int), (ConfigOptional, OptInt, int),
    (ConfigOptional[str], ConfigOptional[OptCam].typing_alias(), OptCam),
])
def test_contained_type(cls, alias, expected):
    assert cls._contained_type(alias) is expected


@pytest.mark.parametrize("cls, alias, message, inner", [
    (ConfigOptional, ConfigList[int], "Alias must be a ConfigOptional.", None),
    (OptInt, int, "Alias must be a OptInt.", None),
    (ConfigOptional, ConfigOptional, "ConfigOptional must be parametrised.", None),
    (ConfigOptional[int], types.GenericAlias(ConfigOptional, X),
     "ConfigOptional[...] parameter must be PrimitiveType or BaseConfigurableData: ", NOT_CONFIG.format(X)),
])
def test_contained_type_errors(cls, alias, message, inner):
    with pytest.raises(QuorvelTypeResolutionError) as err:
        cls._contained_type(alias)
    assert str(err.value) == message + (inner or "")
    if inner is not None:
        assert isinstance(err.value.__context__, QuorvelError) and str(err.value.__context__) == inner
        assert err.value.__cause__ is None


# ---------------------------------------------------------------- build_defaults and from_defaults


@pytest.mark.parametrize("content, expected", [
    (None, {"default": False}), (5, {"default": True, "content": 5}), (0, {"default": True, "content": 0}),
    (OptCam("h"), {"default": True, "content": {"host": "h", "port": 80}}),
])
def test_build_defaults(content, expected):
    result = ConfigOptional[type(content) if content is not None else int](content).build_defaults()
    assert type(result) is dict and result == expected and list(result) == list(expected)


@pytest.mark.parametrize("data, content", [
    ({"default": False}, None), ({"default": True, "content": 5}, 5), ({}, None), ({"default": 1, "content": 0}, 0),
    ({"default": 0, "content": None}, None), ({"default": True, "content": "a", "other": 1}, "a"),
    (Shadowing(), 7),
])
def test_from_defaults(data, content):
    result = ConfigOptional[int].from_defaults(data)
    assert type(result) is ConfigOptional[int] and result.content == content
    assert type(result.content) is type(content)


def test_from_defaults_parses_inner_content():
    result = ConfigOptional[OptCam].from_defaults({"default": True, "content": {"port": 1}})
    assert result == ConfigOptional[OptCam](OptCam(port=1))
    union = ConfigOptional[ConfigUnion[int | str]].from_defaults(
        {"default": True, "content": {"selection": "str", "str": "s"}})
    assert union.content == ConfigUnion[int | str]("s")
    assert type(OptInt.from_defaults({"default": True, "content": 3})) is OptInt
    via_dispatcher = parse.from_defaults(data=5, alias=int | None)  # parsed through the bare class
    assert type(via_dispatcher) is ConfigOptional and via_dispatcher.content == 5


@pytest.mark.parametrize("cls, data, alias, error, message", [
    (ConfigOptional[int], {"default": True}, None, QuorvelValidationError, ENABLED),
    (ConfigOptional[int], {"default": True, "content": None}, None, QuorvelValidationError, ENABLED),
    (ConfigOptional[int], {"default": False, "content": 5}, None, QuorvelValidationError, DISABLED),
    (ConfigOptional[int], {"content": 0}, None, QuorvelValidationError, DISABLED),
    (ConfigOptional[int], [1], None, QuorvelParseError, "Expected dict data for ConfigOptional[...], got <class 'list'>."),
    (ConfigOptional[int], None, None, QuorvelParseError,
     "Expected dict data for ConfigOptional[...], got <class 'NoneType'>."),
    (OptInt, "x", None, QuorvelParseError, "Expected dict data for OptInt, got <class 'str'>."),
    (ConfigOptional, {"default": False}, None, QuorvelTypeResolutionError,
     "ConfigOptional must be parametrised (not with a TypeVar ConfigOptional)."),
    (ConfigOptional, [1], None, QuorvelTypeResolutionError,
     "ConfigOptional must be parametrised (not with a TypeVar ConfigOptional)."),
    (ConfigOptional[int], {}, types.GenericAlias(ConfigOptional, X), QuorvelTypeResolutionError,
     "ConfigOptional[...] must be parametrised (not with a TypeVar ConfigOptional)."),
    (ConfigOptional[int], [1], int, QuorvelTypeResolutionError, "ConfigOptional[...] must be parametrised."),
])
def test_from_defaults_errors(cls, data, alias, error, message):
    with pytest.raises(error) as err:
        cls.from_defaults(data, alias)
    assert type(err.value) is error and str(err.value) == message


def test_from_defaults_inner_error_propagates_unchanged():
    with pytest.raises(QuorvelValidationError) as err:
        ConfigOptional[OptCam].from_defaults({"default": True, "content": {"nope": 1}})
    assert str(err.value) == "Unexpected fields for OptCam: ['nope']"


# ---------------------------------------------------------------- build_field_for_type


@pytest.mark.parametrize("value, enabled, inner_default", [
    (ConfigOptional[int](7), True, 7), (ConfigOptional[int](0), True, 0), (ConfigOptional[int](None), False, 0),
    (None, False, 0), (7, False, 0), (ConfigUnion[int | str](7), False, 0),
])
def test_build_field_default_follows_content(value, enabled, inner_default):
    field = ConfigOptional[int].build_field_for_type(value=value)
    assert type(field) is FieldOptional and field.default is enabled and field.name == "config_optional[...]"
    (child,) = field.fields
    assert type(child) is FieldInteger and child.name == "content" and child.display_name == ""
    assert child.default == inner_default
    assert field.get_children() == ([child] if enabled else [])


def test_build_field_with_record_content():
    value = ConfigOptional[OptCam](OptCam("h", 1))
    field = ConfigOptional.build_field_for_type(value, ConfigOptional[OptCam], "camera", {"description": "d"})
    assert (field.name, field.display_name, field.description, field.default) == ("camera", "Camera", "d", True)
    (child,) = field.fields
    assert type(child) is FieldData and child.display_name == ""
    assert [(c.name, c.default) for c in child.fields] == [("host", "h"), ("port", 1)]
    dumped = field.model_dump()
    assert list(dumped) == ["name", "description", "display_name", "type", "fields", "default"]
    assert dumped["type"] == "field_optional" and dumped["fields"][0]["name"] == "content"
    via_builder = serialize.build_field(name="opt", value_type=ConfigOptional[int],
                                        metadata={"default": ConfigOptional[int](3)})
    assert via_builder.default is True and via_builder.fields[0].default == 3


@pytest.mark.parametrize("metadata, display_name, description", [
    ({"content": {"display_name": "Value", "description": "inner"}}, "Value", "inner"),
    ({"content": None}, "", None), ({"content": MyDict(description="x")}, "", "x"), ({}, "", None),
])
def test_inner_metadata(metadata, display_name, description):
    with unchanged(metadata):
        field = ConfigOptional[int].build_field_for_type(value=ConfigOptional[int](2), name="o", metadata=metadata)
    (child,) = field.fields
    assert (child.display_name, child.description, child.default) == (display_name, description, 2)
    assert field.description is None


@pytest.mark.parametrize("cls, kwargs, error, message", [
    (ConfigOptional[int], {"metadata": {"default": True}}, QuorvelMetadataError, "Ambiguous default value."),
    (ConfigOptional, {"metadata": {"default": True}}, QuorvelMetadataError, "Ambiguous default value."),
    (ConfigOptional[int], {"metadata": {"content": {"default": 1}}}, QuorvelMetadataError,
     "Ambiguous (inner) default value."),
    (ConfigOptional[int], {"value": ConfigOptional[int](1), "metadata": {"content": {"default": None}}},
     QuorvelMetadataError, "Ambiguous (inner) default value."),
    (ConfigOptional[int], {"metadata": {"content": "x"}}, QuorvelMetadataError,
     "Field metadata for ConfigOptional[...].content must be a dict, got <class 'str'>."),
    (ConfigOptional, {"name": "n"}, QuorvelTypeResolutionError, "ConfigOptional is not parametrized."),
    (ConfigOptional, {"type_specification": ConfigList[int], "name": "n", "metadata": {"content": "x"}},
     QuorvelTypeResolutionError, "Alias must be a ConfigOptional."),
    (KeylessOptional, {}, QuorvelImplementationError, f"Invalid type key lookup: {KeylessOptional}"),
    (ConfigOptional[int], {"name": MyStr("x")}, TypeError, ARG_ERR.format("name", "str", "MyStr")),
    (ConfigOptional, {"metadata": MyDict()}, TypeError, ARG_ERR.format("metadata", "dict", "MyDict")),
    (ConfigOptional, {"metadata": (), "name": "n"}, TypeError, ARG_ERR.format("metadata", "dict", "tuple")),
])
def test_build_field_errors(cls, kwargs, error, message, monkeypatch):
    monkeypatch.setattr(KeylessOptional, "broken", True)
    with pytest.raises(error) as err:
        cls.build_field_for_type(**kwargs)
    assert type(err.value) is error and str(err.value) == message


def test_build_field_name_and_caller_metadata():
    assert ConfigOptional[int].build_field_for_type(name="").name == "config_optional[...]"
    inner = {"description": "i"}
    metadata = {"content": inner, "display_name": "Shown"}
    with unchanged(metadata):
        field = ConfigOptional[int].build_field_for_type(value=ConfigOptional[int](4), name="opt", metadata=metadata)
    assert field.display_name == "Shown" and field.fields[0].default == 4 and field.fields[0].description == "i"
    assert metadata["content"] is inner
