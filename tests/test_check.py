"""Tests for the checks of parsed configurations nimbrel.quorvel.data.check."""

import copy
import dataclasses
import enum
import importlib.util
import inspect
import pathlib
import sys
import typing
from dataclasses import dataclass, field
from typing import Any

import pytest
import test_deep_nesting

from conftest import unchanged
from nimbrel.quorvel.data import check as check_module
from nimbrel.quorvel.data.check import Problem, check
from nimbrel.quorvel.data.content_core import BaseConfigurableData, build_defaults
from nimbrel.quorvel.data.json_content import ConfigUntypedDict
from nimbrel.quorvel.data.list_content import ConfigList
from nimbrel.quorvel.data.optional_content import ConfigOptional
from nimbrel.quorvel.data.record_content import ConfigData
from nimbrel.quorvel.data.union_content import ConfigUnion

ROOT = pathlib.Path(__file__).resolve().parent.parent


def _demo():
    # One module for the whole session: other test modules load the demo under this name too, and the type keys
    # of its classes must stay unique.
    if "quorvel_demo" not in sys.modules:
        spec = importlib.util.spec_from_file_location("quorvel_demo", ROOT / "examples" / "demo.py")
        sys.modules[spec.name] = module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
    return sys.modules["quorvel_demo"]


demo = _demo()
Camera, Codec, Recording, Resolution, Service = demo.Camera, demo.Codec, demo.Recording, demo.Resolution, demo.Service
RECORDING_SHOWN = "Recording Recording(directory='/var (truncated)"


@dataclass
class Leaves(ConfigData):
    count: int = 0
    ratio: float = 0.0
    flag: bool = False
    text: str = ""
    anything: Any = None


@dataclass
class Limits(ConfigData):
    port: int = field(default=80, metadata={"min": 1, "max": 65535})
    ratio: float = field(default=0.5, metadata={"min": 0, "max": 1.0})
    ports: ConfigList[int] = field(default_factory=lambda: ConfigList[int]([]),
                                   metadata={"content": {"min": 1, "max": 10}})
    spare: ConfigOptional[int] = field(default_factory=lambda: ConfigOptional[int](None),
                                       metadata={"content": {"min": 5}})
    either: ConfigUnion[int | str] = field(default_factory=lambda: ConfigUnion[int | str](1),
                                           metadata={"int": {"max": 9}, "str": {"max": 0}})
    counts: list[int] = field(default_factory=list, metadata={"content": {"min": 0}})
    maybe: int | None = field(default=None, metadata={"content": {"max": 3}})
    loose: Any = field(default=0, metadata={"min": 1})
    odd: int = field(default=0, metadata={"min": "1", "max": None})


@dataclass
class Containers(ConfigData):
    pair: tuple[int, str] = (0, "")
    counts: tuple[int, ...] = ()
    limits: dict[str, int] = field(default_factory=dict)
    by_codec: dict[Codec, int] = field(default_factory=dict)
    free: dict = field(default_factory=dict)
    numbers: list[int] = field(default_factory=list)
    main: Camera = field(default_factory=Camera)
    either: int | str = 0
    loose: int | Any = None  # Any takes anything, None included


@dataclass
class Leaf(ConfigData):
    level: int = field(default=1, metadata={"min": 1})


@dataclass
class Branch(ConfigData):
    leaves: ConfigList[Leaf] = field(default_factory=lambda: ConfigList[Leaf]([]))


@dataclass
class Tree(ConfigData):
    top: ConfigOptional[ConfigUnion[int | Branch]] = field(
        default_factory=lambda: ConfigOptional[ConfigUnion[int | Branch]](None))
    plain: int | Branch | None = None


def leaves(*levels):
    return ConfigList[Leaf]([Leaf(level=level) for level in levels])


def grown_tree(*levels):
    branch = Branch(leaves=leaves(*levels))
    return Tree(top=ConfigOptional[ConfigUnion[int | Branch]](ConfigUnion[int | Branch](branch)))


def resolve(data, location):
    """Follows a location into UI defaults data, the way a front end reads them. Dict keys that are enumeration
    members are named by their values."""
    for step in location:
        if isinstance(data, dict) and step not in data:
            step = next(key for key in data if isinstance(key, enum.Enum) and key.value == step)
        data = data[step]
    return data


