"""The degree search on coherent outliers, short series and a constant."""

import numpy as np
import pytest
from numpy.polynomial import chebyshev

from vasq import RobustPolynomialRegressor

SD = 0.5


def truth(degree, x):
    """1 + 3 T_1 + 6 T_d on [0, 10] mapped to [-1, 1], cut at the degree: from degree 2 the
    highest term moves the curve by 24 noise sd across the range."""
    coef = np.array([1.0, 3.0] + [0.0] * degree)[: degree + 1]
    coef[degree] = 6.0 if degree >= 2 else coef[degree]
    return chebyshev.chebval(x / 5.0 - 1.0, coef)


def block(rng):
    """A quadratic, 60 points; a window of 35 % of the range reads 10 sd off (a sensor fault)."""
    x = np.sort(rng.uniform(0.0, 10.0, 60))
    y = truth(2, x) + rng.normal(0.0, SD, x.size)
    start = rng.uniform(2.0, 4.5)
    out = (x >= start) & (x <= start + 3.5)
    y[out] += rng.choice([-1.0, 1.0]) * 10.0 * SD
    return x, y, out, 2


def stacked_end(rng):
    """A quadratic, 60 points; 10 of them stacked at the largest x, 20 sd high."""
    x = rng.uniform(0.0, 10.0, 60)
    out = np.arange(x.size) < 10
    x[out] = 10.0 + rng.normal(0.0, 0.05, 10)
    y = truth(2, x) + rng.normal(0.0, SD, x.size)
    y[out] += 20.0 * SD
    return x, y, out, 2


def scattered(degree, rng):
    """A curve of `degree`, 60 points, 35 % of them 10-30 sd off to one side."""
    x = rng.uniform(0.0, 10.0, 60)
    y = truth(degree, x) + rng.normal(0.0, SD, x.size)
    out = np.zeros(x.size, dtype=bool)
    out[rng.choice(x.size, 21, replace=False)] = True
    y[out] += rng.uniform(10.0, 30.0, 21) * SD * rng.choice([-1.0, 1.0])
    return x, y, out, degree


def high_degree(rng):
    """A quintic, 60 points, 35 % of them 10-30 sd off to one side."""
    return scattered(5, rng)


def quartic(rng):
    """A quartic, 60 points, 35 % of them 10-30 sd off to one side: at seed 8, 4 of the last
    6, and a sextic swung away from the 2 clean readings there to pass through an outlier."""
    return scattered(4, rng)


def top_standard_high(rng):
    """A calibration quadratic 0.02 + x - 0.002 x^2 at 8 standards over 1-100, 5 readings
    each, CV 3 %; 4 readings of the top standard 10-30 sd high. A line passes within 3-4
    sd of some of them."""
    x = np.repeat(np.geomspace(1.0, 100.0, 8), 5)
    mu = 0.02 + x - 0.002 * x**2
    y = mu + 0.03 * mu * rng.standard_normal(x.size)
    out = np.arange(x.size) >= x.size - 4
    y[out] += rng.uniform(10.0, 30.0, 4) * 0.03 * mu[out]
    return x, y, out, 2


def short_quadratic(rng):
    """A clean quadratic of 6 points: a quadratic must be a candidate."""
    x = np.sort(rng.uniform(0.0, 10.0, 6))
    return x, truth(2, x) + rng.normal(0.0, SD, x.size), np.zeros(6, dtype=bool), 2


def far_group(rng):
    """A line, 80 points; 12 of them stacked near x = 20, twice beyond the others' range,
    20 sd below the line: extra terms reach them without moving the bulk."""
    x = rng.uniform(0.0, 10.0, 80)
    y = truth(1, x) + rng.normal(0.0, SD, x.size)
    out = np.arange(x.size) < 12
    x[out] = 20.0 + rng.normal(0.0, 0.5, 12)
    y[out] = truth(1, x[out]) - 20.0 * SD + rng.normal(0.0, SD, 12)
    return x, y, out, 1


def fourteen_points(rng):
    """A clean quadratic of 14 points: a cubic or quartic fitted to its own best half of
    them fits it far below the noise by chance."""
    x = np.sort(rng.uniform(0.0, 10.0, 14))
    return x, truth(2, x) + rng.normal(0.0, SD, x.size), np.zeros(14, dtype=bool), 2


def replicated_quadratic(rng):
    """A clean quadratic at 5 standards read 3 times each: a quadratic must be a candidate."""
    x = np.repeat(np.linspace(0.0, 10.0, 5), 3)
    return x, truth(2, x) + rng.normal(0.0, SD, x.size), np.zeros(x.size, dtype=bool), 2


