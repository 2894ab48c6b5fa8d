"""fit_curves: the same table on every execution path, per-series seeds, bad series, input forms."""

import io
import os
import signal
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from functools import partial

import dask
import dask.dataframe as dd
import numpy as np
import pandas as pd
import pytest
from distributed import Client, LocalCluster, get_task_stream
from threadpoolctl import threadpool_info, threadpool_limits

import vasq._many as many
from vasq import RobustPolynomialRegressor, fit_curves
from vasq._many_fit import series_seed

SETTINGS = dict(max_degree=3)
ESTIMATOR = RobustPolynomialRegressor(**SETTINGS)
N_SERIES, N_POINTS = 300, 30
# s13's quadratic at x near 1e-300 fits, but its coefficients in user units overflow.
BAD = {"s7": "0 sample", "s11": "infinity", "s13": "beyond the range of double precision"}
MATRIX_BAD = {7, 11}


def long_table(n_series=N_SERIES, n_points=N_POINTS, seed=0):
    """Noisy low-degree curves with a tenth of gross outliers, rows of all series interleaved."""
    rng = np.random.default_rng(seed)
    ids = np.repeat([f"s{i}" for i in range(n_series)], n_points)
    x = rng.uniform(-2.0, 3.0, ids.size)
    coef = rng.normal(0.0, 1.0, (n_series, 3)).repeat(n_points, axis=0)
    y = coef[:, 0] + coef[:, 1] * x + coef[:, 2] * x**2 + rng.normal(0.0, 0.05, ids.size)
    outliers = rng.random(ids.size) < 0.1
    y[outliers] += rng.normal(0.0, 5.0, outliers.sum())
    y[ids == "s7"] = np.nan
    y[np.flatnonzero(ids == "s11")[3]] = np.inf
    y[np.flatnonzero(ids == "s12")[:5]] = np.nan  # a few missing points only
    x[np.flatnonzero(ids == "s12")[[6, 9]]] = np.nan
    x[ids == "s13"] = 1e-300 * (3.0 + x[ids == "s13"])
    table = pd.DataFrame({"sensor": ids, "t": x, "value": y})
    return table.sample(frac=1.0, random_state=1, ignore_index=True)


def matrix_form(n_series=N_SERIES, n_points=N_POINTS, seed=0):
    rng = np.random.default_rng(seed)
    x = np.linspace(0.0, 10.0, n_points)
    Y = np.sin(x[:, None] / 3.0 + rng.uniform(0, 3, n_series))
    Y += rng.normal(0, 0.05, Y.shape)
    Y[rng.random(Y.shape) < 0.1] += 4.0
    Y[:, 7] = np.nan
    Y[3, 11] = np.inf
    Y[[0, 5, 6], 10] = np.nan
    return x, Y


def assert_same_table(table, expected):
    """Equal columns to the bit, and models that write the same text (every field, by repr)."""
    pd.testing.assert_frame_equal(table.drop(columns="model"), expected.drop(columns="model"),
                                  check_exact=True)
    texts = [[None if m is None else m.to_json() for m in t["model"]] for t in (table, expected)]
    assert texts[0] == texts[1]


FORMS = {
    "table": lambda: ((long_table(),), dict(id="sensor", x="t", y="value")),
    "matrix": lambda: (matrix_form(), {}),
}


@pytest.fixture(scope="module")
def client():
    with (LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1",
                       dashboard_address="127.0.0.1:0") as cluster,
          Client(cluster, set_as_default=False) as client):
        yield client


@pytest.fixture(scope="module")
def sequential():
    """The sequential path's table, or (table, points), for each input form, computed once."""
    cache = {}

    def table(form, per_point=False):
        if (form, per_point) not in cache:
            args, kwargs = FORMS[form]()
            cache[form, per_point] = fit_curves(*args, **kwargs, estimator=ESTIMATOR,
                                                per_point=per_point)
        return cache[form, per_point]

    return table


@pytest.fixture(scope="module")
def paths(client):
    """fit_curves' options for each parallel path; the sequential one is a single worker."""
    return {"2 threads": dict(n_jobs=2), "4 threads": dict(n_jobs=4),
            "processes": dict(n_jobs=2, backend="processes"), "cluster": dict(client=client),
            "here": {}}


DASK_FORMS = {"dask 3": 3, "dask 7": 7}  # the table as a dask frame of that many partitions


