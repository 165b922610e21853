"""Tests for the field builder nimbrel.quorvel.data.serialize."""

import contextlib
import enum
import inspect
import typing
from typing import Annotated, ForwardRef, Generic, Literal, TypeVar

import pydantic
import pytest

from conftest import unchanged
from nimbrel.quorvel.core.exceptions import (
    QuorvelError, QuorvelSchemaError, QuorvelTypeResolutionError,
)
from nimbrel.quorvel.data import serialize as sz
from nimbrel.quorvel.data.content_core import BaseConfigurableData
from nimbrel.quorvel.data.serialize import build_field, instantiate_field
from nimbrel.quorvel.fields.field_models import (
    BaseField, FieldBool, FieldEnum, FieldFloat, FieldInteger, FieldJsonText, FieldPassword, FieldString,
    FieldTextArea,
)

T = TypeVar("T")
ARG_ERR = "Argument '{}' has incorrect type (expected {}, got {})"
NO_FIELD_CLASS = ("BaseField has to be specified either as default_input (fallback) or via the metadata as "
                  "BaseField subclass.")


MyInt, MyFloat = type("MyInt", (int,), {}), type("MyFloat", (float,), {})
MyDict, MyStr = type("MyDict", (dict,), {}), type("MyStr", (str,), {})


class Color(enum.Enum):
    RED = "r"
    GREEN = "g"
    CRIMSON = "r"  # alias of RED, not an option of its own


class Level(enum.IntEnum):
    LOW = 1
    HIGH = 2


class Mode(enum.StrEnum):
    FAST = "fast"


class Empty(enum.Enum):
    pass


class Recorder(BaseConfigurableData):
    calls: typing.ClassVar[list] = []

    @classmethod
    def build_field_for_type(cls, *, value=None, type_specification=None, name=None, metadata=None):
        result = FieldString(name=name)
        cls.calls.append((cls, value, type_specification, name, metadata, result))
        return result

    @classmethod
    def from_defaults(cls, data, alias=None):
        return cls()


class Box(Recorder, Generic[T]):
    pass


class Boom(BaseField):
    def __init__(self, **kwargs):
        raise RuntimeError("constructor failed")


@pytest.fixture(autouse=True)
def _fresh_calls():
    Recorder.calls.clear()


def test_module_names_signatures_and_docstrings():
    names = ["Enum", "UnionType", "Any", "TypeVar", "Union", "get_origin", "get_args", "cast", "Type",
             "ValidationError", "PrimitiveClass", "BaseConfigurableData", "AliasContainerType", "WrapperAlias",
             "QuorvelError", "QuorvelTypeResolutionError", "QuorvelSchemaError", "BaseField", "FieldString",
             "FieldInteger", "FieldFloat", "FieldBool", "FieldJsonText", "FieldEnum", "C", "build_field", "B",
             "instantiate_field"]
    assert [n for n in vars(sz) if n in names] == names
    assert sz.ValidationError is pydantic.ValidationError and sz.Enum is enum.Enum and sz.FieldEnum is FieldEnum
    assert sz.C.__name__ == "C" and sz.C.__bound__ == ForwardRef("BaseConfigurableData")
    assert sz.B.__name__ == "B" and sz.B.__bound__ is BaseField
    assert str(inspect.signature(build_field)) == (
        "(name: 'str', value_type: 'Type[BaseConfigurableData] | PrimitiveClass | AliasContainerType | UnionType "
        "| None' = None, metadata: 'dict[str, Any] | None' = None) -> 'BaseField'")
    assert str(inspect.signature(instantiate_field)) == (
        "(default_input: 'Type[B] | None', name: 'str', metadata: 'dict[str, Any]') -> 'B | BaseField'")
    doc = " ".join(build_field.__doc__.split())
    assert doc.startswith("Fallback: build a field for a particular value.")
    for text in ("value_type: Optional wrapper type for configurable data.", "name: Name of the field.",
                 "metadata: Field metadata, including display name and description.",
                 "BaseField: The suitable UI representation."):
        assert text in doc
    assert instantiate_field.__doc__.strip().startswith("Used to instantiate UI fields.")


