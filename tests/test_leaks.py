"""Reference and memory leak checks: every public operation, repeated, must leave no trace behind.

Each operation runs a warm-up loop, then a measured loop of a few thousand calls. Afterwards the reference
counts of its inputs and of the classes involved must be back at their values after the warm-up, and the
memory traced by tracemalloc (after a full collection) and the number of allocated interpreter blocks must
not have grown beyond a small noise bound.
"""

import ctypes
import ctypes.util
import dataclasses
import gc
import os
import sys
import tracemalloc
import warnings
import weakref
from typing import Any, Callable

import pytest

import nimbrel.quorvel as package
from conftest import SHARED_SERVICE_FORM, SharedCamera, SharedCodec, SharedRecording, SharedService, SharedShade
from nimbrel.quorvel.core.exceptions import QuorvelError
from nimbrel.quorvel.core.naming import display_value
from nimbrel.quorvel.data import serialize
from nimbrel.quorvel.data.check import check
from nimbrel.quorvel.data.content_core import BaseConfigurableData, build_defaults
from nimbrel.quorvel.data.list_content import ConfigList
from nimbrel.quorvel.data.optional_content import ConfigOptional
from nimbrel.quorvel.data.parse import from_defaults
from nimbrel.quorvel.data.record_content import ConfigData
from nimbrel.quorvel.data.schema import json_schema
from nimbrel.quorvel.data.union_content import ConfigUnion
from nimbrel.quorvel.fields.field_models import FieldList
from nimbrel.quorvel.typing.type_lookup import get_implementation, type_key_class

WARMUP = 200
ITERATIONS = 2000
MEMORY_BOUND = 64 * 1024  # bytes of traced memory growth tolerated over the measured loop
BLOCKS_BOUND = 200  # allocated interpreter blocks tolerated over the measured loop (one per call would be 2000)
# Classes are referenced from bounded caches (typing's and the subscription caches), whose contents shift from
# call to call: a class's reference count may move by a few, but never by one per call.
CLASS_REF_NOISE = 16


SERVICE = SharedService()
SERVICE_DEFAULTS = SERVICE.build_defaults()
SERVICE_DISK = SERVICE.serialize_to_disk_representation()
SERVICE_ROOT = SERVICE.build_root_defaults()
CAMERA_DATA = {"host": "cam-9", "port": 99, "password": "pw", "shade": "light"}
UNION_ALIAS = ConfigUnion[int | SharedRecording]
UNION_DATA = {"selection": "shared_recording", "shared_recording": {"directory": "/x", "keep_days": 1}}
LIST_ALIAS = ConfigList[SharedCamera]
LIST_DATA = [{"content": CAMERA_DATA}, {"content": {"port": 2}}]
OPTIONAL_ALIAS = ConfigOptional[SharedRecording]
OPTIONAL_DATA = {"default": True, "content": {"keep_days": 4}}
TUPLE_DATA = (5, "five")
DICT_DATA = {"a": 1, "b": 2, "c": 3}
ENUM_DICT_DATA = {"h264": 1, "H265": 2}
PLAIN_LIST_DATA = [1, {"content": 2}, 3]
LONG_TEXT = "x" * 200
QUOTED_TEXT = "it's " * 40
HUGE_INT = -(10**5000)
CYCLIC_VALUE: list[Any] = [1, (2, {"k": "v"})]
CYCLIC_VALUE.append(CYCLIC_VALUE)
NESTED_VALUE = {"a": [1, 2, 3] * 20, "b": ("t", None)}
SET_VALUE = frozenset({HUGE_INT, ("t", frozenset({1, 2}))})
BAD_SERVICE_CODEC = {"codec": "vp9"}
BAD_SERVICE_CAMERAS = {"cameras": [{"content": {"shade": "purple"}}]}
UNKNOWN_KEYS = {"prot": 1, "zeta": {"a": 1}}
BAD_UNION_SELECTION = {"selection": "nope", "nope": 1}
BAD_METADATA = {"port": "not a dict"}
EXTRA_METADATA = {"nope": {"a": 1}}
BAD_FIELD_METADATA = {"default": 3, "bogus": 1}
BAD_NAMES = {"names": 5}
TUPLE_LIST_DATA = [5, "five"]
INT_KEY_DATA = {"1": "a", "01": "b", "x": "c"}
CONTAINED_VALUE = {"a": [SharedCamera()], "b": (1, SharedCodec.H264)}
BAD_ROOT = {"shared_service": {"cameras": [{"content": {"port": {"x": 1}}}]}}
BAD_SERVICE = SharedService(
    cameras=ConfigList[SharedCamera]([SharedCamera(port=0), SharedCamera(host=5, shade="dark"), SharedRecording()]),
    retention=ConfigUnion[int | SharedRecording]("x"), bitrates={"low": "b", 5: 1, "a/b~": 2}, window=(1, 2, 3))


