"""Noise models and the two kinds of weight, against closed forms and the known truth."""

import dataclasses
import importlib
import sys
import warnings
from pathlib import Path

import numpy as np
import pytest
from scipy.stats import norm

from vasq import RobustPolynomialRegressor

KINDS = ("constant", "power", "two_component", "log_linear")


def calibration(seed, levels=8, replicates=5, decades=2.0, cv=0.03, floor=0.0):
    """Standards geometric over `decades`, a line through the origin, constant CV + floor."""
    rng = np.random.default_rng(seed)
    x = np.repeat(np.geomspace(1.0, 10.0**decades, levels), replicates)
    mu = 2.0 + 3.0 * x
    sd = np.hypot(floor, cv * mu)
    return x, mu, sd, mu + rng.normal(0.0, 1.0, x.size) * sd


# Truths over a line y = 2 + 3 x, x in [1, 100], n = 3000, and the parameters they imply.
TRUTHS = {
    "constant": (lambda mu, x: np.full(mu.shape, 4.0), {"sd": 4.0}),
    "power": (lambda mu, x: 0.05 * mu**0.7, {"theta": 0.7}),
    "two_component": (lambda mu, x: np.hypot(3.0, 0.04 * mu), {"a": 3.0, "b": 0.04}),
    "log_linear": (lambda mu, x: 0.5 * np.exp(0.03 * x), {"slope": 0.03}),
}


@pytest.mark.parametrize("kind", KINDS)
def test_a_known_variance_function_is_recovered_on_large_data(kind):
    """Each model's parameters in the user's units, and "auto" picks the true model."""
    rng = np.random.default_rng(1)
    x = rng.uniform(1.0, 100.0, 3000)
    mu = 2.0 + 3.0 * x
    truth, wanted = TRUTHS[kind]
    sd = truth(mu, x)
    y = mu + rng.normal(0.0, 1.0, x.size) * sd
    X = x[:, None]
    model = RobustPolynomialRegressor(1, noise=kind, random_state=0).fit(X, y).model_
    grid = np.linspace(1.0, 100.0, 7)[:, None]
    np.testing.assert_allclose(model.noise_scale(grid), truth(2.0 + 3.0 * grid[:, 0], grid[:, 0]),
                               rtol=0.12)
    params = model.noise.params
    if kind == "power":
        assert params[1] == pytest.approx(wanted["theta"], abs=0.05)
    elif kind == "two_component":
        y_scale = model.scaling.y_scale
        assert params[0] * y_scale == pytest.approx(wanted["a"], rel=0.15)
        assert params[1] == pytest.approx(wanted["b"], rel=0.08)
    elif kind == "log_linear":
        half = model.scaling.half[0]
        assert params[1] / half == pytest.approx(wanted["slope"], rel=0.08)
    assert np.mean(model.weights == 0.0) < 0.01
    if kind != "log_linear":  # "auto" chooses among the models of the mean
        auto = RobustPolynomialRegressor(1, random_state=0).fit(X, y).model_
        assert auto.noise.kind == kind


@pytest.mark.parametrize("noise", ["power", "two_component", "auto"])
@pytest.mark.parametrize("seed", [3, 8, 12])
def test_a_block_of_bad_readings_at_the_noisy_end_is_not_absorbed(noise, seed):
    """Four of the ten readings of the top two standards 25 % high (8 local sd), with their
    own noise: flagged, and the noise model there stays near the truth instead of growing
    to meet them."""
    x, mu, sd, y = calibration(seed)
    levels = np.unique(x)
    block = np.r_[np.flatnonzero(x == levels[-1])[:3], np.flatnonzero(x == levels[-2])[:1]]
    y[block] += 0.25 * mu[block]
    model = RobustPolynomialRegressor(1, noise=noise, random_state=0).fit(x[:, None], y)
    assert np.all(model.weights_[block] == 0.0)
    clean = np.setdiff1d(np.arange(x.size), block)
    assert np.sum(model.weights_[clean] == 0.0) <= 1
    top = model.model_.noise_scale(np.array([[x.max()]]))[0]
    assert top < 1.6 * sd.max()
    np.testing.assert_allclose(model.coef_, [2.0, 3.0], rtol=0.05, atol=0.5)


