"""Record content: dataclass-style configuration classes with annotated fields."""

from dataclasses import MISSING as MISSING, dataclass as dataclass
from typing import Any as Any, Type as Type, get_type_hints as get_type_hints

from typing_extensions import Self

from nimbrel.quorvel.core.exceptions import (
    QuorvelError as QuorvelError,
    QuorvelMetadataError as QuorvelMetadataError,
    QuorvelValidationError as QuorvelValidationError,
)
from nimbrel.quorvel.core.naming import display_class_name as display_class_name, display_value as display_value
from nimbrel.quorvel.data.content_core import BaseConfigurableData as BaseConfigurableData, WrapperAlias as WrapperAlias
from nimbrel.quorvel.data.parse import from_defaults as from_defaults
from nimbrel.quorvel.data.serialize import build_field as build_field, instantiate_field as instantiate_field
from nimbrel.quorvel.fields.field_models import BaseField as BaseField, FieldData as FieldData
from nimbrel.quorvel.typing.type_lookup import type_key_class as type_key_class

@dataclass
class ConfigData(BaseConfigurableData):
    """Nested dataclass content for grouped input fields."""

    @classmethod
    def build_field_for_type(
        cls,
        value: Self | None = None,
        type_specification: WrapperAlias | None = None,
        name: str | None = None,
        metadata: dict[str, Any] | None = None,
    ) -> FieldData: ...
    def build_field(self, name: str | None = None, metadata: dict[str, Any] | None = None) -> FieldData: ...
    @classmethod
    def from_defaults(cls, data: dict[str, Any] | None | Any, alias: WrapperAlias | None = None) -> Self: ...
