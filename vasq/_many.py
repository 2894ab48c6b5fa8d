"""Fitting many independent series: the entry point, its checks and the tables it returns.

Every path fits the same batches with the same function and seeds each series from
`random_state` and its id alone, so the tables they return are identical to the bit.
"""

from __future__ import annotations

import numbers
from collections.abc import Hashable
from typing import Any, Literal, overload

import numpy as np
import pandas as pd
from joblib import effective_n_jobs
from sklearn.utils import check_random_state
from tqdm.auto import tqdm

from vasq import _many_dask
from vasq._estimator import RobustPolynomialRegressor
from vasq._many_fit import COLUMNS, Plan, Points, Row
from vasq._many_input import refuse_missing, series_from_matrix, series_from_table, table_columns
from vasq._many_local import BACKENDS, batches, run_local
from vasq._many_local import batch_size as _batch_size

MISSING = ("drop", "error")
# Seconds before a progress bar shows, so that short runs print nothing.
PROGRESS_DELAY = 2.0
# Explicit dtypes: inference would turn degrees into floats, drop None from errors, or
# integer ids into floats when one id is a float; counts and flags of failed series are NA.
_DTYPES: dict[str, Any] = {"scale": np.float64, "n_samples": np.int64, "n_inliers": "Int64",
                           "bic_score": np.float64, "reached_max_degree": "boolean"}


def _check_n_jobs(n_jobs: object) -> None:
    if n_jobs is not None and (not isinstance(n_jobs, numbers.Integral)
                               or isinstance(n_jobs, bool)):
        raise TypeError(f"n_jobs must be an integer or None, got {type(n_jobs).__name__}")


def _base_seed(random_state: None | int | np.random.RandomState) -> int:
    if isinstance(random_state, numbers.Integral) and not isinstance(random_state, bool):
        check_random_state(random_state)  # the range RandomState accepts: 0 .. 2**32 - 1
        return int(random_state)
    return int(check_random_state(random_state).randint(0, 2**32, dtype=np.int64))


def _table(rows: list[Row], id_dtype: Any) -> pd.DataFrame:
    dtypes = {"id": id_dtype, **_DTYPES}
    return pd.DataFrame({name: pd.Series([row[i] for row in rows], dtype=dtypes.get(name, object))
                         for i, name in enumerate(COLUMNS)})


def _points_table(rows: list[Row], ids: pd.Series) -> pd.DataFrame:
    """The points of every fitted series after one another; `ids` is the table's id column."""
    fitted = [row.points for row in rows if row.points is not None]
    counts = [0 if row.points is None else row.points.row.size for row in rows]
    empty = Points(np.empty(0, np.int64), np.empty(0), np.empty(0), np.empty(0),
                   np.empty(0, bool))
    columns = {name: np.concatenate([empty[i], *(p[i] for p in fitted)])
               for i, name in enumerate(Points._fields)}
    return pd.DataFrame({"id": ids.repeat(counts).reset_index(drop=True), **columns})


