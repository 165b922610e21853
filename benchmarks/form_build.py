"""Form building of the record workload with N list items: wall-clock, or instructions under callgrind.

Run with the project's virtual environment:

    .venv/bin/python benchmarks/form_build.py --items 50 500
    .venv/bin/python benchmarks/form_build.py --items 500 --callgrind 20

Wall-clock is the best of several repeats, in microseconds per form build and
dump. With --callgrind K the script runs itself under callgrind twice, once
making K calls and once making none, and prints the instructions per call as
the difference divided by K: set-up and import cost cancel out.
"""

import argparse
import dataclasses
import gc
import os
import re
import subprocess
import sys
import tempfile
import timeit
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))

import record_workload  # noqa: E402

from nimbrel.quorvel.data.list_content import ConfigList  # noqa: E402

STATEMENT = "cls.build_field_for_type(value=value).model_dump()"


def deployment(items: int) -> record_workload.Deployment:
    rows = ConfigList[record_workload.Item](
        record_workload.Item(name=f"item{i}", count=i) for i in range(items)
    )
    return dataclasses.replace(record_workload.Deployment(), items=rows)


def wall_clock(items: int, repeats: int) -> float:
    timer = timeit.Timer(STATEMENT, globals={"cls": record_workload.Deployment, "value": deployment(items)})
    loops, _ = timer.autorange()
    return min(timer.timeit(loops) / loops for _ in range(repeats)) * 1e6


def run_calls(items: int, calls: int) -> None:
    cls, value = record_workload.Deployment, deployment(items)
    cls.build_field_for_type(value=value).model_dump()  # warm the caches
    # A collection landing in one run and not the other would not cancel out.
    gc.collect()
    gc.disable()
    for _ in range(calls):
        cls.build_field_for_type(value=value).model_dump()


def instructions(items: int, calls: int) -> int:
    with tempfile.TemporaryDirectory() as scratch:
        out = Path(scratch) / "callgrind.out"
        subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, __file__,
             "--run", str(items), str(calls)],
            check=True, capture_output=True, env={**os.environ, "PYTHONHASHSEED": "0"},
        )
        summary = re.search(r"^summary: (\d+)", out.read_text(), re.MULTILINE)
        assert summary, "callgrind wrote no summary"
        return int(summary.group(1))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--items", type=int, nargs="+", default=[50, 500])
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--callgrind", type=int, metavar="K", help="count instructions of K calls instead")
    parser.add_argument("--run", type=int, nargs=2, help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.run:
        run_calls(*options.run)
        return
    for items in options.items:
        if options.callgrind:
            per_call = (instructions(items, options.callgrind) - instructions(items, 0)) / options.callgrind
            print(f"N={items:<5} {per_call:>14,.0f} instructions per build + dump", flush=True)
        else:
            print(f"N={items:<5} {wall_clock(items, options.repeats):>10.1f} us per build + dump", flush=True)


if __name__ == "__main__":
    main()
