"""The estimator's bases: terms, their count, their penalties and the change of units."""

import math

import numpy as np
import pytest
from numpy.polynomial import polynomial as P

from vasq import _basis
from vasq._scaling import Scaling, to_user_units


@pytest.mark.parametrize(
    "degrees", [(0,), (4,), (2, 2), (3, 1), (1, 3), (2, 2, 2), (1, 0, 2), (2,) * 6]
)
def test_terms_are_every_capped_exponent_vector_of_bounded_total(degrees):
    powers = _basis.monomial_powers(degrees)
    grid = np.indices([d + 1 for d in degrees]).reshape(len(degrees), -1).T
    expected = grid[grid.sum(axis=1) <= max(degrees)]  # C order: feature 0 slowest
    np.testing.assert_array_equal(powers, expected)
    assert _basis.n_terms(degrees) == len(expected)


@pytest.mark.parametrize(("n_features", "degree"), [(1, 7), (3, 4), (10, 2), (20, 3)])
def test_equal_degrees_count_as_a_binomial_coefficient(n_features, degree):
    assert _basis.n_terms((degree,) * n_features) == math.comb(n_features + degree, degree)


@pytest.mark.parametrize("degrees", [(2, 2), (3, 1), (1, 2)])
def test_penalties_of_a_subset_of_terms_are_grid_sums_of_its_derivatives(degrees):
    powers = _basis.monomial_powers(degrees)
    beta = np.random.default_rng(7).normal(0.0, 1.0, len(powers))
    R1, R2 = _basis.penalty_matrices(powers)
    c = np.zeros([d + 1 for d in degrees])
    c[tuple(powers.T)] = beta
    t = np.linspace(-1.0, 1.0, _basis.PENALTY_GRID[2])
    a, b = np.meshgrid(t, t, indexing="ij")
    K = (t[1] - t[0]) ** 2

    def grid_sum(*derivatives):
        return K * sum(
            np.sum(P.polyval2d(a, b, P.polyder(P.polyder(c, i, axis=0), j, axis=1)) ** 2)
            for i, j in derivatives
        )

    assert beta @ R1 @ beta == pytest.approx(grid_sum((1, 0), (0, 1)), rel=1e-10)
    assert beta @ R2 @ beta == pytest.approx(grid_sum((2, 0), (0, 2), (1, 1), (1, 1)), rel=1e-10)


# Twenty features of degree 2 have 231 terms but a tensor grid of 3**20 coefficients.
@pytest.mark.parametrize("degrees", [(3,), (2, 2), (1, 2, 1), (2,) * 20])
def test_change_of_units_gives_the_same_polynomial_in_raw_x(degrees):
    rng = np.random.default_rng(len(degrees))
    powers = _basis.monomial_powers(degrees)
    beta = rng.normal(0.0, 1.0, len(powers))
    centre = rng.uniform(-50.0, 50.0, len(degrees))
    half = rng.uniform(0.1, 10.0, len(degrees))
    X = centre + half * rng.uniform(-1.0, 1.0, (30, len(degrees)))
    T = (X - centre) / half
    coef = to_user_units(beta, powers, Scaling(centre, half, 0.0, 1.0))

    def value(c, Z):
        return sum(ci * np.prod(Z**p, axis=1) for ci, p in zip(c, powers, strict=True))

    np.testing.assert_allclose(value(coef, X), value(beta, T), rtol=1e-9, atol=1e-9)
