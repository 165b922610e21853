"""Tests for the UI field models in nimbrel.quorvel.fields.field_models."""

import collections.abc
import inspect
import re
import types
import typing
import warnings
from typing import Any

import annotationlib
import pydantic
import pytest
from pydantic import Field, ValidationError

from nimbrel.quorvel.data.base import BaseContent
from nimbrel.quorvel.fields import field_models as fm
from nimbrel.quorvel.fields.field_models import (
    BaseField, FieldBool, FieldData, FieldEnum, FieldFloat, FieldInteger, FieldJsonText,
    FieldList, FieldNested, FieldOptional, FieldPassword, FieldString, FieldTextArea, FieldUnion,
)

MODEL_METACLASS = type(pydantic.BaseModel)
BASE_KEYS = ["name", "description", "display_name", "type"]

# class, "type" identifier, keys after "type", first docstring line
KINDS = [
    (BaseField, "base_field", [], "Base class for all UI field types with metadata and recursive behavior."),
    (FieldNested, "field_nested", ["fields"], "Base class for fields that contain one or more nested subfields."),
    (FieldString, "field_string", ["default"], "Basic string field."),
    (FieldPassword, "field_password", ["default"], "Basic password field."),
    (FieldTextArea, "field_text_area", ["default"], "Basic text area field."),
    (FieldInteger, "field_integer", ["default", "min", "max"], "Basic integer field with optional bounds."),
    (FieldFloat, "field_float", ["default", "min", "max"], "Basic float field with optional bounds."),
    (FieldBool, "field_bool", ["default"], "Basic bool field."),
    (FieldJsonText, "field_json_text", ["default"], "Basic JSON field."),
    (FieldEnum, "field_enum", ["options", "default"], "Basic enum field with selectable options."),
    (FieldData, "field_data", ["fields"], "Group field that contains a list of subfields."),
    (FieldList, "field_list", ["fields", "default"], "List field containing repeated items."),
    (FieldUnion, "field_union", ["fields", "default"], "Union field selecting exactly one child variant."),
    (FieldOptional, "field_optional", ["fields", "default"],
     "Optional field that can enable or disable its children."),
]
ALL_CLASSES = [k[0] for k in KINDS]
LEAVES = [FieldString, FieldPassword, FieldTextArea, FieldInteger, FieldFloat, FieldBool, FieldJsonText, FieldEnum]
NESTED = [FieldData, FieldList, FieldUnion, FieldOptional]

# own fields per class: annotation text and default (... = required, list/dict = default factory)
OWN_FIELDS = {
    BaseField: {"name": ("str", ...), "description": ("str | None", None),
                "display_name": ("str | None", None), "type": ("str | None", None)},
    FieldNested: {"fields": ("list[BaseField]", list)},
    FieldString: {"default": ("str | None", "")},
    FieldPassword: {"default": ("str | None", "")},
    FieldTextArea: {"default": ("str | None", "")},
    FieldInteger: {"default": ("int | None", 0), "min": ("int | None", None), "max": ("int | None", None)},
    FieldFloat: {"default": ("float | None", 0.0), "min": ("float | None", None), "max": ("float | None", None)},
    FieldBool: {"default": ("bool | None", False)},
    FieldJsonText: {"default": ("dict[str, Any]", dict)},
    FieldEnum: {"options": ("list[dict[str, str | int]]", list), "default": ("str | int | None", None)},
    FieldData: {},
    FieldList: {"default": ("list[dict[Any, Any] | BaseContent | int | str | float | bool]", list)},
    FieldUnion: {"default": ("str | None", None)},
    FieldOptional: {"default": ("bool", False)},
}


class Content(BaseContent):
    pass


@pytest.mark.parametrize("cls, type_id, extra_keys, doc", KINDS)
def test_class_is_pydantic_model_with_shared_config(cls, type_id, extra_keys, doc):
    assert issubclass(cls, pydantic.BaseModel)
    assert type(cls) is MODEL_METACLASS
    assert cls.__doc__.splitlines()[0] == doc
    cfg = cls.model_config
    assert cfg["arbitrary_types_allowed"] is True
    assert cfg["extra"] == "forbid"
    assert cfg["ignored_types"] == (collections.abc.Callable,)


@pytest.mark.parametrize(
    "cls, base",
    [(FieldNested, BaseField)] + [(c, BaseField) for c in LEAVES] + [(c, FieldNested) for c in NESTED],
)
def test_bases(cls, base):
    assert cls.__bases__ == (base,)


