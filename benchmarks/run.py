"""Measures the library next to plain-Python peers, in one run, and prints a table.

Run with the project's virtual environment: `.venv/bin/python benchmarks/run.py`.
Each workload is one statement timed twice, with our objects and with the
peer's bound to the same names, so both pay the same loop and call overhead.
Ours and the peer are measured in alternation and each keeps its best repeat,
which keeps a busy machine from favouring either side. Figures are nanoseconds
per execution of the statement; the last column is peer time divided by ours.
"""

import argparse
import sys
import timeit
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))

import workloads  # noqa: E402


def best_times(workload: workloads.Workload, repeats: int) -> tuple[float, float]:
    ours = timeit.Timer(workload.statement, globals=workload.ours)
    peer = timeit.Timer(workload.statement, globals=workload.peer)
    # Each side gets its own loop count: where one is a thousand times faster, the
    # other's loop sized for the fast side would run for minutes.
    ours_loops, _ = ours.autorange()
    peer_loops, _ = peer.autorange()
    best_ours = best_peer = float("inf")
    for _ in range(repeats):
        best_ours = min(best_ours, ours.timeit(ours_loops) / ours_loops)
        best_peer = min(best_peer, peer.timeit(peer_loops) / peer_loops)
    return best_ours * 1e9, best_peer * 1e9


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("-k", dest="pattern", default="", help="only workloads whose name contains this text")
    options = parser.parse_args()

    chosen = [w for w in workloads.all_workloads() if options.pattern in w.name]
    width = max(len(w.name) for w in chosen)
    print(f"{'operation':<{width}}  {'quorvel ns':>11}  {'python ns':>10}  {'speed-up':>8}")
    for workload in chosen:
        ours, peer = best_times(workload, options.repeats)
        print(f"{workload.name:<{width}}  {ours:>11.0f}  {peer:>10.0f}  {peer / ours:>7.1f}x", flush=True)


if __name__ == "__main__":
    main()