def summary(problems):
    return [(p.code, p.location, p.message) for p in problems]


def assert_located(value, problems, offending):
    """Each problem's location leads through value.build_defaults() to the defaults of its offending value."""
    defaults = value.build_defaults()
    assert [resolve(defaults, p.location) for p in problems] == [build_defaults(o) for o in offending]


# --- the module ----------------------------------------------------------------------------------------------------

def test_module_exports_problem_then_check():
    assert [name for name in vars(check_module) if name in ("Problem", "check")] == ["Problem", "check"]
    assert check.__module__ == Problem.__module__ == "nimbrel.quorvel.data.check"
    assert str(inspect.signature(check)) == "(value: 'BaseConfigurableData') -> 'list[Problem]'"
    assert check.__doc__.startswith("Report the typed problems of a parsed configuration value.\n")


def test_problem_is_a_frozen_dataclass():
    assert Problem.__doc__ == "One problem `check` found in a configuration value."
    assert [(f.name, f.type) for f in dataclasses.fields(Problem)] == [
        ("location", "tuple[str | int, ...]"), ("pointer", "str"), ("code", "str"), ("message", "str")]
    problem = Problem(("a", 0), "/a/0", "type", "Expected int, got str 'x'.")
    with pytest.raises(dataclasses.FrozenInstanceError):
        problem.code = "min"
    assert problem == Problem(("a", 0), "/a/0", "type", "Expected int, got str 'x'.")


@pytest.mark.parametrize("value", [5, {}, None, "text", Camera, ConfigList[Camera]],
                         ids=["int", "dict", "None", "str", "record class", "list class"])
def test_anything_but_content_is_refused(value):
    with pytest.raises(TypeError, match=rf"^check\(\) expects configurable content, got {type(value).__name__}$"):
        check(value)


@pytest.mark.parametrize("value", [
    Service(), Service.from_defaults(Service().build_defaults()), Service(recording=None), Limits(), Containers(),
    Tree(), grown_tree(1, 2),
    ConfigList[Camera]([Camera()]), ConfigOptional[Recording](None), ConfigUnion[int | Recording](3),
    ConfigUntypedDict({"any": object()}), Resolution.HD,
], ids=["demo", "demo parsed", "optional switched off as None", "limits", "containers", "tree", "grown tree",
        "list", "optional", "union", "untyped dict", "enumeration"])
def test_clean_values_have_no_problems(value):
    assert check(value) == []


# --- leaves --------------------------------------------------------------------------------------------------------

@pytest.mark.parametrize("name, value, message", [
    ("count", "abc", "Expected int, got str 'abc'."),
    ("count", True, "Expected int, got bool True."),
    ("count", 1.0, "Expected int, got float 1.0."),
    ("ratio", True, "Expected float, got bool True."),
    ("ratio", "0.5", "Expected float, got str '0.5'."),
    ("flag", 1, "Expected bool, got int 1."),
    ("text", 5, "Expected str, got int 5."),
    ("text", None, "Expected str, got NoneType None."),
])
def test_leaf_of_the_wrong_type(name, value, message):
    record = Leaves(**{name: value})
    problems = check(record)
    assert summary(problems) == [("type", (name,), message)]
    assert problems[0].pointer == f"/{name}"
    assert_located(record, problems, [value])


@pytest.mark.parametrize("name, value", [
    ("count", 7), ("count", -(10**40)), ("ratio", 1), ("ratio", 2.5), ("flag", False), ("text", "x"),
    ("anything", object()), ("anything", "abc"),
])
def test_leaf_of_its_type(name, value):
    assert check(Leaves(**{name: value})) == []


def test_a_field_never_set_holds_nothing():
    @dataclass
    class Unset(ConfigData):
        count: int = field(init=False)

    assert summary(check(Unset())) == [("type", ("count",), "Expected int, got nothing.")]


# --- bounds --------------------------------------------------------------------------------------------------------

