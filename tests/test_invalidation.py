"""Whatever the library keeps between calls (plans per class, module globals, direct calls between modules), every
way of overriding it takes effect on the very next call: a rebound module global, a method set on a class, its
base or its metaclass, a virtual subclass, an enumeration's `_missing_`, a class decorated again.

Each test calls first, so that whatever is kept exists, then changes one thing and checks the next call; where the
change can be undone, the call after the undo behaves as the first one did. The last tests pin the guards of what
is kept per class: a class decorated again, type hints that do not resolve yet, a class address used again by a
new class, the `__post_init__` hook looked up on every parse, and the hooks a content kind's class makes its
instances with.
"""

import abc
import dataclasses
import enum
import gc
import os
import types
import warnings
from collections.abc import Callable
from typing import Any

import pytest

from conftest import load_demo, run_python
from nimbrel.quorvel.core.exceptions import QuorvelError
from nimbrel.quorvel.data import enum_content, list_content, optional_content, parse, record_content, union_content
from nimbrel.quorvel.data.content_core import BaseConfigurableData, build_defaults
from nimbrel.quorvel.data.enum_content import ConfigEnum
from nimbrel.quorvel.data.list_content import ConfigList
from nimbrel.quorvel.data.optional_content import ConfigOptional
from nimbrel.quorvel.data.parse import from_defaults
from nimbrel.quorvel.data.record_content import ConfigData
from nimbrel.quorvel.data.schema import json_schema
from nimbrel.quorvel.data.serialize import build_field
from nimbrel.quorvel.data.union_content import ConfigUnion
from nimbrel.quorvel.fields.field_models import FieldEnum, FieldInteger, FieldString

first_error = load_demo().first_error

# The data a part is parsed from, and what a parsed part and a part's defaults hold.
PART_DATA = {"size": 2, "label": "x"}
OPTIONAL_PART = {"default": True, "content": PART_DATA}
SELECTED_PART = {"selection": "part", "part": PART_DATA}


@pytest.fixture
def kinds() -> types.SimpleNamespace:
    """Classes of the test's own, since the tests change them: a record on a base and with a metaclass of its
    own (where an override may be placed too), enumerations, and a record holding the part in every content kind."""

    class PartMeta(abc.ABCMeta):
        pass

    class PartBase(ConfigData):
        pass

    @dataclasses.dataclass
    class Part(PartBase, metaclass=PartMeta):
        size: int = 1
        label: str = "p"

    class Finish(ConfigEnum):
        MATTE = "matte"
        GLOSS = "gloss"

    class Texture(enum.Enum):
        ROUGH = "rough"
        GLOSS = "gloss"

    @dataclasses.dataclass
    class Fragile(ConfigData):
        size: int = 1

        def __post_init__(self):
            if self.size < 0:
                raise ValueError("negative")

    @dataclasses.dataclass
    class Assembly(ConfigData):
        part: Part = dataclasses.field(default_factory=Part)
        parts: ConfigList[Part] = dataclasses.field(default_factory=lambda: ConfigList[Part]([Part()]))
        spare: ConfigOptional[Part] = dataclasses.field(default_factory=lambda: ConfigOptional[Part](Part()))
        either: ConfigUnion[int | Part] = dataclasses.field(default_factory=lambda: ConfigUnion[int | Part](Part()))
        finish: Finish = Finish.MATTE

    return types.SimpleNamespace(PartMeta=PartMeta, PartBase=PartBase, Part=Part, Finish=Finish, Texture=Texture,
                                 Fragile=Fragile, Assembly=Assembly)


def outcome(site: Callable[[Any], Any], subject: Any) -> Any:
    """What an operation on `subject` gave: its result (a record as its field values, so that records of any class
    compare), or the message of the library error that says what went wrong."""
    try:
        result = site(subject)
    except QuorvelError as error:
        return str(first_error(error))
    return dataclasses.asdict(result) if dataclasses.is_dataclass(result) and not isinstance(result, type) else result


def shape(field) -> tuple[str, list[str]]:
    """The kind of a form field and the names of its children."""
    return type(field).__name__, [child.name for child in getattr(field, "fields", [])]


