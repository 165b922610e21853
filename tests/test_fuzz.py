"""Property-based fuzzing of every parsing entry point with hypothesis.

Generated data goes to the ``from_defaults`` of every content kind, to the dispatcher
``nimbrel.quorvel.data.parse.from_defaults`` with every annotation shape it supports, and to the
demo configuration of ``examples/demo.py``. The data is JSON-like (nested dicts and lists, text with
quotes, control characters and lone surrogates, integers far beyond 64 bits, NaN and infinities),
hostile (dict and list subclasses with and without overridden methods, tuples, sets, bytes, objects
whose ``__repr__``, ``__eq__``, ``__hash__``, ``__bool__`` or ``__getattr__`` raise, objects lying
about their class, objects whose class has a Python-level repr, cycles, deep nesting), or valid data
built with ``build_defaults``, parsed and compared with what it was built from, and then mutated a
little. Values also make the round trip value -> build_defaults -> from_defaults.

Every call must either return a value of the kind its alias names or raise ``QuorvelError``,
``TypeError`` or ``RecursionError``; ``HostileError`` may come through as well, as it is only ever
raised by a hostile object's own methods, and so may the ValueError of unpacking the entries an
overridden ``items()`` hands back, as a for loop would raise it. The data must be exactly as it was afterwards, and Python
must not have reported an exception as ignored during the call (which is how an exception left raised
while Python code ran shows, for instance in a GC callback). A call running for two minutes is taken
for a hang: faulthandler prints every thread's traceback and ends the run.

Two settings profiles are registered:

- ``quorvel-default``: 100 examples per test, derandomized so that every run tries the same
  examples; the whole file runs in well under a minute.
- ``quorvel-long``: 5000 examples per test with fresh randomness on each run (examples that failed
  are kept in ``.hypothesis/`` and tried first next time), a search of some twenty minutes. Select it
  with the environment variable ``QUORVEL_FUZZ=long``::

      QUORVEL_FUZZ=long bash scripts/test.sh tests/test_fuzz.py

A failure prints the shrunk example and a ``@reproduce_failure`` blob to replay it with.
"""

import contextlib
import copy
import dataclasses
import enum
import faulthandler
import gc
import math
import os
import re
import struct
import sys
import warnings
from typing import Any, Optional, Union

import pytest
from hypothesis import HealthCheck, example, given, note, settings
from hypothesis import strategies as st

from conftest import load_demo
from nimbrel.quorvel.core.exceptions import QuorvelError
from nimbrel.quorvel.data.content_core import build_defaults
from nimbrel.quorvel.data.enum_content import ConfigEnum
from nimbrel.quorvel.data.json_content import ConfigUntypedDict
from nimbrel.quorvel.data.list_content import ConfigList
from nimbrel.quorvel.data.optional_content import ConfigOptional
from nimbrel.quorvel.data.parse import from_defaults
from nimbrel.quorvel.data.record_content import ConfigData
from nimbrel.quorvel.data.union_content import ConfigUnion
from nimbrel.quorvel.fields.field_models import FieldPassword

_HEALTH = [HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much]
settings.register_profile("quorvel-default", max_examples=100, deadline=None, derandomize=True, database=None,
                          print_blob=True, suppress_health_check=_HEALTH)
settings.register_profile("quorvel-long", max_examples=5000, deadline=None, print_blob=True,
                          suppress_health_check=_HEALTH)
settings.load_profile("quorvel-long" if os.environ.get("QUORVEL_FUZZ") == "long" else "quorvel-default")


# --- the configuration under test ---------------------------------------------------------------------------------

class FuzzShade(ConfigEnum):
    DARK = "dark"
    LIGHT = "light"


class FuzzCodec(enum.Enum):
    H264 = "h264"
    H265 = "h265"


class FuzzLevel(enum.IntEnum):
    LOW = 1
    HIGH = 2


class FuzzStranger(enum.Enum):
    """Members of an enumeration no alias names, as data."""

    DARK = "dark"


@dataclasses.dataclass
class FuzzPoint(ConfigData):
    x: int = 0
    y: float = 0.0


@dataclasses.dataclass
class FuzzLabel(ConfigData):
    text: str = ""
    on: bool = False


@dataclasses.dataclass
class FuzzCamera(ConfigData):
    host: str = "localhost"
    port: int = dataclasses.field(default=554, metadata={"min": 1, "max": 65535})
    password: str = dataclasses.field(default="", metadata={"input": FieldPassword})
    shade: FuzzShade = FuzzShade.DARK
    codec: FuzzCodec = FuzzCodec.H264
    level: FuzzLevel = FuzzLevel.LOW


@dataclasses.dataclass
class FuzzCounter(ConfigData):
    """A field outside __init__, computed after parsing."""

    start: int = 0
    doubled: int = dataclasses.field(default=0, init=False)

    def __post_init__(self):
        self.doubled = self.start * 2 if type(self.start) is int else 0


@dataclasses.dataclass
class FuzzRequired(ConfigData):
    name: str
    size: int = 1


@dataclasses.dataclass
class FuzzNested(ConfigData):
    point: FuzzPoint = dataclasses.field(default_factory=FuzzPoint)
    points: ConfigList[FuzzPoint] = dataclasses.field(default_factory=lambda: ConfigList[FuzzPoint]())
    label: ConfigOptional[FuzzLabel] = dataclasses.field(default_factory=lambda: ConfigOptional[FuzzLabel]())
    either: ConfigUnion[int | FuzzPoint] = dataclasses.field(
        default_factory=lambda: ConfigUnion[int | FuzzPoint](0))
    camera: FuzzCamera = dataclasses.field(default_factory=FuzzCamera)
    extra: ConfigUntypedDict = dataclasses.field(default_factory=ConfigUntypedDict)
    limits: dict[str, int] = dataclasses.field(default_factory=dict)
    by_codec: dict[FuzzCodec, int] = dataclasses.field(default_factory=dict)
    pair: tuple[int, str] = (0, "")
    counts: tuple[int, ...] = ()
    anything: dict[str, Any] = dataclasses.field(default_factory=dict)


demo = load_demo()


# --- hostile objects --------------------------------------------------------------------------------------------

class HostileError(Exception):
    """Raised by the hostile objects' own methods, and by nothing else."""


# The hostile methods raise only while the library is being called: building the data, taking its snapshot
# and printing a failing example all work with well-behaved objects.
_armed = False


@contextlib.contextmanager
def armed():
    global _armed
    _armed = True
    try:
        yield
    finally:
        _armed = False


def strike(what):
    if _armed:
        raise HostileError(what)


