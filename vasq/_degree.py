"""The degree search: which candidate degrees can be fitted, and their scores and choice."""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

import vasq_core as vc
from vasq import _basis, _candidate
from vasq._candidate import CandidateFit

Vector = NDArray[np.float64]
Degrees = tuple[int, ...]
EMPTY = np.empty(0)


@dataclass(frozen=True)
class Search:
    """The candidates fitted, their scores, the chosen one, and whether it is the last degree.

    The chosen candidate keeps its weights alone of its per-point arrays, the others none;
    the last value says whether the chosen is the last of the degrees that could be tried.
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
    their total weight. Every degree needs two samples per term, and a total weight of as
    much: weights are frequencies. The degrees of "auto" run from 0 (a constant) to
    `max_degree`. For a robust fit, a constant, line or quadratic also needs two distinct
    rows more than its terms: replicates pin a curve down only at their own x, and a level
    off the curve must be told from curvature (5 standards read 3 times each take a
    quadratic). Beyond the quadratic a candidate needs 3 k + 1 samples, distinct rows and
    total weight for k terms: the trimmed half then keeps one residual degree of freedom
    more than terms, without which a flexible candidate picks a half that it fits by
    chance (with 3 k - 1, a cubic beat the true quadratic on 12 clean points in a third
    of data sets). The quadratic is exempt from that, so that it is a candidate from n = 6: the
    trade is breakdown, since the trimmed mass of the criterion (the core's criterion_mass)
    is then 5 of the 6 points (6 when a candidate within 6 of the lowest score keeps them
    all) and one outlier in six is the most that can be told apart from curvature; from
    n = 8 the quadratic's own trimmed half has 3 residual degrees of freedom, one per term.
    """
    n_samples, n_distinct, total = counts
    if isinstance(degree, str):
        wanted = [(d,) * n_features for d in range(max_degree + 1)]
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
        low = max(degrees) <= 2
        needed = 2 * k if low else 3 * k + 1
        robust_short = robust and (needed > support or (k + 2 if low else needed) > n_distinct)
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


def robust_search(degrees: list[Degrees], found: list[Any]) -> Search:
    """The Search of the core's fits of `degrees`: (fits, their scores' parts, the chosen)."""
    fits, parts, best = found
    scores = [sum(part) for part in parts]
    return Search(_candidate.high_breakdown_fits(degrees, fits), scores, best,
                  best == len(degrees) - 1)


def search(
    candidates: Iterable[CandidateFit], degrees: list[Degrees], w: Vector,
    order: NDArray[np.intp] | None,
) -> Search:
    """Score every least-squares candidate as it arrives (degree_score); pick one.

    `candidates` are the fits of `degrees`, in their order; `order` sorts the rows by their
    one feature (None for several). No candidate's per-point arrays but its weights are kept
    once it is scored. The choice is the core's `parsimonious`, as in the core's own search
    of the robust candidates.
    """
    fits: list[CandidateFit] = []
    scores: list[float] = []
    for candidate in candidates:
        scores.append(degree_score(candidate, w, order))
        fits.append(_weights_only(candidate))
        # The loop variable would hold this candidate's arrays while the next one is fitted.
        del candidate
    best = vc.parsimonious(scores)
    fits = [f if j == best else _weights_only(f, EMPTY) for j, f in enumerate(fits)]
    return Search(fits, scores, best, best == len(degrees) - 1)


def _weights_only(fit: CandidateFit, weights: Vector | None = None) -> CandidateFit:
    """The candidate without its per-point arrays but `weights` (by default its own).

    Built directly: dataclasses.replace looks the fields up anew on every call.
    """
    kept = fit.weights if weights is None else weights
    return CandidateFit(fit.degrees, fit.powers, fit.beta, kept, EMPTY, EMPTY, EMPTY, fit.s0,
                        fit.noise)


def degree_score(fit: CandidateFit, w: Vector, order: NDArray[np.intp] | None) -> float:
    """The least-squares candidate's score by the core's degree_score, on every row.

    The BIC of its leave-one-out residuals (standardised ones below 30 rows) plus, for one
    feature, the serial correlation left in its residuals. A least-squares fit keeps every
    row, outliers too: judged on its best half, as the high-breakdown candidates are, the
    flat line through the crest of a quadratic whose outliers pull every curve scored far
    below the quadratic. k counts the terms (the noise is constant, and T / W profiles its
    scale out).
    """
    trimmed, penalty, serial = vc.degree_score(fit.residuals, fit.leverage, fit.scale,
                                               fit.weights, fit.s0, fit.beta.size, w,
                                               float(w.sum()), order)
    return trimmed + penalty + serial
