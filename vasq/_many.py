"""Fitting many independent series: in this process, on local worker processes, or on Dask.

Every path fits the same batches with the same function and seeds each series from
`random_state` and its id alone, so the tables they return are identical to the bit.
"""

from __future__ import annotations

import functools
import hashlib
import math
import numbers
import sys
from collections.abc import Callable, Hashable, Iterable
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt
import pandas as pd
from joblib import Parallel, delayed, effective_n_jobs, parallel_config
from sklearn.base import clone
from sklearn.utils import check_random_state
from threadpoolctl import threadpool_limits
from tqdm.auto import tqdm

from vasq._estimator import RobustPolynomialRegressor

Floats = npt.NDArray[np.float64]

COLUMNS = ["id", "degree", "coef", "powers", "mdl_score", "inlier_share", "n_points", "error"]
# Seconds before a progress bar shows, so that short runs print nothing.
PROGRESS_DELAY = 2.0
# Tasks per worker when the batch size is automatic: enough to balance uneven series,
# few enough that scheduling stays negligible next to the fits.
_TASKS_PER_WORKER = 8
_MAX_BATCH = 64
# Original position of each row of a Dask DataFrame, carried through the shuffle.
_PART, _ROW = "__vasq_partition__", "__vasq_row__"


class _Row(NamedTuple):
    id: Hashable
    degree: int | tuple[int, ...] | None
    coef: tuple[float, ...] | None
    powers: tuple[tuple[int, ...], ...] | None
    mdl_score: float
    inlier_share: float
    n_points: int
    error: str | None


class _Batch(NamedTuple):
    """Series to fit in one task; a shared x is the same array object in every entry."""

    ids: list[Hashable]
    X: list[Floats]
    y: list[Floats]


class _Columns(NamedTuple):
    id: Hashable
    x: list[Hashable]
    y: Hashable


def series_seed(base: int, series_id: Hashable) -> int:
    """Seed of one series: a keyed hash of its id, the same in every process and run."""
    if isinstance(series_id, numbers.Integral):
        token = b"i" + str(int(series_id)).encode()
    elif isinstance(series_id, numbers.Real):
        token = b"f" + float(series_id).hex().encode()
    elif isinstance(series_id, str):
        token = b"s" + series_id.encode("utf-8", "surrogatepass")
    else:
        raise ValueError(
            f"series ids must be integers, floats or strings, got {type(series_id).__name__}"
        )
    digest = hashlib.blake2b(token, digest_size=4, key=base.to_bytes(8, "little")).digest()
    return int.from_bytes(digest, "little")


def _fit_one(estimator: RobustPolynomialRegressor, series_id: Hashable, X: Floats, y: Floats,
             seed: int) -> _Row:
    missing = np.isnan(y) | np.isnan(X).any(axis=1)
    if missing.any():
        X, y = X[~missing], y[~missing]
    model = clone(estimator).set_params(random_state=seed)
    try:
        model.fit(X, y)
    except ValueError as exc:
        return _Row(series_id, None, None, None, math.nan, math.nan, len(y), str(exc))
    degree = model.degree_
    return _Row(
        series_id,
        int(degree) if np.ndim(degree) == 0 else tuple(int(d) for d in degree),
        tuple(model.coef_.tolist()),
        tuple(tuple(p) for p in model.powers_.tolist()),
        float(model.mdl_score_),
        float(np.mean(model.inlier_mask_)),
        len(y),
        None,
    )


def _fit_batch(batch: _Batch, estimator: RobustPolynomialRegressor, base: int,
               threads: int | None = 1) -> list[_Row]:
    """Fit every series of a batch, each on `threads` threads (None: the default team).

    Where processes run batches side by side, one thread each keeps the cores from being
    oversubscribed: the parallelism is across series.
    """
    with threadpool_limits(limits=threads):
        return [_fit_one(estimator, i, X, y, series_seed(base, i))
                for i, X, y in zip(batch.ids, batch.X, batch.y)]


def _batches(series: _Batch, size: int) -> list[_Batch]:
    return [_Batch(series.ids[i:i + size], series.X[i:i + size], series.y[i:i + size])
            for i in range(0, len(series.ids), size)]


