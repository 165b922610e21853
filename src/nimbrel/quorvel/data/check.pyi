"""Typed problems of parsed configurations: what parsing leaves out, reported as data."""

from dataclasses import dataclass as dataclass
from enum import Enum as Enum
from types import UnionType as UnionType
from typing import Any as Any, get_args as get_args, get_origin as get_origin, get_type_hints as get_type_hints

from nimbrel.quorvel.core.naming import display_class_name as display_class_name, display_value as display_value
from nimbrel.quorvel.data.content_core import BaseConfigurableData as BaseConfigurableData
from nimbrel.quorvel.data.enum_content import ConfigEnum
from nimbrel.quorvel.data.json_content import ConfigUntypedDict as ConfigUntypedDict
from nimbrel.quorvel.data.list_content import ConfigList as ConfigList
from nimbrel.quorvel.data.optional_content import ConfigOptional as ConfigOptional
from nimbrel.quorvel.data.record_content import ConfigData as ConfigData
from nimbrel.quorvel.data.union_content import ConfigUnion as ConfigUnion
from nimbrel.quorvel.typing.type_lookup import type_key_class as type_key_class

@dataclass(frozen=True)
class Problem:
    """One problem `check` found in a configuration value."""

    location: tuple[str | int, ...]
    pointer: str
    code: str
    message: str

def check(value: BaseConfigurableData | ConfigEnum) -> list[Problem]:
    """Report the typed problems of a parsed configuration value."""
