"""Batches of series fitted in this process or on local worker processes."""

from __future__ import annotations

import math
from collections.abc import Callable

from joblib import Parallel, delayed, effective_n_jobs, parallel_config

from vasq._many_fit import Batch, Plan, Row, fit_batch

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


def run_local(work: list[Batch], plan: Plan, n_jobs: int | None,
              progress: Callable[[int], object]) -> list[Row]:
    """The rows of every batch in order, fitted on `n_jobs` loky worker processes."""
    rows: list[Row] = []
    # Alone in this process, a fit may use every core.
    threads = None if effective_n_jobs(n_jobs) == 1 else 1
    with parallel_config(backend="loky"):
        runs = Parallel(n_jobs=n_jobs, return_as="generator")(
            delayed(fit_batch)(batch, plan, threads) for batch in work)
        for batch, out in zip(work, runs, strict=True):
            rows.extend(out)
            progress(len(batch.ids))
    return rows