@dataclasses.dataclass
class LeakBytes(ConfigData):
    data: bytes = b""


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def _c_heap_reader():
    """Bytes in use on the C heap (where C++ ``new`` allocates), or None where glibc's mallinfo2 is missing."""
    if os.environ.get("PYTHONMALLOC", "").startswith("malloc"):
        return None  # every Python object lands on the C heap too: the interpreter's own checks cover it
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6")
        mallinfo2 = libc.mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = _MallInfo2
    mallinfo2.argtypes = []
    return lambda: mallinfo2().uordblks + mallinfo2().hblkhd


C_HEAP_IN_USE = _c_heap_reader()
C_HEAP_BOUND = 64 * 1024  # bytes of C heap growth tolerated over the measured loop (tracemalloc misses C++ new)


@dataclasses.dataclass
class Op:
    func: Callable[[], Any]
    watched: tuple = ()
    iterations: int = ITERATIONS


def raises(func, exc=QuorvelError):
    """Wrap ``func`` so that it must raise ``exc``."""

    def call():
        try:
            func()
        except exc:
            return None
        raise AssertionError(f"{func} did not raise {exc.__name__}")

    return call


def location_of_failure(root):
    """Loads a failing root form and reads where the error says it failed."""
    try:
        SharedService.load_root_defaults(root)
    except QuorvelError as err:
        assert err.pointer == "/shared_service/cameras/0/content/port"
        raise


