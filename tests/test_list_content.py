"""Tests for the list content nimbrel.quorvel.data.list_content."""

import collections
import dataclasses
import inspect
import types
import typing
from typing import Annotated, TypeVar

import pytest

from conftest import unchanged
from nimbrel.quorvel.core import naming
from nimbrel.quorvel.core.exceptions import (
    QuorvelError, QuorvelImplementationError, QuorvelMetadataError, QuorvelParseError, QuorvelTypeResolutionError,
)
from nimbrel.quorvel.data import content_core, list_content as lc, parse, serialize
from nimbrel.quorvel.data.content_core import BaseConfigurableData
from nimbrel.quorvel.data.list_content import ConfigList
from nimbrel.quorvel.data.optional_content import ConfigOptional
from nimbrel.quorvel.data.record_content import ConfigData
from nimbrel.quorvel.data.union_content import ConfigUnion
from nimbrel.quorvel.fields import field_models
from nimbrel.quorvel.fields.field_models import FieldData, FieldInteger, FieldList, FieldString
from nimbrel.quorvel.typing import type_lookup
from nimbrel.quorvel.typing.generic_params import GenericWithArgs

X = TypeVar("X")
ARG_ERR = "Argument '{}' has incorrect type (expected {}, got {})"
NOT_CONFIG = "type must be BaseConfigurableData subclass or PrimitiveType, got {!r}."
MyStr, MyDict, MyList = type("MyStr", (str,), {}), type("MyDict", (dict,), {}), type("MyList", (list,), {})
CLASS_DOC = (
    "List content of repeated items (e.g., dataclasses or other wrappers).\n\n    Example allowed:\n"
    "        - ConfigList[int]\n        - ConfigList[ConfigUnion[int | CF]] where CF is of type ConfigData\n\n"
    "    Example disallowed:\n         - ConfigList[int | str]\n         - ConfigList[list[int]]\n"
    "         - ConfigList\n         - ConfigList[A] where A is neither of type BaseConfigurableData nor a "
    "PrimitiveType\n         - ConfigList (without parameters). This cannot be checked at annotation time, "
    "but at instantiation.\n    ")
PARSE_DOC = ("Create an instance from UI defaults data.\n\n        Raises:\n"
             "            QuorvelError: If the input cannot be parsed for this type.\n        ")
GETITEM_DOC = "Validate generic argument at alias creation time.\n\n        This explicitly disallows Annotated for now.\n        "
CONTAINED_DOC = ("Simple utility function that checks the contained type and returns it.\n\n"
                 "        Given ConfigList[A] this returns A and checks before that A is of type ConfigType.\n        ")


@dataclasses.dataclass
class ListCam(ConfigData):
    host: str = "localhost"
    port: int = 80


@dataclasses.dataclass
class ListRow(ConfigData):
    content: int = 0
    x: int = 0


@dataclasses.dataclass
class ListLogged(ConfigData):
    log: typing.ClassVar[list] = []
    n: int = 0

    def __post_init__(self):
        ListLogged.log.append(self.n)


class IntList(ConfigList[int]):
    pass


class Keyless(ConfigList):
    broken = False

    @classmethod
    def type_key(cls):
        if cls.broken:
            raise TypeError("no key")
        return "keyless_list"


# ---------------------------------------------------------------- module and class shape


