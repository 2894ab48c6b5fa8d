"""Monomial bases of the estimator: which terms, their design matrices and penalties.

A model of degrees (d_1, ..., d_n) holds every monomial prod_k x_k ** e_k with
e_k <= d_k and total degree e_1 + ... + e_n <= max(d_k): for one feature the full
polynomial of degree d, for several the usual polynomial of that total degree, which grows
as a binomial coefficient in the number of features instead of a power.
"""

from __future__ import annotations

import math
import sys
from collections.abc import Iterator
from fractions import Fraction
from itertools import accumulate
from math import comb

import numpy as np
from numpy.typing import NDArray

import vasq_core as vc

Matrix = NDArray[np.float64]
Powers = NDArray[np.int64]

# Grid points per feature of the N-D penalty build, whose cost grows as the grid's
# size times the square of the tensor basis: fine for two features, bounded for three.
PENALTY_GRID = {2: 30, 3: 10}


def monomial_powers(degrees: tuple[int, ...]) -> Powers:
    """Exponents of the model's terms, (n_terms, n_features), feature 0 varying slowest."""

    def rows(k: int, budget: int) -> Iterator[tuple[int, ...]]:
        if k == len(degrees):
            yield ()
            return
        for e in range(min(degrees[k], budget) + 1):
            for rest in rows(k + 1, budget - e):
                yield (e, *rest)

    return np.array(list(rows(0, max(degrees))), dtype=np.int64).reshape(-1, len(degrees))


def n_terms(degrees: tuple[int, ...]) -> int:
    """Number of terms of the model of these degrees, counted without listing them."""
    total = max(degrees)
    ways = [1] + [0] * total  # ways[s]: exponent vectors so far with sum s
    for d in degrees:
        below = [0, *accumulate(ways)]  # below[s]: vectors with sum < s
        ways = [below[s + 1] - below[max(0, s - d)] for s in range(total + 1)]
    return sum(ways)


def design_matrix(T: Matrix, powers: Powers) -> Matrix:
    """Design matrix of the terms `powers` at the scaled points `T` (n_samples, n_features).

    One feature with the terms 1, t, ..., t^d takes the core's recurrence of products.
    """
    if T.shape[1] == 1 and np.array_equal(powers[:, 0], np.arange(len(powers))):
        return vc.design_matrix_1d(int(powers[-1, 0]), T[:, 0])
    return vc.design_matrix_nd(powers.tolist(), [T[:, k] for k in range(T.shape[1])])


def penalty_matrices(powers: Powers) -> tuple[Matrix, Matrix]:
    """Smoothness penalties (R1, R2) of the terms `powers` over the box [-1, 1]^n."""
    n = powers.shape[1]
    degrees = [int(d) for d in powers.max(axis=0)]
    if n == 1:
        return vc.smoothness_penalty_matrices_1d(degrees[0], -1.0, 1.0)
    if n not in PENALTY_GRID:
        raise ValueError(
            f"method='penalized' supports at most {max(PENALTY_GRID)} features, got {n}"
        )
    R1, R2, tensor = vc.build_penalty_matrices_nd(degrees, [(-1.0, 1.0)] * n, PENALTY_GRID[n])
    # The tensor basis holds every term of ours; the penalty of a subset is the sub-matrix.
    where = {tuple(m): i for i, m in enumerate(tensor)}
    keep = [where[tuple(int(e) for e in p)] for p in powers]
    return R1[np.ix_(keep, keep)], R2[np.ix_(keep, keep)]


