"""The degree search: which candidate degrees can be fitted, and the trimmed BIC that picks one."""

from __future__ import annotations

import math
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import cast

import numpy as np
from numpy.typing import NDArray
from scipy import special

from vasq import _basis
from vasq._candidate import CandidateFit
from vasq._uncertainty import estimated_count

Vector = NDArray[np.float64]
Degrees = tuple[int, ...]
EMPTY = np.empty(0)
# The largest leverage used: an exact fit's leverage of 1 would divide by zero.
MAX_LEVERAGE = 0.99
# The smallest trimmed variance, in scaled-y units: a fit exact on the trimmed points
# scores as the core's scale floor, not as minus infinity.
VARIANCE_FLOOR = 1e-18
# How far below a lower degree's score a higher one must be to win: a difference of 2 in
# BIC is the least that counts as positive evidence (Kass & Raftery, J. Am. Stat. Assoc. 90,
# 1995); nearer, the data do not tell the two apart, and the simpler is kept (Occam's
# window, Madigan & Raftery, J. Am. Stat. Assoc. 89, 1994).
PARSIMONY = 2.0


@dataclass(frozen=True)
class Search:
    """The candidates fitted, their scores, the chosen one, and whether it is the last degree.

    The candidates keep their weights only (their other per-point arrays are dropped), and
    only those that `parsimonious` could choose (within PARSIMONY of the lowest score); the
    last value says whether the chosen is the last of the degrees that could be tried.
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
    trade is breakdown, since the trimmed mass of the criterion (trimmed_mass) is then 5 of
    the 6 points and one outlier in six is the most that can be told apart from curvature;
    from n = 8 the quadratic's own trimmed half has 3 residual degrees of freedom, one per
    term.
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


def search(
    candidates: Iterable[CandidateFit], degrees: list[Degrees], w: Vector,
    order: NDArray[np.intp] | None,
) -> Search:
    """Score every candidate as it arrives (degree_score); pick one (parsimonious).

    `candidates` are the fits of `degrees`, in their order; `order` sorts the rows by their
    one feature (None for several). Every score uses the same trimmed mass, fixed from the
    largest candidate before any is scored, so no candidate's per-point arrays are kept for
    a later comparison.
    """
    rows = Rows.of(w, order)
    mass = trimmed_mass(w, _basis.n_terms(degrees[-1]))
    fits: list[CandidateFit] = []
    scores: list[float] = []
    for candidate in candidates:
        scores.append(degree_score(candidate, rows, mass))
        # Only the weights of a candidate are read again, and only of one that may still be
        # chosen: on large data, each per-point array is a copy of the input's size.
        fits.append(_weights_only(candidate, candidate.weights))
        lowest = min(scores)
        # Each fit that falls out is emptied once, not again as every later candidate arrives.
        fits = [_weights_only(f, EMPTY) if s > lowest + PARSIMONY and f.weights.size else f
                for f, s in zip(fits, scores, strict=True)]
        # The loop variable would hold this candidate's arrays while the next one is fitted.
        del candidate
    best = parsimonious(scores)
    return Search(fits, scores, best, best == len(degrees) - 1)


def _weights_only(fit: CandidateFit, weights: Vector) -> CandidateFit:
    """The candidate with `weights` and without its other per-point arrays.

    Built directly: dataclasses.replace looks the fields up anew on every call.
    """
    return CandidateFit(fit.degrees, fit.powers, fit.beta, weights, EMPTY, EMPTY, EMPTY,
                        fit.s0, fit.noise)


def parsimonious(scores: list[float]) -> int:
    """The first candidate (the lowest degree) whose score is within PARSIMONY of the lowest.

    A flexible candidate that scores a hair below the true degree has usually bought it by
    fitting a few clean points more closely, or by bending towards a group of outliers; which
    of two near-equal scores is lower then changes with the random starts.
    """
    lowest = min(scores)
    return next(i for i, score in enumerate(scores) if score <= lowest + PARSIMONY)


@dataclass(frozen=True)
class Rows:
    """What every candidate's score reads of the rows, worked out once per search.

    `kept` selects the rows of positive weight (None when that is all of them, so that no
    copy is made), `w_kept` are their weights, `log_total` is log W of the total weight,
    and `serial` lists the kept rows in increasing x (None for several features).
    """

    w: Vector
    kept: NDArray[np.bool_] | None
    w_kept: Vector
    log_total: float
    serial: NDArray[np.intp] | None

    @classmethod
    def of(cls, w: Vector, order: NDArray[np.intp] | None) -> Rows:
        """The rows of weights `w`; `order` sorts them by their one feature (None for several)."""
        positive = w > 0.0
        kept = None if positive.all() else positive
        serial = None if order is None else order if kept is None else order[positive[order]]
        return cls(w, kept, w if kept is None else w[kept], float(np.log(w.sum())), serial)

    def select(self, values: Vector) -> Vector:
        """The entries of `values` on the kept rows."""
        return values if self.kept is None else values[self.kept]


def degree_score(fit: CandidateFit, rows: Rows, mass: float) -> float:
    """The candidate's trimmed BIC plus, for one feature, the structure left in its inliers."""
    structure = 0.0 if rows.serial is None else serial_structure(fit, rows)
    return trimmed_bic(fit, rows, mass) + structure


