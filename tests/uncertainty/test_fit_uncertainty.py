"""The fit's uncertainty from the core, against statsmodels, n x n forms and closed forms."""

import os
import subprocess
import sys
from fractions import Fraction

import numpy as np
import pytest
import statsmodels.api as sm
from scipy.stats import truncnorm

import vasq_core as vc

C = vc.BIWEIGHT_C
CUT = vc.INLIER_CUT


def uncertainty(t, beta, y, noise=("constant", [1.0]), w=None, v=None, weights=None,
                robust=True, zero=0.0, powers=None):
    """fit_uncertainty of the curve beta in powers of one feature t (or columns t)."""
    T = [np.asarray(c, float) for c in (t if isinstance(t, list) else [t])]
    n = T[0].size
    powers = [[j] for j in range(len(beta))] if powers is None else powers
    ones = np.ones(n)
    return vc.fit_uncertainty(
        T, powers, np.asarray(beta, float), np.asarray(y, float),
        ones if w is None else np.asarray(w, float), ones if v is None else np.asarray(v, float),
        ones if weights is None else np.asarray(weights, float), noise[0],
        np.asarray(noise[1], float), zero, robust)


def rlm_fit(y, X):
    return sm.RLM(y, X, M=sm.robust.norms.TukeyBiweight(C)).fit(cov="H2")


class TestCoefficientCovariance:
    @pytest.mark.parametrize("degree", [0, 2])
    def test_constant_scale_equals_rlm_h2(self, degree):
        rng = np.random.default_rng(2)
        n = 300
        x = rng.uniform(-1.0, 1.0, n)
        X = np.vander(x, degree + 1, increasing=True)
        y = 1.0 + x - 2.0 * x**2 + rng.normal(0.0, 0.3, n)
        y[:20] += 5.0
        res = rlm_fit(y, X)
        got = uncertainty(x, res.params, y, ("constant", [res.scale]))
        np.testing.assert_allclose(got["beta_cov"], res.bcov_scaled, rtol=1e-10)

    def test_least_squares_is_weighted_least_squares_of_repeated_rows(self):
        """statsmodels' WLS of the rows repeated by their sample weights, weighted by their
        var_weights; rows of weight 0, here so far out that their terms overflow, take no part.
        """
        rng = np.random.default_rng(3)
        n = 50
        x = rng.uniform(0.0, 2.0, n)
        v = (0.1 + x) ** -2.0
        y = 1.0 + x + rng.normal(0.0, 1.0, n) / np.sqrt(v)
        w = rng.integers(1, 4, n).astype(float)
        rows = np.repeat(np.arange(n), w.astype(int))
        res = sm.WLS(y[rows], np.column_stack([np.ones(rows.size), x[rows]]), weights=v[rows]).fit()
        # Only the ratios of the scales matter: their level is estimated from the residuals.
        got = uncertainty(x, res.params, y, ("constant", [0.7]), w, v, robust=False)
        np.testing.assert_allclose(got["beta_cov"], res.cov_params(), rtol=1e-10)
        far = uncertainty(np.append(x, 1e150), res.params, np.append(y, 1e308),
                          ("constant", [0.7]), np.append(w, 0.0), np.append(v, 1e200),
                          robust=False)
        for key in ("beta_cov", "noise_cov", "dof_moments", "scale_dof"):
            np.testing.assert_allclose(far[key], got[key], rtol=1e-13, err_msg=key)

    @pytest.mark.parametrize("case", ["too few inliers", "psi' negative", "singular"])
    def test_nan_where_the_covariance_is_undefined(self, case):
        x = np.linspace(-1.0, 1.0, 6)
        u = np.array([0.5, -0.3, 0.2, -0.1, 0.4, -0.6])
        weights = np.ones(6)
        if case == "too few inliers":  # 2 of weight 1 for 2 terms
            weights[2:] = 0.0
        elif case == "psi' negative":  # every residual where the biweight descends
            u = np.sign(u) * 3.0
        else:  # a column of zeros: LAPACK's LU has a zero pivot
            x = np.zeros(6)
            X = np.column_stack([np.ones(6), x])
            with pytest.raises(np.linalg.LinAlgError):
                np.linalg.solve(X.T @ X, np.eye(2))
        got = uncertainty(x, [1.0, 0.5], 1.0 + 0.5 * x + u, weights=weights)
        assert np.isnan(got["beta_cov"]).all()


