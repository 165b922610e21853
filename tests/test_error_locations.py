"""Where parse errors say they failed: `location` and `pointer` of errors raised out of parsing."""

import dataclasses
import enum
from typing import Any

import pytest

from conftest import load_demo
from nimbrel.quorvel.core.exceptions import (
    QuorvelError,
    QuorvelParseError,
    QuorvelTypeResolutionError,
    QuorvelUserError,
    QuorvelValidationError,
)
from nimbrel.quorvel.data.content_core import BaseConfigurableData
from nimbrel.quorvel.data.list_content import ConfigList
from nimbrel.quorvel.data.optional_content import ConfigOptional
from nimbrel.quorvel.data.parse import from_defaults
from nimbrel.quorvel.data.record_content import ConfigData
from nimbrel.quorvel.data.union_content import ConfigUnion

# Floor has a list[...] field, which parsing warns about every time.
pytestmark = pytest.mark.filterwarnings("ignore:Passing list:UserWarning")

demo = load_demo()
Service = demo.Service
NOT_A_PORT = {"number": 554}  # a primitive field refuses a dict


class Tone(enum.Enum):
    WARM = "warm"
    COLD = "cold"


@dataclasses.dataclass
class Lamp(ConfigData):
    watts: int = 5
    tone: Tone = Tone.WARM


@dataclasses.dataclass
class Room(ConfigData):
    lamps: ConfigList[Lamp] = dataclasses.field(default_factory=lambda: ConfigList[Lamp]([Lamp()]))
    spare: ConfigOptional[Lamp] = dataclasses.field(default_factory=lambda: ConfigOptional[Lamp](None))


@dataclasses.dataclass
class Floor(ConfigData):
    rooms: ConfigOptional[ConfigUnion[int | Room]] = dataclasses.field(
        default_factory=lambda: ConfigOptional[ConfigUnion[int | Room]](ConfigUnion[int | Room](Room())))
    by_name: dict[str, Lamp] = dataclasses.field(default_factory=dict)
    by_tone: dict[Tone, int] = dataclasses.field(default_factory=dict)
    pair: tuple[int, Lamp] = (0, Lamp())
    maybe: Lamp | None = None
    either: int | Lamp = 0
    plain_lamps: list[Lamp] = dataclasses.field(default_factory=list)
    free: dict[str, Any] = dataclasses.field(default_factory=dict)


@dataclasses.dataclass
class Required(ConfigData):
    needed: int


class Refusing(ConfigData):
    """Content whose own parsing refuses everything, with an error of the library or a foreign one."""

    error: type[Exception] = QuorvelError

    @classmethod
    def from_defaults(cls, data, alias=None):
        raise cls.error("refused")


class RefusingForeign(Refusing):
    error = ValueError


@dataclasses.dataclass
class Holder(ConfigData):
    own: Refusing = dataclasses.field(default_factory=Refusing)
    foreign: RefusingForeign = dataclasses.field(default_factory=RefusingForeign)


def floor_data(**changes):
    data = Floor().build_defaults()
    data["either"] = {"selection": "int", "int": 0}  # the field holds a bare int, which defaults show as it is
    data.update(changes)
    return data


def resolve(data, location):
    """Follows a location into data: each step must exist, so the location names a real place."""
    for step in location:
        assert isinstance(data, (dict, list, tuple)), (location, step)
        data = data[step]
    return data


def failure(parse, data):
    with pytest.raises(QuorvelError) as caught:
        parse(data)
    return caught.value


ROOM_IN_UNION = {"default": True, "content": {"selection": "room", "room": {
    "lamps": [{"content": {"watts": 1}}, {"content": {"watts": NOT_A_PORT}}], "spare": {"default": False}}}}

LOCATED = [
    # records in lists in unions in optionals, four levels and more
    (floor_data(rooms=ROOM_IN_UNION), ("rooms", "content", "room", "lamps", 1, "content", "watts")),
    # a list element given bare rather than as a row
    (floor_data(rooms={"default": True, "content": {"selection": "room", "room": {"lamps": [{"watts": NOT_A_PORT}]}}}),
     ("rooms", "content", "room", "lamps", 0, "watts")),
    # an optional's content
    (floor_data(rooms={"default": True, "content": {"selection": "room", "room": {
        "spare": {"default": True, "content": {"tone": "amber"}}}}}),
     ("rooms", "content", "room", "spare", "content", "tone")),
    # dict values and keys
    (floor_data(by_name={"desk": {"watts": 1}, "hall": {"watts": NOT_A_PORT}}), ("by_name", "hall", "watts")),
    (floor_data(by_tone={"warm": 1, "amber": 2}), ("by_tone", "amber")),
    # tuple positions, for tuple data and for the list JSON makes of it
    (floor_data(pair=(1, {"watts": NOT_A_PORT})), ("pair", 1, "watts")),
    (floor_data(pair=[1, {"tone": "amber"}]), ("pair", 1, "tone")),
    # plain optional and union annotations: the data is the content itself, or the union's own data
    (floor_data(maybe={"watts": NOT_A_PORT}), ("maybe", "watts")),
    (floor_data(maybe={"default": True, "content": {"watts": NOT_A_PORT}}), ("maybe", "content", "watts")),
    (floor_data(either={"selection": "lamp", "lamp": {"tone": "amber"}}), ("either", "lamp", "tone")),
    # list[...] annotations parse as lists of rows
    (floor_data(plain_lamps=[{"content": {}}, {"content": {"watts": NOT_A_PORT}}]), ("plain_lamps", 1, "content",
                                                                                       "watts")),
]


