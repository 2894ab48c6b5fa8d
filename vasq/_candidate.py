"""The candidate models in the scaled coordinates: the core's robust fits or least squares."""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any, NamedTuple

import numpy as np
from numpy.typing import NDArray

import vasq_core as vc
from vasq import _basis
from vasq._uncertainty import NoiseModel

Vector = NDArray[np.float64]
Matrix = NDArray[np.float64]
EMPTY = np.empty(0)
# A least-squares scale never falls below this, in scaled-y units, as the core's does not.
SCALE_FLOOR = 1e-9


class CandidateFit(NamedTuple):
    """A candidate model fitted in the scaled coordinates.

    A named tuple: every fit makes one per candidate degree, at a third of the cost of a
    frozen dataclass.
    """

    degrees: tuple[int, ...]
    powers: NDArray[np.int64]  # (n_terms, n_features)
    beta: Vector  # (n_terms,)
    # (n_samples,) robustness weights in [0, 1], 0 for rejected points; empty for a
    # candidate the search did not choose
    weights: Vector
    # Read by the score of a least-squares candidate; empty for the core's fits, which the
    # core scores itself.
    residuals: Vector  # (n_samples,)
    leverage: Vector  # (n_samples,) hat matrix diagonal, rows weighted by w weights / scale^2
    scale: Vector  # (n_samples,) the local noise sd of every point (over sqrt(var_weights))
    s0: float  # the fit's global high-breakdown noise scale
    noise: NoiseModel  # the noise model, in scaled-y units


def high_breakdown_fits(degrees: list[tuple[int, ...]],
                        fits: list[dict[str, Any]]) -> list[CandidateFit]:
    """The candidates of the core's high-breakdown fits of `degrees` (vasq_core.fit_series).

    The fits come without the residuals, scales and leverages that only their scores read,
    and all but the chosen one without their weights.
    """
    return [_high_breakdown_fit(d, _basis.monomial_powers(d), fit)
            for d, fit in zip(degrees, fits, strict=True)]


def least_squares_candidates(
    method: str,
    T: Matrix,
    ys: Vector,
    w: Vector,
    v: Vector,
    degrees: list[tuple[int, ...]],
    gammas: tuple[float, float],
) -> Iterator[CandidateFit]:
    """The candidates of `degrees`, in their order, fitted by least squares.

    `method` is "ols" or "penalized"; the rows are weighed by w v, and the noise is constant
    over sqrt(v).
    """
    root = np.sqrt(w * v)
    for d in degrees:
        P = _basis.monomial_powers(d)
        X = _basis.design_matrix(T, P)
        if method == "ols":
            beta = vc.ols(X * root[:, None], ys * root)
        else:
            R1, R2 = _basis.penalty_matrices(P)
            beta = vc.fit_regularized_linear(X * root[:, None], ys * root, R1, R2, *gammas)
        yield _least_squares_fit(X, ys, w, v, beta, d, P)


def _high_breakdown_fit(
    degrees: tuple[int, ...], powers: NDArray[np.int64], fit: dict[str, Any]
) -> CandidateFit:
    """The candidate of the core's fit `fit` of the terms `powers`."""
    model = NoiseModel(str(fit["noise_kind"]), np.asarray(fit["noise_params"]), float(fit["s0"]))
    return CandidateFit(degrees, powers, fit["beta"], fit["weights"], EMPTY, EMPTY, EMPTY,
                        fit["s0"], model)


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