@pytest.mark.parametrize("form, path, per_point", [
    *((f, p, False) for f in FORMS for p in ("2 threads", "4 threads", "processes", "cluster")),
    *((f, p, True) for f in FORMS for p in ("2 threads", "processes", "cluster")),
    *((f, p, False) for f in DASK_FORMS for p in ("cluster", "here", "2 threads", "processes")),
    ("dask 3", "cluster", True), ("dask 3", "here", True),
])
def test_parallel_paths_return_the_sequential_tables_bit_for_bit(form, path, per_point, paths,
                                                                 sequential):
    if form in DASK_FORMS:
        (table,), kwargs = FORMS["table"]()
        frame = dd.from_pandas(table, npartitions=DASK_FORMS[form], sort=False)
        spread = frame.map_partitions(lambda p: p[["sensor"]].drop_duplicates()).compute()
        assert frame.npartitions == DASK_FORMS[form] and spread["sensor"].duplicated().any()
        args = (frame,)
    else:
        args, kwargs = FORMS[form]()
    # The data travel in the task graph, which distributed would warn about when large; a
    # dask frame from pandas holds its partitions in its own graph, as the user made it.
    small = {} if form in DASK_FORMS else {
        "distributed.admin.large-graph-warning-threshold": "1 kiB"}
    with dask.config.set(small):
        result = fit_curves(*args, **kwargs, estimator=ESTIMATOR, per_point=per_point,
                            **paths[path])
    expected = sequential("matrix" if form == "matrix" else "table", per_point)
    if per_point:
        (result, points), (expected, expected_points) = result, expected
        pd.testing.assert_frame_equal(points, expected_points, check_exact=True)
    bad = MATRIX_BAD if form == "matrix" else BAD
    assert len(expected) == N_SERIES and expected["error"].notna().sum() == len(bad)
    assert_same_table(result, expected)


@pytest.mark.parametrize("backend", ["threads", "processes"])
def test_thread_counts_are_restored_after_parallel_fits(backend):
    """Workers fit on one thread each; BLAS's count is process-wide, OpenMP's the caller's."""
    def counts():
        return [(lib["user_api"], lib["num_threads"]) for lib in threadpool_info()]

    with threadpool_limits(limits=3):
        before = counts()
        fit_curves(*matrix_form(40), estimator=ESTIMATOR, n_jobs=2, backend=backend)
        assert counts() == before and {n for _, n in before} == {3}


def finished_per_worker(dask_scheduler):
    """Addresses of the workers holding finished fits, each with how many; and tasks left."""
    held, left = {}, 0
    for task in dask_scheduler.tasks.values():
        if str(task.key).startswith("fit_batch"):
            for worker in task.who_has or ():
                held[worker.address] = held.get(worker.address, 0) + 1
            left += task.state != "memory"
    return held, left


def test_a_killed_worker_costs_time_not_results():
    """SIGKILL one of two worker processes half-way: its finished and running fits are redone."""
    # Fits of tens of milliseconds: the kill comes with most of them still to run.
    table = long_table(n_series=60, n_points=1000)
    kwargs = dict(id="sensor", x="t", y="value")
    estimator = RobustPolynomialRegressor()
    expected = fit_curves(table, **kwargs, estimator=estimator)
    with (LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                       dashboard_address="127.0.0.1:0") as cluster,
          Client(cluster, set_as_default=False) as client,
          ThreadPoolExecutor(1) as pool):
        run = pool.submit(fit_curves, table, **kwargs, estimator=estimator, client=client,
                          batch_size=2)
        held, left = {}, 1
        while not (held and max(held.values()) >= 3) and not run.done():
            time.sleep(0.05)  # polling the scheduler, not timing anything
            held, left = client.run_on_scheduler(finished_per_worker)
        victim = max(held, key=held.get)
        pid = next(n.pid for n in cluster.workers.values() if n.worker_address == victim)
        os.kill(pid, signal.SIGKILL)
        assert left > 0 and not run.done()
        result = run.result()
    assert_same_table(result, expected)


def test_active_client_runs_the_fits(client, sequential):
    (table,), kwargs = FORMS["table"]()
    with client.as_current(), get_task_stream(client) as tasks:
        result = fit_curves(table, **kwargs, estimator=ESTIMATOR)
    assert any(t["key"].startswith("fit_batch") for t in tasks.data)
    assert_same_table(result, sequential("table"))