def trimmed_mass(w: Vector, n_terms: int) -> float:
    """The weight h of the points every candidate is judged on.

    h = max(floor((W + p + 1) / 2), min(W - 1, 2 p + 2)), capped at W, with W the total
    weight and p the terms of the largest candidate. The half is the largest share that
    still leaves every candidate the breakdown point of the fits. On short series h rises
    to 2 p + 2 (all rows but one at most): a candidate fitted to its own best half of few
    points, with about as many residual degrees of freedom as terms, fits that half far
    below the noise by chance (at n = 14 a cubic picks out 9 of 14 clean points at a tenth
    of the noise sd in a quarter of data sets), and judged on that half alone it wins. The
    trade is breakdown: below 3 p + 3 points the criterion sets aside W - 2 p - 2 rows,
    fewer than half (2 of 14 for a largest candidate of 5 terms), and at least one.
    """
    total = float(w.sum())
    half = float(np.floor((total + n_terms + 1) / 2.0))
    return min(total, max(half, min(total - 1.0, 2.0 * n_terms + 2.0)))


def trimmed_bic(fit: CandidateFit, rows: Rows, mass: float) -> float:
    """The candidate's BIC of the trimmed normal likelihood, lower is better.

    h log(T / (h c(h / N))) + sum_H w_i log v_i + k log W (the BIC of the trimmed likelihood
    estimator of Neykov, Filzmoser, Dimova and Neytchev, Comput. Stat. Data Anal. 52,
    2007, with Schwarz's penalty at the total weight W: on clean lines of 15 to 200 points
    an unneeded term gained more than log h about twice as often, 8-18 %, as a chi-squared
    on one degree of freedom exceeds it, since each candidate picks its own best h points;
    log(W / h) more per term brings that back), with
    e_i = r_i / (1 - h_i) the residuals with the candidate's leverage taken out
    (leave-one-out residuals of least squares, so that a near-interpolating fit gains
    nothing), v_i = (scale_i / s0)^2 the shape of the candidate's noise model, H the rows
    of smallest |e_i| / sqrt(v_i) up to weight h = `mass` (the last taken in part),
    T = sum_H w_i e_i^2 / v_i, k the number of parameters fitted (the terms and the noise
    model's parameters beyond its scale, which T / h profiles out: the exponent of a power
    model, the ratio of a two-component model's parts; BIC charges every parameter fitted,
    and a candidate is scored at the noise model the core chose for it), N the weight of
    the candidate's inliers (robustness weight above 0) and c(a) the variance of the
    central share a of a
    standard normal (1 for a >= 1): T / (h c(h / N)) estimates the noise variance
    whichever share of its own inliers the h points are (the consistency factor of the
    trimmed scale, Rousseeuw and Leroy, Robust Regression and Outlier Detection, 1987).
    Without it a candidate that takes a coherent group of outliers in has more inliers to
    pick the same h from, and scores lower for that alone: on 15 of 60 points stacked 20
    sd off at the end, a quartic through 11 of them beat the quadratic that flags all 15
    by 7. h is the same for every candidate
    (trimmed_mass): each is judged on the h points it fits best, so a group of outliers
    short of half the weight (fewer on short series) never enters, and no candidate gains
    by rejecting points. The leverages are those of the weighted least squares the
    candidate ends on, rows weighted by w_i times their robustness weight over scale_i^2:
    a rejected row has none (its residual is already a prediction), and a flexible fit to
    the few rows it keeps has their high leverage.
    Rows of zero weight take no part.
    """
    h = np.minimum(rows.select(fit.leverage), MAX_LEVERAGE)
    shape = rows.select(fit.scale) / fit.s0
    with np.errstate(over="ignore"):
        u2 = (rows.select(fit.residuals) / ((1.0 - h) * shape)) ** 2
    order = u2.argsort(kind="stable")
    wk = rows.w_kept[order]
    # The weight each sorted row contributes to H: whole rows, then the remainder of h. The
    # weight before a row only grows, so the rows that contribute are the first `used`.
    before = np.concatenate(([0.0], wk.cumsum()[:-1]))
    used = int(before.searchsorted(mass, side="left"))
    taken = np.minimum(mass - before[:used], wk[:used])
    first = order[:used]
    T = float(np.dot(taken, u2[first]))
    log_shape = float(np.dot(taken, 2.0 * np.log(shape[first])))
    inliers = float(rows.w_kept[rows.select(fit.weights) > 0.0].sum())
    share = mass / inliers if inliers > mass else 1.0
    variance = max(T / (mass * central_variance(share)), VARIANCE_FLOOR)
    return mass * float(np.log(variance)) + log_shape + bic_penalty(fit, rows.log_total)


