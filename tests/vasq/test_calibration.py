"""Calibration: inverse prediction, lack of fit and detection limits, against closed forms,
statsmodels and the certified values of NIST's Pontius load-cell data."""

from pathlib import Path

import numpy as np
import pandas as pd
import pytest
import statsmodels.formula.api as smf
from scipy.stats import f as fisher_f
from scipy.stats import t as student_t
from statsmodels.stats.anova import anova_lm

from vasq import InversePredictionWarning, LackOfFit, RobustPolynomialRegressor

PONTIUS = Path(__file__).parent / "data" / "pontius.csv"
# Certified estimates and standard deviations of B0, B1, B2 (NIST StRD, in the data file).
PONTIUS_COEF = np.array([0.673565789473684e-03, 0.732059160401003e-06, -0.316081871345029e-14])
PONTIUS_SE = np.array([0.107938612033077e-03, 0.157817399981659e-09, 0.486652849992036e-16])


@pytest.fixture(scope="module")
def pontius():
    data = np.loadtxt(PONTIUS, delimiter=",", skiprows=8)
    return data[:, 0], data[:, 1]


def replicated_line(m=4, levels=(1.0, 2.0, 4.0, 6.0, 8.0, 10.0), sd=0.2, seed=0, slope=0.5):
    """y = 1 + slope x + N(0, sd), m readings at each level."""
    rng = np.random.default_rng(seed)
    x = np.repeat(np.asarray(levels), m)
    return x, 1.0 + slope * x + rng.normal(0.0, sd, x.size)


def roots(a, b, c):
    """The real roots of a x^2 + b x + c, in increasing order."""
    d = np.sqrt(b * b - 4.0 * a * c)
    return np.sort([(-b - d) / (2.0 * a), (-b + d) / (2.0 * a)])


def fieller(model, y0, level, m, dof):
    """Ends of {x : (y0 - a - b x)^2 <= t^2 (x^T C x + s^2 / m)} for a line: a quadratic in x."""
    (a, b), C = model.coef_, model.coef_cov_
    s2 = model.model_.noise_scale([[0.0]])[0] ** 2
    t2 = student_t.ppf(0.5 + 0.5 * level, dof) ** 2
    e = y0 - a
    return roots(b * b - t2 * C[1, 1], -2.0 * (b * e + t2 * C[0, 1]),
                 e * e - t2 * (C[0, 0] + s2 / m))


class TestInversePredict:
    @pytest.mark.parametrize("m", [1, 3])
    def test_line_with_constant_noise_gives_fiellers_interval(self, m):
        x, y = replicated_line()
        model = RobustPolynomialRegressor(1, method="ols").fit(x[:, None], y)
        targets = np.array([2.0, 3.5, 5.0])
        found, low, high = model.inverse_predict(targets, level=0.9, n_replicates=m)
        for i, y0 in enumerate(targets):
            np.testing.assert_allclose([low[i], high[i]], fieller(model, y0, 0.9, m, x.size - 2),
                                       rtol=1e-9)
        if m > 1:  # the mean of m readings is known better than one reading
            _, low1, high1 = model.inverse_predict(targets, level=0.9)
            assert np.all(high - low < high1 - low1)

    def test_straight_line_root_and_band_ends(self, line_data):
        x, y = line_data(80)
        model = RobustPolynomialRegressor(1, random_state=0).fit(x[:, None], y)
        a, b = model.coef_
        targets = np.array([3.0, 4.0, 4.5])
        found, low, high = model.inverse_predict(targets, level=0.9)
        np.testing.assert_allclose(found, (targets - a) / b, rtol=1e-10)
        # The ends are where the prediction band meets y: upper at the lower end, and so on.
        upper_at_low = model.predict_interval(low[:, None], 0.9, kind="prediction")[1]
        lower_at_high = model.predict_interval(high[:, None], 0.9, kind="prediction")[0]
        np.testing.assert_allclose(upper_at_low, targets, rtol=1e-9)
        np.testing.assert_allclose(lower_at_high, targets, rtol=1e-9)
        assert np.all((low < found) & (found < high))

    def test_quadratic_root_on_its_monotone_branch(self):
        rng = np.random.default_rng(9)
        x = rng.uniform(0.0, 10.0, 100)
        y = 10.0 - (x - 3.0) ** 2 + rng.normal(0.0, 0.1, 100)  # peak inside the range
        model = RobustPolynomialRegressor(2, random_state=0).fit(x[:, None], y)
        c, b, a = model.coef_
        target = -20.0  # reached only right of the peak within [0, 10]
        expected = (-b - np.sqrt(b * b - 4.0 * a * (c - target))) / (2.0 * a)
        found, low, high = model.inverse_predict([target])
        np.testing.assert_allclose(found, [expected], rtol=1e-10)
        assert low[0] < expected < high[0]
        several = "1 of 2 values of y are met at several x"
        with pytest.warns(InversePredictionWarning, match=several):
            found, low, high = model.inverse_predict([5.0, target])
        assert np.isnan([found[0], low[0], high[0]]).all()
        np.testing.assert_allclose(found[1], expected, rtol=1e-10)

    def test_out_of_range_and_open_intervals_give_nan_with_a_warning(self, line_data):
        x, y = line_data(60)
        model = RobustPolynomialRegressor(1, random_state=0).fit(x[:, None], y)
        top = model.predict([[x.max()]])[0]
        with pytest.warns(InversePredictionWarning, match="2 of 3 values of y lie outside"):
            found, low, high = model.inverse_predict([top + 1.0, 4.0, -100.0])
        assert np.isnan(found[[0, 2]]).all() and np.isfinite(found[1])
        with pytest.warns(InversePredictionWarning, match="1 of 1 intervals reach the edge"):
            found, low, high = model.inverse_predict([top - 0.01])
        assert np.isfinite(found[0]) and np.isfinite(low[0]) and np.isnan(high[0])


