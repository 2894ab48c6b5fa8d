"""Uncertainty of a fit: coefficient covariance, noise model and intervals.

Computed with NumPy and SciPy from the core's fit (the coefficients, the final robustness
weights and the noise scale of every point), in the scaled coordinates (features in
[-1, 1], y divided by its robust scale); the model maps the results to the user's units.
"""

from __future__ import annotations

import functools
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray
from scipy.stats import norm
from scipy.stats import t as student_t

import vasq_core as vc

Vector = NDArray[np.float64]
Matrix = NDArray[np.float64]
Mask = NDArray[np.bool_]

INTERVAL_KINDS = ("confidence", "prediction")
# The robust fit estimates its noise model from the readings within this many local sd, by
# the likelihood of normal residuals truncated there.
NOISE_CUT = vc.INLIER_CUT


def huber_covariance(
    X: Matrix, r: Vector, scale: Vector, sample_weight: Vector, inlier: Mask, robust: bool
) -> Matrix:
    """Covariance of an M-estimate at local noise scales: Huber's H2.

    Each residual is standardised by its own noise sd, u = r / s, and each row of the
    design by the same sd, so a heteroscedastic fit is an ordinary M-estimate in those
    coordinates (Carroll & Ruppert, 1988). psi is the core's biweight for a robust fit and
    psi(u) = u for least squares. The covariance is

        K [sum v psi(u)^2 / (n - p)] / [sum v psi'(u) / n] (sum v psi'(u) x x^T / s^2)^-1,

    K = 1 + (p / n) Var(psi') / Mean(psi')^2, v the sample weights (repeat counts) and n the
    total weight of the `inlier` points: rejected points carry no information, and rows
    where psi' vanishes drop out of the information, wherever they gather. It rests on the
    noise model rather than on each residual's square, so its small-sample variability is
    that of a scale on n - p degrees of freedom (Student's t in the intervals); for least
    squares it is the classical covariance of weighted least squares (weights v / s^2, as
    statsmodels' WLS). All entries are NaN when the inliers' total weight does not exceed
    the number of coefficients, or the information is singular.
    """
    # Rows of zero weight take no part, and may lie so far out that their terms overflow.
    kept = _positive(sample_weight)
    r, scale, sample_weight = _rows(r, kept), _rows(scale, kept), _rows(sample_weight, kept)
    inlier = _rows(inlier, kept)
    u = r / scale
    if robust:
        _, psi, dpsi, _ = vc.biweight(u)
    else:
        psi, dpsi = u, np.ones_like(u)
    n = float(sample_weight[inlier].sum())
    p = X.shape[1]
    nan = np.full((p, p), np.nan)
    if n <= p:
        return nan
    Xs = np.divide(_rows(X, kept), scale[:, None], order="C")
    info = (Xs * (sample_weight * dpsi)[:, None]).T @ Xs
    v, d = sample_weight[inlier], dpsi[inlier]
    mean = float((v * d).sum()) / n
    var = float((v * (d - mean) ** 2).sum()) / n
    if not mean > 0.0:
        return nan
    K = 1.0 + p / n * var / mean**2
    factor = K * float((sample_weight * psi**2).sum()) / (n - p) / mean
    try:
        cov = np.linalg.solve(info, np.eye(p)) * factor
    except np.linalg.LinAlgError:
        return nan
    result: Matrix = 0.5 * (cov + cov.T)
    return result


def _positive(sample_weight: Vector) -> Mask | None:
    """The rows of positive weight, or None when that is every row (no subset is copied)."""
    kept = sample_weight > 0.0
    return None if kept.all() else kept


def _rows[E: np.generic](a: NDArray[E], kept: Mask | None) -> NDArray[E]:
    """The rows `kept` of `a` (`_positive`), `a` itself for None."""
    return a if kept is None else a[kept]


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


def estimated_count(kind: str, n_features: int) -> int:
    """The number of parameters of `log_sd_gradient` (the rows of `noise_cov`)."""
    return {"constant": 1, "power": 2, "two_component": 2, "log_linear": n_features + 1}[kind]


