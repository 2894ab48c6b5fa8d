"""Covariance, intervals and summary, against statsmodels and closed forms."""

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm
from numpy.polynomial import Polynomial
from scipy.stats import t as student_t
from scipy.stats import truncnorm

import vasq_core as vc
from vasq import RobustPolynomialRegressor
from vasq._scaling import Scaling, to_user_covariance
from vasq._uncertainty import (
    NOISE_CUT,
    NoiseModel,
    huber_covariance,
    noise_covariance,
    truncated_information,
)

C = 4.685


def rlm_fit(y, X, cov="H2"):
    return sm.RLM(y, X, M=sm.robust.norms.TukeyBiweight(C)).fit(cov=cov)


class TestHuberCovariance:
    @pytest.mark.parametrize("design", ["location", "quadratic"])
    def test_constant_scale_equals_rlm_h2(self, design):
        rng = np.random.default_rng(2)
        n = 300
        x = rng.uniform(-1.0, 1.0, n)
        X = np.ones((n, 1)) if design == "location" else np.column_stack([np.ones(n), x, x**2])
        y = 1.0 + x - 2.0 * x**2 + rng.normal(0.0, 0.3, n)
        y[:20] += 5.0
        res = rlm_fit(y, X)
        scale = np.full(n, res.scale)
        cov = huber_covariance(X, res.resid, scale, np.ones(n), np.ones(n, bool), True)
        np.testing.assert_allclose(cov, res.bcov_scaled, rtol=1e-10)

    def test_least_squares_at_local_scales_is_weighted_least_squares(self):
        rng = np.random.default_rng(3)
        x = rng.uniform(0.0, 2.0, 50)
        X = np.column_stack([np.ones_like(x), x])
        s = 0.1 + x
        y = 1.0 + x + rng.normal(0.0, 1.0, 50) * s
        res = sm.WLS(y, X, weights=1.0 / s**2).fit()
        # Only the ratios of the scales matter: their level is estimated from the residuals.
        cov = huber_covariance(X, res.resid, 0.7 * s, np.ones(50), np.ones(50, bool), False)
        np.testing.assert_allclose(cov, res.cov_params(), rtol=1e-10)

    def test_sample_weights_act_as_repeat_counts_and_outliers_drop_out(self):
        rng = np.random.default_rng(4)
        x = rng.uniform(-1.0, 1.0, 40)
        X = np.column_stack([np.ones_like(x), x])
        r = rng.normal(0.0, 1.0, 40)
        r[:3] = 50.0  # rejected: no part in the covariance, nor in n
        s = 0.5 + 0.5 * rng.random(40)
        inlier = np.abs(r) < C * s
        w = rng.integers(0, 3, 40).astype(float)
        rows = np.repeat(np.arange(40), w.astype(int))
        weighted = huber_covariance(X, r, s, w, inlier, True)
        repeated = huber_covariance(
            X[rows], r[rows], s[rows], np.ones(rows.size), inlier[rows], True
        )
        np.testing.assert_allclose(weighted, repeated, rtol=1e-12)
        kept = inlier & (w > 0)
        again = huber_covariance(X[kept], r[kept], s[kept], w[kept], kept[kept], True)
        np.testing.assert_allclose(weighted, again, rtol=1e-12)

    def test_too_few_inliers_give_nan(self):
        X = np.column_stack([np.ones(6), np.arange(6.0)])
        inlier = np.array([True, True, False, False, False, False])
        cov = huber_covariance(X, np.zeros(6), np.ones(6), np.ones(6), inlier, True)
        assert np.isnan(cov).all()


def test_user_units_covariance_is_the_jacobian_sandwich():
    rng = np.random.default_rng(5)
    A = rng.normal(size=(4, 4))
    cov = A @ A.T
    centre, half, y_scale = 7.0, 0.25, 3.0
    # Column j of the change of basis: t**j written in x, with t = (x - centre) / half.
    t = Polynomial([-centre / half, 1.0 / half])
    M = np.column_stack([np.pad((t**j).coef, (0, 3 - j)) for j in range(4)])
    expected = y_scale**2 * M @ cov @ M.T
    scaling = Scaling(np.array([centre]), np.array([half]), 0.0, y_scale)
    got = to_user_covariance(cov, np.arange(4)[:, None], scaling)
    np.testing.assert_allclose(got, expected, rtol=1e-10, atol=1e-12 * np.abs(expected).max())