OPS = {
    # parsing of primitives, unions, optionals and containers
    "parse_int": Op(lambda: from_defaults(int, 5), (int,)),
    "parse_str": Op(lambda: from_defaults(str, LONG_TEXT), (str, LONG_TEXT)),
    "parse_float": Op(lambda: from_defaults(float, 2.5), (float,)),
    "parse_bool": Op(lambda: from_defaults(bool, True), (bool,)),
    "parse_plain_union": Op(lambda: from_defaults(int | None, None)),
    "parse_config_union": Op(lambda: from_defaults(UNION_ALIAS, UNION_DATA),
                             (UNION_ALIAS, UNION_DATA, SharedRecording)),
    "parse_config_union_int": Op(lambda: from_defaults(UNION_ALIAS, {"selection": "int", "int": 30}),
                                 (UNION_ALIAS,)),
    "parse_config_optional": Op(lambda: from_defaults(OPTIONAL_ALIAS, OPTIONAL_DATA),
                                (OPTIONAL_ALIAS, OPTIONAL_DATA, SharedRecording)),
    "parse_config_optional_empty": Op(lambda: from_defaults(OPTIONAL_ALIAS, {"default": False}), (OPTIONAL_ALIAS,)),
    "parse_config_list": Op(lambda: from_defaults(LIST_ALIAS, LIST_DATA), (LIST_ALIAS, LIST_DATA, SharedCamera)),
    "parse_plain_list": Op(lambda: from_defaults(list[int], PLAIN_LIST_DATA), (PLAIN_LIST_DATA,)),
    "parse_tuple": Op(lambda: from_defaults(tuple[int, str], TUPLE_DATA), (TUPLE_DATA,)),
    "parse_tuple_variadic": Op(lambda: from_defaults(tuple[int, ...], (1, 2, 3))),
    "parse_tuple_from_list": Op(lambda: from_defaults(tuple[int, str], TUPLE_LIST_DATA), (TUPLE_LIST_DATA,)),
    "parse_int_key_dict": Op(lambda: from_defaults(dict[int, str], INT_KEY_DATA), (INT_KEY_DATA,)),
    "parse_dict": Op(lambda: from_defaults(dict[str, int], DICT_DATA), (DICT_DATA,)),
    "parse_enum_key_dict": Op(lambda: from_defaults(dict[SharedCodec, int], ENUM_DICT_DATA),
                              (ENUM_DICT_DATA, SharedCodec)),
    "parse_any_dict": Op(lambda: from_defaults(dict[str, Any], NESTED_VALUE), (NESTED_VALUE,)),
    "parse_enum": Op(lambda: from_defaults(SharedShade, "light"), (SharedShade,)),
    "parse_plain_enum": Op(lambda: from_defaults(SharedCodec, {"value": "h265"}), (SharedCodec,)),
    "parse_record": Op(lambda: from_defaults(SharedCamera, CAMERA_DATA), (SharedCamera, CAMERA_DATA)),
    "parse_record_by_key": Op(lambda: from_defaults("shared_camera", CAMERA_DATA), (SharedCamera, CAMERA_DATA)),
    # records
    "record_from_defaults": Op(lambda: SharedService.from_defaults(SERVICE_DEFAULTS),
                               (SharedService, SharedCamera, LIST_ALIAS, SERVICE_DEFAULTS), 1000),
    "record_build_defaults": Op(SERVICE.build_defaults, (SharedService, SERVICE), 1000),
    "record_build_root_defaults": Op(SERVICE.build_root_defaults, (SharedService, SERVICE), 1000),
    "record_load_root_defaults": Op(lambda: SharedService.load_root_defaults(SERVICE_ROOT),
                                    (SharedService, SERVICE_ROOT), 1000),
    "build_defaults_inside_containers": Op(lambda: build_defaults(CONTAINED_VALUE), (CONTAINED_VALUE, SharedCamera)),
    "record_serialize_to_disk": Op(SERVICE.serialize_to_disk_representation, (SharedService, SERVICE), 1000),
    "record_parse_from_disk": Op(lambda: SharedService.parse_from_disk_representation(SERVICE_DISK),
                                 (SharedService, SERVICE_DISK), 1000),
    "record_camera_round_trip": Op(lambda: SharedCamera.from_defaults(SharedCamera().build_defaults()),
                                   (SharedCamera,)),
    # checks
    "check_clean": Op(lambda: check(SERVICE), (SharedService, SERVICE), 1000),
    "check_problems": Op(lambda: check(BAD_SERVICE), (SharedService, SharedCamera, BAD_SERVICE), 500),
    "error_check_not_content": Op(raises(lambda: check(CAMERA_DATA), TypeError), (CAMERA_DATA,)),
    # JSON Schema
    "schema_record": Op(lambda: json_schema(SharedService), (SharedService, SharedCamera, SharedShade), 1000),
    "schema_list_alias": Op(lambda: json_schema(LIST_ALIAS), (LIST_ALIAS, SharedCamera)),
    "schema_union_alias": Op(lambda: json_schema(UNION_ALIAS), (UNION_ALIAS, SharedRecording)),
    "error_schema_not_content": Op(raises(lambda: json_schema(SharedCodec), TypeError), (SharedCodec,)),
    "error_schema_unsupported_field": Op(raises(lambda: json_schema(LeakBytes)), (LeakBytes,), 1000),
    # fields
    "build_field_for_type": Op(
        lambda: SharedService.build_field_for_type(value=SERVICE, metadata=SHARED_SERVICE_FORM).model_dump(),
        (SharedService, SERVICE, SHARED_SERVICE_FORM, SHARED_SERVICE_FORM["names"]), 500),
    "build_field_for_camera": Op(lambda: SharedCamera.build_field_for_type().model_dump(), (SharedCamera,), 1000),
    "instantiate_field_list_rows": Op(
        lambda: serialize.instantiate_field(FieldList, "rows", {"default": LIST_DATA}).model_dump(), (LIST_DATA,)),
    "error_field_list_rows": Op(
        raises(lambda: serialize.instantiate_field(FieldList, "rows", {"default": LIST_DATA, "fields": [1]})),
        (LIST_DATA,), 500),
    "serialize_build_field": Op(lambda: serialize.build_field("port", int, {"default": 3, "min": 1}), (int,)),
    "serialize_build_field_enum": Op(lambda: serialize.build_field("shade", SharedShade, {"default": SharedShade.DARK}),
                                     (SharedShade,)),
    # generic subscription and lookups
    "subscribe_list": Op(lambda: ConfigList[int], (ConfigList, ConfigList[int])),
    "subscribe_list_record": Op(lambda: ConfigList[SharedCamera], (ConfigList, LIST_ALIAS, SharedCamera)),
    "subscribe_optional": Op(lambda: ConfigOptional[SharedRecording], (ConfigOptional, OPTIONAL_ALIAS)),
    "subscribe_union": Op(lambda: ConfigUnion[int | SharedRecording], (ConfigUnion, UNION_ALIAS)),
    "get_implementation": Op(lambda: get_implementation(BaseConfigurableData, "shared_camera"),
                             (BaseConfigurableData, SharedCamera), 1000),
    "type_key_class": Op(lambda: type_key_class(SharedCamera), (SharedCamera,)),
    "type_key_class_alias": Op(lambda: type_key_class(LIST_ALIAS), (LIST_ALIAS,)),
    "display_value_text": Op(lambda: display_value(LONG_TEXT), (LONG_TEXT,)),
    "display_value_nested": Op(lambda: display_value(NESTED_VALUE, 40), (NESTED_VALUE,)),
    "display_value_quoted_text": Op(lambda: display_value(QUOTED_TEXT), (QUOTED_TEXT,)),
    "display_value_huge_int": Op(lambda: display_value(HUGE_INT), (HUGE_INT,)),
    "display_value_cycle": Op(lambda: display_value(CYCLIC_VALUE, 200), (CYCLIC_VALUE,)),
    "display_value_set": Op(lambda: display_value(SET_VALUE), (SET_VALUE,)),
    # the package's names
    "package_getattr": Op(lambda: package.__getattr__("ConfigData"), (package, ConfigData)),
    "package_dir": Op(lambda: dir(package), (package,)),
    "error_package_unknown_name": Op(raises(lambda: package.ConfigRecord, AttributeError), (package,)),
    # error paths
    "error_record_not_dict": Op(raises(lambda: from_defaults(SharedCamera, "nope")), (SharedCamera,)),
    "error_record_bad_enum_field": Op(raises(lambda: SharedService.from_defaults(BAD_SERVICE_CODEC)),
                                      (SharedService, BAD_SERVICE_CODEC, SharedCodec)),
    "error_record_nested_list_field": Op(raises(lambda: SharedService.from_defaults(BAD_SERVICE_CAMERAS)),
                                         (SharedService, BAD_SERVICE_CAMERAS, SharedShade, LIST_ALIAS)),
    "error_record_unknown_keys": Op(raises(lambda: SharedCamera.from_defaults(UNKNOWN_KEYS)),
                                    (SharedCamera, UNKNOWN_KEYS)),
    "error_located_in_root_form": Op(raises(lambda: location_of_failure(BAD_ROOT)), (SharedService, BAD_ROOT)),
    "error_union_selection": Op(raises(lambda: from_defaults(UNION_ALIAS, BAD_UNION_SELECTION)),
                                (UNION_ALIAS, BAD_UNION_SELECTION)),
    "error_union_not_dict": Op(raises(lambda: from_defaults(UNION_ALIAS, 5)), (UNION_ALIAS,)),
    "error_plain_union_not_dict": Op(raises(lambda: from_defaults(int | str, 5))),
    "error_enum_value": Op(raises(lambda: from_defaults(SharedShade, "purple")), (SharedShade,)),
    "error_plain_enum_value": Op(raises(lambda: from_defaults(SharedCodec, "vp9")), (SharedCodec,)),
    "error_list_not_list": Op(raises(lambda: from_defaults(LIST_ALIAS, "x")), (LIST_ALIAS,)),
    "error_list_bad_item": Op(raises(lambda: from_defaults(LIST_ALIAS, [{"content": "x"}])), (LIST_ALIAS,)),
    "error_list_none": Op(raises(lambda: from_defaults(list[int], None))),
    "error_tuple_length": Op(raises(lambda: from_defaults(tuple[int, str], (1,)))),
    "error_tuple_type": Op(raises(lambda: from_defaults(tuple[int, ...], {1, 2}))),
    "error_dict_not_dict": Op(raises(lambda: from_defaults(dict[str, int], [("a", 1)]))),
    "error_dict_bad_enum_key": Op(raises(lambda: from_defaults(dict[SharedCodec, int], {"vp9": 1})), (SharedCodec,)),
    "error_unknown_type_key": Op(raises(lambda: from_defaults("no_such_leak_content", 1))),
    "error_get_implementation": Op(raises(lambda: get_implementation(BaseConfigurableData, "no_such_leak")),
                                   (BaseConfigurableData,), 1000),
    "error_field_metadata_not_dict": Op(raises(lambda: SharedCamera.build_field_for_type(metadata=BAD_METADATA)),
                                        (SharedCamera, BAD_METADATA), 1000),
    "error_field_extra_metadata": Op(raises(lambda: SharedCamera.build_field_for_type(metadata=EXTRA_METADATA)),
                                     (SharedCamera, EXTRA_METADATA), 500),
    "error_field_names": Op(raises(lambda: SharedCamera.build_field_for_type(metadata=BAD_NAMES)),
                            (SharedCamera, BAD_NAMES), 1000),
    "error_build_field_metadata": Op(raises(lambda: serialize.build_field("port", int, BAD_FIELD_METADATA)),
                                     (BAD_FIELD_METADATA,), 500),
    "error_build_field_unsupported": Op(raises(lambda: serialize.build_field("x", tuple, {"default": 3}))),
    "error_unsupported_record_field": Op(raises(lambda: SharedService.build_field_for_type(value=SERVICE)),
                                         (SharedService, SERVICE), 500),
}


