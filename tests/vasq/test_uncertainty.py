"""Covariance in the user's units, intervals and summary, against statsmodels and closed forms.

The fit's covariances themselves are the core's: tests/uncertainty.
"""

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm
from scipy.stats import t as student_t

from vasq import RobustPolynomialRegressor

C = 4.685


def rlm_fit(y, X, cov="H2"):
    return sm.RLM(y, X, M=sm.robust.norms.TukeyBiweight(C)).fit(cov=cov)


class TestIntervals:
    @pytest.mark.parametrize(("var_weights", "sample_weight"),
                             [(False, False), (True, False), (True, True)])
    def test_least_squares_equal_statsmodels_wls(self, line_data, var_weights, sample_weight):
        """1/x^2 var_weights, and a new reading's as get_prediction's weights; integer
        sample weights as repeated rows on statsmodels' side."""
        x, y = line_data()
        y = y + 0.05 * x**2
        v = x**-2.0 if var_weights else np.ones_like(x)
        w = np.random.default_rng(0).integers(1, 4, x.size) if sample_weight else np.ones(60, int)
        model = RobustPolynomialRegressor(2, method="ols").fit(
            x[:, None], y, sample_weight=w * 1.0 if sample_weight else None,
            var_weights=v if var_weights else None)
        X = np.vander(np.repeat(x, w), 3, increasing=True)
        res = sm.WLS(np.repeat(y, w), X, weights=np.repeat(v, w)).fit(use_t=True)
        np.testing.assert_allclose(model.coef_, res.params, rtol=1e-9)
        np.testing.assert_allclose(model.coef_cov_, res.cov_params(), rtol=1e-7)
        np.testing.assert_allclose(model.coef_se_, res.bse, rtol=1e-7)
        assert model.model_.dof == res.df_resid and model.n_inliers_ == x.size
        new = np.array([1.0, 2.0, 5.5, 9.0])
        new_v = new**-2.0 if var_weights else None
        frame = res.get_prediction(np.vander(new, 3, increasing=True),
                                   weights=np.ones(4) if new_v is None else new_v)
        frame = frame.summary_frame(0.1)
        mean, std = model.predict(new[:, None], return_std=True)
        np.testing.assert_allclose(mean, frame["mean"], rtol=1e-9)
        np.testing.assert_allclose(std, frame["mean_se"], rtol=1e-7)
        for kind, name in (("confidence", "mean"), ("prediction", "obs")):
            extra = {} if kind == "confidence" else {"var_weights": new_v}
            np.testing.assert_allclose(model.predict_interval(new[:, None], 0.9, kind, **extra),
                                       frame[[f"{name}_ci_lower", f"{name}_ci_upper"]].T,
                                       rtol=1e-7)
        if not var_weights:
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