def test_module_layout():
    expected = {
        "TypeVar": typing.TypeVar, "get_origin": typing.get_origin, "Any": typing.Any, "Type": typing.Type,
        "ConfigValue": content_core.ConfigValue, "BaseConfigurableData": BaseConfigurableData,
        "WrapperAlias": content_core.WrapperAlias, "ConfigType": content_core.ConfigType,
        "require_valid_config_type": content_core.require_valid_config_type,
        "build_defaults": content_core.build_defaults, "from_defaults": parse.from_defaults,
        "instantiate_field": serialize.instantiate_field, "build_field": serialize.build_field,
        "QuorvelError": QuorvelError, "QuorvelMetadataError": QuorvelMetadataError,
        "QuorvelParseError": QuorvelParseError, "QuorvelTypeResolutionError": QuorvelTypeResolutionError,
        "display_class_name": naming.display_class_name, "BaseField": field_models.BaseField,
        "FieldList": FieldList, "GenericWithArgs": GenericWithArgs,
        "resolve_generic_arg": type_lookup.resolve_generic_arg, "type_key_class": type_lookup.type_key_class,
        "T": lc.T, "ConfigList": ConfigList,
    }
    assert [n for n in vars(lc) if n in expected] == list(expected)
    assert all(getattr(lc, n) is obj for n, obj in expected.items())
    assert isinstance(lc.T, TypeVar) and lc.T.__name__ == "T" and lc.T.__bound__ == content_core.ConfigValue


def test_class_shape():
    assert ConfigList.__bases__ == (GenericWithArgs, list, BaseConfigurableData)
    assert ConfigList.__orig_bases__ == (GenericWithArgs, list[lc.T], BaseConfigurableData)
    assert ConfigList.__doc__ == CLASS_DOC
    assert "__dataclass_fields__" not in vars(ConfigList) and dataclasses.fields(ConfigList) == ()
    assert ConfigList.__origin__ is ConfigList and ConfigList.__type_args__ is None
    value = ConfigList[int]([1, 2])
    assert isinstance(value, list) and value == [1, 2] and len(value) == 2 and value[1] == 2
    value.append(3)
    assert list(value) == [1, 2, 3] and isinstance(value, BaseConfigurableData)
    with pytest.raises(QuorvelTypeResolutionError) as err:
        ConfigList([1])
    assert str(err.value) == "ConfigList must be parametrized, e.g. ConfigList[T](...)."


@pytest.mark.parametrize("name, is_classmethod, text, doc", [
    ("_contained_type", True, "(cls, alias: 'WrapperAlias') -> 'ConfigType'", CONTAINED_DOC),
    ("build_field_for_type", True,
     "(cls: 'Type[ConfigList[T]]', value: 'ConfigList[T] | None' = None, type_specification: "
     "'WrapperAlias | None' = None, name: 'str | None' = None, metadata: 'dict[str, Any] | None' = None) "
     "-> 'FieldList | BaseField'", BaseConfigurableData.build_field_for_type.__doc__),
    ("build_defaults", False, "(self) -> 'list[Any]'", "Emit list items as row objects under 'content'."),
    ("from_defaults", True,
     "(cls, data: 'dict[str, Any] | Any | None', alias: 'WrapperAlias | None' = None) -> 'ConfigList[T]'",
     PARSE_DOC),
    ("__class_getitem__", True, "(cls, item: 'Any') -> 'Any'", GETITEM_DOC),
])
def test_members(name, is_classmethod, text, doc):
    member = vars(ConfigList)[name]
    assert isinstance(member, classmethod) is is_classmethod
    func = getattr(member, "__func__", member)
    assert str(inspect.signature(func)) == text
    assert func.__doc__ == doc and doc


def test_member_order():
    names = ["_contained_type", "build_field_for_type", "build_defaults", "from_defaults", "__class_getitem__"]
    assert [n for n in vars(ConfigList) if n in names] == names


# ---------------------------------------------------------------- subscription and contained type


def test_subscription_accepts_configurable_items():
    assert issubclass(ConfigList[int], ConfigList) and ConfigList[int] is ConfigList[int]
    assert ConfigList[int].__type_args__ == (int,) and ConfigList[ListCam].__type_args__ == (ListCam,)
    assert ConfigList[ConfigUnion[int | str]].__type_args__ == (ConfigUnion[int | str],)
    assert ConfigList[types.GenericAlias(ConfigOptional, int)].__type_args__[0].__origin__ is ConfigOptional


