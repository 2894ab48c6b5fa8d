"""RobustPolynomialRegressor: coefficients, robustness, units, degree choice and scores."""

import math
import os
import subprocess
import sys
import threading

import numpy as np
import pytest
from numpy.polynomial import polynomial as P
from scipy import stats

from vasq import RobustPolynomialRegressor
from vasq._fit import INT32_MAX, core_seed


def evaluate(coef, powers, X):
    """The model written out term by term in the user's units."""
    return sum(c * np.prod(X**p, axis=1) for c, p in zip(coef, powers, strict=True))


@pytest.mark.parametrize("degree", [0, 1, 2, 4])
@pytest.mark.parametrize(("shift", "scale"), [(0.0, 1.0), (1000.0, 1.0), (-7.5, 1e-3)])
@pytest.mark.parametrize("method", ["robust", "ols", "penalized"])
def test_exact_polynomial_is_recovered_in_user_units(degree, shift, scale, method):
    rng = np.random.default_rng(degree)
    beta = rng.normal(0.0, 1.0, degree + 1)
    t = np.linspace(-1.0, 1.0, 40)
    x = shift + scale * t
    y = P.polyval(t, beta)  # a polynomial in t is one in x: compare through numpy's composition
    expected = np.polynomial.Polynomial(beta)(np.polynomial.Polynomial([-shift / scale, 1 / scale]))
    expected = np.pad(expected.coef, (0, degree + 1 - expected.coef.size))
    model = RobustPolynomialRegressor(degree, method=method, gamma2=0.0, random_state=0)
    model.fit(x[:, None], y)
    assert model.degree_ == degree
    np.testing.assert_array_equal(model.powers_, np.arange(degree + 1)[:, None])
    np.testing.assert_allclose(model.coef_, expected, rtol=1e-6, atol=1e-9 * np.abs(expected).max())
    np.testing.assert_allclose(model.predict(x[:, None]), y, atol=1e-9)
    assert model.inlier_mask_.all()


@pytest.mark.parametrize(
    ("degrees", "n_features"), [(2, 2), ((2, 1), 2), ((1, 3), 2), (2, 3), ((1, 2, 1), 3)]
)
def test_several_features_give_the_polynomial_of_that_total_degree(degrees, n_features):
    rng = np.random.default_rng(n_features)
    X = rng.uniform(-2.0, 3.0, (80, n_features)) + np.arange(n_features) * 100.0
    caps = (degrees,) * n_features if isinstance(degrees, int) else degrees
    total = max(caps)
    # Every exponent vector with e_k <= cap_k and sum <= max cap, generated independently.
    grid = np.indices([c + 1 for c in caps]).reshape(n_features, -1).T
    powers = grid[grid.sum(axis=1) <= total]
    coef = rng.normal(0.0, 1.0, len(powers))
    y = evaluate(coef, powers, X)
    model = RobustPolynomialRegressor(degrees, random_state=1).fit(X, y)
    assert model.degree_ == tuple(caps)
    assert sorted(map(tuple, model.powers_)) == sorted(map(tuple, powers))
    np.testing.assert_array_equal(model.powers_[0], 0)
    np.testing.assert_allclose(evaluate(model.coef_, model.powers_, X), y, rtol=1e-7, atol=1e-7)
    np.testing.assert_allclose(model.predict(X), y, rtol=1e-9, atol=1e-9)


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("two_sided", [False, True])
def test_gross_outliers_are_rejected_and_do_not_pull_the_fit(seed, two_sided, cubic_with_outliers):
    X, y, beta, out = cubic_with_outliers(seed, two_sided=two_sided)
    model = RobustPolynomialRegressor(3, random_state=seed).fit(X, y)
    clean = P.polyfit(X[~out, 0], y[~out], 3)  # least squares knowing the outliers
    np.testing.assert_allclose(model.coef_, clean, atol=0.01)
    np.testing.assert_array_equal(model.inlier_mask_[out], False)
    assert model.inlier_mask_[~out].mean() > 0.97


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("true_degree", [1, 2, 3, 4])
def test_auto_degree_finds_the_generating_degree(seed, true_degree):
    rng = np.random.default_rng(10 * seed + true_degree)
    x = rng.uniform(0.0, 10.0, 300)
    roots = np.linspace(1.0, 9.0, true_degree)
    y = P.polyfromroots(roots)
    y = P.polyval(x, y) / np.abs(P.polyval(x, y)).max() * 10.0
    y += rng.normal(0.0, 0.2, x.size)
    out = rng.random(x.size) < 0.15
    y[out] += rng.uniform(5.0, 30.0, out.sum())
    model = RobustPolynomialRegressor(random_state=seed).fit(x[:, None], y)
    assert model.degree_ == true_degree
    # Every degree from the constant to max_degree is scored.
    assert sorted(model.bic_scores_) == list(range(7))
    assert model.bic_score_ == model.bic_scores_[model.degree_]


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("method", ["robust", "ols", "penalized"])
def test_units_change_predictions_accordingly_and_nothing_else(seed, method, cubic_with_outliers):
    """Scaling y, or scaling and shifting X; shifting y moves the zero signal that noise
    models of the mean measure from, so that holds at constant noise."""
    X, y, _, _ = cubic_with_outliers(seed)
    kw = dict(method=method, random_state=seed)
    base = RobustPolynomialRegressor(**kw).fit(X, y)
    scaled = RobustPolynomialRegressor(**kw).fit(X, 1000.0 * y)
    shifted = RobustPolynomialRegressor(**kw).fit(2.0 * X + 1000.0, y)
    constant = RobustPolynomialRegressor(noise="constant", **kw).fit(X, y)
    moved = RobustPolynomialRegressor(noise="constant", **kw).fit(X, 1000.0 * y - 3e4)
    grid = np.linspace(-3.0, 5.0, 50)[:, None]
    for model, reference in ((scaled, base), (shifted, base), (moved, constant)):
        assert model.degree_ == reference.degree_
        np.testing.assert_array_equal(model.inlier_mask_, reference.inlier_mask_)
    np.testing.assert_allclose(scaled.predict(grid) / 1000.0, base.predict(grid), atol=1e-8)
    np.testing.assert_allclose((moved.predict(grid) + 3e4) / 1000.0, constant.predict(grid),
                               atol=1e-8)
    np.testing.assert_allclose(shifted.predict(2.0 * grid + 1000.0), base.predict(grid), atol=1e-8)
    # A candidate's discrete choices (its noise model, its trimmed points) can flip on the
    # rounding of 1000 y; the chosen one's score may not.
    assert scaled.bic_score_ == pytest.approx(base.bic_score_, rel=1e-7)


