"""Fitting many independent series: in this process, on local worker processes, or on Dask.

Every path fits the same batches with the same function and seeds each series from
`random_state` and its id alone, so the tables they return are identical to the bit.
"""

from __future__ import annotations

import datetime
import functools
import hashlib
import math
import numbers
import sys
import warnings
from collections.abc import Callable, Hashable, Iterable
from typing import Any, Literal, NamedTuple, overload

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

COLUMNS = ["id", "degree", "coef", "powers", "centre", "half_width", "y_loc", "y_scale", "beta",
           "mdl_score", "inlier_share", "n_points", "error"]
MISSING = ("drop", "error")
# Seconds before a progress bar shows, so that short runs print nothing.
PROGRESS_DELAY = 2.0
# Tasks per worker when the batch size is automatic: enough to balance uneven series,
# few enough that scheduling stays negligible next to the fits.
_TASKS_PER_WORKER = 8
_MAX_BATCH = 64
# Reruns of a task whose fit raised (a worker out of memory, say) before the call fails.
_RETRIES = 2
# Original position of each row of a Dask DataFrame, carried through the shuffle.
_PART, _ROW = "__vasq_partition__", "__vasq_row__"


class _Points(NamedTuple):
    """The fitted points of one series; `row` numbers them as given, missing ones counted."""

    row: npt.NDArray[np.int64]
    fitted: Floats
    residual: Floats
    weight: Floats
    inlier: npt.NDArray[np.bool_]


class _Row(NamedTuple):
    id: Hashable
    degree: int | tuple[int, ...] | None
    coef: tuple[float, ...] | None
    powers: tuple[tuple[int, ...], ...] | None
    centre: tuple[float, ...] | None
    half_width: tuple[float, ...] | None
    y_loc: float
    y_scale: float
    beta: tuple[float, ...] | None
    mdl_score: float
    inlier_share: float
    n_points: int
    error: str | None
    points: _Points | None = None  # not a column of the table


class _Batch(NamedTuple):
    """Series to fit in one task; a shared x is the same array object in every entry."""

    ids: list[Hashable]
    X: list[Floats]
    y: list[Floats]


class _Plan(NamedTuple):
    """What every task does with each series of its batch."""

    estimator: RobustPolynomialRegressor
    base: int  # of the series' seeds
    per_point: bool


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
    elif isinstance(series_id, datetime.datetime):
        token = b"t" + pd.Timestamp(series_id).isoformat().encode()
    else:
        raise ValueError("series ids must be integers, floats, strings or timestamps, got "
                         f"{type(series_id).__name__}")
    digest = hashlib.blake2b(token, digest_size=4, key=base.to_bytes(8, "little")).digest()
    return int.from_bytes(digest, "little")


def _fit_one(plan: _Plan, series_id: Hashable, X: Floats, y: Floats) -> _Row:
    kept = np.flatnonzero(~(np.isnan(y) | np.isnan(X).any(axis=1)))
    if kept.size < y.size:
        X, y = X[kept], y[kept]
    model = clone(plan.estimator).set_params(random_state=series_seed(plan.base, series_id))
    try:
        model.fit(X, y)
    except ValueError as exc:
        return _Row(series_id, None, None, None, None, None, math.nan, math.nan, None, math.nan,
                    math.nan, len(y), str(exc))
    degree = model.degree_
    points = None
    if plan.per_point:
        fitted = model.predict(X)
        points = _Points(kept, fitted, y - fitted, model._weights, model.inlier_mask_)
    # The scaled model (centre, half-width, y location and scale, beta) rebuilds predict's
    # numbers exactly; coef in powers of the raw x cancels badly far from zero.
    return _Row(
        series_id,
        int(degree) if np.ndim(degree) == 0 else tuple(int(d) for d in degree),
        tuple(model.coef_.tolist()),
        tuple(tuple(p) for p in model.powers_.tolist()),
        tuple(model._centre.tolist()),
        tuple(model._half.tolist()),
        float(model._y_loc),
        float(model._y_scale),
        tuple(model._beta.tolist()),
        float(model.mdl_score_),
        float(np.mean(model.inlier_mask_)),
        len(y),
        None,
        points,
    )


