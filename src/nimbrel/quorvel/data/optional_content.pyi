"""Optional content: a configurable value that can be enabled or disabled."""

from dataclasses import dataclass as dataclass
from typing import Any as Any, Generic as Generic, Type as Type, TypeVar as TypeVar, get_origin as get_origin

from typing_extensions import Self

from nimbrel.quorvel.core.exceptions import (
    QuorvelError as QuorvelError,
    QuorvelMetadataError as QuorvelMetadataError,
    QuorvelParseError as QuorvelParseError,
    QuorvelTypeResolutionError as QuorvelTypeResolutionError,
    QuorvelValidationError as QuorvelValidationError,
)
from nimbrel.quorvel.core.naming import display_class_name as display_class_name
from nimbrel.quorvel.data.content_core import (
    BaseConfigurableData as BaseConfigurableData,
    ConfigType as ConfigType,
    ConfigValue as ConfigValue,
    WrapperAlias as WrapperAlias,
    build_defaults as build_defaults,
    require_valid_config_type as require_valid_config_type,
)
from nimbrel.quorvel.data.parse import from_defaults as from_defaults
from nimbrel.quorvel.data.serialize import build_field as build_field, instantiate_field as instantiate_field
from nimbrel.quorvel.fields.field_models import BaseField as BaseField, FieldOptional as FieldOptional
from nimbrel.quorvel.typing.generic_params import GenericWithArgs as GenericWithArgs
from nimbrel.quorvel.typing.type_lookup import (
    resolve_generic_arg as resolve_generic_arg,
    type_key_class as type_key_class,
)

T = TypeVar("T", bound=ConfigValue)

@dataclass
class ConfigOptional(GenericWithArgs, Generic[T], BaseConfigurableData):
    """Class containing optional data. The argument needs to be of type BaseConfigurableData or a Primitive type."""

    content: T | None = None

    @classmethod
    def _contained_type(cls, alias: WrapperAlias) -> ConfigType:
        """Simple utility function that checks the contained type and returns it."""
    @classmethod
    def build_field_for_type(
        cls,
        value: Self | None = None,
        type_specification: WrapperAlias | None = None,
        name: str | None = None,
        metadata: dict[str, Any] | None = None,
    ) -> FieldOptional: ...
    def build_field(self, name: str | None = None, metadata: dict[str, Any] | None = None) -> FieldOptional: ...
    def build_defaults(self) -> dict[str, Any]:
        """Create a nested default dictionary for representation in UI."""
    @classmethod
    def from_defaults(cls, data: dict[str, Any] | Any, alias: WrapperAlias | None = None) -> Self: ...
    def __class_getitem__(cls, item: Any) -> Any:
        """Validate generic argument at alias creation time."""
