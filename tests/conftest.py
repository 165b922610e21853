"""Fixtures shared by the test modules."""

import contextlib
import copy
import dataclasses
import enum
import importlib.machinery
import os
import pathlib
import re
import socket
import subprocess
import sys
import textwrap
import time
import types
from collections.abc import Iterator
from typing import Any

import pytest

from nimbrel.quorvel.data.enum_content import ConfigEnum
from nimbrel.quorvel.data.json_content import ConfigUntypedDict
from nimbrel.quorvel.data.list_content import ConfigList
from nimbrel.quorvel.data.optional_content import ConfigOptional
from nimbrel.quorvel.data.record_content import ConfigData
from nimbrel.quorvel.data.union_content import ConfigUnion
from nimbrel.quorvel.fields.field_models import FieldPassword

ROOT = pathlib.Path(__file__).resolve().parent.parent
DEMO_PATH = ROOT / "examples" / "demo.py"
README_PYTHON_BLOCK = re.compile(r"^```python\n(.*?)^```", re.MULTILINE | re.DOTALL)


def readme_python_blocks() -> list[str]:
    """The README's Python examples, in the order a reader meets them."""
    return README_PYTHON_BLOCK.findall((ROOT / "README.md").read_text())


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


@contextlib.contextmanager
def unchanged(*values: Any) -> Iterator[None]:
    """Fails when the block leaves any of `values` different from a deep copy taken before it. The check runs
    even when the block raises, since refusals must leave their inputs alone too."""
    before = copy.deepcopy(values)
    try:
        yield
    finally:
        assert values == before, "an input was modified"


def run_python(code: str, timeout: float = 120) -> str:
    """Runs `code` in a fresh interpreter, for what cannot be undone in this one; answers what it printed."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


# --- the service configuration that whole-library tests (leaks, threads) work on ------------------------------------
# Like the demo's, with a content enumeration inside the camera and names of its own, so that type keys stay unique.

class SharedShade(ConfigEnum):
    DARK = "dark"
    LIGHT = "light"


class SharedCodec(enum.Enum):
    H264 = "h264"
    H265 = "h265"


@dataclasses.dataclass
class SharedCamera(ConfigData):
    host: str = "localhost"
    port: int = dataclasses.field(default=554, metadata={"min": 1, "max": 65535})
    password: str = dataclasses.field(default="", metadata={"input": FieldPassword})
    shade: SharedShade = SharedShade.DARK


@dataclasses.dataclass
class SharedRecording(ConfigData):
    directory: str = "/var/recordings"
    keep_days: int = 7


@dataclasses.dataclass
class SharedService(ConfigData):
    cameras: ConfigList[SharedCamera] = dataclasses.field(
        default_factory=lambda: ConfigList[SharedCamera]([SharedCamera(), SharedCamera(host="cam-2", port=8554)]))
    recording: ConfigOptional[SharedRecording] = dataclasses.field(
        default_factory=lambda: ConfigOptional[SharedRecording](SharedRecording()))
    retention: ConfigUnion[int | SharedRecording] = dataclasses.field(
        default_factory=lambda: ConfigUnion[int | SharedRecording](SharedRecording(keep_days=3)))
    codec: SharedCodec = SharedCodec.H264
    bitrates: dict[str, int] = dataclasses.field(default_factory=lambda: {"low": 500, "high": 4000})
    window: tuple[int, str] = (640, "wide")
    vendor: ConfigUntypedDict = dataclasses.field(default_factory=lambda: ConfigUntypedDict({"exposure": "auto"}))


# A tuple has no form field kind: forms of the service show every other field.
SHARED_SERVICE_FORM = {"names": [f.name for f in dataclasses.fields(SharedService) if f.name != "window"]}


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
@dataclasses.dataclass
class WebApp:
    url: str
    config: pathlib.Path
    form_fields: list[str]


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_until_serving(port: int, process: subprocess.Popen, timeout: float = 30.0) -> None:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError(f"the web app exited with {process.returncode}: {process.stderr.read()}")
        with socket.socket() as probe:
            if probe.connect_ex(("127.0.0.1", port)) == 0:
                return
        time.sleep(0.05)
    raise RuntimeError(f"the web app did not start serving on port {port} within {timeout} s")


@contextlib.contextmanager
def running_web_app(config: pathlib.Path):
    """The example web app serving `config` on a free loopback port, in a process of its own."""
    port = free_port()
    process = subprocess.Popen([sys.executable, str(ROOT / "examples" / "web_app.py"), "--config", str(config),
                                "--port", str(port)], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        wait_until_serving(port, process)
        fields = [name for name in load_demo().Service.__dataclass_fields__ if name != "window"]
        yield WebApp(f"http://127.0.0.1:{port}", config, fields)
    finally:
        process.terminate()
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        process.stderr.close()


@pytest.fixture
def web_app(tmp_path):
    folder = tmp_path / "stored"
    folder.mkdir()
    with running_web_app(folder / "service.json") as app:
        yield app
