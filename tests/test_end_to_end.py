"""End-to-end tests: the demo and whole configurations through every representation (its type checking is in
test_typing.py)."""

import dataclasses
import json
import subprocess
import sys
import warnings
from typing import Any

import pytest

from conftest import DEMO_PATH, load_demo, unchanged
from nimbrel.quorvel.core.exceptions import QuorvelError
from nimbrel.quorvel.data.content_core import build_defaults
from nimbrel.quorvel.data.json_content import ConfigUntypedDict
from nimbrel.quorvel.data.list_content import ConfigList
from nimbrel.quorvel.data.optional_content import ConfigOptional
from nimbrel.quorvel.data.parse import from_defaults
from nimbrel.quorvel.data.record_content import ConfigData
from nimbrel.quorvel.data.union_content import ConfigUnion
from nimbrel.quorvel.fields.field_models import FieldEnum

LAST_DEMO_LINE = "Round trip through the UI defaults, disk and root representations: identical configuration."
LIST_WARNING = "Passing list[...] is discouraged. Please use ConfigList[...] in the future!"


demo = load_demo()
Codec, Camera, Recording, Resolution, Service = demo.Codec, demo.Camera, demo.Recording, demo.Resolution, demo.Service


@dataclasses.dataclass
class Containers(ConfigData):
    numbers: list[int] = dataclasses.field(default_factory=list)
    counts: tuple[int, ...] = ()
    pair: tuple[int, str] = (0, "")
    limits: dict[str, int] = dataclasses.field(default_factory=dict)
    by_codec: dict[Codec, int] = dataclasses.field(default_factory=dict)
    extra: dict[str, Any] = dataclasses.field(default_factory=dict)


@dataclasses.dataclass
class Stream(ConfigData):
    codec: Codec = Codec.H264
    resolution: Resolution = Resolution.HD


def modified_service():
    return Service(
        cameras=ConfigList[Camera]([Camera(), Camera(host="cam-2.local", port=8554, password="s3cret",
                                                     resolution=Resolution.UHD)]),
        recording=ConfigOptional[Recording](None),
        retention=ConfigUnion[int | Recording](Recording(directory="/srv/archive", keep_days=90)),
        codec=Codec.H265, bitrates={"low": 250, "high": 8000, "max": 12000}, window=(1920, "full"),
        vendor=ConfigUntypedDict({"exposure": "manual", "gain": [1, 2], "nested": {"iso": None}}))


MODIFIED_DEFAULTS = {
    "cameras": [{"content": {"host": "localhost", "port": 554, "password": "", "resolution": "1080p"}},
                {"content": {"host": "cam-2.local", "port": 8554, "password": "s3cret", "resolution": "4k"}}],
    "recording": {"default": False},
    "retention": {"selection": "recording", "recording": {"directory": "/srv/archive", "keep_days": 90}},
    "codec": "h265",
    "bitrates": {"low": 250, "high": 8000, "max": 12000},
    "window": (1920, "full"),
    "vendor": {"exposure": "manual", "gain": [1, 2], "nested": {"iso": None}},
}


@pytest.mark.parametrize("arguments, stored", [([], "service.json"), (["--config", "conf/site.json"],
                                                                       "conf/site.json")])
