"""The package itself: one import for every public name, each loaded from its own module on first use, so that
importing the package alone loads no module of the library and not pydantic."""

import ast
import importlib
import importlib.machinery
import importlib.metadata
import importlib.resources
import json
import pathlib
import subprocess
import sys

import pytest

import nimbrel.quorvel as package
from conftest import ROOT

# Each public name and the module it comes from.
PUBLIC = {
    "ConfigData": "nimbrel.quorvel.data.record_content",
    "ConfigList": "nimbrel.quorvel.data.list_content",
    "ConfigOptional": "nimbrel.quorvel.data.optional_content",
    "ConfigUnion": "nimbrel.quorvel.data.union_content",
    "ConfigEnum": "nimbrel.quorvel.data.enum_content",
    "ConfigUntypedDict": "nimbrel.quorvel.data.json_content",
    "check": "nimbrel.quorvel.data.check",
    "Problem": "nimbrel.quorvel.data.check",
    "json_schema": "nimbrel.quorvel.data.schema",
    **{name: "nimbrel.quorvel.core.exceptions" for name in [
        "QuorvelError", "QuorvelParseError", "QuorvelTypeResolutionError", "QuorvelUserError", "QuorvelMetadataError",
        "QuorvelValidationError", "QuorvelImplementationError", "QuorvelSchemaError"]},
    **{name: "nimbrel.quorvel.fields.field_models" for name in [
        "BaseField", "FieldString", "FieldPassword", "FieldTextArea", "FieldInteger", "FieldFloat", "FieldBool",
        "FieldJsonText", "FieldEnum", "FieldData", "FieldList", "FieldUnion", "FieldOptional"]},
}
STUB = ROOT / "src" / "nimbrel" / "quorvel" / "__init__.pyi"


def run_fresh(code: str) -> object:
    """Runs `code` in a fresh interpreter and returns the JSON it prints last."""
    done = subprocess.run([sys.executable, "-c", code], cwd=ROOT, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


# The modules of the library and of pydantic loaded so far, as an expression for run_fresh.
LOADED = ("sorted(name for name in sys.modules"
          " if name.split('.')[0] == 'pydantic' or name.startswith('nimbrel.quorvel.'))")


def test_importing_the_package_loads_no_module_of_the_library():
    assert run_fresh(f"import json, sys\nimport nimbrel.quorvel\nprint(json.dumps({LOADED}))") == []


def test_dir_loads_nothing():
    names, loaded = run_fresh(f"import json, sys\nimport nimbrel.quorvel\nnames = dir(nimbrel.quorvel)\n"
                              f"print(json.dumps([names, {LOADED}]))")
    assert set(PUBLIC) <= set(names) and names == sorted(names)
    assert loaded == []


def test_a_name_loads_only_what_its_module_needs():
    loaded = run_fresh(f"import json, sys\nfrom nimbrel.quorvel import QuorvelError\nprint(json.dumps({LOADED}))")
    assert loaded == ["nimbrel.quorvel.core", "nimbrel.quorvel.core.exceptions"]


@pytest.mark.parametrize("name", PUBLIC)
def test_public_name_is_the_one_its_module_defines(name):
    assert getattr(package, name) is getattr(importlib.import_module(PUBLIC[name]), name)
    assert vars(package)[name] is getattr(package, name)  # stored: later lookups do not reach __getattr__


def test_all_lists_the_public_names():
    assert package.__all__ == list(PUBLIC)
    namespace: dict[str, object] = {}
    exec("from nimbrel.quorvel import *", namespace)
    assert set(namespace) - {"__builtins__"} == set(PUBLIC)


def test_stub_reexports_the_public_names():
    tree = ast.parse(STUB.read_text())
    imported = {alias.asname for node in tree.body if isinstance(node, ast.ImportFrom) for alias in node.names}
    (all_list,) = [node.value for node in tree.body if isinstance(node, ast.Assign)
                   and [target.id for target in node.targets if isinstance(target, ast.Name)] == ["__all__"]]
    assert ast.literal_eval(all_list) == package.__all__
    assert imported == set(PUBLIC)


@pytest.mark.parametrize("name", ["ConfigRecord", "data_", "__path_", ""])
def test_unknown_name_raises_attribute_error(name):
    with pytest.raises(AttributeError, match=f"^module 'nimbrel.quorvel' has no attribute '{name}'$") as caught:
        getattr(package, name)
    assert (caught.value.name, caught.value.obj) == (name, package)
    assert not hasattr(package, name) and getattr(package, name, 7) == 7
    assert name not in vars(package)


def test_unknown_name_in_from_import():
    with pytest.raises(ImportError, match="^cannot import name 'ConfigRecord' from 'nimbrel.quorvel'"):
        exec("from nimbrel.quorvel import ConfigRecord", {})


@pytest.mark.parametrize("argument", [5, None, b"ConfigData"])
def test_getattr_takes_only_names(argument):
    with pytest.raises(TypeError, match=r"^Argument 'name' has incorrect type \(expected str, got "):
        package.__getattr__(argument)


def test_unknown_name_without_a_module_name():
    """A package whose __name__ was replaced or removed still answers as a module does."""
    messages = run_fresh("import json\nimport nimbrel.quorvel as q\nmessages = []\n"
                         "for change in (lambda: setattr(q, '__name__', 5), lambda: delattr(q, '__name__')):\n"
                         "    change()\n"
                         "    try:\n"
                         "        q.ConfigRecord\n"
                         "    except AttributeError as error:\n"
                         "        messages.append(str(error))\n"
                         "print(json.dumps(messages))")
    assert messages == ["module has no attribute 'ConfigRecord'"] * 2


def test_submodules_import_as_before():
    for name in ["nimbrel.quorvel.data.parse", "nimbrel.quorvel.core.naming", "nimbrel.quorvel.typing.type_lookup",
                 "nimbrel.quorvel.fields.field_models", "nimbrel.quorvel.data.schema", "nimbrel.quorvel.web"]:
        module = importlib.import_module(name)
        assert sys.modules[name] is module
    assert package.data.parse is sys.modules["nimbrel.quorvel.data.parse"]
    assert (importlib.resources.files("nimbrel.quorvel.web") / "form.js").is_file()


def test_the_package_is_an_extension_module():
    path = pathlib.Path(package.__file__)
    assert path.name == "__init__" + importlib.machinery.EXTENSION_SUFFIXES[0]
    assert package.__path__ == [str(path.parent)] and package.__spec__.submodule_search_locations == package.__path__
    assert isinstance(package.__spec__.loader, importlib.machinery.ExtensionFileLoader)


def test_installed_files_hold_the_extension_and_no_init_source():
    files = {file.as_posix() for file in importlib.metadata.files("nimbrel-quorvel")}
    extension = "nimbrel/quorvel/__init__" + importlib.machinery.EXTENSION_SUFFIXES[0]
    assert {extension, "nimbrel/quorvel/__init__.pyi", "nimbrel/quorvel/py.typed"} <= files
    assert "nimbrel/quorvel/__init__.py" not in files and "nimbrel/quorvel/__init__.cpp" not in files
