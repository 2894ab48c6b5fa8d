"""Seeded regression problems with a known true curve and planted outliers.

Shared by the accuracy benchmarks and the documentation's examples. Each problem draws a
`Sample` from a seed: features X of shape (n, d), observations y and the boolean mask of the
planted outliers. `Problem.grid` gives points inside the box spanned by the clean points,
where the true curve is compared with a fit. Noise levels and ranges are chosen so that the
true degree is clearly supported by the clean points: the highest term moves the curve by
many noise sd across the range, and a term of one degree more would not.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from functools import partial

import numpy as np


@dataclass(frozen=True)
class Sample:
    X: np.ndarray  # (n, d)
    y: np.ndarray  # (n,)
    outlier: np.ndarray  # (n,) bool, True where a reading was planted off the true curve
    sd: np.ndarray  # (n,) noise sd of each reading had it been clean


Draw = Callable[[np.random.Generator], Sample]


@dataclass(frozen=True)
class Problem:
    name: str
    family: str  # "existing", "short", "ramp", "block", "leverage", "calibration" or one of
    # SELECTION's: "window", "high", "stacked", "far", "few"
    truth: Callable[[np.ndarray], np.ndarray]  # X (n, d) -> y
    degree: int | None  # the true degree, None when the curve is not a polynomial
    n_features: int
    draw: Draw

    def sample(self, seed: int) -> Sample:
        return self.draw(np.random.default_rng(seed))

    def grid(self, sample: Sample) -> np.ndarray:
        """Points spanning the clean points' bounding box: 1001 in 1-D, 61^2 or 11^3 beyond."""
        clean = sample.X[~sample.outlier]
        lo, hi = clean.min(axis=0), clean.max(axis=0)
        per_axis = {1: 1001, 2: 61}.get(self.n_features, 11)
        axes = [np.linspace(a, b, per_axis) for a, b in zip(lo, hi, strict=True)]
        return np.column_stack([g.ravel() for g in np.meshgrid(*axes, indexing="ij")])


def cubic(X: np.ndarray) -> np.ndarray:
    x = X[:, 0]
    return 1.0 + 4.0 * x - 1.5 * x**2 + 0.12 * x**3


def logistic(X: np.ndarray) -> np.ndarray:
    return 10.0 / (1.0 + np.exp(-1.2 * (X[:, 0] - 5.0)))


def surface(X: np.ndarray) -> np.ndarray:
    a, b = X[:, 0], X[:, 1]
    return 3.0 + 0.5 * a - 0.8 * b + 0.1 * a**2 + 0.05 * a * b - 0.06 * b**2


def quadratic(X: np.ndarray) -> np.ndarray:
    x = X[:, 0]
    return 1.0 + 0.8 * x - 0.12 * x**2


def line(X: np.ndarray) -> np.ndarray:
    return 2.0 + 0.5 * X[:, 0]


def plane(X: np.ndarray) -> np.ndarray:
    return 1.0 + 0.5 * X[:, 0] - 0.3 * X[:, 1] + 0.8 * X[:, 2]


def response(X: np.ndarray) -> np.ndarray:
    """Instrument response to a concentration in ug/L, saturating slightly."""
    c = X[:, 0]
    return 50.0 + 20.0 * c - 0.012 * c**2


def draw_gross(
    rng: np.random.Generator,
    truth: Callable[[np.ndarray], np.ndarray],
    n: int,
    d: int,
    two_sided: bool,
) -> Sample:
    """x uniform on [0, 10]^d, noise sd 0.2 + 0.15 x_1, a fifth of the points 5-25 above
    (or either side of) the curve. The draws keep the order of the original benchmark."""
    X = rng.uniform(0.0, 10.0, (n, d))
    sd = 0.2 + 0.15 * X[:, 0]
    y = truth(X) + rng.normal(0.0, 1.0, n) * sd
    outliers = rng.random(n) < 0.2
    size = rng.uniform(5.0, 25.0, outliers.sum())
    sign = rng.choice([-1.0, 1.0], outliers.sum()) if two_sided else 1.0
    y[outliers] += sign * size
    return Sample(X, y, outliers, sd)