@pytest.mark.parametrize(("noise", "robust"), [
    (("constant", [0.2]), False), (("constant", [0.2]), True), (("power", [0.1, 0.8, 1e-3]), True),
    (("two_component", [0.05, 0.1]), True), (("log_linear", [-1.5, 0.3, 0.2, -10.0, 10.0]), True),
])
def test_sample_weights_are_repeat_counts(noise, robust):
    """Every output of the rows weighted by counts equals that of the rows repeated."""
    rng = np.random.default_rng(4)
    n = 40
    t = [rng.uniform(-1.0, 1.0, n), rng.uniform(-1.0, 1.0, n)]
    powers = [[0, 0], [1, 0], [0, 1], [1, 1]]
    beta = np.array([1.0, 0.5, -0.3, 0.2])
    r = rng.normal(0.0, 0.2, n)
    r[:3] = 5.0  # rejected: no part in the covariance, nor in n
    y = beta[0] + beta[1] * t[0] + beta[2] * t[1] + beta[3] * t[0] * t[1] + r
    w = rng.integers(0, 3, n).astype(float)
    v = rng.uniform(0.5, 2.0, n)
    weights = np.where(np.abs(r) < 1.0, vc.biweight(r / 0.25)[3], 0.0)
    rows = np.repeat(np.arange(n), w.astype(int))
    weighted = uncertainty(t, beta, y, noise, w, v, weights, robust, powers=powers)
    repeated = uncertainty([c[rows] for c in t], beta, y[rows], noise, None, v[rows],
                           weights[rows], robust, powers=powers)
    for key in ("mean", "scale"):
        np.testing.assert_allclose(weighted[key][rows], repeated[key], rtol=1e-14)
    for key in ("beta_cov", "noise_cov", "dof_moments", "scale_dof"):
        np.testing.assert_allclose(weighted[key], repeated[key], rtol=1e-11, err_msg=key)


@pytest.mark.parametrize(("kind", "robust"), [("constant", False), ("power", False),
                                              ("power", True)])
def test_noise_covariance_is_the_inverse_restricted_information(kind, robust):
    """Against the n x n forms on rows repeated by their sample weights: Harville's
    1/2 tr(P V_k P V_l), P = V^-1 - V^-1 X (X^T V^-1 X)^-1 X^T V^-1, for least squares,
    and I_c sum_ij M_ij^2 J_i J_j^T over the rows within the cut, M = I - H of the
    biweight-weighted fit, I_c the variance of u^2 of a normal truncated there, for a robust
    one; 1 / (2 (n - p)) for constant noise."""
    rng = np.random.default_rng(3)
    t = np.linspace(-1.0, 1.0, 12)
    D = np.vander(t, 3, increasing=True)
    beta = np.array([1.5, 1.0, 0.3])
    mean = D @ beta
    params = [0.1, 0.8, 1e-3] if kind == "power" else [0.1]
    scale = 0.1 * mean**0.8 if kind == "power" else np.full(t.size, 0.1)
    r = rng.normal(0.0, 1.0, t.size) * scale
    r[4] = 3.5 * scale[4]  # beyond the cut: informs the curve only, with a small weight
    w = rng.integers(1, 4, t.size).astype(float)
    fitted = uncertainty(t, beta, mean + r, (kind, params), w, robust=robust)
    got = fitted["noise_cov"]

    rep = np.repeat(np.arange(t.size), w.astype(int))
    X, s, u = D[rep], scale[rep], (r / scale)[rep]
    J = np.ones((rep.size, 1)) if kind == "constant" else np.column_stack(
        [np.ones(rep.size), np.log(mean[rep])])
    if robust:
        a = vc.biweight(u)[3]
        Z = X * np.sqrt(a)[:, None] / s[:, None]
        M = np.eye(rep.size) - Z @ np.linalg.solve(Z.T @ Z, Z.T)
        R = np.abs(u) <= CUT
        truncated = truncnorm(-CUT, CUT)
        information = truncated.moment(4) - truncated.moment(2) ** 2
        info = information * J[R].T @ (M[np.ix_(R, R)] ** 2) @ J[R]
    else:
        Vi = np.diag(s**-2.0)
        P = Vi - Vi @ X @ np.linalg.solve(X.T @ Vi @ X, X.T @ Vi)
        dV = [np.diag(2.0 * s**2 * J[:, k]) for k in range(J.shape[1])]
        info = np.array([[0.5 * np.trace(P @ a @ P @ b) for b in dV] for a in dV])
    np.testing.assert_allclose(got, np.linalg.inv(info), rtol=1e-10)
    if kind == "constant":
        # nu = 1 / (2 noise_cov) = W - p, and every dof moment is A^-1 (J = 1).
        assert got[0, 0] == pytest.approx(1.0 / (2.0 * (w.sum() - 3)), rel=1e-12)
        assert fitted["scale_dof"] == pytest.approx(w.sum() - 3, rel=1e-12)
        np.testing.assert_allclose(fitted["dof_moments"][1], fitted["dof_moments"][0], rtol=1e-12)


