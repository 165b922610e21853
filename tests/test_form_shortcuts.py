"""Form building takes shortcuts past pydantic where the outcome is provably the same:
every shortcut is compared here with the general path, and every guard is shown to
switch it off on the very next call."""

import dataclasses

import pytest
from pydantic import field_serializer

from conftest import run_python
from nimbrel.quorvel.data import list_content
from nimbrel.quorvel.data.base import BaseContent
from nimbrel.quorvel.data.enum_content import ConfigEnum
from nimbrel.quorvel.data.list_content import ConfigList
from nimbrel.quorvel.data.optional_content import ConfigOptional
from nimbrel.quorvel.data.record_content import ConfigData
from nimbrel.quorvel.data.serialize import instantiate_field
from nimbrel.quorvel.data.union_content import ConfigUnion
from nimbrel.quorvel.fields.field_models import FieldList


class Shade(ConfigEnum):
    LIGHT = "light"
    DARK = "dark"


@dataclasses.dataclass
class Point(ConfigData):
    x: int = 0
    label: str = "origin"
    weight: float = 1.5
    shown: bool = True
    shade: Shade = Shade.DARK


def _points() -> ConfigList[Point]:
    return ConfigList[Point]([Point(), Point(x=3, label="three", shade=Shade.LIGHT)])


@dataclasses.dataclass
class Drawing(ConfigData):
    points: ConfigList[Point] = dataclasses.field(default_factory=_points)
    numbers: ConfigList[int] = dataclasses.field(default_factory=lambda: ConfigList[int]([1, 2, 3]))
    grid: ConfigList[ConfigList[int]] = dataclasses.field(
        default_factory=lambda: ConfigList[ConfigList[int]]([ConfigList[int]([1]), ConfigList[int]([])]))
    choices: ConfigList[ConfigUnion[int | Point]] = dataclasses.field(
        default_factory=lambda: ConfigList[ConfigUnion[int | Point]]([ConfigUnion[int | Point](Point()),
                                                                     ConfigUnion[int | Point](4)]))
    maybe: ConfigOptional[Point] = dataclasses.field(default_factory=lambda: ConfigOptional[Point](Point()))
    maybe_list: ConfigOptional[ConfigList[Point]] = dataclasses.field(
        default_factory=lambda: ConfigOptional[ConfigList[Point]](_points()))
    pick: ConfigUnion[int | Point] = dataclasses.field(default_factory=lambda: ConfigUnion[int | Point](Point()))
    shade: Shade = Shade.LIGHT


# Builds and dumps the general way, as only the library's own FieldList takes
# shortcuts; named as it is so that derived types and error titles match.
GeneralFieldList = type("FieldList", (FieldList,), {})


def general_form(cls, value, monkeypatch):
    with monkeypatch.context() as patch:
        patch.setattr(list_content, "FieldList", GeneralFieldList)
        return cls.build_field_for_type(value=value)


def list_fields(field):
    found = [field] if isinstance(field, FieldList) else []
    for child in getattr(field, "fields", []):
        found += list_fields(child)
    return found


@pytest.mark.parametrize("cls, value", [(Drawing, Drawing()),
                                        (Drawing, Drawing(points=ConfigList[Point]([]), maybe=ConfigOptional[Point](None))),
                                        (Drawing, Drawing(grid=ConfigList[ConfigList[int]]([]), pick=ConfigUnion[int | Point](5),
                                                          maybe_list=ConfigOptional[ConfigList[Point]](None))),
                                        (Point, Point())])
def test_forms_dump_as_the_general_path_does(cls, value, monkeypatch):
    fast = cls.build_field_for_type(value=value)
    general = general_form(cls, value, monkeypatch)
    assert all(type(field) is GeneralFieldList for field in list_fields(general))
    assert all(type(field) is FieldList for field in list_fields(fast))
    assert repr(fast.model_dump()) == repr(general.model_dump())
    assert repr(fast.model_dump(mode="json")) == repr(general.model_dump(mode="json"))
    for fast_list, general_list in zip(list_fields(fast), list_fields(general)):
        assert fast_list.model_fields_set == general_list.model_fields_set
        assert repr(fast_list.model_dump()) == repr(general_list.model_dump())


def pydantic_list(rows):
    return FieldList(name="rows", display_name="Rows", default=rows)