def log_sd_gradient(noise: NoiseModel, T: Matrix, mean: Vector, zero: float) -> Matrix:
    """Gradient of the log noise sd at each scaled point in the noise model's parameters.

    The parameters are log s for "constant", (log s, theta) for "power", (a^2, b^2) for
    "two_component" and (g_0, ..., g_d) for "log_linear" (unclipped): those the data
    determine, the power's floor and the log-linear bounds being set by the fit's range.
    """
    mu = mean - zero
    n = mu.size
    if noise.kind == "constant":
        return np.ones((n, 1))
    if noise.kind == "power":
        floor = float(noise.params[2])
        return np.column_stack([np.ones(n), np.log(np.maximum(np.abs(mu), floor))])
    if noise.kind == "two_component":
        var = np.maximum(noise.at(T, mean, zero) ** 2, np.finfo(float).tiny)
        return np.column_stack([0.5 / var, 0.5 * mu**2 / var])
    return np.column_stack([np.ones(n), T])


@functools.cache
def truncated_information(cut: float) -> float:
    """Fisher information on log sd of one normal reading seen only within +-cut sd.

    Var(u^2 | abs(u) < cut) for a standard normal u: 2 without a cut, 1.35 at 2.5. Every
    fit asks for one of those two cuts, and scipy's pdf and cdf cost 0.1 ms a call: each
    value is worked out once.
    """
    if not np.isfinite(cut):
        return 2.0
    # g = 1 - E[u^2 | abs(u) < cut], and E[u^4 | abs(u) < cut] = 3 (1 - g) - cut^2 g.
    g = 2.0 * cut * float(norm.pdf(cut)) / (2.0 * float(norm.cdf(cut)) - 1.0)
    return 3.0 * (1.0 - g) - cut**2 * g - (1.0 - g) ** 2


def noise_covariance(
    noise: NoiseModel, D: Matrix, T: Matrix, mean: Vector, zero: float, r: Vector,
    scale: Vector, sample_weight: Vector, robust: bool,
) -> Matrix:
    """Covariance of the noise model's parameters (see `log_sd_gradient`), the curve fitted.

    The inverse of the restricted (REML) information of normal readings of sd `scale` on
    their log sd, I_c [J^T diag(v (1 - 2 h)) J + (tr(B S_k B S_l))_kl], over the rows that
    inform the model: for a robust fit those within NOISE_CUT local sd, each of information
    I_c = `truncated_information` (NOISE_CUT), for least squares every row with I_c = 2
    (Davidian & Carroll, JASA 82, 1987, on estimating variance functions). The residuals
    come from the fitted curve (design `D`), whose hat matrix H takes a share of each:
    with z = D / scale, a the fit's weights (the biweight's psi(u) / u at u = r / scale
    for a robust fit, 1 for least squares), B = (sum v a z z^T)^-1 and S_k = sum v a J_k
    z z^T over the informing rows, h = a z^T B z and the trace term is sum H_ij^2 J_i J_j.
    For constant noise by least squares it is 1 / (2 (n - p)), s^2 on n - p degrees of
    freedom. v are the sample weights. A pseudo-inverse where the information is
    singular.
    """
    cut = NOISE_CUT if robust else np.inf
    kept = _positive(sample_weight)
    scale, sample_weight = _rows(scale, kept), _rows(sample_weight, kept)
    u = _rows(r, kept) / scale
    a = vc.biweight(u)[3] if robust else np.ones(u.size)
    z = np.divide(_rows(D, kept), scale[:, None], order="C")
    va = sample_weight * a
    B = np.linalg.pinv((z * va[:, None]).T @ z, hermitian=True)
    rows = np.abs(u) <= cut
    informing: slice | Mask | NDArray[np.intp]
    if rows.all():  # least squares, or a robust fit without outliers: z as it is
        informing = slice(None) if kept is None else kept
        v = sample_weight
    else:
        # The informing rows of z anew rather than a subset of it: one n x p array at a time.
        informing = rows if kept is None else np.flatnonzero(kept)[rows]
        del z
        z = np.divide(D[informing], scale[rows, None], order="C")
        va, v, a = va[rows], sample_weight[rows], a[rows]
    J = log_sd_gradient(noise, T[informing], mean[informing], zero)
    h = a * np.einsum("ij,jk,ik->i", z, B, z)
    BS = [B @ ((z * (va * J[:, k])[:, None]).T @ z) for k in range(J.shape[1])]
    shared = np.array([[(BSk * BSl.T).sum() for BSl in BS] for BSk in BS])
    info = truncated_information(cut) * ((J * (v * (1.0 - 2.0 * h))[:, None]).T @ J + shared)
    cov: Matrix = np.linalg.pinv(info, hermitian=True)
    return cov


