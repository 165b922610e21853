"""Tests for the record content nimbrel.quorvel.data.record_content."""

import dataclasses
import enum
import gc
import inspect
import subprocess
import sys
import types
import warnings
from dataclasses import dataclass, field
from typing import Any, ClassVar

import pydantic
import pytest

from conftest import unchanged
from nimbrel.quorvel.core.exceptions import (
    QuorvelError, QuorvelImplementationError, QuorvelMetadataError, QuorvelParseError, QuorvelSchemaError,
    QuorvelUserError, QuorvelValidationError,
)
from nimbrel.quorvel.core import naming
from nimbrel.quorvel.data.content_core import BaseConfigurableData
from nimbrel.quorvel.data.list_content import ConfigList
from nimbrel.quorvel.data.optional_content import ConfigOptional
from nimbrel.quorvel.data.parse import from_defaults
from nimbrel.quorvel.data.record_content import ConfigData
from nimbrel.quorvel.data.serialize import build_field
from nimbrel.quorvel.fields.field_models import FieldData, FieldEnum, FieldInteger, FieldList, FieldString

NAMES_ERROR = 'Cam.build_field metadata["names"] must be a list/set/tuple of str.'
CALLS = []


def counted(value):
    def factory():
        CALLS.append(value)
        return value() if callable(value) else value
    return factory


class Color(enum.Enum):
    RED = "r"
    GREEN = "g"


@dataclass
class Cam(ConfigData):
    host: str = "localhost"
    port: int = 80


class KeyedCam(Cam):
    @classmethod
    def type_key(cls):
        return "keyed_cam_key"


@dataclass
class Grouping(ConfigData):
    fields: int = field(default=3, metadata={"min": 1})
    title: str = "t"


class LooseInteger(FieldInteger):
    """Accepts keys that are not fields, so every default rule can be observed."""

    model_config = pydantic.ConfigDict(extra="allow")


@dataclass
class Prec(ConfigData):
    required: int
    meta_default: int = field(default=3, metadata={"default": 5})
    meta_factory: int = field(default=3, metadata={"default_factory": counted(7)})
    both_meta: int = field(default=3, metadata={"default": 5, "default_factory": counted(6), "input": LooseInteger})
    two_factories: int = field(default_factory=lambda: 9, metadata={"default_factory": counted(8)})
    plain_factory: int = field(default_factory=counted(9))
    plain: int = 4


@dataclass
class Rig(ConfigData):
    cam: Cam = field(default_factory=Cam)
    label: str = field(default="rig", metadata={"description": "from class"})


@dataclass
class Forward(ConfigData):
    known: int = 1
    later: "NoSuchType" = None  # noqa: F821 - never resolvable
    text: "str" = "s"


@dataclass
class Resolved(ConfigData):
    count: "int" = 0
    cam: "Cam" = None


@dataclass
class Watched(ConfigData):
    host: str = "localhost"
    port: int = 80
    runs: ClassVar[list] = []

    def __post_init__(self):
        Watched.runs.append((self.host, self.port))


@dataclass
class Tagged(ConfigData):
    first: ConfigList[str] = field(default_factory=counted(lambda: ConfigList[str](["t"])))
    second: ConfigList[str] = field(default_factory=counted(lambda: ConfigList[str](["u"])))
    label: str = "x"


SHARED = (1, 2)


@dataclass
class Locked(ConfigData):
    a: int = 1
    b: tuple[int, ...] = SHARED

    def __setattr__(self, name, value):
        raise dataclasses.FrozenInstanceError(f"cannot assign to field {name!r}")


@dataclass
class Needs(ConfigData):
    name: str
    size: int = 1


@dataclass
class Derived(ConfigData):
    base: int = 2
    doubled: int = field(init=False, default=0)
    note: str = field(init=False, default="fixed")

    def __post_init__(self):
        self.doubled = self.base * 2


@dataclass
class Hidden(ConfigData):
    shown: int = 1
    secret: int = field(init=False)


@dataclass
class RecInner(ConfigData):
    port: int = 1


@dataclass
class RecMiddle(ConfigData):
    inner: RecInner = field(default_factory=RecInner)


@dataclass
class RecOuter(ConfigData):
    middle: RecMiddle = field(default_factory=RecMiddle)
    name: str = "o"