@pytest.mark.parametrize("cls", ALL_CLASSES)
def test_model_fields_order_annotations_and_defaults(cls):
    expected = {}
    for klass in reversed(cls.__mro__):
        expected.update(OWN_FIELDS.get(klass, {}))
    assert list(cls.model_fields) == list(expected)
    own = annotationlib.get_annotations(cls, format=annotationlib.Format.STRING)
    assert own == {k: ann for k, (ann, _) in OWN_FIELDS[cls].items()}
    for name, (_, default) in expected.items():
        info = cls.model_fields[name]
        if default is ...:
            assert info.is_required()
        elif default in (list, dict):
            assert info.default_factory is default
        else:
            assert info.default_factory is None
            assert info.default == default and type(info.default) is type(default)


def test_module_attributes():
    assert fm.re is re
    assert fm.Callable is collections.abc.Callable
    assert fm.BaseModel is pydantic.BaseModel
    assert fm.Field is pydantic.Field
    assert fm.model_validator is pydantic.model_validator
    assert fm.ConfigDict is pydantic.ConfigDict
    assert fm.Any is typing.Any
    assert fm.cast is typing.cast
    assert fm.BaseContent is BaseContent
    assert fm.__doc__.startswith("Defines the UI field schema (BaseField and its subclasses).")


def test_form_field_alias():
    assert isinstance(fm.FormField, types.UnionType)
    assert fm.FormField.__args__ == (
        FieldString, FieldPassword, FieldTextArea, FieldInteger, FieldFloat, FieldBool,
        FieldJsonText, FieldEnum, FieldList, FieldData, FieldUnion, FieldOptional,
    )


DUMP_SIG = "(self, *args: 'Any', **kwargs: 'Any') -> 'dict[str, Any]'"
CHILDREN_SIG = "(self) -> 'list[BaseField]'"
CHILDREN_DOC = "Return the list of active subfields."


@pytest.mark.parametrize(
    "cls, method, text, doc",
    [
        (BaseField, "model_post_init", "(self, _BaseField__context: 'Any') -> 'None'",
         "Default post init; fill in defaults for display name and type if not specified."),
        (BaseField, "default_type", "(cls) -> 'str'", "Derive default type string from class name."),
        (BaseField, "model_dump", DUMP_SIG, "Serialize this field, its content and all subfields."),
        (BaseField, "get_children", CHILDREN_SIG, CHILDREN_DOC),
        (BaseField, "capitalize", "(content: 'str') -> 'str'",
         "Capitalize and prettify snake_case string into Title Case."),
        (FieldNested, "get_children", CHILDREN_SIG, CHILDREN_DOC),
        (FieldNested, "model_dump", DUMP_SIG, "Recursively serialize this field, its content and all subfields."),
        (FieldEnum, "model_post_init", "(self, _FieldEnum__context: 'Any') -> 'None'",
         "Fill in default if no valid value specified and call the base post init."),
        (FieldUnion, "get_children", CHILDREN_SIG, CHILDREN_DOC),
        (FieldOptional, "get_children", CHILDREN_SIG, CHILDREN_DOC),
        (FieldList, "_validate_defaults", "(self) -> 'FieldList'", None),
        (FieldUnion, "_validate_default", "(self) -> 'FieldUnion'", None),
    ],
)
def test_method_signatures_and_docstrings(cls, method, text, doc):
    assert method in cls.__dict__
    func = getattr(cls, method)
    func = getattr(func, "__func__", func)  # unwrap the bound class method
    assert str(inspect.signature(func)) == text
    if doc is not None:
        assert func.__doc__ == doc


@pytest.mark.parametrize("cls", ALL_CLASSES)
def test_construction_rejects_unknown_keyword_and_missing_name(cls):
    with pytest.raises(ValidationError):
        cls(name="x", bogus=1)
    with pytest.raises(ValidationError):
        cls()


@pytest.mark.parametrize(
    "cls, attr",
    [(FieldNested, "fields"), (FieldData, "fields"), (FieldJsonText, "default"),
     (FieldEnum, "options"), (FieldList, "default"), (FieldList, "fields")],
)
def test_default_factories_are_fresh_per_instance(cls, attr):
    a, b = cls(name="a"), cls(name="b")
    assert getattr(a, attr) == getattr(b, attr) == type(getattr(a, attr))()
    assert getattr(a, attr) is not getattr(b, attr)


