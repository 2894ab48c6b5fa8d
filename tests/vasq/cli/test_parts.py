"""Series parts of a long table read in chunks: all rows, in order, held a part at a time."""

import numpy as np
import pandas as pd
import pytest

from vasq.cli.parts import series_parts

ROWS = 6  # per chunk
PER_PART = 5  # series


def chunked(table, read):
    """`table` as frames of ROWS rows; `read` counts the frames handed out."""
    def chunks():
        for start in range(0, len(table), ROWS):
            read.append(start)
            yield table.iloc[start:start + ROWS]
    return chunks


@pytest.mark.parametrize("layout", ["grouped", "interleaved"])
def test_parts_hold_every_row_with_an_id_in_table_order(layout):
    rng = np.random.default_rng(0)
    ids = np.repeat([f"s{i}" for i in rng.permutation(23)], 4).astype(object)
    if layout == "interleaved":
        ids = rng.permutation(ids)
    ids[[3, 40]] = np.nan  # rows without an id
    table = pd.DataFrame({"id": ids, "y": np.arange(ids.size, dtype=float)})
    parts = list(series_parts(chunked(table, []), "id", PER_PART))
    named = table[table["id"].notna()]
    order = list(pd.unique(named["id"]))
    assert [list(pd.unique(p["id"])) for p in parts] == [
        order[i:i + PER_PART] for i in range(0, len(order), PER_PART)]
    for part in parts:  # each part's rows are the table's rows of its series, in order
        pd.testing.assert_frame_equal(part, named[named["id"].isin(part["id"])])


def test_a_grouped_table_is_handed_on_as_soon_as_a_part_is_read():
    ids = np.repeat(np.arange(40), 3)
    table = pd.DataFrame({"id": ids, "y": np.zeros(ids.size)})
    read = []
    for part in series_parts(chunked(table, read), "id", PER_PART):
        chunks_needed = 2 + part.index[-1] // ROWS  # the first reading, then up to its last row
        assert len(read) == len(range(0, len(table), ROWS)) - 1 + chunks_needed


def test_a_table_without_ids_gives_one_empty_part():
    table = pd.DataFrame({"id": [np.nan] * 3, "y": [1.0, 2.0, 3.0]})
    [part] = series_parts(chunked(table, []), "id", PER_PART)
    assert part.empty and list(part.columns) == ["id", "y"]


@pytest.mark.parametrize("second", ["appended", "new series", "truncated"])
def test_a_table_that_changes_between_its_readings_is_refused(second):
    ids = np.repeat(np.arange(12), 3)
    first = pd.DataFrame({"id": ids, "y": np.zeros(ids.size)})
    tables = iter([first, {
        "appended": pd.concat([first, first.iloc[:1]], ignore_index=True),
        "new series": pd.concat([first, first.iloc[:1].assign(id=99)], ignore_index=True),
        "truncated": first.iloc[:-4],
    }[second]])

    def chunks():
        table = next(tables)
        for start in range(0, len(table), ROWS):
            yield table.iloc[start:start + ROWS]

    with pytest.raises(ValueError, match="the table changed between its two readings"):
        list(series_parts(chunks, "id", PER_PART))
