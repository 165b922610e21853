"""Configurations stored as JSON read back as they were: tuples, content inside built-in containers and int keys."""

import dataclasses
import enum
import json

import pytest

from conftest import load_demo, unchanged
from nimbrel.quorvel.core.exceptions import QuorvelError
from nimbrel.quorvel.data.content_core import build_defaults
from nimbrel.quorvel.data.enum_content import ConfigEnum
from nimbrel.quorvel.data.list_content import ConfigList
from nimbrel.quorvel.data.parse import from_defaults
from nimbrel.quorvel.data.record_content import ConfigData

demo = load_demo()


class Mode(enum.Enum):
    AUTO = "auto"
    MANUAL = "manual"


class Level(ConfigEnum):
    LOW = 1
    HIGH = 2


@dataclasses.dataclass
class Sensor(ConfigData):
    name: str = "s"
    mode: Mode = Mode.AUTO
    level: Level = Level.LOW


@dataclasses.dataclass
class Site(ConfigData):
    sensors: dict[str, Sensor] = dataclasses.field(default_factory=lambda: {"door": Sensor(), "hall": Sensor("h")})
    main: tuple[int, Sensor] = (1, Sensor("main", Mode.MANUAL, Level.HIGH))
    labels: dict[int, str] = dataclasses.field(default_factory=lambda: {1: "one", 20: "twenty", -3: "minus"})
    levels: dict[Mode, tuple[Level, ...]] = dataclasses.field(
        default_factory=lambda: {Mode.AUTO: (Level.LOW, Level.HIGH), Mode.MANUAL: ()})
    spans: tuple[tuple[int, str], ...] = ((1, "a"), (2, "b"))


def through_json_file(value, path):
    path.write_text(json.dumps(value.serialize_to_disk_representation()))
    return type(value).parse_from_disk_representation(json.loads(path.read_text()))


@pytest.mark.parametrize("value", [
    demo.Service(),
    Site(),
    Site(sensors={}, main=(0, Sensor()), labels={}, levels={}, spans=()),
], ids=["demo", "site", "empty"])
def test_configurations_survive_a_json_file(value, tmp_path):
    assert through_json_file(value, tmp_path / "config.json") == value
    assert type(value).load_root_defaults(json.loads(json.dumps(value.build_root_defaults()))) == value


def test_site_defaults_are_json():
    defaults = Site().build_defaults()
    assert json.loads(json.dumps(defaults)) == {
        "sensors": {"door": {"name": "s", "mode": "auto", "level": 1}, "hall": {"name": "h", "mode": "auto",
                                                                                "level": 1}},
        "main": [1, {"name": "main", "mode": "manual", "level": 2}],
        "labels": {"1": "one", "20": "twenty", "-3": "minus"},
        "levels": {"auto": [1, 2], "manual": []},
        "spans": [[1, "a"], [2, "b"]],
    }


# --- tuples accept lists -----------------------------------------------------------------------------------------

@pytest.mark.parametrize("alias, data, parsed", [
    (tuple[int, str], [1, "a"], (1, "a")),
    (tuple[int, ...], [], ()),
    (tuple[int, ...], [1, 2, 3], (1, 2, 3)),
    (tuple[()], [], ()),
    (tuple[Mode, Level], ["auto", "HIGH"], (Mode.AUTO, Level.HIGH)),
    (tuple[tuple[int, int], ...], [[1, 2], (3, 4)], ((1, 2), (3, 4))),
    (tuple[int, Sensor], [5, {"name": "x"}], (5, Sensor("x"))),
])
def test_tuple_annotations_accept_lists(alias, data, parsed):
    with unchanged(data):
        result = from_defaults(alias, data)
    assert result == parsed and type(result) is tuple


