"""Tests for the JSON Schema of configuration data nimbrel.quorvel.data.schema."""

import dataclasses
import enum
import json
import subprocess
import sys
from dataclasses import dataclass, field
from typing import Any

import jsonschema
import pytest
from conftest import ROOT, load_demo

from nimbrel.quorvel.core.exceptions import QuorvelError, QuorvelSchemaError, QuorvelTypeResolutionError
from nimbrel.quorvel.data.check import check
from nimbrel.quorvel.data.content_core import build_defaults
from nimbrel.quorvel.data.enum_content import ConfigEnum
from nimbrel.quorvel.data.json_content import ConfigUntypedDict
from nimbrel.quorvel.data.list_content import ConfigList
from nimbrel.quorvel.data.optional_content import ConfigOptional
from nimbrel.quorvel.data.parse import from_defaults
from nimbrel.quorvel.data.record_content import ConfigData
from nimbrel.quorvel.data.schema import json_schema
from nimbrel.quorvel.data.union_content import ConfigUnion

DIALECT = "https://json-schema.org/draft/2020-12/schema"
demo = load_demo()


class SchemaShade(ConfigEnum):
    DARK = "dark"
    LIGHT = "light"


class SchemaLevel(enum.Enum):
    LOW = 1
    HIGH = 2


@dataclass
class SchemaPoint(ConfigData):
    x: int = 0
    y: int = 0


@dataclass
class SchemaKinds(ConfigData):
    count: int = 0
    ratio: float = 0.5
    flag: bool = False
    text: str = ""
    shade: SchemaShade = SchemaShade.DARK
    level: SchemaLevel = SchemaLevel.LOW
    free: dict = field(default_factory=dict)
    untyped: ConfigUntypedDict = field(default_factory=ConfigUntypedDict)
    point: SchemaPoint = field(default_factory=SchemaPoint)
    points: ConfigList[SchemaPoint] = field(default_factory=lambda: ConfigList[SchemaPoint]([]))
    spare: ConfigOptional[int] = field(default_factory=lambda: ConfigOptional[int](None))
    choice: ConfigUnion[int | SchemaPoint] = field(default_factory=lambda: ConfigUnion[int | SchemaPoint](0))
    numbers: list[int] = field(default_factory=list)
    pair: tuple[int, str] = (0, "")
    many: tuple[float, ...] = ()
    nothing: tuple[()] = ()
    by_name: dict[str, int] = field(default_factory=dict)
    by_number: dict[int, str] = field(default_factory=dict)
    by_shade: dict[SchemaShade, int] = field(default_factory=dict)
    by_level: dict[SchemaLevel, int] = field(default_factory=dict)
    by_flag: dict[bool, int] = field(default_factory=dict)
    anything: dict[str, Any] = field(default_factory=dict)
    maybe: int | None = None
    maybe_point: SchemaPoint | None = None
    either: int | str = field(default_factory=lambda: ConfigUnion[int | str](0))
    either_or_none: int | str | None = None


@dataclass
class SchemaLabels(ConfigData):
    port: int = field(default=80, metadata={"min": 1, "max": 65535, "description": "Where it listens."})
    ratio: float = field(default=0.5, metadata={"min": 0, "max": 1.0, "display_name": "Share"})
    needed: str = field(default="", metadata={"display_name": 5})
    odd: int = field(default=0, metadata={"min": "1", "max": True})
    ports: ConfigList[int] = field(default_factory=lambda: ConfigList[int]([]), metadata={"content": {"min": 1}})
    either: ConfigUnion[int | float] = field(default_factory=lambda: ConfigUnion[int | float](1),
                                             metadata={"int": {"max": 9}, "float": {"min": 0.5}})
    maybe: int | None = field(default=None, metadata={"content": {"max": 3}})


@dataclass
class SchemaRequired(ConfigData):
    name: str
    size: int = 1
    tags: ConfigList[str] = field(default_factory=lambda: ConfigList[str](["a"]))
    derived: int = field(default=0, init=False)
    late: int = field(init=False)

    def __post_init__(self):
        self.late = 1


