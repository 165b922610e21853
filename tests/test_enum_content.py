"""Tests for the enumeration content nimbrel.quorvel.data.enum_content."""

import dataclasses
import enum
import inspect
import typing

import pytest
import typing_extensions

from conftest import unchanged
from nimbrel.quorvel.core import exceptions as exc_mod
from nimbrel.quorvel.core import naming
from nimbrel.quorvel.core.exceptions import QuorvelError, QuorvelMetadataError
from nimbrel.quorvel.data import content_core, enum_content as ec, serialize
from nimbrel.quorvel.data.content_core import BaseConfigurableData
from nimbrel.quorvel.data.enum_content import ConfigEnum
from nimbrel.quorvel.data.parse import from_defaults as parse
from nimbrel.quorvel.data.record_content import ConfigData
from nimbrel.quorvel.fields import field_models
from nimbrel.quorvel.fields.field_models import FieldData, FieldEnum
from nimbrel.quorvel.typing import type_lookup


class Color(ConfigEnum):
    RED = "red"
    GREEN = "green"
    CRIMSON = "red"  # an alias of RED: never offered as an option of its own


class Level(ConfigEnum):
    LOW = 1
    HIGH = 2


class Pair(ConfigEnum):
    A = (1, "a")


class Empty(ConfigEnum):
    pass


class Boom(RuntimeError):
    pass


class RaisingNames(type(ConfigEnum)):
    def __getitem__(cls, name):
        raise Boom(name)


class Strict(ConfigEnum, metaclass=RaisingNames):
    ONE = "one"


class Picky(ConfigEnum):
    X = "x"

    @classmethod
    def _missing_(cls, value):
        if value == "explode":
            raise Boom("missing")
        if value == "bogus":
            return "not a member"  # the enumeration machinery turns this into a TypeError
        return None


@dataclasses.dataclass
class Panel(ConfigData):
    level: Level = dataclasses.field(default=Level.HIGH, metadata={"description": "how loud"})
    color: Color = Color.GREEN


COLOR_OPTIONS = [{"text": "RED", "value": "red"}, {"text": "GREEN", "value": "green"}]
EXPECTED_NAMES = ["Any", "Type", "TypeVar", "cast", "Self", "Enum", "BaseConfigurableData", "build_defaults",
                  "WrapperAlias", "instantiate_field", "QuorvelError", "QuorvelMetadataError",
                  "display_class_name", "BaseField", "FieldEnum", "type_key_class", "E", "ConfigEnum"]
INJECTED = ["build_field", "build_root_defaults", "serialize_to_disk_representation",
            "parse_from_disk_representation", "load_root_defaults", "get_subfield_descriptors", "register"]


def test_module_names_in_order_and_bound_to_their_sources():
    assert [n for n in vars(ec) if not n.startswith("__")] == EXPECTED_NAMES
    sources = {"Any": typing.Any, "Type": typing.Type, "TypeVar": typing.TypeVar, "cast": typing.cast,
               "Self": typing_extensions.Self, "Enum": enum.Enum, "BaseConfigurableData": BaseConfigurableData,
               "build_defaults": content_core.build_defaults, "WrapperAlias": content_core.WrapperAlias,
               "instantiate_field": serialize.instantiate_field, "QuorvelError": exc_mod.QuorvelError,
               "QuorvelMetadataError": exc_mod.QuorvelMetadataError,
               "display_class_name": naming.display_class_name, "BaseField": field_models.BaseField,
               "FieldEnum": field_models.FieldEnum, "type_key_class": type_lookup.type_key_class}
    for name, obj in sources.items():
        assert getattr(ec, name) is obj, name
    assert isinstance(ec.E, typing.TypeVar) and ec.E.__name__ == "E"
    assert ec.E.__bound__ == typing.ForwardRef("ConfigEnum") and ec.E.__bound__.__forward_arg__ == "ConfigEnum"