def test_a_random_state_fits_as_the_integer_seed_it_was_made_with(cubic_with_outliers):
    X, y, _, _ = cubic_with_outliers(0)
    a = RobustPolynomialRegressor(random_state=5).fit(X, y)
    c = RobustPolynomialRegressor(random_state=np.random.RandomState(5)).fit(X, y)
    np.testing.assert_array_equal(c.coef_, a.coef_)
    assert c.bic_scores_ == a.bic_scores_


@pytest.mark.parametrize("seed", [0, 1, 5, 2**31, 2**32 - 1, np.int64(7), np.uint32(9), True])
def test_an_integer_seed_draws_what_a_new_generator_of_it_draws(seed):
    """On a thread's reseeded generator, after other seeds and on another thread alike."""
    expected = int(np.random.RandomState(seed).randint(INT32_MAX))
    drawn = [core_seed(12345), core_seed(seed), core_seed(seed)]
    other = []
    thread = threading.Thread(target=lambda: other.append(core_seed(seed)))
    thread.start()
    thread.join()
    assert drawn[1:] + other == [expected] * 3


def test_degree_scores_are_the_trimmed_bic_of_leave_one_out_residuals(cubic_with_outliers):
    """h log(T / (h c(h / N))) + h mean(log v) + k log n on the h best-fitting standardised
    residuals (c the variance of the central share h / N of a normal, N the inliers, k the
    terms and noise parameters beyond the scale),
    plus W (1 - D / V)^2 of the inliers' residuals in x order when positive. The chosen
    degree keeps constant noise, so every candidate is scored under constant noise."""
    X, y, _, _ = cubic_with_outliers(1)
    model = RobustPolynomialRegressor(random_state=0).fit(X, y)
    assert model.model_.noise.kind == "constant"
    h = (y.size + 7 + 1) // 2  # the largest candidate, degree 6, has 7 terms
    assert list(model.bic_scores_) == list(range(7))
    expected = {}
    for degree in model.bic_scores_:
        f = RobustPolynomialRegressor(degree, noise="constant", random_state=0).fit(X, y)
        sd = f.model_.noise_scale(X)
        # The weighted least squares the biweight refinement ends on: rows weighted by
        # their biweight weight over sd^2. Its hat matrix does not depend on the basis:
        # raw powers of x, in the user's units.
        u = (y - f.predict(X)) / sd
        robustness = np.where(np.abs(u) < 4.685, (1 - (u / 4.685) ** 2) ** 2, 0.0)
        A = np.vander(X[:, 0], degree + 1) * (np.sqrt(robustness) / sd)[:, None]
        lev = np.minimum(np.sum(np.linalg.qr(A)[0] ** 2, axis=1), 0.99)
        # In the scaled units of y the criterion works in; v the noise model's shape.
        e = (y - f.predict(X)) / (1 - lev) / model.model_.scaling.y_scale
        v = (sd / f.scale_) ** 2
        best = np.argsort(e * e / v)[:h]
        T = np.sum(e[best] ** 2 / v[best])
        # h of the candidate's inliers are a central share a of a normal sample, of variance
        # 1 - 2 q phi(q) / a within its quantiles +-q.
        share = min(1.0, h / np.count_nonzero(robustness))
        q = stats.norm.ppf(0.5 + 0.5 * share)
        central = 1.0 - 2.0 * q * stats.norm.pdf(q) / share if share < 1.0 else 1.0
        # Parameters: the terms, and a power or two-component model's exponent or ratio.
        k = degree + 1 + (f.model_.noise.kind != "constant")
        trimmed = h * math.log(T / (h * central)) + h * np.mean(np.log(v)) + k * math.log(y.size)
        inliers = np.argsort(X[:, 0])[f.inlier_mask_[np.argsort(X[:, 0])]]
        u = (y - f.predict(X))[inliers] / sd[inliers]
        ratio = np.sum(np.diff(u) ** 2) / (2 * (u.size - 1)) / np.mean(u * u)
        expected[degree] = trimmed + u.size * max(0.0, 1.0 - ratio) ** 2
    assert model.bic_scores_ == pytest.approx(expected, rel=1e-6, abs=1e-6)
    # The lowest degree within 2 of the lowest score.
    lowest = min(expected.values())
    assert model.degree_ == min(d for d in expected if expected[d] <= lowest + 2.0) == 3