def to_user_units(
    beta: NDArray[np.float64],
    powers: Powers,
    centre: NDArray[np.float64],
    half: NDArray[np.float64],
    y_loc: float,
    y_scale: float,
) -> NDArray[np.float64]:
    """Coefficients in raw x of ``y_loc + y_scale * sum_i beta_i prod_k t_k ** powers[i, k]``,
    where t = (x - centre) / half.

    Each factor ((x_k - c_k) / h_k) ** e expands into powers of x_k no higher than e, so
    every term spreads over lower terms, which the model must hold (its terms are closed
    under lowering an exponent). The expansion is exact, in rationals, and each coefficient
    is rounded once: far from zero its parts cancel heavily, and 1 / h_k ** e overflows or
    underflows where the coefficient itself does not. Term by term, the work grows with the
    number of terms, not with the tensor grid of their degrees.

    Raises
    ------
    ValueError
        If a coefficient lies beyond the range of double precision.
    """
    where = {p: i for i, p in enumerate(map(tuple, powers.tolist()))}
    # expansion[k][e]: nonzero coefficients (j, a) of x_k ** j in ((x_k - c_k) / h_k) ** e
    expansion: list[dict[int, list[tuple[int, Fraction]]]] = []
    for k, (c, h) in enumerate(zip(centre.tolist(), half.tolist())):
        shift, width = Fraction(c), Fraction(h)
        expansion.append({
            e: [(j, comb(e, j) * (-shift) ** (e - j) / width**e) for j in range(e + 1)
                if shift or j == e]
            for e in set(powers[:, k].tolist())
        })
    exact = dict.fromkeys(where, Fraction(0))
    scale = Fraction(y_scale)
    for b, p in zip(beta.tolist(), powers.tolist()):
        parts: dict[tuple[int, ...], Fraction] = {(): scale * Fraction(b)}
        for k, e in enumerate(p):
            line = expansion[k][e]
            parts = {key + (j,): v * a for key, v in parts.items() for j, a in line}
        for key, v in parts.items():
            exact[key] += v
    if y_loc:
        exact[(0,) * powers.shape[1]] += Fraction(y_loc)
    return np.array([_rounded(v, key) for key, v in exact.items()], dtype=np.float64)


def _rounded(value: Fraction, term: tuple[int, ...]) -> float:
    """The double nearest `value`, or a ValueError if it over- or underflows."""
    try:
        result = value.numerator / value.denominator  # correctly rounded
    except OverflowError:
        result = math.inf
    if math.isinf(result) or (
        value and abs(result) < sys.float_info.min and Fraction(result) != value
    ):
        # Its decimal exponent, then three digits of the ratio, which is of order one.
        exponent = math.floor(math.log10(abs(value.numerator)) - math.log10(value.denominator))
        digits, carry = f"{float(value / Fraction(10) ** exponent):.2e}".split("e")
        name = "*".join(f"x{k}" if e == 1 else f"x{k}^{e}" for k, e in enumerate(term) if e)
        raise ValueError(
            f"the coefficient of {name or 1} in the units of the data, about "
            f"{digits}e{exponent + int(carry)}, "
            "is beyond the range of double precision; predict and saved models are not "
            "affected, as they work in scaled coordinates"
        )
    return result


def evaluate(
    X: Matrix,
    powers: Powers,
    beta: NDArray[np.float64],
    centre: NDArray[np.float64],
    half: NDArray[np.float64],
    y_loc: float,
    y_scale: float,
) -> NDArray[np.float64]:
    """``y_loc + y_scale * sum_i beta_i prod_k t_k ** powers[i, k]`` at t = (X - centre) / half.

    The one evaluation of the estimator and of saved models, so that both give the same bits.
    """
    T = (X - centre) / half
    scaled = design_matrix(T, powers) @ beta
    # Near the top of the double range scaled * y_scale may overflow where the sum does not:
    # it is then formed a power of two lower, exactly (powers of two only move the exponent).
    shift = max(0, math.frexp(max(abs(y_loc), y_scale))[1] - 1021)
    low_loc, low_scale = math.ldexp(y_loc, -shift), math.ldexp(y_scale, -shift)
    result: NDArray[np.float64] = (scaled * low_scale + low_loc) * math.ldexp(1.0, shift)
    return result