class RaisingRepr:
    def __repr__(self):
        strike("__repr__")
        return "RaisingRepr()"

    __str__ = __repr__


class RaisingEq:
    """Hashes like `twin`, a key the library looks up, so that the lookup has to compare with it."""

    def __init__(self, twin):
        self.twin = twin

    def __hash__(self):
        return hash(self.twin)

    def __eq__(self, other):
        strike("__eq__")
        return self is other

    def __lt__(self, other):
        strike("__lt__")
        return NotImplemented

    def __repr__(self):
        return f"RaisingEq({self.twin!r})"


class RaisingHash:
    def __hash__(self):
        strike("__hash__")
        return 17

    def __eq__(self, other):
        return self is other

    def __repr__(self):
        return "RaisingHash()"


class RaisingGetattr:
    def __getattr__(self, name):
        strike(f"__getattr__({name!r})")
        raise AttributeError(name)

    def __repr__(self):
        return "RaisingGetattr()"


class RaisingBool:
    def __bool__(self):
        strike("__bool__")
        return True

    def __len__(self):
        strike("__len__")
        return 1

    def __index__(self):
        strike("__index__")
        return 1

    def __repr__(self):
        return "RaisingBool()"


class HostileStr(str):
    """Text whose own methods raise: a str subclass passes every str check."""

    def __repr__(self):
        strike("HostileStr.__repr__")
        return str.__repr__(self)

    def __eq__(self, other):
        strike("HostileStr.__eq__")
        return str.__eq__(self, other)

    def __hash__(self):
        strike("HostileStr.__hash__")
        return str.__hash__(self)


class ShownByMeta(type):
    """Python code behind repr and str of a class: messages show the class of the data they are about."""

    def __repr__(cls):
        return f"<class {cls.__name__} shown by its metaclass>"

    __str__ = __repr__


class MetaShown(metaclass=ShownByMeta):
    def __repr__(self):
        return "MetaShown()"


class IntSub(int):
    pass


class FloatSub(float):
    pass


class StrSub(str):
    pass


def liar(claimed):
    """An object that claims through `__class__` to be an instance of `claimed`, which isinstance believes,
    but has none of its methods: every attribute it lacks raises."""

    class Liar(RaisingGetattr):
        @property
        def __class__(self):
            return claimed

        def __repr__(self):
            return f"Liar({claimed.__name__})"

    Liar.__name__ = Liar.__qualname__ = f"Liar{claimed.__name__.title()}"
    return Liar()


LIARS = [dict, list, tuple, str, int, FuzzShade, FuzzCodec, FuzzPoint, ConfigUntypedDict]


class PlainDict(dict):
    pass


def _raising_dict_method(name):
    base = getattr(dict, name)

    def method(self, *args):
        strike(f"{type(self).__name__}.{name}")
        return base(self, *args)

    method.__name__ = name
    return method


class RaisingDict(dict):
    """Every lookup and iteration method raises."""

    for _name in ("get", "keys", "items", "values", "__getitem__", "__contains__", "__iter__", "__len__"):
        locals()[_name] = _raising_dict_method(_name)
    del _name


class EchoDict(dict):
    """Overrides that do what dict does."""

    def get(self, key, default=None):
        return dict.get(self, key, default)

    def keys(self):
        return list(dict.keys(self))

    def items(self):
        return list(dict.items(self))

    def __getitem__(self, key):
        return dict.__getitem__(self, key)

    def __contains__(self, key):
        return dict.__contains__(self, key)

    def __iter__(self):
        return iter(list(dict.keys(self)))


class ListItemsDict(dict):
    """items() gives [key, value] lists, which unpack like pairs."""

    def items(self):
        return [[k, v] for k, v in dict.items(self)]


class ShortItemsDict(dict):
    def items(self):
        return [(k,) for k in dict.keys(self)]


class LongItemsDict(dict):
    def items(self):
        return [(k, v, None) for k, v in dict.items(self)]


class ScalarItemsDict(dict):
    def items(self):
        return list(dict.keys(self))


class ShiftyDict(dict):
    """Claims to hold every key and to be a single-row {"content": ...}; missing keys read as None."""

    def __contains__(self, key):
        return True

    def keys(self):
        return ["content"]

    def __getitem__(self, key):
        return dict.get(self, key)

    def get(self, key, default=None):
        return dict.get(self, key, default)


DICT_KINDS = [dict, PlainDict, RaisingDict, EchoDict, ListItemsDict, ShortItemsDict, LongItemsDict, ScalarItemsDict,
              ShiftyDict, ConfigUntypedDict]


class PlainList(list):
    pass


class RaisingList(list):
    def __iter__(self):
        strike("RaisingList.__iter__")
        return list.__iter__(self)

    def __len__(self):
        strike("RaisingList.__len__")
        return list.__len__(self)

    def __getitem__(self, index):
        strike("RaisingList.__getitem__")
        return list.__getitem__(self, index)

    def __contains__(self, item):
        strike("RaisingList.__contains__")
        return list.__contains__(self, item)


class PlainTuple(tuple):
    pass


LIST_KINDS = [list, PlainList, RaisingList, tuple, PlainTuple]


# --- snapshots ----------------------------------------------------------------------------------------------------

_END = object()
_SCALARS = (int, float, str, bytes)


def _plain_scalar(item):
    """The built-in value of an instance of a scalar subclass, read past any override."""
    if isinstance(item, float):
        return struct.pack("<d", item)
    if isinstance(item, bytes):
        return bytes.__bytes__(item)
    return int.__index__(item) if isinstance(item, int) else str.__str__(item)


def _unparametrised(kind):
    """ConfigList for ConfigList[int]: the class a parametrised content class was made from."""
    return next(base for base in kind.__mro__ if "[" not in base.__name__)


