"""Series fitted on Dask: batches on a cluster's workers, or a Dask DataFrame shuffled by id."""

from __future__ import annotations

import functools
import sys
import warnings
from collections.abc import Callable, Iterable
from typing import Any

import numpy as np
import pandas as pd
from joblib import effective_n_jobs

from vasq._many_fit import Batch, Plan, Row, fit_batch
from vasq._many_input import Columns, missing_error, series_from_table
from vasq._many_local import batch_size, batches, run_local

# Reruns of a task whose fit raised (a worker out of memory, say) before the call fails.
_RETRIES = 2
# Original position of each row of a Dask DataFrame, carried through the shuffle.
_PART, _ROW = "__vasq_partition__", "__vasq_row__"

Keyed = list[tuple[tuple[int, int], Row]]


def active_client(client: Any) -> Any:
    """`client`, or else the active Dask client, if any."""
    if client is not None:
        return client
    # A client can only be active if distributed has been imported.
    distributed = sys.modules.get("distributed")
    if distributed is None:
        return None
    try:
        return distributed.Client.current()
    except ValueError:
        return None


def is_dask_frame(data: object) -> bool:
    dd = sys.modules.get("dask.dataframe")
    return dd is not None and isinstance(data, dd.DataFrame)


def _as_completed(client: Any, futures: Iterable[Any]) -> Iterable[tuple[Any, Any]]:
    from distributed import as_completed

    return as_completed(futures, loop=client.loop, with_results=True)  # type: ignore[no-any-return]


def run_on_cluster(client: Any, work: list[Batch], plan: Plan,
                   progress: Callable[[int], object]) -> list[Row]:
    """The rows of every batch in order, fitted on the workers of `client`."""
    # The batches are arguments of the tasks, not scattered data: the scheduler holds them
    # and can run a task again elsewhere when its worker dies, before or after it finished.
    with warnings.catch_warnings():
        # Distributed advises scattering data that large, the very thing to avoid here.
        warnings.filterwarnings("ignore", "Sending large graph", UserWarning)
        futures = client.map(fit_batch, work, plan=plan, pure=False, retries=_RETRIES)
    position = {future.key: i for i, future in enumerate(futures)}
    done: list[list[Row]] = [[] for _ in work]
    for future, out in _as_completed(client, futures):
        i = position[future.key]
        done[i] = out
        progress(len(work[i].ids))
    return [row for out in done for row in out]


def fitted_columns(frame: Any, columns: Columns) -> Any:
    """The id, x and y columns of `frame` with the values pandas would see in its source.

    Dask reads the object columns of a pandas DataFrame (or of delayed parts) as strings,
    so ints held as objects would become '0', '1', ... with other seeds than on the pandas
    path. Where that conversion is the last step before these columns, it is left out.
    """
    # The expression classes are Dask's own; no public call undoes the conversion.
    from dask.dataframe.dask_expr import new_collection
    from dask.dataframe.dask_expr._expr import ArrowStringConversion
    from dask.dataframe.dask_expr.io import FromPandas

    picked = frame[[columns.id, *columns.x, columns.y]]
    expr = picked.expr.simplify()
    if isinstance(expr, FromPandas) and expr.pyarrow_strings_enabled:
        return new_collection(expr.substitute_parameters({"pyarrow_strings_enabled": False}))
    if isinstance(expr, ArrowStringConversion):
        return new_collection(expr.frame)
    return picked


def id_dtype(frame: Any, columns: Columns) -> Any:
    """The dtype of the table's id column: the frame's, with Dask's text dtype as pandas'."""
    dtype = frame[columns.id].dtype
    return "str" if isinstance(dtype, pd.StringDtype) else dtype


def refuse_missing_in_frame(frame: Any, columns: Columns) -> None:
    gaps = frame[[*columns.x, columns.y]].isna().any(axis=1) & ~frame[columns.id].isna()
    first = frame.loc[gaps, columns.id].head(1, npartitions=-1)
    if len(first):
        raise missing_error(first.iloc[0])


def _number_rows(part: pd.DataFrame, partition_info: dict[str, Any] | None = None) -> pd.DataFrame:
    number = partition_info["number"] if partition_info else 0
    return part.assign(**{_PART: number, _ROW: np.arange(len(part))})


def _partition_series(part: pd.DataFrame, columns: Columns) -> tuple[Batch, list[tuple[int, int]]]:
    """The series of one shuffled partition with their points back in the original order."""
    part = part.iloc[np.lexsort((part[_ROW].to_numpy(), part[_PART].to_numpy()))]
    series, first = series_from_table(part, columns)
    keys = part[[_PART, _ROW]].to_numpy()[first]
    return series, [(int(p), int(r)) for p, r in keys]


def _fit_partition(part: pd.DataFrame, columns: Columns, plan: Plan) -> Keyed:
    series, keys = _partition_series(part, columns)
    return list(zip(keys, fit_batch(series, plan), strict=True))


def fit_dask_frame(frame: Any, columns: Columns, plan: Plan, client: Any, n_jobs: int | None,
                   backend: str, requested_batch: int | None, bar: Any) -> list[Row]:
    """Shuffle so that each series lies in one partition, then fit partition by partition.

    `frame` holds the columns of `fitted_columns`; the rows come in order of first appearance.
    """
    import dask

    meta = _number_rows(frame._meta)
    # Dask would pick the method from the default client, which need not be ours; the
    # disk shuffle is for one machine only.
    method = "disk" if client is None else "p2p"
    shuffled = frame.map_partitions(_number_rows, meta=meta).shuffle(on=columns.id,
                                                                      shuffle_method=method)
    parts = shuffled.to_delayed()
    bar.reset(total=len(parts))
    bar.unit = "partition"
    keyed: Keyed = []
    if client is not None:
        fit = functools.partial(_fit_partition, columns=columns, plan=plan)
        futures = client.compute([dask.delayed(fit)(p) for p in parts])
        for _, out in _as_completed(client, futures):
            keyed.extend(out)
            bar.update()
    else:
        # The synchronous scheduler assembles one partition at a time from the shuffle's
        # files; its series go to n_jobs local workers of `backend`.
        def fit_here(part: pd.DataFrame) -> Keyed:
            series, keys = _partition_series(part, columns)
            size = batch_size(requested_batch, len(series.ids), effective_n_jobs(n_jobs))
            rows = run_local(batches(series, size), plan, n_jobs, backend, lambda n: None)
            bar.update()
            return list(zip(keys, rows, strict=True))

        outs = dask.compute(*[dask.delayed(fit_here, pure=False)(p) for p in parts],
                            scheduler="sync")
        keyed = [pair for out in outs for pair in out]
    keyed.sort(key=lambda pair: pair[0])
    return [row for _, row in keyed]