def draw_short(rng: np.random.Generator, n: int, spiked: bool) -> Sample:
    """n points of a quadratic, evenly spaced on [0, 10] with jitter of a quarter spacing;
    with `spiked`, one reading 10-30 sd off either way."""
    spacing = 10.0 / (n - 1)
    x = np.linspace(0.0, 10.0, n) + rng.uniform(-0.25, 0.25, n) * spacing
    X = np.clip(x, 0.0, 10.0)[:, None]
    y = quadratic(X) + rng.normal(0.0, SHORT_SD, n)
    outlier = np.zeros(n, dtype=bool)
    if spiked:
        k = rng.integers(n)
        outlier[k] = True
        y[k] += rng.choice([-1.0, 1.0]) * rng.uniform(10.0, 30.0) * SHORT_SD
    return Sample(X, y, outlier, np.full(n, SHORT_SD))


def draw_shadow(rng: np.random.Generator, share: float) -> Sample:
    """A cubic, 200 points on [0, 10], noise sd 0.5; a `share` of them follow a copy of the
    curve offset by 10-35 sd, above or below, with the same noise."""
    n = 200
    X = rng.uniform(0.0, 10.0, (n, 1))
    y = cubic(X) + rng.normal(0.0, RAMP_SD, n)
    outlier = np.zeros(n, dtype=bool)
    outlier[rng.choice(n, round(share * n), replace=False)] = True
    y[outlier] += rng.choice([-1.0, 1.0]) * rng.uniform(10.0, 35.0) * RAMP_SD
    return Sample(X, y, outlier, np.full(n, RAMP_SD))


def draw_block(rng: np.random.Generator) -> Sample:
    """A cubic, 200 points on [0, 10], noise sd 0.5; every reading in one contiguous stretch
    of 30-40 % of the x range reads 10-35 sd low, as after a sensor fault."""
    n = 200
    X = rng.uniform(0.0, 10.0, (n, 1))
    y = cubic(X) + rng.normal(0.0, RAMP_SD, n)
    width = rng.uniform(3.0, 4.0)
    start = rng.uniform(0.0, 10.0 - width)
    outlier = (X[:, 0] >= start) & (X[:, 0] <= start + width)
    y[outlier] -= rng.uniform(10.0, 35.0) * RAMP_SD
    return Sample(X, y, outlier, np.full(n, RAMP_SD))


def draw_leverage(
    rng: np.random.Generator, truth: Callable[[np.ndarray], np.ndarray], n: int, d: int
) -> Sample:
    """n points with features uniform on [0, 10]^d, noise sd 0.5; 5-20 % of them form a
    cluster whose first feature lies near 18-25, far outside the rest, reading 10-35 sd
    below the truth there (bad leverage points)."""
    X = rng.uniform(0.0, 10.0, (n, d))
    y = truth(X) + rng.normal(0.0, LEVERAGE_SD, n)
    outlier = np.zeros(n, dtype=bool)
    outlier[rng.choice(n, round(rng.uniform(0.05, 0.20) * n), replace=False)] = True
    k = int(outlier.sum())
    X[outlier, 0] = rng.uniform(18.0, 25.0) + rng.normal(0.0, 0.5, k)
    y[outlier] = (
        truth(X[outlier])
        - rng.uniform(10.0, 35.0) * LEVERAGE_SD
        + rng.normal(0.0, LEVERAGE_SD, k)
    )
    return Sample(X, y, outlier, np.full(n, LEVERAGE_SD))


def draw_calibration(rng: np.random.Generator) -> Sample:
    """12 standards from 0 to 500 ug/L, 4 replicates each; noise sd 3 plus 1.5 % of the
    signal; 4 of the 48 readings spiked upwards by 10-30 of their sd."""
    X = np.repeat(STANDARDS, 4)[:, None]
    signal = response(X)
    sd = 3.0 + 0.015 * signal
    y = signal + rng.normal(0.0, 1.0, X.shape[0]) * sd
    outlier = np.zeros(X.shape[0], dtype=bool)
    spikes = rng.choice(X.shape[0], 4, replace=False)
    outlier[spikes] = True
    y[spikes] += rng.uniform(10.0, 30.0, spikes.size) * sd[spikes]
    return Sample(X, y, outlier, sd)


