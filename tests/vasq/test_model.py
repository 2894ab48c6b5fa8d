"""PolynomialModel: evaluation against NumPy, exact JSON round trips, refused files."""

import doctest
import json
import re
from itertools import product

import numpy as np
import pytest
from scipy.stats import t as student_t

import vasq._model
from vasq import PolynomialModel, RobustPolynomialRegressor, load_model
from vasq._uncertainty import Spread


def model(powers, coef, degree, names=None):
    powers = np.asarray(powers)
    names = names or tuple(f"x{k}" for k in range(powers.shape[1]))
    lower = 0 if isinstance(degree, int) else (0,) * len(degree)
    return PolynomialModel(names, "y", powers, np.asarray(coef, dtype=float), degree=degree,
                           method="tournament", mdl_score=-12.5,
                           mdl_scores={lower: 3.25, degree: -12.5}, n_samples=40, n_inliers=31)


def tensor_powers(degrees):
    return np.array(list(product(*(range(d + 1) for d in degrees))))


@pytest.mark.parametrize("deg", [0, 1, 4, 7])
def test_one_feature_predicts_like_polyval(deg):
    rng = np.random.default_rng(deg)
    coef = rng.normal(size=deg + 1)
    x = rng.uniform(-3, 3, 50)
    m = model(np.arange(deg + 1)[:, None], coef, deg)
    np.testing.assert_allclose(m.predict(x[:, None]), np.polynomial.polynomial.polyval(x, coef),
                               rtol=1e-12, atol=1e-12)


@pytest.mark.parametrize("degrees", [(1, 1), (2, 3), (1, 2, 2)])
def test_several_features_predict_term_by_term(degrees):
    rng = np.random.default_rng(sum(degrees))
    powers = tensor_powers(degrees)
    coef = rng.normal(size=len(powers))
    X = rng.uniform(-2, 2, (30, len(degrees)))
    expected = [sum(c * np.prod([xk**pk for xk, pk in zip(row, p)]) for c, p in zip(coef, powers))
                for row in X]
    np.testing.assert_allclose(model(powers, coef, degrees).predict(X), expected, rtol=1e-12, atol=1e-12)


def scaled(powers, beta, degree, centre, half, y_loc, y_scale):
    return PolynomialModel(tuple(f"in {k}" for k in range(len(centre))), "y", np.asarray(powers),
                           np.asarray(beta), degree=degree, method="ols", mdl_score=-1.5,
                           mdl_scores={degree: -1.5}, n_samples=9, n_inliers=8, centre=centre,
                           half=half, y_loc=y_loc, y_scale=y_scale)


@pytest.mark.parametrize(
    "saved",
    [
        model([[0], [1], [2]], [1 / 3, -0.0, 5e-324], 2, names=("in 0",)),
        model([[0, 0], [1, 0], [0, 1], [1, 1]], [1e300, -1e-300, np.pi, -np.e], (1, 1)),
        scaled([[0], [1], [2]], [0.1, -0.0, 7.0], 2, [2451545.0625], [182.5], -0.0, 1e-300),
        scaled([[0, 0], [0, 1], [1, 0]], [1.0, 2.0, 3.0], (1, 1), [1e4, -3.5], [1e-3, 2.0],
               1e308, 5e-324),
    ],
    ids=["one-feature", "two-features", "scaled", "scaled-two-features"],
)
def test_save_and_load_give_back_the_same_model(tmp_path, saved):
    saved.save(tmp_path / "m.json")
    loaded = load_model(tmp_path / "m.json")
    for field in ("beta", "centre", "half", "y_loc", "y_scale"):  # bit for bit, signs of zero too
        bits = [np.asarray(getattr(m, field)).tobytes() for m in (loaded, saved)]
        assert bits[0] == bits[1], field
    np.testing.assert_array_equal(loaded.powers, saved.powers)
    for field in ("feature_names", "target_name", "degree", "method", "mdl_score", "mdl_scores",
                  "n_samples", "n_inliers"):
        assert getattr(loaded, field) == getattr(saved, field), field
    assert type(loaded.degree) is type(saved.degree)


def test_files_of_the_first_version_still_load_and_predict_plain_powers(tmp_path):
    record = {"format": "vasq-polynomial-model/1", "features": ["t"], "target": "v", "degree": 2,
              "method": "ols", "powers": [[0], [1], [2]], "coef": [0.5, -2.0, 0.25],
              "mdl_score": 1.0, "mdl_scores": [{"degree": 2, "score": 1.0}], "n_samples": 10,
              "n_inliers": 9}
    (tmp_path / "old.json").write_text(json.dumps(record))
    loaded = load_model(tmp_path / "old.json")
    x = np.linspace(-3.0, 5.0, 17)
    np.testing.assert_allclose(loaded.predict(x[:, None]), 0.5 - 2.0 * x + 0.25 * x**2,
                               rtol=1e-15, atol=1e-15)
    np.testing.assert_array_equal(loaded.coef, [0.5, -2.0, 0.25])