def snapshot(value, identity=True):
    """A flat description of `value` that compares equal exactly when the value is unchanged.

    Built-in scalars are described by type and value (floats by their bytes, so NaN equals itself),
    containers, subclass instances included, by type and items read through the built-in methods (so no
    override runs), and anything else by identity and its instance dict. With identity=False, mutable
    containers and opaque objects are described by structure alone (enumeration members by name, records
    by their fields, parametrised content classes by the class they were made from), to compare two
    separately built values. Iterative, so deep data needs no recursion; an object seen before is
    described by when it was first seen, which also ends cycles.
    """
    tokens = []
    seen = {}
    stack = [value]
    while stack:
        item = stack.pop()
        if item is _END:
            tokens.append("end")
            continue
        kind = type(item)
        if item is None or kind in (bool, int, str, bytes):
            tokens.append((kind, item))
            continue
        if kind is float:
            tokens.append((kind, struct.pack("<d", item)))
            continue
        if id(item) in seen:
            tokens.append(("seen", seen[id(item)][0]))
            continue
        seen[id(item)] = (len(seen), item)  # the object is kept so that its id is not reused
        mark = (kind, id(item)) if identity else (_unparametrised(kind),)
        # Classes are checked by type alone: isinstance would believe an object lying about its __class__.
        if issubclass(kind, dict):
            children = [part for pair in dict.items(item) for part in pair]
        elif issubclass(kind, list):
            children = list.copy(item)
        elif issubclass(kind, bytearray):
            children = [bytes(item)]
        elif issubclass(kind, tuple):
            mark, children = (kind,), list(tuple.__iter__(item))
        elif issubclass(kind, set):
            children = list(set.__iter__(item))
        elif issubclass(kind, frozenset):
            mark, children = (kind,), list(frozenset.__iter__(item))
        elif issubclass(kind, _SCALARS):
            tokens.append((kind, _plain_scalar(item)))
            continue
        elif isinstance(item, type) or issubclass(kind, enum.Enum):
            tokens.append(mark if identity else (kind, getattr(item, "name", None)))
            continue
        elif not identity and dataclasses.is_dataclass(kind):
            children = [object.__getattribute__(item, f.name) for f in dataclasses.fields(kind)]
        else:
            try:
                instance_dict = object.__getattribute__(item, "__dict__")
            except AttributeError:
                instance_dict = None
            children = [instance_dict] if identity and instance_dict is not None else []
        tokens.append(mark)
        stack.append(_END)
        stack.extend(reversed(children))
    return tokens


# --- data strategies ----------------------------------------------------------------------------------------------

FIELD_NAMES = sorted({f.name for cls in (FuzzPoint, FuzzLabel, FuzzCamera, FuzzCounter, FuzzRequired, FuzzNested,
                                         demo.Camera, demo.Recording, demo.Service)
                      for f in dataclasses.fields(cls)})
TYPE_KEYS = ["int", "str", "float", "bool", "fuzz_point", "fuzz_label", "fuzz_camera", "fuzz_nested", "recording",
             "camera", "service", "fuzz_shade", "fuzz_codec"]
KEYS = ["content", "default", "selection", "value", *TYPE_KEYS, *FIELD_NAMES]
MEMBER_TEXT = ["dark", "light", "DARK", "LIGHT", "h264", "H265", "LOW", "HIGH", "720p", "4k", "UHD", "FULL_HD"]
TRICKY_TEXT = ["", " ", '"', "'", "\\", "\x00", "\n\r\t", "\x7f", "\u2028", "\ud800", "\udfff", "é", "\U0001d518",
               "[", "]", "|", "Union", "Optional", "list[int]", "tuple", "dict[", "no_such_fuzz_key", "x" * 300]
HUGE_INTS = [2**31, 2**63 - 1, 2**63, -(2**63) - 1, 2**64, -(2**64), 10**100, 10**4299, -(10**4299), 10**4300,
             10**5000, -(10**5000)]


def huge_int(index):
    return HUGE_INTS[index]


# Drawn by index: hypothesis describes its strategies with repr, which the huge ones do not have.
huge_ints = st.sampled_from(range(len(HUGE_INTS))).map(huge_int)
texts = st.one_of(st.sampled_from(KEYS + MEMBER_TEXT + TRICKY_TEXT), st.text(max_size=12))
ints = st.one_of(st.integers(), huge_ints, st.sampled_from([0, 1, 2, -1, 554, 65535]))
floats = st.one_of(st.floats(), st.sampled_from([math.nan, -math.nan, math.inf, -math.inf, -0.0, 5e-324, 1e308]))
json_scalars = st.one_of(st.none(), st.booleans(), ints, floats, texts)
json_values = st.recursive(json_scalars,
                           lambda inner: st.lists(inner, max_size=5) | st.dictionaries(texts, inner, max_size=5),
                           max_leaves=25)

hostile_scalars = st.one_of(
    st.builds(RaisingRepr), st.builds(RaisingEq, st.sampled_from(KEYS + [0, 1, 1.0, True])), st.builds(RaisingHash),
    st.builds(RaisingGetattr), st.builds(RaisingBool), st.builds(HostileStr, texts), st.sampled_from(LIARS).map(liar),
    st.builds(MetaShown), st.builds(IntSub, ints), st.builds(FloatSub, floats), st.builds(StrSub, texts),
    st.binary(max_size=6), st.binary(max_size=6).map(bytearray), st.complex_numbers(),
    st.sampled_from([*FuzzShade, *FuzzCodec, *FuzzLevel, *FuzzStranger, Ellipsis, NotImplemented, int, dict,
                     FuzzPoint, ConfigList[int], object()]))
hashable_scalars = st.one_of(json_scalars, st.builds(RaisingEq, st.sampled_from(KEYS)), st.builds(RaisingHash),
                             st.builds(HostileStr, texts), st.builds(RaisingRepr),
                             st.sampled_from([*FuzzShade, *FuzzCodec, *FuzzLevel, *FuzzStranger]))
hostile_keys = st.one_of(texts, hashable_scalars, st.tuples(hashable_scalars, hashable_scalars),
                         st.frozensets(hashable_scalars, max_size=3))


def build_dict(kind, pairs):
    """`kind` filled with the pairs through dict's own method (no override runs); an unhashable key is left
    out."""
    result = kind()
    for key, value in pairs:
        with contextlib.suppress(TypeError):
            dict.__setitem__(result, key, value)
    return result


def build_sequence(kind, items):
    return kind(items)


def build_set(kind, items):
    result = set()
    for item in items:
        with contextlib.suppress(TypeError):
            result.add(item)
    return kind(result)


def cyclic(kind, item):
    if kind == "list":
        cycle = [item]
        cycle.append(cycle)
        return cycle
    cycle = {"content": item}
    cycle[kind] = cycle
    return cycle


def nested(item, depth, shape):
    for _ in range(depth):
        item = {"list": lambda v: [v], "tuple": lambda v: (v,), "content": lambda v: {"content": v},
                "optional": lambda v: {"default": True, "content": v},
                "union": lambda v: {"selection": "fuzz_point", "fuzz_point": v}}[shape](item)
    return item


def _hostile_containers(inner):
    pairs = st.lists(st.tuples(hostile_keys, inner), max_size=5)
    return st.one_of(
        st.builds(build_dict, st.sampled_from(DICT_KINDS), pairs),
        st.builds(build_sequence, st.sampled_from(LIST_KINDS), st.lists(inner, max_size=5)),
        st.builds(build_set, st.sampled_from([set, frozenset]), st.lists(hashable_scalars, max_size=4)),
        st.builds(cyclic, st.sampled_from(["list", "content", "value", "point"]), inner),
    )


