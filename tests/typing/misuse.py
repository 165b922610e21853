"""Mistakes the stubs let a checker find. A line ending in an "E:" comment must fail with the mypy error codes
the comment lists, and no other line may fail."""

from settings import Archive, Gateway, Lens, Shade

from nimbrel.quorvel import ConfigList, ConfigOptional, ConfigUnion, FieldList, check, json_schema
from nimbrel.quorvel import ConfigRecord  # E: attr-defined
from nimbrel.quorvel.data.parse import from_defaults

gateway = Gateway.from_defaults({})
gateway.lense  # E: attr-defined
Lens.from_defaults({}).lenses  # E: attr-defined
Gateway.load_root_defaults({}).archive.content.keep_days  # E: union-attr
from_defaults(Archive, {}).zoom  # E: attr-defined

# Items, contents and members of the wrong type.
ConfigList[Lens]([Archive()])  # E: list-item
ConfigList[Lens](Archive())  # E: call-overload
ConfigList[Lens]([Lens()]).append(Archive())  # E: arg-type
ConfigOptional[Archive](Lens())  # E: arg-type
ConfigUnion[int | Archive]("thirty")  # E: arg-type
ConfigUnion[int | Archive]()  # E: call-arg
for lens in Gateway().lenses:
    lens.keep_days  # E: attr-defined
days: int = gateway.archive.content  # E: assignment
retention: int = gateway.retention.content  # E: assignment
shade: Shade = gateway.lenses[0]  # E: assignment

# Type arguments that are no content.
ConfigList[dict[str, int]]()  # E: type-var
ConfigOptional[int | None]()  # E: type-var
ConfigUnion[int, str](3)  # E: misc

# A form is the field kind of its content, built from a value of its own class.
lenses_form: FieldList = Gateway.build_field_for_type()  # E: assignment
Lens.build_field_for_type(value=gateway)  # E: arg-type
Shade.build_field_for_type(value=3)  # E: arg-type

# check takes content, never plain data.
check({"lenses": []})  # E: arg-type
json_schema(Gateway).append(1)  # E: attr-defined
