"""The JSON Schema and the parser agree: data drawn from the schema parses into a value `check` finds nothing wrong
with, whose UI defaults the schema accepts again; and any change to such data that the schema still accepts parses
just as cleanly.

JSON Schema cannot tell 1.0 from 1 (both are the integer one to it), while parsing keeps 1.0 a float, which an int
field refuses: the changes below never put a float with an integral value into the data.
"""

import json
import warnings
from typing import Any

import jsonschema
import pytest
import test_schema
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from nimbrel.quorvel.data.check import check
from nimbrel.quorvel.data.list_content import ConfigList
from nimbrel.quorvel.data.parse import from_defaults
from nimbrel.quorvel.data.schema import json_schema
from nimbrel.quorvel.data.union_content import ConfigUnion

demo = test_schema.demo
# Lists, optionals and unions are met inside these records, and at the root as a list of unions.
ALIASES = [demo.Service, test_schema.SchemaKinds, test_schema.SchemaLabels, test_schema.SchemaRequired,
           test_schema.SchemaTree, ConfigList[ConfigUnion[int | demo.Recording]]]
EXAMPLES = settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow,
                                                                              HealthCheck.filter_too_much])

TEXT = st.text(max_size=5)
FRACTIONS = st.floats(allow_nan=False, allow_infinity=False).filter(lambda number: not number.is_integer())
SCALARS = st.none() | st.booleans() | st.integers() | FRACTIONS | TEXT
JSON = st.recursive(SCALARS, lambda inner: st.lists(inner, max_size=3) | st.dictionaries(TEXT, inner, max_size=3),
                    max_leaves=8)


class Drawer:
    """Strategies for the data a schema accepts (for the keywords json_schema writes)."""

    def __init__(self, schema: dict[str, Any]) -> None:
        self.root = schema
        self.validator = jsonschema.Draft202012Validator(schema)

    def __call__(self, schema: Any) -> st.SearchStrategy:
        if schema is False:
            return st.nothing()
        if schema is True or not schema or set(schema) <= {"$schema", "title", "description", "default", "$defs"}:
            return JSON
        if "$ref" in schema:
            key = schema["$ref"].removeprefix("#/$defs/")
            return st.deferred(lambda: self(self.root["$defs"][key]))
        if "oneOf" in schema or "anyOf" in schema:
            return st.one_of([self(branch) for branch in schema.get("oneOf", schema.get("anyOf"))])
        if "allOf" in schema:
            return self(schema["allOf"][0]).filter(lambda data: self.validator.evolve(schema=schema).is_valid(data))
        if "const" in schema:
            return st.just(schema["const"])
        if "enum" in schema:
            return st.sampled_from(schema["enum"]) if schema["enum"] else st.nothing()
        return self.typed(schema)

    def typed(self, schema: dict[str, Any]) -> st.SearchStrategy:
        match schema["type"]:
            case "integer":
                return st.integers(schema.get("minimum"), schema.get("maximum"))
            case "number":
                return st.floats(schema.get("minimum"), schema.get("maximum"), allow_nan=False, allow_infinity=False)
            case "boolean":
                return st.booleans()
            case "string":
                return TEXT
            case "null":
                return st.none()
            case "array":
                return self.array(schema)
        return self.object(schema)

    def array(self, schema: dict[str, Any]) -> st.SearchStrategy:
        if "prefixItems" in schema:
            return st.tuples(*map(self, schema["prefixItems"])).map(list)
        if "items" not in schema:
            return st.just([])
        return st.lists(self(schema["items"]), max_size=2)

    def object(self, schema: dict[str, Any]) -> st.SearchStrategy:
        if "properties" in schema:
            required = set(schema.get("required", ()))
            props = schema["properties"]
            return st.fixed_dictionaries({k: self(v) for k, v in props.items() if k in required},
                                         optional={k: self(v) for k, v in props.items() if k not in required})
        if "additionalProperties" not in schema:
            return st.dictionaries(TEXT, JSON, max_size=3)
        names = schema.get("propertyNames", True)
        keys = TEXT if names is True else st.integers().map(str) if "pattern" in (names or {}) else self(names)
        if keys.is_empty:
            return st.just({})
        return st.dictionaries(keys, self(schema["additionalProperties"]), max_size=2)


def parses_cleanly(alias: Any, data: Any) -> Any:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        value = from_defaults(alias, data)
    assert check(value) == [], data
    return value


def paths(data: Any, prefix: tuple = ()) -> list[tuple]:
    """Every place in the data, the root included."""
    found = [prefix]
    items = data.items() if isinstance(data, dict) else enumerate(data) if isinstance(data, list) else ()
    for step, inner in items:
        found += paths(inner, (*prefix, step))
    return found


def replaced(data: Any, path: tuple, new: Any) -> Any:
    if not path:
        return new
    copy = json.loads(json.dumps(data))
    holder = copy
    for step in path[:-1]:
        holder = holder[step]
    holder[path[-1]] = new
    return copy


def draw(alias: Any, data: st.DataObject) -> tuple[dict[str, Any], Any]:
    """The schema of `alias`, and data drawn from it."""
    schema = json_schema(alias)
    return schema, data.draw(Drawer(schema)(schema))


@pytest.mark.parametrize("alias", ALIASES, ids=repr)
@EXAMPLES
@given(data=st.data())
def test_drawn_data_parses_and_is_written_back_valid(alias, data):
    schema, drawn = draw(alias, data)
    value = parses_cleanly(alias, drawn)
    written = json.loads(json.dumps(value.build_defaults()))
    jsonschema.validate(written, schema)


@pytest.mark.parametrize("alias", ALIASES, ids=repr)
@EXAMPLES
@given(data=st.data())
def test_changed_data_the_schema_accepts_parses_cleanly(alias, data):
    schema, drawn = draw(alias, data)
    path = data.draw(st.sampled_from(paths(drawn)))
    changed = replaced(drawn, path, data.draw(JSON))
    if jsonschema.Draft202012Validator(schema).is_valid(changed):
        parses_cleanly(alias, changed)
