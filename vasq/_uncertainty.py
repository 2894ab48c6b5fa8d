"""Uncertainty of a fit: coefficient covariance, noise model and intervals.

The fit's part comes from the core, `vasq_core.fit_uncertainty`, in one call over the rows
in fixed blocks (no n x p array): the coefficient covariance (Huber's H2 at local noise
scales), the noise model's covariance (its restricted information), what the curve's degrees
of freedom read of the fit, and the noise scale's degrees of freedom; the formulas are in
its documentation. What is evaluated at new points (the curve's standard error, its degrees
of freedom and the intervals' widths) is here, with NumPy and SciPy. Everything is in the
scaled coordinates (features in [-1, 1], y divided by its robust scale); the model maps the
results to the user's units.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray
from scipy.stats import t as student_t

import vasq_core as vc

Vector = NDArray[np.float64]
Matrix = NDArray[np.float64]

INTERVAL_KINDS = ("confidence", "prediction")


NOISE_KINDS = ("constant", "power", "two_component", "log_linear")


@dataclass(frozen=True, eq=False)
class NoiseModel:
    """The noise sd of one reading, as the core models it, in scaled-y units.

    With mu the signal (the fitted mean less the scaled y of a zero signal) and t the
    scaled features, `kind` and `params` give:

    - "constant", (s,): s;
    - "power", (s, theta, floor): s max(abs(mu), floor)^theta, a power of the mean (Carroll &
      Ruppert, 1988); theta = 1 is a constant coefficient of variation;
    - "two_component", (a, b): sqrt(a^2 + b^2 mu^2), a constant floor plus a constant
      coefficient of variation (Rocke & Lorenzato, 1995);
    - "log_linear", (g_0, ..., g_d, lo, hi): exp(clip(g_0 + g_1 t_1 + ... + g_d t_d, lo,
      hi)), held within the range it takes on the fitted rows.

    `s0` is the fit's global high-breakdown scale. The sd is that of a reading of
    var_weight 1, var_weights being normalised to a geometric mean of 1 over the fit.
    """

    kind: str
    params: Vector
    s0: float

    def at(self, T: Matrix, mean: Vector, zero: float) -> Vector:
        """The noise sd at the scaled points `T` of fitted scaled means `mean`.

        `zero` is the scaled y of a zero signal.
        """
        sd: Vector = vc.noise_scale(
            self.kind, self.params, zero, mean, [T[:, k] for k in range(T.shape[1])]
        )
        return sd

    def log_sd_gradient(self, T: Matrix, mean: Vector, zero: float) -> Matrix:
        """Gradient of the log noise sd at the scaled points `T` in the model's parameters.

        One row per point, `estimated_count` columns: the parameters are log s for
        "constant", (log s, theta) for "power", (a^2, b^2) for "two_component" and (g_0,
        ..., g_d) for "log_linear" (unclipped), those the data determine, the power's floor
        and the log-linear bounds being set by the fit's range (`vasq_core.log_sd_gradient`,
        which the fit's `noise_cov` is in).
        """
        J: Matrix = vc.log_sd_gradient(
            self.kind, self.params, zero, mean, [T[:, k] for k in range(T.shape[1])]
        )
        return J


def estimated_count(kind: str, n_features: int) -> int:
    """The number of parameters of `NoiseModel.log_sd_gradient` (the rows of `noise_cov`)."""
    return {"constant": 1, "power": 2, "two_component": 2, "log_linear": n_features + 1}[kind]


def curve_dof(moments: NDArray[np.float64], noise_cov: Matrix, D: Matrix) -> Vector:
    """Student's degrees of freedom of the curve's estimated variance at the rows of `D`.

    The variance at a point d, proportional to d^T A^-1 d (`moments`, the fit's
    ``dof_moments`` of `vasq_core.fit_uncertainty`), rests on the fitted rows' noise sd in
    their shares q_i = W_i (x_i^T A^-1 d)^2 / d^T A^-1 d, which sum to 1: the gradient of
    its log in the noise parameters is 2 g, g = sum q_i J_i = (d^T A^-1 S_k A^-1 d / d^T
    A^-1 d)_k, and nu = 1 / (2 g C g^T) with C `noise_cov` (Satterthwaite, 1946). The fit's
    ``scale_dof`` is the same with the shares of the whole fit; here the curve at the quiet
    end of a calibration rests on the few standards there, whose noise is the least well
    known. Under constant noise g = 1 and nu is ``scale_dof`` everywhere. NaN where g C g^T
    is not positive.
    """
    def quadratic(M: Matrix) -> Vector:
        form: Vector = np.einsum("ij,jk,ik->i", D, M, D)
        return form

    base = quadratic(moments[0])
    with np.errstate(divide="ignore", invalid="ignore"):
        g = np.column_stack([quadratic(M) for M in moments[1:]]) / base[:, None]
        c = np.einsum("ij,jk,ik->i", g, noise_cov, g)
        nu: Vector = np.where(c > 0.0, 1.0 / (2.0 * c), np.nan)
    return nu


def prediction_dof(
    curve_var: Vector, noise_var: Vector, log_sd_var: Vector, dof: float | Vector
) -> Vector:
    """Student's degrees of freedom of a prediction interval at each point.

    The noise variance estimated at a point is taken as a scaled chi-square whose log has
    the variance of the estimated log sd squared, 4 `log_sd_var` (from the fit's
    ``noise_cov``, which charges the fitted curve): nu_0 = 1 / (2 `log_sd_var`), `dof` for
    constant noise by least squares. The curve's variance has `dof` (one figure, or one per
    point from `curve_dof`); the two estimates are nearly fully correlated (one fit), so the
    sd of the log of their sum is bounded by the weighted sum of theirs: 1 / sqrt(nu) = (c /
    V) / sqrt(dof) + (s^2 / V) / sqrt(nu_0), V = c + s^2 (a Satterthwaite approximation,
    Satterthwaite, Biometrics Bulletin 2, 1946), and nu is not below 1. The approximation
    fails where the estimate is far below its own standard error: a two-component model
    whose floor is estimated at 0 has s^2 near 0 at a zero signal, known only to within the
    floor's error, and nu there came to 0.27-0.42 (a one-sided 95 % t quantile of 89-1441,
    and detection limits of 3.7-43 on standards from 1 to 100 where the true one is 0.34).
    Counted as at least one reading's chi-square, a Cauchy quantile, the limits are
    0.43-0.54, and the rates of a blank over the critical signal and of a reading at the
    limit under it stay within the stated 5 % under the true noise.
    """
    with np.errstate(divide="ignore"):
        noise_dof = 1.0 / (2.0 * log_sd_var)
    total = curve_var + noise_var
    root = (curve_var / total) / np.sqrt(dof) + (noise_var / total) / np.sqrt(noise_dof)
    nu: Vector = np.maximum(1.0 / root**2, 1.0)
    return nu


def curve_sd(D: Matrix, cov: Matrix) -> Vector:
    """Standard error of the fitted curve at the rows of the design matrix `D`."""
    var = np.einsum("ij,jk,ik->i", D, cov, D)
    sd: Vector = np.sqrt(np.maximum(var, 0.0))
    return sd


def half_width(sd: Vector, noise: Vector | None, level: float, dof: float | Vector) -> Vector:
    """Half-width of two-sided intervals at `level`.

    Student's t quantile (`dof` degrees of freedom, one or one per point) times the curve's
    standard error `sd`, combined with the `noise` scale of a new observation for a
    prediction interval.
    """
    if noise is not None:
        sd = np.hypot(sd, noise)
    width: Vector = student_t.ppf(0.5 + 0.5 * level, dof) * sd
    return width


def critical_value(level: float, dof: float) -> float:
    """Two-sided quantile of Student's t with `dof` degrees of freedom at `level`."""
    return float(student_t.ppf(0.5 + 0.5 * level, dof))


def check_level(level: object) -> float:
    """`level` as a float in (0, 1), or ValueError."""
    if isinstance(level, bool) or not isinstance(level, (int, float, np.floating)):
        raise ValueError(f"level must be a number in (0, 1), got {level!r}")
    if not 0.0 < float(level) < 1.0:
        raise ValueError(f"level must be a number in (0, 1), got {level!r}")
    return float(level)


def check_kind(kind: object) -> str:
    """`kind` if it names a kind of interval, or ValueError."""
    if kind not in INTERVAL_KINDS:
        raise ValueError(f"kind must be one of {INTERVAL_KINDS}, got {kind!r}")
    return str(kind)
