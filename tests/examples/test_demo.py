"""The demo runs end to end on its own data and on a CSV file, and refuses bad files."""

import importlib.util
import re
import sys
from pathlib import Path

import numpy as np
import pytest

DEMO = Path(__file__).parents[2] / "examples" / "demo.py"


@pytest.fixture(scope="module")
def demo():
    spec = importlib.util.spec_from_file_location("demo", DEMO)
    module = importlib.util.module_from_spec(spec)
    sys.modules["demo"] = module  # dataclasses look their module up while it executes
    try:
        spec.loader.exec_module(module)
        yield module
    finally:
        del sys.modules["demo"]


def test_generated_data_are_in_lab_units_with_a_fifth_spiked(demo):
    data = demo.generated_data()
    assert data.x.size == 250 and np.all(np.diff(data.x) >= 0)
    assert 0.0 <= data.x.min() and data.x.max() <= 250.0
    assert data.spiked.sum() == 50
    residual = data.y - np.polynomial.polynomial.polyval(data.x, [120.0, 8.2, -0.018, 2e-5])
    sd = 3.0 + 0.04 * data.x
    assert np.all(np.abs(residual[~data.spiked]) < 5.0 * sd[~data.spiked])
    assert np.all(residual[data.spiked] > 150.0 - 5.0 * sd[data.spiked])


def test_generated_run_flags_the_spikes_and_beats_least_squares(demo, tmp_path, capsys):
    pytest.importorskip("matplotlib")
    plot = tmp_path / "demo.png"
    assert demo.main(["--plot", str(plot)]) == 0
    out = capsys.readouterr().out
    rows = dict(re.findall(r"^(robust \(LTS \+ biweight\)|least squares, same degree)\s+3\s+(\S+)",
                           out, re.MULTILINE))
    assert float(rows["robust (LTS + biweight)"]) < 0.1 * float(rows["least squares, same degree"])
    found = re.search(r"(\d+) readings were spiked; the robust fit flags (\d+), of which (\d+)",
                      out)
    spiked, flagged, both = map(int, found.groups())
    assert both >= 0.95 * spiked and flagged <= spiked + 3
    assert plot.stat().st_size > 0


def test_csv_with_header_runs_end_to_end(demo, tmp_path, capsys):
    pytest.importorskip("matplotlib")
    x = np.linspace(0.0, 2.0, 40)
    csv = tmp_path / "data.csv"
    csv.write_text("x,y\n" + "".join(f"{a},{1 + a - a * a}\n" for a in x))
    plot = tmp_path / "fit.png"
    assert demo.main([str(csv), "--plot", str(plot)]) == 0
    out = capsys.readouterr().out
    assert "least squares" in out and "robust" in out and "n/a" in out
    assert "spiked" not in out
    assert plot.stat().st_size > 0


def test_exact_quadratic_in_a_file_is_recovered(demo, tmp_path):
    x = np.linspace(300.0, 310.0, 30)  # far from the origin
    csv = tmp_path / "q.csv"
    csv.write_text("".join(f"{a},{2 - a + 0.5 * a * a}\n" for a in x))
    data = demo.csv_data(csv)
    robust = demo.fit("robust", demo.RobustPolynomialRegressor(random_state=0), data).model
    assert robust.degree_ == 2
    np.testing.assert_allclose(robust.coef_, np.polynomial.polynomial.polyfit(x, data.y, 2),
                               rtol=1e-6)


@pytest.mark.parametrize(
    ("content", "message"),
    [
        (None, "cannot read"),
        ("1,2\n3,oops\n", "cannot read"),
        ("1,2,3\n" * 10, "at least 8 finite x,y pairs"),
        ("1,2\n" * 3, "at least 8 finite x,y pairs"),
        ("1,nan\n" * 10, "at least 8 finite x,y pairs"),
    ],
    ids=["missing", "not-a-number", "three-columns", "too-short", "nan"],
)
def test_unreadable_files_are_refused_clearly(demo, tmp_path, content, message):
    path = tmp_path / "bad.csv"
    if content is not None:
        path.write_text(content)
    with pytest.raises(SystemExit, match=message):
        demo.csv_data(path)
