"""RobustPolynomialRegressor as a scikit-learn citizen, and its refusal of bad input."""

import doctest
import pickle

import numpy as np
import pandas as pd
import pytest
from sklearn.base import clone
from sklearn.model_selection import GridSearchCV, cross_val_score
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import FunctionTransformer
from sklearn.utils.estimator_checks import parametrize_with_checks

import vasq._estimator
from vasq import RobustPolynomialRegressor


@parametrize_with_checks([RobustPolynomialRegressor(max_degree=1)])
def test_scikit_learn_conventions(estimator, check):
    check(estimator)


def test_pickle_and_clone_round_trips(quadratic):
    X, y = quadratic()
    model = RobustPolynomialRegressor(random_state=3).fit(X, y)
    again = pickle.loads(pickle.dumps(model))
    np.testing.assert_array_equal(again.predict(X), model.predict(X))
    np.testing.assert_array_equal(again.coef_, model.coef_)
    refit = clone(model).fit(X, y)
    np.testing.assert_array_equal(refit.coef_, model.coef_)
    assert clone(model).get_params() == model.get_params()


def test_refit_on_two_features_drops_the_one_feature_polynomial(quadratic):
    X, y = quadratic()
    model = RobustPolynomialRegressor(1, random_state=0).fit(X, y)
    np.testing.assert_array_equal(model.polynomial_.coef, model.coef_)
    model.fit(np.hstack([X, X**0.5]), y)
    assert not hasattr(model, "polynomial_") and model.coef_.shape == (3,)
    with pytest.raises(AttributeError, match="polynomial_ is only defined for one feature"):
        model.polynomial_


def test_pipeline_grid_search_and_cross_validation(quadratic):
    X, y = quadratic(120)
    pipe = make_pipeline(FunctionTransformer(), RobustPolynomialRegressor(random_state=0))
    search = GridSearchCV(pipe, {"robustpolynomialregressor__degree": [1, 2]}, cv=3).fit(X, y)
    assert search.best_params_ == {"robustpolynomialregressor__degree": 2}
    scores = cross_val_score(RobustPolynomialRegressor(random_state=0), X, y, cv=3)
    assert scores.shape == (3,) and scores.min() > 0.99


def test_data_frame_columns_become_feature_names(quadratic):
    X, y = quadratic()
    frame = pd.DataFrame({"time": X[:, 0], "depth": X[:, 0] ** 0.5})
    model = RobustPolynomialRegressor(1, random_state=0).fit(frame, y)
    np.testing.assert_array_equal(model.feature_names_in_, ["time", "depth"])
    assert model.n_features_in_ == 2 and model.degree_ == (1, 1)


# Module-level: the refusal cases below are parameters, which fixtures cannot feed.
X_OK = np.linspace(0.0, 4.0, 20)[:, None]
Y_OK = 2.0 - X_OK[:, 0] + 0.5 * X_OK[:, 0] ** 2


@pytest.mark.parametrize(
    ("X", "y", "params", "message"),
    [
        (X_OK, Y_OK[:-1], {}, r"inconsistent numbers of samples: \[20, 19\]"),
        (np.where(np.arange(20)[:, None] == 3, np.nan, X_OK), Y_OK, {}, "Input X contains NaN"),
        (X_OK, np.where(np.arange(20) == 5, np.inf, Y_OK), {}, "Input y contains infinity"),
        (X_OK, np.array([*Y_OK[:-1], None], dtype=object), {}, "Input y contains NaN or None"),
        (X_OK[:, 0], Y_OK, {}, "Expected a 2-dimensional container|Expected 2D array"),
        (np.full((20, 1), "a"), Y_OK, {}, "could not convert|Unable to convert"),
        (X_OK, Y_OK, {"degree": 10}, r"n_samples=20 is too few for degree 10: its 11 terms need"),
        (X_OK[:1], Y_OK[:1], {},
         r"n_samples=1 is too few for degree 0: its 1 terms need at least 2"),
        (np.hstack([X_OK] * 3), Y_OK, {"degree": (1, 2)}, "degree has 2 entries but X has 3"),
        (X_OK, Y_OK, {"degree": -1}, "The 'degree' parameter of RobustPolynomialRegressor"),
        (X_OK, Y_OK, {"degree": "high"}, "The 'degree' parameter"),
        (X_OK, Y_OK, {"degree": 2.5}, "The 'degree' parameter"),
        (X_OK, Y_OK, {"degree": (1, -2)}, 'degree must be "auto", an integer >= 0 or one per'),
        (X_OK, Y_OK, {"degree": ()}, 'degree must be "auto"'),
        (X_OK, Y_OK, {"method": "tournament"}, r"The 'method' parameter .* Got 'tournament'"),
        (X_OK, Y_OK, {"max_degree": 0}, "The 'max_degree' parameter"),
        (X_OK, Y_OK, {"max_degree": 2**31}, "The 'max_degree' parameter"),
        (X_OK, Y_OK, {"gamma2": np.nan}, "The 'gamma2' parameter"),
        (X_OK, Y_OK, {"gamma1": -1.0}, "The 'gamma1' parameter"),
        (X_OK, Y_OK, {"gamma1": np.inf}, "The 'gamma1' parameter"),
        (np.hstack([X_OK] * 4), Y_OK, {"method": "penalized", "degree": 1},
         "method='penalized' supports at most 3 features, got 4"),
    ],
    ids=lambda v: None,
)
def test_bad_input_is_refused_before_the_core_runs(X, y, params, message):
    with pytest.raises(ValueError, match=message):
        RobustPolynomialRegressor(**params).fit(X, y)


def read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


@pytest.mark.parametrize("layout", [np.ascontiguousarray, np.asfortranarray, read_only,
                                    lambda a: np.repeat(a, 2, axis=0)[::2]])
def test_arrays_in_any_layout_fit_as_the_lists_that_scikit_learn_checks(layout):
    rng = np.random.default_rng(2)
    X = rng.uniform(-1.0, 1.0, (40, 2))
    y = 1.0 + X[:, 0] - X[:, 1] ** 2 + rng.normal(0.0, 0.1, 40)
    y[::9] += 3.0
    listed = RobustPolynomialRegressor(random_state=1).fit(X.tolist(), y.tolist()).model_
    arrays = RobustPolynomialRegressor(random_state=1).fit(layout(X), layout(y)).model_
    for name in ("beta", "weights", "beta_cov", "dof_moments"):
        np.testing.assert_array_equal(getattr(arrays, name), getattr(listed, name), strict=True)


def test_predict_refuses_another_number_of_features():
    model = RobustPolynomialRegressor(1).fit(X_OK, Y_OK)
    message = "X has 2 features, but RobustPolynomialRegressor is expecting 1"
    with pytest.raises(ValueError, match=message):
        model.predict(np.hstack([X_OK, X_OK]))


def test_the_docstring_example_holds():
    result = doctest.testmod(vasq._estimator, optionflags=doctest.NORMALIZE_WHITESPACE)
    assert result.attempted > 0 and result.failed == 0
