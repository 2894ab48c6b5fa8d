"""Ours and the peers of the coverage benchmark, fitted to one calibration data set each.

Every method gives a `Fitted`: 95 % intervals for the coefficients (1, x, x^2), the
confidence band and the prediction interval of one new reading on the case's grid, the
readings it flags as outliers (None when it flags none) and, where it has one, an inverse
interval for the concentration of the mean of m new readings, with the prediction interval
of such a mean at given concentrations (the inverse interval holds x exactly when that
interval at x holds the mean).

Ours: RobustPolynomialRegressor at the true degree with its default noise model, the same
with degree="auto", and with var_weights 1/x^2 (the recipe of analytical methods; a new
reading at x0 has var_weight 1/x0^2, as for WLS below); coefficient intervals use
Student's t on the model's dof.

Peers, all statsmodels on the same design and the same true degree:
- OLS and WLS with weights 1/x and 1/x^2, their `get_prediction` (a new reading at x0 has
  the weight of x0);
- WLS with a variance function from the replicates: log sd_j of each level's replicates
  regressed on log |mean_j| (a power of the mean, as analytical labs fit it), weights
  1 / sd(mean_j)^2 for the standards and 1 / sd(f(x0))^2 for a new reading at x0, f the WLS
  curve; the scale is WLS's, so the bias of log sd_j cancels. Its inverse interval is the
  classical one: the x0 with |ybar - f(x0)| <= t sqrt(var f(x0) + s^2 sd(f(x0))^2 / m);
- RLM (Tukey biweight 4.685, MAD scale, H1 covariance): the band x0' Cov x0 by hand, a
  new reading adding its scale squared, Student's t on n - p dof as ours; it flags the
  readings of final weight below RLM_FLAG (|r| / s above 3.9).
"""

from __future__ import annotations

import warnings
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np
import statsmodels.api as sm
from _coverage_cases import Case
from scipy.stats import t as student_t

from vasq import RobustPolynomialRegressor

LEVEL = 0.95
RLM_FLAG = 0.1
INVERSE_GRID = 4000

Interval = tuple[np.ndarray, np.ndarray]
Inverse = Callable[[np.ndarray, int], Interval]


@dataclass(frozen=True)
class Fitted:
    coef: Interval | None  # None when the fit is not of the true degree
    band: Interval
    prediction: Interval
    flagged: np.ndarray | None
    inverse: Inverse | None = None
    noise_kind: str | None = None
    mean_prediction: Inverse | None = None  # (x, m) -> interval of the mean of m readings


def design(x: np.ndarray) -> np.ndarray:
    return np.vander(x, 3, increasing=True)


def t_quantile(dof: float) -> float:
    return float(student_t.ppf(0.5 + LEVEL / 2, dof))


def ours(
    case: Case, y: np.ndarray, seed: int, degree: int | str = 2, var_weights: float | None = None
) -> Fitted:
    x, grid = case.x, case.grid()
    kw = {} if var_weights is None else {"var_weights": x**-var_weights}
    est = RobustPolynomialRegressor(degree, random_state=seed).fit(x[:, None], y, **kw)
    model = est.model_
    coef = None
    if est.degree_ == 2:
        half = t_quantile(model.dof) * est.coef_se_
        coef = (est.coef_ - half, est.coef_ + half)

    def inverse(ybar: np.ndarray, m: int) -> Interval:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            _, lo, hi = est.inverse_predict(ybar, LEVEL, n_replicates=m)
        return lo, hi

    def mean_prediction(x0: np.ndarray, m: int) -> Interval:
        # A mean of m readings has the variance of one reading of m times the var_weight.
        weights = np.full(x0.size, m * model.unit_var_weight)
        return est.predict_interval(x0[:, None], LEVEL, kind="prediction", var_weights=weights)

    return Fitted(
        coef,
        est.predict_interval(grid[:, None], LEVEL),
        est.predict_interval(grid[:, None], LEVEL, kind="prediction",
                             var_weights=None if var_weights is None else grid**-var_weights),
        ~est.inlier_mask_,
        inverse,
        model.noise.kind,
        mean_prediction,
    )


def ols_like(result, new: np.ndarray, new_weights: np.ndarray | None) -> tuple[Interval, Interval]:
    kw = {} if new_weights is None else {"weights": new_weights}
    frame = result.get_prediction(design(new), **kw).summary_frame(alpha=1.0 - LEVEL)
    band = (frame["mean_ci_lower"].to_numpy(), frame["mean_ci_upper"].to_numpy())
    pred = (frame["obs_ci_lower"].to_numpy(), frame["obs_ci_upper"].to_numpy())
    return band, pred


def coef_interval(result) -> Interval:
    ci = np.asarray(result.conf_int(1.0 - LEVEL))
    return ci[:, 0], ci[:, 1]


def ols(case: Case, y: np.ndarray, seed: int) -> Fitted:
    result = sm.OLS(y, design(case.x)).fit()
    band, pred = ols_like(result, case.grid(), None)
    return Fitted(coef_interval(result), band, pred, None)


