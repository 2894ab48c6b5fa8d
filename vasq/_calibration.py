"""Calibration: inverse prediction, the lack-of-fit test from replicates, detection limits.

Computed from a fitted model: its curve, its prediction band (which holds the fit's noise
model) and, for the lack of fit, sums of squares the fit leaves in the model.
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Callable
from dataclasses import dataclass
from numbers import Integral
from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import ArrayLike, NDArray
from scipy.optimize import brentq
from scipy.stats import f as fisher_f

from vasq._uncertainty import check_level

if TYPE_CHECKING:
    from vasq._model import PolynomialModel

Vector = NDArray[np.float64]
Matrix = NDArray[np.float64]
Mask = NDArray[np.bool_]
Band = Callable[[Vector], tuple[Vector, Vector]]

# Points of the grid, in scaled coordinates, on which a band is searched for the ends of an
# inverse-prediction interval, or a detection limit, before brentq refines them.
INVERSE_GRID = 2049
# Roots of the derivative with an imaginary part below this count as turning points: a
# real double root can come out of the companion matrix as a near-real pair.
TURNING_IMAG = 1e-6
# The quantitation limit is where the concentration read from one reading has this
# relative standard deviation.
QUANTITATION_RSD = 0.1


class InversePredictionWarning(UserWarning):
    """Some values of y have no unique x on the fitted curve, or no closed interval."""


@dataclass(frozen=True)
class LackOfFit:
    """The pure-error F test of a fit's lack of fit, from replicated levels of the features.

    Attributes
    ----------
    F : float
        Mean square of lack of fit over the mean square of pure error.
    df_lack : float
        Degrees of freedom of lack of fit: distinct levels minus terms.
    df_pure : float
        Degrees of freedom of pure error: readings minus distinct levels.
    p_value : float
        The probability that F's distribution on (df_lack, df_pure) degrees of freedom
        exceeds F: small values say the polynomial misses the means of the levels.
    """

    F: float
    df_lack: float
    df_pure: float
    p_value: float


@dataclass(frozen=True)
class DetectionLimit:
    """Critical signal, detection limit and quantitation limit of a calibration curve.

    Attributes
    ----------
    critical_signal : float
        y_C, in the units of y: readings beyond it are taken to hold the analyte.
    detection_limit : float
        x_D, in the units of x: the smallest x whose readings pass y_C with the stated
        probability.
    quantitation_limit : float
        x_Q, in the units of x: where the x read from one reading has a relative standard
        deviation of 10 %.
    """

    critical_signal: float
    detection_limit: float
    quantitation_limit: float


@dataclass(frozen=True)
class PureErrorSums:
    """What the lack-of-fit test needs from the fitted rows, kept with the model.

    Rows are grouped into levels (equal features); each row i has the weight
    w_i = v_i / s_i^2, v_i its sample weight and s_i its noise scale. With the level's
    weighted mean ybar_j, total weight W_j and fitted value f_j: `lack_ss` is
    sum_j W_j (ybar_j - f_j)^2 and `pure_ss` sum_i w_i (y_i - ybar_j)^2, which add up to
    the weighted residual sum of squares (in scaled-y units: only their ratio is used).
    `n_levels` counts the levels and `n_readings` is the total sample weight (a weight of
    2 is two readings).
    """

    lack_ss: float
    pure_ss: float
    n_levels: int
    n_readings: float


def levels(X: Matrix) -> NDArray[np.intp]:
    """The level of every row of X: rows equal in every feature share one, in sorted order.

    One feature is sorted as a vector, which is several times faster than sorting rows.
    """
    if X.shape[1] == 1:
        return np.unique(X[:, 0], return_inverse=True)[1]
    return np.unique(X, axis=0, return_inverse=True)[1].ravel()


def pure_error_sums(
    level: NDArray[np.intp], y: Vector, fitted: Vector, scale: Vector, sample_weight: Vector,
    inlier: Mask,
) -> PureErrorSums:
    """The sums of squares of lack of fit and pure error over the `inlier` rows.

    `level` is that of every row of positive sample weight (`levels` of those rows), `y`,
    `fitted` and `scale` the readings, the fitted curve and the noise scale at each row in
    one unit. Rows of zero sample weight take no part.
    """
    positive = sample_weight > 0.0
    kept = inlier & positive
    # The levels that hold an inlier, numbered in their order: as `levels` of those rows.
    among = level[inlier[positive]]
    present = np.bincount(among) > 0
    level = (present.cumsum(dtype=np.intp) - 1)[among]
    k = int(np.count_nonzero(present))
    frequency, readings = sample_weight[kept], y[kept]
    w = frequency / scale[kept] ** 2
    total = np.bincount(level, w, k)
    mean = np.bincount(level, w * readings, k) / total
    curve = np.bincount(level, w * fitted[kept], k) / total  # one value per level
    pure = float((w * (readings - mean[level]) ** 2).sum())
    lack = float((total * (mean - curve) ** 2).sum())
    return PureErrorSums(lack, pure, k, float(frequency.sum()))


def lack_of_fit(sums: PureErrorSums, n_terms: int) -> LackOfFit:
    """The F test of `PolynomialModel.lack_of_fit` from the sums and the number of terms."""
    df_lack = float(sums.n_levels - n_terms)
    df_pure = sums.n_readings - sums.n_levels
    if df_pure <= 0.0:
        raise ValueError(
            "lack_of_fit needs replicates, readings at equal values of the features: the "
            f"fit's {sums.n_readings:g} readings have {sums.n_levels} distinct levels"
        )
    if df_lack <= 0.0:
        raise ValueError(
            f"lack_of_fit needs more distinct levels of the features than terms: the fit "
            f"has {sums.n_levels} levels for {n_terms} terms"
        )
    # Readings that repeat exactly leave no pure error: F is infinite (NaN if the fit is exact).
    with np.errstate(divide="ignore", invalid="ignore"):
        F = float(np.divide(sums.lack_ss / df_lack, sums.pure_ss / df_pure))
    return LackOfFit(F, df_lack, df_pure, float(fisher_f.sf(F, df_lack, df_pure)))


def check_readings(n_replicates: object) -> int:
    """`n_replicates` as a positive int, or ValueError."""
    if isinstance(n_replicates, bool) or not isinstance(n_replicates, Integral) or (
        int(n_replicates) < 1
    ):
        raise ValueError(f"n_replicates must be an integer >= 1, got {n_replicates!r}")
    return int(n_replicates)


def _one_feature(model: PolynomialModel, what: str) -> Vector:
    """The coefficients of the model's polynomial in scaled t, for a model of one feature."""
    if len(model.feature_names) != 1:
        raise ValueError(
            f"{what} needs a model of one feature, this one has {len(model.feature_names)}"
        )
    dense = np.zeros(int(model.powers.max()) + 1)
    dense[model.powers[:, 0]] = model.beta
    if not dense[1:].any():
        raise ValueError(f"{what} needs a curve that is not constant")
    return dense