hostile_values = st.recursive(st.one_of(json_scalars, hostile_scalars), _hostile_containers, max_leaves=25)
deep_values = st.builds(nested, json_scalars | hostile_scalars, st.sampled_from([5, 50, 500, 2000, 5000]),
                        st.sampled_from(["list", "tuple", "content", "optional", "union"]))
any_data = st.one_of(json_values, hostile_values, deep_values)


# --- calling the library ------------------------------------------------------------------------------------------

ALLOWED = (QuorvelError, TypeError, RecursionError, HostileError)
# The dispatcher unpacks the items() of a dict subclass as a for loop would, so an override handing back
# entries that are not pairs gets the for loop's own ValueError.
UNPACKING = re.compile(r"(not enough|too many) values to unpack \(expected 2, got \d+\)")
HANG_SECONDS = 120  # one call taking this long is taken for a hang: the tracebacks are shown and the run ends


def _gc_probe(phase, info):
    """A GC callback: Python code that any collection during a call runs. Should the library have left an
    exception raised while it ran Python code, the callback's return reports it as ignored."""


@contextlib.contextmanager
def ignored_exceptions():
    """The exceptions Python reports as ignored (sys.unraisablehook) in the block, as text."""
    reported = []
    previous = sys.unraisablehook
    sys.unraisablehook = lambda report: reported.append(
        f"{report.err_msg}: {report.exc_type.__name__}: {report.exc_value}; cause {report.exc_value.__cause__!r}")
    gc.callbacks.append(_gc_probe)
    try:
        yield reported
    finally:
        gc.callbacks.remove(_gc_probe)
        sys.unraisablehook = previous


def checked_call(func, data):
    """func(data) with the hostile objects armed and warnings silenced. Returns (result, error); anything but
    an allowed exception escapes. The data must be unchanged afterwards, and no exception may have been
    left raised while Python code ran (which Python reports as ignored)."""
    before = snapshot(data)
    result = error = None
    with ignored_exceptions() as ignored:
        faulthandler.dump_traceback_later(HANG_SECONDS, exit=True)
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                with armed():
                    result = func(data)
        except ALLOWED as caught:
            error = caught
            note(f"raised {type(caught).__name__}: {str(caught)[:300]}")
        except ValueError as caught:
            if not UNPACKING.fullmatch(str(caught)):
                raise
            error = caught
        finally:
            faulthandler.cancel_dump_traceback_later()
    assert not ignored, f"exceptions ignored during the call: {ignored}"
    assert snapshot(data) == before, "the data was modified"
    if isinstance(error, QuorvelError):
        assert_leads_into(data, error)
    return result, error


MISSING_FIELD = re.compile(r"Attribute .* does not have a default / default factory and is not provided but "
                           r"required for initialization!", re.DOTALL)


def assert_leads_into(data, error):
    """The error's location is a path through the data: each step is a key or position of the node before it
    (only the key of a missing required field may be absent). Containers the harness cannot read plainly
    (subclasses, which may lie) end the walk."""
    location = error.location
    assert type(location) is tuple, f"location {location!r} is not a tuple"
    assert error.pointer == "".join("/" + str(step).replace("~", "~0").replace("/", "~1")
                                    for step in location) or not all(type(s) in (str, int) for s in location)
    node = data
    for index, step in enumerate(location):
        if type(node) is dict:
            if step not in node:
                first = error
                while isinstance(first.__cause__, QuorvelError):
                    first = first.__cause__
                assert index == len(location) - 1 and MISSING_FIELD.fullmatch(str(first)), (location, step)
                return
        elif type(node) in (list, tuple):
            assert type(step) is int and 0 <= step < len(node), (location, step)
        else:
            return
        node = node[step]


def is_instance(expected):
    return lambda result, data: isinstance(result, expected)


def is_exactly(expected):
    return lambda result, data: type(result) is expected


def is_data(result, data):
    return result is data


def never(result, data):
    return False


def member_of(enumeration):
    # isinstance, as the library asks it: an object that claims the enumeration as its __class__ passes.
    return lambda result, data: isinstance(result, enumeration)


def dispatch(alias):
    return lambda data: from_defaults(data=data, alias=alias)


def dispatched(name, alias, accepts):
    return (f"from_defaults[{name}]", dispatch(alias), accepts)


