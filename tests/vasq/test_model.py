"""PolynomialModel: the estimator's answers to the bit after a reload, closed forms, bad files."""

import dataclasses
import json
import re
import warnings
from itertools import product

import numpy as np
import pytest
from scipy.stats import t as student_t

from vasq import PolynomialModel, RobustPolynomialRegressor, load_model


def answers(model, X):
    """Everything a fitted model answers, as bytes (and text), on the new points X."""
    out = {"predict": model.predict(X), "std": model.predict(X, return_std=True)[1]}
    for level, kind in product((0.5, 0.95, 0.999), ("confidence", "prediction")):
        out[f"interval {level} {kind}"] = np.array(model.predict_interval(X, level, kind))
    out["noise_scale"] = model.noise_scale(X)
    precision = 1.0 / (1.0 + X[:, 0] ** 2)  # new readings' var_weights
    out["noise_scale, var_weights"] = model.noise_scale(X, precision)
    out["prediction, var_weights"] = np.array(
        model.predict_interval(X, kind="prediction", var_weights=precision))
    for name in ("coef", "coef_cov", "coef_se", "scale", "weights", "inlier_mask", "beta",
                 "beta_cov", "powers"):
        out[name] = np.asarray(getattr(model, name))
    if X.shape[1] == 1:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            out["inverse"] = np.array(model.inverse_predict(model.predict(X[:5]) + 0.01))
            out["inverse of means"] = np.array(
                model.inverse_predict(model.predict(X[:5]) + 0.01, n_replicates=3))
            out["inverse, var_weight"] = np.array(
                model.inverse_predict(model.predict(X[:5]) + 0.01, var_weight=0.3))
        out["detection"] = np.array(dataclasses.astuple(model.detection_limit(0.9)))
    try:
        out["lack of fit"] = np.array(dataclasses.astuple(model.lack_of_fit()))
    except ValueError as error:  # no replicates: the reason must survive the reload too
        out["lack of fit"] = np.frombuffer(str(error).encode(), np.uint8)
    bits = {k: v.tobytes() for k, v in out.items()}
    fields = ("feature_names", "target_name", "method", "degree", "n_samples", "n_inliers",
              "bic_score", "bic_scores", "reached_max_degree", "dof")
    out["noise"] = np.asarray(model.noise.params)
    return bits, {f: getattr(model, f) for f in fields}, model.summary()


@pytest.mark.parametrize(
    "case", ["robust-heteroscedastic", "ols", "penalized", "two-features", "max-degree",
             "replicates", "constant", "power", "two_component", "log_linear", "var_weights"]
)
def test_a_reloaded_model_answers_as_the_estimator_to_the_bit(tmp_path, heteroscedastic, case):
    X, y = heteroscedastic()
    params = {"random_state": 0}
    if case in ("ols", "penalized"):
        params.update(degree=2, method=case)
    elif case == "two-features":
        X = np.column_stack([X[:, 0], np.random.default_rng(4).uniform(-3, 3, X.shape[0])])
        params.update(degree=(1, 2))
    elif case == "max-degree":
        params.update(max_degree=2)
    elif case == "replicates":
        X = np.round(X, 0)  # nine levels, read about 13 times each
        params.update(degree=2)
    elif case not in ("robust-heteroscedastic", "var_weights"):
        params.update(noise=case)
    # var_weights of geometric mean far from 1: a new reading's are divided by it
    v = 1e3 / (1.0 + X[:, 0] ** 2) if case == "var_weights" else None
    est = RobustPolynomialRegressor(**params).fit(X, y, var_weights=v)
    est.model_.save(tmp_path / "m.json")
    loaded = load_model(tmp_path / "m.json")
    again = PolynomialModel.from_json(loaded.to_json())
    lo, hi = X.min(axis=0), X.max(axis=0)
    new = lo + (hi - lo) * np.random.default_rng(0).uniform(-0.2, 1.2, (50, X.shape[1]))
    expected = answers(est.model_, new)
    assert answers(loaded, new) == expected == answers(again, new)
    assert est.predict(new).tobytes() == expected[0]["predict"]
    assert est.summary() == expected[2]
    assert loaded.reached_max_degree == est.model_.reached_max_degree
    assert loaded.reached_max_degree or case != "max-degree"
    assert loaded.noise.kind == est.model_.noise.kind == params.get("noise", loaded.noise.kind)