@pytest.mark.parametrize("value_type, metadata, kind, default", [
    (int, {"default": 8080}, FieldInteger, 8080),
    (None, {"default": 0.5}, FieldFloat, 0.5),
    (None, {"default": "s"}, FieldString, "s"),
    (None, {"default": True}, FieldBool, True),
    (None, {"default": 3}, FieldInteger, 3),
    (None, {"default": MyInt(4)}, FieldInteger, 4),
    (None, {"default": {"k": 1}}, FieldJsonText, {"k": 1}),
    (bool, None, FieldBool, False),
    (int, {"default": True}, FieldInteger, 1),
    (float, {"default": None}, FieldFloat, 0.0),
    (MyInt, {"default": 2}, FieldInteger, 2),
    (MyFloat, {}, FieldFloat, 0.0),
    (MyDict, {"default": {}}, FieldJsonText, {}),
    (dict[str, int], {"default": {"a": 1}}, FieldJsonText, {"a": 1}),
    (MyStr, {"default": "x"}, FieldString, "x"),
    (str, {"input": FieldPassword, "default": "pw"}, FieldPassword, "pw"),
    (int, {"input": FieldTextArea}, FieldTextArea, ""),
])
def test_leaf_kinds(value_type, metadata, kind, default):
    result = build_field("port", value_type, metadata)
    assert type(result) is kind
    assert result.default == default
    assert (result.name, result.display_name, result.type) == ("port", "Port", kind.default_type())


@pytest.mark.parametrize("name, value_type, metadata, exc, message", [
    ("x", None, None, QuorvelError, "Field 'x' needs a type annotation because default is None."),
    ("x", type(None), {"default": None}, QuorvelError, "Field 'x' needs a type annotation because default is None."),
    ("r", float, {"default": 1}, QuorvelError, "Field 'r' expects float default, got <class 'int'>."),
    ("b", bool, {"default": 1}, QuorvelError, "Field 'b' expects bool default, got <class 'int'>."),
    ("i", int, {"default": 1.0}, QuorvelError, "Field 'i' expects int default, got <class 'float'>."),
    ("i", MyInt, {"default": "1"}, QuorvelError, "Field 'i' expects int default, got <class 'str'>."),
    ("d", dict, {"default": [1]}, QuorvelError, "Field 'd' expects dict default, got <class 'list'>."),
    ("s", str, {"default": 1}, QuorvelError, "Field 's' expects str default, got <class 'int'>."),
    ("e", Color, {"default": "r"}, QuorvelError, "Field 'e' expects enum.Enum default, got <class 'str'>."),
    ("e", Level, {"default": 1}, QuorvelError, "Field 'e' expects enum.Enum default, got <class 'int'>."),
    ("o", int | None, None, QuorvelTypeResolutionError,
     "'o' is annotated as Optional/None-union (int | None). Use ConfigOptional[...] instead."),
    ("o", typing.Union[None, int, str], None, QuorvelTypeResolutionError,
     "'o' is annotated as Optional/None-union (None | int | str). Use ConfigOptional[...] instead."),
    ("u", int | str, None, QuorvelTypeResolutionError,
     "'u' is annotated as a Union (int | str). Use ConfigUnion[...] instead."),
    ("l", list[str], None, QuorvelError, "Unsupported field type <class 'list'> for field 'l'."),
    ("t", tuple, {"default": (1,)}, QuorvelError, "Unsupported field type <class 'tuple'> for field 't'."),
    ("p", None, {"default": {1, 2}}, QuorvelError, "Unsupported field type <class 'set'> for field 'p'."),
    ("p", object, None, QuorvelError, "Unsupported field type <class 'object'> for field 'p'."),
    ("a", Annotated[int, "m"], None, QuorvelSchemaError, "Unsupported field type typing.Annotated for field 'a'. "
     "If this is Annotated or a custom typing construct, strip it before calling _build_field."),
    ("a", Literal["x"], None, QuorvelSchemaError, "Unsupported field type typing.Literal for field 'a'. "
     "If this is Annotated or a custom typing construct, strip it before calling _build_field."),
    ("a", T, None, QuorvelSchemaError, "Unsupported field type ~T for field 'a'. "
     "If this is Annotated or a custom typing construct, strip it before calling _build_field."),
    ("a", "int", None, QuorvelSchemaError, "Unsupported field type 'int' for field 'a'. "
     "If this is Annotated or a custom typing construct, strip it before calling _build_field."),
])
def test_build_field_errors(name, value_type, metadata, exc, message):
    with unchanged(metadata), pytest.raises(QuorvelError) as err:
        build_field(name, value_type, metadata)
    assert type(err.value) is exc
    assert str(err.value) == message