def far_group(seed):
    """A line over x in [0, 10], sd 0.5, 20 of 100 readings near one far x, 20 sd low."""
    rng = np.random.default_rng(seed)
    x = rng.uniform(0.0, 10.0, 100)
    group = np.arange(100) < 20
    x[group] = rng.uniform(18.0, 25.0) + rng.normal(0.0, 0.5, 20)
    y = 1.0 + 0.6 * x + rng.normal(0.0, 0.5, 100)
    y[group] -= 10.0
    return x, y, group


def end_stack(seed):
    """A quadratic over x in [0, 10], sd 0.5, 15 of 60 readings stacked at x = 10, 20 sd high."""
    rng = np.random.default_rng(seed)
    x = rng.uniform(0.0, 10.0, 60)
    group = np.arange(60) < 15
    x[group] = np.minimum(10.0 + rng.normal(0.0, 0.05, 15), 10.0)
    t = x / 5.0 - 1.0
    y = 1.0 + 3.0 * t + 6.0 * t**2 + rng.normal(0.0, 0.5, 60)
    y[group] += 10.0
    return x, y, group


def middle_window(seed):
    """A quadratic over x in [0, 10], sd 0.5, 80 readings; those in a window of 3.5 starting
    in [2, 4.5] 10 sd off, up or down."""
    rng = np.random.default_rng(seed)
    x = np.sort(rng.uniform(0.0, 10.0, 80))
    t = x / 5.0 - 1.0
    y = -5.0 + 3.0 * t + 12.0 * t**2 + rng.normal(0.0, 0.5, 80)
    start = rng.uniform(2.0, 4.5)
    group = (x >= start) & (x <= start + 3.5)
    y[group] += rng.choice([-1.0, 1.0]) * 5.0
    return x, y, group


@pytest.mark.parametrize(
    ("draw", "seed", "degree", "random_state"),
    [(far_group, 3, 1, 0), (far_group, 4, 1, 0), (far_group, 7, 1, 0),
     (far_group, 0, "auto", 0), (end_stack, 2, "auto", 0), (middle_window, 4, 2, 5),
     (middle_window, 4, 2, 8)],
)
def test_a_one_sided_group_is_not_absorbed_by_a_growing_noise(draw, seed, degree, random_state):
    """Without replicates, a sd growing with the mean can meet a coherent group at one end
    (bad leverage; a stack at the end), or bend its curve into a window's middle so that the
    window lies on both sides of it (one side of the constant fit's): the default noise
    keeps every one of them flagged and no clean reading. Under "auto" a higher degree's
    varying sd that takes the group in does not win either: beside the far group the clean
    readings' spread does not trend, and the sextic that takes the stack rejects clean
    readings to do so."""
    x, y, group = draw(seed)
    model = RobustPolynomialRegressor(degree, random_state=random_state).fit(x[:, None], y)
    assert model.model_.noise.kind == "constant"
    assert np.all(model.weights_[group] == 0.0)
    assert np.all(model.weights_[~group] > 0.0)


def turning(seed, block=0.0):
    """A cubic that turns twice over x in [0, 10], 300 readings, noise sd 0.2 + 0.15 x (no
    function of the mean); the readings beyond x = 10 (1 - block) 8 local sd high."""
    rng = np.random.default_rng(seed)
    x = rng.uniform(0.0, 10.0, 300)
    sd = 0.2 + 0.15 * x
    y = 1.0 + 4.0 * x - 1.5 * x**2 + 0.12 * x**3 + rng.normal(0.0, 1.0, x.size) * sd
    bad = x > 10.0 * (1.0 - block)
    y[bad] += 8.0 * sd[bad]
    return x, sd, y, bad


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_auto_follows_noise_that_grows_along_x_under_a_turning_curve(seed):
    """The models of the mean cannot follow it; "auto" takes the log-linear sd, within 50 %
    of the true sd across the range, and flags no clean reading."""
    x, sd, y, _ = turning(seed)
    model = RobustPolynomialRegressor(3, random_state=0).fit(x[:, None], y).model_
    assert model.noise.kind == "log_linear"
    grid = np.linspace(0.5, 9.5, 7)
    ratio = model.noise_scale(grid[:, None]) / (0.2 + 0.15 * grid)
    assert np.all((ratio > 0.7) & (ratio < 1.5)), ratio
    assert np.all(model.weights > 0.0)


