"""Workloads: one statement each, with the names it uses bound to our objects and to the peer's."""

import dataclasses
import enum
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

import python_peers as py

from nimbrel.quorvel.core import naming
from nimbrel.quorvel.data import check, content_core, serialize
from nimbrel.quorvel.typing import generic_params, type_lookup


@dataclass
class Workload:
    name: str
    statement: str
    ours: dict[str, Any]
    peer: dict[str, Any]


def _descendants(base: type, count: int) -> list[type]:
    """A tree of `count` classes under `base`, a few levels deep."""
    made: list[type] = []
    parents = [base]
    while len(made) < count:
        parent = parents[len(made) // 4]
        made.append(type(f"Impl{len(made)}Settings", (parent,), {}))
        parents.append(made[-1])
    return made


def type_machinery() -> Iterator[Workload]:
    class Box(generic_params.GenericWithArgs):
        pass

    class PyBox(py.PyGenericWithArgs):
        pass

    ours = {"Box": Box, "alias": Box[int]}
    peer = {"Box": PyBox, "alias": PyBox[int]}
    yield Workload("subscription, cache hit", "Box[int]", ours, peer)
    yield Workload(
        "type_args_of(parametrised class)",
        "type_args_of(alias)",
        {**ours, "type_args_of": type_lookup.type_args_of},
        {**peer, "type_args_of": py.py_type_args_of},
    )

    class ModelSettings:
        pass

    yield Workload(
        "type_key_class(plain class)",
        "type_key_class(ModelSettings)",
        {"type_key_class": type_lookup.type_key_class, "ModelSettings": ModelSettings},
        {"type_key_class": py.py_type_key_class, "ModelSettings": ModelSettings},
    )

    class Base:
        pass

    # The namespaces keep the descendants alive: a class list only holds them weakly.
    descendants = _descendants(Base, 200)
    names = {"Base": Base, "target": type_lookup.type_key_class(descendants[137]), "descendants": descendants}
    yield Workload(
        "get_implementation, 200 descendants",
        "get_implementation(Base, target)",
        {**names, "get_implementation": type_lookup.get_implementation},
        {**names, "get_implementation": py.py_get_implementation},
    )


def _settings_class(base: type) -> type:
    """A dataclass under `base` with 20 primitive fields, five of each kind."""
    kinds = [(int, 7), (str, "text"), (float, 0.5), (bool, True)]
    namespace: dict[str, Any] = {"__annotations__": {}}
    for index in range(20):
        kind, default = kinds[index % 4]
        namespace["__annotations__"][f"field_{index}"] = kind
        namespace[f"field_{index}"] = default
    return dataclasses.dataclass(type("Settings20", (base,), namespace))


def content_contract() -> Iterator[Workload]:
    class Content(content_core.BaseConfigurableData):
        @classmethod
        def build_field_for_type(cls, value=None, type_specification=None, name=None, metadata=None):
            raise NotImplementedError

        @classmethod
        def from_defaults(cls, data, alias=None):
            raise NotImplementedError

    ours = _settings_class(Content)()
    peer = _settings_class(py.PyContent)()
    yield Workload("build_defaults, 20 primitive fields", "value.build_defaults()", {"value": ours}, {"value": peer})


class Quality(enum.Enum):
    LOW = "low"
    HIGH = "high"


def field_builder() -> Iterator[Workload]:
    cases = [
        ("bool", bool, {"default": True}),
        ("int", int, {"default": 8080, "min": 1, "max": 65535}),
        ("float", float, {"default": 0.5, "description": "ratio"}),
        ("dict", dict, {"default": {"a": 1}}),
        ("str", str, {"default": "host", "display_name": "Host"}),
        ("enum", Quality, {"default": Quality.HIGH}),
    ]
    for label, annotation, metadata in cases:
        names = {"annotation": annotation, "metadata": metadata}
        yield Workload(
            f"build_field({label})",
            "build_field('field', annotation, metadata)",
            {**names, "build_field": serialize.build_field},
            {**names, "build_field": py.py_build_field},
        )


def content_kinds() -> Iterator[Workload]:
    import record_workload

    ours, peer = record_workload.names()
    yield Workload("record: from_defaults vs model_validate", "cls.from_defaults(data)", ours,
                   {**peer, "cls": _Validate(peer["cls"])})
    yield Workload("record: build_defaults vs model_dump", "value.build_defaults()", ours,
                   {**peer, "value": _Dump(peer["value"])})
    yield Workload("record: form dump vs model_json_schema", "cls.build_field_for_type(value=value).model_dump()",
                   ours, {**peer, "cls": _Schema(peer["cls"])})
    # Checking a value must cost no more than building its UI defaults: the peer column is build_defaults on the
    # same value, called the same way.
    yield Workload("record: check vs build_defaults", "check(value)", {**ours, "check": check.check},
                   {**ours, "check": type(ours["value"]).build_defaults})


class _Validate:
    """Lets one statement call `from_defaults` on ours and `model_validate` on pydantic."""

    def __init__(self, model: Any) -> None:
        self.from_defaults = model.model_validate


class _Dump:
    def __init__(self, value: Any) -> None:
        self.build_defaults = value.model_dump


class _Schema:
    def __init__(self, model: Any) -> None:
        self.model = model

    def build_field_for_type(self, value: Any) -> Any:
        return self

    def model_dump(self) -> Any:
        return self.model.model_json_schema()


def service() -> Iterator[Workload]:
    import service_workload

    for count in service_workload.SIZES:
        names = service_workload.namespaces(count)
        for peer in ("pydantic", "msgspec"):
            yield Workload(f"service N={count}: from_defaults vs {peer}", "cls.from_defaults(data)",
                           names["quorvel"], names[peer])
            yield Workload(f"service N={count}: build_defaults vs {peer}", "value.build_defaults()",
                           names["quorvel"], names[peer])


def messages() -> Iterator[Workload]:
    cases = [
        ("10,000 rows of data", [{"name": f"row{i}", "tags": ["a", "b"], "ratio": i / 7} for i in range(10_000)]),
        ("1 MB str", "'quoted' " * 116_509),
        ("dict nested 500 deep", _nested_dict(500)),
    ]
    for label, value in cases:
        yield Workload(f"display_value({label})", "display_value(value)",
                       {"value": value, "display_value": naming.display_value},
                       {"value": value, "display_value": py.py_display_value})


def _nested_dict(depth: int) -> dict[str, Any]:
    data: dict[str, Any] = {"leaf": 0}
    for _ in range(depth):
        data = {"default": True, "content": data}
    return data


def schema_writer() -> Iterator[Workload]:
    import record_workload

    from nimbrel.quorvel.data.schema import json_schema

    ours, peer = record_workload.names()
    yield Workload("record: json_schema vs model_json_schema", "json_schema(cls)",
                   {**ours, "json_schema": json_schema}, {**peer, "json_schema": lambda model: model.model_json_schema()})


def all_workloads() -> Iterator[Workload]:
    yield from messages()
    yield from type_machinery()
    yield from content_contract()
    yield from field_builder()
    yield from content_kinds()
    yield from schema_writer()
    yield from service()
