"""The core's high-breakdown fit against exact and independent computations."""

import itertools
import math

import numpy as np
import pytest
import statsmodels.api as sm
from scipy import integrate, optimize, stats
from scipy.optimize import minimize
from scipy.stats import norm, truncnorm

import vasq_core as vc

C = 4.685


def line_design(x, p):
    return np.vander(x, p, increasing=True)


def fit(x, y, p, w=None, seed=0, disabled=(), **noise):
    w = np.ones(y.size) if w is None else w
    return vc.robust_fit([x], [[j] for j in range(p)], y, w, seed, list(disabled), **noise)


def trimmed_mass(n, p):
    """Half the points plus (p + 1) / 2; below 30 points, all but a quarter of n - p, or 1."""
    half = (n + p + 1) // 2
    return half if n >= 30 else min(n, max(half, n - max(1, (n - p) // 4)))


def exact_lts(X, y):
    """Least trimmed squares by trying every h-subset: the subset of least residual sum."""
    n, p = X.shape
    h = trimmed_mass(n, p)
    best = (np.inf, None)
    for rows in itertools.combinations(range(n), h):
        A, b = X[list(rows)], y[list(rows)]
        beta, *_ = np.linalg.lstsq(A, b, rcond=None)
        rss = float(np.sum((b - A @ beta) ** 2))
        best = min(best, (rss, tuple(beta)), key=lambda t: t[0])
    return best[0], np.array(best[1])


def contaminated(seed, n, p, share=0.3, leverage=False):
    rng = np.random.default_rng(seed)
    x = np.sort(rng.uniform(-1.0, 1.0, n))
    beta = rng.normal(0.0, 1.0, p)
    y = line_design(x, p) @ beta + rng.normal(0.0, 0.05, n)
    out = rng.permutation(n)[: int(share * n)]
    y[out] += rng.choice([-1.0, 1.0], out.size) * rng.uniform(2.0, 5.0, out.size)
    if leverage:
        x[out] = rng.uniform(0.7, 1.0, out.size)
    return x, y, out


@pytest.mark.parametrize("p", [2, 3])
@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("n", [6, 10, 12])
def test_trimmed_stage_finds_the_exact_least_trimmed_squares_fit(p, seed, n):
    x, y, _ = contaminated(seed, n, p, leverage=seed == 2)
    result = fit(x, y, p, seed=seed, disabled=["reweighting"])
    rss, beta = exact_lts(line_design(x, p), y)
    h = trimmed_mass(n, p)
    assert result["trimmed_rms"] ** 2 * h == pytest.approx(rss, rel=1e-9, abs=1e-14)
    np.testing.assert_allclose(result["beta"], beta, rtol=1e-7, atol=1e-9)
    assert result["n_irls"] == 0


@pytest.mark.parametrize("seed", range(3))
def test_reweighting_is_biweight_irls_at_the_fixed_constant_scale(seed):
    x, y, out = contaminated(seed, 200, 3, share=0.25)
    start = fit(x, y, 3, seed=seed, disabled=["reweighting"])
    final = fit(x, y, 3, seed=seed, noise="constant")
    assert final["s0"] == start["s0"] and final["noise_kind"] == "constant"
    # Homoscedastic noise: every point has the scale of the constant model.
    np.testing.assert_array_equal(final["scale"], final["noise_params"][0])
    assert final["noise_params"][0] == pytest.approx(start["s0"], rel=0.1)
    rlm = sm.RLM(y, line_design(x, 3), M=sm.robust.norms.TukeyBiweight(c=C)).fit(
        start_params=start["beta"],
        start_scale=final["noise_params"][0],
        update_scale=False,
        conv="coefs",
        tol=1e-13,
        maxiter=500,
    )
    np.testing.assert_allclose(final["beta"], rlm.params, rtol=1e-7, atol=1e-9)
    np.testing.assert_allclose(final["weights"], rlm.weights, atol=1e-7)
    residuals = y - line_design(x, 3) @ final["beta"]
    np.testing.assert_allclose(final["residuals"], residuals, atol=1e-12)
    assert np.all(final["weights"][out] == 0.0)


def test_scale_is_consistent_at_the_normal_and_ignores_far_outliers():
    rng = np.random.default_rng(5)
    x = rng.uniform(-1.0, 1.0, 4000)
    y = 1.0 + x + rng.normal(0.0, 0.5, x.size)
    clean = fit(x, y, 2)["s0"]
    y[:1600] += 30.0  # 40 % far away
    assert clean == pytest.approx(0.5, rel=0.03)
    assert fit(x, y, 2)["s0"] == pytest.approx(clean, rel=0.05)


def biweight_rho(u, c):
    return 1.0 - (1.0 - np.minimum((u / c) ** 2, 1.0)) ** 3


def normal_mean_rho(c):
    inside = integrate.quad(lambda z: biweight_rho(z, c) * stats.norm.pdf(z), -c, c, epsabs=1e-13)
    return inside[0] + 2.0 * stats.norm.sf(c)


# Tukey's biweight constant of the M-scale with b = 1/2, consistent at the normal.
M_SCALE_C = optimize.brentq(lambda c: normal_mean_rho(c) - 0.5, 1.0, 2.0, xtol=1e-14)


def biweight_m_scale(r, p):
    """The s with sum rho(r / s) = (n - p) / 2, by scipy's root finding."""
    excess = lambda s: biweight_rho(r / s, M_SCALE_C).sum() - 0.5 * (r.size - p)  # noqa: E731
    return optimize.brentq(excess, 1e-6 * np.abs(r).max(), 10.0 * np.abs(r).max(), xtol=1e-15)


def scale_within_cut(r, p, s):
    """The fixed point from s of the rms within 2.5 s over the normal variance within the cut."""
    kept_variance = 1.0 - 5.0 * stats.norm.pdf(2.5) / (2.0 * stats.norm.cdf(2.5) - 1.0)
    for _ in range(200):
        within = np.abs(r) <= 2.5 * s
        s = np.sqrt(np.sum(r[within] ** 2) / (kept_variance * (within.sum() - p)))
    return s


@pytest.mark.parametrize("seed", [73, 172, 229])
def test_scale_of_a_chance_half_restarts_from_the_m_scale(seed):
    """30 clean readings of a quadratic, 3 replicates at 10 levels, fitted by a cubic: the
    best half agrees far below the noise (the trimmed start ends at a quarter to a half of
    least squares' scale), and the scale restarts from the biweight M-scale of all
    residuals."""
    x = np.repeat(np.linspace(-1.0, 1.0, 10), 3)
    y = 1.0 + 2.0 * x - 0.5 * x**2 + np.random.default_rng(seed).normal(0.0, 0.3, x.size)
    start = fit(x, y, 4, disabled=["reweighting"])
    r = start["residuals"]
    expected = scale_within_cut(r, 4, biweight_m_scale(r, 4))
    assert start["s0"] == pytest.approx(expected, rel=1e-9)
    ols = np.sqrt(sm.OLS(y, line_design(x, 4)).fit().scale)
    final = fit(x, y, 4, noise="constant")["noise_params"][0]
    assert 0.9 * ols < final < 1.2 * ols


@pytest.mark.parametrize("seed", [149, 247, 283])
def test_few_readings_keep_all_but_a_quarter_in_the_trimmed_fit(seed):
    """15 clean readings, 3 replicates at 5 levels: a quadratic through 3 levels fits their 9
    readings far below the noise, and trimmed to that half the fit rejected 4 or 5 clean
    readings against its scale. Trimming at most a quarter of the 12 beyond the terms, it
    rejects none and its noise sd is least squares'."""
    x = np.repeat(np.linspace(-1.0, 1.0, 5), 3)
    y = 1.0 + 2.0 * x - 0.5 * x**2 + np.random.default_rng(seed).normal(0.0, 0.3, x.size)
    result = fit(x, y, 3, noise="constant")
    assert np.all(result["weights"] > 0.0)
    ols = np.sqrt(sm.OLS(y, line_design(x, 3)).fit().scale)
    assert 0.8 * ols < result["noise_params"][0] < 1.25 * ols


@pytest.mark.parametrize("noise", ["power", "two_component"])
@pytest.mark.parametrize("seed", [4, 6, 7])
def test_window_of_outliers_stays_out_of_a_varying_noise_model(noise, seed):
    """80 points of a quadratic, those in a window of 35 % of the range 10 sd off: the
    window doubles the M-scale of all residuals, and a noise model's start must not restart
    from it (a sd grown from there meets the window and takes it in)."""
    rng = np.random.default_rng(seed)
    x = np.sort(rng.uniform(-1.0, 1.0, 80))
    y = 1.0 + 3.0 * x + 6.0 * (2.0 * x**2 - 1.0) + rng.normal(0.0, 0.5, x.size)
    start = rng.uniform(-0.6, -0.1)
    window = (x >= start) & (x <= start + 0.7)
    y[window] += rng.choice([-5.0, 5.0])
    result = fit(x, y, 3, seed=seed, noise=noise)
    np.testing.assert_array_equal(result["weights"][window], 0.0)


@pytest.mark.parametrize("noise", ["constant", "auto"])
def test_masked_outliers_at_few_points_per_term_stay_rejected(noise):
    """Stackloss (21 runs, 4 terms): runs 1, 3, 4 and 21 mask one another; the published
    reweighted LTS drops them, which is least squares on the other 17 runs. Without
    replicates, "auto" must not take them back with a sd growing towards their large means
    (a power model scores 3.7 below constant noise here)."""
    data = sm.datasets.stackloss.load_pandas().data
    y = data["STACKLOSS"].to_numpy(float)
    X = data[["AIRFLOW", "WATERTEMP", "ACIDCONC"]].to_numpy(float)
    T = [(c - c.min()) / (c.max() - c.min()) * 2.0 - 1.0 for c in X.T]
    powers = [[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]]
    result = vc.robust_fit(T, powers, y, np.ones(y.size), 0, [], noise=noise)
    np.testing.assert_array_equal(np.flatnonzero(result["weights"] == 0.0), [0, 2, 3, 20])
    keep = result["weights"] > 0.0
    A = np.column_stack([np.ones(y.size), *T])
    ref, rss, *_ = np.linalg.lstsq(A[keep], y[keep], rcond=None)
    se = np.sqrt(np.diag(rss[0] / (keep.sum() - 4) * np.linalg.inv(A[keep].T @ A[keep])))
    assert np.all(np.abs(result["beta"] - ref) <= 2.0 * se)


def test_var_weights_are_relative_precisions_of_the_rows():
    """sd_i = s / sqrt(v_i): the fit equals that of the rows scaled by sqrt(v) with
    constant noise, and multiplying v changes nothing beyond the iterations' tolerances."""
    rng = np.random.default_rng(2)
    x = rng.uniform(-1.0, 1.0, 300)
    v = np.exp(2.0 * x)
    y = 2.0 - x + rng.normal(0.0, 0.1, x.size) / np.sqrt(v)
    y[:30] += 3.0
    one = fit(x, y, 2, noise="constant", var_weights=v)
    scaled = fit(x, y, 2, noise="constant", var_weights=1e6 * v)
    np.testing.assert_allclose(one["beta"], scaled["beta"], rtol=1e-7)
    np.testing.assert_allclose(one["scale"], scaled["scale"], rtol=1e-7)
    np.testing.assert_allclose(one["scale"] * np.sqrt(v), one["noise_params"][0], rtol=1e-12)
    assert one["noise_params"][0] == pytest.approx(0.1, rel=0.1)
    assert np.all(one["weights"][:30] == 0.0) and np.mean(one["weights"][30:] == 0.0) < 0.03


def quadratic_readings(noise, n, seed, replicates, outliers):
    """2 + 3x + x^2 on [0, 2], n readings at n / replicates levels, of constant sd 0.1, a
    constant CV of 5 % or two components, with a share of them moved by 10-30 sd."""
    rng = np.random.default_rng(seed)
    x = np.repeat(np.linspace(0.0, 2.0, n // replicates), replicates)
    mu = 2.0 + 3.0 * x + x**2
    sd = {"constant": np.full(n, 0.1), "cv": 0.05 * mu, "two": np.hypot(0.05, 0.05 * mu)}[noise]
    y = mu + sd * rng.standard_normal(n)
    bad = rng.choice(n, int(outliers * n), replace=False)
    y[bad] += rng.choice([-1.0, 1.0], bad.size) * rng.uniform(10.0, 30.0, bad.size) * sd[bad]
    return x, y


def trend_root(x, y, beta, r, weights):
    """The |z| of the slope of log |r| on log |mu| and on mu^2 (upwards only), by statsmodels'
    weighted least squares, log |z| of a normal z having variance pi^2 / 8: the larger."""
    mu = line_design(x, beta.size) @ beta
    top = np.abs(mu[weights > 0]).max()
    v = np.log(np.abs(r))
    roots = []
    for k, covariate in enumerate([np.log(np.maximum(np.abs(mu), 1e-6 * top)), (mu / top) ** 2]):
        ls = sm.WLS(v, sm.add_constant(covariate), weights=weights).fit()
        z = ls.params[1] / np.sqrt(np.pi**2 / 8 * ls.normalized_cov_params[1, 1])
        roots.append(0.0 if k == 1 and z < 0 else abs(z))
    return max(roots)


def replicate_deviations(x, y):
    """Each reading less its level's mean, over sqrt(1 - 1 / m) for m readings there."""
    levels, index, counts = np.unique(x, return_inverse=True, return_counts=True)
    means = np.bincount(index, y) / counts
    m = counts[index]
    return (y - means[index]) / np.sqrt(1.0 - 1.0 / m), (m > 1).astype(float)


@pytest.mark.parametrize(
    ("noise", "n", "seed", "replicates", "outliers", "skipped"),
    [
        ("constant", 400, 0, 1, 0.1, True),
        ("constant", 100, 3, 1, 0.0, True),  # power scores 2.6 below constant, short of 6
        ("constant", 60, 1, 5, 0.0, True),  # replicated: power would win by 0.45
        ("constant", 24, 0, 1, 0.0, True),  # 8 points per term: the trend test alone
        ("constant", 15, 1, 3, 0.0, True),  # 5 points per term: the trend test alone
        ("constant", 15, 3, 3, 0.0, False),  # replicate deviations trend at |z| 2.5, residuals 0.5
        ("cv", 15, 0, 3, 0.0, False),
        ("cv", 15, 17, 3, 0.0, False),  # constant scores 1.9 lower, rejecting 3 clean readings
        ("cv", 200, 2, 1, 0.1, False),
        ("two", 200, 0, 4, 0.0, False),
    ],
)
def test_auto_fits_the_varying_noise_only_where_the_spread_trends_with_the_mean(
    noise, n, seed, replicates, outliers, skipped
):
    """"auto" fits the varying models unless the |z| of the trend of log |r| with the mean
    (the constant fit's residuals, or with replicates the larger of that and the replicate
    deviations') is below 1.96, or, with 10 points per term, below sqrt(log n + margin) -
    1.5 (margin 6 without replicates); it chooses what fitting those models by name and
    keeping the lowest criterion, varying models charged the margin and, with replicates,
    every model twice the log of the number of ways to place its rejected readings among
    the readings of each level, chooses; a power of the mean only when it beats the
    two-component model by 6 or that model does not beat constant noise."""
    x, y = quadratic_readings(noise, n, seed, replicates, outliers)
    auto = fit(x, y, 3, noise="auto")
    named = {kind: fit(x, y, 3, noise=kind) for kind in ("constant", "power", "two_component")}
    constant = named["constant"]
    root = trend_root(x, y, constant["beta"], constant["residuals"], np.ones(n))
    if replicates > 1:
        root = max(root, trend_root(x, y, constant["beta"], *replicate_deviations(x, y)))
    margin = 6.0 if replicates == 1 else 0.0
    expected_skip = root < 1.959964 or (n >= 30 and root < np.sqrt(np.log(n) + margin) - 1.5)
    assert expected_skip == skipped
    fitted = {"constant"} if skipped else set(named)
    assert set(auto["noise_scores"]) == fitted
    charged = {k: named[k]["noise_scores"][k] + (k != "constant") * margin for k in fitted}
    if replicates > 1:  # the code length of which readings are rejected at each level
        for k in fitted:
            out = np.abs(named[k]["residuals"]) >= 4.685 * named[k]["scale"]
            charged[k] += sum(2.0 * np.log(math.comb(int(np.sum(x == level)),
                                                     int(np.sum(out[x == level]))))
                              for level in np.unique(x))
    best = min(charged, key=charged.get)
    if best == "power" and charged["two_component"] < min(charged["power"] + 6.0,
                                                          charged["constant"]):
        best = "two_component"  # a power must beat two components by 6
    assert auto["noise_kind"] == best
    np.testing.assert_array_equal(auto["beta"], named[best]["beta"])
    assert auto["noise_scores"]["constant"] == constant["noise_scores"]["constant"]


def test_leverage_group_is_not_readmitted_by_the_scale_model():
    """Leverage points beyond the inliers' x range cannot inflate their own scale."""
    rng = np.random.default_rng(3)
    n = 300
    x = rng.uniform(-1.0, 0.4, n)
    y = 1.0 + 2.0 * x + rng.normal(0.0, 0.05 * (1.5 + x), n)
    group = np.arange(45)
    x[group] = rng.uniform(0.9, 1.0, group.size)
    y[group] = -3.0 + rng.normal(0.0, 0.05, group.size)
    result = fit(x, y, 2)
    assert np.all(result["weights"][group] == 0.0)
    clean = np.setdiff1d(np.arange(n), group)
    assert np.mean(result["weights"][clean] == 0.0) < 0.05
    np.testing.assert_allclose(result["beta"], [1.0, 2.0], atol=0.05)
    # The scale at the group is bounded by the scale model's range over the inliers.
    assert result["scale"][group].max() <= result["scale"][clean].max() * (1 + 1e-12)


def test_start_far_from_least_squares_comes_from_the_elemental_stage():
    """40 % on another line pull least squares far away; only the random subsets recover."""
    rng = np.random.default_rng(4)
    x = rng.uniform(-1.0, 1.0, 300)
    y = 1.0 + x + rng.normal(0.0, 0.05, x.size)
    other = rng.random(x.size) < 0.4
    y[other] = 3.0 - 2.0 * x[other] + rng.normal(0.0, 0.05, other.sum())
    majority = np.polynomial.polynomial.polyfit(x[~other], y[~other], 1)
    np.testing.assert_allclose(fit(x, y, 2)["beta"], majority, atol=0.02)
    np.testing.assert_allclose(fit(x, y, 2, disabled=["reweighting"])["beta"], majority, atol=0.02)
    pilot_only = fit(x, y, 2, disabled=["elemental", "concentration", "reweighting"])
    assert np.max(np.abs(pilot_only["beta"] - majority)) > 0.5


@pytest.mark.parametrize("seed", [20, 83, 88, 193])
def test_a_window_of_outliers_is_rejected_whole_for_every_random_state(seed):
    """A quadratic, 35 % of its x range read 10 sd off: a few-term fit draws enough subsets
    that no random state ends on the window (at 35 subsets one in ten did)."""
    rng = np.random.default_rng(seed)
    x = np.sort(rng.uniform(-1.0, 1.0, 80))
    y = 1.0 + x - 2.0 * x**2 + rng.normal(0.0, 0.1, x.size)
    start = rng.uniform(-0.6, -0.1)
    window = (x >= start) & (x <= start + 0.7)
    y[window] += rng.choice([-1.0, 1.0])
    for state in range(10):
        rejected = fit(x, y, 3, seed=state)["weights"] == 0.0
        assert (rejected & window).sum() == window.sum(), state


def test_zero_weight_is_absence_and_integer_weight_repetition():
    x, y, _ = contaminated(7, 120, 3, share=0.2)
    rng = np.random.default_rng(0)
    w = rng.integers(0, 3, x.size).astype(float)
    kept = w > 0
    zero = fit(x, y, 3, w=kept.astype(float), seed=1)
    dropped = fit(x[kept], y[kept], 3, seed=1)
    for key in ("beta", "s0", "trimmed_rms"):
        np.testing.assert_array_equal(zero[key], dropped[key])
    np.testing.assert_array_equal(zero["weights"][kept], dropped["weights"])
    weighted = fit(x, y, 3, w=w, seed=1)
    repeated = fit(np.repeat(x, w.astype(int)), np.repeat(y, w.astype(int)), 3, seed=1)
    np.testing.assert_allclose(weighted["beta"], repeated["beta"], rtol=1e-6, atol=1e-8)
    assert weighted["s0"] == pytest.approx(repeated["s0"], rel=1e-6)


@pytest.mark.parametrize(
    ("change", "message"),
    [
        (dict(w=-np.ones(30)), "sample weights must be >= 0"),
        (dict(w=np.zeros(30)), "sample weights must not all be zero"),
        (dict(w=np.ones(29)), "Dimension mismatch."),
        (dict(y=np.full(30, np.nan)), "Non-finite input."),
        (dict(disabled=["tournament"]), "unknown stage 'tournament'"),
        (dict(noise="cubic"), "unknown noise model 'cubic'"),
        (dict(var_weights=np.r_[np.ones(29), 0.0]), "var_weights must be > 0"),
        (dict(var_weights=np.ones(29)), "Dimension mismatch."),
        (dict(zero=np.inf), "Non-finite input."),
    ],
)
def test_bad_input_is_refused(change, message):
    args = dict(T=[np.linspace(-1, 1, 30)], powers=[[0], [1]], y=np.ones(30), w=np.ones(30))
    with pytest.raises(ValueError, match=message):
        vc.robust_fit(**{**args, **change})


X30 = np.linspace(-1.0, 1.0, 30)
WAVE = np.sin(3.0 * X30)
LINE = [[0], [1]]


@pytest.mark.parametrize(
    ("T", "powers", "y", "w", "message"),
    [
        ([np.zeros(30)], [[1]], WAVE, np.ones(30), None),  # a column of zeros alone
        ([np.zeros(30)], LINE, WAVE, np.ones(30), None),
        ([np.full(30, 3.0)], [[0], [1], [2]], WAVE, np.ones(30), None),  # constant columns
        ([np.repeat(X30[:3], 10)], [[0], [1], [2], [3]], WAVE, np.ones(30), None),
        ([X30], [[0], [2147483647]], WAVE, np.ones(30), None),
        ([2.0 * X30], [[0], [2147483647]], WAVE, np.ones(30), "the design overflows"),
        ([1e300 * X30], LINE, WAVE, np.ones(30), None),  # the scaled space overflows
        ([1e150 * X30], [[0], [1], [2]], WAVE, np.ones(30), None),
        ([1e-160 * X30], [[0], [1], [2]], WAVE, np.ones(30), "the coefficients overflow"),
        ([1e-320 * X30], [[1]], WAVE, np.ones(30), "the coefficients overflow"),
        ([X30], LINE, 1e200 * WAVE, np.ones(30), None),
        ([X30], LINE, 1e300 * WAVE, np.ones(30), None),
        ([X30], LINE, 1e-310 * WAVE, np.ones(30), None),
        ([X30], LINE, WAVE, np.r_[np.full(25, 5e-324), np.ones(5)], None),
        ([X30], LINE, WAVE, np.full(30, 1e300), None),
        ([X30], LINE, WAVE, np.full(30, 1e307), "sample weights must have a finite sum"),
        ([X30], LINE, WAVE, np.full(30, 5e-324), "at least the number of terms"),
        ([X30[:3]], [[0], [1], [2], [3]], WAVE[:3], np.ones(3), "at least the number of terms"),
        ([X30], LINE, WAVE, np.r_[np.zeros(29), 2.0], None),  # one row holds all the weight
    ],
)
def test_finite_input_gives_a_finite_fit_or_says_why_not(T, powers, y, w, message):
    if message is not None:
        with pytest.raises(ValueError, match=message):
            vc.robust_fit(T, powers, y, w)
        return
    result = vc.robust_fit(T, powers, y, w)
    for key in ("beta", "weights", "scale", "residuals", "leverage", "s0", "noise_params",
                "trimmed_rms"):
        assert np.all(np.isfinite(result[key])), key
    assert np.all((result["leverage"] >= 0.0) & (result["leverage"] <= 1.0))
    assert np.all((result["weights"] >= 0.0) & (result["weights"] <= 1.0))
    assert result["s0"] > 0.0 and np.all(result["scale"] > 0.0)


@pytest.mark.parametrize("shape", ["falling", "steep"])
def test_a_power_of_a_huge_mean_whose_level_leaves_the_double_range_is_refused(shape):
    """s = sd / |mu|^theta scales as y^(1 - theta): at y near 1e300 a power of -0.5 overflows
    it and one of 2.8 underflows it to 0, though every sd is a double."""
    rng = np.random.default_rng(0)
    x = np.linspace(1.0, 3.0, 60)
    sd = 0.05 / x if shape == "falling" else 0.002 * x**3
    y = x + rng.normal(0.0, 1.0, 60) * sd
    large = vc.robust_fit([x], LINE, 1e150 * y, np.ones(60), noise="power")
    assert np.all(np.isfinite(large["noise_params"])) and large["noise_params"][0] > 0.0
    with pytest.raises(ValueError, match="^the noise model's parameters overflow the double range$"):
        vc.robust_fit([x], LINE, 1e300 * y, np.ones(60), noise="power")


def truncated_information(cut):
    """Fisher's information on log sd of one normal reading seen within +-cut sd, times the
    chance that it is seen: Var(u^2 | |u| < cut) P(|u| < cut), from scipy's moments."""
    law = truncnorm(-cut, cut)
    return (law.moment(4) - law.moment(2) ** 2) * (2.0 * norm.cdf(cut) - 1.0)


def cv_calibration(seed, levels=8, replicates=5):
    """Quadratic calibration on standards over 2 decades with a 3 % coefficient of variation."""
    rng = np.random.default_rng(seed)
    x = np.repeat(np.geomspace(1.0, 100.0, levels), replicates)
    mu = 0.5 + 2.0 * x + 0.004 * x**2
    return x / 100.0, mu, mu + rng.standard_normal(x.size) * 0.03 * mu


def test_the_noise_likelihood_reads_residuals_with_the_curves_leverage_taken_out():
    """At the fixed point the power model maximises the truncated likelihood of
    r_i / sqrt(1 - h_i) within 2.5 sigma_i / sqrt(1 - h_i), h_i the leverage of the biweight's
    weighted least squares: scipy's maximiser of that likelihood gives the same parameters,
    the raw residuals (the curve's share left in) a clearly lower sd."""
    t, _, y = cv_calibration(0, levels=5, replicates=3)
    X = line_design(t, 3)
    result = fit(t, y, 3, noise="power")
    s, r = result["scale"], result["residuals"]
    weight = result["weights"] / s**2
    h = weight * np.einsum("ij,jk,ik->i", X, np.linalg.inv((X * weight[:, None]).T @ X), X)
    z = np.log(np.maximum(np.abs(X @ result["beta"]), result["noise_params"][2]))
    seen = np.abs(r) <= 2.5 * s

    def power_fit(root):
        def loss(theta):
            sd = np.exp(theta[0] + theta[1] * z[seen])
            cut = 2.5 * s[seen] / sd
            return -np.sum(truncnorm.logpdf(r[seen] / root[seen], -cut / root[seen],
                                            cut / root[seen], scale=sd))
        start = [np.log(result["noise_params"][0]), result["noise_params"][1]]
        return minimize(loss, start, method="Nelder-Mead",
                        options={"xatol": 1e-9, "fatol": 1e-12, "maxiter": 4000}).x

    adjusted, raw = power_fit(np.sqrt(1.0 - h)), power_fit(np.ones(h.size))
    wanted = [np.log(result["noise_params"][0]), result["noise_params"][1]]
    np.testing.assert_allclose(adjusted, wanted, atol=1e-3)
    assert np.max(np.abs(raw - wanted)) > 0.02


def test_a_constant_cv_is_unbiased_at_the_ends_of_a_calibration_range():
    """Over 200 small calibrations (n = 40, 3 coefficients) the fitted variance at the lowest
    and the highest standard, where the curve leans on few readings, is the true one on
    average, within 4 standard errors of that average computed from the 200."""
    ratios = []
    for seed in range(200):
        t, mu, y = cv_calibration(seed)
        scale = fit(t, y, 3, noise="power")["scale"]
        ratios.append((scale[[0, -1]] / (0.03 * mu[[0, -1]])) ** 2)
    ratios = np.array(ratios)
    se = ratios.std(axis=0, ddof=1) / np.sqrt(len(ratios))
    assert np.all(np.abs(ratios.mean(axis=0) - 1.0) <= 4.0 * se)


def test_constant_noise_is_consistent_on_clean_data():
    """One clean quadratic of n = 3000: log s within 4 standard errors of the truth, the
    standard error that of the maximum-likelihood log sd of readings seen within 2.5 sd."""
    rng = np.random.default_rng(4)
    x = rng.uniform(-1.0, 1.0, 3000)
    y = 1.0 + x - 2.0 * x**2 + rng.normal(0.0, 0.3, x.size)
    s = fit(x, y, 3, noise="constant")["noise_params"][0]
    se = 1.0 / np.sqrt(x.size * truncated_information(2.5))
    assert abs(np.log(s / 0.3)) <= 4.0 * se


def block_at_the_top(noise, seed):
    """quadratic_readings of 200 clean readings, those beyond x = 1.7 moved 8 sd up."""
    x, y = quadratic_readings(noise, 200, seed, 1, 0.0)
    top = x > 1.7
    sd = np.full(x.size, 0.1) if noise == "constant" else 0.05 * (2.0 + 3.0 * x + x**2)
    y[top] += 8.0 * sd[top]
    return x, y


@pytest.mark.parametrize(("noise", "seed"), [("cv", 0), ("constant", 0)])
def test_a_vetoed_fit_says_whether_the_rows_constant_noise_keeps_trend_on_their_own(noise, seed):
    """A block at the noisy end is vetoed under either noise. For a fit that keeps constant
    noise, kept_rows_trend is whether the |z| of the trend of log |r| over the rows the
    constant fit keeps, with the mean or with x, reaches sqrt(log W + 6): under a constant
    CV it does, under constant noise it does not."""
    x, y = block_at_the_top(noise, seed)
    auto, constant = fit(x, y, 3, seed=11, noise="auto"), fit(x, y, 3, seed=11, noise="constant")
    assert auto["cluster_veto"] and auto["noise_kind"] == "constant"
    r = constant["residuals"]
    kept = (np.abs(r) < 4.685 * constant["scale"]).astype(float)
    ls = sm.WLS(np.log(np.abs(r)), sm.add_constant(x), weights=kept).fit()
    along_x = abs(ls.params[1]) / np.sqrt(np.pi**2 / 8 * ls.normalized_cov_params[1, 1])
    root = max(trend_root(x, y, constant["beta"], r, kept), along_x)
    trends = noise == "cv"
    assert (root >= np.sqrt(np.log(kept.sum()) + 6.0)) == trends
    assert auto["kept_rows_trend"] == trends
