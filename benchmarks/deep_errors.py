"""How long a record nested N deep takes to fail when its innermost value is wrong.

Run with the project's virtual environment: `.venv/bin/python benchmarks/deep_errors.py`.
Every level wraps the failure with a message showing a shortened view of the data it
was given. Each depth is timed with the library's own `display_value` and, in the
same run, with the records' messages built from the whole repr cut to length (the
peer), up to the depth where the peer's cost stops being bearable.
"""

import argparse
import dataclasses
import time
from collections.abc import Callable
from typing import Any

import python_peers as py

from nimbrel.quorvel.core.exceptions import QuorvelError
from nimbrel.quorvel.data import record_content
from nimbrel.quorvel.data.optional_content import ConfigOptional
from nimbrel.quorvel.data.record_content import ConfigData


@dataclasses.dataclass
class Node(ConfigData):
    value: int = 0
    child: "ConfigOptional[Node]" = None


def failing_data(depth: int) -> dict[str, Any]:
    """Valid optionals all the way down to a child that is not a record's data."""
    data: Any = 5
    for _ in range(depth):
        data = {"value": 1, "child": {"default": True, "content": data}}
    return data


def seconds_to_fail(data: dict[str, Any], display: Callable[..., str]) -> float:
    original = record_content.display_value
    record_content.display_value = display
    try:
        start = time.perf_counter()
        try:
            Node.from_defaults(data)
        except QuorvelError:
            return time.perf_counter() - start
        raise AssertionError("the data was expected to fail")
    finally:
        record_content.display_value = original


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--depths", type=int, nargs="+", default=[100, 250, 500, 1000, 2000, 10_000])
    parser.add_argument("--peer-up-to", type=int, default=2000, help="deepest data the peer is timed on")
    options = parser.parse_args()

    print(f"{'depth':>6}  {'quorvel s':>10}  {'whole repr s':>12}  {'speed-up':>8}")
    for depth in options.depths:
        data = failing_data(depth)
        ours = min(seconds_to_fail(data, record_content.display_value) for _ in range(3))
        if depth > options.peer_up_to:
            print(f"{depth:>6}  {ours:>10.4f}  {'-':>12}  {'-':>8}", flush=True)
            continue
        peer = seconds_to_fail(data, py.py_display_value)
        print(f"{depth:>6}  {ours:>10.4f}  {peer:>12.4f}  {peer / ours:>7.0f}x", flush=True)


if __name__ == "__main__":
    main()