class RecExplosive(BaseConfigurableData):
    @classmethod
    def build_field_for_type(cls, value=None, type_specification=None, name=None, metadata=None):
        return FieldString(name=name)

    @classmethod
    def from_defaults(cls, data, alias=None):
        raise ValueError("boom")


@dataclass
class Holder(ConfigData):
    part: RecExplosive = None
    items: list[int] = field(default_factory=list)


@dataclass
class Station(ConfigData):
    cam: Cam = field(default_factory=Cam)
    backup: ConfigOptional[Cam] = field(default_factory=lambda: ConfigOptional[Cam](None))
    ports: ConfigList[int] = field(default_factory=lambda: ConfigList[int]([1, 2]))
    mode: Color = Color.RED
    extra: dict[str, Any] = field(default_factory=dict)


@pytest.fixture(autouse=True)
def _fresh_counters():
    CALLS.clear()
    Watched.runs.clear()


def children(result):
    return [(type(c), c.name, c.default) for c in result.fields]


# --- build_field_for_type ---------------------------------------------------------------------------------------

def test_signatures_and_docstrings():
    bf, fd = vars(ConfigData)["build_field_for_type"], vars(ConfigData)["from_defaults"]
    assert isinstance(bf, classmethod) and isinstance(fd, classmethod)
    assert str(inspect.signature(bf.__func__)) == (
        "(cls: 'Type[ConfigData]', value: 'ConfigData | None' = None, type_specification: 'WrapperAlias | None' = "
        "None, name: 'str | None' = None, metadata: 'dict[str, Any] | None' = None) -> 'FieldData | BaseField'")
    assert str(inspect.signature(fd.__func__)) == (
        "(cls: 'Type[ConfigData]', data: 'dict[str, Any] | None | Any', alias: 'WrapperAlias | None' = None) "
        "-> 'ConfigData'")
    assert ConfigData.__doc__.strip() == "Nested dataclass content for grouped input fields."
    assert dataclasses.fields(ConfigData) == ()


def test_build_field_for_type_defaults_and_values():
    result = Cam.build_field_for_type()
    assert type(result) is FieldData and (result.name, result.display_name) == ("cam", "Cam")
    assert children(result) == [(FieldString, "host", "localhost"), (FieldInteger, "port", 80)]
    given = Cam.build_field_for_type(value=Cam("h", 1), name="front", type_specification=list)
    assert given.name == "front" and children(given) == [(FieldString, "host", "h"), (FieldInteger, "port", 1)]
    assert children(Cam("h", 2).build_field(name="x")) == [(FieldString, "host", "h"), (FieldInteger, "port", 2)]
    assert Cam.build_field_for_type(name="").name == "cam" and KeyedCam.build_field_for_type().name == "keyed_cam_key"
    via_builder = build_field("cam", Cam, {"default": Cam("x", 2), "description": "d"})
    assert via_builder.description == "d" and [c.default for c in via_builder.fields] == ["x", 2]


@pytest.mark.parametrize("names, expected", [(["port"], ["port"]), ({"port", "host"}, ["host", "port"]),
                                             (("host",), ["host"]), ([], []), (None, ["host", "port"]),
                                             (["port", "nope", "host"], ["host", "port"])])
def test_names_filter(names, expected):
    result = Cam.build_field_for_type(metadata={"names": names})
    assert [c.name for c in result.fields] == expected


@pytest.mark.parametrize("names", ["port", frozenset({"port"}), ["port", 1], {"port": 1}, 5, [b"port"]])
def test_names_of_the_wrong_shape(names):
    with pytest.raises(QuorvelError) as err:
        Cam.build_field_for_type(metadata={"names": names})
    assert str(err.value) == NAMES_ERROR


@pytest.mark.parametrize("metadata, exc, message", [
    ({"default": Cam()}, QuorvelMetadataError, "Ambiguous default value."),
    ({"fields": []}, QuorvelMetadataError, "Ambiguous fields provided in metadata."),
    ({"fields": [], "default": None}, QuorvelMetadataError, "Ambiguous default value."),
    ({"port": "x"}, QuorvelMetadataError, "Field metadata for Cam.port must be a dict, got <class 'str'>."),
    ({"host": [1]}, QuorvelMetadataError, "Field metadata for Cam.host must be a dict, got <class 'list'>."),
    ({"port": 1}, QuorvelMetadataError, "Field metadata for Cam.port must be a dict, got <class 'int'>."),
])
def test_build_field_for_type_refusals(metadata, exc, message):
    with unchanged(metadata), pytest.raises(exc) as err:
        Cam.build_field_for_type(metadata=metadata)
    assert str(err.value) == message