@pytest.mark.parametrize("item, origin", [
    (int | str, typing.Union), (list[int], list), (Annotated[int, "x"], Annotated), ((int, str), (int, str)),
    (X, X), (object, object), (dict, dict),
])
def test_subscription_rejects(item, origin):
    with pytest.raises(QuorvelTypeResolutionError) as err:
        ConfigList[item]
    inner = NOT_CONFIG.format(origin)
    assert str(err.value) == f"ConfigList cannot contain non configurable types {item!r} {inner}."
    assert isinstance(err.value.__context__, QuorvelError) and str(err.value.__context__) == inner
    assert err.value.__cause__ is None


@pytest.mark.parametrize("cls, alias, expected", [
    (ConfigList, ConfigList[int], int),
    (ConfigList, ConfigList[ListCam].typing_alias(), ListCam),
    (ConfigList[int], ConfigList[str], str),
    (ConfigList, IntList, int),
    (ConfigList, ConfigList[ConfigUnion[int | str]], ConfigUnion[int | str]),
])
def test_contained_type(cls, alias, expected):
    assert cls._contained_type(alias) is expected


@pytest.mark.parametrize("cls, alias, message, inner", [
    (ConfigList, ConfigOptional[int], "Alias must be a ConfigList.", None),
    (ConfigList[int], list[int], "Alias must be a ConfigList[...].", None),
    (IntList, ConfigUnion[int | str], "Alias must be a IntList.", None),
    (ConfigList, "config_list", "Alias must be a ConfigList.", None),
    (ConfigList, ConfigList, "ConfigList must be parametrised.", None),
    (IntList, types.GenericAlias(ConfigList, list[int]),
     "IntList parameter must be PrimitiveType or BaseConfigurableData: ", NOT_CONFIG.format(list[int])),
    (ConfigList, types.GenericAlias(ConfigList, X),
     "ConfigList parameter must be PrimitiveType or BaseConfigurableData: ", NOT_CONFIG.format(X)),
])
def test_contained_type_errors(cls, alias, message, inner):
    with pytest.raises(QuorvelTypeResolutionError) as err:
        cls._contained_type(alias)
    assert str(err.value) == message + (inner or "")
    if inner is not None:
        assert isinstance(err.value.__context__, QuorvelError) and str(err.value.__context__) == inner
        assert err.value.__cause__ is None


# ---------------------------------------------------------------- from_defaults


@pytest.mark.parametrize("data, expected", [
    (None, []), ([], []), ([{"content": 1}, 2], [1, 2]), ([collections.OrderedDict(content="a")], ["a"]),
    ([{"content": 1.5}, True], [1.5, True]),
])
def test_from_defaults_rows_and_bare_items(data, expected):
    result = ConfigList[int].from_defaults(data)
    assert type(result) is ConfigList[int] and list(result) == expected and result is not data
    assert [type(v) for v in result] == [type(v) for v in expected]


def test_row_with_extra_keys_is_handed_whole_to_the_item_parser():
    result = ConfigList[ListRow].from_defaults([{"content": 1, "x": 2}, {"content": {"content": 3}}, {"x": 4}])
    assert list(result) == [ListRow(1, 2), ListRow(3, 0), ListRow(0, 4)]
    with pytest.raises(QuorvelError) as err:
        ConfigList[int].from_defaults([{"content": 1, "x": 2}])
    assert str(err.value) == "Primitive values must be passed directly, not wrapped in dicts (got {'content': 1, 'x': 2})."


@pytest.mark.parametrize("cls", [ConfigList[int], IntList])
def test_from_defaults_returns_instance_of_the_called_class(cls):
    assert type(cls.from_defaults(None)) is cls and cls.from_defaults(None) == []
    assert type(cls.from_defaults([{"content": 3}])) is cls and cls.from_defaults([3]) == [3]


def test_from_defaults_uses_alias_for_items():
    result = ConfigList[int].from_defaults([{"content": {"port": 1}}], alias=ConfigList[ListCam])
    assert type(result) is ConfigList[int] and list(result) == [ListCam(port=1)]


