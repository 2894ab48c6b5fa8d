"""PolynomialModel: evaluation against NumPy, exact JSON round trips, refused files."""

import json
from itertools import product

import numpy as np
import pytest

from vasq import PolynomialModel, RobustPolynomialRegressor, load_model


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


@pytest.mark.parametrize(
    ("powers", "coef", "degree"),
    [
        ([[0], [1], [2]], [1 / 3, -0.0, 5e-324], 2),
        ([[0, 0], [1, 0], [0, 1], [1, 1]], [1e300, -1e-300, np.pi, -np.e], (1, 1)),
    ],
    ids=["one-feature", "two-features"],
)
def test_save_and_load_give_back_the_same_model(tmp_path, powers, coef, degree):
    saved = model(powers, coef, degree, names=tuple(f"in {k}" for k in range(len(powers[0]))))
    saved.save(tmp_path / "m.json")
    loaded = load_model(tmp_path / "m.json")
    assert loaded.coef.tobytes() == saved.coef.tobytes()  # bit for bit, the sign of zero too
    np.testing.assert_array_equal(loaded.powers, saved.powers)
    for field in ("feature_names", "target_name", "degree", "method", "mdl_score", "mdl_scores",
                  "n_samples", "n_inliers"):
        assert getattr(loaded, field) == getattr(saved, field), field
    assert type(loaded.degree) is type(degree)


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
    np.testing.assert_allclose(m.predict(grid), est.predict(grid), rtol=1e-12, atol=1e-12)


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
    ("powers", "coef", "message"),
    [([0, 1], [1.0, 2.0], "shape \\(n_terms, 1\\)"),
     ([[0], [-1]], [1.0, 2.0], "must not be negative"),
     ([[0.0], [1.0]], [1.0, 2.0], "must be integers"),
     ([[0], [1]], [1.0], r"coef must have shape \(2,\)"),
     ([[0], [1]], [1.0, np.inf], "finite")],
    ids=["1-D-powers", "negative", "float-powers", "short-coef", "infinite-coef"],
)
def test_inconsistent_models_are_refused(powers, coef, message):
    with pytest.raises(ValueError, match=message):
        PolynomialModel(("x",), "y", np.asarray(powers), np.asarray(coef), degree=1, method="ols",
                        mdl_score=0.0, mdl_scores={}, n_samples=2, n_inliers=2)


@pytest.mark.parametrize(
    ("edit", "message"),
    [(lambda r: "not json {", "Expecting value"),
     (lambda r: [r], "not a vasq model file"),
     (lambda r: {**r, "format": "other/1"}, "not a vasq model file"),
     (lambda r: {k: v for k, v in r.items() if k != "coef"}, "malformed model: 'coef'"),
     (lambda r: {**r, "coef": [1.0]}, r"malformed model: coef must have shape \(2,\)"),
     (lambda r: {**r, "coef": "1, 2"}, "'coef' must be of type list"),
     (lambda r: {**r, "powers": [[0], [1.5]]}, "powers must be integers"),
     (lambda r: {**r, "degree": "2"}, "a degree must be an int or a list of ints"),
     (lambda r: {**r, "n_samples": 2.5}, "'n_samples' must be of type int"),
     (lambda r: {**r, "features": [0]}, "feature names must be strings")],
    ids=["not-json", "list", "format", "missing", "short", "string", "float-power", "degree", "count",
         "feature-name"],
)
def test_load_refuses_malformed_files(tmp_path, edit, message):
    path = tmp_path / "m.json"
    model([[0], [1]], [1.0, 2.0], 1).save(path)
    edited = edit(json.loads(path.read_text()))
    path.write_text(edited if isinstance(edited, str) else json.dumps(edited))
    with pytest.raises(ValueError, match=message):
        load_model(path)