@pytest.mark.parametrize(
    "cls, kwargs, ok",
    [
        (FieldInteger, {"default": None}, True),
        (FieldString, {"default": None}, True),
        (FieldOptional, {"default": None}, False),
        (FieldJsonText, {"default": None}, False),
        (FieldList, {"default": None}, False),
        (FieldEnum, {"options": [{"value": 1.5}]}, False),
        (FieldEnum, {"options": [{1: "a"}]}, False),
        (FieldEnum, {"options": [{"value": [1]}]}, False),
    ],
)
def test_value_validation(cls, kwargs, ok):
    if ok:
        assert getattr(cls(name="x", **kwargs), "default") is None
    else:
        with pytest.raises(ValidationError):
            cls(name="x", **kwargs)


@pytest.mark.parametrize("cls, type_id, extra_keys, doc", KINDS)
def test_post_init_fills_display_name_and_type(cls, type_id, extra_keys, doc):
    f = cls(name="max_speed")
    assert (f.display_name, f.type) == ("Max Speed", type_id)
    assert "name" in f.model_fields_set


def test_post_init_keeps_explicit_values_including_empty_strings():
    f = FieldString(name="max_speed", display_name="", type="")
    assert (f.display_name, f.type) == ("", "")
    g = BaseField(name="max_speed", display_name="Speed", type="custom")
    assert (g.display_name, g.type) == ("Speed", "custom")


def test_post_init_uses_capitalize_of_the_instance_class():
    class ShoutField(BaseField):
        @staticmethod
        def capitalize(content):
            return content.upper() + "!"

    assert ShoutField(name="a_b").display_name == "A_B!"


def _subclass(name, base=BaseField):
    return MODEL_METACLASS(name, (base,), {"__module__": __name__, "__qualname__": name})


@pytest.mark.parametrize(
    "name, base, expected",
    [("MyURLField", BaseField, "my_u_r_l_field"), ("ABField", BaseField, "a_b_field"),
     ("Field2D", BaseField, "field2_d"), ("lowerCase", BaseField, "lower_case"),
     ("ÉtatÜberField", BaseField, "étatüber_field"), ("X", BaseField, "x"),
     ("MyGroupField", FieldData, "my_group_field")],
)
def test_default_type_of_subclasses(name, base, expected):
    cls = _subclass(name, base)
    assert cls.default_type() == expected
    assert cls(name="v").type == expected
    assert FieldJsonText.default_type() == "field_json_text"


@pytest.mark.parametrize(
    "text, expected",
    [("max_api_key", "Max Api Key"), ("myValue", "Myvalue"), ("a__b", "A  B"), ("", ""),
     ("_x_", " X "), ("HTTP_PORT", "Http Port"), ("1st_try", "1st Try")],
)
def test_capitalize_examples(text, expected):
    assert BaseField.capitalize(text) == expected
    assert BaseField(name="n").capitalize(text) == expected


@pytest.mark.parametrize("text", ["ǆemal_ÉCOLE", "ß_x", "ﬁx_İstanbul", "ŉ_ǈ_ΣΑΣ", "émile_ÖL", "日本_語"])
def test_capitalize_non_ascii_matches_str_capitalize(text):
    assert BaseField.capitalize(text) == " ".join(p.capitalize() for p in text.split("_"))


class MyStr(str):
    pass


@pytest.mark.parametrize("value", [None, 5, b"a_b", MyStr("a_b")])
def test_capitalize_rejects_non_str(value):
    with pytest.raises(TypeError):
        BaseField.capitalize(value)


@pytest.mark.parametrize("cls, type_id, extra_keys, doc", KINDS)
def test_dump_key_order_and_type(cls, type_id, extra_keys, doc):
    dumped = cls(name="x").model_dump()
    assert list(dumped) == BASE_KEYS + extra_keys
    assert dumped["type"] == type_id
    assert dumped["description"] is None


@pytest.mark.parametrize(
    "cls, default",
    [(FieldString, ""), (FieldInteger, 0), (FieldFloat, 0.0), (FieldBool, False), (FieldJsonText, {}),
     (FieldEnum, None), (FieldUnion, None), (FieldOptional, False), (FieldList, [])],
)
def test_dump_always_has_default(cls, default):
    dumped = cls(name="x").model_dump()
    assert dumped["default"] == default and type(dumped["default"]) is type(default)


def test_camera_example():
    camera = FieldData(name="camera", fields=[FieldString(name="host_name")])
    assert camera.model_dump() == {
        "name": "camera", "description": None, "display_name": "Camera", "type": "field_data",
        "fields": [{"name": "host_name", "description": None, "display_name": "Host Name",
                    "type": "field_string", "default": ""}],
    }


