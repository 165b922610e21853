"""Type arguments of generic types, type keys and the lookup of implementations by key."""

from logging import Logger, getLogger as getLogger
from typing import (
    Any as Any,
    Protocol as Protocol,
    Type as Type,
    TypeVar as TypeVar,
    cast as cast,
    get_args as get_args,
    get_origin as get_origin,
    overload as overload,
    runtime_checkable as runtime_checkable,
)

from typing_extensions import Never as Never

from nimbrel.quorvel.core.exceptions import (
    QuorvelImplementationError as QuorvelImplementationError,
    QuorvelUserError as QuorvelUserError,
)
from nimbrel.quorvel.core.naming import python_identifier_to_type_key as python_identifier_to_type_key
from nimbrel.quorvel.data.base import BaseContent as BaseContent

logger: Logger

def type_args_of(tp: Any, *, of: Any | None = None) -> tuple[Any, ...]:
    """Return type arguments for a typing alias or a subclass of a generic."""

def resolve_generic_arg(tp: Any, *, index: int = 0, default: Any = Any, of: Any | None = None) -> Any:
    """Resolve a single generic argument at `index` from `tp`."""

def resolve_generic_args(tp: Any, *, of: Any | None = None) -> tuple[Any, ...]:
    """Resolve generic arguments."""

_TSupports = TypeVar("_TSupports", bound="SupportsTypeKey")

@runtime_checkable
class SupportsTypeKey(Protocol):
    """Protocol for classes that support a type key classmethod."""

    @classmethod
    def type_key(cls: Type[_TSupports]) -> str:
        """Return the string identifier of the type, used for Union dispatch."""

@overload
def type_key(bc: Type[Any]) -> Never: ...
@overload
def type_key(bc: BaseContent | object) -> str: ...
def type_key_class(tp: Type[Any] | str) -> str:
    """Return the type key of an arbitrary type."""

__get_implementation_type = TypeVar("__get_implementation_type")

def get_implementation(
    super_class: Type[__get_implementation_type],
    sub_class_name: str | None,
    default: Type[__get_implementation_type] | None = None,
    ignore_list: list[Type[__get_implementation_type]] | None = None,
    continue_multiple: bool = False,
) -> Type[__get_implementation_type]:
    """Return the subclass of #super_class that match the #sub_class_name."""

def get_implementations(
    super_class: Type[__get_implementation_type],
    sub_class_name: str | None = None,
    ignore_list: list[Type[__get_implementation_type]] | None = None,
) -> list[Type[__get_implementation_type]]:
    """Return list of subclasses of #super_class that match the #sub_class_name."""

__subclasses_tv = TypeVar("__subclasses_tv")

def subclasses(super_class: Type[__subclasses_tv]) -> set[Type[__subclasses_tv]]:
    """Iteratively gather all descendents of the provided #super_class."""
