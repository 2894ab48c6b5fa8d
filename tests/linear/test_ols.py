"""Minimum-norm least squares against closed forms and numpy.linalg.lstsq."""

import numpy as np
import pytest

import vasq_core as vc


def low_rank(rng, m, n, r):
    return rng.standard_normal((m, r)) @ rng.standard_normal((r, n))


@pytest.mark.parametrize(
    ("X", "y", "expected"),
    [
        ([[1, 1], [2, 2], [3, 3]], [1, 2, 3], [0.5, 0.5]),  # minimum-norm split
        ([[1, 1]], [2], [1, 1]),
        ([[1, 0], [0, 1e-17]], [1, 1], [1, 0]),  # 1e-17 is below the rank cutoff
        (np.diag([1, 3e-16]), [1, 1], [1, 0]),  # cutoff is min(m, n) * 2^-52 * sigma_1
        (np.diag([1, 1, 5e-16]), [1, 1, 1], [1, 1, 0]),
        (np.diag([1, 2.0**-51]), [1, 2.0**-51], [1, 1]),  # equal to the cutoff: kept
        ([[2, 0], [0, 4]], [2, 4], [1, 1]),
        (np.zeros((3, 2)), [1, 2, 3], [0, 0]),
        (np.zeros((1, 1)), [5], [0]),
        (np.zeros((2, 20)), [1, 1], np.zeros(20)),  # divide-and-conquer path
        ([1, 2, 3], [2, 4, 6], [2]),  # 1-D X is one column
    ],
)
def test_worked_examples(X, y, expected):
    beta = vc.ols(X, y)
    assert beta.shape == (len(expected),)
    np.testing.assert_allclose(beta, expected, rtol=0, atol=1e-14)


@pytest.mark.parametrize(
    ("m", "n", "rank"),
    [
        (60, 5, 5),  # tall, full rank, Jacobi path
        (300, 40, 40),  # tall, full rank, divide-and-conquer path
        (80, 12, 4),  # rank-deficient
        (200, 30, 9),
        (8, 14, 8),  # wide
        (20, 50, 20),
        (10, 40, 6),  # wide and rank-deficient
    ],
)
def test_matches_lstsq_minimum_norm(m, n, rank):
    rng = np.random.default_rng(m * 1000 + n)
    X = low_rank(rng, m, n, rank)
    y = rng.standard_normal(m)
    expected = np.linalg.lstsq(X, y, rcond=None)[0]
    beta = vc.ols(X=X, y=y)
    assert np.linalg.norm(beta - expected) <= 1e-10 * np.linalg.norm(expected)


def test_reproduces_generating_coefficients():
    rng = np.random.default_rng(7)
    X = rng.standard_normal((500, 25))
    coef = rng.standard_normal(25)
    np.testing.assert_allclose(vc.ols(X, X @ coef), coef, rtol=1e-12)


@pytest.mark.parametrize(("shape", "n"), [((0, 3), 0), ((4, 0), 4), ((0, 0), 0)])
def test_empty_matrix_gives_zeros(shape, n):
    beta = vc.ols(np.empty(shape), np.ones(n))
    np.testing.assert_array_equal(beta, np.zeros(shape[1]))


@pytest.mark.parametrize(
    ("X", "y", "message"),
    [
        (np.eye(3), np.ones(2), "Dimension mismatch."),
        (np.eye(2), np.ones(3), "Dimension mismatch."),
        (np.empty((0, 2)), np.ones(1), "Dimension mismatch."),
        ([[1, np.nan], [0, 1]], [1, 1], "Non-finite input."),
        ([[1, 0], [np.inf, 1]], [1, 1], "Non-finite input."),
        (np.full((3, 20), -np.inf), np.ones(3), "Non-finite input."),
    ],
)
def test_invalid_input(X, y, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        vc.ols(X, y)


def test_non_finite_y_propagates():
    beta = vc.ols(np.eye(2), [np.nan, 1.0])
    assert np.isnan(beta).any()