def test_coefficients_in_the_units_of_the_data_undo_the_scaling():
    # y = 5 + 4 * ((x - 10) / 2) ** 2 = 5 + (x - 10) ** 2 = 105 - 20 x + x ** 2, exactly
    m = scaled([[0], [1], [2]], [0.0, 0.0, 1.0], 2, [10.0], [2.0], 5.0, 4.0)
    np.testing.assert_array_equal(m.coef, [105.0, -20.0, 1.0])
    np.testing.assert_array_equal(m.predict([[10.0], [12.0], [0.0]]), [5.0, 9.0, 105.0])


def test_model_keeps_its_own_copies():
    powers, coef = np.array([[0], [1]]), np.array([1.0, 2.0])
    m = model(powers, coef, 1)
    powers[1, 0], coef[1] = 3, -5.0
    np.testing.assert_array_equal(m.predict([[2.0]]), [5.0])


def test_from_estimator_predicts_like_the_estimator():
    rng = np.random.default_rng(3)
    x = rng.uniform(0, 5, 80)[:, None]
    y = 2 - x[:, 0] + 0.3 * x[:, 0] ** 2 + rng.normal(0, 0.1, 80)
    est = RobustPolynomialRegressor(degree=2, random_state=0).fit(x, y)
    m = PolynomialModel.from_estimator(est)
    assert m.feature_names == ("x0",) and m.n_samples == 80
    assert m.n_inliers == est.inlier_mask_.sum() and m.degree == est.degree_
    grid = np.linspace(-1, 6, 30)[:, None]
    assert m.predict(grid).tobytes() == est.predict(grid).tobytes()


@pytest.mark.parametrize(
    ("X", "message"),
    [(np.ones(3), r"shape \(n_samples, 2\), got \(3,\)"),
     (np.ones((3, 3)), r"shape \(n_samples, 2\), got \(3, 3\)"),
     ([["a", "b"]], "could not convert")],
    ids=["1-D", "three-columns", "text"],
)
def test_predict_refuses_inputs_of_the_wrong_shape(X, message):
    with pytest.raises(ValueError, match=message):
        model([[0, 0], [1, 1]], [1.0, 2.0], (1, 1)).predict(X)


@pytest.mark.parametrize(
    ("powers", "beta", "scaling", "message"),
    [([0, 1], [1.0, 2.0], {}, "shape \\(n_terms, 1\\)"),
     (np.zeros((0, 1), dtype=int), [], {}, "at least one term"),
     ([[0], [-1]], [1.0, 2.0], {}, "powers must be from 0 to 2147483647"),
     ([[0], [2**31]], [1.0, 2.0], {}, "powers must be from 0 to 2147483647"),
     ([[0.0], [1.0]], [1.0, 2.0], {}, "must be integers"),
     ([[0], [1]], [1.0], {}, r"beta must have shape \(2,\)"),
     ([[0], [1]], [1.0, np.inf], {}, "beta must be finite"),
     ([[0], [1]], [1.0, 2.0], {"centre": [1.0, 2.0]}, r"centre must have shape \(1,\)"),
     ([[0], [1]], [1.0, 2.0], {"centre": [np.nan]}, "centre must be finite"),
     ([[0], [1]], [1.0, 2.0], {"half": [0.0]}, "half-widths and y_scale must be positive"),
     ([[0], [1]], [1.0, 2.0], {"y_scale": -1.0}, "half-widths and y_scale must be positive"),
     ([[0], [1]], [1.0, 2.0], {"y_loc": np.inf}, "y_loc finite"),
     ([[0], [2]], [1.0, 2.0], {"centre": [3.0]}, "must hold every term below each of its terms"),
     ([[1]], [1.0], {"y_loc": 3.0}, "down to the constant")],
    ids=["1-D-powers", "no-terms", "negative", "huge-power", "float-powers", "short-beta",
         "infinite-beta", "long-centre", "nan-centre", "zero-half", "negative-scale",
         "infinite-location", "gap-in-terms", "no-constant"],
)
def test_inconsistent_models_are_refused(powers, beta, scaling, message):
    with pytest.raises(ValueError, match=message):
        PolynomialModel(("x",), "y", np.asarray(powers), np.asarray(beta), degree=1, method="ols",
                        mdl_score=0.0, mdl_scores={}, n_samples=2, n_inliers=2, **scaling)


