"""Median absolute deviation and success rate against NumPy and hand-worked values."""

import numpy as np
import pytest

import vasq_core as vc


def numpy_mad(y):
    y = np.asarray(y, dtype=float)
    if y.size == 0:
        return 0.0
    return float(np.median(np.abs(y - np.median(y))))


@pytest.mark.parametrize(
    ("y", "expected"),
    [([], 0.0), ([7.5], 0.0), ([1, 2, 3, 4], 1.0), ([1, 2, 3, 4, 100], 1.0), ([3.0] * 6, 0.0),
     ([-1.0, 1.0], 1.0)],
)
def test_mad_worked_examples(y, expected):
    assert vc.mad(y) == expected


@pytest.mark.parametrize("n", [1, 2, 3, 10, 101, 1000, 1001])
def test_mad_matches_numpy(n):
    rng = np.random.default_rng(n)
    y = rng.standard_cauchy(n)
    assert vc.mad(y) == pytest.approx(numpy_mad(y), rel=1e-15, abs=0)


def test_mad_with_ties_and_order_independence():
    rng = np.random.default_rng(1)
    y = rng.integers(0, 5, 400).astype(float)
    expected = numpy_mad(y)
    assert vc.mad(y) == expected
    assert vc.mad(rng.permutation(y)) == expected


@pytest.mark.parametrize("y", [[np.nan, 1.0, 2.0], [np.nan] * 4, [np.inf, -np.inf, 1.0]])
def test_mad_with_non_finite_input_does_not_crash(y):
    assert isinstance(vc.mad(y), float)


@pytest.mark.parametrize(
    ("yp", "yt", "eps", "expected"),
    [
        ([0, 0, 0, 0], [0.1, -0.1, 0.2, 0.0], 0.5, 1.0),
        ([0, 0, 0, 0], [1, 2, 3, 4], 0.5, 0.125),
        ([0, 0, 0, 0], [0.1, 2, 3, 4], 0.5, 0.25),
        ([0, 0], [0.5, 0.25], 0.5, 0.5),  # a residual equal to eps is not a hit
        ([0, 0, 0], [0, 0, 0], 0.0, 1 / 6),  # zero tolerance counts nothing
        ([0, 0, 0], [0, 0, 0], -1.0, 1 / 6),
        ([0, 0, 0], [0, 0, 0], np.nan, 1 / 6),
        ([np.nan, 0.0], [0.0, 0.0], 1.0, 0.5),  # a NaN residual is never a hit
        ([0, 0, 99, 99], [0, 0], 1.0, 1.0),  # entries of yp beyond yt are ignored
    ],
)
def test_compute_sr_examples(yp, yt, eps, expected):
    assert vc.compute_sr(yp, yt, eps) == expected


def test_compute_sr_matches_numpy():
    rng = np.random.default_rng(3)
    yt = rng.normal(size=10_001)
    yp = yt + rng.normal(scale=0.3, size=yt.size)
    expected = np.mean(np.abs(yp - yt) < 0.25)
    assert vc.compute_sr(yp, yt, 0.25) == expected


def test_compute_sr_of_empty_vectors_is_nan():
    assert np.isnan(vc.compute_sr([], [], 1.0))


def test_compute_sr_refuses_short_prediction():
    with pytest.raises(ValueError, match=r"^Dimension mismatch\.$"):
        vc.compute_sr([0.0], [0.0, 0.0], 1.0)