def lack_of_fit_by_hand(x, y, fitted, weight, p):
    """F, its degrees of freedom and p: (RSS - SS_pure) / (k - p) over SS_pure / (n - k)."""
    levels = np.unique(x)
    means = {v: np.average(y[x == v], weights=weight[x == v]) for v in levels}
    pure = sum(np.sum(weight[x == v] * (y[x == v] - means[v]) ** 2) for v in levels)
    rss = np.sum(weight * (y - fitted) ** 2)
    k, n = levels.size, y.size
    F = ((rss - pure) / (k - p)) / (pure / (n - k))
    return F, k - p, n - k, fisher_f.sf(F, k - p, n - k)


class TestLackOfFit:
    @pytest.mark.parametrize("degree", [1, 2])
    @pytest.mark.parametrize("data", ["curve", "pontius"])
    def test_least_squares_equals_statsmodels_anova_against_the_levels(self, data, degree,
                                                                       pontius):
        """On both the line lacks fit and the quadratic does not."""
        x, y = pontius if data == "pontius" else replicated_line(m=3, seed=1)
        if data == "curve":
            y = y + 0.05 * (x - 5.0) ** 2
        found = RobustPolynomialRegressor(degree, method="ols").fit(x[:, None], y).lack_of_fit()
        frame = pd.DataFrame({"x": x, "y": y})
        poly = smf.ols("y ~ " + " + ".join(f"I(x**{d})" for d in range(1, degree + 1)),
                       frame).fit()
        table = anova_lm(poly, smf.ols("y ~ C(x)", frame).fit())
        expected = LackOfFit(table.F[1], table.df_diff[1], table.df_resid[1], table["Pr(>F)"][1])
        np.testing.assert_allclose(list(vars(found).values()), list(vars(expected).values()),
                                   rtol=1e-9)
        assert found.p_value < 1e-3 if degree == 1 else found.p_value >= 0.01

    @pytest.mark.parametrize(
        "case", ["robust-with-outliers", "a level rejected whole", "frequency-weights"])
    def test_weighted_and_robust_sums_by_hand(self, case):
        x, y = replicated_line(m=5, sd=0.05 * np.repeat([1, 2, 4, 6, 8, 10], 5), seed=2)
        w = np.ones_like(x)
        if case != "frequency-weights":
            # The second: every reading of x = 2 is off, and rows of zero weight take no part.
            out = [0, 7, 13] if case == "robust-with-outliers" else [5, 6, 7, 8, 9]
            y[out] += 30.0
            if case == "a level rejected whole":
                w[[1, 16, 27]] = 0.0
            est = RobustPolynomialRegressor(1, random_state=0).fit(x[:, None], y, w)
            kept = est.inlier_mask_ & (w > 0.0)
            assert not kept[out].any()
        else:
            w = np.random.default_rng(3).integers(1, 4, x.size).astype(float)
            est = RobustPolynomialRegressor(1, method="ols").fit(x[:, None], y, w)
            kept = np.ones(x.size, bool)
        found = est.lack_of_fit()
        # Each row stands for its sample weight in readings; weights over the local variance.
        rows = np.repeat(np.flatnonzero(kept), w[kept].astype(int))
        xr, yr = x[rows], y[rows]
        weight = est.model_.noise_scale(xr[:, None]) ** -2.0
        expected = lack_of_fit_by_hand(xr, yr, est.predict(xr[:, None]), weight, 2)
        np.testing.assert_allclose(list(vars(found).values()), expected, rtol=1e-8)

    def test_nist_pontius_certified_coefficients_standard_errors_and_scale(self, pontius):
        x, y = pontius
        est = RobustPolynomialRegressor(2, method="ols").fit(x[:, None], y)
        np.testing.assert_allclose(est.coef_, PONTIUS_COEF, rtol=1e-9)
        np.testing.assert_allclose(est.coef_se_, PONTIUS_SE, rtol=1e-9)
        # The certified standard errors are s sqrt(diag((X^T X)^-1)): each gives s.
        V = np.vander(x / 1e6, 3, increasing=True)
        unit = np.sqrt(np.diag(np.linalg.inv(V.T @ V))) * 1e-6 ** np.arange(3)
        np.testing.assert_allclose(est.scale_, PONTIUS_SE / unit, rtol=1e-9)


