"""Calibration data sets for the coverage benchmark: standards, noise models, gross outliers.

Every case is a quadratic calibration curve of one feature (the concentration x) measured
at fixed standards, L levels times r replicates, and a noise sd that is a function of x
(through the true signal or directly). A case draws one data set per seed; the design and
the evaluation grid are the same for every seed, so that peers with fixed weights see
exactly the data we see.

Gross outliers: round(share * n) readings chosen at random, each moved by 10 to 30 of its
own noise sd, up or down at random, so that a method judging residuals against the local
noise can find every one of them. A block instead takes the last readings, those of the
highest standard, and moves them all up: a variance free to grow towards the noisy end
would absorb them.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass

import numpy as np

GRID_POINTS = 60
GROSS_SHIFT = (10.0, 30.0)  # in local noise sd


@dataclass(frozen=True)
class Draw:
    y: np.ndarray  # (n,) readings
    outlier: np.ndarray  # (n,) bool, the planted gross errors


@dataclass(frozen=True)
class Case:
    key: str  # short id for --cases and the JSON
    name: str
    levels: np.ndarray  # (L,) concentrations of the standards
    replicates: int
    coef: np.ndarray  # true coefficients of 1, x, x^2
    noise_sd: Callable[[np.ndarray, np.ndarray], np.ndarray]  # (x, signal) -> sd
    outliers: float = 0.0
    block: bool = False  # the outliers are the highest standard's readings, all moved up
    t_dof: float | None = None  # Student's t noise of this many dof (unit variance), or normal
    inverse: bool = False  # also measure inverse prediction on this case

    @property
    def geometric(self) -> bool:
        return bool(self.levels[-1] / self.levels[0] > 20.0)

    @property
    def x(self) -> np.ndarray:
        return np.repeat(self.levels, self.replicates)

    @property
    def n(self) -> int:
        return self.levels.size * self.replicates

    def signal(self, x: np.ndarray) -> np.ndarray:
        return self.coef[0] + self.coef[1] * x + self.coef[2] * x**2

    def sd(self, x: np.ndarray) -> np.ndarray:
        return self.noise_sd(x, self.signal(x))

    def spaced(self, fractions: np.ndarray) -> np.ndarray:
        """Points at these fractions of the standards' range: of log x where they are geometric."""
        lo, hi = self.levels[0], self.levels[-1]
        if self.geometric:
            return lo * (hi / lo) ** fractions
        return lo + (hi - lo) * fractions

    def grid(self) -> np.ndarray:
        """GRID_POINTS points spanning the standards, evenly in log x where they are geometric."""
        return self.spaced(np.linspace(0.0, 1.0, GRID_POINTS))

    def thirds(self, x: np.ndarray) -> np.ndarray:
        """0, 1 or 2: the third of the range (of log x where geometric) each x falls in."""
        lo, hi = self.levels[0], self.levels[-1]
        if self.geometric:
            u = np.log(x / lo) / np.log(hi / lo)
        else:
            u = (x - lo) / (hi - lo)
        return np.minimum((u * 3.0).astype(int), 2)

    def noise(self, rng: np.random.Generator, x: np.ndarray) -> np.ndarray:
        """Clean noise at x: normal, or Student's t scaled to the same sd."""
        if self.t_dof is None:
            z = rng.standard_normal(x.size)
        else:
            z = rng.standard_t(self.t_dof, x.size) / np.sqrt(self.t_dof / (self.t_dof - 2.0))
        return self.sd(x) * z

    def readings(self, rng: np.random.Generator, x: np.ndarray) -> np.ndarray:
        """New clean readings at x."""
        return self.signal(x) + self.noise(rng, x)

    def draw(self, seed: int) -> Draw:
        rng = np.random.default_rng([seed, 21])
        x = self.x
        y = self.readings(rng, x)
        outlier = np.zeros(x.size, dtype=bool)
        k = round(self.outliers * x.size)
        if self.block:
            outlier[x.size - k:] = True
        else:
            outlier[rng.choice(x.size, k, replace=False)] = True
        sign = np.ones(k) if self.block else rng.choice([-1.0, 1.0], k)
        shift = sign * rng.uniform(*GROSS_SHIFT, k)
        y[outlier] += shift * self.sd(x[outlier])
        return Draw(y, outlier)


def constant(sd: float) -> Callable[[np.ndarray, np.ndarray], np.ndarray]:
    return lambda x, signal: np.full(x.shape, sd)


def constant_cv(cv: float) -> Callable[[np.ndarray, np.ndarray], np.ndarray]:
    return lambda x, signal: cv * np.abs(signal)