@pytest.mark.parametrize("enum_cls, metadata, options, default", [
    (Color, {"default": Color.GREEN}, [{"text": "RED", "value": "r"}, {"text": "GREEN", "value": "g"}], "g"),
    (Color, {"default": Color.CRIMSON}, [{"text": "RED", "value": "r"}, {"text": "GREEN", "value": "g"}], "r"),
    (Color, {}, [{"text": "RED", "value": "r"}, {"text": "GREEN", "value": "g"}], None),
    (Level, {"default": Level.HIGH, "name": "other"}, [{"text": "LOW", "value": 1}, {"text": "HIGH", "value": 2}], 2),
    (Mode, {"default": Mode.FAST}, [{"text": "FAST", "value": "fast"}], "fast"),
    (Empty, {"default": None}, [], None),
    (Empty, {}, [], None),
])
def test_enum_fields(enum_cls, metadata, options, default):
    result = build_field("choice", enum_cls, metadata)
    assert type(result) is FieldEnum and result.name == "choice"
    assert result.options == options and result.default == default
    assert all(list(o) == ["text", "value"] for o in result.options)


def test_enum_default_without_annotation_and_option_override():
    result = build_field("level", None, {"default": Level.LOW, "options": [{"value": 9}]})
    assert type(result) is FieldEnum and result.default == 1 and len(result.options) == 2


def test_content_classes_build_their_own_field():
    value = Recorder()
    metadata = {"default": value, "name": "other", "description": "d"}
    result = build_field("slot", Recorder, metadata)
    [(cls, got_value, annotation, name, md, made)] = Recorder.calls
    assert result is made and cls is Recorder and got_value is value and annotation is Recorder and name == "slot"
    assert md == {"name": "other", "description": "d"} and md is not metadata

    Recorder.calls.clear()
    build_field("slot", None, {"default": value})
    assert Recorder.calls[0][2] is Recorder and Recorder.calls[0][4] == {}

    Recorder.calls.clear()
    build_field("box", Box[int], None)
    [(cls, got_value, annotation, name, md, _)] = Recorder.calls
    assert cls is Box and got_value is None and annotation == Box[int] and name == "box" and md == {}


def test_registered_enum_is_content_before_enum():
    class Registered(enum.Enum):
        ONE = 1

        @classmethod
        def build_field_for_type(cls, value=None, type_specification=None, name=None, metadata=None):
            return FieldBool(name=name, description=repr((value, type_specification, metadata)))

        @classmethod
        def from_defaults(cls, data, alias=None):
            return cls(data)

    BaseConfigurableData.register(Registered)
    result = build_field("r", Registered, {"default": Registered.ONE})
    assert type(result) is FieldBool and result.description == repr((Registered.ONE, Registered, {}))


@pytest.mark.parametrize("exc", [ValueError("inner"), TypeError("inner"), QuorvelError("inner")])
def test_content_errors_propagate_unchanged(exc):
    class Failing(Recorder):
        @classmethod
        def build_field_for_type(cls, **kwargs):
            raise exc

    with pytest.raises(type(exc)) as err:
        build_field("f", Failing, {"default": None, "description": "d"})
    assert err.value is exc


METADATA_CASES = [
    (int, {"default": 3, "name": "x", "description": "d", "min": 1}),
    (None, {"default": {"nested": [1, {"a": 2}]}}),
    (Color, {"default": Color.RED, "name": "y", "options": [{"value": "q"}]}),
    (Empty, {"default": None}),
    (Recorder, {"default": Recorder(), "name": "z", "display_name": "Z"}),
    (str, {"input": FieldPassword, "display_name": "P", "default": None}),
    (str, {"bogus": [1, 2]}),  # rejected by the field model
    (float, {"default": 1}),
    (int | str, {"default": 1}),
    (Color, {"default": "r"}),
]


@pytest.mark.parametrize("value_type, metadata", METADATA_CASES)
def test_build_field_never_modifies_metadata(value_type, metadata):
    keys = list(metadata)
    with unchanged(metadata), contextlib.suppress(QuorvelError):
        build_field("x", value_type, metadata)
    assert list(metadata) == keys


