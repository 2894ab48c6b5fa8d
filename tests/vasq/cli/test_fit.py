"""``python -m vasq fit``: reading CSV files, refusing bad ones, the report, JSON and plot."""

import re

import numpy as np
import pandas as pd
import pytest
import statsmodels.formula.api as smf
from statsmodels.stats.anova import anova_lm

from vasq import RobustPolynomialRegressor, load_model
from vasq.cli import fit, main, plot, table


def noisy_quadratic(n=90, seed=4):
    rng = np.random.default_rng(seed)
    x = np.sort(rng.uniform(0.0, 10.0, n))
    y = 3.0 + 0.8 * x - 0.25 * x**2 + rng.normal(0.0, 0.2, n)
    y[::7] += rng.uniform(5.0, 9.0, y[::7].size)
    return x, y


FOUR_ROWS = "x,y\n1,2\n3,4\n4,4\n6,7\n"  # enough for a straight line


def write_csv(path, header, columns):
    lines = [",".join(header)] if header else []
    lines += [",".join(repr(float(v)) for v in row) for row in zip(*columns, strict=True)]
    path.write_text("\n".join(lines) + "\n")
    return path


@pytest.mark.parametrize(
    ("text", "x_spec", "y_spec", "names", "x"),
    [
        ("t,v\n1,2\n3,4.5\n", "t", "v", ("t", "v"), [1.0, 3.0]),
        ("t,v\n1,2\n3,4.5\n", "0", "1", ("t", "v"), [1.0, 3.0]),
        ("1,2\n3,4.5\n", "0", "1", ("column 0", "column 1"), [1.0, 3.0]),
        ("\ufeff t , v \n\n1, 2\n\n3 ,4.5\n", "t", "v", ("t", "v"), [1.0, 3.0]),
        ('id,t,v\n"a,b",1,2\n"c",3,4.5\n', "t", "v", ("t", "v"), [1.0, 3.0]),
        ("-1e-3,2\n.5E2,4.5\n", "0", "1", ("column 0", "column 1"), [-0.001, 50.0]),
        ("NA,2\n3,4.5\n", "0", "1", ("column 0", "column 1"), [np.nan, 3.0]),
    ],
    ids=["header-names", "header-indices", "no-header", "bom-blanks-spaces", "quoted", "exponent",
         "no-header-missing-cell"],
)
def test_columns_are_read_by_name_or_index(tmp_path, text, x_spec, y_spec, names, x):
    path = tmp_path / "d.csv"
    path.write_text(text, encoding="utf-8")
    data = table.Table.open(table.Source.of(path))
    i, j = data.index(x_spec), data.index(y_spec)
    assert (data.name(i), data.name(j)) == names
    frame = data.read([i, j])
    np.testing.assert_array_equal(frame[i], x)
    np.testing.assert_array_equal(frame[j], [2.0, 4.5])