class TestDetectionLimit:
    @pytest.mark.parametrize("slope", [0.5, -0.5])
    def test_line_with_constant_noise_closed_forms(self, slope):
        x, y = replicated_line(m=3, levels=(0.0, 0.5, 1.0, 2.0, 4.0, 8.0), sd=0.1, seed=5,
                               slope=slope)
        est = RobustPolynomialRegressor(1, method="ols").fit(x[:, None], y)
        found = est.detection_limit(level=0.95)
        (a, b), C = est.coef_, est.coef_cov_
        s2 = est.model_.noise_scale([[0.0]])[0] ** 2
        t = student_t.ppf(0.95, x.size - 2)
        sign = np.sign(b)
        critical = a + sign * t * np.sqrt(C[0, 0] + s2)
        # x_D: the near one-sided limit meets y_C, (a + b x - y_C)^2 = t^2 (x^T C x + s^2);
        # the other root, 0, is where the far limit does.
        e = a - critical
        x_d = roots(b * b - t * t * C[1, 1], 2.0 * (b * e - t * t * C[0, 1]),
                    e * e - t * t * (C[0, 0] + s2))
        # x_Q: x = 10 sd(x^T C x + s^2)^(1/2) / |b|.
        x_q = roots(b * b / 100.0 - C[1, 1], -2.0 * C[0, 1], -(C[0, 0] + s2))
        np.testing.assert_allclose(
            [found.critical_signal, found.detection_limit, found.quantitation_limit],
            [critical, x_d.max(), x_q.max()], rtol=1e-9)


@pytest.fixture(scope="module")
def fits():
    """Least-squares fits, by name, that the calibration methods refuse or take."""
    x, y = replicated_line()
    distinct, two_levels = np.linspace(1.0, 10.0, 12), np.repeat([1.0, 2.0], 6)
    noise = np.random.default_rng(4).normal(0.0, 0.1, 12)

    def ols(degree, X, y=y):
        return RobustPolynomialRegressor(degree, method="ols").fit(X, y)

    return {"line": ols(1, x[:, None]), "flat": ols(0, x[:, None]), "below": ols(1, -x[:, None]),
            "two": ols(1, np.column_stack([x, x**2])),
            "distinct": ols(1, distinct[:, None], 1.0 + distinct + noise),
            "two-levels": ols(1, two_levels[:, None], 1.0 + two_levels + noise)}


@pytest.mark.parametrize(("fit", "call", "message"), [
    ("two", lambda m: m.inverse_predict([1.0]), "one feature, this one has 2"),
    ("two", lambda m: m.detection_limit(), "one feature, this one has 2"),
    ("flat", lambda m: m.inverse_predict([1.0]), "not constant"),
    ("line", lambda m: m.inverse_predict([np.nan]), "NaN"),
    ("line", lambda m: m.inverse_predict([[1.0, 2.0]]), "1-D"),
    ("line", lambda m: m.inverse_predict([1.0], level=0.0), "level must be"),
    *(("line", lambda m, k=k: m.inverse_predict([1.0], n_replicates=k),
       "n_replicates must be an integer >= 1") for k in (0, 1.5, True)),
    ("line", lambda m: m.detection_limit(0.5), r"level must be a number in \(0.5, 1\)"),
    ("below", lambda m: m.detection_limit(), "reaches above x = 0"),
    ("distinct", lambda m: m.lack_of_fit(), "needs replicates, readings at equal values of the "
     "features: the fit's 12 readings have 12 distinct levels"),
    ("two-levels", lambda m: m.lack_of_fit(), "more distinct levels of the features than terms: "
     "the fit has 2 levels for 2 terms"),
])
def test_calibration_refusals_say_why(fits, fit, call, message):
    with pytest.raises(ValueError, match=message):
        call(fits[fit])
