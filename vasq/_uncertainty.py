"""Uncertainty of a fit: coefficient covariance, noise model and intervals.

Computed with NumPy and SciPy from the core's fit (the coefficients, the final robustness
weights and the noise scale of every point), in the scaled coordinates (features in
[-1, 1], y divided by its robust scale); the model maps the results to the user's units.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray
from scipy.stats import t as student_t

import vasq_core as vc

Vector = NDArray[np.float64]
Matrix = NDArray[np.float64]
Mask = NDArray[np.bool_]

INTERVAL_KINDS = ("confidence", "prediction")


def sandwich_covariance(
    X: Matrix, r: Vector, scale: Vector, sample_weight: Vector, inlier: Mask, robust: bool
) -> Matrix:
    """Covariance of an M-estimate from its residuals, with Huber's small-sample correction.

    Each residual is standardised by its own noise scale, u = r / s, and each row of the
    design by the same scale, so a heteroscedastic fit is an ordinary M-estimate in those
    coordinates. psi is the core's biweight for a robust fit and psi(u) = u for least
    squares. The sandwich A^-1 B A^-1, with A = sum v psi'(u) x x^T / s^2 and
    B = sum v psi(u)^2 x x^T / s^2 (v the sample weights, which act as repeat counts),
    does not assume that psi' is the same everywhere, which fails when the rejected points
    gather in one region. It is multiplied by the small-sample factor of Huber's H1,
    K^2 n / (n - p) with K = 1 + (p / n) Var(psi') / Mean(psi')^2, n the total weight of
    the `inlier` points: rejected points carry no information. With a constant scale and
    psi' constant across the design this is exactly H1; for least squares it is HC1. All
    entries are NaN when the inliers' total weight does not exceed the number of
    coefficients, or A is singular.
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


@dataclass(frozen=True, eq=False)
class NoiseModel:
    """The noise scale s0 * exp(clip(c_0 + c_1 t_1 + ... + c_d t_d, lo, hi)) at scaled t.

    `coef` holds (c_0, ..., c_d) and `bounds` (lo, hi); a constant scale has zero
    coefficients and bounds. In scaled-y units.
    """

    s0: float
    coef: Vector
    bounds: tuple[float, float]

    def at(self, T: Matrix) -> Vector:
        """The noise scale at the scaled points `T`."""
        lo, hi = self.bounds
        eta = np.clip(self.coef[0] + T @ self.coef[1:], lo, hi)
        scale: Vector = self.s0 * np.exp(eta)
        return scale


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
