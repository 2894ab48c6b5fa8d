"""Fitting data sets: the scaling, the degree search and the model of the chosen candidate."""

from __future__ import annotations

import itertools
import math
import threading
from numbers import Integral
from typing import Any, NamedTuple, Protocol, cast

import numpy as np
from numpy.typing import NDArray
from sklearn.utils import check_random_state

import vasq_core as vc
from vasq import _basis, _calibration, _candidate, _degree
from vasq._model import PolynomialModel
from vasq._scaling import Scaling, scaling_of

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


class Prepared(NamedTuple):
    """A data set checked and scaled for the core, and what its model keeps of it."""

    X: NDArray[np.float64]
    ys: Vector  # y in the scaled units
    w: Vector
    v: Vector  # relative var_weights
    unit_var_weight: float
    scaling: Scaling
    T: NDArray[np.float64]  # the features in the scaled coordinates
    degrees: list[tuple[int, ...]]  # the candidates, lowest first
    seed: int
    names: NDArray[Any] | None


def prepare(
    params: Params, X: NDArray[np.float64], y: Vector, w: Vector, v: Vector | None,
    names: NDArray[Any] | None,
) -> Prepared:
    """Checked data X, y with sample weights w and var_weights v (None: none), ready to fit.

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
    n_distinct = int(_calibration.levels(X[kept]).max(initial=-1)) + 1
    counts = (int(np.count_nonzero(kept)), n_distinct, total)
    degrees = _degree.candidates(params.degree, params.max_degree, robust, X.shape[1], counts)
    scaling, ys = scaling_of(X, y, kept)
    del kept  # a byte a row, not held through the search
    return Prepared(X, ys, w, v, unit_var_weight, scaling, scaling.features(X), degrees,
                    core_seed(params.random_state), names)


def fit_model(
    params: Params, X: NDArray[np.float64], y: Vector, w: Vector, v: Vector | None,
    names: NDArray[Any] | None,
) -> PolynomialModel:
    """The model of checked data X, y with sample weights w and var_weights v (None: none).

    `names` are those of X's columns, if any.
    """
    [model] = fit_models(params, [prepare(params, X, y, w, v, names)])
    if isinstance(model, ValueError):
        raise model
    return model


def fit_models(params: Params, data: list[Prepared]) -> list[PolynomialModel | ValueError]:
    """The model of every data set, or the ValueError that stopped its fit.

    The data sets have one number of features, so that their candidates are the first of the
    same degrees (`_degree.candidates`). The robust fits are one call of the core
    (`vasq_core.fit_series`), which spreads the data sets over its threads (a lone one's
    candidates) without the interpreter lock.
    """
    if params.method != "robust":
        return [_guarded(_least_squares_model, params, d) for d in data]
    if not data:
        return []
    found = _robust_fits(params, data, max((d.degrees for d in data), key=len))
    auto = isinstance(params.degree, str)
    return [ValueError(f) if isinstance(f, str) else _guarded(_robust_model, d, f, auto)
            for d, f in zip(data, found, strict=True)]


def _guarded(make: Any, *args: Any) -> PolynomialModel | ValueError:
    try:
        model: PolynomialModel = make(*args)
    except ValueError as error:
        return error
    return model


def _robust_fits(params: Params, data: list[Prepared], degrees: list[tuple[int, ...]]) -> list[Any]:
    """The core's fit_series of the data sets, stacked (a lone one passed as it is)."""
    n_features = data[0].T.shape[1]
    if len(data) == 1:
        [d] = data
        T, ys, w, v = [d.T[:, k] for k in range(n_features)], d.ys, d.w, d.v
    else:
        T = [np.concatenate([d.T[:, k] for d in data]) for k in range(n_features)]
        ys, w, v = (np.concatenate([getattr(d, name) for d in data]) for name in ("ys", "w", "v"))
    offsets = [0, *itertools.accumulate(d.ys.size for d in data)]
    found: list[Any] = vc.fit_series(
        T, ys, w, v, offsets, [_basis.monomial_powers(g).tolist() for g in degrees],
        [len(d.degrees) for d in data], [d.scaling.zero for d in data], [d.seed for d in data],
        params.noise)
    return found


def _robust_model(d: Prepared, found: tuple[Any, ...], auto: bool) -> PolynomialModel:
    """The model of data set `d` from the core's search and uncertainty of it."""
    *search, fitted = found
    return _model(d, "robust", _degree.robust_search(d.degrees, search), fitted, auto)


def _least_squares_model(params: Params, d: Prepared) -> PolynomialModel:
    """The model of data set `d` by least squares ("ols" or "penalized"), candidate by candidate."""
    fits = _candidate.least_squares_candidates(
        params.method, d.T, d.ys, d.w, d.v, d.degrees, (float(params.gamma1), float(params.gamma2)))
    order = np.argsort(d.T[:, 0], kind="stable") if d.T.shape[1] == 1 else None
    found = _degree.search(fits, d.degrees, d.w, order)
    chosen = found.fits[found.best]
    # The core's uncertainty of the chosen curve, its rows in blocks.
    fitted = vc.fit_uncertainty(
        [d.T[:, k] for k in range(d.T.shape[1])], chosen.powers.tolist(), chosen.beta, d.ys, d.w,
        d.v, chosen.weights, chosen.noise.kind, chosen.noise.params, d.scaling.zero, False)
    return _model(d, params.method, found, fitted, isinstance(params.degree, str))


def _model(d: Prepared, method: str, found: _degree.Search, fitted: dict[str, Any],
           auto: bool) -> PolynomialModel:
    """The model of the chosen candidate of `found`, whose uncertainty is `fitted`.

    `fitted` holds the covariances of the coefficients and of the noise model, the dof
    moments and the scale's dof; `auto` says whether the degree was chosen.
    """
    chosen = found.fits[found.best]
    robust = method == "robust"
    # Row-major, as a loaded model holds them: einsum's sums follow the layout.
    beta_cov, noise_cov = (np.ascontiguousarray(fitted[k]) for k in ("beta_cov", "noise_cov"))
    inlier = chosen.weights > 0.0
    # The levels again rather than held through the search: 8 bytes a row.
    pure_error = _calibration.pure_error_sums(
        _calibration.levels(d.X[d.w > 0.0]), d.ys, fitted["mean"], fitted["scale"], d.w, inlier)
    n_features = d.X.shape[1]

    def key(degrees: tuple[int, ...]) -> int | tuple[int, ...]:
        return int(degrees[0]) if n_features == 1 else tuple(int(g) for g in degrees)

    feature_names = [str(n) for n in d.names] if d.names is not None else [
        f"x{k}" for k in range(n_features)
    ]
    return PolynomialModel(
        feature_names=tuple(feature_names),
        target_name="y",
        method=method,
        degree=key(chosen.degrees),
        powers=chosen.powers,
        beta=chosen.beta,
        beta_cov=beta_cov,
        scaling=d.scaling,
        noise=chosen.noise,
        noise_cov=noise_cov,
        unit_var_weight=d.unit_var_weight,
        weights=chosen.weights,
        pure_error=pure_error,
        dof_moments=fitted["dof_moments"],
        dof=fitted["scale_dof"] if robust else residual_dof(d.w, inlier, chosen.beta.size),
        # NaN: a degree "auto" left under constant noise, not comparable with the others.
        bic_scores={key(f.degrees): s for f, s in zip(found.fits, found.scores, strict=True)
                    if not math.isnan(s)},
        reached_max_degree=auto and found.reached_max_degree,
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