def _power_rows(model, X):
    """The scaled design of the fitted rows, their weights W in the last weighted least
    squares and their log-sd gradient J, for a quadratic under a power of the mean."""
    t = (X[:, 0] - model.scaling.centre[0]) / model.scaling.half[0]
    D = np.column_stack([np.ones_like(t), t, t * t])
    mu = np.maximum(np.abs(D @ model.beta - model.scaling.zero), model.noise.params[2])
    W = model.weights / (model.noise.params[0] * mu ** model.noise.params[1]) ** 2
    return D, W, np.column_stack([np.ones_like(mu), np.log(mu)])


def _curve_dof_by_rows(model, X, d):
    """nu = 1 / (2 g C g) at each row d, g the rows' J weighted by their shares in d' A^-1 d."""
    Df, W, J = _power_rows(model, X)
    A_inv = np.linalg.inv((Df * W[:, None]).T @ Df)
    nu = []
    for row in d:
        share = W * (Df @ A_inv @ row) ** 2 / (row @ A_inv @ row)
        g = share @ J
        nu.append(1.0 / (2.0 * g @ model.noise_cov @ g))
    return np.array(nu)


def test_intervals_follow_the_model_s_numbers(heteroscedastic):
    """Intervals, standard errors and the noise scale from beta, beta_cov and the scaling."""
    X, y = heteroscedastic()
    m = RobustPolynomialRegressor(2, random_state=0).fit(X, y).model_
    assert m.noise.kind == "power"
    x = np.array([1.0, 4.0, 5.5, 9.0])
    s = m.scaling
    t = (x - s.centre[0]) / s.half[0]
    D = np.column_stack([np.ones_like(t), t, t * t])
    sd = np.sqrt(np.einsum("ij,jk,ik->i", D, m.beta_cov, D)) * s.y_scale
    # The curve's dof at x: its variance there rests on the rows in their shares of it.
    q = student_t.ppf(0.95, _curve_dof_by_rows(m, X, D))  # a 90 % interval
    mean = s.y_loc + s.y_scale * (D @ m.beta)
    got_mean, got_sd = m.predict(x[:, None], return_std=True)
    np.testing.assert_allclose(got_mean, mean, rtol=1e-14)
    np.testing.assert_allclose(got_sd, sd, rtol=1e-12)
    np.testing.assert_allclose(m.predict_interval(x[:, None], 0.9), [mean - q * sd, mean + q * sd],
                               rtol=1e-12)
    # Student's t on the dof of the curve and of the noise sd at x, a power of the mean.
    p = RobustPolynomialRegressor(2, noise="power", random_state=0).fit(X, y).model_
    mean, sd = p.predict(x[:, None], return_std=True)
    noise = p.noise_scale(x[:, None])
    mu = (mean - p.scaling.y_loc) / p.scaling.y_scale - p.scaling.zero
    J = np.column_stack([np.ones_like(mu), np.log(np.maximum(np.abs(mu), p.noise.params[2]))])
    noise_dof = 1.0 / (2.0 * np.einsum("ij,jk,ik->i", J, p.noise_cov, J))
    curve_dof = _curve_dof_by_rows(p, X, D)
    share = noise**2 / (sd**2 + noise**2)
    dof = 1.0 / ((1.0 - share) / np.sqrt(curve_dof) + share / np.sqrt(noise_dof)) ** 2
    wide = student_t.ppf(0.95, dof) * np.hypot(sd, noise)
    np.testing.assert_allclose(p.predict_interval(x[:, None], 0.9, kind="prediction"),
                               [mean - wide, mean + wide], rtol=1e-12)
    assert (dof < curve_dof).all() and (noise_dof > 3).all()
    # The coefficients' dof are the scale's: 1 / (2 g C g), g the mean log-sd gradient of the
    # fitted rows weighted by their leverage in the biweight's weighted least squares. The
    # curve's dof at the noisy end, where it rests on the least well-known sd, are fewer.
    Df, W, Jf = _power_rows(p, X)
    h = W * np.einsum("ij,jk,ik->i", Df, np.linalg.inv((Df * W[:, None]).T @ Df), Df)
    g = h @ Jf / h.sum()
    assert p.dof == pytest.approx(1.0 / (2.0 * g @ p.noise_cov @ g), rel=1e-9)
    assert p.dof < p.n_inliers - 3
    assert curve_dof.argmin() == x.size - 1 and curve_dof[-1] < 0.5 * p.dof
    assert m.scale == m.noise.s0 * s.y_scale