def inverse_predict(
    model: PolynomialModel, y: ArrayLike, level: float, n_replicates: int,
    relative: float | None,
) -> tuple[Vector, Vector, Vector]:
    """The x of each y on the model's curve, and its interval.

    `PolynomialModel.inverse_predict`, searched in the scaled coordinates, for readings of
    var_weight `relative` times the model's `unit_var_weight` (1 times if None).
    """
    dense = _one_feature(model, "inverse_predict")
    level = check_level(level)
    m = check_readings(n_replicates)
    values = np.asarray(y, dtype=np.float64)
    if values.ndim != 1:
        raise ValueError(f"y must be 1-D, got an array of shape {values.shape}")
    if not np.isfinite(values).all():
        raise ValueError("y must be finite numbers: it holds NaN or infinity")

    def band(t: Vector) -> tuple[Vector, Vector]:
        spread = None if relative is None else np.full(t.size, relative)
        return model._band(t[:, None], level, "prediction", m, spread)

    t, lower, upper = inverse_curve(dense, lambda t: model.curve(t[:, None]), band, values)
    centre, half = float(model.scaling.centre[0]), float(model.scaling.half[0])
    return centre + half * t, centre + half * lower, centre + half * upper


def detection_limit(model: PolynomialModel, level: float) -> DetectionLimit:
    """`PolynomialModel.detection_limit`, searched in the scaled coordinates."""
    dense = _one_feature(model, "detection_limit")
    level = check_level(level)
    if level <= 0.5:
        raise ValueError(f"level must be a number in (0.5, 1) for one-sided limits, got {level!r}")
    centre, half = float(model.scaling.centre[0]), float(model.scaling.half[0])
    t0 = -centre / half  # x = 0
    if t0 >= 1.0:
        raise ValueError("detection_limit needs a fitted range that reaches above x = 0")
    # One-sided limits at `level` are the ends of two-sided ones at 2 level - 1.
    two_sided = 2.0 * level - 1.0
    rising = bool(model.curve(np.array([[1.0]]))[0] > model.curve(np.array([[t0]]))[0])
    low0, high0 = model._band(np.array([[t0]]), two_sided, "prediction")
    critical = float(high0[0] if rising else low0[0])
    sign = 1.0 if rising else -1.0

    def detected(t: Vector) -> Vector:
        """Positive where the band's near end at t has passed the critical signal."""
        low, high = model._band(t[:, None], two_sided, "prediction")
        passed: Vector = sign * ((low if rising else high) - critical)
        return passed

    slope = np.polynomial.Polynomial(dense).deriv()

    def quantified(t: Vector) -> Vector:
        """Positive where x exceeds its standard deviation over QUANTITATION_RSD."""
        x = centre + half * t
        sd_curve = model.predict(x[:, None], return_std=True)[1]
        sd_reading = np.hypot(sd_curve, model.noise_scale(x[:, None]))
        sd_x = sd_reading / np.abs(slope(t) * model.scaling.y_scale / half)
        margin: Vector = x - sd_x / QUANTITATION_RSD
        return margin

    grid = np.linspace(t0, 1.0, INVERSE_GRID)
    x_d, x_q = (centre + half * _first_crossing(grid, g) for g in (detected, quantified))
    return DetectionLimit(critical, float(x_d), float(x_q))


def _first_crossing(grid: Vector, g: Callable[[Vector], Vector]) -> float:
    """The first t of the grid's span where g turns positive (brentq), or NaN if it never does."""
    values = g(grid)
    up = np.flatnonzero(values > 0.0)  # never the first point, where g <= 0
    if up.size == 0:
        return math.nan
    i = int(up[0])
    return float(brentq(lambda t: float(g(np.array([t]))[0]), grid[i - 1], grid[i]))


def turning_points(coef: Vector) -> Vector:
    """The points in (-1, 1) where the derivative of the polynomial `coef` changes sign."""
    roots = np.polynomial.Polynomial(coef).deriv().roots()
    real = roots.real[np.abs(roots.imag) < TURNING_IMAG]
    inside: Vector = np.sort(real[(real > -1.0) & (real < 1.0)])
    return inside


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