@pytest.mark.parametrize("metadata, keys", [({"nope": {"a": 1}}, "nope, fields"),
                                            ({"description": "d", "zzz": 1}, "description, zzz, fields")])
def test_leftover_keys_reach_the_group(metadata, keys):
    with pytest.raises(QuorvelError) as err:
        Cam.build_field_for_type(metadata=metadata)
    assert str(err.value).startswith(f"Invalid metadata for field FieldData: keys=[{keys}]. ")
    assert isinstance(err.value.__cause__, pydantic.ValidationError)


@pytest.mark.parametrize("empty", ["", None, 0, {}, []])
def test_falsy_field_metadata_counts_as_none(empty):
    result = Cam.build_field_for_type(metadata={"port": empty})
    assert children(result) == [(FieldString, "host", "localhost"), (FieldInteger, "port", 80)]
    assert result.fields[1].min is None


def test_field_metadata_is_merged_and_caller_metadata_kept():
    metadata = {"port": {"min": 1, "max": 9, "description": "P"}, "content": {"x": 1}, "display_name": "Camera",
                "description": "group", "names": ["port", "host"], "host": {"display_name": "Host name"}}
    with unchanged(metadata):
        result = Cam.build_field_for_type(metadata=metadata)
    assert (result.display_name, result.description) == ("Camera", "group")
    host, port = result.fields
    assert (port.min, port.max, port.description, port.default) == (1, 9, "P", 80)
    assert (host.display_name, host.description, host.default) == ("Host name", None, "localhost")
    skipped = Cam.build_field_for_type(metadata={"names": ["host"], "port": "not a dict"})
    assert [c.name for c in skipped.fields] == ["host"]
    grouped = Grouping.build_field_for_type(metadata={"title": {"description": "T"}})
    assert children(grouped) == [(FieldInteger, "fields", 3), (FieldString, "title", "t")]
    assert grouped.fields[0].min == 1 and grouped.fields[1].description == "T"
    assert [c.default for c in Grouping(5, "x").build_field().fields] == [5, "x"]
    assert Grouping.from_defaults({"fields": 4}) == Grouping(4, "t")


def test_nested_record_fields():
    result = Rig.build_field_for_type(metadata={"cam": {"names": ["port"], "description": "c"}})
    cam, label = result.fields
    assert type(cam) is FieldData and cam.description == "c" and children(cam) == [(FieldInteger, "port", 80)]
    assert label.description == "from class"
    rig = Rig(cam=Cam("z", 9), label="L").build_field(metadata={"label": {"description": "mine"}})
    assert children(rig.fields[0]) == [(FieldString, "host", "z"), (FieldInteger, "port", 9)]
    assert (rig.fields[1].default, rig.fields[1].description) == ("L", "mine")


def test_default_precedence():
    result = Prec.build_field_for_type()
    assert [c.default for c in result.fields] == [0, 5, 7, 5, 8, 9, 4] and CALLS == [7, 8, 9]
    assert [type(c) for c in result.fields] == [FieldInteger] * 3 + [LooseInteger] + [FieldInteger] * 3
    CALLS.clear()
    caller = {"meta_default": {"default": 11}, "meta_factory": {"default": 13, "input": LooseInteger},
              "plain": {"default": 12}, "plain_factory": {"default_factory": counted(21)}}
    before = dict(caller)
    overridden = Prec.build_field_for_type(metadata=caller)
    assert [c.default for c in overridden.fields] == [0, 11, 13, 5, 8, 21, 12] and CALLS == [8, 21]
    assert caller == before and caller["meta_default"] == {"default": 11}
    value = Prec(1, 2, 3, 4, 5, 6, 7)
    CALLS.clear()
    loose = {"meta_factory": {"input": LooseInteger}, "two_factories": {"input": LooseInteger},
             "plain": {"default": 12}}
    assert [c.default for c in value.build_field(metadata=loose).fields] == [1, 2, 3, 4, 5, 6, 7]
    assert CALLS == []