@pytest.mark.parametrize(
    ("X", "message"),
    [(np.ones(3), r"shape \(n_samples, 1\), got \(3,\)"),
     (np.ones((3, 3)), r"shape \(n_samples, 1\), got \(3, 3\)"),
     ([["a"]], "could not convert")],
    ids=["1-D", "three-columns", "text"],
)
def test_predict_refuses_inputs_of_the_wrong_shape(quadratic, X, message):
    model = RobustPolynomialRegressor(1, method="ols").fit(*quadratic()).model_
    with pytest.raises(ValueError, match=message):
        model.predict(X)


@pytest.fixture(scope="module")
def saved_record():
    """The JSON record of a robust quadratic, with outliers."""
    rng = np.random.default_rng(3)
    x = rng.uniform(0.0, 5.0, 40)
    y = 2 - x + 0.3 * x * x + rng.normal(0.0, 0.1, 40)
    y[::9] += 10.0
    model = RobustPolynomialRegressor(2, random_state=0).fit(x[:, None], y).model_
    return json.loads(model.to_json())


def _set(key, value):
    return lambda r: r.update({key: value})


def _cov(edit):
    def change(record):
        cov = np.array(record["beta_cov"])
        record["beta_cov"] = edit(cov).tolist()
    return change


def _in_place(edit):
    def edited(record):
        edit(record)
        return record
    return edited