# The parsing entry points, grouped: every example of a group goes to each of its targets, as
# (name, call, what a value it returns must satisfy).
TARGET_GROUPS = {
    "records": [
        ("FuzzPoint", FuzzPoint.from_defaults, is_exactly(FuzzPoint)),
        ("FuzzLabel", FuzzLabel.from_defaults, is_exactly(FuzzLabel)),
        ("FuzzCamera", FuzzCamera.from_defaults, is_exactly(FuzzCamera)),
        ("FuzzCounter", FuzzCounter.from_defaults, is_exactly(FuzzCounter)),
        ("FuzzRequired", FuzzRequired.from_defaults, is_exactly(FuzzRequired)),
        ("FuzzNested", FuzzNested.from_defaults, is_exactly(FuzzNested)),
        ("FuzzNested.load_root_defaults", FuzzNested.load_root_defaults, is_exactly(FuzzNested)),
        ("FuzzCamera.parse_from_disk_representation", FuzzCamera.parse_from_disk_representation,
         is_exactly(FuzzCamera)),
        dispatched("FuzzPoint", FuzzPoint, is_exactly(FuzzPoint)),
        dispatched("FuzzNested", FuzzNested, is_exactly(FuzzNested)),
        dispatched("'fuzz_point'", "fuzz_point", is_exactly(FuzzPoint)),
        dispatched("'fuzz_camera'", "fuzz_camera", is_exactly(FuzzCamera)),
    ],
    "generic_kinds": [
        ("ConfigList[int]", ConfigList[int].from_defaults, is_exactly(ConfigList[int])),
        ("ConfigList[FuzzPoint]", ConfigList[FuzzPoint].from_defaults, is_exactly(ConfigList[FuzzPoint])),
        ("ConfigOptional[int]", ConfigOptional[int].from_defaults, is_exactly(ConfigOptional[int])),
        ("ConfigOptional[FuzzLabel]", ConfigOptional[FuzzLabel].from_defaults,
         is_exactly(ConfigOptional[FuzzLabel])),
        ("ConfigUnion[int | FuzzPoint]", ConfigUnion[int | FuzzPoint].from_defaults,
         is_exactly(ConfigUnion[int | FuzzPoint])),
        ("ConfigUnion[str | FuzzLabel | FuzzShade]", ConfigUnion[str | FuzzLabel | FuzzShade].from_defaults,
         is_exactly(ConfigUnion[str | FuzzLabel | FuzzShade])),
        ("ConfigList, alias ConfigList[int]", lambda data: ConfigList.from_defaults(data, alias=ConfigList[int]),
         is_instance(ConfigList)),
        ("ConfigOptional, alias ConfigOptional[FuzzPoint]",
         lambda data: ConfigOptional.from_defaults(data, alias=ConfigOptional[FuzzPoint]), is_exactly(ConfigOptional)),
        ("ConfigUnion, alias ConfigUnion[int | FuzzPoint]",
         lambda data: ConfigUnion.from_defaults(data, alias=ConfigUnion[int | FuzzPoint]), is_exactly(ConfigUnion)),
        dispatched("ConfigList[FuzzPoint]", ConfigList[FuzzPoint], is_exactly(ConfigList[FuzzPoint])),
        dispatched("ConfigOptional[int]", ConfigOptional[int], is_exactly(ConfigOptional[int])),
        dispatched("ConfigUnion[int | FuzzPoint]", ConfigUnion[int | FuzzPoint],
                   is_exactly(ConfigUnion[int | FuzzPoint])),
    ],
    "plain_unions": [
        dispatched("int | None", int | None, is_instance(ConfigOptional)),
        dispatched("Optional[FuzzPoint]", Optional[FuzzPoint], is_instance(ConfigOptional)),
        dispatched("int | FuzzLabel | None", int | FuzzLabel | None, is_instance(ConfigOptional)),
        dispatched("int | FuzzPoint", int | FuzzPoint, is_instance(ConfigUnion)),
        dispatched("Union[str, FuzzLabel]", Union[str, FuzzLabel], is_instance(ConfigUnion)),
    ],
    "enums_and_free_objects": [
        ("FuzzShade", FuzzShade.from_defaults, member_of(FuzzShade)),
        ("ConfigUntypedDict", ConfigUntypedDict.from_defaults, is_instance(ConfigUntypedDict)),
        dispatched("FuzzShade", FuzzShade, member_of(FuzzShade)),
        dispatched("FuzzCodec", FuzzCodec, member_of(FuzzCodec)),
        dispatched("FuzzLevel", FuzzLevel, member_of(FuzzLevel)),
        dispatched("ConfigUntypedDict", ConfigUntypedDict, is_instance(ConfigUntypedDict)),
        dispatched("dict", dict, is_instance(ConfigUntypedDict)),
    ],
    "primitives_and_refusals": [
        dispatched("int", int, is_data),
        dispatched("str", str, is_data),
        dispatched("float", float, is_data),
        dispatched("bool", bool, is_data),
        dispatched("Any", Any, never),
        dispatched("list", list, never),
        dispatched("list[list[int]]", list[list[int]], never),
        dispatched("dict[FuzzPoint, int]", dict[FuzzPoint, int], never),
        dispatched("'list[int]'", "list[int]", never),
        dispatched("'no_such_fuzz_key'", "no_such_fuzz_key", never),
    ],
    "lists_and_tuples": [
        dispatched("list[int]", list[int], is_exactly(ConfigList[int])),
        dispatched("list[FuzzPoint]", list[FuzzPoint], is_exactly(ConfigList[FuzzPoint])),
        dispatched("list[ConfigOptional[int]]", list[ConfigOptional[int]],
                   is_exactly(ConfigList[ConfigOptional[int]])),
        dispatched("tuple[int, ...]", tuple[int, ...], is_exactly(tuple)),
        dispatched("tuple[int, str]", tuple[int, str], is_exactly(tuple)),
        dispatched("tuple[()]", tuple[()], is_exactly(tuple)),
        dispatched("tuple[FuzzPoint, FuzzCodec, FuzzShade]", tuple[FuzzPoint, FuzzCodec, FuzzShade],
                   is_exactly(tuple)),
        dispatched("tuple[tuple[int, ...], ...]", tuple[tuple[int, ...], ...], is_exactly(tuple)),
    ],
    "dicts": [
        dispatched("dict[str, int]", dict[str, int], is_exactly(dict)),
        dispatched("dict[str, Any]", dict[str, Any], is_exactly(dict)),
        dispatched("dict[FuzzCodec, int]", dict[FuzzCodec, int], is_exactly(dict)),
        dispatched("dict[FuzzShade, FuzzPoint]", dict[FuzzShade, FuzzPoint], is_exactly(dict)),
        dispatched("dict[int, tuple[int, ...]]", dict[int, tuple[int, ...]], is_exactly(dict)),
        dispatched("dict[str, dict[str, list[int]]]", dict[str, dict[str, list[int]]], is_exactly(dict)),
    ],
    "demo": [
        ("Service", demo.Service.from_defaults, is_exactly(demo.Service)),
        ("Camera", demo.Camera.from_defaults, is_exactly(demo.Camera)),
        ("Service.load_root_defaults", demo.Service.load_root_defaults, is_exactly(demo.Service)),
        ("Service.parse_from_disk_representation", demo.Service.parse_from_disk_representation,
         is_exactly(demo.Service)),
        dispatched("Service", demo.Service, is_exactly(demo.Service)),
        dispatched("ConfigUnion[int | Recording]", demo.Service.__dataclass_fields__["retention"].type,
                   is_instance(ConfigUnion)),
    ],
}


def check_outcome(name, func, accepts, data):
    """One call checked; a failure is annotated with the target's name."""
    try:
        result, error = checked_call(func, data)
        if error is None:
            assert accepts(result, data), f"unexpected result of type {type(result)!r}"
    except BaseException as failure:
        failure.add_note(f"target: {name}")
        raise


@pytest.mark.parametrize("group", list(TARGET_GROUPS))
@given(data=any_data)
# Found by the long profile: messages showing sets of ints past the decimal conversion limit.
@example(data={10**5000})
@example(data={"a": {-(10**5000)}, "content": [(1, {2: frozenset({10**5000})})]})
def test_survives_any_data(group, data):
    for name, func, accepts in TARGET_GROUPS[group]:
        check_outcome(name, func, accepts, data)


# --- valid data ---------------------------------------------------------------------------------------------------

