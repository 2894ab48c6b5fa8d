"""The demo runs end to end on its own data and on a CSV file, and refuses bad files."""

import importlib.util
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


def test_generated_data_has_a_quarter_of_outliers(demo):
    data = demo.generated_data()
    assert data.x.size == 300 and np.all(np.diff(data.x) >= 0)
    assert (~data.inlier).sum() == 75
    residual = data.y - data.truth(data.x)
    assert np.abs(residual[data.inlier]).max() < 0.3
    assert np.abs(residual[~data.inlier]).min() >= 0.3


def test_csv_with_header_runs_end_to_end(demo, tmp_path, capsys):
    pytest.importorskip("matplotlib")
    x = np.linspace(0.0, 2.0, 40)
    csv = tmp_path / "data.csv"
    csv.write_text("x,y\n" + "".join(f"{a},{1 + a - a * a}\n" for a in x))
    plot = tmp_path / "fit.png"
    assert demo.main([str(csv), "--plot", str(plot)]) == 0
    out = capsys.readouterr().out
    assert "least squares" in out and "tournament MCMC" in out and "n/a" in out
    assert plot.stat().st_size > 0


def test_exact_quadratic_is_recovered_by_least_squares(demo, tmp_path):
    x = np.linspace(-1.0, 1.0, 30)
    csv = tmp_path / "q.csv"
    csv.write_text("".join(f"{a},{2 - a + 0.5 * a * a}\n" for a in x))
    data = demo.csv_data(csv)
    fits = demo.fits_for_degree(data, 2, demo.vc.TournamentMCMC(n_chains=2, n_deep=10))
    np.testing.assert_allclose(fits[0].beta, [2.0, -1.0, 0.5], atol=1e-12)


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