@pytest.mark.parametrize("cls, data, error, message", [
    (ConfigList[int], {"content": 1}, QuorvelParseError, "Expected list data for ConfigList[...], got <class 'dict'>."),
    (ConfigList[int], (1, 2), QuorvelParseError, "Expected list data for ConfigList[...], got <class 'tuple'>."),
    (ConfigList[int], MyList([1]), TypeError, "Expected list, got MyList"),
    (ConfigList, "x", QuorvelParseError, "Expected list data for ConfigList, got <class 'str'>."),
    (ConfigList, MyList(), TypeError, "Expected list, got MyList"),
    (ConfigList, [], QuorvelTypeResolutionError, "ConfigList must be parametrised."),
    (IntList, 5, QuorvelParseError, "Expected list data for IntList, got <class 'int'>."),
])
def test_from_defaults_errors_in_order(cls, data, error, message):
    with pytest.raises(error) as err:
        cls.from_defaults(data, alias=None)
    assert type(err.value) is error and str(err.value) == message


def test_unparametrised_class_parses_items_before_construction_fails():
    with pytest.raises(QuorvelError) as err:
        ConfigList.from_defaults([{"a": 1}], alias=ConfigList[int])
    assert str(err.value).startswith("Primitive values must be passed directly")
    with pytest.raises(QuorvelTypeResolutionError) as err:
        ConfigList.from_defaults([1], alias=ConfigList[int])
    assert str(err.value) == "ConfigList must be parametrized, e.g. ConfigList[T](...)."


def test_failing_item_aborts_the_parse():
    ListLogged.log.clear()
    with pytest.raises(QuorvelError) as err:
        ConfigList[ListLogged].from_defaults([{"n": 1}, {"n": 2, "bad": 0}, {"n": 3}])
    assert str(err.value) == "Unexpected fields for ListLogged: ['bad']" and ListLogged.log == [1]


def test_nested_content_items():
    data = [{"content": {"selection": "str", "str": "a"}}, {"selection": "int", "int": 1}]
    result = parse.from_defaults(data=data, alias=ConfigList[ConfigUnion[int | str]])
    assert type(result) is ConfigList[ConfigUnion[int | str]]
    assert list(result) == [ConfigUnion[int | str]("a"), ConfigUnion[int | str](1)]


# ---------------------------------------------------------------- build_defaults and round trip


@pytest.mark.parametrize("items, expected", [
    ([1, 2], [{"content": 1}, {"content": 2}]), ([], []), (["a"], [{"content": "a"}]),
])
def test_build_defaults(items, expected):
    value = ConfigList[type(items[0]) if items else int](items)
    result = value.build_defaults()
    assert type(result) is list and result == expected and result is not value.build_defaults()
    assert all(type(row) is dict and list(row) == ["content"] for row in result)


def test_records_round_trip():
    value = ConfigList[ListCam]([ListCam("a", 1), ListCam()])
    defaults = value.build_defaults()
    assert defaults == [{"content": {"host": "a", "port": 1}}, {"content": {"host": "localhost", "port": 80}}]
    parsed = ConfigList[ListCam].from_defaults(defaults)
    assert type(parsed) is ConfigList[ListCam] and parsed == value
    assert parse.from_defaults(data=defaults, alias=ConfigList[ListCam]) == value
    assert ConfigList[ListCam].from_defaults(parsed.build_defaults()) == value


# ---------------------------------------------------------------- build_field_for_type


def test_build_field_without_value():
    field = ConfigList[int].build_field_for_type()
    assert type(field) is FieldList and field.name == "config_list[...]" and field.default == []
    (item,) = field.fields
    assert type(item) is FieldInteger and item.name == "content" and item.display_name == "" and item.default == 0
    assert item.description is None
    assert ConfigList[int].build_field_for_type(name="").name == "config_list[...]"
    named = ConfigList[int].build_field_for_type(name="items", value=[1, 2])
    assert named.name == "items" and named.display_name == "Items" and named.default == []