# Values as the configuration holds them. Integers that are bools are left out where the type key of the
# content decides (a union member), since True would be keyed "bool".
plain_ints = st.one_of(st.integers(), huge_ints)
points = st.builds(FuzzPoint, x=plain_ints, y=floats)
labels = st.builds(FuzzLabel, text=texts, on=st.booleans())
cameras = st.builds(FuzzCamera, host=texts, port=plain_ints, password=texts, shade=st.sampled_from(FuzzShade),
                    codec=st.sampled_from(FuzzCodec), level=st.sampled_from(FuzzLevel))
json_objects = st.dictionaries(texts, json_values, max_size=4)
nested_records = st.builds(
    FuzzNested, point=points, points=st.lists(points, max_size=3).map(ConfigList[FuzzPoint]),
    label=st.one_of(st.none(), labels).map(ConfigOptional[FuzzLabel]),
    either=st.one_of(plain_ints, points).map(ConfigUnion[int | FuzzPoint]), camera=cameras,
    extra=json_objects.map(ConfigUntypedDict), limits=st.dictionaries(texts, plain_ints, max_size=4),
    by_codec=st.dictionaries(st.sampled_from(FuzzCodec), plain_ints), pair=st.tuples(plain_ints, texts),
    counts=st.lists(plain_ints, max_size=4).map(tuple), anything=json_objects)
demo_cameras = st.builds(demo.Camera, host=texts, port=plain_ints, password=texts,
                         resolution=st.sampled_from(demo.Resolution))
demo_recordings = st.builds(demo.Recording, directory=texts, keep_days=plain_ints)
demo_services = st.builds(
    demo.Service, cameras=st.lists(demo_cameras, max_size=3).map(ConfigList[demo.Camera]),
    recording=st.one_of(st.none(), demo_recordings).map(ConfigOptional[demo.Recording]),
    retention=st.one_of(plain_ints, demo_recordings).map(ConfigUnion[int | demo.Recording]),
    codec=st.sampled_from(demo.Codec), bitrates=st.dictionaries(texts, plain_ints, max_size=4),
    window=st.tuples(plain_ints, texts), vendor=json_objects.map(ConfigUntypedDict))


def rows(items):
    """List data: each item bare or in its row {"content": ...}, as the form may submit either."""
    return st.lists(st.booleans(), min_size=len(items), max_size=len(items)).map(
        lambda wrap: [{"content": item} if row else item for item, row in zip(items, wrap)])


def enum_data(member):
    """A member as data: itself, its value, its name, or either of those under "value" or "default"."""
    return st.sampled_from([member, member.value, member.name, {"value": member.value}, {"default": member.name},
                            {"value": member.name, "default": "none"}])


def content_case(values):
    """Valid data of content values: their UI defaults; the parsed value must equal the original."""
    return values.map(lambda v: (build_defaults(v), v))


def union_data(value):
    key = {int: "int", str: "str", FuzzPoint: "fuzz_point", FuzzLabel: "fuzz_label"}[type(value)]
    return {"selection": key, key: build_defaults(value)}


# Valid data, grouped: (name, call, strategy of (data, expected value), what a returned value must satisfy).
VALID_GROUPS = {
    "records": [
        ("FuzzPoint", FuzzPoint.from_defaults, content_case(points), is_exactly(FuzzPoint)),
        ("FuzzLabel", FuzzLabel.from_defaults, content_case(labels), is_exactly(FuzzLabel)),
        ("FuzzCamera", FuzzCamera.from_defaults, content_case(cameras), is_exactly(FuzzCamera)),
        ("FuzzNested", FuzzNested.from_defaults, content_case(nested_records), is_exactly(FuzzNested)),
        ("FuzzNested.load_root_defaults", FuzzNested.load_root_defaults,
         nested_records.map(lambda v: (v.build_root_defaults(), v)), is_exactly(FuzzNested)),
        ("from_defaults[FuzzCamera]", dispatch(FuzzCamera), content_case(cameras), is_exactly(FuzzCamera)),
        ("from_defaults['fuzz_point']", dispatch("fuzz_point"), content_case(points), is_exactly(FuzzPoint)),
    ],
    "generic_kinds": [
        ("ConfigList[FuzzPoint]", ConfigList[FuzzPoint].from_defaults,
         st.lists(points, max_size=4).flatmap(lambda ps: rows([build_defaults(p) for p in ps]).map(
             lambda data: (data, ConfigList[FuzzPoint](ps)))), is_exactly(ConfigList[FuzzPoint])),
        ("ConfigOptional[FuzzLabel]", ConfigOptional[FuzzLabel].from_defaults,
         content_case(st.one_of(st.none(), labels).map(ConfigOptional[FuzzLabel])),
         is_exactly(ConfigOptional[FuzzLabel])),
        ("ConfigUnion[int | FuzzPoint]", ConfigUnion[int | FuzzPoint].from_defaults,
         content_case(st.one_of(plain_ints, points).map(ConfigUnion[int | FuzzPoint])),
         is_exactly(ConfigUnion[int | FuzzPoint])),
        ("FuzzShade", FuzzShade.from_defaults, st.sampled_from(FuzzShade).flatmap(
            lambda m: enum_data(m).map(lambda d: (d, m))), member_of(FuzzShade)),
        ("ConfigUntypedDict", ConfigUntypedDict.from_defaults,
         json_objects.map(lambda d: (d, ConfigUntypedDict(d))), is_instance(ConfigUntypedDict)),
    ],
    "dispatched_containers": [
        ("from_defaults[int]", dispatch(int), json_scalars.map(lambda v: (v, v)), is_data),
        ("from_defaults[list[int]]", dispatch(list[int]), st.lists(plain_ints, max_size=5).flatmap(
            lambda xs: rows(xs).map(lambda d: (d, ConfigList[int](xs)))), is_exactly(ConfigList[int])),
        ("from_defaults[tuple[int, ...]]", dispatch(tuple[int, ...]),
         st.lists(ints, max_size=5).map(lambda xs: (tuple(xs),) * 2), is_exactly(tuple)),
        ("from_defaults[tuple[int, str]]", dispatch(tuple[int, str]), st.tuples(ints, texts).map(lambda t: (t, t)),
         is_exactly(tuple)),
        ("from_defaults[tuple[FuzzPoint, FuzzCodec]]", dispatch(tuple[FuzzPoint, FuzzCodec]),
         st.tuples(points, st.sampled_from(FuzzCodec)).flatmap(lambda t: enum_data(t[1]).map(
             lambda c: ((build_defaults(t[0]), c), t))), is_exactly(tuple)),
        ("from_defaults[dict[str, int]]", dispatch(dict[str, int]), st.dictionaries(texts, ints).map(lambda d: (d, d)),
         is_exactly(dict)),
        ("from_defaults[dict[str, Any]]", dispatch(dict[str, Any]), json_objects.map(lambda d: (d, d)),
         is_exactly(dict)),
        ("from_defaults[dict[FuzzCodec, int]]", dispatch(dict[FuzzCodec, int]),
         st.dictionaries(st.sampled_from(FuzzCodec), ints).flatmap(
             lambda d: st.sampled_from(["member", "value", "name"]).map(
                 lambda how: ({k if how == "member" else getattr(k, how): v for k, v in d.items()}, d))),
         is_exactly(dict)),
        ("from_defaults[dict[str, dict[str, list[int]]]]", dispatch(dict[str, dict[str, list[int]]]),
         st.dictionaries(texts, st.dictionaries(texts, st.lists(plain_ints, max_size=3), max_size=3), max_size=3).map(
             lambda d: (d, {k: {k2: ConfigList[int](v2) for k2, v2 in v.items()} for k, v in d.items()})),
         is_exactly(dict)),
        ("from_defaults[dict]", dispatch(dict), json_objects.map(lambda d: (d, ConfigUntypedDict(d))),
         is_instance(ConfigUntypedDict)),
    ],
    "dispatched_wrappers": [
        ("from_defaults[int | None]", dispatch(int | None), st.one_of(st.none(), plain_ints).flatmap(
            lambda v: st.sampled_from([v, {"default": False} if v is None else {"default": True, "content": v}]).map(
                lambda d: (d, ConfigOptional(v)))), is_instance(ConfigOptional)),
        ("from_defaults[Optional[FuzzPoint]]", dispatch(Optional[FuzzPoint]), st.one_of(st.none(), points).map(
            lambda v: (None if v is None else build_defaults(v), ConfigOptional(v))), is_instance(ConfigOptional)),
        ("from_defaults[int | FuzzPoint]", dispatch(int | FuzzPoint), st.one_of(plain_ints, points).map(
            lambda v: (union_data(v), ConfigUnion(v))), is_instance(ConfigUnion)),
        ("from_defaults[str | FuzzLabel | None]", dispatch(str | FuzzLabel | None), st.one_of(texts, labels).map(
            lambda v: ({"default": True, "content": union_data(v)}, ConfigOptional(ConfigUnion(v)))),
         is_instance(ConfigOptional)),
        ("from_defaults[FuzzCodec]", dispatch(FuzzCodec), st.sampled_from(FuzzCodec).flatmap(
            lambda m: enum_data(m).map(lambda d: (d, m))), member_of(FuzzCodec)),
        ("from_defaults[FuzzLevel]", dispatch(FuzzLevel), st.sampled_from(FuzzLevel).flatmap(
            lambda m: enum_data(m).map(lambda d: (d, m))), member_of(FuzzLevel)),
    ],
    "demo": [
        ("Service", demo.Service.from_defaults, content_case(demo_services), is_exactly(demo.Service)),
        ("Service.load_root_defaults", demo.Service.load_root_defaults,
         demo_services.map(lambda v: (v.build_root_defaults(), v)), is_exactly(demo.Service)),
        ("from_defaults[Service]", dispatch(demo.Service), content_case(demo_services), is_exactly(demo.Service)),
    ],
}


