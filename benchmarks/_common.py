"""Timing and reporting shared by the benchmarks.

Every benchmark compares one of our functions with the NumPy way of doing the same
work and prints the medians of several runs, the ratio and the thread counts of both
sides.
"""

from __future__ import annotations

import os
import statistics
import time
from collections.abc import Callable


def median_time(fn: Callable[[], object], repeat: int = 5, warmup: int = 1) -> float:
    """Median wall time in seconds of `repeat` calls of `fn`, after `warmup` calls."""
    for _ in range(warmup):
        fn()
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def thread_report() -> str:
    """Thread counts of our OpenMP runtime and of NumPy's BLAS."""
    ours = os.environ.get("OMP_NUM_THREADS", f"default ({os.cpu_count()} cores)")
    try:
        from threadpoolctl import threadpool_info

        blas = ", ".join(
            f"{i['internal_api']} {i.get('architecture', '?')} x{i['num_threads']}"
            for i in threadpool_info()
            if i["user_api"] == "blas"
        )
    except ImportError:
        blas = "unknown (threadpoolctl not installed)"
    line = f"threads: vasq_core OpenMP {ours}; NumPy BLAS {blas or 'none loaded'}"
    if "OPENBLAS_CORETYPE" in os.environ:
        line += (
            f"\nOPENBLAS_CORETYPE={os.environ['OPENBLAS_CORETYPE']} forces NumPy's kernel: "
            "unset it and OPENBLAS_L2_SIZE for this command to give the peers their best one"
        )
    return line


def status_kib(field: str) -> int:
    """A field of /proc/self/status, such as "VmRSS:" or "VmHWM:", in KiB (Linux)."""
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field))


def reset_peak_rss() -> None:
    """Reset this process's peak resident size (VmHWM) to the current one (Linux)."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def report(label: str, ours: float, numpy: float, extra: str = "") -> None:
    """One line: our median, NumPy's median and NumPy time / our time."""
    line = (
        f"{label:<48} vasq_core {ours * 1e3:10.3f} ms   numpy {numpy * 1e3:10.3f} ms"
        f"   speed-up x{numpy / ours:7.2f}"
    )
    print(line + (f"   {extra}" if extra else ""), flush=True)