@pytest.mark.parametrize("changes, expected", [
    ({"port": 1}, []),
    ({"port": 65535}, []),
    ({"port": 0}, [("min", ("port",), "Value 0 is below the minimum 1.")]),
    ({"port": 65536}, [("max", ("port",), "Value 65536 is above the maximum 65535.")]),
    ({"ratio": 0}, []),
    ({"ratio": 1.0}, []),
    ({"ratio": -0.5}, [("min", ("ratio",), "Value -0.5 is below the minimum 0.")]),
    ({"ratio": 1.5}, [("max", ("ratio",), "Value 1.5 is above the maximum 1.0.")]),
    ({"ports": ConfigList[int]([1, 10, 0, 11])},
     [("min", ("ports", 2, "content"), "Value 0 is below the minimum 1."),
      ("max", ("ports", 3, "content"), "Value 11 is above the maximum 10.")]),
    ({"spare": ConfigOptional[int](5)}, []),
    ({"spare": ConfigOptional[int](4)}, [("min", ("spare", "content"), "Value 4 is below the minimum 5.")]),
    ({"either": ConfigUnion[int | str](9)}, []),
    ({"either": ConfigUnion[int | str](10)}, [("max", ("either", "int"), "Value 10 is above the maximum 9.")]),
    ({"either": ConfigUnion[int | str]("long text")}, []),
    ({"counts": [0, -1]}, [("min", ("counts", 1), "Value -1 is below the minimum 0.")]),
    ({"counts": ConfigList[int]([-1])}, [("min", ("counts", 0, "content"), "Value -1 is below the minimum 0.")]),
    ({"maybe": 4}, [("max", ("maybe",), "Value 4 is above the maximum 3.")]),
    ({"maybe": ConfigOptional[int](4)}, [("max", ("maybe", "content"), "Value 4 is above the maximum 3.")]),
    ({"loose": -5}, []),
    ({"odd": -5}, []),
], ids=lambda case: repr(case)[:40])
def test_bounds(changes, expected):
    record = Limits(**changes)
    problems = check(record)
    assert summary(problems) == expected
    defaults = record.build_defaults()
    assert all(isinstance(resolve(defaults, p.location), int | float) for p in problems)


def test_a_bool_is_no_number_to_bounds():
    # A bool is no number: it fails the type of an int field, not its bounds.
    assert summary(check(Limits(port=False))) == [("type", ("port",), "Expected int, got bool False.")]


def test_metadata_and_values_are_left_as_they_were():
    record = Limits(port=0, ports=ConfigList[int]([0]), either=ConfigUnion[int | str](99))
    metadata = {f.name: copy.deepcopy(dict(f.metadata)) for f in dataclasses.fields(Limits)}
    with unchanged(record):
        assert len(check(record)) == 3
    assert {f.name: dict(f.metadata) for f in dataclasses.fields(Limits)} == metadata


# --- content of the wrong class ------------------------------------------------------------------------------------