@dataclass
class SchemaTree(ConfigData):
    label: str = ""
    children: "ConfigList[SchemaTree]" = field(default_factory=lambda: ConfigList[SchemaTree]([]))
    parent: "ConfigOptional[SchemaTree]" = field(default_factory=lambda: ConfigOptional[SchemaTree](None))


@dataclass
class SchemaBytes(ConfigData):
    data: bytes = b""


@dataclass
class SchemaNested(ConfigData):
    blobs: ConfigList[SchemaPoint] = field(default_factory=lambda: ConfigList[SchemaPoint]([]))
    table: dict[str, bytes] = field(default_factory=dict)


@dataclass
class SchemaAnyField(ConfigData):
    loose: Any = None


@dataclass
class SchemaBareList(ConfigData):
    items: ConfigList = field(default_factory=lambda: ConfigList[int]([]))


def properties(alias) -> dict[str, Any]:
    schema = json_schema(alias)
    return schema["$defs"][schema["$ref"].removeprefix("#/$defs/")]["properties"]


def kind(alias, name) -> dict[str, Any]:
    """A property's schema without what describes it."""
    return {k: v for k, v in properties(alias)[name].items() if k not in ("title", "description", "default")}


def row(item):
    return {"type": "object", "properties": {"content": item}, "required": ["content"], "additionalProperties": False}


OFF = {"type": "object", "properties": {"default": {"const": False}}, "required": ["default"],
       "additionalProperties": False}


def on(content):
    return {"type": "object", "properties": {"default": {"const": True}, "content": content},
            "required": ["default", "content"], "additionalProperties": False}


def member(key, content):
    return {"type": "object", "properties": {"selection": {"const": key}, key: content},
            "required": ["selection", key], "additionalProperties": False}


POINT = {"$ref": "#/$defs/schema_point"}
NOT_WRAPPER = {"not": {"required": ["default"]}}


@pytest.mark.parametrize("name, expected", [
    ("count", {"type": "integer"}),
    ("ratio", {"type": "number"}),
    ("flag", {"type": "boolean"}),
    ("text", {"type": "string"}),
    ("shade", {"enum": ["dark", "light"]}),
    ("level", {"enum": [1, 2]}),
    ("free", {"type": "object"}),
    ("untyped", {"type": "object"}),
    ("point", POINT),
    ("points", {"type": "array", "items": row(POINT)}),
    ("spare", {"oneOf": [OFF, on({"type": "integer"})]}),
    ("choice", {"oneOf": [member("int", {"type": "integer"}), member("schema_point", POINT)]}),
    ("numbers", {"type": "array", "items": {"anyOf": [row({"type": "integer"}), {"type": "integer"}]}}),
    ("pair", {"type": "array", "prefixItems": [{"type": "integer"}, {"type": "string"}], "minItems": 2,
              "maxItems": 2}),
    ("many", {"type": "array", "items": {"type": "number"}}),
    ("nothing", {"type": "array", "maxItems": 0}),
    ("by_name", {"type": "object", "additionalProperties": {"type": "integer"}}),
    ("by_number", {"type": "object", "additionalProperties": {"type": "string"},
                   "propertyNames": {"pattern": "^(0|-?[1-9][0-9]*)$"}}),
    ("by_shade", {"type": "object", "additionalProperties": {"type": "integer"},
                  "propertyNames": {"enum": ["dark", "light"]}}),
    ("by_level", {"type": "object", "additionalProperties": {"type": "integer"}, "propertyNames": {"enum": []}}),
    ("by_flag", {"type": "object", "additionalProperties": {"type": "integer"}, "propertyNames": False}),
    ("anything", {"type": "object", "additionalProperties": {}}),
    ("maybe", {"anyOf": [{"type": "null"}, {"type": "integer"}, OFF, on({"type": "integer"})]}),
    ("maybe_point", {"anyOf": [{"type": "null"}, {"allOf": [POINT, NOT_WRAPPER]}, OFF, on(POINT)]}),
    ("either", {"oneOf": [member("int", {"type": "integer"}), member("str", {"type": "string"})]}),
])
def test_each_kind_has_its_shape(name, expected):
    assert kind(SchemaKinds, name) == expected


