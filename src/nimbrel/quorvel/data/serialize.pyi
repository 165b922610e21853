"""The field builder: names, annotations and metadata become UI field models."""

from enum import Enum as Enum
from types import UnionType as UnionType
from typing import (
    Any as Any,
    Type as Type,
    TypeVar as TypeVar,
    Union as Union,
    cast as cast,
    get_args as get_args,
    get_origin as get_origin,
)

from pydantic import ValidationError as ValidationError

from nimbrel.quorvel.core.exceptions import (
    QuorvelError as QuorvelError,
    QuorvelSchemaError as QuorvelSchemaError,
    QuorvelTypeResolutionError as QuorvelTypeResolutionError,
)
from nimbrel.quorvel.data.base import PrimitiveClass as PrimitiveClass
from nimbrel.quorvel.data.content_core import (
    AliasContainerType as AliasContainerType,
    BaseConfigurableData as BaseConfigurableData,
    WrapperAlias as WrapperAlias,
)
from nimbrel.quorvel.fields.field_models import (
    BaseField as BaseField,
    FieldBool as FieldBool,
    FieldEnum as FieldEnum,
    FieldFloat as FieldFloat,
    FieldInteger as FieldInteger,
    FieldJsonText as FieldJsonText,
    FieldString as FieldString,
)

C = TypeVar("C", bound="BaseConfigurableData")

def build_field(
    name: str,
    value_type: Type[BaseConfigurableData] | PrimitiveClass | AliasContainerType | UnionType | None = None,
    metadata: dict[str, Any] | None = None,
) -> BaseField:
    """Fallback: build a field for a particular value."""

B = TypeVar("B", bound=BaseField)

def instantiate_field(default_input: Type[B] | None, name: str, metadata: dict[str, Any]) -> B | BaseField:
    """Used to instantiate UI fields."""