@pytest.mark.parametrize(
    ("edit", "message"),
    [(lambda r: "not json {", "m.json is not valid JSON: Expecting value"),
     (lambda r: "[" * 100_000 + "]" * 100_000, "m.json is nested too deeply"),
     (lambda r: b"\xff\xfe{}", "m.json is not a UTF-8 text file"),
     (lambda r: [r], "not a vasq model file"),
     (lambda r: {**r, "format": "other/1"}, "not a vasq model file"),
     (lambda r: {k: v for k, v in r.items() if k != "beta"}, "m.json: missing key 'beta'"),
     (lambda r: {k: v for k, v in r.items() if k != "y_scale"}, "missing key 'y_scale'"),
     (lambda r: {**r, "mdl_scores": [{"score": 1.0}]}, "missing key 'degree'"),
     (lambda r: {**r, "beta": [1.0]}, r"beta must have shape \(2,\)"),
     (lambda r: {**r, "beta": "1, 2"}, "'beta' must be a list of numbers, got a string"),
     (lambda r: {**r, "beta": {"0": 1.0}}, "'beta' must be a list of numbers, got an object"),
     (lambda r: {**r, "beta": ["1", "2"]}, "'beta' items must be a number, got a string"),
     (lambda r: {**r, "beta": [True, 2.0]}, "'beta' items must be a number, got a boolean"),
     (lambda r: {**r, "beta": [10**400, 2.0]}, "holds an integer beyond double precision"),
     (lambda r: {**r, "beta": [1.0, [[2.0]]]}, "'beta' items must be a number, got a list"),
     (lambda r: {**r, "y_loc": None}, "'y_loc' must be a number, got null"),
     (lambda r: {**r, "mdl_scores": {"1": 0.5}}, "'mdl_scores' must be a list of objects"),
     (lambda r: {**r, "mdl_scores": ["1"]}, "'mdl_scores' must be a list of objects, got a string"),
     (lambda r: {**r, "powers": [[0], [1.5]]}, "'powers' must be lists of 1 integers"),
     (lambda r: {**r, "powers": [[0], [True]]}, "'powers' must be lists of 1 integers"),
     (lambda r: {**r, "powers": [[0], [1, 0]]}, "'powers' must be lists of 1 integers"),
     (lambda r: {**r, "powers": [0, 1]}, "'powers' must be a list of lists of integers"),
     (lambda r: {**r, "degree": "2"}, "a degree must be an int or a list of ints, got a string"),
     (lambda r: {**r, "degree": False}, "a degree must be an int or a list of ints"),
     (lambda r: {**r, "n_samples": 2.5}, "'n_samples' must be an integer, got a number"),
     (lambda r: {**r, "n_inliers": True}, "'n_inliers' must be an integer, got a boolean"),
     (lambda r: {**r, "target": ["y"]}, "'target' must be a string, got a list"),
     (lambda r: {**r, "features": [0]}, "'features' must be a list of strings, got an integer")],
    ids=["not-json", "deep", "not-utf8", "list", "format", "missing", "missing-scale",
         "missing-nested", "short", "string", "object", "string-items", "boolean-item",
         "huge-integer", "nested-item", "null", "scores-object", "scores-strings", "float-power",
         "boolean-power", "long-power", "flat-powers", "degree", "boolean-degree", "count",
         "boolean-count", "target", "feature-name"],
)
def test_load_refuses_malformed_files_naming_the_file_and_field(tmp_path, edit, message):
    path = tmp_path / "m.json"
    model([[0], [1]], [1.0, 2.0], 1).save(path)
    edited = edit(json.loads(path.read_text()))
    if isinstance(edited, bytes):
        path.write_bytes(edited)
    else:
        path.write_text(edited if isinstance(edited, str) else json.dumps(edited))
    with pytest.raises(ValueError, match=message) as caught:
        load_model(path)
    assert str(caught.value).startswith(str(path))


def test_load_of_a_raw_file_names_its_missing_coefficients(tmp_path):
    path = tmp_path / "old.json"
    model([[0], [1]], [1.0, 2.0], 1).save(path)
    record = json.loads(path.read_text())
    for key in ("beta", "centre", "half", "y_loc", "y_scale"):
        del record[key]
    path.write_text(json.dumps({**record, "format": "vasq-polynomial-model/1"}))
    with pytest.raises(ValueError, match=f"^{re.escape(str(path))}: missing key 'coef'$"):
        load_model(path)