def test_demo_runs(tmp_path, arguments, stored):
    (tmp_path / "conf").mkdir()
    done = subprocess.run([sys.executable, str(DEMO_PATH), *arguments], cwd=tmp_path, capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert "Traceback" not in done.stderr and "Warning" not in done.stderr
    lines = done.stdout.splitlines()
    assert lines[-1] == LAST_DEMO_LINE
    titles = [line for line in lines if line.startswith("--- ")]
    assert titles == ["--- UI form description", "--- UI defaults", f"--- Stored in {stored} and read back",
                      "--- Root representation", "--- Refused submission at /cameras/0/content/port"]
    assert lines[-2].startswith("Primitive values must be passed directly, not wrapped in dicts")
    assert Service.parse_from_disk_representation(json.loads((tmp_path / stored).read_text())) == Service()
    root_text = done.stdout.split("--- Root representation\n", 1)[1].split("--- Refused", 1)[0]
    assert json.loads(root_text) == json.loads(json.dumps(Service().build_root_defaults(), default=str))


@pytest.mark.parametrize("service", [Service(), modified_service()], ids=["default", "modified"])
def test_service_form(service):
    shown = [f.name for f in dataclasses.fields(Service) if f.name != "window"]
    metadata = {"names": shown}
    with unchanged(metadata):
        dump = Service.build_field_for_type(value=service, metadata=metadata).model_dump()
    assert json.loads(json.dumps(dump)) == dump
    assert (dump["name"], dump["type"], dump["display_name"]) == ("service", "field_data", "Service")
    fields = {f["name"]: f for f in dump["fields"]}
    assert list(fields) == shown
    defaults = service.build_defaults()
    assert fields["cameras"]["type"] == "field_list" and fields["cameras"]["default"] == defaults["cameras"]
    camera = {f["name"]: f for f in fields["cameras"]["fields"][0]["fields"]}
    assert (camera["port"]["min"], camera["port"]["max"], camera["password"]["type"]) == (1, 65535,
                                                                                          "field_password")
    assert fields["recording"]["default"] is (service.recording.content is not None)
    assert fields["retention"]["default"] == defaults["retention"]["selection"]
    assert fields["codec"]["type"] == "field_enum" and fields["codec"]["default"] == service.codec.value
    assert fields["codec"]["options"] == [{"text": "H264", "value": "h264"}, {"text": "H265", "value": "h265"}]
    assert fields["bitrates"]["default"] == service.bitrates and fields["vendor"]["default"] == dict(service.vendor)
    with pytest.raises(QuorvelError, match=r"^Unsupported field type <class 'tuple'> for field 'window'\.$"):
        Service.build_field_for_type(value=service)


@pytest.mark.parametrize("service", [Service(), modified_service()], ids=["default", "modified"])
def test_service_round_trips(service):
    defaults = service.build_defaults()
    if service != Service():
        assert defaults == MODIFIED_DEFAULTS
    disk, root = service.serialize_to_disk_representation(), service.build_root_defaults()
    assert disk == defaults and root == {"service": defaults}
    for parse, data in [(Service.from_defaults, defaults), (Service.parse_from_disk_representation, disk),
                        (Service.load_root_defaults, root), (Service.load_root_defaults, defaults)]:
        with unchanged(data):
            parsed = parse(data)
        assert parsed == service
        assert type(parsed.cameras) is ConfigList[Camera] and type(parsed.vendor) is ConfigUntypedDict
        assert parsed.codec is service.codec and type(parsed.window) is tuple
        assert [c.resolution for c in parsed.cameras] == [c.resolution for c in service.cameras]
        assert all(type(c.resolution) is Resolution for c in parsed.cameras)
        assert type(parsed.retention.content) is type(service.retention.content)


def test_submitted_form_data_parses_into_modified_service():
    submitted = Service().build_defaults()
    submitted["cameras"].append({"content": {"host": "cam-2.local", "port": 8554, "password": "s3cret",
                                             "resolution": "UHD"}})
    submitted.update(recording={"default": False}, codec="H265", window=(1920, "full"),
                     retention={"selection": "recording", "recording": {"directory": "/srv/archive",
                                                                        "keep_days": 90}, "int": 30},
                     bitrates={"low": 250, "high": 8000, "max": 12000},
                     vendor={"exposure": "manual", "gain": [1, 2], "nested": {"iso": None}})
    with unchanged(submitted):
        assert Service.from_defaults(submitted) == modified_service()


def test_container_fields_end_to_end():
    anything = [1, {"k": "v"}]
    data = {"numbers": [{"content": 1}, 2], "counts": (1, 2, 3), "pair": (7, "x"), "limits": {"a": 1},
            "by_codec": {"h264": 5, "H265": 6}, "extra": {"obj": anything, "none": None, "n": {"x": [1]}}}
    with unchanged(data), warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        parsed = Containers.from_defaults(data)
    assert [(w.category, str(w.message)) for w in caught] == [(UserWarning, LIST_WARNING)]
    assert type(parsed.numbers) is ConfigList[int] and list(parsed.numbers) == [1, 2]
    assert parsed.counts == (1, 2, 3) and type(parsed.counts) is tuple and parsed.pair == (7, "x")
    assert parsed.limits == {"a": 1} and type(parsed.limits) is dict and parsed.limits is not data["limits"]
    assert parsed.by_codec == {Codec.H264: 5, Codec.H265: 6}
    assert [type(k) for k in parsed.by_codec] == [Codec, Codec]
    assert parsed.extra == data["extra"] and parsed.extra["obj"] is anything
    assert parsed.extra["n"] is data["extra"]["n"]
    defaults = parsed.build_defaults()
    assert defaults["numbers"] == [{"content": 1}, {"content": 2}]
    with pytest.warns(UserWarning, match=r"^Passing list\[\.\.\.\] is discouraged"):
        assert Containers.from_defaults(defaults) == parsed
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert Containers.from_defaults({}) == Containers()


@pytest.mark.parametrize("data, cause", [
    ({"counts": {1, 2}}, "Expected tuple data for tuple[int, ...], got <class 'set'>."),
    ({"pair": (1,)}, "Expected tuple of length 2 for tuple[int, str], got length 1."),
    ({"by_codec": {"vp9": 1}}, "Invalid Codec: 'vp9'"),
    ({"limits": [("a", 1)]}, "Expected dict data for dict[str, int], got <class 'list'>."),
    ({"numbers": None}, "None is not valid for list[int]. Use ConfigOptional[...] if the value is optional."),
])
def test_container_field_failures_name_the_field(data, cause):
    ((key, raw),) = data.items()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with pytest.raises(QuorvelError) as err:
            Containers.from_defaults(data)
    assert str(err.value).startswith(f"Failed to parse field Containers.{key} from {type(raw)!r} instance ")
    assert str(err.value.__cause__) == cause


def test_any_values_are_returned_unchanged():
    value = {"a": {"deep": [1]}, "b": ConfigUntypedDict(x=1), "c": (1, [2]), "d": None}
    with unchanged(value):
        parsed = from_defaults(data=value, alias=dict[str, Any])
    assert parsed == value and parsed is not value and type(parsed) is dict
    assert all(parsed[k] is value[k] for k in value) and list(parsed) == list(value)


@pytest.mark.parametrize("data, member", [
    (Codec.H265, Codec.H265), ("h265", Codec.H265), ("H265", Codec.H265), ({"value": "h264"}, Codec.H264),
    ({"default": "H264"}, Codec.H264),
])
def test_plain_enum_alias_parses_like_enum_content(data, member):
    assert from_defaults(data=data, alias=Codec) is member
    assert Stream.from_defaults({"codec": data}).codec is member


def test_plain_enum_field_round_trip():
    assert build_defaults(Codec.H265) == "h265" and build_defaults(Resolution.UHD) == "4k"
    stream = Stream(codec=Codec.H265, resolution=Resolution.UHD)
    form = Stream.build_field_for_type(value=stream)
    codec_field, resolution_field = form.fields
    assert type(codec_field) is FieldEnum and (codec_field.default, resolution_field.default) == ("h265", "4k")
    assert codec_field.options == [{"text": "H264", "value": "h264"}, {"text": "H265", "value": "h265"}]
    defaults = stream.build_defaults()
    assert defaults == {"codec": "h265", "resolution": "4k"}
    for parsed in (Stream.from_defaults(defaults), Stream.parse_from_disk_representation(defaults),
                   Stream.load_root_defaults(stream.build_root_defaults())):
        assert parsed == stream and parsed.codec is Codec.H265 and parsed.resolution is Resolution.UHD
    assert stream.build_root_defaults() == {"stream": defaults}
    with pytest.raises(QuorvelError) as err:
        Stream.from_defaults({"codec": "vp9"})
    assert str(err.value) == "Failed to parse field Stream.codec from <class 'str'> instance \"'vp9'\"."
    inner = err.value.__cause__
    assert type(inner) is QuorvelError and str(inner) == "Invalid Codec: 'vp9'"
    assert inner.__cause__ is None and type(inner.__context__) is ValueError
