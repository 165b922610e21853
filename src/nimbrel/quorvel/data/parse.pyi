"""The typed parse dispatcher: UI defaults data becomes typed values."""

from enum import Enum as Enum
from types import UnionType as UnionType
from typing import (
    TYPE_CHECKING as TYPE_CHECKING,
    Any as Any,
    Type as Type,
    TypeVar as TypeVar,
    Union as Union,
    cast as cast,
    get_args as get_args,
    get_origin as get_origin,
    overload as overload,
)
from warnings import warn as warn

from typing_extensions import TypeForm as TypeForm

from nimbrel.quorvel.core.exceptions import (
    QuorvelError as QuorvelError,
    QuorvelParseError as QuorvelParseError,
    QuorvelTypeResolutionError as QuorvelTypeResolutionError,
    QuorvelUserError as QuorvelUserError,
)
from nimbrel.quorvel.core.naming import display_class_name as display_class_name
from nimbrel.quorvel.data.base import PrimitiveArgs as PrimitiveArgs
from nimbrel.quorvel.data.content_core import (
    AliasContainerType as AliasContainerType,
    BaseConfigurableData as BaseConfigurableData,
    ConfigValue as ConfigValue,
    WrapperAlias as WrapperAlias,
)
from nimbrel.quorvel.data.enum_content import ConfigEnum
from nimbrel.quorvel.data.list_content import ConfigList
from nimbrel.quorvel.data.optional_content import ConfigOptional
from nimbrel.quorvel.data.union_content import ConfigUnion
from nimbrel.quorvel.typing.type_lookup import (
    get_implementation as get_implementation,
    resolve_generic_arg as resolve_generic_arg,
    type_key_class as type_key_class,
)

CT = TypeVar("CT", bound=ConfigValue)
K = TypeVar("K")
V = TypeVar("V")
CU = TypeVar("CU", bound=ConfigValue)
CO = TypeVar("CO", bound=ConfigValue)
L = TypeVar("L", bound=ConfigValue)
# A content class parses into an instance of itself.
_Content = TypeVar("_Content", bound=BaseConfigurableData | ConfigEnum)

@overload
def from_defaults(alias: str, data: Any) -> BaseConfigurableData | Any: ...
@overload
def from_defaults(alias: Type[_Content], data: Any) -> _Content: ...
@overload
def from_defaults(alias: TypeForm[ConfigUnion[CU]], data: Any) -> ConfigUnion[CU]: ...
@overload
def from_defaults(alias: TypeForm[ConfigOptional[CO]], data: Any) -> ConfigOptional[CO]: ...
@overload
def from_defaults(alias: TypeForm[ConfigList[L]], data: Any) -> ConfigList[L]: ...
@overload
def from_defaults(alias: TypeForm[list[CT]], data: Any) -> ConfigList[CT]: ...
@overload
def from_defaults(alias: TypeForm[tuple[CT, ...]], data: Any) -> tuple[Any, ...]: ...
@overload
def from_defaults(alias: TypeForm[tuple[Any, Any]], data: Any) -> tuple[Any, ...]: ...
@overload
def from_defaults(alias: TypeForm[dict[K, V]], data: Any) -> dict[Any, Any]: ...
@overload
def from_defaults(alias: Any, data: Any) -> Any: ...
