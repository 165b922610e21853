"""Display and naming helpers used in every message and type key."""

import re as re
from typing import Any as Any

def display_class_name(a: Any) -> str:
    """Return a human-readable name for a class type."""

def display_value(value: Any, value_length: int = 25) -> str:
    """Display a value as a human-readable string that is truncated in order to not flood the logs."""

def python_identifier_to_type_key(name: str) -> str:
    """Convert CamelCase or mixedCase identifiers to snake_case."""
