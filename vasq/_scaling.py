"""Scaling of the data to the fit's coordinates, and of the results back to the user's units.

Every feature is mapped to [-1, 1] and y to a robust location and scale before the core is
called: the fits are equivariant, and the scaling keeps the core's absolute floors (a scale
of 1e-9) meaningful and the design well conditioned far from zero.
"""

from __future__ import annotations

import functools
import math
import sys
from dataclasses import dataclass
from fractions import Fraction
from math import comb

import numpy as np
from numpy.typing import NDArray

import vasq_core as vc

Vector = NDArray[np.float64]
Matrix = NDArray[np.float64]
Powers = NDArray[np.int64]

# The unscaled MAD times this estimates a normal standard deviation.
MAD_TO_SD = 1.4826
_SMALLEST_NORMAL, _LARGEST = sys.float_info.min, sys.float_info.max


@dataclass(frozen=True, eq=False)
class Scaling:
    """t = (x - centre) / half for the features, y = y_loc + y_scale * (scaled y)."""

    centre: Vector
    half: Vector
    y_loc: float
    y_scale: float

    def features(self, X: Matrix) -> Matrix:
        """The features X in the scaled coordinates."""
        T: Matrix = (X - self.centre) / self.half
        return T

    @property
    def zero(self) -> float:
        """The scaled value of y = 0: where the signal of the noise models is zero."""
        return -self.y_loc / self.y_scale

    def to_y(self, scaled: Vector) -> Vector:
        """Scaled values of y in the user's units.

        Near the top of the double range scaled * y_scale may overflow where the sum does
        not: it is then formed a power of two lower, exactly (powers of two only move the
        exponent).
        """
        shift = max(0, math.frexp(max(abs(self.y_loc), self.y_scale))[1] - 1021)
        low_loc, low_scale = math.ldexp(self.y_loc, -shift), math.ldexp(self.y_scale, -shift)
        result: Vector = (scaled * low_scale + low_loc) * math.ldexp(1.0, shift)
        return result


def scaling_of(X: Matrix, y: Vector, kept: NDArray[np.bool_]) -> tuple[Scaling, Vector]:
    """The scaling of the `kept` rows (those of positive weight), and y in its units."""
    rows = X[kept]
    lo, hi = rows.min(axis=0), rows.max(axis=0)
    centre = 0.5 * lo + 0.5 * hi
    half = 0.5 * hi - 0.5 * lo
    y_loc, y_scale, ys = _standardise(y, kept)
    return Scaling(centre, np.where(half > 0.0, half, 1.0), y_loc, y_scale), ys


def _standardise(y: Vector, kept: NDArray[np.bool_]) -> tuple[float, float, Vector]:
    """Robust location and scale of the `kept` values of y, and all of y in those units.

    Worked out on y times a power of two that brings it below 1 in size, which is exact:
    differences, sums of the middle values and squares of y would overflow near the top of
    the double range. The scale is kept below 2**1023 so that it stays finite.
    """
    k = math.frexp(float(np.abs(y).max()))[1]
    small = np.ldexp(y, -k)
    loc = float(np.median(small[kept]))
    scale = MAD_TO_SD * vc.mad(small[kept]) or float(np.std(small[kept]))
    if k > 0:
        scale = min(scale, math.ldexp(1.0, 1023 - k))
    if scale == 0.0:  # y is constant
        return math.ldexp(loc, k), 1.0, np.zeros_like(y)
    return math.ldexp(loc, k), math.ldexp(scale, k), (small - loc) / scale