@pytest.mark.parametrize("case", ["two series", "int ids from_pandas", "int ids from_delayed"])
@pytest.mark.parametrize("where", ["cluster", "here"])
def test_dask_frames_fit_as_the_pandas_table(case, where, paths):
    """Fewer series than partitions: the shuffle leaves partitions without a series. Dask reads
    object columns as text; ids 0, 1, ... must not become '0', '1', ..."""
    table = long_table(n_series=40)
    if case == "two series":
        table = table[table["sensor"].isin(["s0", "s1"])]
    else:
        table["sensor"] = table["sensor"].str[1:].astype(int).astype(object)
    expected = fit_curves(table, id="sensor", x="t", y="value", estimator=ESTIMATOR)
    if case.endswith("from_delayed"):
        parts = [dask.delayed(table.iloc[rows]) for rows in np.array_split(range(len(table)), 3)]
        frame = dd.from_delayed(parts, meta=table.iloc[:0])
    else:
        frame = dd.from_pandas(table, npartitions=6 if case == "two series" else 3, sort=False)
    result = fit_curves(frame, id="sensor", x="t", y="value", estimator=ESTIMATOR, **paths[where])
    assert_same_table(result, expected)
    if case != "two series":
        assert frame["sensor"].dtype != object and result["id"].map(type).eq(int).all()
        assert result["error"].notna().sum() == len(BAD)


@pytest.mark.parametrize("series_id, random_state", [("s0", 0), ("s12", 0), ("s40", 2**32 - 1)])
def test_good_rows_beside_failing_series_are_bare_fits(series_id, random_state):
    table = long_table()
    rows = table[table["sensor"].isin([series_id, *BAD])]
    result = fit_curves(rows, id="sensor", x="t", y="value", estimator=ESTIMATOR,
                        random_state=random_state).set_index("id")
    assert result["error"].notna().tolist() == [i in BAD for i in result.index]
    row = result.loc[series_id]
    points = rows[(rows["sensor"] == series_id) & rows[["t", "value"]].notna().all(axis=1)]
    bare = RobustPolynomialRegressor(**SETTINGS, random_state=series_seed(random_state, series_id))
    bare.fit(points[["t"]].to_numpy(), points["value"].to_numpy())
    expected = dict(degree=bare.degree_, coef=tuple(bare.coef_), coef_se=tuple(bare.coef_se_),
                    scale=bare.scale_, n_samples=len(points), n_inliers=bare.n_inliers_,
                    bic_score=bare.bic_score_,
                    reached_max_degree=bare.model_.reached_max_degree, error=None)
    assert {name: row[name] for name in expected} == expected
    assert row["model"].to_json() == bare.model_.to_json()
    assert row["n_samples"] == (N_POINTS - 7 if series_id == "s12" else N_POINTS)


@pytest.mark.parametrize("series_id, message", BAD.items())
def test_failing_series_keeps_its_own_row(series_id, message, sequential):
    result = sequential("table").set_index("id")
    bad = result.loc[series_id]
    assert message in bad["error"] and bad[["degree", "coef", "coef_se", "model"]].isna().all()
    assert np.isnan(bad["scale"]) and np.isnan(bad["bic_score"])
    assert pd.isna(bad["n_inliers"]) and pd.isna(bad["reached_max_degree"])
    assert bad["n_samples"] == (0 if series_id == "s7" else N_POINTS)
    good = result.drop(list(BAD))
    assert good["error"].isna().all() and good["coef"].map(len).eq(good["degree"] + 1).all()
    assert good["coef_se"].map(len).eq(good["degree"] + 1).all()


def test_rows_depend_on_the_id_not_on_position_or_other_series(sequential):
    x, Y = matrix_form()
    names = [f"c{j}" for j in range(Y.shape[1])]
    full = fit_curves(x, pd.DataFrame(Y, columns=names), estimator=ESTIMATOR).set_index("id")
    picked = [names[j] for j in (250, 3, 99)]
    few = fit_curves(x, pd.DataFrame(Y, columns=names)[picked], estimator=ESTIMATOR, batch_size=1)
    assert_same_table(few.set_index("id"), full.loc[picked])
    assert sequential("matrix")["id"].tolist() == list(range(Y.shape[1]))


@pytest.mark.parametrize("a, b, same", [
    ((7, 5), (np.int64(7), 5), True), ((7.5, 5), (np.float64(7.5), 5), True),
    (("a", 5), (np.str_("a"), 5), True), ((7, 5), ("7", 5), False), ((7, 5), (7.0, 5), False),
    ((7, 5), (7, 6), False), (("a", 5), ("b", 5), False),
])
def test_seeds_are_shared_by_equal_ids_of_any_scalar_type_and_no_others(a, b, same):
    assert (series_seed(a[1], a[0]) == series_seed(b[1], b[0])) == same