def _fit_batch(batch: _Batch, plan: _Plan, threads: int | None = 1) -> list[_Row]:
    """Fit every series of a batch, each on `threads` threads (None: the default team).

    Where processes run batches side by side, one thread each keeps the cores from being
    oversubscribed: the parallelism is across series.
    """
    with threadpool_limits(limits=threads):
        return [_fit_one(plan, i, X, y) for i, X, y in zip(batch.ids, batch.X, batch.y)]


def _batches(series: _Batch, size: int) -> list[_Batch]:
    return [_Batch(series.ids[i:i + size], series.X[i:i + size], series.y[i:i + size])
            for i in range(0, len(series.ids), size)]


def _batch_size(batch_size: int | None, n_series: int, n_workers: int) -> int:
    if batch_size is None:
        return max(1, min(_MAX_BATCH, math.ceil(n_series / (_TASKS_PER_WORKER * n_workers))))
    return batch_size


def _run_local(batches: list[_Batch], plan: _Plan, n_jobs: int | None,
               progress: Callable[[int], object]) -> list[_Row]:
    rows: list[_Row] = []
    # Alone in this process, a fit may use every core for its own parallel chains.
    threads = None if effective_n_jobs(n_jobs) == 1 else 1
    with parallel_config(backend="loky"):
        runs = Parallel(n_jobs=n_jobs, return_as="generator")(
            delayed(_fit_batch)(batch, plan, threads) for batch in batches)
        for batch, out in zip(batches, runs):
            rows.extend(out)
            progress(len(batch.ids))
    return rows


def _run_on_cluster(client: Any, batches: list[_Batch], plan: _Plan,
                    progress: Callable[[int], object]) -> list[_Row]:
    # The batches are arguments of the tasks, not scattered data: the scheduler holds them
    # and can run a task again elsewhere when its worker dies, before or after it finished.
    with warnings.catch_warnings():
        # Distributed advises scattering data that large, the very thing to avoid here.
        warnings.filterwarnings("ignore", "Sending large graph", UserWarning)
        futures = client.map(_fit_batch, batches, plan=plan, pure=False, retries=_RETRIES)
    position = {future.key: i for i, future in enumerate(futures)}
    done: list[list[_Row]] = [[] for _ in batches]
    for future, out in _as_completed(client, futures):
        i = position[future.key]
        done[i] = out
        progress(len(batches[i].ids))
    return [row for out in done for row in out]


def _series_from_matrix(x: object, Y: object) -> tuple[_Batch, Any]:
    """The series of the columns of Y, and the dtype of their ids."""
    Yarr = np.asarray(Y, dtype=np.float64)
    if Yarr.ndim != 2:
        raise ValueError(f"Y must be 2-D (n_samples, n_series), got shape {Yarr.shape}")
    if Yarr.shape[0] == 0:
        raise ValueError(f"Y has no rows (shape {Yarr.shape}): every series needs points")
    X = np.asarray(x, dtype=np.float64)
    if X.ndim not in (1, 2) or X.shape[0] != Yarr.shape[0]:
        raise ValueError(
            f"x must have shape ({Yarr.shape[0]},) or ({Yarr.shape[0]}, n_features) to match "
            f"Y of shape {Yarr.shape}, got {X.shape}")
    X = X.reshape(X.shape[0], -1)
    if isinstance(Y, pd.DataFrame):
        if Y.columns.has_duplicates:
            equal = Y.columns[Y.columns.duplicated(keep=False)].tolist()
            raise ValueError("the columns of Y name the series and must be unique; equal: "
                             + ", ".join(map(repr, equal)))
        ids: list[Hashable] = list(Y.columns)
        id_dtype = Y.columns.dtype
    else:
        ids, id_dtype = list(range(Yarr.shape[1])), np.dtype(np.int64)
    return _Batch(ids, [X] * len(ids), [Yarr[:, j] for j in range(len(ids))]), id_dtype