@pytest.mark.parametrize("option", ["exclude_unset", "exclude_defaults", "exclude_none", "by_alias"])
@pytest.mark.parametrize("cls", [BaseField, FieldString, FieldData])
def test_forced_dump_options_cannot_be_passed(cls, option):
    with pytest.raises(TypeError, match=f"got multiple values for keyword argument '{option}'"):
        cls(name="x").model_dump(**{option: False})


def test_children_are_dumped_by_their_own_kind_recursively():
    inner = FieldData(name="inner", fields=[FieldEnum(name="e", options=[{"value": "a"}], default="a")])
    outer = FieldData(name="outer", fields=[FieldInteger(name="n", min=1, max=9), inner])
    fields = outer.model_dump()["fields"]
    assert fields[0] == {"name": "n", "description": None, "display_name": "N", "type": "field_integer",
                         "default": 0, "min": 1, "max": 9}
    assert list(fields[1]) == BASE_KEYS + ["fields"]
    assert fields[1]["fields"] == [{"name": "e", "description": None, "display_name": "E", "type": "field_enum",
                                    "options": [{"value": "a"}], "default": "a"}]


@pytest.mark.parametrize("cls", NESTED)
def test_nested_kinds_dump_children(cls):
    child = FieldBool(name="flag", default=True)
    kwargs = {"default": "flag"} if cls is FieldUnion else {}
    parent = cls(name="p", fields=[child], **kwargs)
    assert parent.fields[0] is child
    dumped = parent.model_dump()
    assert dumped["fields"] == [child.model_dump()]
    assert dumped["fields"][0]["default"] is True


def test_dump_mode_json_reaches_children():
    json_child = FieldJsonText(name="j", default={"t": (1, 2)})
    tree = FieldData(name="d", fields=[FieldOptional(name="o", fields=[json_child])])
    assert tree.model_dump()["fields"][0]["fields"][0]["default"] == {"t": (1, 2)}
    assert tree.model_dump(mode="json")["fields"][0]["fields"][0]["default"] == {"t": [1, 2]}


def test_dump_exclude_and_include_reach_children():
    group = FieldData(name="g", fields=[FieldString(name="s")])
    tree = FieldData(name="d", fields=[FieldInteger(name="n"), group])
    dumped = tree.model_dump(exclude={"description"})
    assert list(dumped) == ["name", "display_name", "type", "fields"]
    assert list(dumped["fields"][0]) == ["name", "display_name", "type", "default", "min", "max"]
    assert dumped["fields"][1]["fields"] == [
        {"name": "s", "display_name": "S", "type": "field_string", "default": ""}]
    included = tree.model_dump(include={"name", "fields"})
    assert included == {"name": "d", "fields": [{"name": "n"}, {"name": "g", "fields": [{"name": "s"}]}]}


def test_dump_warnings_option_reaches_children():
    child = FieldInteger(name="n")
    child.default = "not a number"
    tree = FieldData(name="d", fields=[child])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        dumped = tree.model_dump(warnings=False)
    assert caught == []
    assert dumped["fields"][0]["default"] == "not a number"


def test_list_content_items_dump_as_objects():
    item = Content()
    dumped = FieldList(name="l", default=[item, {"a": 1}]).model_dump()
    assert dumped["default"][0] is item and dumped["default"][1] == {"a": 1}


def test_child_dump_error_propagates_unchanged():
    error = RuntimeError("boom")

    class BrokenField(BaseField):
        def model_dump(self, *args, **kwargs):
            raise error

    tree = FieldData(name="d", fields=[FieldString(name="s"), FieldList(name="l", fields=[BrokenField(name="b")])])
    with pytest.raises(RuntimeError) as excinfo:
        tree.model_dump()
    assert excinfo.value is error


def test_instances_are_mutable_without_revalidation():
    f = FieldOptional(name="o")
    f.default = "yes"
    f.display_name = None
    assert f.default == "yes" and f.display_name is None
    dumped = f.model_dump(warnings=False)
    assert dumped["default"] == "yes" and dumped["display_name"] is None
    enum = FieldEnum(name="e", options=[{"value": "a"}], default="a")
    enum.default = "other"
    assert enum.model_dump()["default"] == "other"