def scale_dof(noise_cov: Matrix, J: Matrix, D: Matrix, row_weights: Vector) -> float:
    """Student's degrees of freedom of the noise scale that the coefficient covariance rests on.

    The curve's estimated variance is taken as a scaled chi-square whose log has the
    variance of twice the estimated log sd of the rows it rests on, 4 g C g^T: g the mean
    of the rows' gradients `J` (`log_sd_gradient`) weighted by their leverage in the weighted
    least squares of design `D` and `row_weights` (the fit's, w times the biweight weight
    over the noise variance: their share of the curve's variance summed over the fitted
    rows), C from `noise_covariance`; nu =
    1 / (2 g C g^T), as nu_0 in `prediction_dof` (Satterthwaite, 1946). For constant noise
    it is the scale's own: the robust fit reads the noise from the readings within
    NOISE_CUT local sd, each of information `truncated_information` (NOISE_CUT) = 1.35 on
    its log sd against 2 for least squares, so nu is about 0.68 (W - p), not W - p. NaN when
    g C g^T is not positive.
    """
    leverage = vc.weighted_leverage(D, row_weights)
    total = float(leverage.sum())
    if not total > 0.0:
        return float("nan")
    g = leverage @ J / total
    c = float(g @ noise_cov @ g)
    return 1.0 / (2.0 * c) if c > 0.0 else float("nan")


def curve_dof_moments(J: Matrix, D: Matrix, row_weights: Vector) -> NDArray[np.float64]:
    """What `curve_dof` reads of the fit: A^-1 and A^-1 S_k A^-1, stacked.

    A = sum W x x^T over the rows x of design `D`, W the `row_weights` (as in `scale_dof`),
    and S_k = sum W J_k x x^T, `J` the rows' log-sd gradient (`log_sd_gradient`): shape
    (1 + n_noise_params, n_terms, n_terms). A pseudo-inverse where A is singular; NaN
    throughout where a weighted term overflows.
    """
    A_inv = np.linalg.pinv((D * row_weights[:, None]).T @ D, hermitian=True)
    moments = [A_inv] + [
        A_inv @ ((D * (row_weights * J[:, k])[:, None]).T @ D) @ A_inv for k in range(J.shape[1])
    ]
    stacked = np.stack(moments)
    if not np.isfinite(stacked).all():
        stacked.fill(np.nan)
    return stacked


def curve_dof(moments: NDArray[np.float64], noise_cov: Matrix, D: Matrix) -> Vector:
    """Student's degrees of freedom of the curve's estimated variance at the rows of `D`.

    The variance at a point d, proportional to d^T A^-1 d (`curve_dof_moments`), rests on
    the fitted rows' noise sd in their shares q_i = W_i (x_i^T A^-1 d)^2 / d^T A^-1 d,
    which sum to 1: the gradient of its log in the noise parameters is 2 g, g = sum q_i J_i
    = (d^T A^-1 S_k A^-1 d / d^T A^-1 d)_k, and nu = 1 / (2 g C g^T) with C `noise_cov`
    (Satterthwaite, 1946). `scale_dof` is the same with the shares of the whole fit; here
    the curve at the quiet end of a calibration rests on the few standards there, whose
    noise is the least well known. Under constant noise g = 1 and nu is `scale_dof`'s
    everywhere. NaN where g C g^T is not positive.
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
    the variance of the estimated log sd squared, 4 `log_sd_var` (from `noise_covariance`,
    which charges the fitted curve): nu_0 = 1 / (2 `log_sd_var`), `dof` for constant noise
    by least squares. The curve's variance has `dof` (one figure, or one per point from
    `curve_dof`); the two estimates are nearly fully
    correlated (one fit), so the sd of the log of their sum is bounded by the weighted sum
    of theirs: 1 / sqrt(nu) = (c / V) / sqrt(dof) + (s^2 / V) / sqrt(nu_0), V = c + s^2 (a
    Satterthwaite approximation, Satterthwaite, Biometrics Bulletin 2, 1946), and nu is
    not below 1. The approximation fails where the estimate is far below its own standard
    error: a two-component model whose floor is estimated at 0 has s^2 near 0 at a zero
    signal, known only to within the floor's error, and nu there came to 0.27-0.42 (a one-sided
    95 % t quantile of 89-1441, and detection limits of 3.7-43 on standards from 1 to 100
    where the true one is 0.34). Counted as at least one reading's chi-square, a Cauchy
    quantile, the limits are 0.43-0.54, and the rates of a blank over the critical signal
    and of a reading at the limit under it stay within the stated 5 % under the true noise.
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
