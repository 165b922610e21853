"""Tests for the free JSON object content nimbrel.quorvel.data.json_content."""

import collections
import inspect
from typing import Any

import pytest

from conftest import unchanged
from nimbrel.quorvel.core.exceptions import (
    QuorvelImplementationError, QuorvelMetadataError, QuorvelValidationError,
)
from nimbrel.quorvel.data import json_content as jc
from nimbrel.quorvel.data.content_core import BaseConfigurableData, build_defaults
from nimbrel.quorvel.data.json_content import ConfigUntypedDict as CUD
from nimbrel.quorvel.data.serialize import build_field, instantiate_field
from nimbrel.quorvel.fields.field_models import FieldJsonText


class Sub(CUD):
    pass


def test_class_shape():
    assert issubclass(CUD, dict) and issubclass(CUD, BaseConfigurableData)
    assert CUD.__bases__ == (dict, BaseConfigurableData)
    assert CUD.__orig_bases__[0] == dict[str, Any]
    assert CUD.__doc__.strip().startswith("Untyped JSON object payload.") and "leaf type" in CUD.__doc__
    assert jc.instantiate_field is instantiate_field and jc.BaseConfigurableData is BaseConfigurableData
    assert jc.FieldJsonText is FieldJsonText and jc.QuorvelMetadataError is QuorvelMetadataError
    assert [n for n in vars(CUD) if not n.startswith("_")] == ["build_field_for_type", "build_defaults",
                                                             "from_defaults"]


@pytest.mark.parametrize("name, is_classmethod, text, doc", [
    ("build_field_for_type", True,
     "(cls: 'Type[ConfigUntypedDict]', value: 'ConfigUntypedDict | None' = None, type_specification: "
     "'WrapperAlias | None' = None, name: 'str | None' = None, metadata: 'dict[str, Any] | None' = None) "
     "-> 'FieldJsonText | BaseField'",
     "Create a UI field representation for any sort of value, including the defaults."),
    ("build_defaults", False, "(self) -> 'dict[str, Any]'",
     "Create a nested default dictionary for representation in UI."),
    ("from_defaults", True, "(cls, data: 'dict[str, Any] | Any', alias: 'WrapperAlias | None' = None) -> 'Self'",
     "Create an instance from UI defaults data."),
])
def test_members(name, is_classmethod, text, doc):
    member = vars(CUD)[name]
    assert isinstance(member, classmethod) is is_classmethod
    func = getattr(member, "__func__", member)
    assert str(inspect.signature(func)) == text
    assert func.__doc__.strip().startswith(doc)


@pytest.mark.parametrize("cls", [CUD, Sub])
def test_from_defaults(cls):
    nested = {"a": {"b": [1, {"c": None}]}, "n": 1}
    result = cls.from_defaults(nested, alias=dict)
    assert type(result) is cls and result == nested and result is not nested
    assert result["a"] is nested["a"] and list(result) == ["a", "n"]
    assert type(cls.from_defaults({})) is cls and cls.from_defaults({}) == {}
    assert cls.from_defaults(result) is result
    assert type(cls.from_defaults(collections.OrderedDict(x=1))) is cls
    sub = Sub(k=1)
    assert CUD.from_defaults(sub) is sub


@pytest.mark.parametrize("data, tail", [(None, "None"), ([1], "<class 'list'>"), ("{}", "<class 'str'>")])
def test_from_defaults_rejects(data, tail):
    with pytest.raises(QuorvelValidationError) as err:
        Sub.from_defaults(data)
    assert str(err.value) == f"Expected dict for Sub, got {tail}."


def test_build_defaults_is_plain_shallow_copy():
    inner = [1]
    value = CUD(z=inner, a=2)
    result = value.build_defaults()
    assert type(result) is dict and result == {"z": [1], "a": 2} and list(result) == ["z", "a"]
    assert result["z"] is inner
    assert type(build_defaults(value)) is dict
    assert value.serialize_to_disk_representation() == result


def test_build_field_for_type():
    inner = {"deep": 1}
    value = CUD(k=inner)
    metadata = {"description": "free form"}
    with unchanged(metadata):
        result = CUD.build_field_for_type(value=value, type_specification=list, name="payload", metadata=metadata)
    assert type(result) is FieldJsonText
    assert (result.name, result.display_name, result.description) == ("payload", "Payload", "free form")
    assert type(result.default) is dict and result.default == {"k": inner}
    assert result.default is not value and result.default["k"] is inner
    unnamed = CUD.build_field_for_type()
    assert (unnamed.name, unnamed.display_name, unnamed.default) == ("config_untyped_dict", "Config Untyped Dict", {})
    assert Sub.build_field_for_type(name="").name == "sub"
    assert value.build_field(name="p").default == {"k": inner}
    assert build_field("j", CUD, {"default": value}).default == {"k": inner}


@pytest.mark.parametrize("kwargs, exc, message", [
    ({"metadata": {"default": {}}}, QuorvelMetadataError, "Ambiguous default value."),
    ({"name": 5}, TypeError, "Argument 'name' has incorrect type (expected str, got int)"),
    ({"metadata": []}, TypeError, "Argument 'metadata' has incorrect type (expected dict, got list)"),
])
def test_build_field_for_type_refusals(kwargs, exc, message):
    with unchanged(kwargs), pytest.raises(exc) as err:
        CUD.build_field_for_type(**kwargs)
    assert str(err.value) == message


def test_type_key_that_is_not_a_string():
    class NoneKey(CUD):
        @classmethod
        def type_key(cls):
            return None

    class IntKey(CUD):
        @classmethod
        def type_key(cls):
            return 7

    with pytest.raises(TypeError, match=r"^Expected str, got NoneType$"):
        NoneKey.build_field_for_type()
    with pytest.raises(QuorvelImplementationError) as err:
        IntKey.build_field_for_type()
    assert str(err.value) == f"Invalid type key lookup: {IntKey}"
    assert isinstance(err.value.__context__, TypeError) and str(err.value.__context__) == "Expected str, got int"
    assert IntKey.build_field_for_type(name="named").name == "named"


def test_root_round_trip():
    value = CUD(a=1, b={"c": 2})
    root = value.build_root_defaults()
    assert root == {"config_untyped_dict": {"a": 1, "b": {"c": 2}}}
    for data in (root, root["config_untyped_dict"]):
        loaded = CUD.load_root_defaults(data)
        assert type(loaded) is CUD and loaded == value
    assert Sub.load_root_defaults({"sub": {"x": 1}}) == {"x": 1}
    assert type(CUD.parse_from_disk_representation({"x": 1})) is CUD