def part(kinds) -> Any:
    return kinds.Part(**PART_DATA)


def parts(kinds) -> Any:
    return ConfigList[kinds.Part]([part(kinds)])


# --- the operations, by where the part is met ------------------------------------------------------------------------

# Where a part is parsed; each gives the parsed part.
PARSE_SITES = {
    "dispatcher": lambda k: from_defaults(k.Part, PART_DATA),
    "record field": lambda k: k.Assembly.from_defaults({"part": PART_DATA}).part,
    "list item": lambda k: from_defaults(ConfigList[k.Part], [{"content": PART_DATA}])[0],
    "optional content": lambda k: from_defaults(ConfigOptional[k.Part], OPTIONAL_PART).content,
    "union member": lambda k: from_defaults(ConfigUnion[int | k.Part], SELECTED_PART).content,
    "list in a record": lambda k: k.Assembly.from_defaults({"parts": [{"content": PART_DATA}]}).parts[0],
    "optional annotation": lambda k: from_defaults(k.Part | None, PART_DATA).content,
    "tuple item": lambda k: from_defaults(tuple[k.Part, ...], [PART_DATA])[0],
}

# Where a part's UI defaults are built; each gives them.
DEFAULTS_SITES = {
    "module function": lambda k: build_defaults(part(k)),
    "method": lambda k: part(k).build_defaults(),
    "record field": lambda k: k.Assembly(part=part(k)).build_defaults()["part"],
    "list item": lambda k: parts(k).build_defaults()[0]["content"],
    "optional content": lambda k: ConfigOptional[k.Part](part(k)).build_defaults()["content"],
    "union member": lambda k: ConfigUnion[int | k.Part](part(k)).build_defaults()["part"],
    "built-in containers": lambda k: build_defaults({"parts": [part(k)]})["parts"][0],
    "list in a record": lambda k: k.Assembly(parts=parts(k)).build_defaults()["parts"][0]["content"],
}

# Where a part's form field is built; each gives its shape.
FORM_SITES = {
    "class": lambda k: shape(k.Part.build_field_for_type(value=part(k))),
    "field builder": lambda k: shape(build_field("part", k.Part, {"default": part(k)})),
    "record field": lambda k: shape(k.Assembly.build_field_for_type(value=k.Assembly(part=part(k))).fields[0]),
    "list item": lambda k: shape(ConfigList[k.Part].build_field_for_type().fields[0]),
    "optional content": lambda k: shape(
        ConfigOptional[k.Part].build_field_for_type(value=ConfigOptional[k.Part](part(k))).fields[0]),
    "union member": lambda k: shape(
        ConfigUnion[int | k.Part].build_field_for_type(value=ConfigUnion[int | k.Part](part(k))).fields[1]),
}

SITES = {"parse": PARSE_SITES, "defaults": DEFAULTS_SITES, "form": FORM_SITES}


# --- rebound module globals --------------------------------------------------------------------------------------

ASSEMBLY_DATA = {"part": PART_DATA, "parts": [{"content": PART_DATA}], "spare": OPTIONAL_PART,
                 "either": SELECTED_PART, "finish": "gloss"}

# Each operation gives a result that compares equal when it is made again the same way.
OPERATIONS = {
    "parse record": lambda k: k.Part.from_defaults(PART_DATA),
    "parse list": lambda k: from_defaults(ConfigList[k.Part], [{"content": PART_DATA}]),
    "parse optional": lambda k: from_defaults(ConfigOptional[k.Part], OPTIONAL_PART),
    "parse union": lambda k: from_defaults(ConfigUnion[int | k.Part], SELECTED_PART),
    "parse nested": lambda k: k.Assembly.from_defaults(ASSEMBLY_DATA),
    "defaults list": lambda k: parts(k).build_defaults(),
    "defaults optional": lambda k: ConfigOptional[k.Part](part(k)).build_defaults(),
    "defaults union": lambda k: ConfigUnion[int | k.Part](part(k)).build_defaults(),
    "defaults nested": lambda k: k.Assembly().build_defaults(),
    "form record": lambda k: k.Part.build_field_for_type(value=part(k)).model_dump(),
    "form list": lambda k: ConfigList[k.Part].build_field_for_type(value=parts(k)).model_dump(),
    "form optional": lambda k: ConfigOptional[k.Part].build_field_for_type(
        value=ConfigOptional[k.Part](part(k))).model_dump(),
    "form union": lambda k: ConfigUnion[int | k.Part].build_field_for_type(
        value=ConfigUnion[int | k.Part](part(k))).model_dump(),
    "form enum": lambda k: k.Finish.build_field_for_type(value=k.Finish.GLOSS).model_dump(),
    "form nested": lambda k: k.Assembly.build_field_for_type(value=k.Assembly()).model_dump(),
}