def _batch_size(batch_size: int | None, n_series: int, n_workers: int) -> int:
    if batch_size is None:
        return max(1, min(_MAX_BATCH, math.ceil(n_series / (_TASKS_PER_WORKER * n_workers))))
    return batch_size


def _run_local(batches: list[_Batch], estimator: RobustPolynomialRegressor, base: int,
               n_jobs: int | None, progress: Callable[[int], object]) -> list[_Row]:
    rows: list[_Row] = []
    # Alone in this process, a fit may use every core for its own parallel chains.
    threads = None if effective_n_jobs(n_jobs) == 1 else 1
    with parallel_config(backend="loky"):
        runs = Parallel(n_jobs=n_jobs, return_as="generator")(
            delayed(_fit_batch)(batch, estimator, base, threads) for batch in batches)
        for batch, out in zip(batches, runs):
            rows.extend(out)
            progress(len(batch.ids))
    return rows


def _run_on_cluster(client: Any, batches: list[_Batch], estimator: RobustPolynomialRegressor,
                    base: int, progress: Callable[[int], object]) -> list[_Row]:
    # Each batch travels to a worker once, ahead of the tasks, which then run where it lies.
    data = client.scatter(batches, hash=False)
    futures = client.map(_fit_batch, data, estimator=estimator, base=base)
    position = {future.key: i for i, future in enumerate(futures)}
    done: list[list[_Row]] = [[] for _ in batches]
    for future, out in _as_completed(client, futures):
        i = position[future.key]
        done[i] = out
        progress(len(batches[i].ids))
    return [row for out in done for row in out]


def _series_from_matrix(x: object, Y: object) -> _Batch:
    Yarr = np.asarray(Y, dtype=np.float64)
    if Yarr.ndim != 2:
        raise ValueError(f"Y must be 2-D (n_samples, n_series), got shape {Yarr.shape}")
    X = np.asarray(x, dtype=np.float64)
    if X.ndim not in (1, 2) or X.shape[0] != Yarr.shape[0]:
        raise ValueError(
            f"x must have shape ({Yarr.shape[0]},) or ({Yarr.shape[0]}, n_features) to match "
            f"Y of shape {Yarr.shape}, got {X.shape}")
    X = X.reshape(len(X), -1)
    if isinstance(Y, pd.DataFrame):
        if Y.columns.has_duplicates:
            raise ValueError("the columns of Y name the series and must be unique")
        ids: list[Hashable] = list(Y.columns)
    else:
        ids = list(range(Yarr.shape[1]))
    return _Batch(ids, [X] * len(ids), [Yarr[:, j] for j in range(len(ids))])


def _columns(table: Any, id: Hashable, x: Hashable | list[Hashable], y: Hashable) -> _Columns:
    xs = list(x) if isinstance(x, list) else [x]
    columns = _Columns(id, xs, y)
    missing = [c for c in [id, *xs, y] if c not in table.columns]
    if missing:
        raise ValueError(f"columns {missing} not in the table, which has {list(table.columns)}")
    return columns


def _series_from_table(table: pd.DataFrame,
                       columns: _Columns) -> tuple[_Batch, npt.NDArray[np.intp]]:
    """Series in order of first appearance, points in table order; also each one's first row."""
    codes, uniques = pd.factorize(table[columns.id], sort=False)
    order = np.argsort(codes, kind="stable")
    order = order[codes[order] >= 0]  # rows without an id
    bounds = np.searchsorted(codes[order], np.arange(1, len(uniques)))
    X = table[columns.x].to_numpy(dtype=np.float64)[order]
    y = table[columns.y].to_numpy(dtype=np.float64)[order]
    first = order[np.r_[0, bounds]] if len(uniques) else order
    return _Batch(list(uniques.tolist()), np.split(X, bounds), np.split(y, bounds)), first


def _number_rows(part: pd.DataFrame, partition_info: dict[str, Any] | None = None) -> pd.DataFrame:
    number = partition_info["number"] if partition_info else 0
    return part.assign(**{_PART: number, _ROW: np.arange(len(part))})


