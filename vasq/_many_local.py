"""Batches of series fitted in this process, on its threads, or on local worker processes."""

from __future__ import annotations

import math
from collections.abc import Callable

from joblib import Parallel, delayed, effective_n_jobs, parallel_config
from threadpoolctl import threadpool_limits

from vasq._many_fit import Batch, Plan, Row, fit_batch

# What runs the local workers, and the joblib backend that starts them.
BACKENDS = {"threads": "threading", "processes": "loky"}
# Tasks per worker when the batch size is automatic: enough to balance uneven series,
# few enough that scheduling stays negligible next to the fits.
_TASKS_PER_WORKER = 8
_MAX_BATCH = 64


def batches(series: Batch, size: int) -> list[Batch]:
    """The series cut into consecutive batches of `size`."""
    return [Batch(series.ids[i:i + size], series.X[i:i + size], series.y[i:i + size])
            for i in range(0, len(series.ids), size)]


def batch_size(requested: int | None, n_series: int, n_workers: int) -> int:
    """`requested`, or by default about eight tasks per worker of at most 64 series."""
    if requested is None:
        return max(1, min(_MAX_BATCH, math.ceil(n_series / (_TASKS_PER_WORKER * n_workers))))
    return requested


def run_local(work: list[Batch], plan: Plan, n_jobs: int | None, backend: str,
              progress: Callable[[int], object]) -> list[Row]:
    """The rows of every batch in order, fitted on `n_jobs` threads or loky worker processes.

    Alone, a fit may use every core; side by side, each fit runs on one thread and the
    cores are shared out by series. The BLAS thread count is one setting for the whole
    process, so it is limited here, once, rather than by each thread: loky limits it in its
    workers itself.
    """
    threads = None if effective_n_jobs(n_jobs) == 1 else 1
    blas = threads if backend == "threads" else None
    rows: list[Row] = []
    with parallel_config(backend=BACKENDS[backend]), threadpool_limits(blas, user_api="blas"):
        runs = Parallel(n_jobs=n_jobs, return_as="generator")(
            delayed(fit_batch)(batch, plan, threads) for batch in work)
        for batch, out in zip(work, runs, strict=True):
            rows.extend(out)
            progress(len(batch.ids))
    return rows