@pytest.mark.parametrize(("seed", "block"), [(0, 0.2), (2, 0.2), (1, 0.1), (2, 0.1)])
def test_a_block_at_the_noisy_end_of_a_turning_curve_is_not_absorbed(seed, block):
    """A log-linear sd can rise at the edge to meet the block, bending its curve into the
    block's middle; every block reading stays flagged (seeds 0 and 2 at 20 % were taken in
    whole when the group was judged against the varying fit's curve alone, or by its full
    span with a clean reading taken back elsewhere), and the sd at the top stays near the
    truth."""
    x, sd, y, bad = turning(seed, block)
    model = RobustPolynomialRegressor(3, random_state=0).fit(x[:, None], y)
    assert np.all(model.weights_[bad] == 0.0)
    assert np.sum(model.weights_[~bad] == 0.0) <= 2
    assert model.model_.noise_scale(np.array([[9.5]]))[0] < 1.6 * (0.2 + 0.15 * 9.5)


def test_constant_cv_readings_are_not_flagged_and_get_local_intervals():
    """Constant CV over two decades: no clean reading flagged (the fault of one global
    scale), and prediction intervals proportional to the signal."""
    x, mu, sd, y = calibration(5)
    model = RobustPolynomialRegressor(1, random_state=0).fit(x[:, None], y).model_
    assert model.noise.kind in ("power", "two_component")
    assert np.all(model.weights > 0.0)
    ends = np.array([[1.0], [100.0]])
    lower, upper = model.predict_interval(ends, kind="prediction")
    ratio = (upper - lower)[1] / (upper - lower)[0]
    # The sd grows 60-fold (2 + 3x from 5 to 302); one global scale gives about 1. The quiet
    # end's interval is the wider for its curve's fewer degrees of freedom.
    assert 20.0 < ratio < 300.0



@pytest.mark.parametrize("seed", [1, 2, 3, 6, 7])
def test_a_noise_floor_is_not_taken_for_a_power_that_vanishes_with_the_signal(seed):
    """Floor 0.3 plus 3 % CV, standards from 1 to 100: at equal charge a power of the mean
    won these data sets, put the blank's sd near zero, and its stated limits did not hold (a
    blank over the critical signal 3-65 % of the time, a reading at the detection limit
    over it 41-82 %, where both should be 5 % and 95 %). Worked out under the true noise.
    Where the floor is estimated at 0 (seeds 1, 2, 7) the limit is still below the lowest
    standard, whose readings lie 9 noise sd above the blank (the true limit is 0.34): the
    prediction dof at a zero signal had come to 0.27-0.42, and the limits to 3.7-43."""
    x, mu, sd, y = calibration(seed, floor=0.3)
    model = RobustPolynomialRegressor(1, random_state=0).fit(x[:, None], y)
    assert model.model_.noise.kind == "two_component"
    limit = model.detection_limit(level=0.95)

    def true_sd(at):
        return np.hypot(0.3, 0.03 * (2.0 + 3.0 * at))

    blank_over = norm.sf((limit.critical_signal - 2.0) / true_sd(0.0))
    x_d = limit.detection_limit
    detected = norm.sf((limit.critical_signal - (2.0 + 3.0 * x_d)) / true_sd(x_d))
    assert blank_over <= 0.15
    assert detected >= 0.8
    assert x_d < 1.0

@pytest.mark.parametrize("method", ["robust", "ols", "penalized"])
def test_var_weights_results_do_not_depend_on_their_scale(method):
    x, mu, sd, y = calibration(7)
    y[3] += 20.0 * sd[3]
    v = 1.0 / x**2
    est = RobustPolynomialRegressor(1, method=method, random_state=0)
    a = est.fit(x[:, None], y, var_weights=v).model_
    b = RobustPolynomialRegressor(1, method=method, random_state=0).fit(
        x[:, None], y, var_weights=1e4 * v).model_
    grid = np.geomspace(1.0, 100.0, 9)[:, None]
    # New readings' var_weights in the units of the fit's: 1/x^2, or 1e4/x^2 for b.
    new = {a: grid[:, 0] ** -2.0, b: 1e4 * grid[:, 0] ** -2.0}
    one = {a: 1e-2, b: 1e2}
    for get in (lambda m: m.coef, lambda m: m.coef_se, lambda m: m.weights,
                lambda m: m.noise_scale(grid),
                lambda m: m.noise_scale(grid, new[m]),
                lambda m: np.array(m.predict_interval(grid, kind="prediction")),
                lambda m: np.array(m.predict_interval(grid, kind="prediction",
                                                      var_weights=new[m])),
                lambda m: np.array(m.inverse_predict([30.0, 150.0], var_weight=one[m])),
                lambda m: np.array(m.predict_interval(grid))):
        np.testing.assert_allclose(get(a), get(b), rtol=1e-9, atol=0.0)


