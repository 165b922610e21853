"""Workloads: one statement each, with the names it uses bound to our objects and to the peer's."""

from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

import python_peers as py

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

    target = type_lookup.type_key_class(_descendants(Base, 200)[137])
    yield Workload(
        "get_implementation, 200 descendants",
        "get_implementation(Base, target)",
        {"get_implementation": type_lookup.get_implementation, "Base": Base, "target": target},
        {"get_implementation": py.py_get_implementation, "Base": Base, "target": target},
    )


def all_workloads() -> Iterator[Workload]:
    yield from type_machinery()
