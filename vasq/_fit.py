"""Fitting one data set: the scaling, the degree search and the model of the chosen candidate."""

from __future__ import annotations

from functools import partial
from typing import Any, Protocol

import numpy as np
from numpy.typing import NDArray
from sklearn.utils import check_random_state

from vasq import _basis, _calibration, _candidate, _degree, _uncertainty
from vasq._model import PolynomialModel
from vasq._scaling import scaling_of
from vasq._uncertainty import NoiseModel

INT32_MAX = 2**31 - 1
Vector = NDArray[np.float64]


class Params(Protocol):
    """The estimator's parameters that the fit reads."""

    degree: Any
    max_degree: int
    method: str
    gamma1: float
    gamma2: float
    random_state: Any


def fit_model(
    params: Params, X: NDArray[np.float64], y: Vector, w: Vector, names: NDArray[Any] | None
) -> PolynomialModel:
    """The model of checked data X, y with sample weights w (names of X's columns, if any)."""
    with np.errstate(over="ignore"):
        total = float(np.sum(w))
    if not np.isfinite(total):
        raise ValueError("sample_weight sums to more than the double range: weights are "
                         "frequencies, rescale them")
    # Rows of zero weight take no part, not even in the scaling.
    kept = w > 0.0
    n_features = X.shape[1]
    counts = (int(np.count_nonzero(kept)), np.unique(X[kept], axis=0).shape[0], total)
    robust = params.method == "robust"
    degrees = _degree.candidates(params.degree, params.max_degree, robust, n_features, counts)
    scaling, ys = scaling_of(X, y, kept)
    T = scaling.features(X)
    seed = int(check_random_state(params.random_state).randint(INT32_MAX))
    fit = partial(
        _candidate.fit_candidate, params.method, T, ys, w, seed=seed,
        gammas=(float(params.gamma1), float(params.gamma2)),
    )
    order = np.argsort(T[:, 0], kind="stable") if n_features == 1 else None
    found = _degree.search(lambda d: fit(degrees=d), degrees, w, order)
    chosen = found.fits[found.best]
    noise = NoiseModel(float(chosen.s0), np.asarray(chosen.scale_coef, dtype=np.float64),
                       (float(chosen.scale_bounds[0]), float(chosen.scale_bounds[1])))
    D = _basis.design_matrix(T, chosen.powers)
    fitted, scale, inlier = D @ chosen.beta, noise.at(T), chosen.weights > 0.0
    cov = _uncertainty.sandwich_covariance(D, ys - fitted, scale, w, inlier, robust)
    pure_error = _calibration.pure_error_sums(X, ys, fitted, scale, w, inlier)

    def key(degrees: tuple[int, ...]) -> int | tuple[int, ...]:
        return int(degrees[0]) if n_features == 1 else tuple(int(d) for d in degrees)

    feature_names = [str(n) for n in names] if names is not None else [
        f"x{k}" for k in range(n_features)
    ]
    return PolynomialModel(
        feature_names=tuple(feature_names),
        target_name="y",
        method=params.method,
        degree=key(chosen.degrees),
        powers=chosen.powers,
        beta=chosen.beta,
        beta_cov=cov,
        scaling=scaling,
        noise=noise,
        weights=chosen.weights,
        pure_error=pure_error,
        bic_scores={key(f.degrees): s for f, s in zip(found.fits, found.scores, strict=True)},
        reached_max_degree=isinstance(params.degree, str) and found.reached_max_degree,
    )