@pytest.mark.parametrize("default_input, name, metadata, kind, expected", [
    (FieldString, "max_api_key", {}, FieldString, {"display_name": "Max Api Key", "default": ""}),
    (FieldString, "s", {"default": None}, FieldString, {"default": ""}),
    (FieldInteger, "n", {"default": None, "min": 1}, FieldInteger, {"default": 0, "min": 1}),
    (FieldString, "s", {"display_name": "Custom", "name": "s"}, FieldString, {"display_name": "Custom"}),
    (FieldString, "s", {"input": FieldTextArea, "default": "t"}, FieldTextArea, {"default": "t"}),
    (None, "flag", {"input": FieldBool}, FieldBool, {"display_name": "Flag", "default": False}),
    (BaseField, "plain", {"description": "d"}, BaseField, {"description": "d", "type": "base_field"}),
])
def test_instantiate_field(default_input, name, metadata, kind, expected):
    with unchanged(metadata):
        result = instantiate_field(default_input, name, metadata)
    assert type(result) is kind and result.name == name
    assert {k: getattr(result, k) for k in expected} == expected


@pytest.mark.parametrize("default_input, name, metadata, message", [
    (None, "x", {}, NO_FIELD_CLASS),
    (FieldString, "x", {"input": None}, NO_FIELD_CLASS),
    (FieldString, "x", {"input": "FieldString"}, NO_FIELD_CLASS),
    (FieldString, "x", {"input": int}, NO_FIELD_CLASS),
    (int, "x", {}, NO_FIELD_CLASS),
    (FieldString, "a", {"name": "b"},
     "Ambiguous name provided. Provided name=a as argument and name = b in the metadata."),
    (FieldString, "a", {"name": 1},
     "Ambiguous name provided. Provided name=a as argument and name = 1 in the metadata."),
])
def test_instantiate_field_refusals(default_input, name, metadata, message):
    with unchanged(metadata), pytest.raises(QuorvelError) as err:
        instantiate_field(default_input, name, metadata)
    assert type(err.value) is QuorvelError and str(err.value) == message


def test_name_in_metadata_is_dropped_for_leaves_by_build_field():
    assert build_field("a", str, {"name": "b"}).name == "a"


@pytest.mark.parametrize("default_input, metadata, cls_name, keys, cause", [
    (FieldString, {"description": "d", "display_name": "D", "bogus": 1, "name": "x", "default": None, "min": 2},
     "FieldString", "description, bogus, min", pydantic.ValidationError),
    (FieldString, {"input": FieldInteger, "default": "abc"}, "FieldInteger", "default", pydantic.ValidationError),
    (FieldString, {1: "x", "description": "d"}, "FieldString", "1, description", TypeError),
])
def test_invalid_metadata_is_wrapped(default_input, metadata, cls_name, keys, cause):
    with unchanged(metadata), pytest.raises(QuorvelError) as err:
        instantiate_field(default_input, "x", metadata)
    assert type(err.value) is QuorvelError and type(err.value.__cause__) is cause
    prefix = f"Invalid metadata for field {cls_name}: keys=[{keys}]. "
    assert str(err.value) == prefix + str(err.value.__cause__)


def test_invalid_metadata_through_build_field():
    with pytest.raises(QuorvelError, match=r"^Invalid metadata for field FieldString: keys=\[fields\]\. ") as err:
        build_field("s", str, {"fields": []})
    assert isinstance(err.value.__cause__, pydantic.ValidationError)


@pytest.mark.parametrize("metadata", [{}, {"description": "d"}])
def test_other_constructor_errors_propagate(metadata):
    with pytest.raises(RuntimeError, match="^constructor failed$"):
        instantiate_field(Boom, "x", metadata)
    with pytest.raises(RuntimeError, match="^constructor failed$"):
        build_field("x", str, dict(metadata, input=Boom))


@pytest.mark.parametrize("call, arg, expected, given", [
    (lambda: instantiate_field(FieldString, "x", None), "metadata", "dict", "NoneType"),
    (lambda: instantiate_field(FieldString, "x", MyDict()), "metadata", "dict", "MyDict"),
    (lambda: instantiate_field(FieldString, 5, {}), "name", "str", "int"),
    (lambda: instantiate_field(FieldString, MyStr("x"), {}), "name", "str", "MyStr"),
    (lambda: build_field(None, int), "name", "str", "NoneType"),
    (lambda: build_field(MyStr("x"), int), "name", "str", "MyStr"),
    (lambda: build_field("x", int, []), "metadata", "dict", "list"),
    (lambda: build_field("x", int, MyDict()), "metadata", "dict", "MyDict"),
])
def test_argument_types(call, arg, expected, given):
    with pytest.raises(TypeError) as err:
        call()
    assert str(err.value) == ARG_ERR.format(arg, expected, given)


def test_instantiate_field_requires_all_arguments():
    with pytest.raises(TypeError):
        instantiate_field(FieldString, "x")
    assert build_field("x", int).default == 0
