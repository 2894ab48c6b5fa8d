"""Robust fitting of one candidate model, and the criterion that compares candidates.

The estimator maps every feature to [-1, 1] and y to a robust location and scale before it
calls anything here; the core's high-breakdown fit is equivariant, and the scaling only keeps
its absolute floors (a scale of 1e-9) meaningful.
"""

from __future__ import annotations

from collections.abc import Collection
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

import vasq_core as vc

Vector = NDArray[np.float64]
Matrix = NDArray[np.float64]

# Tukey's biweight constant of the final fit: 95 % efficiency at the normal distribution.
BIWEIGHT_C = 4.685
# The unscaled MAD times this estimates a normal standard deviation.
MAD_TO_SD = 1.4826
# Stages of the core's pipeline that can be switched off, and those the pipeline lacks.
CORE_STAGES = frozenset({"elemental", "concentration", "reweighting"})
STAGES = CORE_STAGES | {"tournament"}
# The largest leverage used: an exact fit's leverage of 1 would divide by zero.
MAX_LEVERAGE = 0.99


@dataclass
class RobustFit:
    """A candidate model fitted in the scaled coordinates."""

    degrees: tuple[int, ...]
    powers: NDArray[np.int64]  # (n_terms, n_features)
    beta: Vector  # (n_terms,)
    weights: Vector  # (n_samples,) robustness weights in [0, 1], 0 for rejected points
    residuals: Vector  # (n_samples,)
    leverage: Vector  # (n_samples,) hat matrix diagonal, rows weighted by w / scale^2
    scale: Vector  # (n_samples,) the noise scale at every point
    s0: float  # the high-breakdown scale
    scale_coef: Vector  # (n_features + 1,) log-linear model of the scale over the features
    scale_bounds: tuple[float, float]  # bounds of that model's log ratio to s0


def high_breakdown_fit(
    T: Matrix,
    ys: Vector,
    w: Vector,
    degrees: tuple[int, ...],
    powers: NDArray[np.int64],
    seed: int,
    disabled: Collection[str],
) -> RobustFit:
    """The core's high-breakdown fit of the terms `powers`, stages `disabled` switched off."""
    fit = vc.robust_fit(
        [T[:, k] for k in range(T.shape[1])],
        powers.tolist(),
        ys,
        w,
        seed,
        sorted(CORE_STAGES & set(disabled)),
    )
    return RobustFit(
        degrees,
        powers,
        fit["beta"],
        fit["weights"],
        fit["residuals"],
        fit["leverage"],
        fit["scale"],
        fit["s0"],
        fit["scale_coef"],
        fit["scale_bounds"],
    )


def least_squares_fit(
    X: Matrix,
    ys: Vector,
    w: Vector,
    beta: Vector,
    degrees: tuple[int, ...],
    powers: NDArray[np.int64],
) -> RobustFit:
    """A least-squares candidate: every point kept, one scale for all (root mean square)."""
    r = ys - X @ beta
    dof = max(float(w.sum()) - beta.size, 0.5 * float(w.sum()))
    s = max(float(np.sqrt(np.sum(w * r * r) / dof)), 1e-9)
    n_features = powers.shape[1]
    q = np.linalg.qr(X * np.sqrt(w)[:, None])[0]
    return RobustFit(
        degrees,
        powers,
        beta,
        np.ones(ys.size),
        r,
        np.sum(q * q, axis=1),
        np.full(ys.size, s),
        s,
        np.zeros(n_features + 1),
        (0.0, 0.0),
    )


def leave_one_out(fit: RobustFit, w: Vector) -> tuple[Vector, float]:
    """The candidate's residuals over 1 - leverage, and its scale corrected the same way.

    The leverages are those of the candidate's terms with rows weighted by w / scale^2,
    without the robustness weights: a point's leverage measures how closely the model can
    follow it, whether or not the fit rejects it, so rejecting points changes none. The
    scale is the high-breakdown scale times the root of the weighted mean of
    1 / (1 - h_i) over the inliers.
    """
    h = np.minimum(fit.leverage, MAX_LEVERAGE)
    inliers = (fit.weights > 0.0) & (w > 0.0)
    inflation = np.average(1.0 / (1.0 - h[inliers]), weights=w[inliers])
    residuals: Vector = fit.residuals / (1.0 - h)
    return residuals, fit.s0 * float(np.sqrt(inflation))


def robust_bic(loo: list[tuple[Vector, float]], n_terms: list[int], w: Vector) -> list[float]:
    """Robust information criterion of every candidate, lower is better.

    sum_i w_i rho(e_i / s) + k log(W): rho is Tukey's biweight loss scaled to u^2 near zero
    (c^2 / 3 beyond c = 4.685), e_i = r_i / (1 - h_i) the candidate's residuals with its
    leverage h_i taken out (leave-one-out residuals of least squares, so that a
    near-interpolating fit gains nothing), k the number of terms and W the total weight.
    `loo` holds (e, scale) of every candidate (leave_one_out). s is one scale for all
    candidates, the smallest of theirs: a candidate that mixes the clean points with a
    group of outliers has a large one, and its inflated residuals must not be the yardstick;
    the leverage correction keeps flexible fits from shrinking it. The scale is common, so
    rejecting a clean point costs c^2 / 3 instead of its small squared residual and never
    pays; an outlier costs the same however far it lies.
    """
    s = min(scale for _, scale in loo)
    penalty = np.log(float(w.sum()))
    scores = []
    for (e, _), k in zip(loo, n_terms):
        u = np.minimum(np.abs(e) / (BIWEIGHT_C * s), 1.0)
        rho = BIWEIGHT_C**2 / 3.0 * (1.0 - (1.0 - u * u) ** 3)
        scores.append(float(np.dot(w, rho)) + k * penalty)
    return scores
