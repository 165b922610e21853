"""Free JSON objects as configurable content."""

from typing import Any as Any, Type as Type

from typing_extensions import Self as Self

from nimbrel.quorvel.core.exceptions import (
    QuorvelMetadataError as QuorvelMetadataError,
    QuorvelValidationError as QuorvelValidationError,
)
from nimbrel.quorvel.core.naming import display_class_name as display_class_name
from nimbrel.quorvel.data.content_core import BaseConfigurableData as BaseConfigurableData, WrapperAlias as WrapperAlias
from nimbrel.quorvel.data.serialize import instantiate_field as instantiate_field
from nimbrel.quorvel.fields.field_models import BaseField as BaseField, FieldJsonText as FieldJsonText
from nimbrel.quorvel.typing.type_lookup import type_key_class as type_key_class

class ConfigUntypedDict(dict[str, Any], BaseConfigurableData):
    """Untyped JSON object payload."""

    @classmethod
    def build_field_for_type(
        cls,
        value: Self | None = None,
        type_specification: WrapperAlias | None = None,
        name: str | None = None,
        metadata: dict[str, Any] | None = None,
    ) -> FieldJsonText: ...
    def build_field(self, name: str | None = None, metadata: dict[str, Any] | None = None) -> FieldJsonText: ...
    def build_defaults(self) -> dict[str, Any]: ...
    @classmethod
    def from_defaults(cls, data: dict[str, Any] | Any, alias: WrapperAlias | None = None) -> Self: ...