def assert_same_list(field, expected, rows):
    assert type(field) is type(expected)
    assert field == expected
    assert repr(field) == repr(expected)
    assert repr(field.model_dump()) == repr(expected.model_dump())
    assert field.model_fields_set == expected.model_fields_set
    assert field.__pydantic_fields_set__ == expected.__pydantic_fields_set__
    assert field.default is not rows and expected.default is not rows
    for row, got, want in zip(rows, field.default, expected.default):
        assert (got is row) == (want is row)
        assert type(got) is type(want)
        for key in row if isinstance(row, dict) else ():
            assert (got[key] is row[key]) == (want[key] is row[key])


class RowDict(dict):
    pass


@dataclasses.dataclass
class Note(BaseContent):
    text: str = ""


@pytest.mark.parametrize("rows", [
    [{"content": {"a": 1, "b": [1.5, None], "c": {"d": True}}}, {"content": "text"}, {}],
    [],
    [RowDict(content=1), {"content": 2}],
    [{"content": 1}, Note("kept")],
    [{"content": 1}, 7, "text", 2.5, False],
], ids=["exact dicts", "empty", "dict subclass", "content object", "primitives"])
def test_rows_are_held_as_pydantic_holds_them(rows):
    field = instantiate_field(FieldList, "rows", {"default": rows, "display_name": "Rows"})
    assert_same_list(field, pydantic_list(rows), rows)


def post_init_sees_rows(patch, target):
    """Has `target`'s model_post_init note how many rows the field holds by then."""
    original = target.model_post_init

    def model_post_init(self, context):
        original(self, context)
        self.description = str(len(self.default))

    patch.setattr(target, "model_post_init", model_post_init)


ROWS = {"default": [{"content": 1}, {"content": 2}]}


def test_a_patched_field_list_of_the_list_module_is_validated_in_full(monkeypatch):
    assert type(ConfigList[int].build_field_for_type(value=ConfigList[int]([1, 2]))) is FieldList

    class Counting(FieldList):
        pass

    post_init_sees_rows(monkeypatch, Counting)
    monkeypatch.setattr(list_content, "FieldList", Counting)
    field = ConfigList[int].build_field_for_type(value=ConfigList[int]([1, 2]))
    assert type(field) is Counting and field.description == "2"


def test_a_field_list_subclass_given_as_input_is_validated_in_full(monkeypatch):
    class Counting(FieldList):
        pass

    post_init_sees_rows(monkeypatch, Counting)
    instantiate_field(FieldList, "rows", dict(ROWS))
    assert instantiate_field(FieldList, "rows", {**ROWS, "input": Counting}).description == "2"
    field = ConfigList[int].build_field_for_type(value=ConfigList[int]([1, 2]), metadata={"input": Counting})
    assert type(field) is Counting and field.description == "2"


def test_a_changed_field_list_class_is_validated_in_full():
    # Changing the class cannot be undone for the shortcut, which stays off.
    assert run_python("""
        import pytest
        from nimbrel.quorvel.data.serialize import instantiate_field
        from nimbrel.quorvel.fields.field_models import BaseField, FieldList
        rows = {"default": [{"content": 1}, {"content": 2}]}
        instantiate_field(FieldList, "rows", dict(rows))
        original = BaseField.model_post_init
        def model_post_init(self, context):
            original(self, context)
            self.description = str(len(self.default)) if isinstance(self, FieldList) else None
        BaseField.model_post_init = model_post_init
        print(instantiate_field(FieldList, "rows", dict(rows)).description)
    """) == "2"


def test_dict_registered_as_content_is_validated_in_full():
    # An ABC registration cannot be undone, so it happens in its own interpreter.
    assert run_python("""
        from nimbrel.quorvel.data.base import BaseContent
        from nimbrel.quorvel.data.serialize import instantiate_field
        from nimbrel.quorvel.fields.field_models import FieldList
        row = {"content": 1}
        before = instantiate_field(FieldList, "rows", {"default": [row]})
        class Mapping(dict):
            pass
        BaseContent.register(Mapping)
        between = instantiate_field(FieldList, "rows", {"default": [row]})
        BaseContent.register(dict)
        after = instantiate_field(FieldList, "rows", {"default": [row]})
        print(before.default[0] is row, between.default[0] is row, after.default[0] is row,
              FieldList(name="rows", default=[row]).default[0] is row)
    """) == "False False True True"