# The functions each content module calls through its own module global, and operations that reach the call.
FUNCTION_GLOBALS = [
    (record_content, "from_defaults", ["parse record", "parse nested"]),
    (record_content, "build_field", ["form record", "form nested"]),
    (record_content, "instantiate_field", ["form record", "form nested"]),
    (list_content, "from_defaults", ["parse list", "parse nested"]),
    (list_content, "build_defaults", ["defaults list", "defaults nested"]),
    (list_content, "build_field", ["form list", "form nested"]),
    (list_content, "instantiate_field", ["form list", "form nested"]),
    (optional_content, "from_defaults", ["parse optional", "parse nested"]),
    (optional_content, "build_defaults", ["defaults optional", "defaults nested"]),
    (optional_content, "build_field", ["form optional", "form nested"]),
    (optional_content, "instantiate_field", ["form optional", "form nested"]),
    (union_content, "from_defaults", ["parse union", "parse nested"]),
    (union_content, "build_defaults", ["defaults union", "defaults nested"]),
    (union_content, "build_field", ["form union", "form nested"]),
    (union_content, "instantiate_field", ["form union", "form nested"]),
    (enum_content, "build_defaults", ["form enum", "form nested"]),
    (enum_content, "instantiate_field", ["form enum", "form nested"]),
]

# The field kinds each content module builds its form field with.
FIELD_KIND_GLOBALS = [
    (record_content, "FieldData", ["form record", "form nested"]),
    (list_content, "FieldList", ["form list", "form nested"]),
    (optional_content, "FieldOptional", ["form optional", "form nested"]),
    (union_content, "FieldUnion", ["form union", "form nested"]),
    (enum_content, "FieldEnum", ["form enum", "form nested"]),
]


def global_cases(table):
    return [pytest.param(module, name, operation, id=f"{module.__name__.rsplit('.', 1)[1]}.{name}-{operation}")
            for module, name, operations in table for operation in operations]


class Spy:
    """Stands in for a function: passes every call on and counts it."""

    def __init__(self, function):
        self.function = function
        self.calls = 0

    def __call__(self, *args, **kwargs):
        self.calls += 1
        return self.function(*args, **kwargs)


@pytest.mark.parametrize("module, name, operation", global_cases(FUNCTION_GLOBALS))
def test_a_rebound_function_global_is_called_on_the_next_call(kinds, monkeypatch, module, name, operation):
    run = OPERATIONS[operation]
    first = run(kinds)
    spy = Spy(getattr(module, name))
    monkeypatch.setattr(module, name, spy)
    assert run(kinds) == first and spy.calls > 0
    calls = spy.calls
    monkeypatch.undo()
    assert run(kinds) == first and spy.calls == calls


@pytest.mark.parametrize("module, name, operation", global_cases(FIELD_KIND_GLOBALS))
def test_a_rebound_field_kind_builds_the_next_form(kinds, monkeypatch, module, name, operation):
    run = OPERATIONS[operation]
    first = run(kinds)
    original = getattr(module, name)
    made = []

    # Named as the original, so that the dumped form stays the same and only the instances tell.
    class Recorded(original):
        def model_post_init(self, context):
            made.append(self)
            super().model_post_init(context)

    Recorded.__name__ = Recorded.__qualname__ = original.__name__
    monkeypatch.setattr(module, name, Recorded)
    assert run(kinds) == first and made and all(type(field) is Recorded for field in made)
    monkeypatch.undo()
    made.clear()
    assert run(kinds) == first and not made