# In-place edits leave a model that cannot be; the others return what the file holds instead.
@pytest.mark.parametrize(
    ("edit", "message"),
    [*((_in_place(e), m) for e, m in [
      (_cov(lambda c: c - np.diag([0.0, 2.0 * c[1, 1], 0.0])),
       "'beta_cov' holds a negative variance"),
      (_cov(lambda c: c + np.triu(np.full((3, 3), c.max()), 1)), "'beta_cov' is not symmetric"),
      (_cov(lambda c: np.diag(np.diag(c)) + (np.ones((3, 3)) - np.eye(3)) * 2 * np.diag(c).max()),
       "'beta_cov' is not positive semi-definite"),
      (lambda r: r["beta_cov"][0].__setitem__(1, None), "'beta_cov' must hold numbers only"),
      (_set("degree", 3), "'degree' 3 contradicts the terms of 'powers'"),
      (_set("degree", [2]), "'degree' of a model of one feature must be an integer"),
      (lambda r: r["bic_scores"][0].update(score=float("nan")),
       "'bic_scores' 'score' must be finite"),
      (_set("beta", [1.0, float("inf"), 0.0]), "'beta' must be finite numbers"),
      (_set("y_scale", 0.0), "'y_scale' must be positive"),
      (_set("half", [-1.0]), "'half' must be positive"),
      (lambda r: r["noise"].update(s0=0.0), "'s0' must be positive"),
      (lambda r: r["noise"].update(kind="cubic"), "'noise' 'kind' must be one of"),
      (lambda r: r["noise"].update(kind="constant", params=[0.1, 1.0]),
       r"'noise' 'params' must have shape \(1,\)"),
      (lambda r: r["noise"].update(kind="two_component", params=[-0.1, 1.0]),
       "'noise' 'params' are impossible: the noise components must be >= 0"),
      (lambda r: r["noise"].update(kind="log_linear", params=[0.0, 1.0, 1.0, -1.0]),
       "'noise' 'params' are impossible: the bounds of the log sd must be in increasing order"),
      (_set("dof", 0.0), "'dof' must be positive"),
      (lambda r: r["dof_moments"].pop(), r"'dof_moments' must have shape \(2, 3, 3\)"),
      (lambda r: r["dof_moments"][0][0].__setitem__(0, None), "'dof_moments' must hold numbers"),
      (_set("dof_moments", [[None], [None, None]]), "'dof_moments' must hold numbers"),
      (_set("unit_var_weight", 0.0), "'unit_var_weight' must be positive"),
      (_set("weights", [1.5] * 40), r"'weights' must be numbers in \[0, 1\]"),
      (_set("method", "tournament"), "'method' must be one of"),
      (lambda r: r["pure_error"].update(pure_ss=-1.0), "'pure_error' must hold numbers >= 0"),
      (lambda r: r["pure_error"].update(n_levels=2.0), "'n_levels' must be an integer"),
      (_set("bic_scores", [{"degree": 1, "score": 0.0}]),
       "'bic_scores' must hold the chosen degree")]),
     (lambda r: "not json {", ": not valid JSON: Expecting value"),
     (lambda r: "[" * 100_000 + "]" * 100_000, "nested too deeply"),
     (lambda r: b"\xff\xfe{}", "is not a UTF-8 text file"),
     (lambda r: [r], "not a vasq model file"),
     (lambda r: {**r, "format": "vasq-polynomial-model/2"}, "not a vasq model file"),
     (lambda r: {k: v for k, v in r.items() if k != "beta"}, "missing key 'beta'"),
     (lambda r: {**r, "beta": [1.0]}, r"'beta' must have shape \(3,\)"),
     (lambda r: {**r, "beta": "1, 2"}, "'beta' must hold numbers only"),
     (lambda r: {**r, "beta": [True, 2.0, 1.0]}, "'beta' must hold numbers only"),
     (lambda r: {**r, "beta": [10**400, 2.0, 1.0]}, "'beta' must hold numbers only"),
     (lambda r: {**r, "y_loc": None}, "'y_loc' must hold numbers only"),
     (lambda r: {**r, "bic_scores": {"1": 0.5}}, "'bic_scores' must be a list of objects"),
     (lambda r: {**r, "powers": [[0], [1.5], [2]]}, "'powers' must be lists of 1 integers"),
     (lambda r: {**r, "powers": [[0], [True], [2]]}, "'powers' must be lists of 1 integers"),
     (lambda r: {**r, "degree": "2"}, "a degree must be an int or a list of ints, got a string"),
     (lambda r: {**r, "reached_max_degree": 1}, "'reached_max_degree' must be a boolean"),
     (lambda r: {**r, "target": ["y"]}, "'target' must be a string, got a list"),
     (lambda r: {**r, "features": [0]}, "'features' must be a list of strings, got an integer")],
)
def test_load_refuses_bad_files_naming_the_file_and_key(tmp_path, saved_record, edit,
                                                        message):
    path = tmp_path / "m.json"
    edited = edit(json.loads(json.dumps(saved_record)))
    if isinstance(edited, bytes):
        path.write_bytes(edited)
    else:
        path.write_text(edited if isinstance(edited, str) else json.dumps(edited))
    with pytest.raises(ValueError, match=message) as caught:
        load_model(path)
    assert re.match(re.escape(str(path)) + "(: | is not a UTF-8)", str(caught.value))


@pytest.mark.parametrize("key, shape", [("beta_cov", (3, 3)), ("dof_moments", (2, 3, 3))])
def test_a_model_without_covariance_saves_and_loads(tmp_path, saved_record, key, shape):
    """Too little weight among the inliers gives a NaN covariance: NaN answers, no exception."""
    nulls = np.full(shape, None).tolist()
    path = tmp_path / "m.json"
    path.write_text(json.dumps({**saved_record, key: nulls}))
    model = load_model(path)
    assert np.isnan(getattr(model, key)).all()
    if key == "beta_cov":
        assert np.isnan(model.coef_cov).all() and np.isnan(model.coef_se).all()
        assert np.isnan(model.predict_interval([[1.0], [2.0]])).all()
        assert "Standard errors are NaN" in model.summary()
    model.save(path)
    assert json.loads(path.read_text())[key] == nulls


def test_a_failed_save_keeps_the_old_file(tmp_path, saved_record):
    path = tmp_path / "m.json"
    path.write_text("old")
    model = PolynomialModel.from_json(json.dumps(saved_record))
    broken = dataclasses.replace(model, bic_scores={2: float("nan")})
    with pytest.raises(ValueError):
        broken.save(path)
    assert path.read_text() == "old" and list(tmp_path.iterdir()) == [path]