def test_the_docstring_examples_hold():
    result = doctest.testmod(vasq._model, optionflags=doctest.NORMALIZE_WHITESPACE)
    assert result.attempted > 0 and result.failed == 0


def hetero_data(n=120, seed=11):
    """A quadratic with noise growing along x and every eighth point a gross outlier."""
    rng = np.random.default_rng(seed)
    x = rng.uniform(1.0, 9.0, n)
    y = 2.0 - 0.5 * x + 0.1 * x**2 + rng.normal(0.0, 0.05 * x)
    y[::8] += 25.0
    return x[:, None], y


def spread(cov, dof=17.0, inflation=1.05, coef=(0.0, 0.5), bounds=(-0.6, 0.4)):
    return Spread(np.asarray(cov, dtype=float), dof, inflation,
                  {"kind": "loglinear", "s0": 0.4, "coef": list(coef), "bounds": list(bounds)})


COV = [[0.04, 0.01, -0.01], [0.01, 0.09, 0.0], [-0.01, 0.0, 0.25]]


def with_spread(cov=COV, **kwargs):
    """y = 10 + 3 * (1 - 2 t + t^2 / 2) in t = (x - 4) / 2, with a known spread."""
    return PolynomialModel(("x",), "y", np.array([[0], [1], [2]]), np.array([1.0, -2.0, 0.5]),
                           degree=2, method="tournament", mdl_score=0.0, mdl_scores={2: 0.0},
                           n_samples=20, n_inliers=19, centre=[4.0], half=[2.0], y_loc=10.0,
                           y_scale=3.0, spread=spread(cov, **kwargs),
                           inlier_mask=np.arange(20) != 7)


