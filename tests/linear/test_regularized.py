"""Penalised normal equations against closed forms and numpy.linalg.solve."""

import numpy as np
import pytest

import vasq_core as vc

fit = vc.fit_regularized_linear


def normal_equations(Phi, y, R1, R2, gamma1, gamma2, ridge):
    n = len(y)
    A = Phi.T @ Phi + ridge * np.eye(Phi.shape[1]) + n * gamma1 * R1 + n * gamma2 * R2
    return A, Phi.T @ y


def spd(rng, p):
    B = rng.standard_normal((p, p))
    return B @ B.T


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        (([[1], [1]], [1, 3], [[1]], None, 0.5, 0.0, 0.0), [4 / 3]),
        (([[1], [1]], [1, 3], [[1]], None, 0.0, 0.0, 0.0), [2]),
        ((np.eye(2), [2, 3], np.diag([1, 0]), np.diag([0, 1]), 0.5, 1.0, 0.0), [1, 1]),
        (([[1, 1], [1, 1]], [1, 1], None, None, 0.0, 0.0, 0.0), [1, 0]),  # zero pivot
        ((np.zeros((3, 2)), [1, 2, 3], None, None, 0.0, 0.0, 0.0), [0, 0]),
        (([1.0, 1.0], [1, 3], [[1.0]], None, 0.5, 0.0, 0.0), [4 / 3]),  # 1-D Phi, list R1
        ((np.empty((3, 0)), np.ones(3), np.empty((0, 0)), None, 1.0), []),  # no columns
    ],
)
def test_worked_examples(args, expected):
    beta = fit(*args)
    assert beta.shape == (len(expected),)
    np.testing.assert_array_equal(beta, expected)


def test_default_ridge_resolves_singular_system():
    np.testing.assert_allclose(fit([[1, 1], [1, 1]], [1, 1]), [0.5, 0.5], rtol=0, atol=1e-5)


@pytest.mark.parametrize(
    ("gamma1", "gamma2", "ridge"),
    [(0.0, 0.0, 0.0), (1e-3, 0.0, 1e-10), (0.0, 0.2, 0.0), (0.05, 2.0, 0.3)],
)
def test_matches_numpy_solve(gamma1, gamma2, ridge):
    rng = np.random.default_rng(11)
    Phi, y = rng.standard_normal((120, 7)), rng.standard_normal(120)
    R1, R2 = spd(rng, 7), spd(rng, 7)
    expected = np.linalg.solve(*normal_equations(Phi, y, R1, R2, gamma1, gamma2, ridge))
    beta = fit(ridge=ridge, gamma2=gamma2, gamma1=gamma1, R2=R2, R1=R1, y=y, Phi=Phi)
    np.testing.assert_allclose(beta, expected, rtol=1e-10)


def test_reads_only_lower_triangle():
    rng = np.random.default_rng(3)
    Phi, y = rng.standard_normal((40, 4)), rng.standard_normal(40)
    R1 = rng.standard_normal((4, 4))
    A, b = normal_equations(Phi, y, R1, 0 * R1, 0.01, 0.0, 0.0)
    A = np.tril(A) + np.tril(A, -1).T
    beta = fit(Phi, y, R1, gamma1=0.01, ridge=0.0)
    np.testing.assert_allclose(beta, np.linalg.solve(A, b), rtol=1e-10)


@pytest.mark.parametrize(
    "penalty",
    [
        {"R1": np.full((3, 3), np.nan), "gamma1": 0.0},  # converted but never read
        {"R2": np.full((3, 3), np.nan), "gamma2": -0.0},
        {"R1": np.ones((5, 2)), "R2": np.ones((1, 1))},  # wrong shapes, zero weights
        {"gamma1": 1.0, "gamma2": 2.0},  # weights without matrices
    ],
)
def test_unapplied_penalties_change_nothing(penalty):
    rng = np.random.default_rng(5)
    Phi, y = rng.standard_normal((10, 3)), rng.standard_normal(10)
    np.testing.assert_array_equal(fit(Phi, y, **penalty), fit(Phi, y))


DIMENSIONS = r"^Dimension mismatch\.$"


@pytest.mark.parametrize(
    ("Phi", "y", "penalty", "error", "message"),
    [
        (np.eye(3), np.ones(2), {}, ValueError, DIMENSIONS),
        (np.empty((2, 0)), np.ones(3), {}, ValueError, DIMENSIONS),
        (np.eye(3), np.ones(3), {"R1": np.eye(2), "gamma1": 1.0}, ValueError, DIMENSIONS),
        (np.eye(3), np.ones(3), {"R2": np.ones((3, 2)), "gamma2": np.nan}, ValueError, DIMENSIONS),
        (np.eye(3), np.ones(3), {"R1": np.eye(3), "R2": np.eye(4), "gamma1": 1.0, "gamma2": 1.0},
         ValueError, DIMENSIONS),
        # Unconvertible penalties are refused whatever their weight.
        (np.eye(2), [1, 1], {"R1": "not a matrix"}, RuntimeError, "str"),
        (np.eye(2), [1, 1], {"R2": "not a matrix"}, RuntimeError, "str"),
    ],
)
def test_refusals(Phi, y, penalty, error, message):
    with pytest.raises(error, match=message):
        fit(Phi, y, **penalty)
