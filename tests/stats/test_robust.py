"""Median absolute deviation and success rate against NumPy."""

import numpy as np
import pytest

import vasq_core as vc


def numpy_mad(y):
    y = np.asarray(y, dtype=float)
    if y.size == 0:
        return 0.0
    return float(np.median(np.abs(y - np.median(y))))


def numpy_sr(yp, yt, eps):
    """The share of |yp - yt| < eps over yt's length, at least 1 / (2 n); NaN for no rows."""
    yp, yt = np.asarray(yp, float), np.asarray(yt, float)
    if yt.size == 0:
        return np.nan
    return max(np.count_nonzero(np.abs(yp[: yt.size] - yt) < eps) / yt.size, 1 / (2 * yt.size))


ties = np.random.default_rng(1).integers(0, 5, 400).astype(float)


@pytest.mark.parametrize(
    "y",
    [
        [],
        [7.5],
        [1, 2, 3, 4],
        [1, 2, 3, 4, 100],
        [3.0] * 6,
        [-1.0, 1.0],
        ties,
        np.random.default_rng(2).permutation(ties),  # order independence
        *(np.random.default_rng(n).standard_cauchy(n) for n in [1, 2, 3, 10, 101, 1000, 1001]),
    ],
)
def test_mad_is_numpys(y):
    assert vc.mad(y) == numpy_mad(y)


@pytest.mark.parametrize("y", [[np.nan, 1.0, 2.0], [np.nan] * 4, [np.inf, -np.inf, 1.0]])
def test_mad_with_non_finite_input_does_not_crash(y):
    assert isinstance(vc.mad(y), float)


rng = np.random.default_rng(3)
YT = rng.normal(size=10_001)


@pytest.mark.parametrize(
    ("yp", "yt", "eps"),
    [
        ([0, 0, 0, 0], [0.1, -0.1, 0.2, 0.0], 0.5),
        ([0, 0, 0, 0], [1, 2, 3, 4], 0.5),
        ([0, 0, 0, 0], [0.1, 2, 3, 4], 0.5),
        ([0, 0], [0.5, 0.25], 0.5),  # a residual equal to eps is not a hit
        ([0, 0, 0], [0, 0, 0], 0.0),  # zero tolerance counts nothing
        ([0, 0, 0], [0, 0, 0], -1.0),
        ([0, 0, 0], [0, 0, 0], np.nan),
        ([np.nan, 0.0], [0.0, 0.0], 1.0),  # a NaN residual is never a hit
        ([0, 0, 99, 99], [0, 0], 1.0),  # entries of yp beyond yt are ignored
        ([], [], 1.0),
        (YT + rng.normal(scale=0.3, size=YT.size), YT, 0.25),
    ],
)
def test_compute_sr_is_numpys(yp, yt, eps):
    np.testing.assert_array_equal(vc.compute_sr(yp, yt, eps), numpy_sr(yp, yt, eps), strict=True)


def test_compute_sr_refuses_short_prediction():
    with pytest.raises(ValueError, match=r"^Dimension mismatch\.$"):
        vc.compute_sr([0.0], [0.0, 0.0], 1.0)
