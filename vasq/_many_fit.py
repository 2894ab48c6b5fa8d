"""One series' fit and its result row: the unit of work that every execution path runs."""

from __future__ import annotations

import datetime
import functools
import hashlib
import math
import numbers
from collections.abc import Hashable
from typing import NamedTuple

import numpy as np
import numpy.typing as npt
import pandas as pd
from sklearn import config_context
from sklearn.base import clone
from threadpoolctl import ThreadpoolController

from vasq._estimator import RobustPolynomialRegressor
from vasq._fit import Prepared, fit_models, prepare
from vasq._model import PolynomialModel

Floats = npt.NDArray[np.float64]


class Points(NamedTuple):
    """The fitted points of one series; `row` numbers them as given, missing ones counted."""

    row: npt.NDArray[np.int64]
    fitted: Floats
    residual: Floats
    weight: Floats
    inlier: npt.NDArray[np.bool_]


class Row(NamedTuple):
    """One series' line of the result table, and its points when they were asked for."""

    id: Hashable
    degree: int | tuple[int, ...] | None
    coef: tuple[float, ...] | None
    coef_se: tuple[float, ...] | None
    scale: float
    n_samples: int
    n_inliers: int | None
    bic_score: float
    reached_max_degree: bool | None
    model: PolynomialModel | None
    error: str | None
    points: Points | None = None  # not a column of the table


COLUMNS = list(Row._fields[:-1])


class Batch(NamedTuple):
    """Series to fit in one task; a shared x is the same array object in every entry."""

    ids: list[Hashable]
    X: list[Floats]
    y: list[Floats]


class Plan(NamedTuple):
    """What every task does with each series of its batch."""

    estimator: RobustPolynomialRegressor
    base: int  # of the series' seeds
    per_point: bool


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


def model_row(series_id: Hashable, model: PolynomialModel, points: Points | None) -> Row:
    """The row of a fitted series; reading `coef` raises if it overflows in user units."""
    return Row(series_id, model.degree, tuple(model.coef.tolist()),
               tuple(model.coef_se.tolist()), float(model.scale), int(model.n_samples),
               int(model.n_inliers), float(model.bic_score), bool(model.reached_max_degree),
               model, None, points)


def failed_row(series_id: Hashable, n_samples: int, error: ValueError) -> Row:
    return Row(series_id, None, None, None, math.nan, n_samples, None, math.nan, None, None,
               str(error))


def fitted_points(model: PolynomialModel, row: npt.NDArray[np.int64], X: Floats,
                  y: Floats) -> Points:
    fitted = model.predict(X)
    return Points(row, fitted, y - fitted, model.weights, model.inlier_mask)


class Checked(NamedTuple):
    """One series' points without missing values, numbered as given, and its data for the fit.

    `data` is the ValueError of the estimator's check where it rejects them.
    """

    row: npt.NDArray[np.int64]
    X: Floats
    y: Floats
    data: Prepared | ValueError


def checked_series(estimator: RobustPolynomialRegressor, plan: Plan, series_id: Hashable,
                   X: Floats, y: Floats) -> Checked:
    """One series checked and scaled for its fit with `estimator`, with its own seed.

    Points with missing values are left out.
    """
    kept = np.flatnonzero(~(np.isnan(y) | np.isnan(X).any(axis=1)))
    if kept.size < y.size:
        X, y = X[kept], y[kept]
    estimator.random_state = series_seed(plan.base, series_id)
    try:
        return Checked(kept, X, y, prepare(estimator, *estimator._fit_data(X, y, None, None)))
    except ValueError as error:
        return Checked(kept, X, y, error)


def series_row(series_id: Hashable, plan: Plan, series: Checked,
               model: PolynomialModel | ValueError) -> Row:
    """The row of one series, or of its error.

    It is built inside the guard: a series whose fit or whose row raises a ValueError reports
    it in its own row and leaves the others alone.
    """
    try:
        if isinstance(model, ValueError):
            raise model
        points = fitted_points(model, series.row, series.X, series.y) if plan.per_point else None
        return model_row(series_id, model, points)
    except ValueError as error:
        return failed_row(series_id, series.y.size, error)


@functools.cache
def thread_pools() -> ThreadpoolController:
    """The thread pools of the native libraries loaded with the core, found once per process.

    Finding them walks every loaded library, several ms holding the interpreter lock: once
    per batch of a dozen short series, that was up to a tenth of their Python time.
    """
    return ThreadpoolController()


def fit_batch(batch: Batch, plan: Plan, threads: int | None = 1) -> list[Row]:
    """Fit a batch's series in one call of the core, on `threads` of its threads (None: all).

    Where threads or processes run batches side by side, one thread each keeps the cores from
    being oversubscribed: the parallelism is across batches. The core's team size is an
    OpenMP setting of the calling thread, so each worker thread sets its own. One copy of
    the estimator checks every series in turn. Its parameters were checked by fit_curves, so
    the checks of the series skip scikit-learn's check of them.
    """
    estimator = clone(plan.estimator)
    with config_context(skip_parameter_validation=True):
        series = [checked_series(estimator, plan, i, X, y)
                  for i, X, y in zip(batch.ids, batch.X, batch.y, strict=True)]
    ready = [s.data for s in series if not isinstance(s.data, ValueError)]
    with thread_pools().limit(limits=threads, user_api="openmp"):
        fitted = iter(fit_models(estimator, ready))
    return [series_row(i, plan, s, s.data if isinstance(s.data, ValueError) else next(fitted))
            for i, s in zip(batch.ids, series, strict=True)]
