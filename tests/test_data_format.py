"""The examples in docs/data-format.md are data of the classes they name: each parses, is accepted by the JSON
Schema of its class, and is written back as it stands."""

import json
import pathlib
import re
import warnings

import docs_format
import jsonschema
import pytest

from nimbrel.quorvel.data.check import check
from nimbrel.quorvel.data.parse import from_defaults
from nimbrel.quorvel.data.schema import json_schema
from nimbrel.quorvel.typing.type_lookup import type_key_class

DOC = pathlib.Path(__file__).resolve().parent.parent / "docs" / "data-format.md"
# <!-- example: docs_format.Name --> (or "... root -->" for the root representation), then a ```json block.
EXAMPLE = re.compile(r"<!-- example: docs_format\.(\w+)( root)? -->\n```json\n(.*?)\n```", re.DOTALL)
EXAMPLES = EXAMPLE.findall(DOC.read_text())


def test_the_document_has_examples_and_every_json_block_is_one():
    assert len(EXAMPLES) >= 14
    assert DOC.read_text().count("```json") == len(EXAMPLES)


@pytest.mark.parametrize("name, root, text", EXAMPLES, ids=[f"{n}{r}-{i}" for i, (n, r, _) in enumerate(EXAMPLES)])
def test_example_parses_validates_and_is_written_back(name, root, text):
    alias = getattr(docs_format, name)
    data = json.loads(text)
    schema = json_schema(alias)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # list[...] fields are read as ConfigList
        if root:
            value = alias.load_root_defaults(data)
            written = value.build_root_defaults()
            defaults = data[type_key_class(alias)]
        else:
            value = from_defaults(alias, data)
            written = value.build_defaults()
            defaults = data
    jsonschema.validate(defaults, schema)
    assert check(value) == []
    assert json.loads(json.dumps(written)) == data
