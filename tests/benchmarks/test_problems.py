"""The benchmark problems draw what their descriptions promise: shapes, masks, contamination."""

import importlib
import sys
from pathlib import Path

import numpy as np
import pytest

BENCHMARKS = str(Path(__file__).parents[2] / "benchmarks")


@pytest.fixture(scope="module")
def problems():
    sys.path.insert(0, BENCHMARKS)  # as the benchmarks import it, run from their folder
    try:
        yield importlib.import_module("_problems")
    finally:
        sys.path.remove(BENCHMARKS)
        sys.modules.pop("_problems", None)


def offsets_in_sd(problem, sample):
    return (sample.y - problem.truth(sample.X)) / sample.sd


def test_samples_have_consistent_shapes_reproducible_draws_and_an_inner_grid(problems):
    for problem in problems.PROBLEMS:
        s = problem.sample(3)
        n = s.y.size
        assert s.X.shape == (n, problem.n_features), problem.name
        assert s.outlier.dtype == bool and s.outlier.shape == (n,)
        assert s.sd.shape == (n,) and np.all(s.sd > 0)
        # clean readings scatter as their noise sd says (6 sd: a miss of 1e-7 per reading)
        assert np.all(np.abs(offsets_in_sd(problem, s)[~s.outlier]) < 6.0), problem.name
        again = problem.sample(3)
        assert np.array_equal(s.y, again.y) and np.array_equal(s.outlier, again.outlier)
        G = problem.grid(s)
        clean = s.X[~s.outlier]
        assert G.shape == ({1: 1001, 2: 61**2, 3: 11**3}[problem.n_features], problem.n_features)
        assert np.all(G >= clean.min(axis=0)) and np.all(G <= clean.max(axis=0))
        assert np.allclose(G.min(axis=0), clean.min(axis=0))


def test_planted_outliers_follow_each_description(problems):
    for seed in range(5):
        for problem in problems.RAMP:
            s = problem.sample(seed)
            share = float(problem.name.split("%")[0].split()[-1]) / 100
            assert s.outlier.sum() == round(share * 200)
            off = offsets_in_sd(problem, s)[s.outlier]
            shift = np.median(off)  # one shadow curve: a common offset, the noise around it
            assert 10.0 - 4.0 < abs(shift) < 35.0 + 4.0
            assert np.all(np.abs(off - shift) < 6.0)

        (block,) = problems.BLOCK
        s = block.sample(seed)
        x = s.X[:, 0]
        lo, hi = x[s.outlier].min(), x[s.outlier].max()
        assert np.array_equal(s.outlier, (x >= lo) & (x <= hi))  # one contiguous stretch
        assert 0.28 < (hi - lo) / 10.0 <= 0.4
        assert np.all(offsets_in_sd(block, s)[s.outlier] < -4.0)  # read low

        for problem in problems.LEVERAGE:
            s = problem.sample(seed)
            assert 0.05 <= s.outlier.mean() <= 0.20
            assert np.all(s.X[s.outlier, 0] > 15.0) and np.all(s.X[~s.outlier] <= 10.0)
            assert np.all(offsets_in_sd(problem, s)[s.outlier] < -4.0)

        (calibration,) = problems.CALIBRATION
        s = calibration.sample(seed)
        values, counts = np.unique(s.X[:, 0], return_counts=True)
        assert values.size == 12 and values[0] == 0.0 and values[-1] == 500.0
        assert np.all(counts == 4) and s.outlier.sum() == 4
        assert np.all(offsets_in_sd(calibration, s)[s.outlier] > 4.0)

        for problem in problems.SHORT:
            s = problem.sample(seed)
            assert s.outlier.sum() == ("one outlier" in problem.name)
            assert np.all(np.abs(offsets_in_sd(problem, s)[s.outlier]) > 4.0)
            assert s.y.size in problems.SHORT_SIZES and np.all(np.diff(s.X[:, 0]) > 0)
