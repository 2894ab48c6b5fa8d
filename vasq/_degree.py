"""The degree search: which candidate degrees can be fitted, and the robust BIC that picks one."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass, replace

import numpy as np
from numpy.typing import NDArray

import vasq_core as vc
from vasq import _basis
from vasq._candidate import CandidateFit

Vector = NDArray[np.float64]
Degrees = tuple[int, ...]
EMPTY = np.empty(0)
# The degree search stops after this many candidates in a row score worse than the best.
PATIENCE = 2
# The largest leverage used: an exact fit's leverage of 1 would divide by zero.
MAX_LEVERAGE = 0.99


@dataclass(frozen=True)
class Search:
    """The candidates fitted, their scores, the lowest, and whether it is the last degree.

    The candidates keep their weights only (their other per-point arrays are dropped); the
    last value says whether the lowest is the last of the degrees that could be tried.
    """

    fits: list[CandidateFit]
    scores: list[float]
    best: int
    reached_max_degree: bool


def candidates(
    degree: int | Sequence[int] | str,
    max_degree: int,
    robust: bool,
    n_features: int,
    counts: tuple[int, int, float],
) -> list[Degrees]:
    """The degrees to try, lowest first.

    `counts` holds the samples of positive weight, the distinct rows of X among them and
    their total weight. The lowest (or given) degree needs two samples per term, and a
    total weight of as much: weights are frequencies. Higher degrees of "auto" need that
    too and, for a robust fit, 3 k - 1 samples, distinct rows and total weight for k terms:
    a robust fit trusts about half of the samples, so with fewer it has fewer residual
    degrees of freedom than terms and a scale from the best-fitting half far too small to
    compare candidates by; replicates pin a curve down only at their own x.
    """
    n_samples, n_distinct, total = counts
    if isinstance(degree, str):
        wanted = [(d,) * n_features for d in range(1, max_degree + 1)]
    elif not isinstance(degree, Sequence):
        wanted = [(int(degree),) * n_features]
    elif len(degree) != n_features:
        raise ValueError(f"degree has {len(degree)} entries but X has {n_features} features")
    else:
        wanted = [tuple(int(d) for d in degree)]
    support = min(float(n_samples), total)
    feasible: list[Degrees] = []
    for degrees in wanted:
        # The feature of highest degree alone brings max + 1 terms; when those are too
        # many already, the others (possibly a huge number) are not counted.
        k = max(degrees) + 1
        exact = n_features == 1 or 2 * k <= support
        if 2 * k <= support:
            k = _basis.n_terms(degrees)
        robust_short = robust and 3 * k - 1 > min(support, n_distinct)
        if 2 * k > support or (feasible and robust_short):
            if feasible:
                break
            raise ValueError(_too_little(degrees, k, exact, n_samples, total))
        feasible.append(degrees)
    return feasible


def _too_little(degrees: Degrees, k: int, exact: bool, n_samples: int, total: float) -> str:
    """Why the lowest candidate cannot be fitted: too few samples, or too little weight."""
    shown = degrees[0] if len(degrees) == 1 else degrees
    terms = f"{k if exact else f'at least {k}'} terms"
    if total >= n_samples:
        return (
            f"n_samples={n_samples} is too few for degree {shown}: its {terms} need at least "
            f"{2 * k} samples"
        )
    return (
        f"sample_weight sums to {total:.6g}, too little for degree {shown}: its {terms} need a "
        f"total weight of at least {2 * k}. Weights are frequencies (a weight of 2 counts as "
        "two observations); pass relative precisions as var_weights"
    )


def search(fit: Callable[[Degrees], CandidateFit], degrees: list[Degrees], w: Vector) -> Search:
    """Fit the candidates from the lowest, until PATIENCE in a row score worse than the best."""
    fits: list[CandidateFit] = []
    loo: list[tuple[Vector, float]] = []
    scores: list[float] = []
    best = 0
    for d in degrees:
        candidate = fit(d)
        loo.append(leave_one_out(candidate, w))
        # Only the weights of each candidate are read again: on large data, holding every
        # candidate's per-point arrays would cost several copies of the input.
        fits.append(replace(candidate, residuals=EMPTY, leverage=EMPTY, scale=EMPTY))
        scores = robust_bic(loo, [f.beta.size for f in fits], w)
        best = min(range(len(fits)), key=lambda i: (scores[i], i))
        if len(fits) - 1 - best >= PATIENCE:
            break
    return Search(fits, scores, best, best == len(degrees) - 1)


def leave_one_out(fit: CandidateFit, w: Vector) -> tuple[Vector, float]:
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

    sum_i w_i 2 rho(e_i / s) + k log(W): rho is Tukey's biweight loss of the core (u^2 / 2
    near zero, c^2 / 6 beyond c = 4.685), e_i = r_i / (1 - h_i) the candidate's residuals
    with its leverage h_i taken out (leave-one-out residuals of least squares, so that a
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
    # Rows of zero weight take no part; beyond 2 c the loss is flat, so clipping there is
    # exact and keeps a residual that overflows on division by s a finite argument.
    kept = w > 0.0
    bound = 2.0 * vc.BIWEIGHT_C
    scores = []
    for (e, _), k in zip(loo, n_terms, strict=True):
        with np.errstate(over="ignore"):
            u = np.clip(e[kept] / s, -bound, bound)
        rho = vc.biweight(u)[0]
        scores.append(float(np.dot(w[kept], 2.0 * rho)) + k * penalty)
    return scores
