"""The coverage benchmark's data sets and hand-built peers compute what they claim."""

import importlib
import json
import sys
from pathlib import Path

import numpy as np
import pytest
from scipy.stats import t as student_t

BENCHMARKS = str(Path(__file__).parents[2] / "benchmarks")
MODULES = ("_coverage_cases", "_coverage_methods", "_coverage_targets", "bench_coverage")


@pytest.fixture(scope="module")
def bench():
    sys.path.insert(0, BENCHMARKS)  # as the benchmarks import each other, from their folder
    try:
        yield {name: importlib.import_module(name) for name in MODULES}
    finally:
        sys.path.remove(BENCHMARKS)
        for name in MODULES:
            sys.modules.pop(name, None)


def test_cases_draw_their_design_noise_and_outliers(bench):
    for case in bench["_coverage_cases"].CASES:
        draws = [case.draw(seed) for seed in range(40)]
        x, sd = case.x, case.sd(case.x)
        assert x.size == case.n and np.all(sd > 0), case.key
        z = np.array([(d.y - case.signal(x)) / sd for d in draws])
        outlier = np.array([d.outlier for d in draws])
        assert np.all(outlier.sum(axis=1) == round(case.outliers * case.n)), case.key
        assert np.all((np.abs(z[outlier]) > 10.0 - 6.0) & (np.abs(z[outlier]) < 30.0 + 6.0))
        if case.block:  # the highest standard's readings, all moved up
            assert np.all(np.broadcast_to(x, outlier.shape)[outlier] == case.levels[-1])
            assert np.all(z[outlier] > 0.0)
        clean = z[~outlier]
        # unit variance whatever the distribution: 40 x n readings give sd within a few %
        assert abs(clean.std() - 1.0) < (0.12 if case.t_dof else 0.05), case.key
        assert np.array_equal(case.draw(7).y, draws[7].y)


@pytest.mark.parametrize("key, span", [("const-n40", 9.0), ("cv2-n40", 100.0),
                                       ("cv4-n200", 1e4)])
def test_grid_spans_the_standards_and_splits_into_equal_thirds(bench, key, span):
    case = next(c for c in bench["_coverage_cases"].CASES if c.key == key)
    grid = case.grid()
    assert np.isclose(grid[0], case.levels[0]) and np.isclose(grid[-1], case.levels[-1])
    ratio = case.levels[-1] / case.levels[0] if case.geometric else np.ptp(case.levels)
    assert np.isclose(ratio, span)
    assert np.array_equal(np.bincount(case.thirds(grid)), [20, 20, 20])


def fieller(a, b, cov, s2, m, t, y0):
    """Closed-form ends of the inverse interval of a line a + b x (the quadratic's roots)."""
    d = y0 - a
    qa = b * b - t * t * cov[1, 1]
    qb = -2.0 * (b * d + t * t * cov[0, 1])
    qc = d * d - t * t * (cov[0, 0] + s2 / m)
    disc = np.sqrt(qb * qb - 4.0 * qa * qc)
    return (-qb - disc) / (2.0 * qa), (-qb + disc) / (2.0 * qa)


@pytest.mark.parametrize("m", [1, 3])
def test_classical_inverse_matches_fieller_on_a_line(bench, m):
    methods = bench["_coverage_methods"]
    rng = np.random.default_rng(5)
    x = np.repeat(np.linspace(1.0, 10.0, 8), 3)
    y = 0.5 + 2.0 * x + rng.normal(0.0, 0.4, x.size)
    X = np.column_stack([np.ones_like(x), x])
    beta, rss = np.linalg.lstsq(X, y, rcond=None)[:2]
    s2 = rss[0] / (x.size - 2)
    cov = s2 * np.linalg.inv(X.T @ X)
    t = student_t.ppf(0.975, x.size - 2)
    grid = np.linspace(1.0, 10.0, 4000)
    G = np.column_stack([np.ones_like(grid), grid])
    curve_var = np.einsum("ij,jk,ik->i", G, cov, G)
    targets = np.array([5.0, 12.0, 19.0, 20.6, 40.0])  # inside; open at the top; beyond
    lo, hi = methods.classical_inverse(grid, G @ beta, curve_var, np.full(grid.size, s2 / m),
                                       t, targets)
    for j, y0 in enumerate(targets[:3]):
        assert np.allclose([lo[j], hi[j]], fieller(*beta, cov, s2, m, t, y0), rtol=1e-6)
    assert np.isfinite(lo[3]) and np.isnan(hi[3])  # holds y up to the edge: open there
    assert np.isnan(lo[4]) and np.isnan(hi[4])


def test_replicate_variance_function_recovers_a_constant_cv(bench):
    cases = bench["_coverage_cases"]
    case = cases.Case("big", "CV 3%, 1000 replicates", cases.decades(10, 2), 1000,
                      cases.CALIBRATION, cases.constant_cv(0.03))
    sd_of = bench["_coverage_methods"].replicate_sd_model(case, case.draw(0).y)
    signal = case.signal(case.levels)
    # each log s_j is off by about 1 / sqrt(2 r) = 2 %, the line through ten of them less
    assert np.allclose(sd_of(signal), 0.03 * signal, rtol=0.03)


def test_quick_run_writes_every_figure_of_every_method(bench, tmp_path, capsys):
    path = tmp_path / "coverage.json"
    bench["bench_coverage"].main(["--quick", "--cases", "cv2-n15", "--json", str(path)])
    case = json.loads(path.read_text())["cases"]["cv2-n15"]
    assert set(case["methods"]) == set(bench["_coverage_methods"].METHODS)
    for name, s in case["methods"].items():
        figures = [s["band"], *s["band_thirds"], *s["pred_thirds"], s["true_degree"]]
        assert all(0.0 <= v <= 1.0 for v in figures), name
        assert (s["clean_flagged"] is None) == (name.startswith(("OLS", "WLS")))
    assert set(case["inverse"]) == {f"{n}, m={m}" for n in bench["_coverage_methods"]
                                    .INVERSE_METHODS for m in (1, 3)}
    assert "cv2-n15: inverse prediction" not in capsys.readouterr().out  # not a target case
    with pytest.raises(SystemExit, match="no case matches"):
        bench["bench_coverage"].main(["--cases", "nothing-like-this"])