def test_optional_union_is_null_or_the_union_or_its_wrapper():
    union = {"oneOf": [member("int", {"type": "integer"}), member("str", {"type": "string"})]}
    assert kind(SchemaKinds, "either_or_none") == {
        "anyOf": [{"type": "null"}, {"allOf": [union, NOT_WRAPPER]}, OFF, on(union)]}


def test_record_is_a_closed_object_with_fields_in_order():
    schema = json_schema(SchemaPoint)
    assert schema == {
        "$schema": DIALECT, "$ref": "#/$defs/schema_point",
        "$defs": {"schema_point": {
            "type": "object", "title": "SchemaPoint", "additionalProperties": False,
            "properties": {"x": {"title": "X", "type": "integer", "default": 0},
                           "y": {"title": "Y", "type": "integer", "default": 0}}}}}
    assert list(properties(SchemaKinds)) == [f.name for f in dataclasses.fields(SchemaKinds)]


def test_labels_bounds_and_defaults_come_from_the_field():
    props = properties(SchemaLabels)
    assert props["port"] == {"title": "Port", "description": "Where it listens.", "type": "integer", "minimum": 1,
                             "maximum": 65535, "default": 80}
    assert props["ratio"] == {"title": "Share", "type": "number", "minimum": 0, "maximum": 1.0, "default": 0.5}
    # Labels that are not text and bounds that are not numbers are left out, as the form and check leave them.
    assert props["needed"]["title"] == "Needed"
    assert kind(SchemaLabels, "odd") == {"type": "integer"}
    assert kind(SchemaLabels, "ports") == {"type": "array", "items": row({"type": "integer", "minimum": 1})}
    assert kind(SchemaLabels, "either") == {"oneOf": [member("int", {"type": "integer", "maximum": 9}),
                                                      member("float", {"type": "number", "minimum": 0.5})]}
    assert kind(SchemaLabels, "maybe")["anyOf"][1] == {"type": "integer", "maximum": 3}


def test_required_is_where_parsing_needs_the_key():
    schema = json_schema(SchemaRequired)
    definition = schema["$defs"]["schema_required"]
    assert definition["required"] == ["name"]
    assert "default" not in definition["properties"]["name"]
    assert definition["properties"]["tags"]["default"] == [{"content": "a"}]
    assert definition["properties"]["derived"]["default"] == 0
    validator = jsonschema.Draft202012Validator(schema)
    assert not validator.is_valid({"size": 2})
    assert validator.is_valid({"name": "n", "derived": 5, "late": 3})
    assert from_defaults(SchemaRequired, {"name": "n", "derived": 5, "late": 3}).name == "n"


def test_defaults_are_json_data():
    props = properties(demo.Service)
    assert props["window"]["default"] == [640, "wide"]
    assert props["codec"]["default"] == "h264"
    assert props["retention"]["default"] == {"selection": "int", "int": 30}


def test_records_are_defined_once_and_referred_to():
    schema = json_schema(demo.Service)
    assert list(schema["$defs"]) == ["service", "camera", "recording"]
    text = json.dumps(schema)
    assert text.count('"#/$defs/recording"') == 2
    assert text.count('"#/$defs/camera"') == 1


def test_self_referencing_class_refers_to_itself():
    schema = json_schema(SchemaTree)
    assert list(schema["$defs"]) == ["schema_tree"]
    tree = schema["$defs"]["schema_tree"]["properties"]
    assert tree["children"]["items"] == row({"$ref": "#/$defs/schema_tree"})
    data = {"label": "a", "children": [{"content": {"label": "b", "children": [], "parent": {"default": False}}}],
            "parent": {"default": True, "content": {"label": "c", "children": [], "parent": {"default": False}}}}
    jsonschema.validate(data, schema)
    assert from_defaults(SchemaTree, data).build_defaults() == data