class ExactMap:
    """The change of units of the coefficients, exact: integer matrix over one denominator.

    Scaled coefficient i contributes ``prod_k ((x_k - c_k) / h_k) ** powers[i, k]``, whose
    expansion spreads over the lower terms, which the model must hold (its terms are
    closed under lowering an exponent). Doubles are dyadic rationals, so with every
    centre and half width written as an integer ratio, each entry of the map is an integer
    over one common denominator: a coefficient is then one integer dot product and one
    correctly rounded division. Built once for every column of a conversion, term by term,
    so the work grows with the number of terms, not with the tensor grid of their degrees.
    """

    def __init__(self, terms: tuple[tuple[int, ...], ...], centre: tuple[float, ...],
                 half: tuple[float, ...]) -> None:
        where = {p: i for i, p in enumerate(terms)}
        # lines[k][e]: the nonzero numerators (j, a) of x_k ** j in ((x_k - c_k) / h_k) ** e,
        # over the denominator of feature k, c_den^top * h_num^top (top its highest e).
        lines: list[dict[int, list[tuple[int, int]]]] = []
        denominator = 1
        for k, (c, h) in enumerate(zip(centre, half, strict=True)):
            (c_num, c_den), (h_num, h_den) = c.as_integer_ratio(), h.as_integer_ratio()
            exponents = {p[k] for p in terms}
            top = max(exponents)
            lines.append({
                e: [(j, comb(e, j) * (-c_num) ** (e - j) * c_den ** (top - e + j)
                     * h_den**e * h_num ** (top - e))
                    for j in range(e + 1) if c_num or j == e]
                for e in exponents
            })
            denominator *= c_den**top * h_num**top
        # columns[i]: the nonzero entries (row, numerator) of scaled term i's column
        self.columns: list[list[tuple[int, int]]] = []
        for p in terms:
            parts: dict[tuple[int, ...], int] = {(): 1}
            for k, e in enumerate(p):
                line = lines[k][e]
                parts = {key + (j,): v * a for key, v in parts.items() for j, a in line}
            self.columns.append([(where[key], v) for key, v in parts.items()])
        self.terms = terms
        self.denominator = denominator

    def apply(self, vectors: list[list[float]], y_scale: float = 1.0,
              y_loc: float = 0.0) -> list[list[float]]:
        """``y_loc + y_scale * M v`` for each of the `vectors` v (y_loc on the constant).

        Each entry is rounded once. One call for all the columns of a conversion.

        Raises
        ------
        ValueError
            If an entry lies beyond the range of double precision.
        """
        s_num, s_den = y_scale.as_integer_ratio()
        l_num, l_den = y_loc.as_integer_ratio()
        constant = self.terms.index((0,) * len(self.terms[0])) if l_num else 0
        scaled = (s_num, l_den) != (1, 1)  # else the numerators are the sums themselves
        mapped = []
        for values in vectors:
            ratios = [v.as_integer_ratio() for v in values]
            # Denominators of doubles are powers of two: the largest is a multiple of all.
            common = max([d for _, d in ratios])
            sums = [0] * len(self.terms)
            for (num, den), column in zip(ratios, self.columns, strict=True):
                if num:
                    num *= common // den
                    for row, a in column:
                        sums[row] += a * num
            denominator = s_den * common * self.denominator * l_den
            numerators = [s_num * total * l_den for total in sums] if scaled else sums
            if l_num:
                numerators[constant] += l_num * (denominator // l_den)
            mapped.append([_rounded(n, denominator, term)
                           for n, term in zip(numerators, self.terms, strict=True)])
        return mapped


def exact_map(powers: Powers, scaling: Scaling) -> ExactMap:
    """The ExactMap of the terms `powers` under the features' `scaling`.

    Kept for the next call: the coefficients and their covariance use the same map, and so
    do the series of fit_curves that share their x (their maps differ in y's units alone).
    """
    terms = tuple(map(tuple, powers.tolist()))
    return _exact_map(terms, tuple(scaling.centre.tolist()), tuple(scaling.half.tolist()))


@functools.lru_cache(maxsize=64)
def _exact_map(terms: tuple[tuple[int, ...], ...], centre: tuple[float, ...],
               half: tuple[float, ...]) -> ExactMap:
    # 0.0 and -0.0 are one key, and have one map: both are the integer ratio 0 / 1.
    return ExactMap(terms, centre, half)


def to_user_units(beta: Vector, powers: Powers, scaling: Scaling) -> Vector:
    """Coefficients in raw x of ``y_loc + y_scale * sum_i beta_i prod_k t_k ** powers[i, k]``.

    Exact, each coefficient rounded once: far from zero its parts cancel heavily, and
    1 / h_k ** e overflows or underflows where the coefficient itself does not (see
    `ExactMap`).

    Raises
    ------
    ValueError
        If a coefficient lies beyond the range of double precision.
    """
    [coef] = exact_map(powers, scaling).apply([beta.tolist()], scaling.y_scale, scaling.y_loc)
    return np.array(coef, dtype=np.float64)


def to_user_covariance(cov: Matrix, powers: Powers, scaling: Scaling) -> Matrix:
    """The covariance of the coefficients in the user's units, from the scaled one.

    The map from scaled coefficients to the user's is linear (plus a constant shift of the
    intercept, which does not change a covariance): with M its matrix, the result is
    y_scale^2 M cov M^T, each product taken column by column through the exact map and
    rounded once. A covariance with a NaN (too little weight among the inliers) is NaN
    throughout.

    Raises
    ------
    ValueError
        If an entry lies beyond the range of double precision.
    """
    if np.isnan(cov).any():
        return np.full(cov.shape, np.nan)
    exact = exact_map(powers, scaling)
    half_way = exact.apply(cov.T.tolist())  # its columns
    # Row i of the result's transpose is M times row i of half_way.
    mapped = exact.apply([list(row) for row in zip(*half_way, strict=True)])
    unscaled = np.array(mapped, dtype=np.float64).T
    # Times y_scale twice, not its square: the square overflows from about 1.3e154, where the
    # covariance itself may not, and the same two roundings at every y_scale keep the result
    # exactly proportional to y_scale^2 when y is scaled by a power of two.
    with np.errstate(over="ignore", invalid="ignore"):
        result: Matrix = unscaled * scaling.y_scale * scaling.y_scale
        result = 0.5 * (result + result.T)
    if not np.isfinite(result).all():
        raise ValueError("the coefficients' covariance in the units of the data is beyond the "
                         "range of double precision; predict, intervals and saved models are "
                         "not affected, as they work in scaled coordinates")
    return result


def _rounded(numerator: int, denominator: int, term: tuple[int, ...]) -> float:
    """The double nearest numerator / denominator, or a ValueError if it over- or underflows."""
    try:
        result = numerator / denominator  # correctly rounded
    except OverflowError:
        result = math.inf
    if _SMALLEST_NORMAL <= abs(result) <= _LARGEST:  # within the range, not subnormal
        return result
    if math.isinf(result) or (
        numerator and abs(result) < _SMALLEST_NORMAL
        and Fraction(result) != Fraction(numerator, denominator)
    ):
        value = Fraction(numerator, denominator)
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