def id_table(ids, n_points=12):
    """Straight lines, one per id, each with its own slope."""
    x = np.linspace(0.0, 1.0, n_points)
    return pd.DataFrame({"id": pd.Series(np.repeat(np.array(ids, dtype=object), n_points),
                                         dtype=object),
                         "t": np.tile(x, len(ids)),
                         "v": np.concatenate([k * x for k in range(1, len(ids) + 1)])})


def test_ids_keep_their_values_types_and_seeds_in_both_tables():
    """The per-point fit's table is the plain one (test_points_are_those_of_bare_fits...)."""
    mixed = [3, 2.5, "3", np.int64(7), pd.Timestamp("2024-01-01")]
    rows, points = fit_curves(id_table(mixed), id="id", x="t", y="v", estimator=ESTIMATOR,
                              per_point=True)
    assert rows["id"].tolist() == mixed and rows["error"].isna().all()
    assert [type(i) for i in rows["id"]] == [int, float, str, np.int64, pd.Timestamp]
    assert points["id"].tolist() == np.repeat(np.array(mixed, dtype=object), 12).tolist()
    assert [type(i) for i in points["id"][::12]] == [int, float, str, np.int64, pd.Timestamp]
    stamps = pd.to_datetime(["2024-01-01", "2024-01-02", "2024-01-01 00:00:00.000001"],
                            format="ISO8601")
    table = id_table(list(stamps)).astype({"id": "datetime64[ns]"})
    rows, points = fit_curves(table, id="id", x="t", y="v", estimator=ESTIMATOR, per_point=True)
    assert rows["id"].dtype == "datetime64[ns]" and rows["id"].tolist() == list(stamps)
    assert points["id"].dtype == "datetime64[ns]" and points["id"].nunique() == 3
    seeds = {series_seed(0, s) for s in stamps}
    assert len(seeds) == 3 and series_seed(0, stamps[0]) == series_seed(
        0, stamps[0].to_pydatetime())


def bare_points(series, failed, random_state=0):
    """The per-point table built from one bare estimator fit per series, as given."""
    frames = []
    for series_id, X, y in series:
        if series_id in failed:
            continue
        kept = np.flatnonzero(~(np.isnan(y) | np.isnan(X).any(axis=1)))
        bare = RobustPolynomialRegressor(**SETTINGS,
                                         random_state=series_seed(random_state, series_id))
        bare.fit(X[kept], y[kept])
        fitted = bare.predict(X[kept])
        frames.append(pd.DataFrame({"id": series_id, "row": kept, "fitted": fitted,
                                    "residual": y[kept] - fitted, "weight": bare.weights_,
                                    "inlier": bare.inlier_mask_}))
    return pd.concat(frames, ignore_index=True)


def series_as_given(form, n_series):
    """(id, X, y) of the first series, grouped by pandas or sliced from Y, in table order."""
    if form == "matrix":
        x, Y = matrix_form()
        return [(j, x[:, None], Y[:, j]) for j in range(n_series)]
    table = long_table()
    table = table[table["sensor"].isin([f"s{i}" for i in range(n_series)])]
    return [(i, rows[["t"]].to_numpy(), rows["value"].to_numpy())
            for i, rows in table.groupby("sensor", sort=False)]


@pytest.mark.parametrize("form", FORMS)
def test_points_are_those_of_bare_fits_and_the_table_is_unchanged(form, sequential):
    table, points = sequential(form, per_point=True)
    assert_same_table(table, sequential(form))
    assert list(points.columns) == ["id", "row", "fitted", "residual", "weight", "inlier"]
    # Failed series have no points; missing values leave gaps in the numbering of a series.
    bad = set(BAD) if form == "table" else MATRIX_BAD
    # Bare fits of the first 30 series, the bad and gapped ones among them, keep this short.
    expected = bare_points(series_as_given(form, 30), bad)
    some = points[points["id"].isin(expected["id"])].reset_index(drop=True)
    pd.testing.assert_frame_equal(some, expected, check_exact=True, check_dtype=False)
    assert points.dtypes.astype(str).tolist()[1:] == ["int64", "float64", "float64", "float64",
                                                      "bool"]
    assert set(table["id"]) - set(points["id"]) == bad
    rows = points.groupby("id", sort=False)["row"].agg(set)
    gaps = {"s0": 0, "s12": 7} if form == "table" else {0: 0, 10: 3}
    assert {i: len(set(range(N_POINTS)) - rows[i]) for i in gaps} == gaps
    assert form == "table" or rows[10] == set(range(N_POINTS)) - {0, 5, 6}
    counts = points.groupby("id", sort=False).size()
    assert counts.tolist() == table.set_index("id").loc[counts.index, "n_samples"].tolist()