def test_a_long_chain_of_classes_is_described_one_by_one():
    classes = [dataclasses.dataclass(type("SchemaLink0", (ConfigData,), {"__annotations__": {"end": int},
                                                                         "end": 0}))]
    for index in range(1, 2000):
        namespace = {"__annotations__": {"next": classes[-1]}}
        classes.append(dataclasses.dataclass(type(f"SchemaLink{index}", (ConfigData,), namespace)))
    defs = json_schema(classes[-1])["$defs"]
    assert len(defs) == 2000
    assert defs["schema_link1"]["properties"]["next"]["$ref"] == "#/$defs/schema_link0"


@pytest.mark.parametrize("alias, expected", [
    (ConfigList[demo.Camera], {"type": "array", "items": row({"$ref": "#/$defs/camera"})}),
    (ConfigOptional[int], {"oneOf": [OFF, on({"type": "integer"})]}),
    (ConfigUnion[int | demo.Recording], {"oneOf": [member("int", {"type": "integer"}),
                                                   member("recording", {"$ref": "#/$defs/recording"})]}),
    (demo.Resolution, {"enum": ["720p", "1080p", "4k"]}),
    (ConfigUntypedDict, {"type": "object"}),
])
def test_aliases_are_described_at_the_root(alias, expected):
    schema = json_schema(alias)
    assert schema.pop("$schema") == DIALECT
    schema.pop("$defs", None)
    assert schema == expected


@pytest.mark.parametrize("alias", [int, list[int], dict, ConfigList, ConfigOptional, ConfigUnion, demo.Codec, object,
                                   demo.Service(), "service", None])
def test_non_content_aliases_raise_type_error(alias):
    with pytest.raises(TypeError):
        json_schema(alias)


@pytest.mark.parametrize("cls, error, field_name", [
    (SchemaBytes, QuorvelError, "data"),
    (SchemaNested, QuorvelError, "table"),
    (SchemaAnyField, QuorvelError, "loose"),
    (SchemaBareList, QuorvelTypeResolutionError, "items"),
])
def test_unsupported_annotations_raise_the_library_error_naming_the_field(cls, error, field_name):
    with pytest.raises(error, match=repr(field_name)):
        json_schema(cls)


def test_bytes_raise_what_the_form_builder_raises():
    from nimbrel.quorvel.data import serialize

    with pytest.raises(QuorvelError) as form_error:
        serialize.build_field("data", bytes, {})
    with pytest.raises(QuorvelError) as schema_error:
        json_schema(SchemaBytes)
    assert type(schema_error.value) is type(form_error.value)
    assert str(schema_error.value) == str(form_error.value)


def test_typing_constructs_raise_the_schema_error():
    from typing import Literal

    cls = dataclasses.dataclass(type("SchemaLiteral", (ConfigData,), {"__annotations__": {"mode": Literal["a"]},
                                                                      "mode": "a"}))
    with pytest.raises(QuorvelSchemaError, match="'mode'"):
        json_schema(cls)


def test_each_call_returns_a_new_dict():
    first = json_schema(demo.Service)
    first["$defs"]["camera"]["properties"]["port"]["maximum"] = 1
    first["$defs"]["service"]["properties"]["cameras"]["default"].clear()
    assert json_schema(demo.Service)["$defs"]["camera"]["properties"]["port"]["maximum"] == 65535
    assert json_schema(demo.Service)["$defs"]["service"]["properties"]["cameras"]["default"]


def test_metadata_is_left_as_it_was():
    metadata = dataclasses.fields(SchemaLabels)[0].metadata
    before = dict(metadata)
    json_schema(SchemaLabels)
    assert dict(metadata) == before


