"""The fit-many subcommand: the table fit_curves returns, written to CSV without loss."""

import argparse
import io
import json
import subprocess
import sys

import dask
import numpy as np
import pandas as pd
import pytest
from distributed import LocalCluster

from vasq import RobustPolynomialRegressor, fit_curves
from vasq.cli import main, many

N_SERIES = 12


def parse(argv):
    parser = argparse.ArgumentParser(prog="vasq")
    many.add_parser(parser.add_subparsers(dest="command", required=True))
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


@pytest.mark.parametrize("where", ["here", "2 threads", "2 processes", "cluster"])
def test_writes_the_fit_curves_table_and_points(where, data, scheduler, tmp_path, capsys):
    out, points = tmp_path / "results.csv", tmp_path / "p.csv"
    extra = {"here": [], "2 threads": ["--jobs", "2"],
             "2 processes": ["--jobs", "2", "--backend", "processes"],
             "cluster": ["--scheduler", scheduler]}
    args = parse([str(data), "--id", "unit", "--x", "dose", "--y", "response", "--degree", "1",
                  "--out", str(out), "--points", str(points), *extra[where]])
    assert many.run(args) == 0
    assert capsys.readouterr().err == (
        f"vasq: 1 of {N_SERIES} series could not be fitted; see the error column of {out}\n")
    written = pd.read_csv(out, dtype={"id": str})
    table = pd.read_csv(data, dtype={"unit": str})
    expected, expected_points = fit_curves(table, id="unit", x="dose", y="response",
                                           per_point=True,
                                           estimator=RobustPolynomialRegressor(degree=1))
    assert (written["id"].tolist() == expected["id"].tolist()
            == [str(i) for i in range(0, 10 * N_SERIES, 10)])
    assert list(written.columns) == list(expected.columns)
    fitted = expected["error"].isna()
    assert fitted.sum() == N_SERIES - 1 and "0 sample" in written.loc[~fitted, "error"].item()
    for name in ("coef", "coef_se"):
        parsed = written.loc[fitted, name].map(json.loads)
        assert parsed.tolist() == expected.loc[fitted, name].map(
            lambda v: np.asarray(v).tolist()).tolist()
    models = expected.loc[fitted, "model"].map(lambda model: model.to_json())
    assert written.loc[fitted, "model"].tolist() == models.tolist()
    assert written["model"].isna().tolist() == (~fitted).tolist()
    assert written.loc[fitted, "degree"].eq(1).all() and written["degree"].isna().sum() == 1
    assert (written.loc[fitted, "reached_max_degree"].tolist()
            == expected.loc[fitted, "reached_max_degree"].tolist())
    for name in ("scale", "n_samples", "n_inliers", "bic_score"):
        np.testing.assert_array_equal(written[name].to_numpy(float),
                                      expected[name].to_numpy(float))
    # Every fitted point, without loss; none of the series that failed.
    written = pd.read_csv(points, dtype={"id": str})
    assert "50" not in set(written["id"]) and len(written) == 25 * (N_SERIES - 1)
    pd.testing.assert_frame_equal(written, expected_points.astype({"inlier": int}),
                                  check_exact=True)


@pytest.mark.parametrize("file, extra, message", [
    ("data", ["--x", "time"], "has no column 'time' (names unit, dose, response"),
    ("data", ["--x", "dose", "--scheduler", "tcp://127.0.0.1:1"], "127.0.0.1:1"),
    ("none.csv", ["--x", "dose"], "none.csv: No such file or directory"),
    ("data", ["--x", "dose", "--scheduler", "not a url"],
     "vasq: error: --scheduler 'not a url' is not a scheduler address such as tcp://HOST:8786 "
     "(missing port number in address 'not a url')\n"),
], ids=["unknown-column", "no-scheduler", "missing-file", "bad-scheduler-address"])
def test_errors_give_one_line_and_exit_code_2(file, extra, message, data, tmp_path, capsys,
                                              monkeypatch):
    monkeypatch.setattr(many, "CONNECT_TIMEOUT", 1)
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
    ["--backend", "loky"],
    ["--degree", "10000000000"],
    ["--max-degree", "0"],
    ["--seed", "-1"],
    ["--delimiter", ";;"],
])
def test_usage_errors_exit_2(argv, capsys):
    with pytest.raises(SystemExit) as info:
        parse(["d.csv", "--id", "a", "--x", "b", "--y", "c", "--out", "r.csv", *argv])
    assert info.value.code == 2 and "usage: vasq fit-many" in capsys.readouterr().err


def lines_csv(path, ids, n_points=8, sep=",", decimal="."):
    """A straight line per id (slope k for the k-th id), written with the given separators."""
    x = np.linspace(0.0, 1.0, n_points)
    rows = [sep.join([i, *(repr(float(v)).replace(".", decimal) for v in (xv, (k + 1) * xv))])
            for k, i in enumerate(ids) for xv in x]
    path.write_text(f"unit{sep}dose{sep}response\n" + "\n".join(rows) + "\n")
    return path