def _results(rows: list[Row], id_dtype: Any,
             per_point: bool) -> pd.DataFrame | tuple[pd.DataFrame, pd.DataFrame]:
    table = _table(rows, id_dtype)
    return (table, _points_table(rows, table["id"])) if per_point else table


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
    backend: Literal["threads", "processes"] = ...,
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
    backend: Literal["threads", "processes"] = ...,
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
    backend: Literal["threads", "processes"] = "threads",
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
        Local workers (joblib's convention: None is 1, -1 all cores). Not used when a Dask
        client is given or active.
    backend : {"threads", "processes"}, default="threads"
        What the local workers are: threads of this process, which share its copy of the
        data (the core releases the interpreter lock while it fits), or joblib's loky
        worker processes, to which the batches are sent. Not used with one worker.
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
        input's dtype), `degree`, `coef` and `coef_se` (tuples in the user's units, in the
        order of the model's `powers`), `scale` (the noise scale), `n_samples` (points
        without NaN), `n_inliers`, `bic_score` (the degree criterion of the chosen degree),
        `reached_max_degree` (whether "auto" chose the highest degree it could try), `model`
        (the fitted :class:`PolynomialModel`, which predicts as the estimator does) and
        `error`: None, or the message of the ValueError that stopped this series' fit or
        its row (such as coefficients that overflow in user units), in which case `model`
        and the fit's columns are None, NaN or NA.
    points : pandas.DataFrame
        Only with ``per_point=True``: one row per fitted point, series in the order of
        `table` and points in the order given, with the columns `id`, `row`, `fitted` (the
        model's `predict` at the point), `residual` (y - fitted), `weight` (of the point in
        the final fit, 0 for an outlier) and `inlier` (bool, the model's `inlier_mask`).
        `row` is the 0-based position of the point within its series as given, points with
        missing values counted: the row of `Y`, or the place of the row among its series'
        rows of the long table (``table.groupby(id).cumcount()`` numbers them alike, for a
        join). Points with missing values are not listed, so they are
        never mistaken for rejected ones; nor are the points of a series whose fit failed.

    Raises
    ------
    ValueError
        On inconsistent arguments, a parameter of `estimator` out of range (before any
        data are read), a Y without rows, missing values with ``missing="error"``, or ids
        that compare equal but are of different types, such as 1, 1.0 and True: they are
        refused, naming them, rather than merged into one series under the seed of
        whichever comes first. Integers of every width count as one type,
        as do floats and strings.
    TypeError
        If `estimator` is not a RobustPolynomialRegressor or `n_jobs` not an integer.

    Notes
    -----
    Ids may be integers, floats, strings or timestamps. With several workers each fit runs
    on one thread and the work is spread across series; with one worker, each fit uses the
    core's default number of threads. The results are the same bits either way. On Dask,
    the series travel as arguments of the tasks, so that a task lost with its worker is run
    again elsewhere: a dead worker costs time, not results. Dask reads the object columns of
    a pandas DataFrame as strings; where that reading is the last step before the id column,
    as in ``dask.dataframe.from_pandas(table)``, the ids are read as pandas holds them, so
    ints stored as objects stay ints, with the seeds and the table of the pandas path. The
    points of ``per_point=True`` are gathered in this process, one row per reading, even
    from a Dask DataFrame that does not fit in memory.
    """
    if estimator is None:
        estimator = RobustPolynomialRegressor()
    elif not isinstance(estimator, RobustPolynomialRegressor):
        raise TypeError(
            f"estimator must be a RobustPolynomialRegressor, got {type(estimator).__name__}")
    # A bad parameter would fail every series alike: refuse it before reading anything.
    estimator._validate_params()
    _check_n_jobs(n_jobs)
    if backend not in BACKENDS:
        raise ValueError(f"backend must be one of {tuple(BACKENDS)}, got {backend!r}")
    if missing not in MISSING:
        raise ValueError(f"missing must be one of {MISSING}, got {missing!r}")
    if batch_size is not None and (not isinstance(batch_size, numbers.Integral) or batch_size < 1):
        raise ValueError(f"batch_size must be a positive integer or None, got {batch_size!r}")
    plan = Plan(estimator, _base_seed(random_state), bool(per_point))
    client = _many_dask.active_client(client)
    long_form = Y is None
    given = [name is not None for name in (id, x, y)]
    if not all(given) if long_form else any(given):
        raise ValueError("pass either x and Y, or a table with the id=, x= and y= column names")
    with tqdm(total=0, unit="series", delay=PROGRESS_DELAY,
              disable=None if progress is None else not progress) as bar:
        if long_form and _many_dask.is_dask_frame(data):
            columns = table_columns(data, id, x, y)
            frame = _many_dask.fitted_columns(data, columns)
            if missing == "error":
                _many_dask.refuse_missing_in_frame(frame, columns)
            rows = _many_dask.fit_dask_frame(frame, columns, plan, client, n_jobs, backend,
                                             batch_size, bar)
            return _results(rows, _many_dask.id_dtype(frame, columns), plan.per_point)
        if long_form:
            if not isinstance(data, pd.DataFrame):
                raise ValueError(
                    f"a table must be a pandas or Dask DataFrame, got {type(data).__name__}")
            columns = table_columns(data, id, x, y)
            series, _ = series_from_table(data, columns)
            id_dtype = data[columns.id].dtype
        else:
            series, id_dtype = series_from_matrix(data, Y)
        if missing == "error":
            refuse_missing(series)
        bar.reset(total=len(series.ids))
        n_workers = sum(client.nthreads().values()) if client else effective_n_jobs(n_jobs)
        work = batches(series, _batch_size(batch_size, len(series.ids), n_workers))
        if client is not None:
            rows = _many_dask.run_on_cluster(client, work, plan, bar.update)
        else:
            rows = run_local(work, plan, n_jobs, backend, bar.update)
    return _results(rows, id_dtype, plan.per_point)