@pytest.mark.parametrize("value, expected, offending", [
    (Service(cameras=ConfigList[Camera]([Camera(), Recording()])),
     [(("cameras", 1, "content"), f"Expected Camera, got {RECORDING_SHOWN}.")], [Recording()]),
    (Service(cameras=ConfigList[Camera](["cam"])),
     [(("cameras", 0, "content"), "Expected Camera, got str 'cam'.")], ["cam"]),
    (Service(recording=ConfigOptional[Recording](Camera())),
     [(("recording", "content"), "Expected Recording, got Camera Camera(host='localhost',  (truncated).")],
     [Camera()]),
    (Limits(spare=ConfigOptional[int]("x")), [(("spare", "content"), "Expected int, got str 'x'.")], ["x"]),
    (Service(retention=ConfigUnion[int | Recording]("x")),
     [(("retention",), "Expected int | Recording, got str 'x'.")], [{"selection": "str", "str": "x"}]),
    (Service(retention=ConfigUnion[int | Recording](True)),
     [(("retention",), "Expected int | Recording, got bool True.")], [{"selection": "bool", "bool": True}]),
    (Containers(main=Recording(keep_days="not looked into")),
     [(("main",), "Expected Camera, got Recording Recording(directory='/var (truncated).")],
     [Recording(keep_days="not looked into")]),
    (Service(codec="h264"), [(("codec",), "Expected Codec, got str 'h264'.")], ["h264"]),
    (Service(cameras=ConfigList[Camera]([Camera(resolution=Codec.H264)])),
     [(("cameras", 0, "content", "resolution"), "Expected Resolution, got Codec <Codec.H264: 'h264'>.")],
     [Codec.H264]),
    (Service(vendor=[1]), [(("vendor",), "Expected ConfigUntypedDict, got list [1].")], [[1]]),
    (Containers(free="{}"), [(("free",), "Expected dict, got str '{}'.")], ["{}"]),
    (Service(bitrates=[("low", 1)]), [(("bitrates",), "Expected dict[str, int], got list [('low', 1)].")],
     [[("low", 1)]]),
    (Service(window=(1,)), [(("window",), "Expected tuple[int, str], got tuple (1,).")], [(1,)]),
    (Service(window=[1, "a"]), [(("window",), "Expected tuple[int, str], got list [1, 'a'].")], [[1, "a"]]),
    (Containers(counts=[1]), [(("counts",), "Expected tuple[int, ...], got list [1].")], [[1]]),
    (Containers(numbers="12"), [(("numbers",), "Expected list[int], got str '12'.")], ["12"]),
    (Service(cameras=[Camera()]),
     [(("cameras",), "Expected ConfigList[Camera], got list [Camera(host='localhost', (truncated).")],
     [[Camera()]]),
    (Service(recording="off"), [(("recording",), "Expected ConfigOptional[Recording], got str 'off'.")], ["off"]),
    (Service(retention=None), [(("retention",), "Expected ConfigUnion[int | Recording], got NoneType None.")],
     [None]),
    (Service(cameras=None), [(("cameras",), "Expected ConfigList[Camera], got NoneType None.")], [None]),
    (Containers(either=2.5), [(("either",), "Expected int | str, got float 2.5.")], [2.5]),
], ids=lambda case: repr(case)[:50] if isinstance(case, BaseConfigurableData) else "")
def test_content_of_the_wrong_class(value, expected, offending):
    problems = check(value)
    assert summary(problems) == [("type", *e) for e in expected]
    assert_located(value, problems, offending)


def test_a_union_without_content_holds_nothing():
    assert summary(check(Service(retention=ConfigUnion[int | Recording](None)))) == [
        ("type", ("retention",), "Expected int | Recording, got nothing.")]


# --- containers ----------------------------------------------------------------------------------------------------

@pytest.mark.parametrize("changes, expected, offending", [
    ({"limits": {5: 1, "ok": "x", "fine": 3}}, [(("limits", 5), "Expected str key, got int 5."),
                                                (("limits", "ok"), "Expected int, got str 'x'.")], [1, "x"]),
    ({"limits": {None: None}}, [(("limits", None), "Expected str key, got NoneType None."),
                                (("limits", None), "Expected int, got NoneType None.")], [None, None]),
    ({"by_codec": {Codec.H264: "x", "h265": 1}}, [(("by_codec", "h264"), "Expected int, got str 'x'."),
                                                  (("by_codec", "h265"), "Expected Codec key, got str 'h265'.")],
     ["x", 1]),
    ({"pair": ("a", 1)}, [(("pair", 0), "Expected int, got str 'a'."), (("pair", 1), "Expected str, got int 1.")],
     ["a", 1]),
    ({"counts": (1, "x", 3, True)}, [(("counts", 1), "Expected int, got str 'x'."),
                                     (("counts", 3), "Expected int, got bool True.")], ["x", True]),
    ({"numbers": [1, "x"]}, [(("numbers", 1), "Expected int, got str 'x'.")], ["x"]),
    ({"numbers": ConfigList[int]([1, "x"])}, [(("numbers", 1, "content"), "Expected int, got str 'x'.")], ["x"]),
    ({"either": ConfigUnion[int | str](2.5)}, [(("either",), "Expected int | str, got float 2.5.")],
     [ConfigUnion[int | str](2.5)]),
])
def test_container_entries(changes, expected, offending):
    value = Containers(**changes)
    problems = check(value)
    assert summary(problems) == [("type", *e) for e in expected]
    assert_located(value, problems, offending)