def _partition_series(part: pd.DataFrame,
                      columns: _Columns) -> tuple[_Batch, list[tuple[int, int]]]:
    """The series of one shuffled partition with their points back in the original order."""
    part = part.iloc[np.lexsort((part[_ROW].to_numpy(), part[_PART].to_numpy()))]
    series, first = _series_from_table(part, columns)
    keys = part[[_PART, _ROW]].to_numpy()[first]
    return series, [(int(p), int(r)) for p, r in keys]


def _fit_partition(part: pd.DataFrame, columns: _Columns, estimator: RobustPolynomialRegressor,
                   base: int) -> list[tuple[tuple[int, int], _Row]]:
    series, keys = _partition_series(part, columns)
    return list(zip(keys, _fit_batch(series, estimator, base)))


def _fit_dask_frame(frame: Any, columns: _Columns, estimator: RobustPolynomialRegressor,
                    base: int, client: Any, n_jobs: int | None, batch_size: int | None,
                    bar: Any) -> list[_Row]:
    """Shuffle so that each series lies in one partition, then fit partition by partition."""
    import dask

    frame = frame[[columns.id, *columns.x, columns.y]]
    meta = _number_rows(frame._meta)
    # Dask would pick the method from the default client, which need not be ours; the
    # disk shuffle is for one machine only.
    method = "disk" if client is None else "p2p"
    shuffled = frame.map_partitions(_number_rows, meta=meta).shuffle(on=columns.id,
                                                                      shuffle_method=method)
    parts = shuffled.to_delayed()
    bar.reset(total=len(parts))
    bar.unit = "partition"
    if client is not None:
        fit = functools.partial(_fit_partition, columns=columns, estimator=estimator, base=base)
        tasks = [dask.delayed(fit)(p) for p in parts]
        futures = client.compute(tasks)
        keyed: list[tuple[tuple[int, int], _Row]] = []
        for _, out in _as_completed(client, futures):
            keyed.extend(out)
            bar.update()
    else:
        # The synchronous scheduler assembles one partition at a time from the shuffle's
        # files; its series go to n_jobs local workers.
        def fit_here(part: pd.DataFrame) -> list[tuple[tuple[int, int], _Row]]:
            series, keys = _partition_series(part, columns)
            size = _batch_size(batch_size, len(series.ids), effective_n_jobs(n_jobs))
            rows = _run_local(_batches(series, size), estimator, base, n_jobs, lambda n: None)
            bar.update()
            return list(zip(keys, rows))

        outs = dask.compute(*[dask.delayed(fit_here, pure=False)(p) for p in parts],
                            scheduler="sync")
        keyed = [pair for out in outs for pair in out]
    keyed.sort(key=lambda pair: pair[0])
    return [row for _, row in keyed]


def _as_completed(client: Any, futures: Iterable[Any]) -> Iterable[tuple[Any, Any]]:
    from distributed import as_completed

    return as_completed(futures, loop=client.loop, with_results=True)  # type: ignore[no-any-return]


def _active_client(client: Any) -> Any:
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


def _is_dask_frame(data: object) -> bool:
    dd = sys.modules.get("dask.dataframe")
    return dd is not None and isinstance(data, dd.DataFrame)


def _base_seed(random_state: None | int | np.random.RandomState) -> int:
    if isinstance(random_state, numbers.Integral) and not isinstance(random_state, bool):
        check_random_state(random_state)  # the range RandomState accepts: 0 .. 2**32 - 1
        return int(random_state)
    return int(check_random_state(random_state).randint(0, 2**32, dtype=np.int64))


def _table(rows: list[_Row]) -> pd.DataFrame:
    # Explicit dtypes: inference would turn degrees into floats or drop None from errors.
    dtypes: dict[str, Any] = {"id": None, "mdl_score": np.float64, "inlier_share": np.float64,
                              "n_points": np.int64}
    return pd.DataFrame({name: pd.Series([row[i] for row in rows], dtype=dtypes.get(name, object))
                         for i, name in enumerate(COLUMNS)})


