"""The candidate models in the scaled coordinates: the core's robust fits or least squares."""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

import vasq_core as vc
from vasq import _basis
from vasq._uncertainty import NoiseModel

Vector = NDArray[np.float64]
Matrix = NDArray[np.float64]
# A least-squares scale never falls below this, in scaled-y units, as the core's does not.
SCALE_FLOOR = 1e-9
# Rows up to which the robust candidates are fitted in one call of the core, side by side on
# its threads; beyond, one call each, so that only one candidate's per-point arrays (four
# vectors of the rows) are held before it is scored.
ROWS_FITTED_TOGETHER = 100_000


@dataclass(frozen=True)
class CandidateFit:
    """A candidate model fitted in the scaled coordinates."""

    degrees: tuple[int, ...]
    powers: NDArray[np.int64]  # (n_terms, n_features)
    beta: Vector  # (n_terms,)
    weights: Vector  # (n_samples,) robustness weights in [0, 1], 0 for rejected points
    residuals: Vector  # (n_samples,)
    leverage: Vector  # (n_samples,) hat matrix diagonal, rows weighted by w weights / scale^2
    scale: Vector  # (n_samples,) the local noise sd of every point (over sqrt(var_weights))
    s0: float  # the fit's global high-breakdown noise scale
    noise: NoiseModel  # the noise model, in scaled-y units


def fit_candidates(
    method: str,
    T: Matrix,
    ys: Vector,
    w: Vector,
    v: Vector,
    noise: tuple[str, float],
    degrees: list[tuple[int, ...]],
    seed: int,
    gammas: tuple[float, float],
) -> Iterator[CandidateFit]:
    """The candidates of `degrees`, in their order, fitted by `method`.

    `method` is "robust", "ols" or "penalized"; w are frequencies, v relative inverse
    variances; `noise` holds the name of the noise model (or "auto") and the scaled y of a
    zero signal. The robust candidates are the core's high-breakdown fits, every stage on;
    least squares weighs the rows by w v and has constant noise over sqrt(v).
    """
    powers = [_basis.monomial_powers(d) for d in degrees]
    if method == "robust":
        together = len(degrees) if ys.size <= ROWS_FITTED_TOGETHER else 1
        for first in range(0, len(degrees), together):
            chunk = slice(first, first + together)
            yield from map(_high_breakdown_fit, degrees[chunk], powers[chunk],
                           _robust_fits(T, ys, w, v, noise, powers[chunk], seed))
        return
    root = np.sqrt(w * v)
    for d, P in zip(degrees, powers, strict=True):
        X = _basis.design_matrix(T, P)
        if method == "ols":
            beta = vc.ols(X * root[:, None], ys * root)
        else:
            R1, R2 = _basis.penalty_matrices(P)
            beta = vc.fit_regularized_linear(X * root[:, None], ys * root, R1, R2, *gammas)
        yield _least_squares_fit(X, ys, w, v, beta, d, P)


def _robust_fits(
    T: Matrix, ys: Vector, w: Vector, v: Vector, noise: tuple[str, float],
    powers: list[NDArray[np.int64]], seed: int,
) -> list[dict[str, Any]]:
    """The core's fits of the term sets `powers`, in one call."""
    kind, zero = noise
    return vc.robust_fits([T[:, k] for k in range(T.shape[1])], [P.tolist() for P in powers],
                          ys, w, seed, [], var_weights=v, zero=zero, noise=kind)


def _high_breakdown_fit(
    degrees: tuple[int, ...], powers: NDArray[np.int64], fit: dict[str, Any]
) -> CandidateFit:
    """The candidate of the core's fit `fit` of the terms `powers`."""
    model = NoiseModel(str(fit["noise_kind"]), np.asarray(fit["noise_params"]), float(fit["s0"]))
    return CandidateFit(
        degrees, powers, fit["beta"], fit["weights"], fit["residuals"], fit["leverage"],
        fit["scale"], fit["s0"], model,
    )


def _least_squares_fit(
    X: Matrix, ys: Vector, w: Vector, v: Vector, beta: Vector, degrees: tuple[int, ...],
    powers: NDArray[np.int64],
) -> CandidateFit:
    """A least-squares candidate: every point kept, the noise s / sqrt(v).

    s is the root of the weighted mean square sum w v r^2 over the total weight less the
    number of terms.
    """
    r = ys - X @ beta
    dof = max(float(w.sum()) - beta.size, 0.5 * float(w.sum()))
    s = max(float(np.sqrt((w * v * r * r).sum() / dof)), SCALE_FLOOR)
    return CandidateFit(
        degrees, powers, beta, np.ones(ys.size), r, vc.weighted_leverage(X, w * v),
        s / np.sqrt(v), s, NoiseModel("constant", np.array([s]), s),
    )