@pytest.mark.parametrize("data, location", LOCATED)
def test_failures_are_located_through_every_kind(data, location):
    error = failure(Floor.from_defaults, data)
    assert error.location == location
    assert error.pointer == "".join(f"/{step}" for step in location)
    # The location leads to the value that failed, which is still there: nothing was changed.
    resolve(data, location)


@pytest.mark.parametrize("data, location, error_class, message", [
    # the record's own data: its shape, its unknown keys
    (floor_data(rooms={"default": True, "content": {"selection": "room", "room": {"lamps": [{"content": {
        "wats": 1}}]}}}), ("rooms", "content", "room", "lamps", 0, "content"), QuorvelValidationError,
     "Unexpected fields for Lamp: ['wats']"),
    (floor_data(by_name={"desk": [1]}), ("by_name", "desk"), QuorvelError,
     "Expected dict data for Lamp, got <class 'list'>."),
    # the union's own data: a missing or invalid selection
    (floor_data(either={"selection": "bulb", "bulb": {}}), ("either",), QuorvelValidationError,
     "ConfigUnion selection 'bulb' is not a valid member."),
    (floor_data(rooms={"default": True, "content": {"room": {}}}), ("rooms", "content"), QuorvelValidationError,
     "ConfigUnion[...] requires an active selection."),
    (floor_data(either=5), ("either",), QuorvelUserError, "Data for ConfigUnion has to be a dict."),
    # the optional's own data
    (floor_data(rooms={"default": True}), ("rooms",), QuorvelValidationError,
     "ConfigOptional[...] is enabled but \"content\" is missing or None."),
    # the container's own data
    (floor_data(pair=[1]), ("pair",), QuorvelError, "Expected tuple of length 2 for tuple[int, __main__.Lamp], "
                                                     "got length 1."),
])
def test_failures_of_a_whole_value_are_located_at_it(data, location, error_class, message):
    error = failure(Floor.from_defaults, data)
    assert error.location == location
    first = error
    while first.__cause__ is not None:
        first = first.__cause__
    assert type(first) is error_class
    assert str(first) == message.replace("__main__", __name__)


def test_the_outermost_error_keeps_its_message_class_and_causes():
    data = floor_data(by_name={"hall": {"watts": NOT_A_PORT}})
    error = failure(Floor.from_defaults, data)
    assert type(error) is QuorvelError and str(error).startswith("Failed to parse field Floor.by_name from ")
    inner = error.__cause__
    assert type(inner) is QuorvelError and str(inner).startswith("Failed to parse field Lamp.watts from ")
    assert inner.__cause__.location == () and str(inner.__cause__).startswith("Primitive values must be passed")
    # A wrapped error keeps the location it had when it was wrapped: from the dict it failed in.
    assert inner.location == ("hall", "watts") and error.location == ("by_name", "hall", "watts")


@pytest.mark.parametrize("parse, data, location", [
    (lambda data: Service.from_defaults(data), {"cameras": [{"content": {"port": NOT_A_PORT}}]},
     ("cameras", 0, "content", "port")),
    (lambda data: Service.parse_from_disk_representation(data), {"recording": {"default": True, "content": {
        "directory": NOT_A_PORT}}}, ("recording", "content", "directory")),
    (lambda data: Service.load_root_defaults(data), {"service": {"cameras": [{"content": {"resolution": "8k"}}]}},
     ("service", "cameras", 0, "content", "resolution")),
    # data not in root form is passed on whole, so nothing is put in front
    (lambda data: Service.load_root_defaults(data), {"retention": {"selection": "recording", "recording": {
        "keep_days": NOT_A_PORT}}}, ("retention", "recording", "keep_days")),
    (lambda data: from_defaults(dict[str, ConfigList[int]], data), {"a": [1], "b": {"x": 1}}, ("b",)),
    (lambda data: from_defaults(tuple[int, ...], data), [1, 2, {"x": 1}], (2,)),
    (lambda data: from_defaults(ConfigList[ConfigOptional[int]], data), [{"content": {"default": True}}],
     (0, "content")),
    (lambda data: from_defaults(Lamp, data), None, ()),
])
def test_every_entry_point_locates_from_the_data_it_was_given(parse, data, location):
    assert failure(parse, data).location == location