def fit_curves(
    data: Any,
    Y: Any = None,
    *,
    id: Hashable | None = None,
    x: Hashable | list[Hashable] | None = None,
    y: Hashable | None = None,
    estimator: RobustPolynomialRegressor | None = None,
    random_state: None | int | np.random.RandomState = 0,
    n_jobs: int | None = None,
    client: Any = None,
    progress: bool | None = None,
    batch_size: int | None = None,
) -> pd.DataFrame:
    """Fit a robust polynomial to each of many independent series.

    Parameters
    ----------
    data : array-like or pandas.DataFrame or dask.dataframe.DataFrame
        Either the x shared by all series, of shape (n_samples,) or (n_samples, n_features),
        with the series in `Y`; or a long table with one row per point, whose columns are
        named by `id`, `x` and `y`.
    Y : array-like of shape (n_samples, n_series), optional
        One series per column, with the shared x. A DataFrame's column names become the ids,
        otherwise the ids are the column indices.
    id, x, y : column names, optional
        With a long table: the column holding each row's series id, the input column (or a
        list of them) and the response column. Rows without an id are ignored.
    estimator : RobustPolynomialRegressor, optional
        Its parameters are used for every series; its `random_state` is replaced by each
        series' seed. Default: ``RobustPolynomialRegressor()``.
    random_state : None, int or numpy.random.RandomState, default=0
        Base of the seeds: each series' seed is a hash of this and its id, so a series gets
        the same fit whatever the other series, their order or the execution path.
    n_jobs : int, optional
        Local worker processes (joblib's convention: None is 1, -1 all cores). Not used
        when a Dask client is given or active.
    client : distributed.Client, optional
        Run on this Dask cluster; by default on the active client, if any.
    progress : bool, optional
        Show a progress bar on runs longer than a couple of seconds. None (the default)
        shows it only when standard error is a terminal.
    batch_size : int, optional
        Series per task. By default about eight tasks per worker, at most 64 series each.
        A Dask DataFrame is fitted one partition per task.

    Returns
    -------
    pandas.DataFrame
        One row per series, in order of first appearance, with the columns `id`, `degree`,
        `coef` (tuple, in the user's units, in the order of `powers`), `powers` (tuple of
        exponent tuples), `mdl_score`, `inlier_share`, `n_points` (points without NaN) and
        `error`: None, or the message of the ValueError that stopped this series' fit, in
        which case the fit's columns are None or NaN.

    Notes
    -----
    Points whose y or x is NaN are left out of their series. With several workers each fit
    runs on one thread and the work is spread across series; in this process alone, each fit
    uses the default number of threads. The results are the same bits either way.
    """
    if estimator is None:
        estimator = RobustPolynomialRegressor()
    elif not isinstance(estimator, RobustPolynomialRegressor):
        raise TypeError(
            f"estimator must be a RobustPolynomialRegressor, got {type(estimator).__name__}")
    if batch_size is not None and (not isinstance(batch_size, numbers.Integral) or batch_size < 1):
        raise ValueError(f"batch_size must be a positive integer or None, got {batch_size!r}")
    base = _base_seed(random_state)
    client = _active_client(client)
    long_form = Y is None
    given = [name is not None for name in (id, x, y)]
    if not all(given) if long_form else any(given):
        raise ValueError("pass either x and Y, or a table with the id=, x= and y= column names")
    with tqdm(total=0, unit="series", delay=PROGRESS_DELAY,
              disable=None if progress is None else not progress) as bar:
        if long_form and _is_dask_frame(data):
            columns = _columns(data, id, x, y)
            return _table(_fit_dask_frame(data, columns, estimator, base, client, n_jobs,
                                          batch_size, bar))
        if long_form:
            if not isinstance(data, pd.DataFrame):
                raise ValueError(
                    f"a table must be a pandas or Dask DataFrame, got {type(data).__name__}")
            series, _ = _series_from_table(data, _columns(data, id, x, y))
        else:
            series = _series_from_matrix(data, Y)
        bar.reset(total=len(series.ids))
        n_workers = sum(client.nthreads().values()) if client else effective_n_jobs(n_jobs)
        batches = _batches(series, _batch_size(batch_size, len(series.ids), n_workers))
        if client is not None:
            rows = _run_on_cluster(client, batches, estimator, base, bar.update)
        else:
            rows = _run_local(batches, estimator, base, n_jobs, bar.update)
    return _table(rows)