def test_metadata_default_factory_runs_once_per_build():
    for _ in range(2):
        Prec.build_field_for_type(metadata={"names": ["meta_factory", "two_factories"]})
    assert CALLS == [7, 8, 7, 8]


def test_unresolvable_annotation_falls_back_to_raw_annotation():
    # The lookup by type key below walks every live content class: classes that earlier tests left to the
    # collector (some with a failing type_key) must be gone first.
    gc.collect()
    only_known = Forward.build_field_for_type(metadata={"names": ["known"]})
    assert children(only_known) == [(FieldInteger, "known", 1)]
    with pytest.raises(QuorvelSchemaError) as err:
        Forward.build_field_for_type(metadata={"names": ["text"]})
    assert str(err.value).startswith("Unsupported field type 'str' for field 'text'.")
    with pytest.raises(QuorvelSchemaError, match=r"^Unsupported field type 'NoSuchType' for field 'later'\."):
        Forward.build_field_for_type()
    value = Forward.from_defaults({"known": 2})
    assert (value.known, value.later, value.text) == (2, None, "s")
    with pytest.warns(DeprecationWarning) as record, pytest.raises(QuorvelError) as err:
        Forward.from_defaults({"later": 5})
    assert record[0].filename == __file__
    assert str(err.value) == "Failed to parse field Forward.later from <class 'int'> instance '5'."
    assert type(err.value.__cause__) is QuorvelUserError
    assert str(err.value.__cause__) == "Class for NoSuchType not found."


def test_resolvable_string_annotations_use_type_hints():
    result = Resolved.build_field_for_type()
    assert [type(c) for c in result.fields] == [FieldInteger, FieldData]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        value = Resolved.from_defaults({"count": 3, "cam": {"port": 1}})
    assert value.count == 3 and value.cam == Cam("localhost", 1)


# --- from_defaults ---------------------------------------------------------------------------------------------

def test_from_defaults_fills_defaults_and_runs_post_init():
    value = Watched.from_defaults({"port": 81}, alias=object())
    assert type(value) is Watched and (value.host, value.port) == ("localhost", 81)
    assert Watched.runs == [("localhost", 81)]
    assert from_defaults(Watched, {}) == Watched() and len(Watched.runs) == 3


def test_default_factory_runs_once_per_call_and_missing_field():
    first = Tagged.from_defaults({})
    assert len(CALLS) == 2 and first.first == ["t"] and first.second == ["u"]
    second = Tagged.from_defaults({"first": [{"content": "a"}]})
    assert len(CALLS) == 3 and second.first == ["a"] and second.second is not first.second
    Tagged.from_defaults({"first": [], "second": []})
    assert len(CALLS) == 3


def test_attributes_are_set_past_setattr():
    value = Locked.from_defaults({"a": 5})
    assert value.a == 5 and value.b is SHARED
    with pytest.raises(dataclasses.FrozenInstanceError):
        Locked()


@pytest.mark.parametrize("data, message", [
    (None, "Expected dict data for Cam, got None."),
    ([("port", 1)], "Expected dict data for Cam, got <class 'list'>."),
    ("port", "Expected dict data for Cam, got <class 'str'>."),
])
def test_from_defaults_needs_a_dict(data, message):
    with pytest.raises(QuorvelError) as err:
        Cam.from_defaults(data)
    assert str(err.value) == message


@pytest.mark.parametrize("cls, data, shown", [
    (Cam, {"prot": 1}, "Cam: ['prot']"),
    (Cam, {"zeta": 1, "alpha": 2, "port": {"bad": 1}}, "Cam: ['alpha', 'zeta']"),
    (Derived, {"note": "x", "zz": 1, "aa": 2}, "Derived: ['aa', 'zz']"),
])
def test_unexpected_fields(cls, data, shown):
    with pytest.raises(QuorvelValidationError) as err:
        cls.from_defaults(data)
    assert str(err.value) == f"Unexpected fields for {shown}"


def test_unexpected_fields_without_a_repr_are_shown_by_display_value(monkeypatch):
    # repr of an int past the digit limit raises ValueError; the message must still be built.
    monkeypatch.setattr(naming, "display_value", lambda value, value_length=25: f"<{len(value)} keys>")
    with pytest.raises(QuorvelValidationError) as err:
        Cam.from_defaults({10**5000: 1, -1: 2, "port": 3})
    assert str(err.value) == "Unexpected fields for Cam: <2 keys>"


