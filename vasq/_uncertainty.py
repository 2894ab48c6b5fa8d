"""Uncertainty of a robust polynomial fit: covariance, bands, inverse prediction, summary.

Everything here is computed with NumPy and SciPy from the results of the core's fit (the
coefficients, the final robustness weights and the noise scale of every point); nothing
calls the core. Coefficients and covariances live in the estimator's scaled coordinates
(features in [-1, 1], y divided by its robust scale) until the estimator maps them to the
user's units.
"""

from __future__ import annotations

import warnings
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, TypeGuard

import numpy as np
from numpy.polynomial import Polynomial
from numpy.typing import NDArray
from scipy.optimize import brentq
from scipy.stats import norm
from scipy.stats import t as student_t

from vasq._basis import Powers, design_matrix, to_user_units
from vasq._robust import BIWEIGHT_C

Vector = NDArray[np.float64]
Matrix = NDArray[np.float64]
Mask = NDArray[np.bool_]
Band = Callable[[Vector], tuple[Vector, Vector]]
Psi = Callable[[Vector], tuple[Vector, Vector]]

# Points of the grid, in scaled coordinates over [-1, 1], on which the prediction band is
# searched for the ends of an inverse-prediction interval before brentq refines them.
INVERSE_GRID = 2049
# Roots of the derivative with an imaginary part below this count as turning points: a
# real double root can come out of the companion matrix as a near-real pair.
TURNING_IMAG = 1e-6
INTERVAL_KINDS = ("confidence", "prediction")
# The noise scale linear over the features, floored: max(gamma . (1, t), floor).
NOISE_LOGLINEAR = "loglinear"


class InversePredictionWarning(UserWarning):
    """Some values of y have no unique x on the fitted curve, or no closed interval."""


def biweight_psi(u: Vector) -> tuple[Vector, Vector]:
    """Tukey's biweight psi(u) = u (1 - (u/c)^2)^2 and its derivative, 0 beyond c."""
    z2 = (u / BIWEIGHT_C) ** 2
    inside = z2 < 1.0
    psi = np.where(inside, u * (1.0 - z2) ** 2, 0.0)
    dpsi = np.where(inside, (1.0 - z2) * (1.0 - 5.0 * z2), 0.0)
    return psi, dpsi


def least_squares_psi(u: Vector) -> tuple[Vector, Vector]:
    """psi(u) = u of least squares, and its derivative 1."""
    return u, np.ones_like(u)


def sandwich_covariance(
    X: Matrix, r: Vector, scale: Vector, sample_weight: Vector, inlier: Mask, psi_of: Psi
) -> Matrix:
    """Covariance of an M-estimate from its residuals, with Huber's small-sample correction.

    Each residual is standardised by its own noise scale, u = r / s, and each row of the
    design by the same scale, so a heteroscedastic fit is an ordinary M-estimate in those
    coordinates. The sandwich A^-1 B A^-1, with A = sum v psi'(u) x x^T / s^2 and
    B = sum v psi(u)^2 x x^T / s^2 (v the sample weights, which act as repeat counts),
    does not assume that psi' is the same everywhere, which fails when the rejected points
    gather in one region. It is multiplied by the small-sample factor of Huber's H1,
    K^2 n / (n - p) with K = 1 + (p / n) Var(psi') / Mean(psi')^2, over the n `inlier`
    points: rejected points carry no information. With a constant scale and psi' constant
    across the design this is exactly H1; for least squares it is HC1. All entries are
    NaN when there are no more inliers than coefficients or A is singular.
    """
    psi, dpsi = psi_of(r / scale)
    inlier = inlier & (sample_weight > 0.0)
    n = float(np.sum(sample_weight[inlier]))
    p = X.shape[1]
    nan = np.full((p, p), np.nan)
    if n <= p:
        return nan
    Xs = X / scale[:, None]
    A = (Xs * (sample_weight * dpsi)[:, None]).T @ Xs
    B = (Xs * (sample_weight * psi**2)[:, None]).T @ Xs
    try:
        A_inv_B = np.linalg.solve(A, B)
        cov = np.linalg.solve(A, A_inv_B.T)
    except np.linalg.LinAlgError:
        return nan
    v, d = sample_weight[inlier], dpsi[inlier]
    mean = float(np.sum(v * d)) / n
    var = float(np.sum(v * (d - mean) ** 2)) / n
    K = 1.0 + p / n * var / mean**2
    result: Matrix = 0.5 * (cov + cov.T) * (K * K * n / (n - p))
    return result


def to_user_covariance(
    cov: Matrix, powers: Powers, centre: Vector, half: Vector, y_scale: float
) -> Matrix:
    """The covariance of the coefficients in the user's units, from the scaled one.

    The map from scaled coefficients to the user's is linear (plus a constant shift of the
    intercept, which does not change a covariance): with M its matrix, the result is
    y_scale^2 M cov M^T, each product taken column by column through the same map.
    """

    def convert(c: Vector) -> Vector:
        return to_user_units(c, powers, centre, half, 0.0, 1.0)

    half_way = np.column_stack([convert(c) for c in cov.T])
    result: Matrix = np.column_stack([convert(c) for c in half_way]) * y_scale**2
    return 0.5 * (result + result.T)