def _id_kind(kind: type) -> str:
    """The family of an id's type: ids of one family that compare equal share a seed."""
    if issubclass(kind, (bool, np.bool_)):
        return "bool"
    for family in (numbers.Integral, numbers.Real, str, datetime.datetime):
        if issubclass(kind, family):
            return family.__name__
    return kind.__name__


def _check_id_kinds(ids: pd.Series, codes: npt.NDArray[np.intp]) -> None:
    """Refuse ids that are equal but of different families, such as 1, 1.0 and True.

    Grouping would merge their series under whichever spelling comes first, with that
    spelling's seed; no choice between them is right.
    """
    if ids.dtype != object:
        return
    types = ids.map(type)
    kinds = types.map({t: _id_kind(t) for t in types.unique()}).to_numpy()
    pairs = pd.DataFrame({"code": codes, "kind": kinds}).drop_duplicates()
    clash = pairs.loc[pairs["code"].duplicated() & (pairs["code"] >= 0), "code"]
    if len(clash):
        spellings = ids[codes == clash.iloc[0]].map(type).drop_duplicates().index
        shown = ", ".join(f"{ids[i]!r} ({type(ids[i]).__name__})" for i in spellings[:4])
        raise ValueError(f"ids {shown} are equal but of different types; give every id of a "
                         "series the same type")


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
    _check_id_kinds(table[columns.id].reset_index(drop=True), codes)
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


def _fit_partition(part: pd.DataFrame, columns: _Columns,
                   plan: _Plan) -> list[tuple[tuple[int, int], _Row]]:
    series, keys = _partition_series(part, columns)
    return list(zip(keys, _fit_batch(series, plan)))


def _fit_dask_frame(frame: Any, columns: _Columns, plan: _Plan, client: Any, n_jobs: int | None,
                    batch_size: int | None, bar: Any) -> list[_Row]:
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
        fit = functools.partial(_fit_partition, columns=columns, plan=plan)
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
            rows = _run_local(_batches(series, size), plan, n_jobs, lambda n: None)
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


def _missing_error(series_id: Hashable) -> ValueError:
    return ValueError(f"series {series_id!r} has missing values (NaN); missing='drop' leaves "
                      "those points out")


def _refuse_missing(series: _Batch) -> None:
    for i, X, y in zip(series.ids, series.X, series.y):
        if np.isnan(y).any() or np.isnan(X).any():
            raise _missing_error(i)


def _refuse_missing_in_frame(frame: Any, columns: _Columns) -> None:
    gaps = frame[[*columns.x, columns.y]].isna().any(axis=1) & ~frame[columns.id].isna()
    first = frame.loc[gaps, columns.id].head(1, npartitions=-1)
    if len(first):
        raise _missing_error(first.iloc[0])


def _check_n_jobs(n_jobs: object) -> None:
    if n_jobs is not None and (not isinstance(n_jobs, numbers.Integral)
                               or isinstance(n_jobs, bool)):
        raise TypeError(f"n_jobs must be an integer or None, got {type(n_jobs).__name__}")


def _base_seed(random_state: None | int | np.random.RandomState) -> int:
    if isinstance(random_state, numbers.Integral) and not isinstance(random_state, bool):
        check_random_state(random_state)  # the range RandomState accepts: 0 .. 2**32 - 1
        return int(random_state)
    return int(check_random_state(random_state).randint(0, 2**32, dtype=np.int64))


