"""Instruction counts per execution of the workloads' statements, ours and the peer's, under callgrind.

Wall-clock on small shared machines varies by 15-20 %; instruction counts do not. Each statement runs in a
process of its own under `valgrind --tool=callgrind`, once for `--calls` executions and once for twice as many,
and the difference divided by `--calls` is the count per execution (start-up and set-up cancel out).
`--allocator pymalloc` measures with Python's own small-object allocator, as programs run by default; the
C library's malloc, the default here, charges every dict made or freed a few hundred instructions more.

    .venv/bin/python benchmarks/callgrind.py -k "service N=50"
"""

import argparse
import gc
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent


def run_statement(name: str, side: str, calls: int) -> None:
    """The measured process: runs the statement of workload `name` `calls` times with `side`'s names."""
    sys.path.insert(0, str(HERE))
    import workloads

    workload = next(w for w in workloads.all_workloads() if w.name == name)
    namespace = dict(workload.ours if side == "ours" else workload.peer)
    code = compile(f"for _ in range({calls}):\n    {workload.statement}\n", "<statement>", "exec")
    # A collection landing in one run and not the other would not cancel out.
    gc.collect()
    gc.disable()
    exec(code, namespace)


def instructions(name: str, side: str, calls: int, allocator: str) -> int:
    with tempfile.TemporaryDirectory() as folder:
        out = Path(folder) / "callgrind.out"
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, __file__,
                        "--run", name, side, str(calls)], check=True, capture_output=True,
                       env={**os.environ, "PYTHONMALLOC": allocator, "PYTHONHASHSEED": "0"})
        totals = re.search(r"^totals: (\d+)", out.read_text(), re.MULTILINE)
        assert totals, "callgrind wrote no totals"
        return int(totals.group(1))


def per_call(name: str, side: str, calls: int, allocator: str) -> float:
    return (instructions(name, side, 2 * calls, allocator) - instructions(name, side, calls, allocator)) / calls


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("-k", dest="pattern", default="", help="only workloads whose name contains this text")
    parser.add_argument("--calls", type=int, default=20)
    parser.add_argument("--allocator", choices=["malloc", "pymalloc"], default="malloc",
                        help="PYTHONMALLOC of the measured processes: the C library's malloc for every object, "
                             "or Python's own small-object allocator as Python runs by default")
    parser.add_argument("--run", nargs=3, help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.run:
        name, side, calls = options.run
        run_statement(name, side, int(calls))
        return

    sys.path.insert(0, str(HERE))
    import workloads

    chosen = [w.name for w in workloads.all_workloads() if options.pattern in w.name]
    width = max(len(name) for name in chosen)
    print(f"{'operation':<{width}}  {'quorvel Ir':>12}  {'peer Ir':>12}  {'ratio':>6}")
    for name in chosen:
        ours = per_call(name, "ours", options.calls, options.allocator)
        peer = per_call(name, "peer", options.calls, options.allocator)
        print(f"{name:<{width}}  {ours:>12.0f}  {peer:>12.0f}  {peer / ours:>5.2f}x", flush=True)


if __name__ == "__main__":
    main()