def run_many(argv):
    assert main(["fit-many", *argv, "--method", "ols", "--degree", "1"]) == 0


@pytest.mark.parametrize("id_type, expected", [
    ("str", ["007", "7", "NA", "null", "1", "1.0"]),
    ("float", [7.0, 1.0]),
])
def test_ids_are_kept_as_written_unless_a_type_is_asked(id_type, expected, tmp_path):
    ids = ["007", "7", "NA", "null", "1", "1.0"] if id_type == "str" else ["007", "7", "1", "1.0"]
    path = lines_csv(tmp_path / "d.csv", ids)
    with path.open("a") as f:
        f.write(",0.5,1.0\n")  # a row without an id is left out
    run_many([str(path), "--id", "unit", "--x", "dose", "--y", "response", "--id-type", id_type,
              "--out", str(tmp_path / "r.csv")])
    written = pd.read_csv(tmp_path / "r.csv", dtype={"id": str if id_type == "str" else float},
                          keep_default_na=False)
    assert written["id"].tolist() == expected
    assert written["n_samples"].tolist() == [8 * len(ids) // len(expected)] * len(expected)


@pytest.mark.parametrize("id_type, ids, message", [
    ("float", ["007", "nan"], "not a number: 'nan'"),
    ("float", ["007", "-inf"], "not a finite number: '-inf'"),
    ("float", ["007", "1e999"], "not a finite number: '1e999'"),
    ("float", ["007", "7,5"], "not a number: '7,5'"),
    ("int", ["7", "7.5"], "not an integer: '7.5'"),
    ("int", ["7", "1e3"], "not an integer: '1e3'"),
    ("int", ["7", "99999999999999999999"], "not a 64-bit integer: '99999999999999999999'"),
], ids=["nan", "infinity", "overflow", "decimal-comma", "fraction", "exponent", "too-large"])
def test_ids_that_are_not_of_their_type_are_named_by_line(id_type, ids, message, tmp_path,
                                                          capsys):
    path = lines_csv(tmp_path / "d.csv", ids, sep=";")
    argv = ["fit-many", str(path), "--id", "unit", "--x", "dose", "--y", "response",
            "--id-type", id_type, "--delimiter", ";", "--out", str(tmp_path / "r.csv")]
    assert main(argv) == 2
    assert capsys.readouterr().err == f"vasq: error: {path}, line 10, unit: {message}\n"
    assert not (tmp_path / "r.csv").exists()


def test_delimiter_decimal_seed_and_max_degree_reach_the_fit(tmp_path):
    ids = ["a", "b", "c"]
    comma = lines_csv(tmp_path / "comma.csv", ids)
    semicolon = lines_csv(tmp_path / "semicolon.csv", ids, sep=";", decimal=",")
    assert "0,5" in semicolon.read_text()
    common = ["--id", "unit", "--x", "dose", "--y", "response", "--seed", "17",
              "--max-degree", "2", "--method", "robust"]
    assert main(["fit-many", str(comma), *common, "--out", str(tmp_path / "r1.csv")]) == 0
    assert main(["fit-many", str(semicolon), *common, "--delimiter", ";", "--decimal", ",",
                 "--out", str(tmp_path / "r2.csv")]) == 0
    one, two = pd.read_csv(tmp_path / "r1.csv"), pd.read_csv(tmp_path / "r2.csv")
    pd.testing.assert_frame_equal(one, two)
    table = pd.read_csv(comma, dtype={"unit": str})
    expected = fit_curves(table, id="unit", x="dose", y="response", random_state=17,
                          estimator=RobustPolynomialRegressor(max_degree=2))
    assert one["bic_score"].tolist() == expected["bic_score"].tolist()
    assert (one["coef"].map(json.loads).tolist()
            == expected["coef"].map(lambda v: np.asarray(v).tolist()).tolist())


def test_standard_input_and_output_without_loading_matplotlib(tmp_path):
    path = lines_csv(tmp_path / "d.csv", ["a", "b"])
    argv = ["--id", "unit", "--x", "dose", "--y", "response", "--method", "ols", "--degree", "1"]
    run_many([str(path), *argv, "--out", str(tmp_path / "r.csv"),
              "--points", str(tmp_path / "p.csv")])
    code = ("import sys; from vasq.cli import main; code = main(sys.argv[1:]); "
            "print(code, 'matplotlib' in sys.modules, file=sys.stderr)")
    piped = subprocess.run([sys.executable, "-c", code, "fit-many", "-", *argv, "--out", "-",
                            "--points", str(tmp_path / "piped.csv")],
                           input=path.read_bytes(), capture_output=True, check=False, timeout=120)
    assert (piped.returncode, piped.stderr) == (0, b"0 False\n")
    assert piped.stdout.decode() == (tmp_path / "r.csv").read_text()
    assert (tmp_path / "piped.csv").read_bytes() == (tmp_path / "p.csv").read_bytes()


@pytest.mark.parametrize("extra, message", [
    (["--out", "{tmp}/missing/r.csv"], "r.csv: the folder {tmp}/missing does not exist"),
    (["--out", "{tmp}"], "is a folder"),
    (["--out", "{tmp}/r.csv", "--x", "1", "--y", "dose"], "duplicate column names: 'dose'"),
    (["--out", "{tmp}/r.csv", "--points", "{tmp}/missing/p.csv"],
     "p.csv: the folder {tmp}/missing does not exist"),
    (["--out", "-", "--points", "-"], "--out and --points cannot both write standard output"),
    (["--out", "{tmp}/r.csv", "--points", "{tmp}/../{name}/r.csv"],
     "--out and --points both name {tmp}/r.csv"),
], ids=["no-folder", "out-is-a-folder", "duplicate-names", "points-no-folder",
        "both-standard-output", "both-one-file"])
def test_bad_paths_and_tables_are_refused_before_fitting(extra, message, tmp_path, capsys):
    path = tmp_path / "d.csv"
    path.write_text("unit,dose,dose\na,1,2\n")
    argv = ["fit-many", str(path), "--id", "unit", "--x", "dose", "--y", "dose", "--method", "ols"]
    names = dict(tmp=tmp_path, name=tmp_path.name)
    assert main([*argv, *[a.format(**names) for a in extra]]) == 2
    assert message.format(**names) in capsys.readouterr().err


def test_missing_numbers_drop_the_row_numbered_as_in_the_file_or_refuse_it(tmp_path, capsys):
    path = lines_csv(tmp_path / "d.csv", ["a", "b"])
    text = path.read_text().splitlines()
    text[3], text[12] = "a,,0.5", "b,0.5,NA"  # the third point of a, the fourth of b
    path.write_text("\n".join(text) + "\n")
    argv = [str(path), "--id", "unit", "--x", "dose", "--y", "response",
            "--out", str(tmp_path / "r.csv")]
    run_many([*argv, "--points", "-"])
    assert pd.read_csv(tmp_path / "r.csv")["n_samples"].tolist() == [7, 7]
    points = pd.read_csv(io.StringIO(capsys.readouterr().out))
    assert points.groupby("id")["row"].agg(list).to_dict() == {
        "a": [0, 1, 3, 4, 5, 6, 7], "b": [0, 1, 2, 4, 5, 6, 7]}
    # The documented join: each series' rows numbered in file order.
    table = pd.read_csv(path)
    table["row"] = table.groupby("unit").cumcount()
    joined = points.merge(table, left_on=["id", "row"], right_on=["unit", "row"])
    assert len(joined) == 14 and joined["inlier"].eq(1).all()
    np.testing.assert_array_equal(joined["residual"], joined["response"] - joined["fitted"])
    slopes = joined["id"].map({"a": 1.0, "b": 2.0})
    np.testing.assert_allclose(joined["fitted"], slopes * joined["dose"], atol=1e-12)
    assert main(["fit-many", *argv, "--missing", "error"]) == 2
    assert capsys.readouterr().err == (
        f"vasq: error: {path}, line 4, dose: missing value (see --missing): ''\n")


@pytest.mark.parametrize("series_per_part, rows_per_chunk", [(5, many.ROWS_PER_CHUNK), (5, 7),
                                                             (100, 7)])
def test_a_table_fitted_part_by_part_is_written_as_in_one_part(series_per_part, rows_per_chunk,
                                                              data, tmp_path, monkeypatch):
    """Series interleaved through the file, one failing, read in chunks and fitted in parts:
    the table and the points are the same bytes as from the whole table at once."""
    table = pd.read_csv(data).sample(frac=1.0, random_state=0)
    shuffled = tmp_path / "shuffled.csv"
    table.to_csv(shuffled, index=False)

    def written(folder):
        folder.mkdir()
        run_many([str(shuffled), "--id", "unit", "--x", "dose", "--y", "response",
                  "--out", str(folder / "r.csv"), "--points", str(folder / "p.csv")])
        return (folder / "r.csv").read_bytes(), (folder / "p.csv").read_bytes()

    whole = written(tmp_path / "whole")
    monkeypatch.setattr(many, "SERIES_PER_PART", series_per_part)
    monkeypatch.setattr(many, "ROWS_PER_CHUNK", rows_per_chunk)
    assert written(tmp_path / "parts") == whole
    ids = pd.read_csv(io.BytesIO(whole[0]))["id"].tolist()
    assert ids == list(pd.unique(table["unit"]))