def wls_power_of_x(power: float) -> Callable[[Case, np.ndarray, int], Fitted]:
    def fit(case: Case, y: np.ndarray, seed: int) -> Fitted:
        result = sm.WLS(y, design(case.x), weights=case.x**-power).fit()
        grid = case.grid()
        band, pred = ols_like(result, grid, grid**-power)
        return Fitted(coef_interval(result), band, pred, None)

    return fit


def replicate_sd_model(case: Case, y: np.ndarray) -> Callable[[np.ndarray], np.ndarray]:
    """sd as a power of the mean, fitted to the replicate groups' log sd on log |mean|."""
    groups = y.reshape(case.levels.size, case.replicates)
    slope, intercept = np.polyfit(
        np.log(np.abs(groups.mean(axis=1))), np.log(groups.std(axis=1, ddof=1)), 1
    )
    return lambda mean: np.exp(intercept + slope * np.log(np.abs(mean)))


def wls_variance_function(case: Case, y: np.ndarray, seed: int) -> Fitted:
    sd_of = replicate_sd_model(case, y)
    group_means = y.reshape(case.levels.size, case.replicates).mean(axis=1)
    weights = np.repeat(sd_of(group_means) ** -2.0, case.replicates)
    result = sm.WLS(y, design(case.x), weights=weights).fit()
    grid = case.grid()
    band, pred = ols_like(result, grid, sd_of(design(grid) @ result.params) ** -2.0)

    inverse_x = case.spaced(np.linspace(0.0, 1.0, INVERSE_GRID))
    D = design(inverse_x)
    curve = D @ result.params
    curve_var = np.einsum("ij,jk,ik->i", D, result.cov_params(), D)
    reading_var = result.scale * sd_of(curve) ** 2
    t = t_quantile(result.df_resid)

    def inverse(ybar: np.ndarray, m: int) -> Interval:
        return classical_inverse(inverse_x, curve, curve_var, reading_var / m, t, ybar)

    def mean_prediction(x0: np.ndarray, m: int) -> Interval:
        D0 = design(x0)
        at = D0 @ result.params
        half = t * np.sqrt(np.einsum("ij,jk,ik->i", D0, result.cov_params(), D0)
                           + result.scale * sd_of(at) ** 2 / m)
        return at - half, at + half

    return Fitted(coef_interval(result), band, pred, None, inverse, None, mean_prediction)


def classical_inverse(
    x: np.ndarray, curve: np.ndarray, curve_var: np.ndarray, reading_var: np.ndarray,
    t: float, ybar: np.ndarray,
) -> Interval:
    """The stretch of x around each ybar's root where |ybar - curve| <= t sd, on a grid.

    The ends are interpolated linearly between grid points; an end at the edge of the grid
    is open and NaN, and a ybar the curve does not reach within the grid gets NaN for both.
    """
    room = t * np.sqrt(curve_var + reading_var)
    lo, hi = np.full(ybar.size, np.nan), np.full(ybar.size, np.nan)
    for j, target in enumerate(ybar):
        g = room - np.abs(target - curve)  # >= 0 inside the interval
        root = int(np.argmin(np.abs(target - curve)))
        if g[root] < 0.0:
            continue
        outside = np.flatnonzero(g < 0.0)
        left, right = outside[outside < root], outside[outside > root]
        if left.size:
            i = left[-1]
            lo[j] = x[i] + (x[i + 1] - x[i]) * g[i] / (g[i] - g[i + 1])
        if right.size:
            i = right[0]
            hi[j] = x[i - 1] + (x[i] - x[i - 1]) * g[i - 1] / (g[i - 1] - g[i])
    return lo, hi


def rlm(case: Case, y: np.ndarray, seed: int) -> Fitted:
    X = design(case.x)
    result = sm.RLM(y, X, M=sm.robust.norms.TukeyBiweight(4.685)).fit()
    D = design(case.grid())
    mean = D @ result.params
    sd = np.sqrt(np.einsum("ij,jk,ik->i", D, result.bcov_scaled, D))
    t = t_quantile(X.shape[0] - X.shape[1])
    half = t * result.bse
    coef = (result.params - half, result.params + half)
    pred_half = t * np.hypot(sd, result.scale)
    return Fitted(
        coef,
        (mean - t * sd, mean + t * sd),
        (mean - pred_half, mean + pred_half),
        result.weights < RLM_FLAG,
    )


def ours_auto(case: Case, y: np.ndarray, seed: int) -> Fitted:
    return ours(case, y, seed, "auto")


def ours_weighted(case: Case, y: np.ndarray, seed: int) -> Fitted:
    return ours(case, y, seed, var_weights=2.0)


METHODS: dict[str, Callable[[Case, np.ndarray, int], Fitted]] = {
    "ours": ours,
    "ours, degree auto": ours_auto,
    "ours, var_weights 1/x^2": ours_weighted,
    "OLS": ols,
    "WLS 1/x": wls_power_of_x(1.0),
    "WLS 1/x^2": wls_power_of_x(2.0),
    "WLS sd(mean) of replicates": wls_variance_function,
    "RLM biweight": rlm,
}
INVERSE_METHODS = ("ours", "WLS sd(mean) of replicates")
