"""The JSON Schema of configuration data."""

from typing import Any

def json_schema(alias: Any) -> dict[str, Any]:
    """Return the JSON Schema (draft 2020-12) of the UI defaults of `alias`."""