@pytest.mark.parametrize(("method", "noise"), [("ols", "auto"), ("robust", "power")])
def test_integer_sample_weights_are_repeated_rows_for_the_intervals(method, noise):
    x, mu, sd, y = calibration(11, replicates=3)
    w = np.random.default_rng(2).integers(1, 4, x.size)
    X = x[:, None]
    est = RobustPolynomialRegressor(1, method=method, noise=noise, random_state=0)
    weighted = est.fit(X, y, sample_weight=w.astype(float)).model_
    repeated = est.fit(np.repeat(X, w, axis=0), np.repeat(y, w)).model_
    grid = np.geomspace(1.0, 100.0, 7)[:, None]
    tol = 1e-10 if method == "ols" else 2e-3  # the robust starts are drawn among the rows
    assert weighted.dof == pytest.approx(repeated.dof, rel=tol)
    for kind in ("confidence", "prediction"):
        np.testing.assert_allclose(weighted.predict_interval(grid, kind=kind),
                                   repeated.predict_interval(grid, kind=kind), rtol=tol)


@pytest.mark.parametrize("weights", [
    np.r_[np.full(58, 1e-3), 2.0, 2.0],  # the least total weight, on two rows
    np.r_[np.full(57, 1e-9), 1.0, 1.0, 2.0],
    np.r_[np.full(30, 1e-6), np.full(30, 0.14)],
])
def test_no_weight_vector_makes_an_attribute_raise(line_data, weights):
    x, y = line_data()
    X = x[:, None]
    for method in ("robust", "ols"):
        est = RobustPolynomialRegressor(1, method=method, random_state=0)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            est.fit(X, y, sample_weight=weights)
        for name in ("coef_", "coef_se_", "coef_cov_", "scale_", "weights_", "noise_"):
            getattr(est, name)
        lower, upper = est.predict_interval(X[:3])
        assert np.isnan(est.model_.dof) == np.isnan(lower).all()
        text = est.summary()
        if np.isnan(est.coef_se_).any():
            assert "NaN" in text


@pytest.fixture(scope="module")
def line(line_data):
    """line_data's X and y and the model of a robust line through them."""
    x, y = line_data()
    return x[:, None], y, RobustPolynomialRegressor(1, random_state=0).fit(x[:, None], y).model_


ZERO_AT_4 = np.where(np.arange(60) == 4, 0.0, 1.0)  # of line_data's 60 rows
# Precisions 1e300 apart made the robust fit raise "Non-finite input." and least squares
# return NaN standard errors.
SPREAD = np.where(np.arange(60) % 2, 1e150, 1e-150)


@pytest.mark.parametrize(("call", "message"), [
    (lambda X, y, m: RobustPolynomialRegressor(1, noise="cubic").fit(X, y),
     "The 'noise' parameter"),
    (lambda X, y, m: RobustPolynomialRegressor(1, noise="power", method="ols").fit(X, y),
     "noise='power' needs method='robust'"),
    (lambda X, y, m: RobustPolynomialRegressor(1).fit(X, y, var_weights=ZERO_AT_4),
     "var_weights must be > 0"),
    (lambda X, y, m: RobustPolynomialRegressor(1).fit(X, y, var_weights=SPREAD),
     "var_weights span more than a factor of 1e100"),
    (lambda X, y, m: RobustPolynomialRegressor(1, method="ols").fit(X, y, var_weights=SPREAD),
     "var_weights span more than a factor of 1e100"),
    (lambda X, y, m: m.predict_interval(X[:3], var_weights=np.ones(3)), "need kind='prediction'"),
    (lambda X, y, m: m.predict_interval(X[:3], kind="prediction", var_weights=np.ones(2)),
     r"hold 3 numbers, got an array of shape \(2,\)"),
    (lambda X, y, m: m.noise_scale(X[:3], [1.0, 0.0, 1.0]), "positive finite numbers"),
    (lambda X, y, m: m.inverse_predict([5.0], var_weight=float("nan")), "positive finite numbers"),
    *((lambda X, y, m, kw=kw: m.predict_interval(X[:3], **kw), message) for kw, message in [
        (dict(level=1.0), "level must be"), (dict(level=-0.1), "level must be"),
        (dict(level="0.9"), "level must be"), (dict(kind="credible"), "kind must be one of")]),
])
def test_bad_noise_parameters_var_weights_and_interval_arguments_are_refused(line, call, message):
    with pytest.raises(ValueError, match=message):
        call(*line)


