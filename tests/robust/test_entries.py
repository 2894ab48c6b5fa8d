"""The robust fit's building blocks exposed to the Python layer, against NumPy and statsmodels."""

import numpy as np
import pytest
import statsmodels.api as sm

import vasq_core as vc


def products(T, powers):
    """The design by NumPy: column j is the product over k of T[k] ** powers[j][k]."""
    return np.column_stack([np.prod([t**e for t, e in zip(T, p, strict=True)], axis=0) for p in powers])


@pytest.mark.parametrize(
    "powers",
    [[[0], [1], [2], [3]], [[2], [0], [5]], [[0, 0], [1, 0], [0, 1], [2, 1], [0, 3]]],
)
def test_design_matrix_is_the_product_of_powers(powers):
    rng = np.random.default_rng(0)
    T = [rng.uniform(-1.0, 1.0, 40) for _ in powers[0]]
    np.testing.assert_allclose(vc.design_matrix(T, powers), products(T, powers), rtol=1e-14)


@pytest.mark.parametrize(
    ("T", "powers", "message"),
    [
        ([np.ones(3), np.ones(4)], [[0, 1]], "Dimension mismatch."),
        ([np.ones(3)], [[0, 1]], "Dimension mismatch."),
        ([np.ones(3)], [], "Dimension mismatch."),
        ([], [[]], "Dimension mismatch."),
        ([np.array([1.0, np.nan, 2.0])], [[1]], "Non-finite input."),
        ([np.array([0.5, 1.0])], [[0], [-1]], "exponents must be >= 0"),
        ([np.array([10.0, 1.0])], [[0], [400]], "the design overflows"),
        ([np.array([1e200, 1.0]), np.ones(2)], [[1, 0], [1, 1], [2, 0]], "the design overflows"),
    ],
)
def test_design_matrix_refuses_what_robust_fit_refuses(T, powers, message):
    with pytest.raises(ValueError, match=message):
        vc.design_matrix(T, powers)
    n = len(T[0]) if T else 3
    with pytest.raises(ValueError, match=message):
        vc.robust_fit(T, powers, np.ones(n), np.ones(n))


def test_biweight_is_tukeys_with_c_4685():
    norm = sm.robust.norms.TukeyBiweight(c=4.685)
    u = np.concatenate([np.linspace(-7.0, 7.0, 281), [4.685, -4.685, 4.6849999, 1e6, -1e50]])
    rho, psi, psi_prime, weight = vc.biweight(u)
    np.testing.assert_allclose(rho, norm.rho(u), rtol=1e-13, atol=1e-15)
    np.testing.assert_allclose(psi, norm.psi(u), rtol=1e-13, atol=1e-15)
    np.testing.assert_allclose(psi_prime, norm.psi_deriv(u), rtol=1e-12, atol=1e-13)
    np.testing.assert_allclose(weight, norm.weights(u), rtol=1e-13, atol=1e-15)
    assert all(a.dtype == np.float64 and a.shape == u.shape for a in (rho, psi, psi_prime, weight))
    # Beyond c only rho is left, at c^2 / 6, however far (statsmodels overflows there).
    far = vc.biweight([1e300, -1.7e308])
    np.testing.assert_array_equal(far, [[4.685**2 / 6] * 2, [0.0] * 2, [0.0] * 2, [0.0] * 2])
    # Near zero rho is u^2 / 2 to the last digit, where 1 - (1 - a)^3 would cancel to zero.
    tiny = np.array([1e-5, 1e-10, 1e-150, 5e-324])
    np.testing.assert_allclose(vc.biweight(tiny)[0], tiny**2 / 2, rtol=1e-9)
    with pytest.raises(ValueError, match="Non-finite input."):
        vc.biweight([0.0, np.inf])


def test_robust_fit_weights_are_the_biweight_weights():
    rng = np.random.default_rng(1)
    x = rng.uniform(-1.0, 1.0, 200)
    y = 1.0 - x + rng.normal(0.0, 0.1, x.size)
    y[:30] += 3.0
    fit = vc.robust_fit([x], [[0], [1]], y, np.ones(x.size))
    np.testing.assert_array_equal(fit["weights"], vc.biweight(fit["residuals"] / fit["scale"])[3])


def numpy_leverage(X, w):
    q = np.linalg.qr(X * np.sqrt(w)[:, None])[0]
    return np.sum(q * q, axis=1)


@pytest.mark.parametrize(
    ("n", "exponent"), [(60, 0), (140_000, 0), *((60, e) for e in [-1060, -1030, -1000, 1000, 1023])]
)
def test_weighted_leverage_is_the_hat_diagonal_of_the_weighted_rows(n, exponent):
    """Beyond 65536 rows the rows are reduced in parts, then the parts' triangles together;
    the second part here has no weight at all. Weights scaled by 2^exponent, subnormal or in
    the top binade, give the hat matrix of the weights they represent: the scaling back to 1
    must neither round nor overflow."""
    rng = np.random.default_rng(2)
    X = np.vander(rng.uniform(-1.0, 1.0, n), 4, increasing=True)
    w = rng.uniform(0.0, 3.0, n) if exponent == 0 else rng.uniform(1.0, 2.0, n)
    w[:5] = 0.0
    w[65536:131072] = 0.0
    scaled = np.ldexp(w, exponent)
    h = vc.weighted_leverage(X, scaled)
    np.testing.assert_allclose(h, numpy_leverage(X, np.ldexp(scaled, -exponent)), rtol=1e-10, atol=1e-14)
    np.testing.assert_array_equal(h[:5], 0.0)
    if exponent == 0:
        # The hat matrix is the same for a column scaled by 1e200 and for all weights by 1e300.
        huge = X * np.array([1.0, 1e200, 1e-200, 1.0])
        np.testing.assert_allclose(vc.weighted_leverage(huge, w * 1e300), h, rtol=1e-10, atol=1e-14)


@pytest.mark.parametrize("seed", range(20))
def test_weighted_leverage_stays_within_zero_and_one_where_it_is_one(seed):
    """Square and nearly collinear designs: every leverage is 1, and rounding must not
    carry it beyond."""
    rng = np.random.default_rng(seed)
    p = int(rng.integers(2, 6))
    X = np.vander(1.0 + 0.3 * rng.uniform(-1.0, 1.0, p), p, increasing=True)
    h = vc.weighted_leverage(X, rng.uniform(0.5, 2.0, p))
    assert np.all((h >= 0.0) & (h <= 1.0))
    np.testing.assert_allclose(h, 1.0, atol=1e-5)


@pytest.mark.parametrize(
    ("X", "w", "message"),
    [
        (np.ones((3, 2)), np.ones(2), "Dimension mismatch."),
        (np.array([[1.0, np.nan]]), np.ones(1), "Non-finite input."),
        (np.ones((2, 2)), np.array([1.0, np.inf]), "Non-finite input."),
        (np.ones((2, 2)), np.array([1.0, -1e-300]), "weights must be >= 0"),
    ],
)
def test_weighted_leverage_refuses_bad_input(X, w, message):
    with pytest.raises(ValueError, match=message):
        vc.weighted_leverage(X, w)
