"""The estimator's bases: terms, their count, their penalties and the change of units."""

import math
import re
import sys
from fractions import Fraction

import numpy as np
import pytest
from numpy.polynomial import polynomial as P

from vasq import _basis
from vasq._scaling import Scaling, to_user_covariance, to_user_units


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


def binomial_expansion(beta, powers, scaling):
    """The raw-x coefficients in Fractions: each term's product of binomials multiplied out."""
    d = powers.shape[1]
    total = dict.fromkeys(map(tuple, powers.tolist()), Fraction(0))
    for b, p in zip(beta.tolist(), powers.tolist(), strict=True):
        poly = {(): Fraction(scaling.y_scale) * Fraction(b)}
        for k, e in enumerate(p):
            c, h = Fraction(scaling.centre[k]), Fraction(scaling.half[k])
            poly = {key + (j,): v * math.comb(e, j) * (-c) ** (e - j) / h**e
                    for key, v in poly.items() for j in range(e + 1)}
        for key, v in poly.items():
            total[key] += v
    total[(0,) * d] += Fraction(scaling.y_loc)
    return list(total.items())


def double_or_none(value):
    """float(value), correctly rounded, or None where it over- or underflows."""
    try:
        result = float(value)
    except OverflowError:
        return None
    inexact_subnormal = value and abs(result) < sys.float_info.min and Fraction(result) != value
    return None if math.isinf(result) or inexact_subnormal else result


def random_scaling(rng, n_features, regime):
    """Centre, half width, y_loc and y_scale of one `regime` of magnitudes."""
    sign = rng.choice([-1.0, 1.0], n_features)
    centre, half = rng.uniform(-3.0, 3.0, n_features), 10.0 ** rng.uniform(-1.0, 1.0, n_features)
    y_scale = 10.0 ** rng.uniform(-5.0, 5.0)
    if regime == "far":  # x far from zero in a narrow range: huge cancelling parts
        centre = sign * 10.0 ** rng.uniform(3.0, 12.0, n_features)
        half = np.abs(centre) * 10.0 ** rng.uniform(-6.0, -1.0, n_features)
    elif regime in ("x top", "x bottom"):
        centre = sign * 10.0 ** rng.uniform(300.0, 307.0, n_features)
        if regime == "x bottom":
            centre = sign * 10.0 ** rng.uniform(-318.0, -300.0, n_features)
            y_scale *= 1e-310
        half = np.abs(centre) * 10.0 ** rng.uniform(-2.0, 0.0, n_features)
    elif regime == "y top":
        y_scale = 10.0 ** rng.uniform(300.0, 306.0)
    elif regime == "y bottom":
        y_scale = 10.0 ** rng.uniform(-322.0, -300.0)
    return Scaling(centre, half, float(y_scale * rng.uniform(-1.0, 1.0)), float(y_scale))


@pytest.mark.parametrize("regime", ["ordinary", "far", "x top", "x bottom", "y top", "y bottom"])
@pytest.mark.parametrize("degrees", [(0,), (1,), (6,), (2, 3), (3, 1, 2)])
def test_change_of_units_is_the_exact_expansion_rounded_once(regime, degrees):
    """Every coefficient is the double nearest the exact one, or the first out of range raises."""
    rng = np.random.default_rng([len(degrees), max(degrees), len(regime)])
    powers = _basis.monomial_powers(degrees)
    for _ in range(20):
        scaling = random_scaling(rng, len(degrees), regime)
        beta = rng.normal(0.0, 1.0, len(powers)) * 10.0 ** rng.uniform(-3.0, 3.0, len(powers))
        beta[rng.random(len(powers)) < 0.2] = 0.0
        expected = [(term, double_or_none(v)) for term, v in binomial_expansion(beta, powers, scaling)]
        beyond = [term for term, v in expected if v is None]
        if beyond:
            name = "*".join(f"x{k}" if e == 1 else f"x{k}^{e}" for k, e in enumerate(beyond[0]) if e)
            with pytest.raises(ValueError, match=rf"the coefficient of {re.escape(name or '1')} in"):
                to_user_units(beta, powers, scaling)
        else:
            got = to_user_units(beta, powers, scaling)
            assert got.tobytes() == np.array([v for _, v in expected]).tobytes()


@pytest.mark.parametrize("degrees", [(4,), (2, 2)])
def test_user_covariance_maps_each_column_and_row_exactly(degrees):
    """y_scale^2 M cov M^T, each pass through M the exact expansion rounded once, then
    multiplied by y_scale twice."""
    rng = np.random.default_rng(len(degrees))
    powers = _basis.monomial_powers(degrees)
    d = len(degrees)
    scaling = Scaling(rng.uniform(1e3, 1e4, d), rng.uniform(0.5, 5.0, d), 0.3, 2.5)
    unit = Scaling(scaling.centre, scaling.half, 0.0, 1.0)
    A = rng.normal(size=(len(powers), len(powers)))
    cov = A @ A.T

    def mapped(v):
        return [float(x) for _, x in binomial_expansion(v, powers, unit)]

    half_way = np.column_stack([mapped(c) for c in cov.T])
    result = np.column_stack([mapped(r) for r in half_way]) * scaling.y_scale * scaling.y_scale
    expected = 0.5 * (result + result.T)
    assert to_user_covariance(cov, powers, scaling).tobytes() == expected.tobytes()