# A failing operation per module whose message shows a class, and the message with "{}" for the shown class.
DISPLAY_CASES = [
    pytest.param(record_content, lambda k: k.Part.from_defaults([]), "Expected dict data for {}, got <class 'list'>.",
                 "Part", id="record"),
    pytest.param(record_content, lambda k: k.Assembly.from_defaults({"part": []}),
                 "Failed to parse field {}.part from <class 'list'> instance '[]'.", "Assembly", id="record field"),
    pytest.param(list_content, lambda k: from_defaults(ConfigList[k.Part], "x"),
                 "Expected list data for {}, got <class 'str'>.", "ConfigList[...]", id="list"),
    pytest.param(optional_content, lambda k: from_defaults(ConfigOptional[k.Part], {"default": True}),
                 '{} is enabled but "content" is missing or None.', "ConfigOptional[...]", id="optional"),
    pytest.param(union_content, lambda k: from_defaults(ConfigUnion[int | k.Part], {"selection": "no", "no": 1}),
                 "{} selection 'no' is not a valid member.", "ConfigUnion[...]", id="union"),
    pytest.param(enum_content, lambda k: from_defaults(k.Finish, "shiny"), "Invalid {}: 'shiny'", "Finish", id="enum"),
    pytest.param(parse, lambda k: from_defaults(ConfigList[k.Fragile], [{"content": {"size": -1}}]),
                 "Failed to parse {} from <class 'dict'>.", "Fragile", id="dispatcher guarding a list item"),
]


def failure(run, kinds) -> str:
    with pytest.raises(QuorvelError) as caught:
        run(kinds)
    return str(caught.value)


@pytest.mark.parametrize("module, run, message, shown", DISPLAY_CASES)
def test_a_rebound_display_class_name_names_the_next_error(kinds, monkeypatch, module, run, message, shown):
    assert failure(run, kinds) == message.format(shown)
    monkeypatch.setattr(module, "display_class_name", lambda cls: "Renamed")
    assert failure(run, kinds) == message.format("Renamed")
    monkeypatch.undo()
    assert failure(run, kinds) == message.format(shown)


# --- methods set on a class after it was used ------------------------------------------------------------------------

def parsed_marker(cls, data, alias=None):
    return cls(size=99, label="overridden")


def defaults_marker(self):
    return {"overridden": self.size}


def fields_but_label(cls):
    return [f for f in dataclasses.fields(cls) if f.name != "label"]


def text_field(cls, value=None, type_specification=None, name="", metadata=None):
    return FieldString(name=name or "part", default="overridden")


@dataclasses.dataclass
class Override:
    name: str
    function: Callable
    class_level: bool  # a class method, so that a metaclass attribute answers first
    # per operation: the outcome at every site of it before the override and with it
    effects: dict[str, tuple[Any, Any]]


FULL_FORM = ("FieldData", ["size", "label"])

OVERRIDES = [
    Override("from_defaults", parsed_marker, True, {"parse": (PART_DATA, {"size": 99, "label": "overridden"})}),
    Override("build_defaults", defaults_marker, False, {"defaults": (PART_DATA, {"overridden": 2})}),
    Override("get_subfield_descriptors", fields_but_label, True, {
        "parse": (PART_DATA, "Unexpected fields for Part: ['label']"),
        "defaults": (PART_DATA, {"size": 2}),
        "form": (FULL_FORM, ("FieldData", ["size"])),
    }),
    Override("build_field_for_type", text_field, True, {"form": (FULL_FORM, ("FieldString", []))}),
]


def as_method(override: Override) -> Any:
    return classmethod(override.function) if override.class_level else override.function


def as_metaclass_attribute(override: Override) -> Any:
    # A data descriptor of the metaclass answers before the class's own attribute.
    return property(lambda cls: types.MethodType(override.function, cls))