def chebyshev_curve(degree: int) -> Callable[[np.ndarray], np.ndarray]:
    """1 + 3 T_1 + 6 T_d of x on [0, 10] mapped to [-1, 1] (cut at the degree): from degree
    2 the highest term moves the curve by 24 noise sd of SELECTION_SD across the range."""
    coef = np.array([1.0, 3.0] + [0.0] * degree)[: degree + 1]
    coef[degree] = 6.0 if degree >= 2 else coef[degree]
    return lambda X: np.polynomial.chebyshev.chebval(X[:, 0] / 5.0 - 1.0, coef)


def draw_window(
    rng: np.random.Generator, share: float, shift: float, at_end: bool, n: int = 80
) -> Sample:
    """A quadratic, n points on [0, 10], noise sd 0.5; every reading in a window of `share`
    of the range, in the middle (starting in [2, 8 - width]) or at the end, reads `shift`
    sd off, up or down."""
    truth = chebyshev_curve(2)
    X = np.sort(rng.uniform(0.0, 10.0, n))[:, None]
    y = truth(X) + rng.normal(0.0, SELECTION_SD, n)
    width = 10.0 * share
    start = 10.0 - width if at_end else rng.uniform(2.0, 8.0 - width)
    outlier = (X[:, 0] >= start) & (X[:, 0] <= start + width)
    y[outlier] += rng.choice([-1.0, 1.0]) * shift * SELECTION_SD
    return Sample(X, y, outlier, np.full(n, SELECTION_SD))


def draw_scattered(rng: np.random.Generator, degree: int, n: int) -> Sample:
    """A curve of `degree`, n points on [0, 10], noise sd 0.5; 35 % of them 10-30 sd off to
    one side."""
    X = rng.uniform(0.0, 10.0, (n, 1))
    y = chebyshev_curve(degree)(X) + rng.normal(0.0, SELECTION_SD, n)
    outlier = np.zeros(n, dtype=bool)
    outlier[rng.choice(n, round(0.35 * n), replace=False)] = True
    y[outlier] += rng.uniform(10.0, 30.0, outlier.sum()) * SELECTION_SD * rng.choice([-1.0, 1.0])
    return Sample(X, y, outlier, np.full(n, SELECTION_SD))


def draw_stacked(rng: np.random.Generator, k: int, at_end: bool) -> Sample:
    """A quadratic, 60 points on [0, 10], noise sd 0.5; k of them stacked at x = 10 (or 5)
    within 0.05, reading 20 sd high."""
    n = 60
    X = rng.uniform(0.0, 10.0, (n, 1))
    outlier = np.arange(n) < k
    X[outlier, 0] = np.clip((10.0 if at_end else 5.0) + rng.normal(0.0, 0.05, k), 0.0, 10.0)
    y = chebyshev_curve(2)(X) + rng.normal(0.0, SELECTION_SD, n)
    y[outlier] += 20.0 * SELECTION_SD
    return Sample(X, y, outlier, np.full(n, SELECTION_SD))


def draw_far(rng: np.random.Generator, share: float, bad: bool) -> Sample:
    """A line (chebyshev_curve(1)), 100 points, noise sd 0.5; a `share` of them far to the
    right (x near 18-25) on the line (good leverage) or 10-35 sd below it (bad leverage,
    the outliers)."""
    n = 100
    X = rng.uniform(0.0, 10.0, (n, 1))
    far = np.zeros(n, dtype=bool)
    far[rng.choice(n, round(share * n), replace=False)] = True
    X[far, 0] = rng.uniform(18.0, 25.0) + rng.normal(0.0, 0.5, far.sum())
    y = chebyshev_curve(1)(X) + rng.normal(0.0, SELECTION_SD, n)
    if bad:
        y[far] -= rng.uniform(10.0, 35.0) * SELECTION_SD
    return Sample(X, y, far if bad else np.zeros(n, dtype=bool), np.full(n, SELECTION_SD))


def draw_few(rng: np.random.Generator, degree: int, n: int, k: int) -> Sample:
    """n points of a curve of `degree` (1 or 2) on [0, 10], noise sd 0.5; k readings
    10-30 sd high."""
    X = np.sort(rng.uniform(0.0, 10.0, n))[:, None]
    y = chebyshev_curve(degree)(X) + rng.normal(0.0, SELECTION_SD, n)
    outlier = np.zeros(n, dtype=bool)
    outlier[rng.choice(n, k, replace=False)] = True
    y[outlier] += rng.uniform(10.0, 30.0, k) * SELECTION_SD
    return Sample(X, y, outlier, np.full(n, SELECTION_SD))


