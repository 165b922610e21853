"""Enumerations as configurable content."""

from enum import Enum as Enum
from typing import Any as Any, Type as Type, TypeVar as TypeVar, cast as cast

from typing_extensions import Self as Self

from nimbrel.quorvel.core.exceptions import QuorvelError as QuorvelError, QuorvelMetadataError as QuorvelMetadataError
from nimbrel.quorvel.core.naming import display_class_name as display_class_name
from nimbrel.quorvel.data.content_core import (
    BaseConfigurableData as BaseConfigurableData,
    WrapperAlias as WrapperAlias,
    build_defaults as build_defaults,
)
from nimbrel.quorvel.data.serialize import instantiate_field as instantiate_field
from nimbrel.quorvel.fields.field_models import BaseField as BaseField, FieldEnum as FieldEnum
from nimbrel.quorvel.typing.type_lookup import type_key_class as type_key_class

E = TypeVar("E", bound="ConfigEnum")

# A base for enumerations, with no members of its own.
class ConfigEnum(Enum):  # type: ignore[misc]
    """Enum content with selectable string values."""

    @classmethod
    def build_field_for_type(
        cls,
        value: Self | str | None = None,
        type_specification: WrapperAlias | None = None,
        name: str | None = None,
        metadata: dict[str, Any] | None = None,
    ) -> FieldEnum: ...
    def build_defaults(self) -> Any: ...
    @classmethod
    def from_defaults(cls, data: dict[str, Any] | Any, alias: WrapperAlias | None = None) -> Self: ...
    # Received through BaseConfigurableData.register:
    def build_field(self, name: str | None = None, metadata: dict[str, Any] | None = None) -> FieldEnum: ...
    def build_root_defaults(self) -> dict[str, Any]: ...
    def serialize_to_disk_representation(self) -> Any: ...
    @classmethod
    def parse_from_disk_representation(cls, value: Any) -> Self: ...
    @classmethod
    def load_root_defaults(cls, data: dict[str, Any], alias: WrapperAlias | None = None) -> Self: ...