def test_dof_of_a_robust_two_component_fit_from_the_hat_matrix():
    """scale_dof and the dof moments against the leverages of the explicit hat matrix of the
    rows sqrt(W) x, W = w (robustness weight) / s^2, and the gradient of the log sd by
    finite differences of noise_scale."""
    rng = np.random.default_rng(6)
    n = 25
    t = np.linspace(-1.0, 1.0, n)
    beta = np.array([2.0, 1.0, 0.4])
    D = np.vander(t, 3, increasing=True)
    params = np.array([0.05, 0.1])
    mean = D @ beta
    sd = np.hypot(params[0], params[1] * mean)
    y = mean + rng.normal(0.0, 1.0, n) * sd
    y[3] += 1.0
    weights = vc.biweight((y - mean) / sd)[3]
    w = rng.integers(0, 3, n).astype(float)
    got = uncertainty(t, beta, y, ("two_component", params), w, weights=weights)
    np.testing.assert_allclose(got["scale"], sd, rtol=1e-15)

    # d log sd / d(a^2, b^2) by central differences in the variance components.
    def log_sd(a2, b2):
        return np.log(vc.noise_scale("two_component", np.sqrt([a2, b2]), 0.0, mean, [t]))

    a2, b2, h = params[0] ** 2, params[1] ** 2, 1e-7
    J = np.column_stack([(log_sd(a2 * (1 + h), b2) - log_sd(a2 * (1 - h), b2)) / (2 * h * a2),
                         (log_sd(a2, b2 * (1 + h)) - log_sd(a2, b2 * (1 - h))) / (2 * h * b2)])
    W = w * weights / sd**2
    Z = D * np.sqrt(W)[:, None]
    H = Z @ np.linalg.pinv(Z.T @ Z) @ Z.T
    g = np.diag(H) @ J / np.trace(H)
    expected = 1.0 / (2.0 * g @ got["noise_cov"] @ g)
    assert got["scale_dof"] == pytest.approx(expected, rel=1e-6)
    A_inv = np.linalg.inv(D.T @ (W[:, None] * D))
    for k in range(2):
        S = D.T @ ((W * J[:, k])[:, None] * D)
        np.testing.assert_allclose(got["dof_moments"][k + 1], A_inv @ S @ A_inv, rtol=1e-6)
    np.testing.assert_allclose(got["dof_moments"][0], A_inv, rtol=1e-10)


def test_dof_moments_are_nan_throughout_where_a_term_overflows():
    t = np.linspace(-1.0, 1.0, 10)
    v = np.ones(10)
    v[0] = 1e300  # a variance of 1e-300 s^2: its weight 1 / s^2 leaves the double range
    got = uncertainty(t, [1.0, 1.0], 1.0 + t, ("constant", [1e-9]), v=v)
    assert np.isnan(got["dof_moments"]).all()


@pytest.mark.parametrize(("kind", "params"), [
    ("constant", [0.3]), ("power", [0.2, 0.7, 1e-3]), ("two_component", [0.1, 0.2]),
    ("log_linear", [-1.0, 0.5, -0.2, -3.0, 3.0]),
])
def test_log_sd_gradient_is_the_derivative_of_the_log_noise_sd(kind, params):
    """Central differences of log noise_scale in the parameters the gradient is in: log s
    and theta, the variance components a^2 and b^2, the log-linear coefficients."""
    rng = np.random.default_rng(7)
    T = [rng.uniform(-1.0, 1.0, 20), rng.uniform(-1.0, 1.0, 20)]
    if kind != "log_linear":
        T = T[:1]
    mean = rng.uniform(0.5, 3.0, 20)
    params = np.array(params)
    to_free = {"constant": lambda p: np.log(p), "power": lambda p: [np.log(p[0]), p[1]],
               "two_component": lambda p: p**2, "log_linear": lambda p: p[:3]}[kind]

    def from_free(q):
        return {"constant": lambda: np.exp(q), "power": lambda: [np.exp(q[0]), q[1], params[2]],
                "two_component": lambda: np.sqrt(q),
                "log_linear": lambda: [*q, *params[3:]]}[kind]()

    free = np.atleast_1d(np.asarray(to_free(params), float))
    h = 1e-6
    columns = []
    for k in range(free.size):
        step = np.zeros(free.size)
        step[k] = h * max(1.0, abs(free[k]))
        up, down = (np.log(vc.noise_scale(kind, np.asarray(from_free(free + s), float), 0.25,
                                          mean, T)) for s in (step, -step))
        columns.append((up - down) / (2 * step[k]))
    got = vc.log_sd_gradient(kind, params, 0.25, mean, T)
    np.testing.assert_allclose(got, np.column_stack(columns), rtol=1e-6, atol=1e-9)