def test_a_class_decorated_again_is_described_anew():
    cls = dataclasses.dataclass(type("SchemaGrowing", (ConfigData,), {"__annotations__": {"a": int}, "a": 0}))
    assert list(properties(cls)) == ["a"]
    cls.__annotations__["b"] = str
    cls.b = ""
    dataclasses.dataclass(cls)
    assert list(properties(cls)) == ["a", "b"]


SCHEMA_ALIASES = [demo.Service, SchemaKinds, SchemaLabels, SchemaRequired, SchemaTree, SchemaPoint,
                  ConfigList[demo.Camera], ConfigOptional[int], ConfigUnion[int | demo.Recording], demo.Resolution,
                  ConfigUntypedDict]


@pytest.mark.parametrize("alias", SCHEMA_ALIASES, ids=repr)
def test_every_schema_is_a_valid_draft_2020_12_schema(alias):
    jsonschema.Draft202012Validator.check_schema(json_schema(alias))


@pytest.mark.filterwarnings("ignore:Passing list")  # list[...] fields are read as ConfigList
@pytest.mark.parametrize("value", [demo.Service(), SchemaKinds(), SchemaLabels(), SchemaRequired("n"), SchemaTree(),
                                   SchemaKinds(numbers=[1, 2], maybe=3, maybe_point=SchemaPoint(1, 2),
                                               either_or_none=ConfigUnion[int | str]("x"),
                                               by_number={1: "a", -5: "b"}, by_shade={SchemaShade.LIGHT: 1})],
                         ids=lambda value: type(value).__name__)
def test_values_built_in_code_and_parsed_back_validate(value):
    schema = json_schema(type(value))
    written = json.loads(json.dumps(value.build_defaults()))
    jsonschema.validate(written, schema)
    parsed = from_defaults(type(value), written)
    assert check(parsed) == []
    jsonschema.validate(json.loads(json.dumps(parsed.build_defaults())), schema)


@pytest.mark.parametrize("name, data", [
    ("count", "5"), ("count", True), ("ratio", "0.5"), ("flag", 1), ("shade", "DARK"), ("level", "LOW"),
    ("points", [{"x": 1}]), ("spare", {"default": True}), ("spare", {"default": 0}),
    ("choice", {"selection": "int", "int": 1, "schema_point": {}}), ("numbers", [{"content": 1, "x": 2}]),
    ("pair", [1]), ("pair", [1, "a", 2]), ("by_number", {"01": "a"}), ("by_shade", {"DARK": 1}),
    ("by_flag", {"true": 1}), ("maybe", {"default": True, "content": 1, "x": 1}), ("either", 5),
])
def test_data_parsing_is_lenient_about_fails_the_schema(name, data):
    schema = json_schema(SchemaKinds)
    assert not jsonschema.Draft202012Validator(schema).is_valid({name: data})


# --- the command line -------------------------------------------------------------------------------------


def run_command_line(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "nimbrel.quorvel.data.schema", *args], capture_output=True,
                          text=True, cwd=ROOT / "tests", timeout=60)


def test_command_line_prints_the_schema():
    done = run_command_line("test_schema:SchemaTree")
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == json_schema(SchemaTree)
    assert done.stdout.startswith("{\n  ")


@pytest.mark.parametrize("args", [(), ("a:B", "c:D"), ("test_schema",), (":SchemaTree",), ("test_schema:",),
                                  ("no_such_module_here:Thing",), ("test_schema:NoSuchClass",),
                                  ("test_schema:SchemaLevel",), ("json:dumps",),
                                  ("nimbrel.quorvel.data.list_content:ConfigList",)])
def test_command_line_refuses_bad_arguments_in_one_line(args):
    done = run_command_line(*args)
    assert done.returncode == 2
    assert done.stdout == ""
    assert done.stderr.count("\n") == 1 and done.stderr.startswith("error: ")


def test_command_line_reports_a_class_it_cannot_describe():
    done = run_command_line("test_schema:SchemaBytes")
    assert done.returncode == 1
    assert done.stderr.count("\n") == 1 and "'data'" in done.stderr