def test_penalised_fit_is_smoother_than_least_squares(cubic_with_outliers):
    X, y, _, _ = cubic_with_outliers(2, share=0.0, sd=1.0)
    ols = RobustPolynomialRegressor(6, method="ols").fit(X, y)
    pen = RobustPolynomialRegressor(6, method="penalized", gamma2=1e-2).fit(X, y)
    grid = np.linspace(-3.0, 5.0, 400)
    bumps = [np.sum(np.diff(m.polynomial_(grid), 2) ** 2) for m in (ols, pen)]
    assert bumps[1] < bumps[0]
    # penalised least squares with the weights set to zero is least squares
    zero = RobustPolynomialRegressor(6, method="penalized", gamma1=0.0, gamma2=0.0).fit(X, y)
    np.testing.assert_allclose(zero.coef_, P.polyfit(X[:, 0], y, 6), rtol=1e-6)


@pytest.mark.parametrize("seed", range(4))
def test_the_majority_line_wins_over_a_competing_minority(seed):
    """40 % of the points lie on another line; least squares would land in between."""
    rng = np.random.default_rng(seed)
    x = rng.uniform(0.0, 10.0, 200)
    y = 2.0 * x + rng.normal(0.0, 0.3, x.size)
    other = rng.random(x.size) < 0.4
    y[other] = 20.0 - 1.5 * x[other] + rng.normal(0.0, 0.3, other.sum())
    model = RobustPolynomialRegressor(1, random_state=seed).fit(x[:, None], y)
    majority = np.polynomial.polynomial.polyfit(x[~other], y[~other], 1)
    np.testing.assert_allclose(model.coef_, majority, atol=0.05)
    far = other & (np.abs(y - 2.0 * x) > 3.0)  # those near the crossing may count as inliers
    assert far.sum() > 50 and not model.inlier_mask_[far].any()


def test_sample_weight_zero_is_absence_and_integer_is_repetition(cubic_with_outliers):
    X, y, _, _ = cubic_with_outliers(3, n=150)
    w = np.random.default_rng(0).integers(0, 3, y.size)
    kept = w > 0
    weighted = RobustPolynomialRegressor(random_state=0).fit(X, y, sample_weight=kept * 1.0)
    dropped = RobustPolynomialRegressor(random_state=0).fit(X[kept], y[kept])
    np.testing.assert_array_equal(weighted.coef_, dropped.coef_)
    assert weighted.bic_scores_ == pytest.approx(dropped.bic_scores_, rel=1e-12)
    np.testing.assert_array_equal(weighted.inlier_mask_[kept], dropped.inlier_mask_)
    weighted = RobustPolynomialRegressor(random_state=0).fit(X, y, sample_weight=w)
    repeated = RobustPolynomialRegressor(random_state=0).fit(X.repeat(w, 0), y.repeat(w))
    assert weighted.degree_ == repeated.degree_
    # Other random subsets: the same fit up to a small fraction of the noise (sd 0.05).
    np.testing.assert_allclose(weighted.coef_, repeated.coef_, rtol=0, atol=1e-4)


