"""Monomial bases of the estimator: which terms, their design matrices and penalties.

A model of degrees (d_1, ..., d_n) holds every monomial prod_k x_k ** e_k with
e_k <= d_k and total degree e_1 + ... + e_n <= max(d_k): for one feature the full
polynomial of degree d, for several the usual polynomial of that total degree, which grows
as a binomial coefficient in the number of features instead of a power.
"""

from __future__ import annotations

import functools
from collections.abc import Iterator
from itertools import accumulate

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
    return _powers(degrees).copy()


@functools.lru_cache(maxsize=64)
def _powers(degrees: tuple[int, ...]) -> Powers:
    """The terms of `monomial_powers`, listed once per degrees: every fit asks for the same few.

    Callers get copies, theirs to keep in a model: copying is a fifth of building them.
    """

    def rows(k: int, budget: int) -> Iterator[tuple[int, ...]]:
        if k == len(degrees):
            yield ()
            return
        for e in range(min(degrees[k], budget) + 1):
            for rest in rows(k + 1, budget - e):
                yield (e, *rest)

    return np.array(list(rows(0, max(degrees))), dtype=np.int64).reshape(-1, len(degrees))


@functools.lru_cache(maxsize=256)
def n_terms(degrees: tuple[int, ...]) -> int:
    """Number of terms of the model of these degrees, counted without listing them.

    Kept per degrees: every fit counts those of the same few candidates.
    """
    total = max(degrees)
    ways = [1] + [0] * total  # ways[s]: exponent vectors so far with sum s
    for d in degrees:
        below = [0, *accumulate(ways)]  # below[s]: vectors with sum < s
        ways = [below[s + 1] - below[max(0, s - d)] for s in range(total + 1)]
    return sum(ways)


def design_matrix(T: Matrix, powers: Powers) -> Matrix:
    """Design matrix of the terms `powers` at the scaled points `T` (n_samples, n_features).

    The core's, the one its robust fit uses: every evaluation of a fitted polynomial is
    this matrix times the scaled coefficients.
    """
    X: Matrix = vc.design_matrix([T[:, k] for k in range(T.shape[1])], powers.tolist())
    return X


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