# Where an override is placed: the owner, and the attribute the override is there.
PLACES = {
    "class": (lambda k: k.Part, as_method),
    "base": (lambda k: k.PartBase, as_method),
    "metaclass": (lambda k: k.PartMeta, as_metaclass_attribute),
}


def override_cases():
    cases = []
    for override in OVERRIDES:
        for place in PLACES:
            # A metaclass answers only for the class itself, never for an instance's lookup.
            if place == "metaclass" and not override.class_level:
                continue
            for operation, (before, after) in override.effects.items():
                if place == "metaclass" and operation == "defaults":
                    continue
                for site in SITES[operation]:
                    cases.append(pytest.param(override, place, operation, site, before, after,
                                              id=f"{override.name}-{place}-{operation}-{site}"))
    return cases


@pytest.mark.parametrize("override, place, operation, site, before, after", override_cases())
def test_a_method_set_after_use_is_used_on_the_next_call(kinds, monkeypatch, override, place, operation, site,
                                                         before, after):
    observe = SITES[operation][site]
    assert outcome(observe, kinds) == before
    owner, attribute = PLACES[place]
    monkeypatch.setattr(owner(kinds), override.name, attribute(override), raising=False)
    assert outcome(observe, kinds) == after
    monkeypatch.undo()
    assert outcome(observe, kinds) == before


# --- virtual subclasses registered between two calls -----------------------------------------------------------------

def plain_class() -> type:
    """A class with the content methods that becomes content only once registered."""

    class Plain:
        def __init__(self, n=1):
            self.n = n

        def build_defaults(self):
            return {"n": self.n}

        @classmethod
        def from_defaults(cls, data, alias=None):
            return cls(data["n"])

        @classmethod
        def build_field_for_type(cls, value=None, type_specification=None, name="", metadata=None):
            return FieldInteger(name=name, default=value.n)

    return Plain


@dataclasses.dataclass
class Holder(ConfigData):
    held: Any = None


def converted(value, convert) -> Any:
    """What `convert` makes of `value`: "as given" when that is the value itself."""
    result = convert(value)
    return "as given" if result is value else result


UNSUPPORTED_ALIAS = "Unsupported alias {} for data of type <class 'dict'>."

# Each site gives what an operation makes of a Plain, before and after the registration.
REGISTRATION_SITES = [
    pytest.param(lambda plain: converted(plain(2), build_defaults), "as given", {"n": 2}, id="defaults"),
    pytest.param(lambda plain: converted(plain(2), lambda value: build_defaults([value])[0]), "as given", {"n": 2},
                 id="defaults of a list item"),
    pytest.param(lambda plain: converted(plain(2), lambda value: Holder(held=value).build_defaults()["held"]),
                 "as given", {"n": 2}, id="defaults of a record field"),
    pytest.param(lambda plain: from_defaults(plain, {"n": 2}).n, UNSUPPORTED_ALIAS, 2, id="parse"),
    pytest.param(lambda plain: from_defaults(tuple[plain], [{"n": 2}])[0].n, UNSUPPORTED_ALIAS, 2,
                 id="parse of a tuple item"),
    pytest.param(lambda plain: build_field("held", plain, {"default": plain(2)}).default,
                 "Unsupported field type {} for field 'held'.", 2, id="form"),
]


@pytest.mark.parametrize("site, before, after", REGISTRATION_SITES)
def test_a_class_registered_as_content_is_content_on_the_next_call(site, before, after):
    plain = plain_class()
    assert outcome(site, plain) == (before.format(plain) if isinstance(before, str) else before)
    BaseConfigurableData.register(plain)
    assert outcome(site, plain) == after


def test_a_primitive_class_registered_as_content_is_content_on_the_next_call():
    # An ABC registration cannot be undone, so it happens in its own interpreter.
    assert run_python("""
        import abc, dataclasses
        from nimbrel.quorvel.data.content_core import BaseConfigurableData, build_defaults
        from nimbrel.quorvel.data.record_content import ConfigData

        @dataclasses.dataclass
        class Ratio(ConfigData):
            ratio: float = 2.5

        def attempt(convert):
            try:
                print(convert())
            except Exception as error:
                print(type(error).__name__)

        for _ in range(2):
            attempt(lambda: build_defaults(2.5))
            attempt(lambda: Ratio().build_defaults())
            abc.ABCMeta.register(BaseConfigurableData, float)
    """).splitlines() == ["2.5", "{'ratio': 2.5}", "AttributeError", "QuorvelError"]


