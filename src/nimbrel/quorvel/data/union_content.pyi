"""Union content: one of several member types, selected by type key."""

from dataclasses import dataclass as dataclass
from types import UnionType as UnionType
from typing import (
    Any as Any,
    Generic as Generic,
    Type as Type,
    TypeVar as TypeVar,
    Union as Union,
    get_args as get_args,
    get_origin as get_origin,
)

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
    ConfigValue as ConfigValue,
    WrapperAlias as WrapperAlias,
    build_defaults as build_defaults,
    require_valid_config_type as require_valid_config_type,
    require_valid_config_value as require_valid_config_value,
)
from nimbrel.quorvel.data.parse import from_defaults as from_defaults
from nimbrel.quorvel.data.serialize import build_field as build_field, instantiate_field as instantiate_field
from nimbrel.quorvel.fields.field_models import BaseField as BaseField, FieldUnion as FieldUnion
from nimbrel.quorvel.typing.generic_params import GenericWithArgs as GenericWithArgs
from nimbrel.quorvel.typing.type_lookup import (
    resolve_generic_arg as resolve_generic_arg,
    resolve_generic_args as resolve_generic_args,
    type_key_class as type_key_class,
)

U = TypeVar("U", bound=ConfigValue)

@dataclass
class ConfigUnion(GenericWithArgs, Generic[U], BaseConfigurableData):
    """Templated union of multiple types selectable via UI."""

    # The selected member's value: `ConfigUnion[A | B]` holds an `A | B`. The
    # constructor takes None as well, for a union nothing is selected in yet,
    # but such a union has no UI defaults, so a checker asks for a member.
    content: U

    @classmethod
    def _contained_types(cls, alias: WrapperAlias) -> list[Type[Any]]:
        """Simple utility function that checks the member args and returns them."""
    @property
    def selected(self) -> str | None:
        """Return the identifier of the current selection."""
    @classmethod
    def build_field_for_type(
        cls,
        value: Self | None = None,
        type_specification: WrapperAlias | None = None,
        name: str | None = None,
        metadata: dict[str, Any] | None = None,
    ) -> FieldUnion:
        """Transform an instance of this class or None into the representation of this class."""
    def build_field(self, name: str | None = None, metadata: dict[str, Any] | None = None) -> FieldUnion: ...
    def build_defaults(self) -> dict[str, Any]:
        """Create a nested default dictionary for representation in UI."""
    @classmethod
    def from_defaults(cls, data: dict[str, Any] | Any, alias: WrapperAlias | None = None) -> Self: ...
    def __class_getitem__(cls, item: Any) -> Any:
        """Validate generic argument at alias creation time."""