def test_a_missing_required_field_is_located_at_its_key():
    error = failure(lambda data: from_defaults(dict[str, Required], data), {"x": {}})
    assert error.location == ("x", "needed") and error.pointer == "/x/needed"


@pytest.mark.parametrize("field, error_class, location", [
    # a library error raised by content of the user's keeps its place in the data
    ("own", QuorvelError, ("own",)),
    # a foreign error has no location: the library error that wraps it is located where it wraps it
    ("foreign", QuorvelParseError, ("foreign",)),
])
def test_errors_of_user_content_are_located(field, error_class, location):
    error = failure(Holder.from_defaults, {field: {}})
    assert error.location == location
    assert type(error.__cause__) is error_class
    if error_class is QuorvelParseError:
        assert error.__cause__.location == () and type(error.__cause__.__cause__) is ValueError
        assert not hasattr(error.__cause__.__cause__, "location")


def test_errors_raised_by_hand_are_at_the_root():
    for error in (QuorvelError("x"), QuorvelTypeResolutionError("y")):
        assert error.location == () and error.pointer == ""
    custom = type("Custom", (QuorvelError,), {})("z")
    assert custom.location == () and custom.pointer == ""


@pytest.mark.parametrize("location, pointer", [
    ((), ""),
    (("a~b", "c/d", 0), "/a~0b/c~1d/0"),
    (("~/",), "/~0~1"),
    (("",), "/"),
    ((True, None, 1.5, -3), "/true/null/1.5/-3"),
    ((Tone.WARM,), "/Tone.WARM"),
])
def test_pointer_escapes_steps(location, pointer):
    error = QuorvelError("x")
    error.location = location
    assert error.pointer == pointer


def test_keys_are_located_as_they_appear_in_the_data():
    error = failure(lambda data: from_defaults(dict[str, dict[str, Lamp]], data), {"a/b": {"~": {"watts": {}}}})
    assert error.location == ("a/b", "~", "watts") and error.pointer == "/a~1b/~0/watts"
    error = failure(lambda data: from_defaults(dict[int, Lamp], data), {"7": {"watts": {}}})
    assert error.location == ("7", "watts")


def test_a_location_set_to_something_else_is_left_alone():
    class Odd(ConfigData):
        @classmethod
        def from_defaults(cls, data, alias=None):
            error = QuorvelError("odd")
            error.location = "not a tuple"
            raise error

    error = failure(lambda data: from_defaults(ConfigList[Odd], data), [{}])
    assert error.location == "not a tuple"


def test_foreign_errors_carry_no_location():
    class Subclass(dict):
        pass

    with pytest.raises(TypeError) as caught:
        from_defaults(dict[str, int | str], {"a": Subclass(selection="int", int=1)})
    assert not hasattr(caught.value, "location")


def test_registered_content_is_not_required_to_locate():
    assert isinstance(Refusing(), BaseConfigurableData)
    error = failure(lambda data: from_defaults(ConfigOptional[Refusing], data), {"default": True, "content": 1})
    assert error.location == ("content",) and str(error) == "refused"


@dataclasses.dataclass
class Chain(ConfigData):
    next: "ConfigOptional[Chain]" = dataclasses.field(default_factory=lambda: ConfigOptional[Chain](None))
    value: int = 0


def test_a_deep_failure_is_located_step_by_step():
    depth = 300
    data: dict = {"value": NOT_A_PORT}
    for _ in range(depth):
        data = {"next": {"default": True, "content": data}}
    error = failure(Chain.from_defaults, data)
    assert error.location == ("next", "content") * depth + ("value",)
    assert error.pointer == "/next/content" * depth + "/value"
    # The error it wraps is located from the data it passed out of: the optional's.
    inner = error.__cause__
    assert inner.location == ("content",) + ("next", "content") * (depth - 1) + ("value",)


@pytest.mark.parametrize("assigned, read", [
    (["a", 1], ("a", 1)),
    (("b",), ("b",)),
    ("not a path", "not a path"),
    (None, None),
])
def test_location_can_be_assigned(assigned, read):
    error = QuorvelError("x")
    error.location = assigned
    assert error.location == read


def test_located_errors_survive_copy_and_pickle():
    import copy
    import pickle

    error = failure(Floor.from_defaults, floor_data(pair=(1, {"watts": NOT_A_PORT})))
    for clone in (copy.copy(error), pickle.loads(pickle.dumps(error))):
        assert clone.location == ("pair", 1, "watts") and clone.pointer == "/pair/1/watts"
