"""A long table's series a part at a time, from a file read twice in chunks, never whole.

The first reading finds each series' last row; the second hands on a part of the series, in
order of first appearance, as soon as the file has been read past the last row of all of
them. When each series' rows are together in the file, as a logger writes them, no more
than a part and a chunk of the table is held at a time, whatever the number of series.
"""

from __future__ import annotations

from collections.abc import Callable, Hashable, Iterator
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd


def series_parts(chunks: Callable[[], Iterator[pd.DataFrame]], id_column: Hashable,
                 series_per_part: int) -> Iterator[pd.DataFrame]:
    """The rows of each `series_per_part` series after one another, in order of first appearance.

    `chunks` gives the table's frames in order, each indexed by its rows' positions in the
    table; it is called twice, and a ValueError is raised if the second reading has other
    ids or another number of rows (a file written to meanwhile) rather than leave rows
    out. Each part keeps its rows in
    table order, so that fit_curves lists its series and numbers their points as it would
    in the whole table. Rows without an id are left out; a table without ids gives one
    empty part.
    """
    ids, last, rows = series_ends(chunks(), id_column)
    series = pd.Index(ids)
    firsts = np.arange(0, len(ids), series_per_part)
    ends = np.maximum.reduceat(last, firsts) if len(ids) else last
    pending: list[tuple[pd.DataFrame, npt.NDArray[np.intp]]] = []
    part = read = 0
    for chunk in chunks():
        codes = series_codes(chunk[id_column], series)
        pending.append((chunk[codes >= 0], codes[codes >= 0]))
        read = chunk.index[-1] + 1
        while part < len(ends) and ends[part] < read:
            end = firsts[part] + series_per_part
            yield pd.concat([frame[code < end] for frame, code in pending])
            pending = [(frame[code >= end], code[code >= end])
                       for frame, code in pending if (code >= end).any()]
            part += 1
    if read != rows or part < len(ends):
        raise changed()
    if not len(ids):
        yield chunk.iloc[:0]


def series_ends(chunks: Iterator[pd.DataFrame],
                id_column: Hashable) -> tuple[Any, npt.NDArray[np.int64], int]:
    """The series' ids in order of first appearance, each one's last row, and the row count."""
    ids, ends = [], []
    rows = 0
    for chunk in chunks:
        rows = chunk.index[-1] + 1
        codes, uniques = pd.factorize(chunk[id_column])
        last = np.full(len(uniques), -1, dtype=np.int64)
        np.maximum.at(last, codes[codes >= 0], chunk.index.to_numpy()[codes >= 0])
        ids.append(pd.Series(uniques))
        ends.append(last)
    codes, uniques = pd.factorize(pd.concat(ids, ignore_index=True))
    last = np.full(len(uniques), -1, dtype=np.int64)
    np.maximum.at(last, codes, np.concatenate(ends))
    return uniques, last, rows


def series_codes(ids: pd.Series, series: pd.Index) -> npt.NDArray[np.intp]:
    """Each row's position among `series`, -1 for a row without an id."""
    codes, uniques = pd.factorize(ids)
    positions = series.get_indexer(uniques)
    if (positions < 0).any():
        raise changed()
    return np.append(positions, -1)[codes]


def changed() -> ValueError:
    """The error of a table whose second reading is not its first."""
    return ValueError("the table changed between its two readings (is it being written to?)")