def _run(func, times):
    for _ in range(times):
        func()


def _measure(op):
    """Reference counts of the watched objects, traced memory, allocated blocks and C heap, before and after."""
    watched = (op.func, *op.watched)
    tracemalloc.start()
    try:
        _run(op.func, WARMUP)
        gc.collect()
        refs_before = [sys.getrefcount(obj) for obj in watched]
        blocks_before = sys.getallocatedblocks()
        heap_before = C_HEAP_IN_USE() if C_HEAP_IN_USE else 0
        memory_before = tracemalloc.get_traced_memory()[0]
        _run(op.func, op.iterations)
        gc.collect()
        memory_after = tracemalloc.get_traced_memory()[0]
        blocks_after = sys.getallocatedblocks()
        heap_after = C_HEAP_IN_USE() if C_HEAP_IN_USE else 0
        refs_after = [sys.getrefcount(obj) for obj in watched]
    finally:
        tracemalloc.stop()
    changed = [(repr(obj)[:60], before, after) for obj, before, after in zip(watched, refs_before, refs_after)
               if abs(after - before) > (CLASS_REF_NOISE if isinstance(obj, type) else 0)]
    return changed, memory_after - memory_before, blocks_after - blocks_before, heap_after - heap_before


@pytest.mark.parametrize("name", list(OPS))
def test_operation_does_not_leak(name):
    op = OPS[name]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        warnings.simplefilter("ignore", UserWarning)
        changed, grown, blocks, heap = _measure(op)
        # Caches of other tests (typing's subscription cache, for one) can let go of a class in the middle of a
        # measurement; a leak shows again in a second measurement, such a release does not.
        if changed:
            changed, grown, blocks, heap = _measure(op)
    assert not changed, f"{name}: reference counts changed over {op.iterations} calls: {changed}"
    assert grown < MEMORY_BOUND, f"{name}: traced memory grew by {grown} bytes over {op.iterations} calls"
    assert blocks < BLOCKS_BOUND, f"{name}: {blocks} more allocated blocks after {op.iterations} calls"
    assert heap < C_HEAP_BOUND, f"{name}: C heap in use grew by {heap} bytes over {op.iterations} calls"


