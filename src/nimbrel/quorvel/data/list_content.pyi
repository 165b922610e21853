"""List content: repeated configurable items as a Python list."""

from collections.abc import Iterable
from typing import Any as Any, Type as Type, TypeVar as TypeVar, get_origin as get_origin, overload

from typing_extensions import Self

from nimbrel.quorvel.core.exceptions import (
    QuorvelError as QuorvelError,
    QuorvelMetadataError as QuorvelMetadataError,
    QuorvelParseError as QuorvelParseError,
    QuorvelTypeResolutionError as QuorvelTypeResolutionError,
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
from nimbrel.quorvel.fields.field_models import BaseField as BaseField, FieldList as FieldList
from nimbrel.quorvel.typing.generic_params import GenericWithArgs as GenericWithArgs
from nimbrel.quorvel.typing.type_lookup import (
    resolve_generic_arg as resolve_generic_arg,
    type_key_class as type_key_class,
)

T = TypeVar("T", bound=ConfigValue)

class ConfigList(GenericWithArgs, list[T], BaseConfigurableData):
    """List content of repeated items (e.g., dataclasses or other wrappers)."""

    # list's own constructor, reached through GenericWithArgs.__init__.
    @overload
    def __init__(self) -> None: ...
    @overload
    def __init__(self, iterable: Iterable[T], /) -> None: ...
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
    ) -> FieldList: ...
    def build_field(self, name: str | None = None, metadata: dict[str, Any] | None = None) -> FieldList: ...
    def build_defaults(self) -> list[Any]:
        """Emit list items as row objects under 'content'."""
    @classmethod
    def from_defaults(cls, data: dict[str, Any] | Any | None, alias: WrapperAlias | None = None) -> Self: ...
    def __class_getitem__(cls, item: Any) -> Any:
        """Validate generic argument at alias creation time."""