def test_a_zero_var_weight_is_taken_on_a_row_of_zero_sample_weight(line):
    X, y, _ = line
    RobustPolynomialRegressor(1).fit(X, y, sample_weight=ZERO_AT_4, var_weights=ZERO_AT_4)


@pytest.mark.parametrize(("kind", "params", "documented_sd"), [
    ("constant", [0.3], lambda mu, t: np.full(mu.shape, 0.3)),
    ("power", [0.2, 0.8, 1e-3], lambda mu, t: 0.2 * np.maximum(np.abs(mu), 1e-3) ** 0.8),
    ("two_component", [0.1, 0.05], lambda mu, t: np.hypot(0.1, 0.05 * mu)),
    ("log_linear", [-1.0, 0.7, -1.5, -0.6],
     lambda mu, t: np.exp(np.clip(-1.0 + 0.7 * t, -1.5, -0.6))),
])
def test_the_model_evaluates_every_noise_kind_by_its_formula(line, kind, params, documented_sd):
    X, _, fitted = line
    new = np.linspace(X.min() - 1.0, X.max() + 1.0, 11)[:, None]
    t = fitted.scaling.features(new)[:, 0]
    signal = fitted.predict(new) / fitted.scaling.y_scale
    noise = dataclasses.replace(fitted.noise, kind=kind, params=np.array(params))
    model = dataclasses.replace(fitted, noise=noise)
    np.testing.assert_allclose(model.noise_scale(new),
                               documented_sd(signal, t) * fitted.scaling.y_scale, rtol=1e-12)


def test_a_noise_model_that_cannot_be_estimated_is_skipped_by_auto():
    """A constant's fitted mean is one value: on this surface a power of it had no finite
    estimate and the whole fit raised "Non-finite input." from a constant candidate. (The
    noise grows along the first feature, which a log-linear sd may follow.)"""
    sys.path.insert(0, str(Path(__file__).parents[2] / "benchmarks"))
    try:
        sample = importlib.import_module("_problems").PROBLEMS[3].sample(2)
    finally:
        sys.path.pop(0)
        sys.modules.pop("_problems", None)
    model = RobustPolynomialRegressor(degree=0, random_state=2).fit(sample.X, sample.y)
    assert model.model_.noise.kind != "power"
    assert np.isfinite(model.model_.noise.params).all()


def test_a_varying_noise_that_collapses_onto_a_few_rows_is_no_estimate():
    """A quintic through 50 readings of a drift with a tenth of outliers: the power model's
    sd shrank onto 3 rows fitted almost exactly (s = 2e-17), kept 3 inliers of 50, won the
    degree search and gave NaN standard errors. Such a model leaves fewer inliers than the
    trimmed half: auto skips it, and named it cannot be estimated."""
    rng = np.random.default_rng(0)
    x = np.linspace(0.0, 1.0, 50)
    Y = np.vander(x, 3, increasing=True) @ rng.normal(0.0, 1.0, (3, 200))
    Y += rng.normal(0.0, 0.05, Y.shape)
    outliers = rng.random(Y.shape) < 0.1
    Y[outliers] += rng.normal(0.0, 3.0, outliers.sum())
    X, y = x[:, None], Y[:, 106]
    fit = RobustPolynomialRegressor(degree=5, random_state=1811067846).fit(X, y)
    assert fit.model_.n_inliers >= 26 and np.isfinite(fit.coef_se_).all()
    assert RobustPolynomialRegressor(random_state=1811067846).fit(X, y).model_.degree <= 2
    with pytest.raises(ValueError, match="power noise model cannot be estimated"):
        RobustPolynomialRegressor(degree=5, noise="power", random_state=1811067846).fit(X, y)
