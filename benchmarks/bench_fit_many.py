"""The command line's fit-many on a long table of many short series: time and peak memory.

    python benchmarks/bench_fit_many.py [--series N ...] [--jobs N] [--quick]

Each size is a CSV of N series x 50 points (columns id, x, y; integer ids; the drifts of
bench_many: quadratics in x on [0, 1], noise sd 0.05, a tenth of gross outliers), written
to a temporary folder, and one run of `python -m vasq fit-many DATA --id id --id-type int
--x x --y y --jobs J --out RESULTS.csv` in a child process: its wall time, the series per
second, and the child's peak resident size beside the sizes of the input file and of the
results. Peak memory that grows with the number of series beyond the output means the
table is held whole. The default sizes end at 10^6 series (about 40 minutes on 2 cores);
--quick runs 10^3 and 10^4.
"""

from __future__ import annotations

import argparse
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from _common import thread_report
from bench_many import drifts

POINTS = 50
# Series written per block: the generator holds one block of rows at a time.
BLOCK = 20000


def write_table(path: Path, n_series: int) -> None:
    """N series of the drifts of bench_many as a long CSV, block by block (a seed each)."""
    with path.open("w") as out:
        out.write("id,x,y\n")
        for first in range(0, n_series, BLOCK):
            count = min(BLOCK, n_series - first)
            x, Y = drifts(count, POINTS, seed=first // BLOCK)
            ids = np.repeat(np.arange(first, first + count), POINTS)
            rows = np.column_stack([ids, np.tile(x, count), Y.T.ravel()])
            np.savetxt(out, rows, fmt=["%d", "%.17g", "%.17g"], delimiter=",")


def run(n_series: int, jobs: int, folder: Path) -> None:
    data, results = folder / f"data{n_series}.csv", folder / f"results{n_series}.csv"
    write_table(data, n_series)
    command = [sys.executable, "-m", "vasq", "fit-many", str(data), "--id", "id", "--id-type",
               "int", "--x", "x", "--y", "y", "--jobs", str(jobs), "--out", str(results)]
    before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    seconds = time.perf_counter() - start
    # The largest peak of any child so far: the sizes run in increasing order.
    peak = max(before, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss) / 1024
    mib = 2.0**20
    print(f"  {n_series:>9} series {seconds:9.1f} s {n_series / seconds:8.0f} series/s   peak "
          f"{peak:8.0f} MiB; input {data.stat().st_size / mib:7.0f} MiB, results "
          f"{results.stat().st_size / mib:6.0f} MiB", flush=True)
    data.unlink()
    results.unlink()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--series", type=int, nargs="+", default=[10**4, 10**5, 10**6],
                        help="numbers of series, smallest first (default 1e4 1e5 1e6)")
    parser.add_argument("--jobs", type=int, default=2, help="fit-many --jobs (default 2)")
    parser.add_argument("--quick", action="store_true", help="10^3 and 10^4 series")
    args = parser.parse_args()
    sizes = [10**3, 10**4] if args.quick else sorted(args.series)
    print(thread_report())
    print("load average at start: {:.1f} {:.1f} {:.1f} on {} cores".format(
        *os.getloadavg(), os.cpu_count()))
    print(f"fit-many --jobs {args.jobs}, {POINTS} points per series, degree auto (0..6); "
          "one run per size; target: 10^6 series in <= 15 minutes, memory flat")
    with tempfile.TemporaryDirectory() as folder:
        for n_series in sizes:
            run(n_series, args.jobs, Path(folder))


if __name__ == "__main__":
    main()
