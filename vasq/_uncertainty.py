"""Uncertainty of a fit: coefficient covariance, noise model, intervals and inverse prediction.

Computed with NumPy and SciPy from the core's fit (the coefficients, the final robustness
weights and the noise scale of every point), in the scaled coordinates (features in
[-1, 1], y divided by its robust scale); the model maps the results to the user's units.
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Callable
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import ArrayLike, NDArray
from scipy.optimize import brentq
from scipy.stats import t as student_t

import vasq_core as vc

if TYPE_CHECKING:
    from vasq._model import PolynomialModel

Vector = NDArray[np.float64]
Matrix = NDArray[np.float64]
Mask = NDArray[np.bool_]
Band = Callable[[Vector], tuple[Vector, Vector]]

# Points of the grid, in scaled coordinates over [-1, 1], on which the prediction band is
# searched for the ends of an inverse-prediction interval before brentq refines them.
INVERSE_GRID = 2049
# Roots of the derivative with an imaginary part below this count as turning points: a
# real double root can come out of the companion matrix as a near-real pair.
TURNING_IMAG = 1e-6
INTERVAL_KINDS = ("confidence", "prediction")


class InversePredictionWarning(UserWarning):
    """Some values of y have no unique x on the fitted curve, or no closed interval."""


def huber_covariance(
    X: Matrix, r: Vector, scale: Vector, sample_weight: Vector, inlier: Mask, robust: bool
) -> Matrix:
    """Covariance of an M-estimate at local noise scales: Huber's H2.

    Each residual is standardised by its own noise sd, u = r / s, and each row of the
    design by the same sd, so a heteroscedastic fit is an ordinary M-estimate in those
    coordinates (Carroll & Ruppert, 1988). psi is the core's biweight for a robust fit and
    psi(u) = u for least squares. The covariance is

        K [sum v psi(u)^2 / (n - p)] / [sum v psi'(u) / n] (sum v psi'(u) x x^T / s^2)^-1,

    K = 1 + (p / n) Var(psi') / Mean(psi')^2, v the sample weights (repeat counts) and n the
    total weight of the `inlier` points: rejected points carry no information, and rows
    where psi' vanishes drop out of the information, wherever they gather. It rests on the
    noise model rather than on each residual's square, so its small-sample variability is
    that of a scale on n - p degrees of freedom (Student's t in the intervals); for least
    squares it is the classical covariance of weighted least squares (weights v / s^2, as
    statsmodels' WLS). All entries are NaN when the inliers' total weight does not exceed
    the number of coefficients, or the information is singular.
    """
    # Rows of zero weight take no part, and may lie so far out that their terms overflow.
    kept = sample_weight > 0.0
    X, r, scale, sample_weight = X[kept], r[kept], scale[kept], sample_weight[kept]
    inlier = inlier[kept]
    u = r / scale
    if robust:
        _, psi, dpsi, _ = vc.biweight(u)
    else:
        psi, dpsi = u, np.ones_like(u)
    n = float(np.sum(sample_weight[inlier]))
    p = X.shape[1]
    nan = np.full((p, p), np.nan)
    if n <= p:
        return nan
    Xs = X / scale[:, None]
    info = (Xs * (sample_weight * dpsi)[:, None]).T @ Xs
    v, d = sample_weight[inlier], dpsi[inlier]
    mean = float(np.sum(v * d)) / n
    var = float(np.sum(v * (d - mean) ** 2)) / n
    if not mean > 0.0:
        return nan
    K = 1.0 + p / n * var / mean**2
    factor = K * float(np.sum(sample_weight * psi**2)) / (n - p) / mean
    try:
        cov = np.linalg.solve(info, np.eye(p)) * factor
    except np.linalg.LinAlgError:
        return nan
    result: Matrix = 0.5 * (cov + cov.T)
    return result


NOISE_KINDS = ("constant", "power", "two_component", "log_linear")


@dataclass(frozen=True, eq=False)
class NoiseModel:
    """The noise sd of one reading, as the core models it, in scaled-y units.

    With mu the signal (the fitted mean less the scaled y of a zero signal) and t the
    scaled features, `kind` and `params` give:

    - "constant", (s,): s;
    - "power", (s, theta, floor): s max(abs(mu), floor)^theta, a power of the mean (Carroll &
      Ruppert, 1988); theta = 1 is a constant coefficient of variation;
    - "two_component", (a, b): sqrt(a^2 + b^2 mu^2), a constant floor plus a constant
      coefficient of variation (Rocke & Lorenzato, 1995);
    - "log_linear", (g_0, ..., g_d, lo, hi): exp(clip(g_0 + g_1 t_1 + ... + g_d t_d, lo,
      hi)), held within the range it takes on the fitted rows.

    `s0` is the fit's global high-breakdown scale. The sd is that of a reading of
    var_weight 1, var_weights being normalised to a geometric mean of 1 over the fit.
    """

    kind: str
    params: Vector
    s0: float

    def at(self, T: Matrix, mean: Vector, zero: float) -> Vector:
        """The noise sd at the scaled points `T` of fitted scaled means `mean`.

        `zero` is the scaled y of a zero signal.
        """
        sd: Vector = vc.noise_scale(
            self.kind, self.params, zero, mean, [T[:, k] for k in range(T.shape[1])]
        )
        return sd


def curve_sd(D: Matrix, cov: Matrix) -> Vector:
    """Standard error of the fitted curve at the rows of the design matrix `D`."""
    var = np.einsum("ij,jk,ik->i", D, cov, D)
    sd: Vector = np.sqrt(np.maximum(var, 0.0))
    return sd


def half_width(sd: Vector, noise: Vector | None, level: float, dof: float) -> Vector:
    """Half-width of two-sided intervals at `level`.

    Student's t quantile (`dof` degrees of freedom) times the curve's standard error `sd`,
    combined with the `noise` scale of a new observation for a prediction interval.
    """
    if noise is not None:
        sd = np.hypot(sd, noise)
    width: Vector = critical_value(level, dof) * sd
    return width


def critical_value(level: float, dof: float) -> float:
    """Two-sided quantile of Student's t with `dof` degrees of freedom at `level`."""
    return float(student_t.ppf(0.5 + 0.5 * level, dof))


def check_level(level: object) -> float:
    """`level` as a float in (0, 1), or ValueError."""
    if isinstance(level, bool) or not isinstance(level, (int, float, np.floating)):
        raise ValueError(f"level must be a number in (0, 1), got {level!r}")
    if not 0.0 < float(level) < 1.0:
        raise ValueError(f"level must be a number in (0, 1), got {level!r}")
    return float(level)


def check_kind(kind: object) -> str:
    """`kind` if it names a kind of interval, or ValueError."""
    if kind not in INTERVAL_KINDS:
        raise ValueError(f"kind must be one of {INTERVAL_KINDS}, got {kind!r}")
    return str(kind)


def turning_points(coef: Vector) -> Vector:
    """The points in (-1, 1) where the derivative of the polynomial `coef` changes sign."""
    roots = np.polynomial.Polynomial(coef).deriv().roots()
    real = roots.real[np.abs(roots.imag) < TURNING_IMAG]
    inside: Vector = np.sort(real[(real > -1.0) & (real < 1.0)])
    return inside


def inverse_predict(
    model: PolynomialModel, y: ArrayLike, level: float
) -> tuple[Vector, Vector, Vector]:
    """The x of each y on the model's curve, and its interval.

    `PolynomialModel.inverse_predict`, searched in the scaled coordinates.
    """
    if len(model.feature_names) != 1:
        raise ValueError(
            f"inverse_predict needs a model of one feature, this one has "
            f"{len(model.feature_names)}"
        )
    level = check_level(level)
    values = np.asarray(y, dtype=np.float64)
    if values.ndim != 1:
        raise ValueError(f"y must be 1-D, got an array of shape {values.shape}")
    if not np.isfinite(values).all():
        raise ValueError("y must be finite numbers: it holds NaN or infinity")
    dense = np.zeros(int(model.powers.max()) + 1)
    dense[model.powers[:, 0]] = model.beta
    if not dense[1:].any():
        raise ValueError("inverse_predict needs a curve that is not constant")

    def band(t: Vector) -> tuple[Vector, Vector]:
        return model._band(t[:, None], level, "prediction")

    t, lower, upper = inverse_curve(dense, lambda t: model.curve(t[:, None]), band, values)
    centre, half = float(model.scaling.centre[0]), float(model.scaling.half[0])
    return centre + half * t, centre + half * lower, centre + half * upper


def inverse_curve(
    coef: Vector, curve: Callable[[Vector], Vector], band: Band, y: Vector
) -> tuple[Vector, Vector, Vector]:
    """The t in [-1, 1] where `curve` equals each y, and the ends of its interval.

    `coef` are the coefficients of the curve's polynomial in t, up to a positive factor
    (they give its turning points). Between turning points the curve is monotone, so each
    y has at most one root on each such segment: found by brentq where the segment's ends
    bracket y. A y with no root gets NaN, and so does one with roots on several segments,
    which are equally good. The interval is the stretch around the root where `band`
    (lower, upper at given t) holds y, searched on a grid and refined by brentq; an end
    beyond [-1, 1] is unknown and NaN, and both are NaN when the band holds y elsewhere
    too. Each kind of failure is reported by one InversePredictionWarning.
    """
    edges = np.concatenate([[-1.0], turning_points(coef), [1.0]])
    at_edges = curve(edges)
    grid = np.linspace(-1.0, 1.0, INVERSE_GRID)
    low_grid, high_grid = band(grid)
    have_band = bool(np.isfinite(low_grid).all())
    if not have_band:  # no covariance
        warnings.warn(
            "the fit has too little weight among its inliers for a covariance: every "
            "interval is NaN",
            InversePredictionWarning,
            stacklevel=4,
        )

    def room(t: float, target: float) -> float:
        """Positive when the band at t holds the target, negative outside."""
        low, high = band(np.array([t]))
        return float(min(high[0] - target, target - low[0]))

    def value(t: float) -> float:
        return float(curve(np.array([t]))[0])

    n = y.size
    root, lower, upper = np.full(n, np.nan), np.full(n, np.nan), np.full(n, np.nan)
    outside = ambiguous = open_ended = 0
    for i, target in enumerate(y.tolist()):
        side = at_edges - target
        hits = np.flatnonzero(side[:-1] * side[1:] <= 0.0)
        if hits.size == 0:
            outside += 1
            continue
        if hits.size > 1:
            ambiguous += 1
            continue
        k = int(hits[0])
        a, b = float(edges[k]), float(edges[k + 1])
        t0 = a if side[k] == 0.0 else b if side[k + 1] == 0.0 else brentq(
            lambda t: value(t) - target, a, b, xtol=1e-14, rtol=1e-15  # noqa: B023 (called here)
        )
        root[i] = t0
        if not have_band:
            continue
        ends = _band_ends(grid, low_grid, high_grid, t0, target, room)
        if ends is None:
            ambiguous += 1
            continue
        lower[i], upper[i] = ends
        open_ended += int(math.isnan(lower[i]) or math.isnan(upper[i]))
    _warn_inverse(n, outside, ambiguous, open_ended)
    return root, lower, upper


def _band_ends(
    grid: Vector,
    low: Vector,
    high: Vector,
    t0: float,
    target: float,
    room: Callable[[float, float], float],
) -> tuple[float, float] | None:
    """Ends of the stretch of the grid around t0 where the band holds the target.

    NaN for an end that reaches the edge of the grid; None when the band also holds the
    target away from that stretch.
    """
    holds = (low <= target) & (target <= high)
    at = int(np.searchsorted(grid, t0))  # grid[at - 1] < t0 <= grid[at]
    out_left = np.flatnonzero(~holds[:at])
    out_right = at + np.flatnonzero(~holds[at:])
    first = int(out_left[-1]) + 1 if out_left.size else 0
    last = int(out_right[0]) - 1 if out_right.size else grid.size - 1
    if holds[:first].any() or holds[last + 1 :].any():
        return None

    def refine(outside: int, inside: float) -> float:
        """Brentq between an outside grid point and an inside point."""
        return float(brentq(lambda t: room(t, target), float(grid[outside]), inside))

    # The inside point is the nearest grid point in the stretch on that side of t0, else t0.
    left = refine(first - 1, float(grid[first]) if first < at else t0) if out_left.size else np.nan
    right = refine(last + 1, float(grid[last]) if last >= at else t0) if out_right.size else np.nan
    return left, right


def _warn_inverse(n: int, outside: int, ambiguous: int, open_ended: int) -> None:
    """One warning for each kind of value that could not be fully inverted."""
    for count, text in (
        (outside, "lie outside the fitted curve's range: x is NaN"),
        (ambiguous, "are met at several x, where the curve is not monotone: their x or "
         "interval is NaN"),
    ):
        if count:
            warnings.warn(f"{count} of {n} values of y {text}", InversePredictionWarning,
                          stacklevel=5)
    if open_ended:
        warnings.warn(
            f"{open_ended} of {n} intervals reach the edge of the fitted range: that end is NaN",
            InversePredictionWarning,
            stacklevel=5,
        )