SHORT_SD, RAMP_SD, LEVERAGE_SD, SELECTION_SD = 0.2, 0.5, 0.5, 0.5
SHORT_SIZES = (7, 8, 10, 12, 14)
RAMP_SHARES = (0.10, 0.20, 0.30, 0.40, 0.45)
STANDARDS = np.array([0.0, 10, 20, 40, 60, 80, 100, 150, 200, 250, 350, 500])

def gross_outliers(
    name: str, truth: Callable[[np.ndarray], np.ndarray], degree: int | None, d: int, n: int,
    two_sided: bool,
) -> Problem:
    """One of the original problems, or the same kind at another size."""
    draw = partial(draw_gross, truth=truth, n=n, d=d, two_sided=two_sided)
    return Problem(name, "existing", truth, degree, d, draw)


EXISTING = [
    gross_outliers("cubic, one-sided outliers", cubic, 3, 1, 200, two_sided=False),
    gross_outliers("cubic, two-sided outliers", cubic, 3, 1, 200, two_sided=True),
    gross_outliers("logistic, two-sided outliers", logistic, None, 1, 200, two_sided=True),
    gross_outliers("quadratic surface, one-sided outliers", surface, 2, 2, 400, two_sided=False),
]

SHORT = [
    Problem(
        f"short quadratic, n = {n}, {'one outlier' if spiked else 'clean'}", "short",
        quadratic, 2, 1, partial(draw_short, n=n, spiked=spiked),
    )
    for n in SHORT_SIZES
    for spiked in (False, True)
]

RAMP = [
    Problem(
        f"cubic, {share:.0%} on a shadow curve", "ramp", cubic, 3, 1,
        partial(draw_shadow, share=share),
    )
    for share in RAMP_SHARES
]

BLOCK = [
    Problem("cubic, block fault over 30-40 % of x", "block", cubic, 3, 1, draw_block)
]

LEVERAGE = [
    Problem(
        "line, 5-20 % leverage points", "leverage", line, 1, 1,
        partial(draw_leverage, truth=line, n=100, d=1),
    ),
    Problem(
        "plane in 3 features, 5-20 % leverage points", "leverage", plane, 1, 3,
        partial(draw_leverage, truth=plane, n=200, d=3),
    ),
]

CALIBRATION = [
    Problem(
        "calibration, 12 standards x 4 replicates", "calibration", response, 2, 1,
        draw_calibration,
    )
]


def selection(name: str, family: str, degree: int, draw: Draw) -> Problem:
    """A problem of the degree choice: `family` names the failure it probes."""
    return Problem(name, family, chebyshev_curve(degree), degree, 1, draw)


SELECTION = [
    *(
        selection(f"quadratic, {share:.0%} window {shift:g} sd off, {where}", "window", 2,
                  partial(draw_window, share=share, shift=shift, at_end=where == "end"))
        for share, shift, where in [(0.35, 10, "middle"), (0.35, 10, "end"), (0.2, 5, "middle"),
                                    (0.4, 15, "end")]
    ),
    *(
        selection(f"degree {d}, 35 % scattered, n = {n}", "high", d,
                  partial(draw_scattered, degree=d, n=n))
        for d, n in [(4, 60), (6, 60), (5, 300)]
    ),
    *(
        selection(f"quadratic, {k} of 60 stacked at the {where}", "stacked", 2,
                  partial(draw_stacked, k=k, at_end=where == "end"))
        for k, where in [(10, "end"), (15, "end"), (15, "middle")]
    ),
    *(
        selection(f"line, {share:.0%} {'bad' if bad else 'good'} leverage", "far", 1,
                  partial(draw_far, share=share, bad=bad))
        for share, bad in [(0.1, True), (0.2, True), (0.2, False)]
    ),
    *(
        selection(f"degree {d}, n = {n}, {k} high", "few", d, partial(draw_few, degree=d, n=n, k=k))
        for d, n, k in [(2, 6, 0), (2, 7, 0), (1, 10, 2), (2, 15, 2)]
    ),
]

PROBLEMS = EXISTING + SHORT + RAMP + BLOCK + LEVERAGE + CALIBRATION + SELECTION