def constant(rng):
    """A sensor with no trend, 20 points, two of them spiked."""
    x = np.sort(rng.uniform(0.0, 10.0, 20))
    y = truth(0, x) + rng.normal(0.0, SD, x.size)
    out = np.arange(x.size) % 9 == 4
    y[out] += rng.uniform(10.0, 30.0, 2) * SD
    return x, y, out, 0


@pytest.mark.parametrize(
    ("draw", "seed"),
    [(block, 0), (block, 4), (stacked_end, 0), (stacked_end, 2), (far_group, 0), (far_group, 4),
     (high_degree, 0), (high_degree, 1), (high_degree, 18), (quartic, 8),
     (top_standard_high, [24, 21]), (top_standard_high, [53, 21]),
     (top_standard_high, [84, 21]), (short_quadratic, 0),
     (short_quadratic, 1), (fourteen_points, 2), (fourteen_points, 7), (fourteen_points, 35),
     (replicated_quadratic, 0), (replicated_quadratic, 1), (constant, 0), (constant, 1)],
)
def test_auto_finds_the_true_degree_and_flags_the_planted_outliers(draw, seed):
    """Extra terms that bend through a group of outliers, a scale that moves as degrees are
    added, a flexible candidate scoring a hair below the true one (high_degree 18,
    fourteen_points 2) or rejecting clean readings a simpler curve fits (quartic 8) chose a
    wrong degree on these, and a charge for readings given up to a line that passes near
    outliers would (top_standard_high); the true one flags every planted outlier."""
    x, y, out, degree = draw(np.random.default_rng(seed))
    model = RobustPolynomialRegressor(random_state=0).fit(x[:, None], y)
    assert model.degree_ == degree
    assert not model.inlier_mask_[out].any()
    grid = np.linspace(x[~out].min(), x[~out].max(), 201)
    oracle = np.polynomial.Polynomial.fit(x[~out], y[~out], degree)  # told the outliers

    def rmse(prediction):
        return np.sqrt(np.mean((prediction - truth(degree, grid)) ** 2))

    # Twice the oracle's error, or half a noise sd where the oracle's is tiny (a constant).
    assert rmse(model.predict(grid[:, None])) < max(2.0 * rmse(oracle(grid)), 0.5 * SD)


@pytest.mark.parametrize("seed", [0, 7, 11])
def test_seven_points_keep_their_quadratic_beside_an_outlier_at_an_end(seed):
    """A quadratic of 7 points spanning 27 noise sd, its last reading 20-30 sd high, near the
    level of a constant through the others: judged on the leave-one-out residuals of the 6
    it keeps, the quadratic's at its end readings were 4-10 times its residuals, and a
    constant was chosen that kept the outlier and rejected a clean reading."""
    rng = np.random.default_rng(seed)
    x = np.clip(np.linspace(0.0, 10.0, 7) + rng.uniform(-0.4, 0.4, 7), 0.0, 10.0)
    y = 2.5 * (1.0 + 0.8 * x - 0.12 * x**2) + rng.normal(0.0, SD, 7)
    y[6] += rng.uniform(20.0, 30.0) * SD
    model = RobustPolynomialRegressor(random_state=0).fit(x[:, None], y)
    assert model.degree_ == 2
    assert list(np.flatnonzero(~model.inlier_mask_)) == [6]


@pytest.mark.parametrize("method", ["ols", "penalized"])
def test_least_squares_choose_the_degree_of_the_bic_of_their_fits(method):
    """A tenth of the readings 30 sd high pulls every least-squares curve; scored on its
    best half, the flat line through the crest of the curve then won. Schwarz's BIC of the
    same fits, with NumPy, picks the quadratic."""
    rng = np.random.default_rng(4)
    x = rng.uniform(0.0, 1.0, 400)
    y = 1.0 + 2.0 * x - 3.0 * x**2 + rng.normal(0.0, 0.1, x.size)
    y[rng.random(x.size) < 0.1] += 3.0
    V = np.vander(x, 7, increasing=True)
    bic = [x.size * np.log(np.mean((y - V[:, :d + 1] @ np.linalg.lstsq(V[:, :d + 1], y)[0])**2))
           + (d + 1) * np.log(x.size) for d in range(7)]
    assert int(np.argmin(bic)) == 2
    assert RobustPolynomialRegressor(method=method).fit(x[:, None], y).degree_ == 2
