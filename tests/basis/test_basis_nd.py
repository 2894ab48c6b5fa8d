"""N-D design matrix and penalty pair against NumPy products, numpy.polynomial grid sums and
hand-worked values."""

import itertools
import math

import numpy as np
import numpy.polynomial.polynomial as P
import pytest

import vasq_core as vc


def test_design_nd_worked_example_with_array_inputs():
    expected = [[2, 25, 10], [3, 49, 21]]
    np.testing.assert_array_equal(vc.design_matrix_nd([[1, 0], [0, 2], [1, 1]],
                                                      [[2.0, 3.0], [5.0, 7.0]]), expected)
    np.testing.assert_array_equal(
        vc.design_matrix_nd(np.array([[1, 0], [0, 2], [1, 1]]), np.array([[2, 3], [5, 7]])),
        expected)


def test_design_nd_equals_numpy_product_and_ignores_extra_entries():
    rng = np.random.default_rng(3)
    X = rng.uniform(-2, 2, size=(3, 40))
    E = np.array(list(itertools.product(range(-1, 3), range(3), range(4))))
    expected = np.prod(X[None, :, :] ** np.maximum(E, 0)[:, :, None], axis=1).T
    np.testing.assert_allclose(vc.design_matrix_nd(E, list(X)), expected, rtol=1e-14)
    E_long = np.hstack([E, np.full((len(E), 1), 5)])
    np.testing.assert_array_equal(vc.design_matrix_nd(E_long, list(X)),
                                  vc.design_matrix_nd(E, list(X)))


def test_design_nd_one_dimension_matches_1d():
    x = np.random.default_rng(5).normal(scale=1.5, size=60)
    np.testing.assert_allclose(vc.design_matrix_nd([[j] for j in range(9)], [x]),
                               vc.design_matrix_1d(8, x), rtol=1e-14)


def test_design_nd_non_finite_samples_only_reach_positive_exponents():
    cols = [np.array([1.5, 2.0, np.inf]), np.array([np.nan, 3.0, 4.0, 99.0])]
    Phi = vc.design_matrix_nd([[0, 0], [1, 0], [2, -3], [0, 1]], cols)
    np.testing.assert_array_equal(Phi[:, 0], 1.0)
    np.testing.assert_array_equal(Phi[:, 1:3], [[1.5, 2.25], [2.0, 4.0], [np.inf, np.inf]])
    np.testing.assert_array_equal(Phi[1:, 3], [3.0, 4.0])
    assert np.isnan(Phi[0, 3])
    assert vc.design_matrix_nd([], cols).shape == (3, 0)


def grid_sums(beta, degrees, bounds, d):
    """K * (sum |grad f|^2, sum of all squared second partials) on the tensor grid."""
    c = np.reshape(beta, [g + 1 for g in degrees])
    grids = [np.linspace(a, b, d) for a, b in bounds]

    def on_grid(coef):
        for x in grids:
            coef = P.polyval(x, coef)
        return coef

    n = len(degrees)
    first = [P.polyder(c, 1, axis=k) for k in range(n)]
    grad = sum(np.sum(on_grid(f) ** 2) for f in first)
    hess = sum(np.sum(on_grid(P.polyder(first[p], 1, axis=q)) ** 2)
               for p in range(n) for q in range(n))
    K = math.prod((b - a) / (d - 1) for a, b in bounds)
    return K * grad, K * hess


@pytest.mark.parametrize(("degrees", "bounds", "d"), [
    ([2, 3], [(-1.0, 1.5), (2.0, 0.5)], 9),
    ([1, 1], [(0.0, 2.0), (-1.0, 1.0)], 4),
    ([1, 2, 1], [(0.0, 1.0), (-1.0, 2.0), (0.5, 1.5)], 6),
    ([2, 0, 3], [(-0.5, 0.5), (3.0, 4.0), (1.0, 2.0)], 5),
])
def test_penalty_nd_forms_are_grid_sums(degrees, bounds, d):
    R1, R2, multi = vc.build_penalty_matrices_nd(degrees, bounds, d)
    assert multi == [list(m) for m in itertools.product(*(range(g + 1) for g in degrees))]
    assert R1.shape == R2.shape == (len(multi), len(multi))
    np.testing.assert_array_equal(R1, R1.T)
    np.testing.assert_array_equal(R2, R2.T)
    again = vc.build_penalty_matrices_nd(degrees, bounds, d)
    assert np.array_equal(again[0], R1) and np.array_equal(again[1], R2)
    for beta in np.random.default_rng(len(multi)).normal(size=(3, len(multi))):
        grad, hess = grid_sums(beta, degrees, bounds, d)
        assert beta @ R1 @ beta == pytest.approx(grad, rel=1e-11)
        assert beta @ R2 @ beta == pytest.approx(hess, rel=1e-11, abs=1e-11)


def test_penalty_nd_worked_example_with_array_inputs():
    R1, R2, multi = vc.build_penalty_matrices_nd(np.array([1, 1]), np.array([[0, 1], [0, 1]]), 2)
    assert multi == [[0, 0], [0, 1], [1, 0], [1, 1]]
    np.testing.assert_array_equal(R1, [[0, 0, 0, 0], [0, 4, 0, 2], [0, 0, 4, 2], [0, 2, 2, 4]])
    np.testing.assert_array_equal(R2, np.diag([0.0, 0.0, 0.0, 8.0]))


@pytest.mark.parametrize(("degrees", "shape", "multi"), [
    ([], (1, 1), [[]]), ([0, 0, 0], (1, 1), [[0, 0, 0]]), ([2, -1], (0, 0), []),
    ([-1, 3, 3], (0, 0), []),
])
def test_penalty_nd_degenerate_bases_give_zero_matrices(degrees, shape, multi):
    R1, R2, got = vc.build_penalty_matrices_nd(degrees, [(0.0, 1.0)] * len(degrees))
    assert got == multi and R1.shape == R2.shape == shape
    assert not R1.any() and not R2.any()


@pytest.mark.parametrize(("deg", "a", "b", "d"), [(0, 0.0, 1.0, 30), (4, -1.0, 2.0, 30),
                                                  (7, 0.5, -0.25, 13), (3, 1.0, 1.0, 5)])
def test_penalty_nd_one_dimension_matches_1d(deg, a, b, d):
    R1, R2, _ = vc.build_penalty_matrices_nd([deg], [(a, b)], d)
    for got, want in zip((R1, R2), vc.smoothness_penalty_matrices_1d(deg, a, b, d), strict=True):
        np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-12 * np.abs(want).max())
