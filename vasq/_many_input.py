"""The series in fit_curves' inputs: a shared x with one series per column, or a long table."""

from __future__ import annotations

import datetime
import numbers
from collections.abc import Hashable
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt
import pandas as pd

from vasq._many_fit import Batch


class Columns(NamedTuple):
    id: Hashable
    x: list[Hashable]
    y: Hashable


def series_from_matrix(x: object, Y: object) -> tuple[Batch, Any]:
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
    return Batch(ids, [X] * len(ids), [Yarr[:, j] for j in range(len(ids))]), id_dtype


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


def table_columns(table: Any, id: Hashable, x: Hashable | list[Hashable], y: Hashable) -> Columns:
    """The id, x and y columns of a long table, each checked to be there."""
    xs = list(x) if isinstance(x, list) else [x]
    columns = Columns(id, xs, y)
    missing = [c for c in [id, *xs, y] if c not in table.columns]
    if missing:
        raise ValueError(f"columns {missing} not in the table, which has {list(table.columns)}")
    return columns


def series_rows(ids: pd.Series) -> tuple[npt.NDArray[np.intp], Any, npt.NDArray[np.intp]]:
    """Each row's series code, the series' ids, and the rows of every series after one another.

    Series are in order of first appearance and each one's rows in table order; rows without
    an id are left out.
    """
    codes, uniques = pd.factorize(ids, sort=False)
    order = np.argsort(codes, kind="stable")
    return codes, uniques, order[codes[order] >= 0]


def series_from_table(table: pd.DataFrame,
                      columns: Columns) -> tuple[Batch, npt.NDArray[np.intp]]:
    """Series in order of first appearance, points in table order; also each one's first row."""
    codes, uniques, order = series_rows(table[columns.id])
    _check_id_kinds(table[columns.id].reset_index(drop=True), codes)
    bounds = np.searchsorted(codes[order], np.arange(1, len(uniques)))
    if not len(uniques):  # np.split would still give one empty series
        return Batch([], [], []), order
    X = table[columns.x].to_numpy(dtype=np.float64)[order]
    y = table[columns.y].to_numpy(dtype=np.float64)[order]
    first = order[np.r_[0, bounds]]
    return Batch(list(uniques.tolist()), np.split(X, bounds), np.split(y, bounds)), first


def missing_error(series_id: Hashable) -> ValueError:
    return ValueError(f"series {series_id!r} has missing values (NaN); missing='drop' leaves "
                      "those points out")


def refuse_missing(series: Batch) -> None:
    for i, X, y in zip(series.ids, series.X, series.y, strict=True):
        if np.isnan(y).any() or np.isnan(X).any():
            raise missing_error(i)