def curve_sd(D: Matrix, cov: Matrix) -> Vector:
    """Standard error of the fitted curve at the rows of the design matrix `D`."""
    var = np.einsum("ij,jk,ik->i", D, cov, D)
    sd: Vector = np.sqrt(np.maximum(var, 0.0))
    return sd


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


def loglinear_noise(s0: float, coef: Vector, bounds: tuple[float, float]) -> dict[str, Any]:
    """A fit's noise-scale model as plain data (see `noise_scale`)."""
    return {
        "kind": NOISE_LOGLINEAR,
        "s0": float(s0),
        "coef": [float(c) for c in coef],
        "bounds": [float(b) for b in bounds],
    }


def noise_scale(model: Mapping[str, Any], T: Matrix) -> Vector:
    """The noise scale of a fit's noise model at the scaled points `T`, in scaled-y units.

    `model` is plain data, as a model file holds it: ``{"kind": "loglinear", "s0": s0,
    "coef": [c_0, ..., c_d], "bounds": [lo, hi]}`` gives
    s0 * exp(clip(c_0 + c_1 t_1 + ... + c_d t_d, lo, hi)); a constant scale has zero
    coefficients and bounds.
    """
    coef = np.asarray(model["coef"], dtype=np.float64)
    lo, hi = model["bounds"]
    eta = np.clip(coef[0] + T @ coef[1:], lo, hi)
    scale: Vector = model["s0"] * np.exp(eta)
    return scale


def check_noise_model(model: object, n_features: int) -> dict[str, Any]:
    """A private copy of a noise model (see `noise_scale`) for `n_features`, or ValueError."""
    if not isinstance(model, Mapping) or model.get("kind") != NOISE_LOGLINEAR:
        raise ValueError(f'the noise model must be an object of kind "{NOISE_LOGLINEAR}"')
    s0: object = model.get("s0")
    if not _finite(s0) or s0 <= 0.0:
        raise ValueError("the noise model's s0 must be a positive number")
    numbers: dict[str, list[float]] = {}
    for key, size in (("coef", n_features + 1), ("bounds", 2)):
        values: object = model.get(key)
        if not isinstance(values, list) or len(values) != size or not all(map(_finite, values)):
            raise ValueError(f"the noise model's {key} must be {size} finite numbers")
        numbers[key] = [float(v) for v in values]
    if numbers["bounds"][0] > numbers["bounds"][1]:
        raise ValueError("the noise model's bounds must be in increasing order")
    return {"kind": NOISE_LOGLINEAR, "s0": float(s0), **numbers}


def _finite(value: object) -> TypeGuard[float]:
    """Whether `value` is an int or float within double range (a boolean is no number here)."""
    if not isinstance(value, (int, float)) or isinstance(value, bool):
        return False
    try:
        return bool(np.isfinite(float(value)))
    except OverflowError:  # an integer beyond double range
        return False


@dataclass(frozen=True, eq=False)
class Spread:
    """What the intervals of a fit rest on, in its scaled coordinates.

    The covariance of the scaled coefficients, the degrees of freedom of Student's t, the
    factor by which a new observation's noise exceeds the residuals', and the noise model
    (see `noise_scale`). An estimator and a model read from a file compute with the same
    numbers through the same code, so their intervals agree to the bit.
    """

    cov: Matrix
    dof: float
    noise_inflation: float
    noise_model: Mapping[str, Any]

    def std(self, T: Matrix, powers: Powers, y_scale: float) -> Vector:
        """Standard error of the fitted curve at the scaled points `T`, in y units."""
        sd: Vector = curve_sd(design_matrix(T, powers), self.cov) * y_scale
        return sd

    def band(
        self,
        T: Matrix,
        powers: Powers,
        beta: Vector,
        level: float,
        kind: str,
        y_loc: float,
        y_scale: float,
    ) -> tuple[Vector, Vector]:
        """Lower and upper ends of the intervals at the scaled points `T`, in y units."""
        D = design_matrix(T, powers)
        mean = D @ beta
        sd = curve_sd(D, self.cov)
        if kind == "prediction":
            sd = np.hypot(sd, noise_scale(self.noise_model, T) * self.noise_inflation)
        half_width = critical_value(level, self.dof) * sd
        low: Vector = (mean - half_width) * y_scale + y_loc
        high: Vector = (mean + half_width) * y_scale + y_loc
        return low, high


def turning_points(curve: Polynomial) -> Vector:
    """The points in (-1, 1) where the derivative of `curve` changes sign, sorted."""
    roots = curve.deriv().roots()
    real = roots.real[np.abs(roots.imag) < TURNING_IMAG]
    inside: Vector = np.sort(real[(real > -1.0) & (real < 1.0)])
    return inside