@pytest.mark.parametrize(
    ("text", "args", "message"),
    [
        (None, [], "missing.csv: No such file or directory"),
        ("", [], "d.csv is empty"),
        ("x,y\n", [], "d.csv has a header but no data"),
        ("x,y\n1,2\n", ["--x", "z"], "d.csv has no column 'z' (names x, y or indices 0 to 1)"),
        ("1,2\n3,4\n", ["--x", "2", "--y", "1"], "d.csv has no column '2' (no header, so indices 0 to 1)"),
        ("1,2\n3,4\n", ["--x", "x"], "d.csv has no column 'x' (no header, so indices 0 to 1)"),
        ("x,y\n1,2\n\n3,oops\n", [], "d.csv, line 4, y: not a number: 'oops'"),
        ("x,y\n1,2\n3,\n", ["--missing", "error"], "d.csv, line 3, y: missing value (see --missing): ''"),
        ("x,y\n1,2\n3,nan\n", ["--missing", "error"], "line 3, y: missing value (see --missing): 'nan'"),
        ("x;y\n1;2\n3\n", ["--missing", "error", "--delimiter", ";"], "line 3, y: missing value"),
        ("x,y\n1,NA\nNaN,\n", [], "d.csv has no row without missing values"),
        ("1,2\n-inf,4\n", ["--x", "0", "--y", "1"], "d.csv, line 2, column 0: not a finite number: '-inf'"),
        ("x,y,x\n1,2,3\n", [], "d.csv has duplicate column names: 'x'"),
        ("x;y\n1;2,5\n", ["--delimiter", ";"], "line 2, y: not a number: '2,5'"),
        ("x;y\n1;2,5\n3;4.5\n", ["--delimiter", ";", "--decimal", ","],
         "d.csv, line 3, y: not a number with the decimal mark ',': '4.5'"),
        ("x,y\n1,2\n3,1_000\n", [], "d.csv, line 3, y: not a number: '1_000'"),
        (FOUR_ROWS, ["--decimal", ","], "--decimal and --delimiter cannot both be ','"),
        ('x,y\n1,2\n3,"4\n5,6\n', [], "d.csv, line 3, y: not a number: '4\\n5,6\\n'"),
        ('x,y,z\n1,2,a\n3,4,"b\n', [], "d.csv cannot be split into cells at ',' (is a quote left open?)"),
        (FOUR_ROWS, ["--max-degree", "3"], "--max-degree applies to --degree auto, not to --degree 1"),
        ("x,y\n1,2\n3," + "4" * 200_000 + "\n", [], "d.csv, line 3: field larger than field limit"),
        (b"\x89PNG\r\n\x1a\n\x00\xff", [], "d.csv is not a UTF-8 text file"),
        (FOUR_ROWS, ["--json", "{tmp}/no/m.json"], "m.json: the folder"),
        (FOUR_ROWS, ["--plot", "{tmp}/d.csv/p.png"], "p.png: the folder"),
        (FOUR_ROWS, ["--plot", "{tmp}/p.nonsense"], "Format 'nonsense' is not supported"),
        ("x,y\n1,2\n", ["--plot", "{tmp}/p"], "p: Format '' is not supported"),
        (FOUR_ROWS, ["--degree", "5", "--method", "robust"],
         "n_samples=4 is too few for degree 5: its 6 terms need at least 12 samples"),
    ],
    ids=["missing", "empty", "header-only", "unknown-name", "index-too-large", "name-without-header",
         "text-cell", "empty-cell", "nan", "short-line", "nothing-left", "infinity", "duplicate-names",
         "decimal-comma-not-asked", "decimal-point-not-asked", "underscore", "decimal-is-delimiter",
         "open-quote", "open-quote-elsewhere", "max-degree-with-degree", "huge-field", "binary", "json-directory", "plot-in-a-file",
         "plot-format", "plot-format-before-fit", "too-few-rows-for-the-degree"],
)
def test_bad_input_gives_one_line_and_exit_code_2(tmp_path, capsys, text, args, message):
    path = tmp_path / ("missing.csv" if text is None else "d.csv")
    if text is not None:
        path.write_bytes(text if isinstance(text, bytes) else text.encode())
    columns = [a for option in ("--x", "--y") if option not in args for a in (option, option[2:])]
    argv = ["fit", str(path), *columns, "--degree", "1", "--method", "ols"]
    assert main(argv + [a.format(tmp=tmp_path) for a in args]) == 2
    err = capsys.readouterr().err
    assert err.startswith("vasq: error: ") and err.endswith("\n") and err.count("\n") == 1
    assert message in err


