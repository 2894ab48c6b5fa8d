"""The fit-many subcommand: the table fit_curves returns, written to CSV without loss."""

import argparse
import json

import dask
import numpy as np
import pandas as pd
import pytest
from distributed import LocalCluster

from vasq import RobustPolynomialRegressor, fit_curves
from vasq import _cli_many
from vasq._cli import main

N_SERIES = 12


def parse(argv):
    parser = argparse.ArgumentParser(prog="vasq")
    _cli_many.add_parser(parser.add_subparsers(dest="command", required=True))
    return parser.parse_args(["fit-many", *argv])


@pytest.fixture(scope="module")
def data(tmp_path_factory):
    """A CSV table of lines with outliers, one all-missing series, values with 17 digits."""
    rng = np.random.default_rng(3)
    ids = np.repeat(np.arange(N_SERIES) * 10, 25)
    x = rng.uniform(0.0, 1.0, ids.size)
    y = ids / 10.0 + 2.0 * x + rng.normal(0.0, 0.01, ids.size)
    y[rng.random(ids.size) < 0.1] += 3.0
    y[ids == 50] = np.nan
    path = tmp_path_factory.mktemp("fit-many") / "data.csv"
    pd.DataFrame({"unit": ids, "dose": x, "response": y}).to_csv(path, index=False)
    return path


@pytest.fixture(scope="module")
def scheduler():
    with LocalCluster(n_workers=1, threads_per_worker=1, processes=False,
                      dashboard_address="127.0.0.1:0") as cluster:
        yield cluster.scheduler_address


@pytest.mark.parametrize("where", ["here", "2 processes", "cluster"])
def test_writes_the_fit_curves_table(where, data, scheduler, tmp_path):
    out = tmp_path / "results.csv"
    extra = {"here": [], "2 processes": ["--jobs", "2"], "cluster": ["--scheduler", scheduler]}
    args = parse([str(data), "--id", "unit", "--x", "dose", "--y", "response", "--degree", "1",
                  "--out", str(out), *extra[where]])
    assert _cli_many.run(args) == 0
    written = pd.read_csv(out, dtype={"id": str})
    table = pd.read_csv(data, dtype={"unit": str})
    expected = fit_curves(table, id="unit", x="dose", y="response",
                          estimator=RobustPolynomialRegressor(degree=1))
    assert (written["id"].tolist() == expected["id"].tolist()
            == [str(i) for i in range(0, 10 * N_SERIES, 10)])
    fitted = expected["error"].isna()
    assert fitted.sum() == N_SERIES - 1 and "0 sample" in written.loc[~fitted, "error"].item()
    for name in ("coef", "powers", "centre", "half_width", "beta"):
        parsed = written.loc[fitted, name].map(json.loads)
        assert parsed.tolist() == expected.loc[fitted, name].map(
            lambda v: json.loads(json.dumps(v))).tolist()
    assert written.loc[fitted, "degree"].eq(1).all() and written["degree"].isna().sum() == 1
    for name in ("y_loc", "y_scale", "mdl_score", "inlier_share", "n_points"):
        np.testing.assert_array_equal(written[name], expected[name])


def test_reports_series_that_failed(data, tmp_path, capsys):
    args = parse([str(data), "--id", "unit", "--x", "dose", "--y", "response", "--degree", "1",
                  "--out", str(tmp_path / "r.csv")])
    _cli_many.run(args)
    assert capsys.readouterr().err == (
        f"vasq: 1 of {N_SERIES} series could not be fitted; see the error column of "
        f"{tmp_path / 'r.csv'}\n")


@pytest.mark.parametrize("file, extra, message", [
    ("data", ["--x", "time"], "has no column 'time' (names unit, dose, response"),
    ("data", ["--x", "dose", "--scheduler", "tcp://127.0.0.1:1"], "127.0.0.1:1"),
    ("none.csv", ["--x", "dose"], "none.csv: No such file or directory"),
], ids=["unknown-column", "no-scheduler", "missing-file"])
def test_errors_give_one_line_and_exit_code_2(file, extra, message, data, tmp_path, capsys,
                                              monkeypatch):
    monkeypatch.setattr(_cli_many, "CONNECT_TIMEOUT", 1)
    path = data if file == "data" else tmp_path / file
    argv = ["fit-many", str(path), "--id", "unit", "--y", "response", *extra,
            "--out", str(tmp_path / "r.csv")]
    with dask.config.set({"distributed.comm.timeouts.connect": "1s"}):
        assert main(argv) == 2
    err = capsys.readouterr().err
    assert err.startswith("vasq: error: ") and err.count("\n") == 1 and message in err


@pytest.mark.parametrize("argv", [
    ["--degree", "two"],
    ["--degree", "-1"],
    ["--method", "lasso"],
    ["--jobs", "2", "--scheduler", "tcp://127.0.0.1:8786"],
])
def test_usage_errors_exit_2(argv, capsys):
    with pytest.raises(SystemExit) as info:
        parse(["d.csv", "--id", "a", "--x", "b", "--y", "c", "--out", "r.csv", *argv])
    assert info.value.code == 2 and "usage: vasq fit-many" in capsys.readouterr().err