def test_class_shape_and_registration():
    assert ConfigEnum.__bases__ == (enum.Enum,) and type(ConfigEnum) is type(enum.Enum)
    assert ConfigEnum.__doc__ == "Enum content with selectable string values."
    assert BaseConfigurableData not in ConfigEnum.__mro__
    for cls in (ConfigEnum, Color, Level, Strict):
        assert issubclass(cls, BaseConfigurableData)
    assert isinstance(Color.RED, BaseConfigurableData) and isinstance(Level.LOW, BaseConfigurableData)
    assert not issubclass(enum.Enum, BaseConfigurableData)
    own = [n for n in vars(ConfigEnum) if not n.startswith("_")]
    assert own[:3] == ["build_field_for_type", "build_defaults", "from_defaults"]
    for name in INJECTED:
        assert vars(ConfigEnum)[name] is vars(BaseConfigurableData)[name], name
    assert vars(ConfigEnum)["build_defaults"] is not vars(BaseConfigurableData)["build_defaults"]
    assert ConfigEnum.register is not None and Color.register.__func__ is BaseConfigurableData.register.__func__


@pytest.mark.parametrize("name, is_classmethod, text, doc", [
    ("build_field_for_type", True,
     "(cls: 'Type[Self]', value: 'Self | str | None' = None, type_specification: 'WrapperAlias | None' = None, "
     "name: 'str | None' = None, metadata: 'dict[str, Any] | None' = None) -> 'FieldEnum | BaseField'",
     ["Create a UI field representation for any sort of value, including the defaults.", "value:",
      "type_specification:", "name:", "metadata:", "BaseField: The suitable UI representation."]),
    ("build_defaults", False, "(self) -> 'str'", ["Create the default value."]),
    ("from_defaults", True, "(cls, data: 'dict[str, Any] | Any', alias: 'WrapperAlias | None' = None) -> 'Self'",
     ["Create an instance from UI defaults data.", "QuorvelError", "If the input cannot be parsed for this type."]),
])
def test_signatures_and_docstrings(name, is_classmethod, text, doc):
    member = vars(ConfigEnum)[name]
    assert isinstance(member, classmethod) is is_classmethod
    func = getattr(member, "__func__", member)
    assert str(inspect.signature(func)) == text
    assert func.__doc__.strip().startswith(doc[0]) and all(part in func.__doc__ for part in doc)


@pytest.mark.parametrize("data, expected", [
    (Color.RED, Color.RED), ("red", Color.RED), ("RED", Color.RED), ("green", Color.GREEN),
    ("CRIMSON", Color.RED), ({"value": "green"}, Color.GREEN), ({"default": "red"}, Color.RED),
    ({"value": "green", "default": "red"}, Color.GREEN), ({"value": "GREEN"}, Color.GREEN),
    ({"default": Color.GREEN}, Color.GREEN), (1, Level.LOW), ("HIGH", Level.HIGH), ({"value": 2}, Level.HIGH),
    ((1, "a"), Pair.A), ("A", Pair.A), ("one", Strict.ONE), ("x", Picky.X),
])
def test_from_defaults_finds_the_member(data, expected):
    with unchanged(data):
        assert type(expected).from_defaults(data) is expected
        assert type(expected).from_defaults(data, alias=list) is expected
        assert type(expected).parse_from_disk_representation(data) is expected


@pytest.mark.parametrize("cls, data, shown", [
    (Color, "blue", "'blue'"), (Color, {}, "{}"), (Color, {"value": "blue"}, "'blue'"), (Color, None, "None"),
    (Color, {"other": 1}, "{'other': 1}"), (Color, 3, "3"), (Color, ["red"], "['red']"),
    (Color, {"value": None, "default": "red"}, "None"), (Color, Level.LOW, "<Level.LOW: 1>"),
    (Level, "2", "'2'"), (Level, "low", "'low'"), (Empty, "x", "'x'"), (Picky, "bogus", "'bogus'"),
])
def test_from_defaults_invalid(cls, data, shown):
    with pytest.raises(QuorvelError) as err:
        cls.from_defaults(data)
    assert type(err.value) is QuorvelError
    assert str(err.value) == f"Invalid {naming.display_class_name(cls)}: {shown}"
    assert str(err.value) == f"Invalid {cls.__name__}: {shown}"
    assert err.value.__cause__ is None and not err.value.__suppress_context__
    context = err.value.__context__
    assert isinstance(context, (ValueError, TypeError))
    if cls is not Empty and data != "bogus":
        assert type(context) is ValueError
    chain = []
    while context is not None:
        chain.append(context)
        context = context.__context__
    assert not any(isinstance(e, KeyError) for e in chain)