@pytest.mark.parametrize(
    "args",
    [["--degree", "-1"], ["--degree", "two"], ["--degree", "2.0"], ["--method", "lasso"],
     ["--method", "tournament"], ["--seed", "x"], ["--seed", "-1"], ["--y"],
     ["--max-degree", "0"],
     ["--decimal", ""], ["--decimal", "e"], ["--decimal", "5"], ["--decimal", "-"]],
    ids=["negative-degree", "word-degree", "float-degree", "method", "old-method", "seed",
         "negative-seed", "no-y-value", "max-degree-0", "empty-decimal", "exponent-decimal",
         "digit-decimal", "sign-decimal"],
)
def test_bad_options_are_usage_errors(tmp_path, capsys, args):
    path = write_csv(tmp_path / "d.csv", ["x", "y"], [[0.0, 1.0], [1.0, 2.0]])
    with pytest.raises(SystemExit) as exit_info:
        main(["fit", str(path), "--x", "x", "--y", "y", *args])
    assert exit_info.value.code == 2
    assert "usage:" in capsys.readouterr().err


@pytest.mark.parametrize(
    ("degree", "method"),
    [("auto", "robust"), ("2", "robust"), ("auto", "ols"), ("3", "penalized")],
)
def test_fit_reports_and_saves_what_the_estimator_fits(tmp_path, capsys, degree, method):
    x, y = noisy_quadratic()
    path = write_csv(tmp_path / "d.csv", ["time", "signal"], [x, y])
    json_path, plot_path, points = tmp_path / "m.json", tmp_path / "p.png", tmp_path / "p.csv"
    argv = ["fit", str(path), "--x", "time", "--y", "signal", "--degree", degree, "--method", method,
            "--seed", "5", "--json", str(json_path), "--plot", str(plot_path),
            "--points", str(points)]
    assert main(argv) == 0
    out = capsys.readouterr().out

    est = RobustPolynomialRegressor(degree="auto" if degree == "auto" else int(degree), method=method,
                                    random_state=5).fit(x[:, None], y)
    assert out.startswith(f"{path}: 90 rows, signal against time\n")
    assert f"{est.inlier_mask_.sum()} of {x.size} rows inliers" in out
    assert est.model_.with_names(["time"], "signal").summary() in out
    assert re.search(r"^time\^2\s", out, flags=re.M) or est.degree_ < 2

    model = load_model(json_path)
    assert model.feature_names == ("time",) and model.target_name == "signal"
    assert model.degree == est.degree_ and model.method == method
    grid = np.linspace(-1.0, 11.0, 57)[:, None]
    np.testing.assert_allclose(model.predict(grid), est.predict(grid), rtol=1e-12, atol=1e-9)
    np.testing.assert_array_equal(model.inlier_mask, est.inlier_mask_)
    for a, b in zip(model.predict_interval(grid, kind="prediction"),
                    est.predict_interval(grid, kind="prediction"), strict=True):
        assert a.tobytes() == b.tobytes()
    assert plot_path.read_bytes().startswith(b"\x89PNG\r\n\x1a\n")

    # The points file holds every row as the estimator fits it.
    written = pd.read_csv(points)
    assert list(written.columns) == ["row", "time", "signal", "fitted", "residual", "weight",
                                   "inlier"]
    np.testing.assert_array_equal(written["row"], np.arange(x.size))
    np.testing.assert_array_equal(written["time"], x)
    np.testing.assert_array_equal(written["signal"], y)
    fitted = est.predict(x[:, None])
    assert written["fitted"].to_numpy().tobytes() == fitted.tobytes()
    np.testing.assert_array_equal(written["residual"], y - fitted)
    np.testing.assert_array_equal(written["inlier"], est.inlier_mask_.astype(int))
    assert 0 < est.inlier_mask_.sum() < x.size or method != "robust"  # both kinds checked
    weight = written["weight"].to_numpy()
    np.testing.assert_array_equal(weight, est.weights_)
    assert (weight[~est.inlier_mask_] == 0).all() and (weight[est.inlier_mask_] <= 1).all()