def test_missing_required_field():
    with pytest.raises(QuorvelError) as err:
        Needs.from_defaults({"size": 2})
    assert str(err.value) == ("Attribute name does not have a default / default factory and is not provided but "
                              "required for initialization!")
    assert Needs.from_defaults({"name": "n"}) == Needs("n", 1)


def test_init_false_fields_accept_and_ignore_their_keys():
    value = Derived.from_defaults({"base": 3, "doubled": 100, "note": {"not": "parsed"}})
    assert (value.base, value.doubled, value.note) == (3, 6, "fixed")
    defaults = Derived(base=4).build_defaults()
    assert defaults == {"base": 4, "doubled": 8, "note": "fixed"}
    assert Derived.from_defaults(defaults) == Derived(base=4)
    hidden = Hidden.from_defaults({"secret": 5})
    assert hidden.shown == 1 and not hasattr(hidden, "secret")


def test_errors_are_wrapped_once_per_record_level():
    data = {"middle": {"inner": {"port": {"x": 1}}}, "name": "n"}
    with unchanged(data), pytest.raises(QuorvelError) as err:
        RecOuter.from_defaults(data)
    chain = [err.value]
    while chain[-1].__cause__ is not None:
        chain.append(chain[-1].__cause__)
    assert [str(e) for e in chain] == [
        "Failed to parse field RecOuter.middle from <class 'dict'> instance \"{'inner': {'port': {'x':  "
        "(truncated)\".",
        "Failed to parse field RecMiddle.inner from <class 'dict'> instance \"{'port': {'x': 1}}\".",
        "Failed to parse field RecInner.port from <class 'dict'> instance \"{'x': 1}\".",
        "Primitive values must be passed directly, not wrapped in dicts (got {'x': 1}).",
    ]
    assert all(type(e) is QuorvelError for e in chain)
    assert all(e.__suppress_context__ for e in chain[:3])


def test_foreign_errors_of_fields_are_wrapped():
    with pytest.raises(QuorvelError) as err:
        Holder.from_defaults({"part": 1})
    assert str(err.value) == "Failed to parse field Holder.part from <class 'int'> instance '1'."
    cause = err.value.__cause__
    assert type(cause) is QuorvelParseError and str(cause) == "Failed to parse RecExplosive from <class 'int'>."
    assert type(cause.__cause__) is ValueError


def test_factory_and_post_init_errors_propagate_unchanged():
    failure = RuntimeError("factory")

    def failing():
        raise failure

    @dataclass
    class Failing(ConfigData):
        a: int = field(default_factory=failing)

        def __post_init__(self):
            raise KeyError("post")

    with pytest.raises(RuntimeError) as err:
        Failing.from_defaults({})
    assert err.value is failure
    with pytest.raises(KeyError, match="post"):
        Failing.from_defaults({"a": 1})


def test_list_annotation_warns_at_the_caller():
    with warnings.catch_warnings(record=True) as record:
        warnings.simplefilter("always")
        line = inspect.currentframe().f_lineno + 1
        value = Holder.from_defaults({"items": [1, 2]})
    assert type(value.items) is ConfigList[int] and value.items == [1, 2]
    assert [(w.category, w.filename, w.lineno) for w in record] == [(UserWarning, __file__, line)]


def test_round_trip_and_untouched_data():
    station = Station(cam=Cam("a", 1), backup=ConfigOptional[Cam](Cam("b", 2)), ports=ConfigList[int]([3]),
                      mode=Color.GREEN, extra={"k": [1, {"x": None}]})
    data = station.build_defaults()
    assert data["mode"] == "g" and data["backup"] == {"default": True, "content": {"host": "b", "port": 2}}
    with unchanged(data):
        parsed = Station.from_defaults(data)
    assert parsed == station and parsed.extra["k"] is data["extra"]["k"]
    assert parsed.mode is Color.GREEN and type(Station.build_field_for_type().fields[3]) is FieldEnum
    assert type(Station.build_field_for_type().fields[2]) is FieldList
    assert Station.load_root_defaults(station.build_root_defaults()) == station


