"""Fixtures shared by the test modules."""

import importlib.machinery
import os
import pathlib
import sys
import types
from collections.abc import Iterator
from typing import Any

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


CHROMIUM = os.environ.get("QUORVEL_CHROMIUM", "/usr/bin/chromium")
# We run as root, where Chromium's sandbox refuses to start; /dev/shm may be small in containers.
CHROMIUM_ARGS = ["--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu"]
# scripts/test.sh preloads ASan for the sanitizer build; Chromium hangs at start with it preloaded.
SANITIZER_VARIABLES = {"LD_PRELOAD", "ASAN_OPTIONS", "PYTHONMALLOC"}


def browser_environment() -> dict[str, str]:
    return {name: value for name, value in os.environ.items() if name not in SANITIZER_VARIABLES}


def launch_browser(playwright: Any) -> Any:
    """Debian's Chromium, driven headless by Playwright (which never downloads a browser of its own here).
    A missing or broken browser fails the test that needs it: browser tests are never skipped."""
    if not os.access(CHROMIUM, os.X_OK):
        pytest.fail(f"no Chromium at {CHROMIUM}: run scripts/setup.sh as root on Debian to install it, "
                    "install Debian's chromium package, or set QUORVEL_CHROMIUM to a Chromium binary",
                    pytrace=False)
    try:
        return playwright.chromium.launch(executable_path=CHROMIUM, headless=True, args=CHROMIUM_ARGS,
                                          env=browser_environment(), timeout=60_000)
    except Exception as error:
        pytest.fail(f"Chromium at {CHROMIUM} did not start: {error}", pytrace=False)


@pytest.fixture(scope="session")
def playwright() -> Iterator[Any]:
    try:
        from playwright.sync_api import sync_playwright
    except ImportError as error:
        pytest.fail(f"Playwright is not installed ({error}): run scripts/setup.sh", pytrace=False)
    with sync_playwright() as driver:
        yield driver


@pytest.fixture(scope="session")
def browser(playwright: Any) -> Iterator[Any]:
    launched = launch_browser(playwright)
    yield launched
    launched.close()


@pytest.fixture
def page(browser: Any) -> Iterator[Any]:
    """A fresh page in its own browser context, so no state leaks between tests."""
    context = browser.new_context()
    yield context.new_page()
    context.close()
