"""The same operations written as plain Python, measured next to ours.

Each peer follows the same steps as the library (same lookups, same checks) so
that the ratio shows what the compiled implementation buys.
"""

import re
import threading
import types
import weakref
from typing import Any, Protocol, get_args, get_origin, runtime_checkable


# --- type machinery ------------------------------------------------------------


class PyGenericWithArgs:
    __type_args__: tuple[Any, ...] | None = None
    __origin__: Any = None
    _cache: weakref.WeakValueDictionary = weakref.WeakValueDictionary()
    _lock = threading.RLock()

    def __init_subclass__(cls) -> None:
        super().__init_subclass__()
        cls.__origin__ = cls.__origin__ or cls

    def __class_getitem__(cls, item: Any) -> Any:
        args = item if isinstance(item, tuple) else (item,)
        origin = cls.__origin__ or cls
        key = (origin, args)
        cached = origin._cache.get(key)
        if cached is not None:
            return cached

        def body(ns: dict[str, Any]) -> None:
            ns["__origin__"] = origin
            ns["__type_args__"] = args

        with origin._lock:
            cached = origin._cache.get(key)
            if cached is None:
                cached = types.new_class(origin.__name__ + "[...]", (origin,), exec_body=body)
                cached.__module__ = origin.__module__
                origin._cache[key] = cached
        return cached


_MISSING = object()


def py_type_args_of(tp: Any, *, of: Any = None) -> tuple[Any, ...]:
    origin = getattr(tp, "__origin__", None)
    stored = getattr(tp, "__type_args__", None)
    if stored is not None and (of is None or origin is of):
        return stored
    direct = get_args(tp)
    if direct and (of is None or get_origin(tp) is of):
        return direct
    for cls in getattr(tp, "__mro__", (tp,)):
        for base in getattr(cls, "__orig_bases__", ()):
            base_origin = get_origin(base)
            args = get_args(base)
            if args and (of is None or base_origin is of):
                return args
    return ()


def py_identifier_to_type_key(name: str) -> str:
    if not name:
        return name
    match = re.match(r"^_+", name)
    leading = match.group(0) if match else ""
    core = name[len(leading):]
    core = re.sub(r"([a-z0-9])([A-Z])", r"\1_\2", core)
    core = re.sub(r"([A-Z]+)([A-Z][a-z])", r"\1_\2", core)
    core = re.sub(r"_+", "_", core)
    return leading + core.lower()


@runtime_checkable
class PySupportsTypeKey(Protocol):
    @classmethod
    def type_key(cls) -> str: ...


def py_type_key_class(tp: Any) -> str:
    if isinstance(tp, str):
        return tp
    try:
        if issubclass(tp, PySupportsTypeKey):
            return tp.type_key()
    except TypeError as error:
        raise ValueError("Invalid type key lookup: " + str(tp)) from error
    return py_identifier_to_type_key(tp.__name__)


def py_subclasses(super_class: type) -> set[type]:
    if not hasattr(super_class, "__subclasses__"):
        return set()
    found = super_class.__subclasses__()
    seen: set[type] = set()
    position = 0
    while position < len(found):
        cls = found[position]
        if cls not in seen:
            seen.add(cls)
            found.extend(cls.__subclasses__())
        position += 1
    return set(found)


def py_get_implementation(super_class: type, sub_class_name: str | None) -> type:
    candidates = [
        s for s in py_subclasses(super_class) if sub_class_name is None or py_type_key_class(s) == sub_class_name
    ]
    if len(candidates) > 1:
        raise ValueError("Name ambiguity")
    if not candidates:
        raise LookupError("Class for " + str(sub_class_name) + " not found.")
    return candidates[0]