def test_build_field_with_value_and_record_items():
    value = ConfigList[ListCam]([ListCam("h", 1)])
    field = ConfigList.build_field_for_type(value=value, type_specification=ConfigList[ListCam], name="cams")
    assert field.default == [{"content": {"host": "h", "port": 1}}]
    (item,) = field.fields
    assert type(item) is FieldData and item.name == "content" and item.display_name == ""
    assert [(c.name, c.default) for c in item.fields] == [("host", "localhost"), ("port", 80)]
    via_builder = serialize.build_field(name="ints", value_type=ConfigList[int],
                                        metadata={"default": ConfigList[int]([4])})
    assert type(via_builder) is FieldList and via_builder.default == [{"content": 4}]


@pytest.mark.parametrize("metadata, display_name, description", [
    ({"content": {"default": 5, "display_name": "Item"}}, "Item", None),
    ({"content": None}, "", None),
    ({"content": MyDict(description="d")}, "", "d"),
    ({"content": {"display_name": ""}}, "", None),
])
def test_item_metadata(metadata, display_name, description):
    given = type(metadata["content"])
    with unchanged(metadata):
        field = ConfigList[int].build_field_for_type(metadata=metadata, name="l")
    (item,) = field.fields
    assert (item.display_name, item.description, item.default) == (display_name, description, 0)
    assert type(metadata["content"]) is given


def test_list_metadata_keeps_other_keys_and_drops_content():
    metadata = {"description": "outer", "display_name": "Things", "content": {"description": "inner"}}
    with unchanged(metadata):
        field = ConfigList[str].build_field_for_type(metadata=metadata, name="things")
    assert (field.description, field.display_name) == ("outer", "Things")
    assert type(field.fields[0]) is FieldString and field.fields[0].description == "inner"


@pytest.mark.parametrize("cls, kwargs, error, message", [
    (ConfigList[int], {"metadata": {"default": []}}, QuorvelMetadataError, "Ambiguous default value."),
    (ConfigList, {"metadata": {"default": []}}, QuorvelMetadataError, "Ambiguous default value."),
    (ConfigList[int], {"metadata": {"content": "x"}}, QuorvelMetadataError,
     "Field metadata for ConfigList[...].content must be a dict, got <class 'str'>."),
    (ConfigList[int], {"metadata": {"content": [1]}}, QuorvelMetadataError,
     "Field metadata for ConfigList[...].content must be a dict, got <class 'list'>."),
    (ConfigList, {"name": "n"}, QuorvelTypeResolutionError, "ConfigList is not parametrized."),
    (ConfigList, {"name": "n", "type_specification": ConfigOptional[int]}, QuorvelTypeResolutionError,
     "Alias must be a ConfigList."),
    (Keyless, {}, QuorvelImplementationError, f"Invalid type key lookup: {Keyless}"),
    (ConfigList[int], {"name": MyStr("x")}, TypeError, ARG_ERR.format("name", "str", "MyStr")),
    (ConfigList[int], {"name": 5}, TypeError, ARG_ERR.format("name", "str", "int")),
    (ConfigList, {"metadata": MyDict()}, TypeError, ARG_ERR.format("metadata", "dict", "MyDict")),
    (ConfigList, {"metadata": [], "name": "n"}, TypeError, ARG_ERR.format("metadata", "dict", "list")),
])
def test_build_field_errors(cls, kwargs, error, message, monkeypatch):
    monkeypatch.setattr(Keyless, "broken", True)
    with pytest.raises(error) as err:
        cls.build_field_for_type(**kwargs)
    assert type(err.value) is error and str(err.value) == message


def test_build_field_never_modifies_caller_metadata():
    inner = {"default": 1, "description": "i"}
    metadata = {"content": inner, "description": "o"}
    with unchanged(metadata):
        ConfigList[int].build_field_for_type(metadata=metadata)
    assert metadata["content"] is inner and inner == {"default": 1, "description": "i"}