@pytest.mark.parametrize("mu", [3.9e299, -1e200, 1e155])
def test_the_variance_components_gradient_holds_beyond_the_root_of_the_double_range(mu):
    """0.5 / sd^2 and 0.5 mu^2 / sd^2, in exact rational arithmetic: the squares overflow
    where the ratios do not."""
    a, b = 0.8, 0.7
    got = vc.log_sd_gradient("two_component", np.array([a, b]), 0.0, np.array([mu]),
                             [np.zeros(1)])
    sd = Fraction(float(np.hypot(a, b * mu)))
    want = [float(Fraction(1, 2) / sd**2), float(Fraction(1, 2) * Fraction(mu) ** 2 / sd**2)]
    np.testing.assert_allclose(got[0], want, rtol=1e-15)


@pytest.mark.parametrize("entry", [vc.log_sd_gradient, vc.noise_scale])
@pytest.mark.parametrize("bad", [np.nan, np.inf])
def test_the_log_linear_sd_refuses_a_non_finite_feature(entry, bad):
    # A NaN passed the clamp and was reported as an overflowing sd; an infinity was clamped.
    with pytest.raises(ValueError, match="^Non-finite input.$"):
        entry("log_linear", np.array([0.0, 1.0, -3.0, 3.0]), 0.0, np.ones(2),
              [np.array([0.0, bad])])


GOOD = dict(T=[np.linspace(-1.0, 1.0, 5)], powers=[[0], [1]], beta=np.ones(2), y=np.ones(5),
            w=np.ones(5), var_weights=np.ones(5), weights=np.ones(5), noise="constant",
            noise_params=np.ones(1), zero=0.0, robust=True)


@pytest.mark.parametrize(("change", "message"), [
    (dict(beta=np.ones(3)), "Dimension mismatch."),
    (dict(w=np.ones(4)), "Dimension mismatch."),
    (dict(weights=np.ones(6)), "Dimension mismatch."),
    (dict(T=[np.zeros(5), np.zeros(4)], powers=[[0, 0], [1, 0]]), "Dimension mismatch."),
    (dict(powers=[[0, 0], [1, 0]]), "Dimension mismatch."),
    (dict(noise_params=np.ones(2)), "Dimension mismatch."),
    (dict(y=np.array([1.0, np.nan, 1.0, 1.0, 1.0])), "Non-finite input."),
    (dict(w=-np.ones(5)), "sample weights must be >= 0"),
    (dict(var_weights=np.zeros(5)), "var_weights must be > 0"),
    (dict(powers=[[0], [-1]]), "exponents must be >= 0"),
    (dict(noise="normal"), "unknown noise model 'normal'"),
    (dict(noise_params=-np.ones(1)), "the noise sd must be positive"),
    (dict(T=[np.full(5, 1e200)], powers=[[0], [2]]), "the design overflows"),
    (dict(beta=np.full(2, 1e308)), "the fitted mean overflows the double range"),
])
def test_bad_input_is_refused(change, message):
    with pytest.raises(ValueError, match=message):
        vc.fit_uncertainty(**{**GOOD, **change})


SCRIPT = """
import sys, numpy as np, vasq_core as vc
rng = np.random.default_rng(1)
n = 30000
t = [rng.uniform(-1.0, 1.0, n), rng.uniform(-1.0, 1.0, n)]
powers = [[i, j] for i in range(4) for j in range(4) if i + j <= 3]
beta = rng.normal(0.0, 1.0, len(powers))
mean = sum(b * t[0] ** p[0] * t[1] ** p[1] for b, p in zip(beta, powers))
sd = np.hypot(0.05, 0.1 * mean)
y = mean + rng.standard_normal(n) * sd * np.where(rng.random(n) < 0.1, 20.0, 1.0)
w = rng.integers(0, 3, n).astype(float)
out = vc.fit_uncertainty(t, powers, beta, y, w, rng.uniform(0.5, 2.0, n),
                         vc.biweight((y - mean) / sd)[3], "two_component",
                         np.array([0.05, 0.1]), 0.0, True)
for key in ("mean", "scale", "beta_cov", "noise_cov", "dof_moments", "scale_dof"):
    sys.stdout.buffer.write(np.asarray(out[key], float).tobytes())
"""


def run_with_threads(n):
    path = os.pathsep.join([os.path.dirname(vc.__file__), os.environ.get("PYTHONPATH", "")])
    env = dict(os.environ, OMP_NUM_THREADS=str(n), PYTHONPATH=path)
    out = subprocess.run([sys.executable, "-c", SCRIPT], env=env, capture_output=True, check=True)
    return out.stdout


def test_bit_identical_across_thread_counts():
    reference = run_with_threads(1)
    for threads in (2, 4):
        assert run_with_threads(threads) == reference, threads