def _table(rows: list[_Row], id_dtype: Any) -> pd.DataFrame:
    # Explicit dtypes: inference would turn degrees into floats, drop None from errors, or
    # integer ids into floats when one id is a float.
    dtypes: dict[str, Any] = {"id": id_dtype, "y_loc": np.float64, "y_scale": np.float64,
                              "mdl_score": np.float64, "inlier_share": np.float64,
                              "n_points": np.int64}
    return pd.DataFrame({name: pd.Series([row[i] for row in rows], dtype=dtypes.get(name, object))
                         for i, name in enumerate(COLUMNS)})


def _results(rows: list[_Row], id_dtype: Any,
             per_point: bool) -> pd.DataFrame | tuple[pd.DataFrame, pd.DataFrame]:
    table = _table(rows, id_dtype)
    return (table, _points_table(rows, table["id"])) if per_point else table


def _points_table(rows: list[_Row], ids: pd.Series) -> pd.DataFrame:
    """The points of every fitted series after one another; `ids` is the table's id column."""
    fitted = [row.points for row in rows if row.points is not None]
    counts = [0 if row.points is None else row.points.row.size for row in rows]
    empty = _Points(np.empty(0, np.int64), np.empty(0), np.empty(0), np.empty(0),
                    np.empty(0, bool))
    columns = {name: np.concatenate([empty[i], *(p[i] for p in fitted)])
               for i, name in enumerate(_Points._fields)}
    return pd.DataFrame({"id": ids.repeat(counts).reset_index(drop=True), **columns})


@overload
def fit_curves(
    data: Any,
    Y: Any = ...,
    *,
    id: Hashable | None = ...,
    x: Hashable | list[Hashable] | None = ...,
    y: Hashable | None = ...,
    estimator: RobustPolynomialRegressor | None = ...,
    random_state: None | int | np.random.RandomState = ...,
    n_jobs: int | None = ...,
    client: Any = ...,
    progress: bool | None = ...,
    batch_size: int | None = ...,
    missing: str = ...,
    per_point: Literal[False] = ...,
) -> pd.DataFrame: ...