@pytest.mark.parametrize("key, pointer", [
    ("a/b~c", "/limits/a~1b~0c"), ("~1", "/limits/~01"), ("/", "/limits/~1"), ("", "/limits/"),
    (True, "/limits/true"), (None, "/limits/null"), (1.5, "/limits/1.5"), (-7, "/limits/-7"),
    ((1, "x"), "/limits/(1, 'x')"),
])
def test_pointers_are_json_pointers(key, pointer):
    value = "bad" if isinstance(key, str) else 0
    [problem] = check(Containers(limits={key: value}))
    assert (problem.location, problem.pointer) == (("limits", key), pointer)


def test_the_value_itself_is_the_empty_pointer():
    [problem] = check(ConfigUnion[int | Recording]("x"))
    assert (problem.location, problem.pointer) == ((), "")


# --- several problems, deep locations --------------------------------------------------------------------------------

def test_every_problem_in_data_order():
    value = Service(
        cameras=ConfigList[Camera]([Camera(port="abc"), Recording(), Camera(port=0), Camera(host=5, port=70000)]),
        recording=ConfigOptional[Recording](Recording(keep_days=True)), retention=ConfigUnion[int | Recording]("x"),
        codec="h264", bitrates={"low": "b", 5: 1}, window=(1, 2), vendor=[1])
    problems = check(value)
    assert [(p.code, p.pointer) for p in problems] == [
        ("type", "/cameras/0/content/port"), ("type", "/cameras/1/content"), ("min", "/cameras/2/content/port"),
        ("type", "/cameras/3/content/host"), ("max", "/cameras/3/content/port"),
        ("type", "/recording/content/keep_days"), ("type", "/retention"), ("type", "/codec"),
        ("type", "/bitrates/low"), ("type", "/bitrates/5"), ("type", "/window/1"), ("type", "/vendor")]
    defaults = value.build_defaults()
    assert [resolve(defaults, p.location) for p in problems] == [
        "abc", build_defaults(Recording()), 0, 5, 70000, True, {"selection": "str", "str": "x"}, "h264", "b", 1, 2,
        [1]]


def test_problems_of_submitted_data():
    data = Service().build_defaults()
    data["cameras"] = [{"content": {"host": "a", "port": "554"}}, {"content": {"host": "b", "port": 0}}]
    data["retention"] = {"selection": "recording", "recording": {"directory": 7}}
    problems = check(Service.from_defaults(data))
    assert summary(problems) == [
        ("type", ("cameras", 0, "content", "port"), "Expected int, got str '554'."),
        ("min", ("cameras", 1, "content", "port"), "Value 0 is below the minimum 1."),
        ("type", ("retention", "recording", "directory"), "Expected str, got int 7."),
    ]
    assert [resolve(data, p.location) for p in problems] == ["554", 0, 7]


@pytest.mark.parametrize("value, head", [
    (grown_tree(1, "x", 0), ("top", "content", "branch")),
    (Tree(plain=Branch(leaves=leaves(1, "x", 0))), ("plain",)),
    (Tree.from_defaults({"plain": {"selection": "branch",
                                   "branch": Branch(leaves=leaves(1, "x", 0)).build_defaults()}}),
     ("plain", "content", "branch")),
], ids=["content kinds", "plain spellings, built", "plain spellings, parsed"])
def test_locations_deep_down(value, head):
    problems = check(value)
    assert summary(problems) == [
        ("type", (*head, "leaves", 1, "content", "level"), "Expected int, got str 'x'."),
        ("min", (*head, "leaves", 2, "content", "level"), "Value 0 is below the minimum 1."),
    ]
    assert_located(value, problems, ["x", 0])


# --- walking content values by their own kind ------------------------------------------------------------------------

