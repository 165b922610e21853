"""Forms, checks, schemas and errors, all from the one short import."""

from typing import Any, assert_type

from settings import Archive, Gateway, Lens, Shade

from nimbrel.quorvel import (
    BaseField,
    ConfigList,
    ConfigOptional,
    ConfigUnion,
    ConfigUntypedDict,
    FieldData,
    FieldEnum,
    FieldJsonText,
    FieldList,
    FieldOptional,
    FieldUnion,
    Problem,
    QuorvelError,
    QuorvelParseError,
    check,
    json_schema,
)

gateway = Gateway()

# Each content kind builds the field kind it instantiates.
assert_type(Gateway.build_field_for_type(value=gateway, metadata={"names": ["lenses"]}), FieldData)
assert_type(gateway.build_field(), FieldData)
assert_type(ConfigList[Lens].build_field_for_type(value=gateway.lenses), FieldList)
assert_type(gateway.lenses.build_field(), FieldList)
assert_type(ConfigOptional[Archive].build_field_for_type(), FieldOptional)
assert_type(ConfigUnion[int | Archive].build_field_for_type(value=gateway.retention), FieldUnion)
assert_type(Shade.build_field_for_type(value="dark"), FieldEnum)
assert_type(Shade.DARK.build_field(), FieldEnum)
assert_type(ConfigUntypedDict.build_field_for_type(), FieldJsonText)
form = Gateway.build_field_for_type(value=gateway)
assert_type(form.fields, list[BaseField])
assert_type(form.model_dump(), dict[str, Any])
assert isinstance(form, FieldData)

# check reports problems as data; json_schema describes the UI defaults.
problems = check(Gateway.from_defaults({"lenses": [{"content": {"zoom": "wide"}}]}))
assert_type(problems, list[Problem])
assert_type([(problem.pointer, problem.code, problem.message) for problem in problems], list[tuple[str, str, str]])
assert_type(check(Shade.DARK), list[Problem])
assert_type(json_schema(Gateway), dict[str, Any])

# The error classes carry where parsing failed.
try:
    Gateway.from_defaults({"lenses": 5})
except QuorvelParseError as error:
    assert_type(error.location, tuple[str | int, ...])
except QuorvelError as error:
    assert_type(error.pointer, str)