# --- an enumeration's _missing_ replaced between two calls -----------------------------------------------------------

# Each site parses "shiny", which names no member, as the enumeration named first.
MISSING_SITES = [
    pytest.param("Finish", lambda k: k.Finish.from_defaults("shiny"), id="class"),
    pytest.param("Finish", lambda k: from_defaults(k.Finish, "shiny"), id="dispatcher"),
    pytest.param("Finish", lambda k: k.Assembly.from_defaults({"finish": "shiny"}).finish, id="record field"),
    pytest.param("Finish", lambda k: from_defaults(ConfigList[k.Finish], ["shiny"])[0], id="list item"),
    pytest.param("Finish", lambda k: from_defaults(ConfigOptional[k.Finish], {"default": True, "content": "shiny"})
                 .content, id="optional content"),
    pytest.param("Finish", lambda k: from_defaults(ConfigUnion[int | k.Finish], {"selection": "finish",
                                                                                 "finish": "shiny"}).content,
                 id="union member"),
    pytest.param("Finish", lambda k: next(iter(from_defaults(dict[k.Finish, int], {"shiny": 1}))), id="dict key"),
    pytest.param("Texture", lambda k: from_defaults(k.Texture, {"value": "shiny"}), id="plain enumeration"),
]


@pytest.mark.parametrize("name, site", MISSING_SITES)
def test_a_replaced_missing_hook_is_asked_on_the_next_call(kinds, monkeypatch, name, site):
    enumeration = getattr(kinds, name)
    refused = f"Invalid {name}: 'shiny'"
    assert outcome(site, kinds) == refused
    monkeypatch.setattr(enumeration, "_missing_", classmethod(lambda cls, value: cls.GLOSS), raising=False)
    assert outcome(site, kinds) is enumeration.GLOSS
    monkeypatch.undo()
    assert outcome(site, kinds) == refused


# --- a record class decorated again ----------------------------------------------------------------------------------

def undecorated_subclass(kinds) -> tuple[type, Callable[[], Any]]:
    """A part with one more field, not decorated yet: until it is, its fields are the part's."""

    class Grown(kinds.Part):
        extra: int = 5

    return Grown, lambda: dataclasses.dataclass(Grown)


def record_given_a_new_default(kinds) -> tuple[type, Callable[[], Any]]:
    @dataclasses.dataclass
    class Dial(ConfigData):
        level: int = 1

    def decorate_again():
        Dial.level = 7
        dataclasses.dataclass(Dial)

    return Dial, decorate_again


GROWN = {"size": 2, "label": "x", "extra": 7}
UNEXPECTED_EXTRA = "Unexpected fields for Grown: ['extra']"

# Each site gives what an operation makes of the class, before and after it is decorated again.
REDECORATION_CASES = [
    pytest.param(undecorated_subclass, lambda cls: cls.from_defaults(GROWN), UNEXPECTED_EXTRA,
                 GROWN, id="new field-parse"),
    pytest.param(undecorated_subclass,
                 lambda cls: from_defaults(ConfigList[cls], [{"content": GROWN}])[0],
                 UNEXPECTED_EXTRA, GROWN, id="new field-parse of a list item"),
    pytest.param(undecorated_subclass, lambda cls: cls(**PART_DATA).build_defaults(), PART_DATA,
                 {**PART_DATA, "extra": 5}, id="new field-defaults"),
    pytest.param(undecorated_subclass,
                 lambda cls: ConfigList[cls]([cls(**PART_DATA)]).build_defaults()[0]["content"], PART_DATA,
                 {**PART_DATA, "extra": 5}, id="new field-defaults of a list item"),
    pytest.param(undecorated_subclass, lambda cls: shape(cls.build_field_for_type()), FULL_FORM,
                 ("FieldData", ["size", "label", "extra"]), id="new field-form"),
    pytest.param(undecorated_subclass, lambda cls: shape(ConfigList[cls].build_field_for_type().fields[0]), FULL_FORM,
                 ("FieldData", ["size", "label", "extra"]), id="new field-form of a list item"),
    pytest.param(undecorated_subclass, lambda cls: list(json_schema(cls)["$defs"]["grown"]["properties"]),
                 ["size", "label"], ["size", "label", "extra"], id="new field-schema"),
    pytest.param(record_given_a_new_default, lambda cls: cls.from_defaults({}).level, 1, 7, id="new default-parse"),
    pytest.param(record_given_a_new_default, lambda cls: from_defaults(ConfigList[cls], [{"content": {}}])[0].level,
                 1, 7, id="new default-parse of a list item"),
    pytest.param(record_given_a_new_default, lambda cls: cls.build_field_for_type().fields[0].default, 1, 7,
                 id="new default-form"),
    pytest.param(record_given_a_new_default,
                 lambda cls: json_schema(cls)["$defs"]["dial"]["properties"]["level"]["default"], 1, 7,
                 id="new default-schema"),
]