CHAIN_SCRIPT = """
import dataclasses
from nimbrel.quorvel.core.exceptions import QuorvelError
from nimbrel.quorvel.data.optional_content import ConfigOptional
from nimbrel.quorvel.data.record_content import ConfigData

@dataclasses.dataclass
class Link(ConfigData):
    child: "ConfigOptional[Link]" = None

data = 5
for _ in range({depth}):
    data = {{"child": {{"default": True, "content": data}}}}
try:
    Link.from_defaults(data)
except QuorvelError as error:
    while error.__cause__ is not None or error.__context__ is not None:
        error = error.__cause__ or error.__context__
    print(type(error).__name__, error)
"""


@pytest.mark.parametrize("depth, innermost", [
    (50, "QuorvelError Expected dict data for Link, got <class 'int'>."),
    # Past the stack's depth every level still names its cause, down to the RecursionError.
    (100_000, "RecursionError"),
])
def test_deep_failure_keeps_every_cause(depth, innermost):
    done = subprocess.run([sys.executable, "-c", CHAIN_SCRIPT.format(depth=depth)], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.startswith(innermost), done.stdout


def test_from_defaults_needs_a_class():
    with pytest.raises(TypeError, match=r"^from_defaults\(\) needs a class, got int$"):
        ConfigData.from_defaults.__func__(5, {})


@dataclass
class RecordWithPatchedErrorClass(ConfigData):
    items: ConfigList[int] = None


def test_an_error_class_that_makes_no_exception_is_refused(monkeypatch):
    from nimbrel.quorvel.data import record_content

    monkeypatch.setattr(record_content, "QuorvelError", str)
    with pytest.raises(TypeError, match="^calling <class 'str'> should have returned an instance of BaseException, "
                                        "not str$"):
        RecordWithPatchedErrorClass.from_defaults({"items": 5})


LATE_OUTER = '''
import dataclasses
from nimbrel.quorvel.data.record_content import ConfigData

@dataclasses.dataclass
class LateOuter(ConfigData):
    inner: "LateInner" = None
'''

LATE_INNER = '''
@dataclasses.dataclass
class LateInner(ConfigData):
    size: int = 1
'''


def test_what_is_read_while_hints_do_not_resolve_is_not_kept(monkeypatch):
    """A forward reference that fails now may resolve later: the next parse and form must see it resolved."""
    module = types.ModuleType("late_hints")
    monkeypatch.setitem(sys.modules, "late_hints", module)
    exec(LATE_OUTER, module.__dict__)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        with pytest.raises(QuorvelError):
            module.LateOuter.from_defaults({"inner": {"size": 2}})
        with pytest.raises(QuorvelError, match="^Unsupported field type 'LateInner' for field 'inner'"):
            module.LateOuter.build_field_for_type()
    exec(LATE_INNER, module.__dict__)
    # Resolved, the annotation is the class itself: a kept text annotation would be looked up by its type key,
    # which warns.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        parsed = module.LateOuter.from_defaults({"inner": {"size": 2}})
        (inner,) = module.LateOuter.build_field_for_type().fields
    assert type(parsed.inner) is module.LateInner and parsed.inner.size == 2
    assert type(inner) is FieldData and [child.name for child in inner.fields] == ["size"]


# --- fields named like a method of the content contract ------------------------------------------------------

CONTRACT_METHODS = ["build_defaults", "build_field", "build_field_for_type", "build_root_defaults", "from_defaults",
                    "get_subfield_descriptors", "load_root_defaults", "parse_from_disk_representation", "register",
                    "serialize_to_disk_representation"]
# What a record's first use is, given its class and data for it.
FIRST_USES = {
    "form": lambda cls, data: cls.build_field_for_type(value=cls()),
    "defaults": lambda cls, data: cls().build_defaults(),
    "parse": lambda cls, data: cls.from_defaults(data),
}


def hiding_record(field_name, class_name):
    """A record with a field `field_name` (default 1) beside an ordinary one, declared as a user would."""
    def body(namespace):
        namespace.update({"__module__": __name__, "__annotations__": {field_name: int, "port": int},
                          field_name: 1, "port": 2})
    return dataclass(types.new_class(class_name, (ConfigData,), exec_body=body))


def holder_of(inner):
    """A record with a field holding an `inner` record: using it is where `inner` is first used."""
    def body(namespace):
        namespace.update({"__module__": __name__, "__annotations__": {"inner": inner},
                          "inner": field(default_factory=inner)})
    return dataclass(types.new_class(f"HolderOf{inner.__name__}", (ConfigData,), exec_body=body))


def hiding_message(cls, field_name):
    return (f"Field {cls.__name__}.{field_name} hides the method {field_name} that the library calls on every "
            "configuration class; rename the field.")


def implementation_error_in(error):
    """The implementation error in the cause chain of `error`: a record names its failing field around it."""
    while error is not None and not isinstance(error, QuorvelImplementationError):
        error = error.__cause__
    return error


@pytest.mark.parametrize("use", FIRST_USES)
@pytest.mark.parametrize("field_name", CONTRACT_METHODS)
def test_a_field_named_like_a_contract_method_fails_where_its_record_is_first_used(use, field_name):
    inner = hiding_record(field_name, f"Hiding{use.title()}{field_name.title().replace('_', '')}")
    holder = holder_of(inner)
    with pytest.raises(QuorvelError) as err:
        FIRST_USES[use](holder, {"inner": {"port": 3}})
    found = implementation_error_in(err.value)
    assert found is not None, err.value
    assert str(found) == hiding_message(inner, field_name)


# A record's own method that the field hides cannot be reached on the record itself.
@pytest.mark.parametrize("use", FIRST_USES)
@pytest.mark.parametrize("field_name", ["register", "build_field", "get_subfield_descriptors",
                                        "serialize_to_disk_representation", "load_root_defaults"])
def test_a_record_with_such_a_field_fails_its_own_first_use(use, field_name):
    record = hiding_record(field_name, f"Used{use.title()}{field_name.title().replace('_', '')}")
    with pytest.raises(QuorvelImplementationError) as err:
        FIRST_USES[use](record, {"port": 3})
    assert str(err.value) == hiding_message(record, field_name)


@pytest.mark.parametrize("call, field_name", [
    (lambda cls: cls().build_root_defaults(), "build_defaults"),
    (lambda cls: cls().serialize_to_disk_representation(), "build_defaults"),
    (lambda cls: cls().build_field(), "build_field_for_type"),
    (lambda cls: cls.load_root_defaults({"port": 3}), "from_defaults"),
    (lambda cls: cls.parse_from_disk_representation({"port": 3}), "from_defaults"),
])
def test_a_contract_call_that_meets_the_hiding_field_names_it(call, field_name):
    record = hiding_record(field_name, f"Called{field_name.title().replace('_', '')}")
    with pytest.raises(QuorvelImplementationError) as err:
        call(record)
    assert str(err.value) == hiding_message(record, field_name)
    assert type(err.value.__cause__) is TypeError


@pytest.mark.parametrize("field_name", ["defaults", "build", "registered", "field", "selection", "content"])
def test_fields_named_otherwise_pass(field_name):
    record = hiding_record(field_name, f"Clear{field_name.title()}")
    holder = holder_of(record)
    assert holder.from_defaults(holder().build_defaults()) == holder()
    assert [f.name for f in holder.build_field_for_type(value=holder()).fields[0].fields] == [field_name, "port"]


def test_a_record_decorated_again_with_such_a_field_is_checked_again():
    record = hiding_record("label", "Redecorated")
    assert record.from_defaults({"port": 3}).port == 3
    record.__annotations__["register"] = int
    record.register = 1
    dataclass(record)
    with pytest.raises(QuorvelImplementationError, match="^Field Redecorated.register hides"):
        record.from_defaults({"port": 3})


@pytest.mark.parametrize("wrap, data", [
    (lambda inner: ConfigList[inner], [{"content": {"port": 3}}]),
    (lambda inner: ConfigOptional[inner], {"default": True, "content": {"port": 3}}),
])
@pytest.mark.parametrize("field_name, use", [("from_defaults", "parse"), ("build_field_for_type", "form")])
def test_a_record_met_inside_another_kind_names_its_hiding_field(wrap, data, field_name, use):
    inner = hiding_record(field_name, f"WrappedHiding{use.title()}")
    holder = dataclass(types.new_class("WrappedHolder", (ConfigData,), exec_body=lambda namespace: namespace.update(
        {"__module__": __name__, "__annotations__": {"inner": wrap(inner)}})))
    with pytest.raises(QuorvelError) as err:
        if use == "parse":
            holder.from_defaults({"inner": data})
        else:
            holder.build_field_for_type()
    found = implementation_error_in(err.value)
    assert found is not None, err.value
    assert str(found) == hiding_message(inner, field_name)
