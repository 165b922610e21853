"""Fixtures shared by the test modules."""

import importlib.machinery
import pathlib
import sys
import types

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
DEMO_PATH = ROOT / "examples" / "demo.py"


def load_demo() -> types.ModuleType:
    """The demo configuration, loaded once per session: several test modules use it, and its classes' type keys
    must stay unique among all loaded classes."""
    loader = importlib.machinery.SourceFileLoader("quorvel_demo", str(DEMO_PATH))
    if loader.name in sys.modules:
        return sys.modules[loader.name]
    module = types.ModuleType(loader.name)
    module.__file__ = str(DEMO_PATH)
    sys.modules[loader.name] = module
    loader.exec_module(module)
    return module


@pytest.fixture(scope="session")
def demo() -> types.ModuleType:
    return load_demo()