@pytest.mark.parametrize("alias, data, message", [
    (tuple[int, str], [1], "Expected tuple of length 2 for tuple[int, str], got length 1."),
    (tuple[int, str], [1, "a", 2], "Expected tuple of length 2 for tuple[int, str], got length 3."),
    (tuple[()], [1], "Expected tuple of length 0 for tuple[()], got length 1."),
    (tuple[int, str], {1, 2}, "Expected tuple data for tuple[int, str], got <class 'set'>."),
    (tuple[int, str], "ab", "Expected tuple data for tuple[int, str], got <class 'str'>."),
])
def test_tuple_refusals_are_unchanged(alias, data, message):
    with pytest.raises(QuorvelError) as caught:
        from_defaults(alias, data)
    assert str(caught.value) == message


def test_a_list_is_read_from_a_copy():
    class Growing(ConfigData):
        @classmethod
        def from_defaults(cls, data, alias=None):
            data_list.append(99)
            return cls()

    data_list = [{}, {}]
    assert len(from_defaults(tuple[Growing, ...], data_list)) == 2


# --- build_defaults converts inside built-in containers --------------------------------------------------------------

def test_build_defaults_converts_at_any_depth():
    value = {"a": [Sensor(), (Mode.MANUAL, {Mode.AUTO: Level.HIGH})], "b": 1}
    with unchanged(value):
        assert build_defaults(value) == {"a": [{"name": "s", "mode": "auto", "level": 1}, ("manual", {"auto": 2})],
                                         "b": 1}


@pytest.mark.parametrize("value", [
    [1, "a", None, 2.5, True],
    (1, [2, (3, {"x": [4]})]),
    {"a": {"b": [1, 2]}, 3: (None,)},
    [],
    {},
    (),
])
def test_containers_with_nothing_to_convert_are_returned_themselves(value):
    assert build_defaults(value) is value


def test_only_containers_holding_something_to_convert_are_new():
    untouched = [1, 2]
    value = [untouched, Mode.AUTO]
    result = build_defaults(value)
    assert result == [[1, 2], "auto"] and result is not value and result[0] is untouched
    assert type(build_defaults((Mode.AUTO,))) is tuple


def test_subclasses_of_containers_are_left_as_they_are():
    class Items(list):
        pass

    class Table(dict):
        pass

    items, table = Items([Sensor()]), Table(a=Mode.AUTO)
    assert build_defaults(items) is items and build_defaults(table) is table
    assert build_defaults([items])[0] is items


def test_deep_containers_raise_recursion_error():
    deep: list = []
    for _ in range(100_000):
        deep = [deep, Mode.AUTO]
    with pytest.raises(RecursionError):
        build_defaults(deep)
    cycle: list = [Mode.AUTO]
    cycle.append(cycle)
    with pytest.raises(RecursionError):
        build_defaults(cycle)


def test_list_content_rows_convert_inner_containers():
    value = ConfigList[Sensor]([Sensor()])
    holder = {"rows": [value]}
    assert build_defaults(holder) == {"rows": [[{"content": {"name": "s", "mode": "auto", "level": 1}}]]}


# --- int keys read back from JSON text ---------------------------------------------------------------------------

@pytest.mark.parametrize("data, parsed", [
    ({"1": "a", "-20": "b", "0": "c"}, {1: "a", -20: "b", 0: "c"}),
    ({1: "a", "2": "b"}, {1: "a", 2: "b"}),
    # text that is not exactly the decimal text of an int stays text
    ({"01": "a", " 1": "b", "+1": "c", "1_0": "d", "-0": "e", "1.0": "f", "x": "g", "": "h", "٣": "i"},
     {"01": "a", " 1": "b", "+1": "c", "1_0": "d", "-0": "e", "1.0": "f", "x": "g", "": "h", "٣": "i"}),
    ({"9" * 5000: "long"}, {"9" * 5000: "long"}),
])
def test_int_keys_are_read_from_their_text(data, parsed):
    result = from_defaults(dict[int, str], data)
    assert result == parsed and [type(k) for k in result] == [type(k) for k in parsed]


@pytest.mark.parametrize("alias", [dict[str, str], dict[bool, str], dict[float, str]])
def test_other_key_annotations_keep_text_keys(alias):
    assert list(from_defaults(alias, {"1": "a"})) == ["1"]
