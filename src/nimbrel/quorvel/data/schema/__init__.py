"""The JSON Schema of configuration data: `json_schema(alias)`, and on the command line
`python -m nimbrel.quorvel.data.schema module:Class`."""

from nimbrel.quorvel.data.schema._schema import json_schema

__all__ = ["json_schema"]