class TestSavedUncertainty:
    @pytest.mark.parametrize(
        ("X", "y", "params"),
        [(*hetero_data(), {"degree": "auto", "random_state": 0}),
         (*hetero_data(60, seed=2), {"degree": 2, "method": "ols"}),
         (np.random.default_rng(4).uniform(-3, 3, (80, 2)),
          np.random.default_rng(5).normal(size=80), {"degree": (1, 2), "random_state": 1})],
        ids=["robust-heteroscedastic", "ols", "two-features"],
    )
    def test_reloaded_model_gives_the_estimators_intervals_to_the_bit(self, tmp_path, X, y,
                                                                      params):
        est = RobustPolynomialRegressor(n_chains=8, n_warmup=60, n_deep=200, n_elite=2,
                                        **params).fit(X, y)
        PolynomialModel.from_estimator(est).save(tmp_path / "m.json")
        loaded = load_model(tmp_path / "m.json")
        np.testing.assert_array_equal(loaded.inlier_mask, est.inlier_mask_)
        assert loaded.inlier_mask.dtype == bool
        lo, hi = X.min(axis=0), X.max(axis=0)
        new = lo + (hi - lo) * np.random.default_rng(0).uniform(-0.2, 1.2, (50, X.shape[1]))
        for a, b in zip(loaded.predict(new, return_std=True), est.predict(new, return_std=True)):
            assert a.tobytes() == b.tobytes()
        for level, kind in product((0.5, 0.95, 0.999), ("confidence", "prediction")):
            for a, b in zip(loaded.predict_interval(new, level, kind),
                            est.predict_interval(new, level=level, kind=kind)):
                assert a.tobytes() == b.tobytes(), (level, kind)

    def test_intervals_follow_the_stored_numbers(self):
        m = with_spread()
        x = np.array([1.0, 4.0, 5.5, 9.0])
        t = (x - 4.0) / 2.0
        D = np.column_stack([np.ones_like(t), t, t * t])
        sd = np.sqrt(np.einsum("ij,jk,ik->i", D, m.spread.cov, D))
        noise = 0.4 * np.exp(np.clip(0.5 * t, -0.6, 0.4))  # both bounds hold, at x = 1 and 9
        q = student_t.ppf(0.95, 17.0)  # a 90 % interval
        mean = 10.0 + 3.0 * (D @ [1.0, -2.0, 0.5])
        mean_got, sd_got = m.predict(x[:, None], return_std=True)
        np.testing.assert_allclose(mean_got, mean, rtol=1e-14)
        np.testing.assert_allclose(sd_got, 3.0 * sd, rtol=1e-14)
        np.testing.assert_allclose(m.noise_scale(x[:, None]), 3.0 * noise, rtol=1e-14)
        low, high = m.predict_interval(x[:, None], 0.9)
        np.testing.assert_allclose(low, mean - 3.0 * q * sd, rtol=1e-14)
        np.testing.assert_allclose(high, mean + 3.0 * q * sd, rtol=1e-14)
        wide = 3.0 * q * np.sqrt(sd**2 + (1.05 * noise) ** 2)
        low, high = m.predict_interval(x[:, None], 0.9, kind="prediction")
        np.testing.assert_allclose(low, mean - wide, rtol=1e-14)
        np.testing.assert_allclose(high, mean + wide, rtol=1e-14)

    def test_a_fit_without_a_covariance_saves_and_gives_nan_intervals(self, tmp_path):
        saved = with_spread(np.full((3, 3), np.nan), dof=np.nan, inflation=np.nan)
        saved.save(tmp_path / "m.json")
        assert '"dof": null' in (tmp_path / "m.json").read_text()
        loaded = load_model(tmp_path / "m.json")
        for kind in ("confidence", "prediction"):
            assert np.isnan(loaded.predict_interval([[3.0], [5.0]], kind=kind)).all()
        assert np.isnan(loaded.predict([[3.0]], return_std=True)[1]).all()

    @pytest.mark.parametrize("version", ["written-before", "first"])
    def test_older_files_load_and_refuse_intervals(self, tmp_path, version):
        path = tmp_path / "m.json"
        with_spread().save(path)
        record = json.loads(path.read_text())
        assert {"uncertainty", "inlier_mask"} <= record.keys()
        del record["uncertainty"]
        if version == "first":
            record = {k: v for k, v in record.items() if k not in ("beta", "centre", "half")}
            record.update(format="vasq-polynomial-model/1", coef=[1.0, 2.0, 3.0], y_loc=0.0)
        path.write_text(json.dumps(record))
        loaded = load_model(path)
        assert loaded.spread is None
        assert loaded.predict([[0.0], [2.0]]).shape == (2,)
        message = "the model holds no uncertainty: its file was written without it"
        for call in (lambda: loaded.predict_interval([[1.0]]),
                     lambda: loaded.predict_interval([[1.0]], kind="prediction"),
                     lambda: loaded.predict([[1.0]], return_std=True),
                     lambda: loaded.noise_scale([[1.0]])):
            with pytest.raises(ValueError, match=message):
                call()

    @pytest.mark.parametrize(
        ("edit", "message"),
        [(lambda u: u.update(covariance=[[1.0, 0.0], [0.0]]), "square list of lists"),
         (lambda u: u.update(covariance=[[1.0]]), r"covariance must be .* shape \(3, 3\)"),
         (lambda u: u["covariance"][0].__setitem__(1, "0"), "'covariance' items must be a number"),
         (lambda u: u.update(dof=-2.0), "dof must be a positive number or NaN"),
         (lambda u: u.update(noise_inflation="1"), "'noise_inflation' must be a number"),
         (lambda u: u.pop("noise_model"), "missing key 'noise_model'"),
         (lambda u: u["noise_model"].update(kind="quadratic"), 'of kind "loglinear"'),
         (lambda u: u["noise_model"].update(coef=[1.0]), "coef must be 2 finite numbers"),
         (lambda u: u["noise_model"].update(coef=[1.0, True]), "coef must be 2 finite"),
         (lambda u: u["noise_model"].update(bounds=[0.5, -0.5]), "bounds must be in increasing"),
         (lambda u: u["noise_model"].update(s0=0.0), "s0 must be a positive number")],
        ids=["ragged", "shape", "string-entry", "dof", "inflation", "no-noise-model", "kind",
             "coef-length", "coef-boolean", "bounds-order", "s0"],
    )
    def test_malformed_uncertainty_is_refused(self, tmp_path, edit, message):
        path = tmp_path / "m.json"
        with_spread().save(path)
        record = json.loads(path.read_text())
        edit(record["uncertainty"])
        path.write_text(json.dumps(record))
        with pytest.raises(ValueError, match=message) as caught:
            load_model(path)
        assert str(caught.value).startswith(str(path))

    @pytest.mark.parametrize(
        ("mask", "message"),
        [("1" * 19 + "x", "must be a string of 0 and 1"), (["1"] * 20, "must be a string"),
         ("1" * 19, r"shape \(20,\)"), ("1" * 20, "marks 20 inliers, not n_inliers=19")],
        ids=["letter", "list", "short", "count"],
    )
    def test_malformed_inlier_masks_are_refused(self, tmp_path, mask, message):
        path = tmp_path / "m.json"
        with_spread().save(path)
        record = json.loads(path.read_text())
        path.write_text(json.dumps({**record, "inlier_mask": mask}))
        with pytest.raises(ValueError, match=message):
            load_model(path)