@pytest.mark.parametrize("data, shown", [(10**5000, "int"), ({"value": -(10**5000)}, "int"),
                                         ([10**5000], "list")], ids=["int", "value", "list"])
def test_invalid_data_without_a_repr_is_shown_by_display_value(monkeypatch, data, shown):
    # repr of an int past the digit limit raises ValueError; the message must still be built.
    monkeypatch.setattr(naming, "display_value", lambda value, value_length=25: f"<{type(value).__name__}>")
    with pytest.raises(QuorvelError) as err:
        Color.from_defaults(data)
    assert type(err.value) is QuorvelError and str(err.value) == f"Invalid Color: <{shown}>"
    assert isinstance(err.value.__context__, (ValueError, TypeError))


def test_foreign_errors_of_the_lookups_propagate():
    with pytest.raises(Boom, match="^missing$"):
        Picky.from_defaults("explode")
    with pytest.raises(Boom, match="^nope$") as err:
        Strict.from_defaults("nope")
    assert not isinstance(err.value, QuorvelError)
    with pytest.raises(QuorvelError, match=r"^Invalid Strict: 5$"):
        Strict.from_defaults(5)  # not text: no lookup by name


@pytest.mark.parametrize("cls, member, default", [
    (Color, Color.GREEN, "green"), (Level, Level.HIGH, 2), (Pair, Pair.A, (1, "a")),
])
def test_build_defaults_returns_the_value_itself(cls, member, default):
    assert member.build_defaults() == default and member.build_defaults() is member.value
    assert type(member.build_defaults()) is type(default)
    assert content_core.build_defaults(member) is member.value
    assert member.serialize_to_disk_representation() is member.value
    key = type_lookup.type_key_class(cls)
    assert member.build_root_defaults() == {key: default}
    for data in ({key: default}, {key: {"value": default}}, {"value": default}):
        assert cls.load_root_defaults(data) is member
    assert cls.get_subfield_descriptors() == [] and type(cls.get_subfield_descriptors()) is list
    with pytest.raises(TypeError, match=r"^Argument 'data' has incorrect type \(expected dict, got"):
        cls.load_root_defaults(default)


@pytest.mark.parametrize("cls, kwargs, name, default", [
    (Color, {}, "color", None), (Color, {"value": None, "name": ""}, "color", None),
    (Color, {"value": Color.GREEN, "name": "paint"}, "paint", "green"),
    (Color, {"value": "green"}, "color", "green"), (Color, {"value": "GREEN"}, "color", "green"),
    (Color, {"value": "CRIMSON", "type_specification": list}, "color", "red"),
    (Color, {"value": Color.CRIMSON, "metadata": {}}, "color", "red"),
    (Level, {"value": Level.HIGH}, "level", 2), (Level, {"value": "LOW"}, "level", 1),
    (Level, {"value": 2}, "level", 2), (Level, {"value": 7}, "level", None),
])
def test_build_field_for_type(cls, kwargs, name, default):
    result = cls.build_field_for_type(**kwargs)
    assert type(result) is FieldEnum and result.name == name and result.default == default
    assert type(result.default) is type(default)
    expected = [{"text": m.name, "value": m.value} for m in cls]
    assert result.options == expected and [list(o) for o in result.options] == [["text", "value"]] * len(cls)
    assert result.display_name == field_models.BaseField.capitalize(name) and result.type == "field_enum"


def test_build_field_for_type_metadata_is_copied_and_never_changed():
    metadata = {"display_name": "Paint", "description": "d", "options": [{"text": "X", "value": "x"}]}
    options = metadata["options"]
    with unchanged(metadata):
        result = Color.build_field_for_type(value=Color.RED, name="paint", metadata=metadata)
        again = Color.RED.build_field(name="paint", metadata=metadata)
    assert metadata["options"] is options
    assert (result.display_name, result.description, result.default) == ("Paint", "d", "red")
    assert result.options == COLOR_OPTIONS
    assert again.model_dump() == result.model_dump()


