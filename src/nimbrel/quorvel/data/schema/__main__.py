"""Prints the JSON Schema of a configuration class, for an editor to check files against:

    python -m nimbrel.quorvel.data.schema module:Class
"""

import importlib
import json
import sys

from nimbrel.quorvel.core.exceptions import QuorvelError
from nimbrel.quorvel.data.schema import json_schema

USAGE = "usage: python -m nimbrel.quorvel.data.schema module:Class"


def fail(message: str, status: int = 2) -> None:
    print(f"error: {message}", file=sys.stderr)
    sys.exit(status)


def target(argv: list[str]) -> object:
    """The object `module:Class` names (the class may be a dotted path inside the module)."""
    if len(argv) != 1:
        fail(f"expected one argument, got {len(argv)} ({USAGE})")
    module_name, colon, path = argv[0].partition(":")
    if not colon or not module_name or not path:
        fail(f"expected module:Class, got {argv[0]!r} ({USAGE})")
    try:
        found = importlib.import_module(module_name)
    except Exception as error:  # whatever the module raises while it loads, it cannot be used
        fail(f"cannot import {module_name!r}: {type(error).__name__}: {error}".replace("\n", " "))
    for name in path.split("."):
        if not hasattr(found, name):
            fail(f"{module_name!r} has no attribute {path!r}")
        found = getattr(found, name)
    return found


def main(argv: list[str]) -> None:
    alias = target(argv)
    try:
        schema = json_schema(alias)
    except TypeError as error:
        fail(f"{argv[0]}: {error}")
    except QuorvelError as error:
        fail(f"cannot write the schema of {argv[0]}: {error}".replace("\n", " "), 1)
    print(json.dumps(schema, indent=2))


main(sys.argv[1:])