@pytest.mark.parametrize("far", [1e3, 1e300])
def test_a_row_of_zero_weight_far_out_takes_no_part(far):
    """Its x once scaled the core's columns, so that the others' fell to zero: y = 1 + 2x
    came back as the constant 2."""
    x = np.r_[np.linspace(0.0, 1.0, 30), far]
    y = np.r_[1.0 + 2.0 * x[:-1], 0.0]
    w = np.r_[np.ones(30), 0.0]
    model = RobustPolynomialRegressor(1, random_state=0).fit(x[:, None], y, sample_weight=w)
    np.testing.assert_allclose(model.coef_, [1.0, 2.0], rtol=1e-12)
    assert np.isfinite(model.coef_se_).all() and not model.inlier_mask_[-1]


@pytest.mark.parametrize(
    ("weight", "refused"),
    [(1e-3, True), (0.0625, True), (0.125, False), (1.0, False), (1e30, False), (1e307, True)],
    ids=["1e-3", "below", "above", "ones", "huge", "overflowing"],
)
def test_a_total_weight_too_small_for_the_model_is_refused(quadratic, weight, refused):
    """60 points of degree 2 (3 terms): a total weight of 6 is the least the fit takes."""
    X, y = quadratic()
    w = np.full(y.size, weight)
    model = RobustPolynomialRegressor(2, random_state=0)
    if refused:
        message = (r"sample_weight sums to more than the double range" if weight > 1 else
                   r"sample_weight sums to \S+, too little for degree 2: its 3 terms need a "
                   r"total weight of at least 6\. Weights are frequencies .* pass relative "
                   r"precisions as var_weights")
        with pytest.raises(ValueError, match=message):
            model.fit(X, y, sample_weight=w)
        return
    model.fit(X, y, sample_weight=w)
    assert model.degree_ == 2
    np.testing.assert_allclose(model.coef_, [2.0, -1.0, 0.5], atol=0.1)
    se = model.coef_se_
    assert np.all((se > 0.0) & np.isfinite(se))
    assert "Inliers:" in model.summary()


def test_concurrent_fits_of_one_estimator_leave_one_whole_fit(cubic_with_outliers):
    """8 threads fit one object on different data, 100 times: it holds one whole fit."""
    data = [cubic_with_outliers(seed, n=30)[:2] for seed in range(8)]
    alone = [RobustPolynomialRegressor(2, random_state=0).fit(X, y) for X, y in data]

    def fields(m):
        return [np.asarray(v).tobytes() for v in (
            m.coef_, m.coef_se_, m.inlier_mask_, m.weights_, m.scale_, m.n_features_in_)]

    expected = [fields(m) for m in alone]
    shared = RobustPolynomialRegressor(2, random_state=0)
    for _ in range(100):
        start = threading.Barrier(len(data))

        def fit(X, y):
            start.wait()
            shared.fit(X, y)

        threads = [threading.Thread(target=fit, args=d) for d in data]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert fields(shared) in expected


BLAS_THREADS_FIT = """
import numpy as np
from vasq import RobustPolynomialRegressor
for seed in range(5):
    rng = np.random.default_rng(seed)
    x = rng.uniform(0.0, 10.0, 100000)
    y = 2.0 + 0.5 * x + rng.normal(0.0, 0.1, x.size)
    w, v = rng.integers(0, 4, x.size).astype(float), rng.uniform(0.3, 3.0, x.size)
    model = RobustPolynomialRegressor(1, method="ols").fit(x[:, None], y, sample_weight=w,
                                                           var_weights=v).model_
    print(model.beta.tobytes().hex(), model.unit_var_weight.hex())
"""


def test_a_fit_is_the_same_bits_whatever_the_blas_threads():
    """NumPy's BLAS splits a long dot product among its threads: the var_weights' mean, read
    from one, moved every result of a fit by rounding with the thread count."""
    out = []
    for threads in ("1", "2"):
        env = {**os.environ, "OPENBLAS_NUM_THREADS": threads, "OMP_NUM_THREADS": threads}
        run = subprocess.run([sys.executable, "-c", BLAS_THREADS_FIT], env=env,
                             capture_output=True, text=True, check=True, timeout=120)
        out.append(run.stdout)
    assert out[0] == out[1]
