"""Data shared by the tests of the Python layer: small curves with and without outliers."""

import numpy as np
import pytest
from numpy.polynomial import polynomial as P


def _cubic_with_outliers(seed, n=200, share=0.2, sd=0.05, two_sided=True):
    """x in [-3, 5], y = 1 - 2x + x^2/2 + x^3/4 + N(0, sd); a share of gross outliers."""
    rng = np.random.default_rng(seed)
    x = rng.uniform(-3.0, 5.0, n)
    beta = np.array([1.0, -2.0, 0.5, 0.25])
    y = P.polyval(x, beta) + rng.normal(0.0, sd, n)
    out = rng.random(n) < share
    sign = rng.choice([-1.0, 1.0], out.sum()) if two_sided else 1.0
    y[out] += sign * rng.uniform(5.0, 20.0, out.sum())
    return x[:, None], y, beta, out


def _line(n=60, seed=0, sd=0.2):
    """x in [2, 8], y = 1 + x / 2 + N(0, sd)."""
    rng = np.random.default_rng(seed)
    x = rng.uniform(2.0, 8.0, n)
    return x, 1.0 + 0.5 * x + rng.normal(0.0, sd, n)


def _quadratic(n=60, seed=0):
    """X of shape (n, 1) in [0, 4], y = 2 - x + x^2 / 2 + N(0, 0.05)."""
    rng = np.random.default_rng(seed)
    x = rng.uniform(0.0, 4.0, n)
    return x[:, None], 2.0 - x + 0.5 * x**2 + rng.normal(0.0, 0.05, n)


def _heteroscedastic(n=120, seed=11):
    """A quadratic with noise growing along x and every eighth point a gross outlier."""
    rng = np.random.default_rng(seed)
    x = rng.uniform(1.0, 9.0, n)
    y = 2.0 - 0.5 * x + 0.1 * x**2 + rng.normal(0.0, 0.05 * x)
    y[::8] += 25.0
    return x[:, None], y


@pytest.fixture(scope="session")
def cubic_with_outliers():
    return _cubic_with_outliers


@pytest.fixture(scope="session")
def line_data():
    return _line


@pytest.fixture(scope="session")
def quadratic():
    return _quadratic


@pytest.fixture(scope="session")
def heteroscedastic():
    return _heteroscedastic
