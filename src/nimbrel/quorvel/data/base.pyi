"""The value vocabulary of configurable content: BaseContent and the primitive types."""

from abc import ABCMeta
from typing import TypeAlias

class BaseContent(metaclass=ABCMeta):
    """Base class of all configurable content."""

PrimitiveTypes: TypeAlias = bool | int | float | str
PrimitiveClass: TypeAlias = type[bool | int | float | str]
PrimitiveArgs: tuple[type[bool], type[int], type[float], type[str]]