@pytest.mark.parametrize("kwargs, error, message", [
    ({"metadata": {"default": "red"}}, QuorvelMetadataError, "Ambiguous default value."),
    ({"metadata": {"default": None}}, QuorvelMetadataError, "Ambiguous default value."),
    ({"value": "blue", "metadata": {"default": 1}}, QuorvelError, "Invalid Color: 'blue'"),
    ({"name": 5}, TypeError, "Argument 'name' has incorrect type (expected str, got int)"),
    ({"metadata": [("a", 1)]}, TypeError, "Argument 'metadata' has incorrect type (expected dict, got list)"),
    ({"metadata": {"bogus": 1}}, QuorvelError, "Invalid metadata for field FieldEnum: keys=[bogus, options]. "),
])
def test_build_field_for_type_refusals(kwargs, error, message):
    with unchanged(kwargs), pytest.raises(error) as err:
        Color.build_field_for_type(**kwargs)
    assert str(err.value).startswith(message)
    if message.endswith("."):
        assert str(err.value) == message


def test_type_key_that_is_not_a_string():
    class NoKey(ConfigEnum):
        ONLY = "only"

        @classmethod
        def type_key(cls):
            return None

    with pytest.raises(TypeError, match=r"^Expected str, got NoneType$"):
        NoKey.build_field_for_type()
    assert NoKey.build_field_for_type(name="named").options == [{"text": "ONLY", "value": "only"}]


def test_record_with_enumeration_fields():
    group = Panel.build_field_for_type()
    assert type(group) is FieldData and [f.name for f in group.fields] == ["level", "color"]
    level, color = group.fields
    assert type(level) is FieldEnum and level.default == 2 and type(level.default) is int
    assert level.options == [{"text": "LOW", "value": 1}, {"text": "HIGH", "value": 2}]
    assert level.description == "how loud" and color.default == "green" and color.options == COLOR_OPTIONS
    custom = Panel(level=Level.LOW, color=Color.RED)
    assert [f.default for f in Panel.build_field_for_type(value=custom).fields] == [1, "red"]
    defaults = custom.build_defaults()
    assert defaults == {"level": 1, "color": "red"} and type(defaults["level"]) is int
    parsed = Panel.from_defaults(defaults)
    assert parsed == custom and parsed.level is Level.LOW and parsed.color is Color.RED
    assert Panel.from_defaults({"level": "HIGH"}) == Panel()
    assert Panel.load_root_defaults(custom.build_root_defaults()) == custom
    with pytest.raises(QuorvelError) as err:
        Panel.from_defaults({"level": 9})
    assert str(err.value).startswith("Failed to parse field Panel.level from <class 'int'> instance '9'.")
    assert str(err.value.__cause__) == "Invalid Level: 9"


def test_dispatcher_and_field_builder_treat_enumerations_as_content():
    assert parse(data="GREEN", alias=Color) is Color.GREEN and parse(data=2, alias=Level) is Level.HIGH
    with pytest.raises(QuorvelError) as err:
        parse(data="blue", alias=Color)
    assert type(err.value) is QuorvelError and str(err.value) == "Invalid Color: 'blue'"
    built = serialize.build_field(name="c", value_type=Color, metadata={"default": Color.GREEN})
    assert type(built) is FieldEnum and built.default == "green" and built.options == COLOR_OPTIONS


def test_a_failing_name_lookup_keeps_the_value_lookup_error_as_context():
    class BrokenLookup(type(ConfigEnum)):
        def __getitem__(cls, name):
            raise RuntimeError("lookup broke")

    class LookupBrokenMood(ConfigEnum, metaclass=BrokenLookup):
        CALM = "calm"

    with pytest.raises(RuntimeError, match="^lookup broke$") as info:
        LookupBrokenMood.from_defaults("storm")
    assert type(info.value.__context__) is ValueError