def test_no_fitted_series_gives_empty_points_of_the_same_dtypes():
    table, points = fit_curves(np.arange(6.0), np.full((6, 2), np.nan), per_point=True)
    assert table["error"].notna().all() and points.empty
    assert points.dtypes.astype(str).tolist() == ["int64", "int64", "float64", "float64",
                                                  "float64", "bool"]


class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("progress, stderr, shown", [
    (True, io.StringIO, True),
    (False, Terminal, False),
    (None, Terminal, True),
    (None, io.StringIO, False),
])
def test_progress_bar_only_when_asked_or_on_a_terminal(progress, stderr, shown, monkeypatch):
    monkeypatch.setattr(many, "PROGRESS_DELAY", 0.0)
    monkeypatch.setattr(sys, "stderr", stderr())
    x, Y = matrix_form(n_series=12)
    fit_curves(x, Y, estimator=ESTIMATOR, progress=progress)
    err = sys.stderr.getvalue()
    assert ("12/12" in err) == shown and (err == "") != shown


T5, Y5 = np.arange(5.0), np.zeros((5, 2))


@pytest.mark.parametrize("call, error, message", [
    (partial(fit_curves, T5, np.zeros(5)), ValueError, "Y must be 2-D"),
    (partial(fit_curves, T5, np.zeros((4, 2))), ValueError, "match Y of shape (4, 2)"),
    (lambda: fit_curves(long_table(20), id="sensor", x="time", y="value"), ValueError, "['time']"),
    (lambda: fit_curves(long_table(20), id="sensor", x="t"), ValueError, "id=, x= and y="),
    (partial(fit_curves, T5, Y5, id="a"), ValueError, "id=, x= and y="),
    (partial(fit_curves, np.zeros((4, 3)), id="a", x="b", y="c"), ValueError, "got ndarray"),
    (partial(fit_curves, T5, pd.DataFrame(Y5, columns=["a", "a"])), ValueError, "must be unique"),
    (partial(fit_curves, T5, pd.DataFrame(np.zeros((5, 3)), columns=[1, "b", 1.0])), ValueError,
     "equal: 1, 1.0"),
    # Equal ids of different types, named with their types, in a table.
    *((partial(fit_curves, id_table(ids), id="id", x="t", y="v"), ValueError,
       f"ids {named} are equal but of different types") for ids, named in [
        ([1, 1.0, 2], "1 (int), 1.0 (float)"), ([2, True, 1], "True (bool), 1 (int)"),
        (["a", np.int64(1), 1.0], "np.int64(1) (int64), 1.0 (float)")]),
    (partial(fit_curves, np.zeros(0), np.zeros((0, 2))), ValueError, "Y has no rows"),
    (partial(fit_curves, T5, Y5, n_jobs="2"), TypeError,
     "n_jobs must be an integer or None, got str"),
    (partial(fit_curves, T5, Y5, backend="loky"), ValueError,
     "backend must be one of ('threads', 'processes'), got 'loky'"),
    (partial(fit_curves, T5, Y5, missing="keep"), ValueError, "missing must be one of"),
    (lambda: fit_curves(*matrix_form(20), missing="error"), ValueError,
     "series 7 has missing values"),
    (lambda: fit_curves(long_table(20), id="sensor", x="t", y="value", missing="error"),
     ValueError, "series 's7' has missing values"),
    (lambda: fit_curves(dd.from_pandas(long_table(20), npartitions=3), id="sensor", x="t",
                        y="value", missing="error"), ValueError, "has missing values"),
    (lambda: fit_curves(*matrix_form(20), estimator=RobustPolynomialRegressor(degree=10**10)),
     ValueError, "'degree' parameter"),
    (partial(fit_curves, T5, Y5, batch_size=0), ValueError, "batch_size"),
    (partial(fit_curves, T5, Y5, random_state=-1), ValueError, "Seed must be"),
    (partial(fit_curves, T5, Y5, estimator="ols"), TypeError, "got str"),
])
def test_invalid_arguments_raise(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert message in str(info.value)
