"""The configurable content contract: BaseConfigurableData, its aliases and helpers."""

import inspect as inspect
from abc import ABCMeta as ABCMeta, abstractmethod as abstractmethod
from collections.abc import Iterable as Iterable
from dataclasses import Field as Field, dataclass as dataclass, fields as fields, is_dataclass as is_dataclass
from types import GenericAlias as GenericAlias
from typing import (
    TYPE_CHECKING as TYPE_CHECKING,
    Any as Any,
    Type as Type,
    TypeAlias as TypeAlias,
    TypeVar as TypeVar,
    cast as cast,
    get_origin as get_origin,
)

from typing_extensions import Self, TypeForm as TypeForm

from nimbrel.quorvel.core.exceptions import QuorvelError as QuorvelError
from nimbrel.quorvel.core.exceptions import QuorvelImplementationError as QuorvelImplementationError
from nimbrel.quorvel.core.naming import display_class_name as display_class_name, display_value as display_value
from nimbrel.quorvel.data.base import (
    BaseContent as BaseContent,
    PrimitiveArgs as PrimitiveArgs,
    PrimitiveClass as PrimitiveClass,
    PrimitiveTypes as PrimitiveTypes,
)
from nimbrel.quorvel.data.enum_content import ConfigEnum
from nimbrel.quorvel.fields.field_models import BaseField as BaseField
from nimbrel.quorvel.typing.type_lookup import type_key_class as type_key_class

AliasContainerType: TypeAlias = TypeForm[Any] | GenericAlias
C = TypeVar("C", bound="BaseConfigurableData")
WrapperAlias: TypeAlias = Type["BaseConfigurableData"] | AliasContainerType
_T = TypeVar("_T")

def build_defaults(val: Any) -> Any:
    """Convert a value into its default representation."""

@dataclass
class BaseConfigurableData(BaseContent):
    """Concrete content that works with dataclass-style fields to generate UI."""

    @classmethod
    def get_subfield_descriptors(cls) -> Iterable[Field[Any]]: ...
    @classmethod
    @abstractmethod
    def build_field_for_type(
        cls,
        value: Self | None = None,
        type_specification: WrapperAlias | None = None,
        name: str | None = None,
        metadata: dict[str, Any] | None = None,
    ) -> BaseField: ...
    def build_field(self, name: str | None = None, metadata: dict[str, Any] | None = None) -> BaseField: ...
    def build_defaults(self) -> dict[str, Any] | Any: ...
    def build_root_defaults(self) -> dict[str, Any]: ...
    def serialize_to_disk_representation(self) -> dict[str, Any] | Any: ...
    # Each content kind parses into the class it is called on, so these return
    # that class: `Gateway.from_defaults(data)` is a `Gateway`.
    @classmethod
    @abstractmethod
    def from_defaults(cls, data: dict[str, Any] | Any, alias: WrapperAlias | None = None) -> Self: ...
    @classmethod
    def parse_from_disk_representation(cls, value: Any) -> Self: ...
    @classmethod
    def load_root_defaults(cls, data: dict[str, Any], alias: WrapperAlias | None = None) -> Self:
        """Load as root."""
    @classmethod
    def register(cls, subclass: Type[_T]) -> None:
        """Register base class and copy all functions! Raise if abstract method not implemented."""

# ConfigEnum is registered as a virtual subclass of BaseConfigurableData, which
# a checker cannot see from its bases, so its members are named here as values.
ConfigValue: TypeAlias = BaseConfigurableData | ConfigEnum | PrimitiveTypes
ConfigType: TypeAlias = Type[BaseConfigurableData] | PrimitiveClass | AliasContainerType

def require_valid_config_value(value: Any, *, ctx: str = "value") -> ConfigValue:
    """Validate that a runtime value is BaseConfigurableData or a primitive, else raise."""

def require_valid_config_type(tp: Any, *, ctx: str = "type") -> ConfigType:
    """Validate that a type is a BaseConfigurableData subclass or a primitive class, else raise."""

def inject_and_validate(provider: Type[Any], target: Type[Any]) -> None:
    """Inject non-abstract public attributes from provider (including bases) and enforce abstracts."""