def inverse_curve(curve: Polynomial, band: Band, y: Vector) -> tuple[Vector, Vector, Vector]:
    """The t in [-1, 1] where `curve` equals each y, and the ends of its interval.

    Between turning points the curve is monotone, so each y has at most one root on each
    such segment: found by brentq where the segment's ends bracket y. A y with no root
    gets NaN, and so does one with roots on several segments, which are equally good. The
    interval is the stretch around the root where `band` (lower, upper at given t) holds
    y, searched on a grid and refined by brentq; an end beyond [-1, 1] is unknown and
    NaN, and both are NaN when the band holds y elsewhere too. Each kind of failure is
    reported by one InversePredictionWarning.
    """
    edges = np.concatenate([[-1.0], turning_points(curve), [1.0]])
    at_edges = curve(edges)
    grid = np.linspace(-1.0, 1.0, INVERSE_GRID)
    low_grid, high_grid = band(grid)
    have_band = bool(np.isfinite(low_grid).all())
    if not have_band:  # no covariance
        warnings.warn(
            "the fit has too few inliers for a covariance: every interval is NaN",
            InversePredictionWarning,
            stacklevel=3,
        )

    def room(t: float, target: float) -> float:
        """Positive when the band at t holds the target, negative outside."""
        low, high = band(np.array([t]))
        return float(min(high[0] - target, target - low[0]))

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
            lambda t: float(curve(t)) - target, a, b, xtol=1e-14, rtol=1e-15
        )
        root[i] = t0
        if not have_band:
            continue
        ends = _band_ends(grid, low_grid, high_grid, t0, target, room)
        if ends is None:
            ambiguous += 1
            continue
        lower[i], upper[i] = ends
        open_ended += int(np.isnan(lower[i]) or np.isnan(upper[i]))
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
        """brentq between an outside grid point and an inside point."""
        return float(brentq(lambda t: room(t, target), float(grid[outside]), inside))

    # The inside point is the nearest grid point in the stretch on that side of t0, else t0.
    left = refine(first - 1, float(grid[first]) if first < at else t0) if out_left.size else np.nan
    right = refine(last + 1, float(grid[last]) if last >= at else t0) if out_right.size else np.nan
    return left, right


def _warn_inverse(n: int, outside: int, ambiguous: int, open_ended: int) -> None:
    """One warning for each kind of value that could not be fully inverted."""
    if outside:
        warnings.warn(
            f"{outside} of {n} values of y lie outside the fitted curve's range: x is NaN",
            InversePredictionWarning,
            stacklevel=4,
        )
    if ambiguous:
        warnings.warn(
            f"{ambiguous} of {n} values of y are met at several x, where the curve is not "
            "monotone: their x or interval is NaN",
            InversePredictionWarning,
            stacklevel=4,
        )
    if open_ended:
        warnings.warn(
            f"{open_ended} of {n} intervals reach the edge of the fitted range: "
            "that end is NaN",
            InversePredictionWarning,
            stacklevel=4,
        )


def term_names(powers: Powers, features: Sequence[str]) -> list[str]:
    """Names of the monomial terms, such as "const", "x0^2" or "x0*x1"."""
    names = []
    for p in powers.tolist():
        parts = [f if e == 1 else f"{f}^{e}" for f, e in zip(features, p) if e > 0]
        names.append("*".join(parts) or "const")
    return names


def summary_text(
    *,
    names: Sequence[str],
    coef: Vector,
    se: Vector,
    dof: float,
    degree_rows: Sequence[tuple[str, float, str]],
    header: Sequence[tuple[str, str]],
) -> str:
    """A table of coefficients with their tests and 95 % intervals, then the degrees tried.

    `degree_rows` holds (degree, criterion, mark) for each candidate; `header` the
    (label, value) pairs shown above the table. z = coef / se is compared with the normal
    distribution, the intervals use Student's t with `dof` degrees of freedom, as the
    estimator's other intervals.
    """
    width = max(78, max(len(n) for n in names) + 66)
    rule, thin = "=" * width, "-" * width
    half = (len(header) + 1) // 2
    left, right = header[:half], header[half:]
    lines = ["Robust polynomial regression results".center(width), rule]
    span = width // 2
    for i, (label, value) in enumerate(left):
        text = f"{label + ':':<20}{value:>{span - 22}}  "
        if i < len(right):
            label2, value2 = right[i]
            text += f"{label2 + ':':<20}{value2:>{width - span - 20}}"
        lines.append(text.rstrip())
    z = coef / se
    p = 2.0 * norm.sf(np.abs(z))
    q = critical_value(0.95, dof)
    name_width = width - 66
    lines += [
        rule,
        f"{'':<{name_width}}{'coef':>12}{'std err':>11}{'z':>10}{'P>|z|':>9}"
        f"{'[0.025':>12}{'0.975]':>12}",
        thin,
    ]
    for name, c, s, zi, pi in zip(names, coef, se, z, p):
        lines.append(
            f"{name:<{name_width}}{c:>12.4g}{s:>11.3g}{zi:>10.3f}{pi:>9.3f}"
            f"{c - q * s:>12.4g}{c + q * s:>12.4g}"
        )
    lines += [rule, f"{'degree':<16}{'robust BIC':>14}", thin]
    lines += [f"{d:<16}{score:>14.4f}  {mark}".rstrip() for d, score, mark in degree_rows]
    lines.append(rule)
    return "\n".join(lines)