@pytest.mark.parametrize("cls", [BaseField] + LEAVES)
def test_leaf_children_are_new_empty_lists(cls):
    f = cls(name="x")
    first, second = f.get_children(), f.get_children()
    assert first == [] and second == [] and first is not second


@pytest.mark.parametrize("cls", [FieldNested, FieldData, FieldList])
def test_nested_children_are_the_fields_list(cls):
    f = cls(name="x", fields=[FieldString(name="a")])
    children = f.get_children()
    assert children is f.fields
    children.append(FieldString(name="b"))
    assert [c.name for c in f.fields] == ["a", "b"]


def test_union_children():
    a, b, a2 = BaseField(name="a"), FieldString(name="b"), FieldInteger(name="a")
    union = FieldUnion(name="u", fields=[a, b, a2], default="a")
    selected = union.get_children()
    assert len(selected) == 1 and selected[0] is a
    union.default = "b"
    assert union.get_children()[0] is b
    union.default = "missing"
    assert union.get_children() == []
    for empty in (None, ""):
        union.default = empty
        assert union.get_children() == []
    assert FieldUnion(name="u", fields=[a]).get_children() == []


def test_optional_children():
    child = FieldString(name="s")
    enabled = FieldOptional(name="o", fields=[child], default=True)
    assert enabled.get_children() is enabled.fields
    disabled = FieldOptional(name="o", fields=[child])
    first = disabled.get_children()
    assert first == [] and first is not disabled.get_children()


@pytest.mark.parametrize(
    "options, default, expected",
    [
        ([{"value": 1}], 2, None),
        ([{"value": 1}], 1, 1),
        ([{"value": 1}], "1", None),
        ([], "a", None),
        ([], 0, None),
        ([{"label": "x"}], None, None),
        ([{"label": "x"}, {"value": "a", "label": "A"}], "a", "a"),
        ([{"label": "x"}, {"value": "a"}], "zz", None),
        ([{"value": "a"}, {"value": 7}], 7, 7),
    ],
)
def test_enum_default_reset(options, default, expected):
    f = FieldEnum(name="choice", options=options, default=default)
    assert f.default == expected and type(f.default) is type(expected)
    assert (f.display_name, f.type) == ("Choice", "field_enum")


def test_union_default_must_name_a_child():
    children = [BaseField(name="c"), FieldString(name="a"), BaseField(name="c")]
    with pytest.raises(ValidationError) as excinfo:
        FieldUnion(name="u", fields=children, default="b")
    assert "FieldUnion.default 'b' not in options ['a', 'c']" in str(excinfo.value)
    with pytest.raises(ValidationError) as excinfo:
        FieldUnion(name="u", default="x")
    assert "FieldUnion.default 'x' not in options []" in str(excinfo.value)
    union = FieldUnion(name="u", fields=children, default="c")
    assert union.type == "field_union" and FieldUnion._validate_default(union) is union


def test_list_accepts_primitives_dicts_and_content():
    item = Content()
    f = FieldList(name="l", default=[1, "s", 1.5, True, {"a": [1]}, item])
    assert f.default == [1, "s", 1.5, True, {"a": [1]}, item]
    assert [type(v) for v in f.default] == [int, str, float, bool, dict, Content]
    assert f.default[5] is item


@pytest.mark.parametrize(
    "default, message",
    [([1, [2]], "List item 1 must be a dict/content/primitives, got <class 'list'>"),
     ([{"a": 1}, "x", (1,)], "List item 2 must be a dict/content/primitives, got <class 'tuple'>"),
     ([None], "List item 0 must be a dict/content/primitives, got <class 'NoneType'>")],
)
def test_list_validator_rejects_other_items_when_called_directly(default, message):
    f = FieldList.model_construct(name="l", default=default)
    with pytest.raises(ValueError, match=re.escape(message)):
        FieldList._validate_defaults(f)


def test_list_validator_error_surfaces_as_validation_error():
    class LooseList(FieldList):
        default: list[Any] = Field(default_factory=list)

    with pytest.raises(ValidationError) as excinfo:
        LooseList(name="l", default=["ok", None, {1}])
    assert "List item 1 must be a dict/content/primitives, got <class 'NoneType'>" in str(excinfo.value)
    assert LooseList(name="l", default=[True, Content()]).type == "loose_list"


@pytest.mark.parametrize("default", [None, [], [1, "a", {"k": 2}, Content()]])
def test_list_validator_returns_valid_instance(default):
    f = FieldList.model_construct(name="l", default=default)
    assert FieldList._validate_defaults(f) is f