@overload
def fit_curves(
    data: Any,
    Y: Any = ...,
    *,
    id: Hashable | None = ...,
    x: Hashable | list[Hashable] | None = ...,
    y: Hashable | None = ...,
    estimator: RobustPolynomialRegressor | None = ...,
    random_state: None | int | np.random.RandomState = ...,
    n_jobs: int | None = ...,
    client: Any = ...,
    progress: bool | None = ...,
    batch_size: int | None = ...,
    missing: str = ...,
    per_point: Literal[True],
) -> tuple[pd.DataFrame, pd.DataFrame]: ...


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
    missing: str = "drop",
    per_point: bool = False,
) -> pd.DataFrame | tuple[pd.DataFrame, pd.DataFrame]:
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
    missing : {"drop", "error"}, default="drop"
        What a point whose y or x is NaN means: "drop" leaves it out of its series,
        "error" refuses the whole call, naming the series, before anything is fitted.
    per_point : bool, default=False
        Also return the result of every point (see Returns).

    Returns
    -------
    table : pandas.DataFrame
        One row per series, in order of first appearance, with the columns `id` (of the
        input's dtype), `degree`, `coef` (tuple, in the user's units, in the order of
        `powers`), `powers` (tuple of exponent tuples), the scaled model `centre` and
        `half_width` (tuples, one per feature), `y_loc`, `y_scale` and `beta` (tuple, in the
        order of `powers`), `mdl_score`, `inlier_share`, `n_points` (points without NaN) and
        `error`: None, or the message of the ValueError that stopped this series' fit, in
        which case the fit's columns are None or NaN. The scaled model gives the estimator's
        own predictions: ``(prod(((x - centre) / half_width) ** powers) @ beta) * y_scale
        + y_loc``, where `coef` can lose every digit to cancellation far from zero.
    points : pandas.DataFrame
        Only with ``per_point=True``: one row per fitted point, series in the order of
        `table` and points in the order given, with the columns `id`, `row`, `fitted` (the
        estimator's `predict` at the point), `residual` (y - fitted), `weight` (of the point
        in the final fit, 0 for an outlier) and `inlier` (bool, the estimator's
        `inlier_mask_`). `row` is the 0-based position of the point within its series as
        given, points with missing values counted: the row of `Y`, or the place of the row
        among its series' rows of the long table (``table.groupby(id).cumcount()`` numbers
        them alike, for a join). Points with missing values are not listed, so they are
        never mistaken for rejected ones; nor are the points of a series whose fit failed.

    Raises
    ------
    ValueError
        On inconsistent arguments, a Y without rows, missing values with
        ``missing="error"``, or ids that compare equal but are of different types, such as
        1, 1.0 and True: they are refused, naming them, rather than merged into one series
        under the seed of whichever comes first. Integers of every width count as one type,
        as do floats and strings.
    TypeError
        If `estimator` is not a RobustPolynomialRegressor or `n_jobs` not an integer.

    Notes
    -----
    Ids may be integers, floats, strings or timestamps. With several workers each fit runs
    on one thread and the work is spread across series; in this process alone, each fit
    uses the default number of threads. The results are the same bits either way. On Dask,
    the series travel as arguments of the tasks, so that a task lost with its worker is run
    again elsewhere: a dead worker costs time, not results. The points of
    ``per_point=True`` are gathered in this process, one row per reading, even from a Dask
    DataFrame that does not fit in memory.
    """
    if estimator is None:
        estimator = RobustPolynomialRegressor()
    elif not isinstance(estimator, RobustPolynomialRegressor):
        raise TypeError(
            f"estimator must be a RobustPolynomialRegressor, got {type(estimator).__name__}")
    # A bad parameter would fail every series alike: refuse it before reading anything.
    estimator._check_params()
    _check_n_jobs(n_jobs)
    if missing not in MISSING:
        raise ValueError(f"missing must be one of {MISSING}, got {missing!r}")
    if batch_size is not None and (not isinstance(batch_size, numbers.Integral) or batch_size < 1):
        raise ValueError(f"batch_size must be a positive integer or None, got {batch_size!r}")
    plan = _Plan(estimator, _base_seed(random_state), bool(per_point))
    client = _active_client(client)
    long_form = Y is None
    given = [name is not None for name in (id, x, y)]
    if not all(given) if long_form else any(given):
        raise ValueError("pass either x and Y, or a table with the id=, x= and y= column names")
    with tqdm(total=0, unit="series", delay=PROGRESS_DELAY,
              disable=None if progress is None else not progress) as bar:
        if long_form and _is_dask_frame(data):
            columns = _columns(data, id, x, y)
            if missing == "error":
                _refuse_missing_in_frame(data, columns)
            id_dtype = data[columns.id].dtype
            # Dask turns text columns into its own string dtype; the table keeps pandas' one.
            if isinstance(id_dtype, pd.StringDtype):
                id_dtype = "str"
            rows = _fit_dask_frame(data, columns, plan, client, n_jobs, batch_size, bar)
            return _results(rows, id_dtype, plan.per_point)
        if long_form:
            if not isinstance(data, pd.DataFrame):
                raise ValueError(
                    f"a table must be a pandas or Dask DataFrame, got {type(data).__name__}")
            columns = _columns(data, id, x, y)
            series, _ = _series_from_table(data, columns)
            id_dtype = data[columns.id].dtype
        else:
            series, id_dtype = _series_from_matrix(data, Y)
        if missing == "error":
            _refuse_missing(series)
        bar.reset(total=len(series.ids))
        n_workers = sum(client.nthreads().values()) if client else effective_n_jobs(n_jobs)
        batches = _batches(series, _batch_size(batch_size, len(series.ids), n_workers))
        if client is not None:
            rows = _run_on_cluster(client, batches, plan, bar.update)
        else:
            rows = _run_local(batches, plan, n_jobs, bar.update)
    return _results(rows, id_dtype, plan.per_point)
