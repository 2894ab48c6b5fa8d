"""1-D design matrix, penalty pair and boundary matrix against numpy.polynomial and hand-worked
values."""

import numpy as np
import numpy.polynomial.polynomial as P
import pytest

import vasq_core as vc


def grid_1d(x_min, x_max, n_grid):
    h = (x_max - x_min) / (n_grid - 1)
    return np.arange(n_grid) * h + x_min, h


@pytest.mark.parametrize(("deg", "x"), [
    (3, [2.0, -1.0]), (3, np.array([2, -1])), (4, np.empty(0)),
    *((deg, np.random.default_rng(deg).normal(scale=2.0, size=37)) for deg in (0, 1, 5, 12)),
])
def test_design_1d_equals_repeated_products_of_polyvander(deg, x):
    np.testing.assert_array_equal(vc.design_matrix_1d(deg, x), P.polyvander(x, deg), strict=True)
    np.testing.assert_array_equal(vc.design_matrix_1d(x=x, deg=deg), P.polyvander(x, deg))


def test_design_1d_non_finite_samples_give_1_then_their_powers():
    np.testing.assert_array_equal(vc.design_matrix_1d(2, [np.nan, np.inf, -np.inf, 0.0]), [
        [1, np.nan, np.nan], [1, np.inf, np.inf], [1, -np.inf, np.inf], [1, 0, 0]])


@pytest.mark.parametrize("deg", [0, 1, 2, 5, 8])
@pytest.mark.parametrize(("x_min", "x_max", "n_grid"), [(-1.5, 2.0, 50), (0.3, 0.3, 7),
                                                         (2.0, -1.0, 40), (-1.0, 1.0, 2)])
def test_penalty_1d_forms_are_grid_sums(deg, x_min, x_max, n_grid):
    R1, R2 = vc.smoothness_penalty_matrices_1d(deg, x_min, x_max, n_grid)
    assert R1.shape == R2.shape == (deg + 1, deg + 1)
    np.testing.assert_array_equal(R1, R1.T)
    np.testing.assert_array_equal(R2, R2.T)
    assert not R1[0].any() and not R2[:2].any()
    t, h = grid_1d(x_min, x_max, n_grid)
    for beta in np.random.default_rng(deg).normal(size=(3, deg + 1)):
        for R, order in ((R1, 1), (R2, 2)):
            expected = h * np.sum(P.polyval(t, P.polyder(beta, order)) ** 2)
            assert beta @ R @ beta == pytest.approx(expected, rel=1e-11, abs=1e-11)


def test_penalty_1d_worked_example_with_default_grid():
    R1, R2 = vc.smoothness_penalty_matrices_1d(1, 0.0, 1.0)
    assert R1[1, 1] == pytest.approx(600 / 599, rel=1e-13)
    assert np.count_nonzero(R1) == 1 and not R2.any()


@pytest.mark.parametrize(("deg", "x_min", "x_max", "expected"), [
    (-1, 0.0, 1.0, np.zeros((0, 0))),
    (0, -2.0, 3.0, np.zeros((1, 1))),
    (1, -2.0, 3.0, np.zeros((2, 2))),
    (2, -2.0, 3.0, np.diag([0.0, 0.0, 20.0])),
    (3, 0.0, 1.0, [[0, 0, 0, 0], [0, 0, 0, 3], [0, 0, 4, 9], [0, 3, 9, 18]]),
    (4, 1.25, 1.25, np.zeros((5, 5))),
])
def test_boundary_worked_examples(deg, x_min, x_max, expected):
    np.testing.assert_array_equal(vc.boundary_reduce_1d(deg, x_min, x_max), expected)


@pytest.mark.parametrize("deg", [2, 3, 6, 9])
def test_boundary_form_is_end_difference(deg):
    a, b = -0.7, 1.9
    B = vc.boundary_reduce_1d(deg, a, b)
    np.testing.assert_array_equal(B, B.T)
    np.testing.assert_array_equal(vc.boundary_reduce_1d(deg, b, a), -B)
    for beta in np.random.default_rng(deg).normal(size=(3, deg + 1)):
        d1, d2 = P.polyder(beta, 1), P.polyder(beta, 2)
        expected = P.polyval(b, d1) * P.polyval(b, d2) - P.polyval(a, d1) * P.polyval(a, d2)
        assert beta @ B @ beta == pytest.approx(expected, rel=1e-12, abs=1e-12)