@pytest.mark.parametrize("make, site, before, after", REDECORATION_CASES)
def test_a_class_decorated_again_is_read_anew_on_the_next_call(kinds, make, site, before, after):
    cls, decorate = make(kinds)
    assert outcome(site, cls) == before
    decorate()
    assert outcome(site, cls) == after


# --- what is kept per class is found by the class's address ----------------------------------------------------------

ADDRESS_ROUNDS = 100
ADDRESS_REPEATS = 5


class Shine(ConfigEnum):
    """Named by a text annotation below, which resolves through this module's globals."""

    MATTE = "matte"
    GLOSS = "gloss"


def record_with(annotation: Any, default: Any) -> type:
    @dataclasses.dataclass
    class Reused(ConfigData):
        value: annotation = default

    return Reused


def used_and_dropped(cls: type) -> int:
    """Parses with `cls` and builds its form, so that what is kept for it exists; answers its address, at which
    the class is no more once this returns and the garbage is collected."""
    cls.from_defaults({"value": 1})
    cls.build_field_for_type()
    return id(cls)


# AddressSanitizer holds freed memory back from reuse, so there no address comes back; the normal build runs it.
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="freed addresses are quarantined")
def test_a_new_class_at_the_address_of_a_collected_one_is_read_anew():
    # The new class's annotation is text, so that anything kept for another class shows: a hint for its field
    # would be the wrong type, and no hint would leave the text itself, looked up by type key with a warning.
    freed = set()
    repeats = 0
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for _ in range(ADDRESS_ROUNDS):
            freed.add(used_and_dropped(record_with(int, 0)))
            gc.collect()
            new = record_with("Shine", Shine.MATTE)
            if id(new) in freed:
                repeats += 1
                assert new.from_defaults({"value": "gloss"}).value is Shine.GLOSS
                assert type(new.build_field_for_type().fields[0]) is FieldEnum
            del new
            gc.collect()
            if repeats == ADDRESS_REPEATS:
                break
    # Without an address used again the test would prove nothing.
    assert repeats == ADDRESS_REPEATS


# --- the __post_init__ hook is looked up on every parse --------------------------------------------------------------

@pytest.mark.parametrize("place", ["class", "base"])
@pytest.mark.parametrize("site", PARSE_SITES.values(), ids=PARSE_SITES.keys())
def test_a_post_init_hook_set_after_use_runs_on_the_next_parse(kinds, monkeypatch, place, site):
    calls = []
    site(kinds)
    owner, _ = PLACES[place]
    monkeypatch.setattr(owner(kinds), "__post_init__", lambda self: calls.append(self.size), raising=False)
    site(kinds)
    assert calls == [PART_DATA["size"]]
    monkeypatch.undo()
    site(kinds)
    assert calls == [PART_DATA["size"]]


def record_with_a_hook_field(calls: list) -> type:
    """A record with a field named `__post_init__` and no such class attribute: the callable the field holds on
    the instance is the hook."""

    @dataclasses.dataclass
    class Hooked(ConfigData):
        size: int = 1
        __post_init__: Any = dataclasses.field(default_factory=lambda: lambda: calls.append("hook"))

    return Hooked