def bic_penalty(fit: CandidateFit, log_total: float) -> float:
    """The penalty k log W of trimmed_bic: k the terms and noise parameters beyond the scale."""
    k = fit.beta.size + estimated_count(fit.noise.kind, fit.powers.shape[1]) - 1
    return k * log_total


def central_variance(share: float) -> float:
    """The variance of the central `share` of a standard normal.

    1 - 2 q phi(q) / share with q = Phi^-1((1 + share) / 2): the second moment of the normal
    truncated to [-q, q], whose mass is `share`. The closed form, not scipy's generic
    truncated-normal moments, which cost a millisecond a candidate.
    """
    if share >= 1.0:
        return 1.0
    q = float(special.ndtri(0.5 + 0.5 * share))
    return 1.0 - 2.0 * q * math.exp(-0.5 * q * q) / (math.sqrt(2.0 * math.pi) * share)


def serial_structure(fit: CandidateFit, rows: Rows) -> float:
    """The serial correlation left in the candidate's inliers' residuals, in the order of x.

    W max(0, 1 - D / V)^2 over the inliers (rows of positive weight and robustness weight):
    u_i = r_i / scale_i, V = sum w_i u_i^2 / W, D = sum_j (u_j+1 - u_j)^2 / (2 (W - 1))
    over consecutive inliers in increasing x, W their total weight; a row of weight m
    counts as m rows at one x, whose differences among themselves are 0. D / V is von
    Neumann's ratio (Ann. Math. Statist. 12, 1941; Durbin and Watson's statistic over 2),
    1 - D / V the first-order serial correlation it implies, and the term the score
    statistic for that correlation, chi-squared on one degree of freedom when the
    residuals are noise; only positive correlation counts. A candidate that bends through
    a group of outliers leaves smooth misfit on the points around it, which the trimmed
    likelihood alone does not see.
    """
    serial = cast(NDArray[np.intp], rows.serial)
    inliers = serial[fit.weights[serial] > 0.0]
    u = fit.residuals[inliers] / fit.scale[inliers]
    wi = rows.w[inliers]
    total = float(wi.sum())
    if total <= 1.0 or u.size < 2:
        return 0.0
    V = float(np.dot(wi, u * u)) / total
    D = float(((u[1:] - u[:-1]) ** 2).sum()) / (2.0 * (total - 1.0))  # np.diff's subtraction
    if V <= 0.0:
        return 0.0
    return total * max(0.0, 1.0 - D / V) ** 2
