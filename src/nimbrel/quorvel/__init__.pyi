"""Typed configuration for Python applications: UI forms, UI defaults, disk and root representations.

The content kinds, `check`, `json_schema`, the error classes and the field kinds can all be
imported from here; each is loaded from the module that defines it when it is first used.
"""

from nimbrel.quorvel.core.exceptions import (
    QuorvelError as QuorvelError,
    QuorvelImplementationError as QuorvelImplementationError,
    QuorvelMetadataError as QuorvelMetadataError,
    QuorvelParseError as QuorvelParseError,
    QuorvelSchemaError as QuorvelSchemaError,
    QuorvelTypeResolutionError as QuorvelTypeResolutionError,
    QuorvelUserError as QuorvelUserError,
    QuorvelValidationError as QuorvelValidationError,
)
from nimbrel.quorvel.data.check import Problem as Problem, check as check
from nimbrel.quorvel.data.enum_content import ConfigEnum as ConfigEnum
from nimbrel.quorvel.data.json_content import ConfigUntypedDict as ConfigUntypedDict
from nimbrel.quorvel.data.list_content import ConfigList as ConfigList
from nimbrel.quorvel.data.optional_content import ConfigOptional as ConfigOptional
from nimbrel.quorvel.data.record_content import ConfigData as ConfigData
from nimbrel.quorvel.data.schema import json_schema as json_schema
from nimbrel.quorvel.data.union_content import ConfigUnion as ConfigUnion
from nimbrel.quorvel.fields.field_models import (
    BaseField as BaseField,
    FieldBool as FieldBool,
    FieldData as FieldData,
    FieldEnum as FieldEnum,
    FieldFloat as FieldFloat,
    FieldInteger as FieldInteger,
    FieldJsonText as FieldJsonText,
    FieldList as FieldList,
    FieldOptional as FieldOptional,
    FieldPassword as FieldPassword,
    FieldString as FieldString,
    FieldTextArea as FieldTextArea,
    FieldUnion as FieldUnion,
)

__all__ = [
    "ConfigData",
    "ConfigList",
    "ConfigOptional",
    "ConfigUnion",
    "ConfigEnum",
    "ConfigUntypedDict",
    "check",
    "Problem",
    "json_schema",
    "QuorvelError",
    "QuorvelParseError",
    "QuorvelTypeResolutionError",
    "QuorvelUserError",
    "QuorvelMetadataError",
    "QuorvelValidationError",
    "QuorvelImplementationError",
    "QuorvelSchemaError",
    "BaseField",
    "FieldString",
    "FieldPassword",
    "FieldTextArea",
    "FieldInteger",
    "FieldFloat",
    "FieldBool",
    "FieldJsonText",
    "FieldEnum",
    "FieldData",
    "FieldList",
    "FieldUnion",
    "FieldOptional",
]

def __dir__() -> list[str]:
    """The names of the package, including those not loaded yet."""