class TestIntervals:
    def test_least_squares_intervals_equal_statsmodels_ols(self, line_data):
        x, y = line_data()
        y = y + 0.05 * x**2
        model = RobustPolynomialRegressor(2, method="ols").fit(x[:, None], y)
        X = np.column_stack([np.ones_like(x), x, x**2])
        res = sm.OLS(y, X).fit(use_t=True)
        np.testing.assert_allclose(model.coef_cov_, res.cov_params(), rtol=1e-7)
        np.testing.assert_allclose(model.coef_se_, res.bse, rtol=1e-7)
        new = np.array([1.0, 2.0, 5.5, 9.0])
        frame = res.get_prediction(np.column_stack([np.ones(4), new, new**2])).summary_frame(0.1)
        mean, std = model.predict(new[:, None], return_std=True)
        np.testing.assert_allclose(mean, frame["mean"], rtol=1e-9)
        np.testing.assert_allclose(std, frame["mean_se"], rtol=1e-7)
        low, high = model.predict_interval(new[:, None], 0.9)
        np.testing.assert_allclose(low, frame["mean_ci_lower"], rtol=1e-7)
        np.testing.assert_allclose(high, frame["mean_ci_upper"], rtol=1e-7)
        low, high = model.predict_interval(new[:, None], 0.9, kind="prediction")
        np.testing.assert_allclose(low, frame["obs_ci_lower"], rtol=1e-7)
        np.testing.assert_allclose(high, frame["obs_ci_upper"], rtol=1e-7)
        assert model.n_inliers_ == x.size
        assert model.scale_ == pytest.approx(np.sqrt(res.scale), rel=1e-9)

    def test_robust_fit_without_outliers_is_close_to_rlm(self, line_data):
        x, y = line_data(200, seed=6, sd=0.3)
        model = RobustPolynomialRegressor(1, random_state=0).fit(x[:, None], y)
        res = rlm_fit(y, np.column_stack([np.ones_like(x), x]))
        np.testing.assert_allclose(model.coef_, res.params, atol=0.02)
        np.testing.assert_allclose(model.coef_se_, res.bse, rtol=0.1)
        assert model.scale_ == pytest.approx(0.3, rel=0.2)

    def test_outliers_do_not_widen_the_intervals(self, line_data):
        x, y = line_data(100, seed=7)
        clean = RobustPolynomialRegressor(1, random_state=0).fit(x[:, None], y)
        y[::5] += 30.0
        dirty = RobustPolynomialRegressor(1, random_state=0).fit(x[:, None], y)
        assert dirty.n_inliers_ == 80
        # Fewer points: sqrt(100 / 80) wider, up to sampling error.
        ratio = dirty.coef_se_ / clean.coef_se_
        assert np.all((ratio > 0.9) & (ratio < 1.5))

    def test_user_covariance_gives_the_scaled_standard_errors(self):
        rng = np.random.default_rng(8)
        X = rng.uniform(0.0, 10.0, (120, 2)) + [100.0, -5.0]
        y = 1.0 + X[:, 0] - 0.3 * X[:, 1] + 0.02 * X[:, 0] * X[:, 1] + rng.normal(0, 0.2, 120)
        model = RobustPolynomialRegressor(2, random_state=0).fit(X, y)
        new = rng.uniform(0.0, 10.0, (5, 2)) + [100.0, -5.0]
        D = np.column_stack([np.prod(new**p, axis=1) for p in model.powers_])
        by_user = np.sqrt(np.einsum("ij,jk,ik->i", D, model.coef_cov_, D))
        _, std = model.predict(new, return_std=True)
        np.testing.assert_allclose(by_user, std, rtol=1e-5)

    def test_interval_nesting_and_level(self, line_data):
        x, y = line_data()
        model = RobustPolynomialRegressor(1, random_state=0).fit(x[:, None], y)
        grid = np.linspace(2.0, 8.0, 7)[:, None]
        mean = model.predict(grid)
        c_lo, c_hi = model.predict_interval(grid, 0.95)
        p_lo, p_hi = model.predict_interval(grid, 0.95, kind="prediction")
        n_lo, n_hi = model.predict_interval(grid, 0.5)
        assert np.all((p_lo < c_lo) & (c_lo < n_lo) & (n_lo < mean))
        assert np.all((mean < n_hi) & (n_hi < c_hi) & (c_hi < p_hi))
        np.testing.assert_allclose(mean - c_lo, c_hi - mean, rtol=1e-9)

    @pytest.mark.parametrize(
        ("kwargs", "message"),
        [
            (dict(level=1.0), "level must be"),
            (dict(level=-0.1), "level must be"),
            (dict(level="0.9"), "level must be"),
            (dict(kind="credible"), "kind must be one of"),
        ],
    )
    def test_bad_arguments_are_refused(self, kwargs, message, line_data):
        x, y = line_data()
        model = RobustPolynomialRegressor(1, random_state=0).fit(x[:, None], y)
        with pytest.raises(ValueError, match=message):
            model.predict_interval(x[:3, None], **kwargs)


