"""The same operations written as plain Python, measured next to ours.

Each peer follows the same steps as the library (same lookups, same checks) so
that the ratio shows what the compiled implementation buys.
"""

import abc
import dataclasses
import enum
import re
import threading
import types
import weakref
from types import UnionType
from typing import Any, Protocol, Union, get_args, get_origin, runtime_checkable

from pydantic import ValidationError

from nimbrel.quorvel.fields import field_models


# --- messages -------------------------------------------------------------------


def py_display_value(value: Any, value_length: int = 25) -> str:
    """The shortened value of a message, cut from the whole repr."""
    try:
        rep = repr(value)
    except AttributeError as error:
        return repr(error)
    return rep[:value_length] + (" (truncated)" if len(rep) > value_length else "")


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


# --- content contract and field builder ------------------------------------------


class PyContent(abc.ABC):
    """The default methods of the content contract, as plain Python."""

    @classmethod
    def get_subfield_descriptors(cls) -> Any:
        if dataclasses.is_dataclass(cls):
            return dataclasses.fields(cls)
        return []

    def build_defaults(self) -> Any:
        descriptors = self.get_subfield_descriptors()
        try:
            return {f.name: py_build_defaults(getattr(self, f.name)) for f in descriptors}
        except AttributeError as error:
            names = ", ".join(f.name for f in descriptors)
            raise ValueError("Missing attribute on " + type(self).__name__ + ".Required field names: " + names) from error


def py_build_defaults(val: Any) -> Any:
    if isinstance(val, PyContent):
        return val.build_defaults()
    return val


def py_instantiate_field(default_input: Any, name: str, metadata: dict[str, Any]) -> Any:
    md = dict(metadata or {})
    input_cls = md.pop("input", default_input)
    if not (isinstance(input_cls, type) and issubclass(input_cls, field_models.BaseField)):
        raise ValueError("BaseField has to be specified")
    if "name" in md:
        md_name = md.pop("name")
        if md_name != name:
            raise ValueError("Ambiguous name provided.")
    if md.get("default") is None:
        md.pop("default", None)
    display_name = md.pop("display_name", field_models.BaseField.capitalize(name))
    try:
        return input_cls(name=name, display_name=display_name, **md)
    except (TypeError, ValidationError) as error:
        raise ValueError("Invalid metadata for field") from error


_LEAF_KINDS = (
    (bool, "FieldBool"),
    (int, "FieldInteger"),
    (float, "FieldFloat"),
    (dict, "FieldJsonText"),
    (str, "FieldString"),
)


def py_build_field(name: str, value_type: Any = None, metadata: dict[str, Any] | None = None) -> Any:
    md = dict(metadata or {})
    value = md.get("default")
    if value_type is None:
        value_type = type(value)
    if value_type is type(None):
        raise ValueError("needs a type annotation")
    origin = get_origin(value_type) or value_type
    if origin == Union or origin == UnionType:
        raise ValueError("union")
    if not isinstance(origin, type):
        raise ValueError("unsupported")
    md.pop("name", None)
    if issubclass(origin, enum.Enum):
        md["options"] = [{"text": member.name, "value": member.value} for member in origin]
        if value is not None:
            md["default"] = value.value
        elif len(origin):
            md.pop("default", None)
        return py_instantiate_field(field_models.FieldEnum, name, md)
    for kind, field_class in _LEAF_KINDS:
        if issubclass(origin, kind):
            if value is not None and not isinstance(value, kind):
                raise ValueError("wrong default")
            return py_instantiate_field(getattr(field_models, field_class), name, md)
    raise ValueError("Unsupported field type")