@pytest.mark.parametrize("replicated", [True, False])
def test_report_gives_lack_of_fit_and_detection_limits_only_with_replicates(
    tmp_path, capsys, replicated
):
    x, y = noisy_quadratic(n=60)
    x = np.round(x) if replicated else x  # eleven levels read about six times each
    path = write_csv(tmp_path / "d.csv", ["c", "s"], [x, y])
    assert main(["fit", str(path), "--x", "c", "--y", "s", "--degree", "2", "--method", "ols"]) == 0
    out = capsys.readouterr().out
    assert ("lack of fit" in out) == ("detection at 95%" in out) == replicated
    if replicated:
        frame = pd.DataFrame({"c": x, "s": y})
        table = anova_lm(smf.ols("s ~ c + I(c**2)", frame).fit(), smf.ols("s ~ C(c)", frame).fit())
        assert f"F = {table.F[1]:.4g} on (8, 49) df, p = {table['Pr(>F)'][1]:.4g}" in out
        limits = RobustPolynomialRegressor(2, method="ols").fit(x[:, None], y).detection_limit()
        assert f"detection limit {limits.detection_limit:.6g}," in out


def test_several_x_columns_reach_the_model_in_order(tmp_path, capsys):
    rng = np.random.default_rng(8)
    u, v, other = rng.uniform(-2, 2, (3, 25))
    w = 1.0 + 2.0 * u - 3.0 * v + rng.normal(0.0, 0.01, 25)
    path = write_csv(tmp_path / "d.csv", ["v", "other", "w", "u"], [v, other, w, u])
    assert main(["fit", str(path), "--x", "u", "--x", "0", "--y", "w", "--method", "ols",
                 "--degree", "1", "--json", str(tmp_path / "m.json"),
                 "--plot", str(tmp_path / "p.svg")]) == 0
    out = capsys.readouterr().out
    assert "w against u, v" in out
    rows = {line.split()[0]: float(line.split()[1]) for line in out.splitlines()
            if line.split() and line.split()[0] in ("const", "u", "v")}
    assert rows == pytest.approx({"const": 1.0, "u": 2.0, "v": -3.0}, abs=0.01)
    model = load_model(tmp_path / "m.json")
    assert model.feature_names == ("u", "v") and model.degree == (1, 1)
    U, V = rng.uniform(-3, 3, (2, 10))
    np.testing.assert_allclose(model.predict(np.column_stack([U, V])), 1 + 2 * U - 3 * V,
                               atol=0.05)
    assert (tmp_path / "p.svg").read_text().lstrip().startswith("<?xml")


class NotFitted:
    def __init__(self, **params):
        raise AssertionError("the fit must not start")


@pytest.mark.parametrize(
    ("target", "message"),
    [("no/p.csv", "does not exist"), (".", "is a folder")],
    ids=["missing-directory", "directory"],
)
def test_unwritable_points_file_stops_before_the_fit(tmp_path, capsys, monkeypatch, target,
                                                    message):
    monkeypatch.setattr(fit, "RobustPolynomialRegressor", NotFitted)
    path = tmp_path / "d.csv"
    path.write_text(FOUR_ROWS)
    argv = ["fit", str(path), "--x", "x", "--y", "y", "--points", str(tmp_path / target)]
    assert main(argv) == 2
    assert message in capsys.readouterr().err


def test_points_check_neither_leaves_a_file_nor_empties_one(tmp_path, capsys):
    path = tmp_path / "d.csv"
    path.write_text(FOUR_ROWS)
    kept = tmp_path / "kept.csv"
    kept.write_text("earlier results\n")
    for points in (tmp_path / "new.csv", kept):  # degree 5 is too high for 4 rows: no fit
        assert main(["fit", str(path), "--x", "x", "--y", "y", "--degree", "5",
                     "--points", str(points)]) == 2
    capsys.readouterr()
    assert not (tmp_path / "new.csv").exists()
    assert kept.read_text() == "earlier results\n"