def test_summary_lists_every_term_with_its_test():
    rng = np.random.default_rng(10)
    frame = pd.DataFrame({"time": rng.uniform(0, 5, 150), "dose": rng.uniform(1, 2, 150)})
    y = 2.0 + frame.time - 3.0 * frame.dose + 0.4 * frame.time * frame.dose
    y = y + rng.normal(0.0, 0.05, 150)
    model = RobustPolynomialRegressor("auto", max_degree=2, random_state=0).fit(frame, y)
    text = model.summary()
    # By total degree, features in input order.
    names = ["const", "time", "dose", "time^2", "time*dose", "dose^2"]
    listed = [line.split()[0] for line in text.splitlines() if line.split()
              and line.split()[0] in names]
    assert listed == names
    rows = {line.split()[0]: line.split()[1:] for line in text.splitlines() if line.split()}
    term = {"const": (0, 0), "time": (1, 0), "dose": (0, 1), "time^2": (2, 0),
            "time*dose": (1, 1), "dose^2": (0, 2)}
    where = {tuple(p): i for i, p in enumerate(model.powers_.tolist())}
    dof = model.model_.dof  # the noise scale's: test_model
    assert 0.5 * (model.n_inliers_ - 6) < dof < model.n_inliers_ - 6
    for name in names:
        coef, se = model.coef_[where[term[name]]], model.coef_se_[where[term[name]]]
        value, err, t, p, low, high = (float(v) for v in rows[name])
        assert value == pytest.approx(coef, rel=1e-3, abs=1e-4)
        assert t == pytest.approx(coef / se, rel=1e-3, abs=2e-3)
        assert p == pytest.approx(2.0 * student_t.sf(abs(coef / se), dof), abs=1e-3)
        q = student_t.ppf(0.975, dof)
        assert low == pytest.approx(coef - q * se, rel=1e-3, abs=1e-4)
    assert "Inliers:" in text and str(model.n_inliers_) in text
    assert "H2, local scales" in text
    assert "chosen" in text and "Degree rule: the lowest trimmed BIC" in text


def test_summary_of_least_squares_names_its_covariance_and_small_sample_p_values(line_data):
    """Few points: Student's t p-values differ from the normal ones."""
    x, y = line_data(8, sd=0.5)
    model = RobustPolynomialRegressor(1, method="ols").fit(x[:, None], y)
    text = model.summary()
    assert "classical (WLS)" in text and "H2" not in text
    row = next(line.split() for line in text.splitlines() if line.startswith("x0 "))
    t = model.coef_[1] / model.coef_se_[1]
    assert float(row[4]) == pytest.approx(2.0 * student_t.sf(abs(t), 6), abs=1e-3)


@pytest.mark.parametrize("cut", [0.5, 2.5, 6.0, np.inf])
def test_truncated_information_is_the_variance_of_u_squared(cut):
    """Var(u^2) of a standard normal truncated at +-cut, from scipy's moments."""
    u = truncnorm(-cut, cut)
    assert truncated_information(cut) == pytest.approx(u.moment(4) - u.moment(2) ** 2, rel=1e-9)


@pytest.mark.parametrize(("kind", "robust"), [("constant", False), ("power", False),
                                              ("power", True)])
def test_noise_covariance_is_the_inverse_restricted_information(kind, robust):
    """Against the n x n forms on rows repeated by their sample weights: Harville's
    1/2 tr(P V_k P V_l), P = V^-1 - V^-1 X (X^T V^-1 X)^-1 X^T V^-1, for least squares,
    and I_c sum_ij M_ij^2 J_i J_j^T over the rows within the cut, M = I - H of the
    biweight-weighted fit, for a robust one; 1 / (2 (n - p)) for constant noise."""
    rng = np.random.default_rng(3)
    t = np.linspace(-1.0, 1.0, 12)
    D = np.vander(t, 3, increasing=True)
    mean = 1.5 + t + 0.3 * t**2
    noise = NoiseModel(kind, np.array([0.1, 0.8, 1e-3]) if kind == "power" else
                       np.array([0.1]), 0.1)
    scale = 0.1 * mean**0.8 if kind == "power" else np.full(t.size, 0.1)
    r = rng.normal(0.0, 1.0, t.size) * scale
    r[4] = 3.5 * scale[4]  # beyond the cut: informs the curve only, with a small weight
    v = rng.integers(1, 4, t.size).astype(float)
    got = noise_covariance(noise, D, t[:, None], mean, 0.0, r, scale, v, robust)

    rep = np.repeat(np.arange(t.size), v.astype(int))
    X, s, u = D[rep], scale[rep], (r / scale)[rep]
    J = np.ones((rep.size, 1)) if kind == "constant" else np.column_stack(
        [np.ones(rep.size), np.log(mean[rep])])
    if robust:
        a = vc.biweight(u)[3]
        Z = X * np.sqrt(a)[:, None] / s[:, None]
        M = np.eye(rep.size) - Z @ np.linalg.solve(Z.T @ Z, Z.T)
        R = np.abs(u) <= NOISE_CUT
        info = truncated_information(NOISE_CUT) * J[R].T @ (M[np.ix_(R, R)] ** 2) @ J[R]
    else:
        Vi = np.diag(s**-2.0)
        P = Vi - Vi @ X @ np.linalg.solve(X.T @ Vi @ X, X.T @ Vi)
        dV = [np.diag(2.0 * s**2 * J[:, k]) for k in range(J.shape[1])]
        info = np.array([[0.5 * np.trace(P @ a @ P @ b) for b in dV] for a in dV])
    np.testing.assert_allclose(got, np.linalg.inv(info), rtol=1e-10)
    if kind == "constant":
        assert got[0, 0] == pytest.approx(1.0 / (2.0 * (v.sum() - 3)), rel=1e-12)
