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
    table; it is called twice. Each part keeps its rows in table order, so that fit_curves
    lists its series and numbers their points as it would in the whole table. Rows without
    an id are left out; a table without ids gives one empty part.
    """
    ids, last = series_ends(chunks(), id_column)
    series = pd.Index(ids)
    firsts = np.arange(0, len(ids), series_per_part)
    ends = np.maximum.reduceat(last, firsts) if len(ids) else last
    pending: list[tuple[pd.DataFrame, npt.NDArray[np.intp]]] = []
    part = 0
    for chunk in chunks():
        codes = series_codes(chunk[id_column], series)
        pending.append((chunk[codes >= 0], codes[codes >= 0]))
        while part < len(ends) and ends[part] <= chunk.index[-1]:
            end = firsts[part] + series_per_part
            yield pd.concat([frame[code < end] for frame, code in pending])
            pending = [(frame[code >= end], code[code >= end])
                       for frame, code in pending if (code >= end).any()]
            part += 1
    if not len(ids):
        yield chunk.iloc[:0]


def series_ends(chunks: Iterator[pd.DataFrame],
                id_column: Hashable) -> tuple[Any, npt.NDArray[np.int64]]:
    """The series' ids in order of first appearance, and the position of each one's last row."""
    ids, ends = [], []
    for chunk in chunks:
        codes, uniques = pd.factorize(chunk[id_column])
        last = np.full(len(uniques), -1, dtype=np.int64)
        np.maximum.at(last, codes[codes >= 0], chunk.index.to_numpy()[codes >= 0])
        ids.append(pd.Series(uniques))
        ends.append(last)
    codes, uniques = pd.factorize(pd.concat(ids, ignore_index=True))
    last = np.full(len(uniques), -1, dtype=np.int64)
    np.maximum.at(last, codes, np.concatenate(ends))
    return uniques, last


def series_codes(ids: pd.Series, series: pd.Index) -> npt.NDArray[np.intp]:
    """Each row's position among `series`, -1 for a row without an id."""
    codes, uniques = pd.factorize(ids)
    return np.append(series.get_indexer(uniques), -1)[codes]