def same_value(result, expected):
    """Structural equality: dataclass == does not see that NaN is the very same object, and the plain wrapper
    classes the dispatcher builds for `X | None` and `X | Y` hold parametrised ones."""
    return snapshot(result, identity=False) == snapshot(expected, identity=False)


def valid_case(group, data):
    """One case of the group, drawn, and its (data, expected value)."""
    cases = VALID_GROUPS[group]
    name, func, strategy, accepts = cases[data.draw(st.integers(0, len(cases) - 1), label="case")]
    note(f"target: {name}")
    return name, func, strategy, accepts


@pytest.mark.parametrize("group", list(VALID_GROUPS))
@given(data=st.data())
def test_valid_data_parses(group, data):
    name, func, strategy, accepts = valid_case(group, data)
    raw, expected = data.draw(strategy, label="data")
    result, error = checked_call(func, raw)
    assert error is None, f"valid data was refused: {error!r}"
    assert accepts(result, raw) and same_value(result, expected), f"parsed {result!r}, expected {expected!r}"


ROUND_TRIPS = {
    "records": [FuzzPoint, FuzzCamera, FuzzNested],
    "generic_kinds": [ConfigList[FuzzPoint], ConfigOptional[FuzzLabel], ConfigUnion[int | FuzzPoint], FuzzShade,
                      ConfigUntypedDict],
    "demo": [demo.Service, demo.Camera],
}
ROUND_TRIP_VALUES = {
    FuzzPoint: points, FuzzCamera: cameras, FuzzNested: nested_records,
    ConfigList[FuzzPoint]: st.lists(points, max_size=4).map(ConfigList[FuzzPoint]),
    ConfigOptional[FuzzLabel]: st.one_of(st.none(), labels).map(ConfigOptional[FuzzLabel]),
    ConfigUnion[int | FuzzPoint]: st.one_of(plain_ints, points).map(ConfigUnion[int | FuzzPoint]),
    FuzzShade: st.sampled_from(FuzzShade), ConfigUntypedDict: json_objects.map(ConfigUntypedDict),
    demo.Service: demo_services, demo.Camera: demo_cameras,
}


@pytest.mark.parametrize("group", list(ROUND_TRIPS))
@given(data=st.data())
def test_round_trip(group, data):
    """value -> build_defaults -> from_defaults gives the value back, and its defaults are the same again."""
    cls = data.draw(st.sampled_from(ROUND_TRIPS[group]), label="class")
    value = data.draw(ROUND_TRIP_VALUES[cls], label="value")
    defaults = build_defaults(value)
    parsed = cls.from_defaults(defaults)
    assert type(parsed) is type(value) and same_value(parsed, value)
    assert snapshot(build_defaults(parsed), identity=False) == snapshot(defaults, identity=False)
    if isinstance(value, ConfigData):
        assert same_value(cls.load_root_defaults(value.build_root_defaults()), value)
        assert same_value(cls.parse_from_disk_representation(value.serialize_to_disk_representation()), value)


# --- mutated valid data -------------------------------------------------------------------------------------------

_DELETE = object()
PATH_DEPTH = 50  # replaced() copies along a path by recursion


