"""Type checking as an application sees it: `mypy --strict` over the package's stubs, the typed usage files in
tests/typing, the examples and the README's code, in one mypy run per session.

The usage files use `typing.assert_type`, so a stub that gives a wider or another type than the one stated fails
them. Every line of tests/typing/misuse.py marked `# E: code ...` must fail with exactly those error codes, and
no other line may fail.
"""

import collections
import dataclasses
import json
import os
import pathlib
import re
import subprocess
import sys

import pytest

from conftest import ROOT, readme_python_blocks

SOURCES = ROOT / "src"
TYPING = ROOT / "tests" / "typing"
MISUSE = TYPING / "misuse.py"
USAGE_FILES = sorted(path for path in TYPING.glob("*.py") if path != MISUSE)
EXAMPLES = sorted((ROOT / "examples").glob("*.py"))
README = "README.md"
MARKER = re.compile(r"#\s*E:\s*(?P<codes>[a-z-]+(?:\s+[a-z-]+)*)\s*$")


def relative(path: pathlib.Path) -> str:
    return path.relative_to(ROOT).as_posix()


def marked_lines() -> dict[int, tuple[str, set[str]]]:
    """Line number -> (the code on the line, the error codes its marker names), for the misuse file."""
    marked = {}
    for number, line in enumerate(MISUSE.read_text().splitlines(), 1):
        if match := MARKER.search(line):
            marked[number] = (line[:match.start()].strip(), set(match["codes"].split()))
    return marked


MARKED = marked_lines()


@dataclasses.dataclass
class MypyReport:
    errors: dict[pathlib.Path, dict[int, list[str]]]  # file -> line -> "[code] message"
    checked: dict[str, pathlib.Path]  # name in this suite -> file mypy checked

    def errors_in(self, name: str) -> dict[int, list[str]]:
        return self.errors.get(self.checked[name].resolve(), {})

    def codes_at(self, name: str, line: int) -> set[str]:
        return {error[1:error.index("]")] for error in self.errors_in(name).get(line, [])}


def mypy_workspace(tmp_path_factory: pytest.TempPathFactory) -> pathlib.Path:
    """Inside the virtual environment when there is one, so that a later session checks only what changed. The
    files written here keep their paths from one session to the next: mypy reports the errors of a module it
    takes from its cache under the path it was checked at."""
    if sys.prefix == sys.base_prefix:
        return tmp_path_factory.mktemp("mypy")
    workspace = pathlib.Path(sys.prefix) / "quorvel-mypy"
    workspace.mkdir(exist_ok=True)
    return workspace


@pytest.fixture(scope="session")
def mypy_report(tmp_path_factory: pytest.TempPathFactory) -> MypyReport:
    workspace = mypy_workspace(tmp_path_factory)
    readme = workspace / "readme_examples.py"
    readme.write_text("\n".join(readme_python_blocks()))
    checked = {relative(path): path for path in [*USAGE_FILES, MISUSE, *EXAMPLES]} | {README: readme}
    # The stubs of this work tree, not the installed copies, are the ones under test, all of them.
    environment = {**os.environ, "MYPYPATH": str(SOURCES)}
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--output", "json",
                           "--cache-dir", str(workspace / "cache"), str(SOURCES / "nimbrel"),
                           *map(str, checked.values())],
                          cwd=ROOT, env=environment, capture_output=True, text=True, timeout=600)
    assert done.returncode in (0, 1), done.stdout + done.stderr  # 1: errors found; 2: mypy itself failed
    errors: dict[pathlib.Path, dict[int, list[str]]] = collections.defaultdict(lambda: collections.defaultdict(list))
    for line in done.stdout.splitlines():
        report = json.loads(line)
        if report["severity"] == "error":
            errors[(ROOT / report["file"]).resolve()][report["line"]].append(f"[{report['code']}] {report['message']}")
    return MypyReport({path: dict(lines) for path, lines in errors.items()}, checked)


@pytest.mark.parametrize("name", [*map(relative, USAGE_FILES + EXAMPLES), README])
def test_checks_without_errors(mypy_report, name):
    assert mypy_report.errors_in(name) == {}


def test_stubs_check_without_errors(mypy_report):
    in_stubs = {relative(path): lines for path, lines in mypy_report.errors.items() if SOURCES in path.parents}
    assert in_stubs == {}


def test_errors_are_reported_only_for_checked_files(mypy_report):
    """An error reported under a path this suite does not look at would otherwise go unnoticed."""
    known = {path.resolve() for path in mypy_report.checked.values()}
    elsewhere = {path: lines for path, lines in mypy_report.errors.items()
                 if path not in known and SOURCES not in path.parents}
    assert elsewhere == {}


@pytest.mark.parametrize("line", sorted(MARKED), ids=[MARKED[line][0] for line in sorted(MARKED)])
def test_misuse_is_refused(mypy_report, line):
    code, expected = MARKED[line]
    assert mypy_report.codes_at(relative(MISUSE), line) == expected, (code, mypy_report.errors_in(relative(MISUSE)))


def test_misuse_fails_only_where_marked(mypy_report):
    assert len(MARKED) >= 20
    unmarked = {line: errors for line, errors in mypy_report.errors_in(relative(MISUSE)).items() if line not in MARKED}
    assert unmarked == {}


@pytest.mark.parametrize("path", USAGE_FILES, ids=relative)
def test_usage_files_run(path):
    """The usage files are real programs: what they state about types holds when they run."""
    done = subprocess.run([sys.executable, str(path)], cwd=TYPING, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