def test_the_import_self_check_turns_the_row_shortcut_off():
    # A FieldList whose post-init reads the rows, changed before the field
    # builder is imported: the shortcut would hide them from it.
    assert run_python("""
        import sys
        from nimbrel.quorvel.fields.field_models import FieldList
        assert "nimbrel.quorvel.data.serialize" not in sys.modules
        original = FieldList.model_post_init
        def model_post_init(self, context):
            original(self, context)
            self.description = str(len(self.default))
        FieldList.model_post_init = model_post_init
        from nimbrel.quorvel.data.serialize import instantiate_field
        print(instantiate_field(FieldList, "rows", {"default": [{"content": 1}, {"content": 2}]}).description)
    """) == "2"


def test_a_failed_validation_reports_the_rows():
    with pytest.raises(Exception) as caught:
        instantiate_field(FieldList, "rows", {"default": [{"content": 1}], "fields": [1]})
    with pytest.raises(Exception) as expected:
        instantiate_field(GeneralFieldList, "rows", {"default": [{"content": 1}], "fields": [1]})
    assert type(caught.value) is type(expected.value)
    assert str(caught.value) == str(expected.value)


@pytest.mark.parametrize("rows", [
    [{"content": {"a": 1, "b": [1.5, None, "x"], "c": {"d": True}}}, {"content": "text"}, {}],
    [{"content": (1, 2)}, {"content": {3}}],
    [{"content": RowDict(a=1)}, {1: "int key"}],
    [{"content": Shade.DARK}, {"content": Note("kept")}],
    [RowDict(content=1), 7, "text"],
], ids=["plain", "tuple and set", "dict subclass and int key", "enum and content", "not only dicts"])
def test_rows_dump_as_pydantic_dumps_them(rows):
    field = instantiate_field(FieldList, "rows", {"default": rows})
    general = instantiate_field(GeneralFieldList, "rows", {"default": rows})
    dumped, expected = field.model_dump(), general.model_dump()
    assert repr(dumped) == repr(expected)
    for row, got, want in zip(field.default, dumped["default"], expected["default"]):
        assert (got is row) == (want is row)
        for key in row if isinstance(row, dict) else ():
            assert (got[key] is row[key]) == (want[key] is row[key])


def test_dump_options_reach_pydantic():
    field = instantiate_field(FieldList, "rows", {"default": [{"content": {"a": 1}}]})
    assert "default" not in field.model_dump(exclude={"default"})
    assert field.model_dump(include={"default"}) == {"default": [{"content": {"a": 1}}], "fields": []}
    assert field.model_dump(mode="json")["default"] == [{"content": {"a": 1}}]


def test_a_changed_field_list_class_dumps_through_pydantic():
    # Changing the class cannot be undone for the shortcut, which stays off.
    assert run_python("""
        from pydantic import field_serializer
        from nimbrel.quorvel.fields.field_models import FieldList
        field = FieldList(name="rows", default=[{"content": 1}])
        field.model_dump()
        class Custom(FieldList):
            @field_serializer("default")
            def rows_hidden(self, rows):
                return ["hidden"]
        FieldList.__pydantic_serializer__ = Custom.__pydantic_serializer__
        print(field.model_dump()["default"])
    """) == "['hidden']"


def test_the_import_self_check_turns_the_row_dump_off():
    # pydantic's dump changed before the field models are defined: rows come out reversed.
    assert run_python("""
        import pydantic
        dump = pydantic.BaseModel.model_dump
        def model_dump(self, **options):
            data = dump(self, **options)
            if isinstance(data.get("default"), list):
                data["default"].reverse()
            return data
        pydantic.BaseModel.model_dump = model_dump
        from nimbrel.quorvel.fields.field_models import FieldList
        print(FieldList(name="rows", default=[{"content": 1}, {"content": 2}]).model_dump()["default"])
    """) == "[{'content': 2}, {'content': 1}]"


def test_a_field_list_subclass_dumps_through_pydantic():
    class Custom(FieldList):
        @field_serializer("default")
        def rows_hidden(self, rows):
            return ["hidden"]

    assert instantiate_field(FieldList, "rows", {"default": [{"content": 1}]}).model_dump()["default"] == [
        {"content": 1}]
    assert instantiate_field(Custom, "rows", {"default": [{"content": 1}]}).model_dump()["default"] == ["hidden"]