def paths(tree):
    """Every position in the exact built-in dicts, lists and tuples of `tree`: (path, node), root first. A
    container met again (an earlier mutation may have put a cycle in) is not entered again, nor is one
    deeper than PATH_DEPTH (deep data an earlier mutation added is mutated as a whole)."""
    found = []
    entered = set()
    stack = [((), tree)]
    while stack:
        path, node = stack.pop()
        found.append((path, node))
        if type(node) in (dict, list, tuple):
            if id(node) in entered or len(path) >= PATH_DEPTH:
                continue
            entered.add(id(node))
        if type(node) is dict:
            stack.extend((path + (key,), value) for key, value in node.items())
        elif type(node) in (list, tuple):
            stack.extend((path + (index,), value) for index, value in enumerate(node))
    return found


def replaced(tree, path, new):
    """A copy of `tree` with the node at `path` replaced by `new` (removed for _DELETE)."""
    if not path:
        return new
    head, rest = path[0], path[1:]
    if type(tree) is dict:
        result = dict(tree)
        child = replaced(tree[head], rest, new)
        if child is _DELETE:
            del result[head]
        else:
            result[head] = child
        return result
    items = list(tree)
    child = replaced(tree[head], rest, new)
    if child is _DELETE:
        del items[head]
    else:
        items[head] = child
    return type(tree)(items)


def renamed(tree, path, new_key):
    """A copy of `tree` whose dict at `path` has its first key renamed (keeping the order)."""
    node = paths_lookup(tree, path)
    if not node:
        return tree
    first = next(iter(node))
    result = {}
    for key, value in node.items():
        with contextlib.suppress(TypeError):
            result[new_key if key == first else key] = value
    return replaced(tree, path, result)


def paths_lookup(tree, path):
    for key in path:
        tree = tree[key]
    return tree


def retyped(node, draw):
    """The node in another guise: another container kind, a wrapper row, or a neighbouring scalar."""
    if type(node) is dict:
        return build_dict(draw(st.sampled_from(DICT_KINDS)), list(node.items()))
    if type(node) in (list, tuple):
        return build_sequence(draw(st.sampled_from(LIST_KINDS)), list(node))
    if type(node) is bool:
        return draw(st.sampled_from([int(node), str(node).lower(), not node, None, RaisingBool()]))
    if type(node) is int:
        # Hex text and a clamped float: decimal text and float() both refuse the huge ones.
        choices = [lambda: -node, lambda: f"{node:x}", lambda: float(max(min(node, 2**1000), -(2**1000))),
                   lambda: IntSub(node), lambda: True, lambda: 10**5000, lambda: node + 2**64]
        return draw(st.sampled_from(choices))()
    if type(node) is str:
        return draw(st.sampled_from([node.upper(), node + "\x00", HostileStr(node), StrSub(node), node.encode(
            "utf-8", "surrogatepass"), [node], None]))
    return draw(st.sampled_from([None, [node], (node,), {"content": node}, {"value": node}]))


@st.composite
def mutated(draw, cases):
    tree, _ = draw(cases)
    tree = copy.deepcopy(tree)
    for _ in range(draw(st.integers(1, 3))):
        found = paths(tree)
        path, node = found[draw(st.integers(0, len(found) - 1))]
        action = draw(st.sampled_from(["replace", "delete", "add", "rename", "retype", "wrap"]))
        if action == "replace":
            tree = replaced(tree, path, draw(st.one_of(json_scalars, hostile_scalars, hostile_values)))
        elif action == "delete" and path:
            tree = replaced(tree, path, _DELETE)
        elif action == "add" and type(node) is dict:
            key = draw(st.one_of(st.sampled_from(KEYS), hostile_keys))
            extended = build_dict(dict, [*node.items(), (key, draw(any_data))])
            tree = replaced(tree, path, extended)
        elif action == "add" and type(node) in (list, tuple):
            tree = replaced(tree, path, type(node)([*node, draw(json_values | hostile_values)]))
        elif action == "rename" and type(node) is dict:
            tree = renamed(tree, path, draw(st.one_of(st.sampled_from(KEYS), hostile_keys)))
        elif action == "retype":
            tree = replaced(tree, path, retyped(node, draw))
        elif action == "wrap":
            key = draw(st.sampled_from(TYPE_KEYS))
            tree = replaced(tree, path, draw(st.sampled_from([
                [node], {"content": node}, {"default": True, "content": node}, {"default": False, "content": node},
                {"selection": key, key: node}, {"value": node}])))
    return tree


@pytest.mark.parametrize("group", list(VALID_GROUPS))
@given(data=st.data())
def test_mutated_valid_data(group, data):
    name, func, strategy, accepts = valid_case(group, data)
    tree = data.draw(mutated(strategy), label="data")
    check_outcome(name, func, accepts, tree)


# --- the harness itself -------------------------------------------------------------------------------------------

def _changes():
    nan = math.nan
    inner = [1, nan]
    return [
        ({"a": inner}, lambda d: d["a"].append(2)),
        ({"a": [1, nan]}, lambda d: d.__setitem__("a", [1, nan])),  # equal, but another list
        ([nan], lambda d: d.__setitem__(0, -nan)),
        ([0.0], lambda d: d.__setitem__(0, -0.0)),
        (RaisingDict(a=1), lambda d: dict.__setitem__(d, "a", 2)),
        (PlainList([1]), lambda d: list.append(d, 1)),
        ((RaisingGetattr(),), lambda d: setattr(d[0], "x", 1)),
        ({1: {2}}, lambda d: d[1].add(3)),
        ([True], lambda d: d.__setitem__(0, 1)),
    ]


@pytest.mark.parametrize("index", range(len(_changes())))
def test_snapshot_sees_every_change(index):
    data, change = _changes()[index]
    before = snapshot(data)
    assert snapshot(data) == before
    change(data)
    assert snapshot(data) != before


def test_snapshot_handles_cycles_and_depth():
    cycle = cyclic("list", 1)
    assert snapshot(cycle) == snapshot(cycle)
    deep = nested(None, 100_000, "content")
    assert snapshot(deep, identity=False) == snapshot(nested(None, 100_000, "content"), identity=False)


@pytest.mark.parametrize("make", [RaisingRepr, lambda: RaisingEq("content"), RaisingHash, RaisingGetattr,
                                  RaisingBool, lambda: HostileStr("x"), lambda: liar(dict)])
def test_hostile_objects_raise_only_when_armed(make):
    obj = make()
    probes = [repr, lambda o: o == "content", hash, lambda o: o.missing, bool, lambda o: o.get]
    unarmed = []
    for probe in probes:
        try:
            probe(obj)
        except Exception as error:
            unarmed.append(type(error))
    assert HostileError not in unarmed
    raised = 0
    for probe in probes:
        with armed():
            try:
                probe(obj)
            except HostileError:
                raised += 1
            except Exception:
                pass
    assert raised > 0