POST_INIT_FIELD_SITES = {
    "class": lambda cls: cls.from_defaults({"size": 2}),
    "list item": lambda cls: from_defaults(ConfigList[cls], [{"content": {"size": 2}}]),
    "optional content": lambda cls: from_defaults(ConfigOptional[cls], {"default": True, "content": {"size": 2}}),
}


@pytest.mark.parametrize("site", POST_INIT_FIELD_SITES.values(), ids=POST_INIT_FIELD_SITES.keys())
def test_a_field_named_post_init_holding_a_callable_is_called(site):
    calls = []
    hooked = record_with_a_hook_field(calls)
    assert "__post_init__" not in vars(hooked)
    site(hooked)
    site(hooked)
    assert calls == ["hook", "hook"]


# --- how the content kinds make their instances ----------------------------------------------------------------------

def made_kinds(kinds) -> types.SimpleNamespace:
    """Subclasses of the kinds holding the part, with a metaclass of their own where a `__call__` may be placed."""

    class Made(abc.ABCMeta):
        pass

    class Parts(ConfigList[kinds.Part], metaclass=Made):
        pass

    class Spare(ConfigOptional[kinds.Part], metaclass=Made):
        pass

    class Either(ConfigUnion[int | kinds.Part], metaclass=Made):
        pass

    return types.SimpleNamespace(Made=Made, list=Parts, optional=Spare, union=Either)


# Per kind: its class in the library, the parse that makes an instance of the subclass, and what the instance holds.
MAKING_SITES = {
    "list": (ConfigList, lambda cls: from_defaults(cls, [{"content": PART_DATA}]),
             lambda made: [vars(item) for item in made]),
    "optional": (ConfigOptional, lambda cls: from_defaults(cls, OPTIONAL_PART), lambda made: vars(made.content)),
    "union": (ConfigUnion, lambda cls: from_defaults(cls, SELECTED_PART), lambda made: vars(made.content)),
}


def spy_on(owner: Any, name: str, calls: list) -> Any:
    """A stand-in for what `owner` answers under `name` (as a method of its instances), that counts its calls."""
    original = getattr(owner, name)
    if name == "__new__":
        # object.__new__ refuses the arguments once a class has a `__new__` of its own.
        return staticmethod(lambda cls, *args, **kwargs: (calls.append(name), original(cls))[1])
    return lambda self, *args, **kwargs: (calls.append(name), original(self, *args, **kwargs))[1]


# Where a creation hook is placed: the subclass, the kind's class in the library, or the subclass's metaclass. A
# `__new__` is placed on the subclass only, and not taken away: once one was set on a class, the interpreter keeps
# calling the `__new__` its lookup finds, even after it is deleted, and object.__new__ then refuses the arguments.
MAKING_HOOKS = {"__init__": ["class", "kind"], "__new__": ["class"], "__call__": ["metaclass"],
                "__setattr__": ["class"]}

# A list is given its items, not an attribute.
MAKING_CASES = [pytest.param(kind, name, place, id=f"{name}-{place}-{kind}")
                for name, places in MAKING_HOOKS.items() for place in places for kind in MAKING_SITES
                if not (name == "__setattr__" and kind == "list")]


@pytest.mark.parametrize("kind, name, place", MAKING_CASES)
def test_a_creation_hook_set_after_use_runs_on_the_next_parse(kinds, monkeypatch, kind, name, place):
    library_class, parse_with, held = MAKING_SITES[kind]
    made = made_kinds(kinds)
    cls = getattr(made, kind)
    owner = {"class": cls, "kind": library_class, "metaclass": made.Made}[place]
    first = held(parse_with(cls))
    calls = []
    monkeypatch.setattr(owner, name, spy_on(owner, name, calls), raising=False)
    assert held(parse_with(cls)) == first and calls
    if name == "__new__":
        return
    monkeypatch.undo()
    calls.clear()
    assert held(parse_with(cls)) == first and not calls