def two_component(a: float, b: float) -> Callable[[np.ndarray, np.ndarray], np.ndarray]:
    return lambda x, signal: np.sqrt(a**2 + (b * signal) ** 2)


def growing_in_x(low: float, ratio: float, x0: float, x1: float):
    """An sd rising linearly in x from `low` at x0 to `ratio` times that at x1."""
    return lambda x, signal: low * (1.0 + (ratio - 1.0) * (x - x0) / (x1 - x0))


LINE = np.array([1.0, 2.0, -0.05])  # on 1 ... 10: rises from 2.95 to 16, bending by 5
CALIBRATION = np.array([0.02, 1.0, -0.002])  # on 0.01 ... 100: 0.03 to 80, bending by 20 %


def linear_levels(count: int) -> np.ndarray:
    return np.linspace(1.0, 10.0, count)


def decades(count: int, spanned: int) -> np.ndarray:
    return np.geomspace(10.0 ** (2 - spanned), 100.0, count)


# The grid covers each axis from a base case, not their product. Noise: constant,
# constant CV over 2 and 4 decades, two-component, growing 10 x and 100 x in x, Student's
# t (3 dof). Outliers: 0, 10 and 25 % on constant noise and 2-decade CV, 10 % on 4-decade
# CV, two-component and 100 x, and a block of 4 of the 5 readings at the highest 2-decade CV
# standard. Sizes: n = 15 (5 x 3), 40 (8 x 5), 200 (20 x 10).
CASES = [
    Case("const-n40", "constant noise, n=40", linear_levels(8), 5, LINE, constant(0.3),
         inverse=True),
    Case("const-n15", "constant noise, n=15", linear_levels(5), 3, LINE, constant(0.3)),
    Case("const-n40-o10", "constant noise, n=40, 10% out", linear_levels(8), 5, LINE,
         constant(0.3), outliers=0.10),
    Case("const-n200-o25", "constant noise, n=200, 25% out", linear_levels(20), 10, LINE,
         constant(0.3), outliers=0.25),
    Case("cv2-n40", "CV 3%, 2 decades, n=40", decades(8, 2), 5, CALIBRATION,
         constant_cv(0.03), inverse=True),
    Case("cv2-n40-o10", "CV 3%, 2 decades, n=40, 10% out", decades(8, 2), 5, CALIBRATION,
         constant_cv(0.03), outliers=0.10, inverse=True),
    Case("cv2-n40-o25", "CV 3%, 2 decades, n=40, 25% out", decades(8, 2), 5, CALIBRATION,
         constant_cv(0.03), outliers=0.25),
    Case("cv2-n40-block", "CV 3%, 2 decades, n=40, 4 high out", decades(8, 2), 5,
         CALIBRATION, constant_cv(0.03), outliers=0.10, block=True),
    Case("cv2-n15", "CV 3%, 2 decades, n=15", decades(5, 2), 3, CALIBRATION,
         constant_cv(0.03), inverse=True),
    Case("cv4-n200", "CV 3%, 4 decades, n=200", decades(20, 4), 10, CALIBRATION,
         constant_cv(0.03), inverse=True),
    Case("cv4-n200-o10", "CV 3%, 4 decades, n=200, 10% out", decades(20, 4), 10, CALIBRATION,
         constant_cv(0.03), outliers=0.10),
    Case("2comp-n40", "two-component 0.1, 3%, n=40", decades(8, 2), 5, CALIBRATION,
         two_component(0.1, 0.03), inverse=True),
    Case("2comp-n40-o10", "two-component, n=40, 10% out", decades(8, 2), 5, CALIBRATION,
         two_component(0.1, 0.03), outliers=0.10),
    Case("x10-n40", "sd 10x in x, n=40", linear_levels(8), 5, LINE,
         growing_in_x(0.05, 10.0, 1.0, 10.0)),
    Case("x100-n15", "sd 100x in x, n=15", linear_levels(5), 3, LINE,
         growing_in_x(0.01, 100.0, 1.0, 10.0)),
    Case("x100-n40", "sd 100x in x, n=40", linear_levels(8), 5, LINE,
         growing_in_x(0.01, 100.0, 1.0, 10.0)),
    Case("x100-n200-o10", "sd 100x in x, n=200, 10% out", linear_levels(20), 10, LINE,
         growing_in_x(0.01, 100.0, 1.0, 10.0), outliers=0.10),
    Case("t3-n40", "Student t3 noise, n=40", linear_levels(8), 5, LINE, constant(0.3),
         t_dof=3.0),
]