@pytest.mark.parametrize("value, expected, offending", [
    (ConfigList[Camera]([Camera(port=-1)]), [("min", (0, "content", "port"), "Value -1 is below the minimum 1.")],
     [-1]),
    (ConfigList[int]([1, "2"]), [("type", (1, "content"), "Expected int, got str '2'.")], ["2"]),
    (ConfigOptional[Recording](Recording(keep_days="x")),
     [("type", ("content", "keep_days"), "Expected int, got str 'x'.")], ["x"]),
    (ConfigUnion[int | Recording](Recording(keep_days="x")),
     [("type", ("recording", "keep_days"), "Expected int, got str 'x'.")], ["x"]),
    (ConfigList[ConfigList]([ConfigList[Recording]([Recording(keep_days="x")])]),
     [("type", (0, "content", 0, "content", "keep_days"), "Expected int, got str 'x'.")], ["x"]),
    (ConfigUnion(Recording(keep_days="x")), [("type", ("recording", "keep_days"), "Expected int, got str 'x'.")],
     ["x"]),
    (ConfigOptional(Recording(keep_days="x")), [("type", ("content", "keep_days"), "Expected int, got str 'x'.")],
     ["x"]),
], ids=["list", "list of int", "optional", "union", "unparametrised list in a list", "unparametrised union",
        "unparametrised optional"])
def test_content_values_are_walked_by_their_own_kind(value, expected, offending):
    problems = check(value)
    assert summary(problems) == expected
    assert_located(value, problems, offending)


# --- recursion ------------------------------------------------------------------------------------------------------

def test_deep_nesting_ends_in_recursion_error():
    # The cases run in a child interpreter with the other deep nesting cases, so that a crash fails this test.
    cases = ["check-optional-value", "check-union-value", "check-list-value", "check-none-union-value",
             "check-direct-value", "check-self-containing-list", "check-deep-annotation"]
    outcomes, output = test_deep_nesting.run_cases([*cases, "check-config-list-value"])
    assert outcomes == {**{name: ("RecursionError", "RecursionError") for name in cases},
                        "check-config-list-value": ("ok", "-")}, output


# --- the plans kept per class ----------------------------------------------------------------------------------------

def counting_type_hints(monkeypatch):
    """Counts the type hint resolutions check makes, per class."""
    calls = []

    def get_type_hints(cls, **options):
        calls.append(cls.__name__)
        return typing.get_type_hints(cls, **options)

    monkeypatch.setattr(check_module, "get_type_hints", get_type_hints)
    return calls


def test_a_plan_is_compiled_once_per_class(monkeypatch):
    calls = counting_type_hints(monkeypatch)

    @dataclass
    class Once(ConfigData):
        n: int = 0

    for _ in range(3):
        assert summary(check(ConfigList[Once]([Once(n="x"), Once()]))) == [
            ("type", (0, "content", "n"), "Expected int, got str 'x'.")]
    assert calls == ["Once"]


def test_a_plan_follows_the_fields_its_class_has_now():
    class Late(Leaves):
        extra: int = 4

    value = Late()
    value.extra = "x"
    assert check(value) == []  # not a field yet: Late has the fields of Leaves
    dataclass(Late)
    assert summary(check(value)) == [("type", ("extra",), "Expected int, got str 'x'.")]


@dataclass
class Pending(ConfigData):
    count: int = 0
    later: "LaterRecord | None" = None  # noqa: F821 - defined by the test below


def test_annotations_that_do_not_resolve_yet_are_not_kept(monkeypatch):
    calls = counting_type_hints(monkeypatch)
    # Until LaterRecord exists the annotation cannot be checked; the other fields are.
    assert summary(check(Pending(count="x", later="anything"))) == [
        ("type", ("count",), "Expected int, got str 'x'.")]

    @dataclass
    class LaterRecord(ConfigData):
        n: int = 0

    monkeypatch.setitem(globals(), "LaterRecord", LaterRecord)
    value = Pending(count="x", later=ConfigOptional(LaterRecord(n="y")))
    assert summary(check(value)) == [("type", ("count",), "Expected int, got str 'x'."),
                                     ("type", ("later", "content", "n"), "Expected int, got str 'y'.")]
    assert_located(value, check(value), ["x", "y"])
    assert summary(check(Pending(later="anything"))) == [
        ("type", ("later",), "Expected LaterRecord | None, got str 'anything'.")]
    assert calls == ["Pending", "Pending", "LaterRecord"]


def test_records_are_walked_by_their_own_class():
    @dataclass
    class Zoom(Camera):
        zoom: float = field(default=1.0, metadata={"min": 1.0})

    value = Service(cameras=ConfigList[Camera]([Zoom(zoom=0.5), Camera()]))
    assert summary(check(value)) == [("min", ("cameras", 0, "content", "zoom"), "Value 0.5 is below the minimum 1.0.")]
