"""Defines the UI field schema (BaseField and its subclasses)."""

import re as re
from collections.abc import Callable as Callable
from typing import Any as Any, TypeAlias, cast as cast

from pydantic import BaseModel as BaseModel, ConfigDict as ConfigDict, Field as Field, model_validator as model_validator

from nimbrel.quorvel.data.base import BaseContent as BaseContent

class BaseField(BaseModel):
    """Base class for all UI field types with metadata and recursive behavior."""

    name: str
    description: str | None = None
    display_name: str | None = None
    type: str | None = None

    def model_post_init(self, __context: Any) -> None: ...
    @classmethod
    def default_type(cls) -> str: ...
    def model_dump(self, *args: Any, **kwargs: Any) -> dict[str, Any]: ...
    def get_children(self) -> list[BaseField]: ...
    @staticmethod
    def capitalize(content: str) -> str: ...

class FieldString(BaseField):
    default: str | None = ""

class FieldPassword(BaseField):
    default: str | None = ""

class FieldTextArea(BaseField):
    default: str | None = ""

class FieldInteger(BaseField):
    default: int | None = 0
    min: int | None = None
    max: int | None = None

class FieldFloat(BaseField):
    default: float | None = 0.0
    min: float | None = None
    max: float | None = None

class FieldBool(BaseField):
    default: bool | None = False

class FieldJsonText(BaseField):
    default: dict[str, Any]

class FieldEnum(BaseField):
    options: list[dict[str, str | int]]
    default: str | int | None = None

    def model_post_init(self, __context: Any) -> None: ...

class FieldNested(BaseField):
    fields: list[BaseField]

    def get_children(self) -> list[BaseField]: ...
    def model_dump(self, *args: Any, **kwargs: Any) -> dict[str, Any]: ...

class FieldData(FieldNested): ...

class FieldList(FieldNested):
    default: list[dict[Any, Any] | BaseContent | int | str | float | bool]

    def _validate_defaults(self) -> FieldList: ...

class FieldUnion(FieldNested):
    default: str | None = None

    def get_children(self) -> list[BaseField]: ...
    def _validate_default(self) -> FieldUnion: ...

class FieldOptional(FieldNested):
    default: bool = False

    def get_children(self) -> list[BaseField]: ...

FormField: TypeAlias = (
    FieldString
    | FieldPassword
    | FieldTextArea
    | FieldInteger
    | FieldFloat
    | FieldBool
    | FieldJsonText
    | FieldEnum
    | FieldList
    | FieldData
    | FieldUnion
    | FieldOptional
)