def fitted_model(n_features, seed=1):
    """A line (or plane) with outliers, fitted by the robust method, and its data."""
    rng = np.random.default_rng(seed)
    X = rng.uniform(-1, 3, (40, n_features))
    y = X.sum(axis=1) + rng.normal(0, 0.05, 40)
    y[::6] += 3.0
    model = RobustPolynomialRegressor(degree=1, random_state=0).fit(X, y).model_
    assert 0 < model.n_inliers < 40  # both kinds of point are drawn
    return model, X, y


@pytest.mark.parametrize("n_features", [1, 2])
def test_plot_has_the_fit_the_bands_and_the_scaled_residuals_with_every_point_marked(n_features):
    model, X, y = fitted_model(n_features)
    figure = plot.plot_fit(model, X, y)
    assert len(figure.axes) == 2
    top, bottom = figure.axes
    fitted = model.predict(X)
    shown = X[:, 0] if n_features == 1 else fitted  # x, or the fitted value
    scaled = (y - fitted) / model.noise_scale(X)
    inliers = model.inlier_mask
    for ax, values in ((top, y), (bottom, scaled)):
        points = {c.get_label(): c.get_offsets() for c in ax.collections}
        np.testing.assert_array_equal(points["inliers"], np.column_stack([shown, values])[inliers])
        np.testing.assert_array_equal(points["outliers"],
                                      np.column_stack([shown, values])[~inliers])
    assert top.get_shared_x_axes().joined(top, bottom)
    if n_features == 1:  # the confidence and prediction bands, and the noise scale
        grid = top.lines[0].get_xdata()
        np.testing.assert_array_equal(grid, np.linspace(X.min(), X.max(), 400))
        bands = {c.get_label(): c for c in top.collections if "band" in c.get_label()}
        assert bands.keys() == {"95% confidence band", "95% prediction band"}
        for kind in ("confidence", "prediction"):
            low, high = model.predict_interval(grid[:, None], 0.95, kind)
            edges = {}
            for vx, vy in bands[f"95% {kind} band"].get_paths()[0].vertices:
                edges.setdefault(vx, []).append(vy)
            np.testing.assert_array_equal([min(edges[g]) for g in grid], low)
            np.testing.assert_array_equal([max(edges[g]) for g in grid], high)
        plus, minus = (line for line in top.lines if line.get_linestyle() == "--")
        noise = model.noise_scale(grid[:, None])
        np.testing.assert_allclose(plus.get_ydata() - minus.get_ydata(), 2.0 * noise, rtol=1e-12)
        assert plus.get_label() == "fit \u00b1 noise scale"


def test_format_missing_rows_and_max_degree_reach_the_fit(tmp_path, capsys):
    x, y = noisy_quadratic()
    cells = [f"{a!r};{b!r}".replace(".", ",") for a, b in zip(x.tolist(), y.tolist(), strict=True)]
    cells[5] = f"{float(x[5])!r};NA".replace(".", ",")
    path = tmp_path / "d.csv"
    path.write_text("time;signal\n" + "\n".join(cells) + "\n")
    assert main(["fit", str(path), "--x", "time", "--y", "signal", "--max-degree", "2",
                 "--delimiter", ";", "--decimal", ",", "--seed", "3",
                 "--points", str(tmp_path / "p.csv")]) == 0
    out, err = capsys.readouterr()
    assert err == f"vasq: 1 of {x.size} rows left out for missing values\n"
    kept = np.arange(x.size) != 5
    est = RobustPolynomialRegressor(max_degree=2, random_state=3).fit(x[kept, None], y[kept])
    scores = dict(re.findall(r"^(\d+)\s+(-?\d+\.\d{4})", out, flags=re.M))
    assert scores == {str(d): f"{s:.4f}" for d, s in est.bic_scores_.items()} and len(scores) == 3
    assert f"{est.inlier_mask_.sum()} of {kept.sum()} rows inliers" in out
    points = pd.read_csv(tmp_path / "p.csv")  # rows numbered as in the file, the gap kept
    np.testing.assert_array_equal(points["row"], np.flatnonzero(kept))
    np.testing.assert_array_equal(points["time"], x[kept])