def test_subscriptions_of_fresh_classes_are_released():
    """Subscribing many short-lived classes keeps only a bounded number of them (and their aliases) alive.

    Recently subscribed classes are kept by a bounded cache whose size shifts a little, so each kept class (a
    few KiB) moves the traced memory; leaking every class would add several MiB over this loop.
    """

    def subscribe_fresh():
        fresh = type("LeakFresh", (ConfigData,), {})
        alias = ConfigList[fresh]
        assert ConfigList[fresh] is alias and ConfigOptional[fresh] is ConfigOptional[fresh]
        assert ConfigUnion[int | fresh] is ConfigUnion[int | fresh]
        return weakref.ref(fresh), weakref.ref(alias)

    tracemalloc.start()
    try:
        _run(subscribe_fresh, WARMUP)
        gc.collect()
        memory_before = tracemalloc.get_traced_memory()[0]
        _run(subscribe_fresh, 1000)
        gc.collect()
        memory_after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    grown = memory_after - memory_before
    assert grown < 8 * MEMORY_BOUND, f"subscribing fresh classes: traced memory grew by {grown} bytes over 1000 calls"
    refs = [subscribe_fresh() for _ in range(1000)]
    gc.collect()
    alive = sum(1 for fresh, alias in refs if fresh() is not None or alias() is not None)
    assert alive <= 250, f"{alive} of 1000 freshly subscribed classes are still alive"
