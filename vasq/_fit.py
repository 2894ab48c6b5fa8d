"""Fitting one data set: the scaling, the degree search and the model of the chosen candidate."""

from __future__ import annotations

import math
import threading
from numbers import Integral
from typing import Any, Protocol, cast

import numpy as np
from numpy.typing import NDArray
from sklearn.utils import check_random_state

import vasq_core as vc
from vasq import _calibration, _candidate, _degree
from vasq._model import PolynomialModel
from vasq._scaling import scaling_of

INT32_MAX = 2**31 - 1
# The largest spread of var_weights, as log(largest / smallest).
MAX_LOG_PRECISION_SPREAD = 100.0 * np.log(10.0)
Vector = NDArray[np.float64]
# Each thread's generator for integer seeds, reseeded on every fit.
_SEEDED = threading.local()


class Params(Protocol):
    """The estimator's parameters that the fit reads."""

    degree: Any
    max_degree: int
    method: str
    noise: str
    gamma1: float
    gamma2: float
    random_state: Any


def fit_model(
    params: Params, X: NDArray[np.float64], y: Vector, w: Vector, v: Vector | None,
    names: NDArray[Any] | None,
) -> PolynomialModel:
    """The model of checked data X, y with sample weights w and var_weights v (None: none).

    `names` are those of X's columns, if any.
    """
    with np.errstate(over="ignore"):
        total = float(w.sum())
    if not np.isfinite(total):
        raise ValueError("sample_weight sums to more than the double range: weights are "
                         "frequencies, rescale them (var_weights take relative precisions)")
    robust = params.method == "robust"
    if not robust and params.noise not in ("auto", "constant"):
        raise ValueError(f"noise={params.noise!r} needs method='robust': least squares has "
                         "constant noise (over the root of var_weights)")
    # Rows of zero weight take no part, not even in the scaling.
    kept = w > 0.0
    v, unit_var_weight = relative_precisions(v, w)
    n_features = X.shape[1]
    n_distinct = int(_calibration.levels(X[kept]).max(initial=-1)) + 1
    counts = (int(np.count_nonzero(kept)), n_distinct, total)
    degrees = _degree.candidates(params.degree, params.max_degree, robust, n_features, counts)
    scaling, ys = scaling_of(X, y, kept)
    del kept  # a byte a row, not held through the search
    T = scaling.features(X)
    seed = core_seed(params.random_state)
    if robust:
        found = _degree.robust_search(T, ys, w, v, (params.noise, scaling.zero), degrees, seed)
    else:
        fits = _candidate.least_squares_candidates(
            params.method, T, ys, w, v, degrees, (float(params.gamma1), float(params.gamma2)))
        order = np.argsort(T[:, 0], kind="stable") if n_features == 1 else None
        found = _degree.search(fits, degrees, w, order)
    chosen = found.fits[found.best]
    # The core's uncertainty of the chosen curve, its rows in blocks: the covariances of the
    # coefficients and of the noise model, the dof moments, the scale's dof.
    fitted = vc.fit_uncertainty(
        [T[:, k] for k in range(n_features)], chosen.powers.tolist(), chosen.beta, ys, w, v,
        chosen.weights, chosen.noise.kind, chosen.noise.params, scaling.zero, robust)
    # Row-major, as a loaded model holds them: einsum's sums follow the layout.
    beta_cov, noise_cov = (np.ascontiguousarray(fitted[k]) for k in ("beta_cov", "noise_cov"))
    inlier = chosen.weights > 0.0
    # The levels again rather than held through the search: 8 bytes a row.
    pure_error = _calibration.pure_error_sums(
        _calibration.levels(X[w > 0.0]), ys, fitted["mean"], fitted["scale"], w, inlier)

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
        beta_cov=beta_cov,
        scaling=scaling,
        noise=chosen.noise,
        noise_cov=noise_cov,
        unit_var_weight=unit_var_weight,
        weights=chosen.weights,
        pure_error=pure_error,
        dof_moments=fitted["dof_moments"],
        dof=fitted["scale_dof"] if robust else residual_dof(w, inlier, chosen.beta.size),
        # NaN: a degree "auto" left under constant noise, not comparable with the others.
        bic_scores={key(f.degrees): s for f, s in zip(found.fits, found.scores, strict=True)
                    if not math.isnan(s)},
        reached_max_degree=isinstance(params.degree, str) and found.reached_max_degree,
    )


def core_seed(random_state: Any) -> int:
    """The core's seed: ``check_random_state(random_state).randint(INT32_MAX)``.

    An integer reseeds this thread's generator, the same state as a new one of that seed:
    a new RandomState first fills its 624 words from a SeedSequence, about 0.3 ms.
    """
    if not isinstance(random_state, Integral):
        return int(check_random_state(random_state).randint(INT32_MAX))
    generator = getattr(_SEEDED, "generator", None)
    if generator is None:
        generator = _SEEDED.generator = np.random.RandomState()
    generator.seed(cast(int, random_state))
    return int(generator.randint(INT32_MAX))


def relative_precisions(v: Vector | None, w: Vector) -> tuple[Vector, float]:
    """var_weights over their geometric mean weighted by w, and that mean.

    The rows of zero weight get 1. Their scale then changes nothing; the mean is the
    var_weight of a reading whose sd is the noise model's, by which a new reading's
    var_weight is divided in turn. Without var_weights (None) every row gets 1, of mean 1.
    """
    if v is None:
        # w itself when it is all ones (no sample_weight): one vector of the rows fewer.
        return (w if (w == 1.0).all() else np.ones(w.size)), 1.0
    kept = w > 0.0
    if (v[kept] <= 0.0).any():
        raise ValueError("var_weights must be > 0 on the rows of positive sample_weight "
                         "(leave a row out with a sample_weight of 0)")
    logs = np.log(v[kept])
    # Local variances s^2 / v of a wider spread leave the double range on squaring.
    if float(logs.max() - logs.min()) > MAX_LOG_PRECISION_SPREAD:
        raise ValueError("var_weights span more than a factor of 1e100 from smallest to "
                         "largest on the rows of positive sample_weight: no measurement has "
                         "such a range of precisions, and their variances leave the double "
                         "range")
    # A sum, not np.dot: the BLAS splits a long dot product among its threads, and the
    # rounding, so every result, would follow their number.
    weights = w[kept]
    centre = float((weights * logs).sum() / weights.sum())
    unit = float(np.exp(centre))
    relative: Vector = np.where(kept, v / unit, 1.0)
    return relative, unit


def residual_dof(w: Vector, inlier: NDArray[np.bool_], n_terms: int) -> float:
    """Student's degrees of freedom: the inliers' total frequency weight less the terms.

    NaN when that is not positive.
    """
    dof = float(w[inlier].sum()) - n_terms
    return dof if dof > 0.0 else float("nan")
