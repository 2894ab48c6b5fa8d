"""
VASQ-P performans-kritik cekirdegi (C++/Eigen).
"""
from __future__ import annotations
import collections.abc
import numpy
import numpy.typing
import typing
# Arrays and nested sequences of numbers: a str is array-like to NumPy but not a vector.
_Numbers: typing.TypeAlias = numpy.typing.NDArray[numpy.floating[typing.Any] | numpy.integer[typing.Any]]
_Vector: typing.TypeAlias = _Numbers | collections.abc.Sequence[float]
_Matrix: typing.TypeAlias = _Numbers | collections.abc.Sequence[collections.abc.Sequence[float]]
@typing.final
class GibbsResult:
    """Boltzmann summary of a sample of energies; returned by `gibbs_entropy`, read-only."""
    @property
    def H(self) -> float:
        """Shannon entropy, in nats, of the Boltzmann probabilities of the energies."""
    @property
    def He(self) -> float:
        """Normalised entropy ``H / Hmax``."""
    @property
    def Hmax(self) -> float:
        """Reference maximum entropy ``ln(max(n, 2))`` for ``n`` energies."""
    @property
    def T(self) -> float:
        """The temperature as passed in."""
    @property
    def r_heat(self) -> float:
        """Heat ratio ``0.99 * He + 0.01``."""
    @property
    def var_E(self) -> float:
        """Population variance of the energies (divisor ``n``)."""
@typing.final
class MCMCResult:
    """Outcome of `TournamentMCMC.fit`; read-only."""
    @property
    def beta_mcmc(self) -> typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, 1]"]:
        """Lowest-energy coefficient vector found, shape (p,); a read-only view."""
    @property
    def energy(self) -> float:
        """MDL energy of `beta_mcmc`."""
    @property
    def gibbs(self) -> GibbsResult:
        """Gibbs analysis, at T = 1, of the warm-up chains' final energies."""
    @property
    def n_chains(self) -> int:
        """Configured number of warm-up chains."""
    @property
    def n_elite(self) -> int:
        """Configured number of elites (also when fewer could be formed)."""
@typing.final
class TournamentMCMC:
    """Tournament of annealed Metropolis chains minimising the MDL energy of ``X @ beta``."""
    def __init__(self, n_chains: typing.SupportsInt | typing.SupportsIndex = 25, n_warmup: typing.SupportsInt | typing.SupportsIndex = 200, n_deep: typing.SupportsInt | typing.SupportsIndex = 2000, n_elite: typing.SupportsInt | typing.SupportsIndex = 5, step_size: typing.SupportsFloat | typing.SupportsIndex = 0.05, H_piH: typing.SupportsInt | typing.SupportsIndex = 20, seed: typing.SupportsInt | typing.SupportsIndex = 42) -> None:
        """Fix the configuration: chain counts and lengths, warm-up step size, MDL ``H`` and base seed."""
    def fit(self, X: typing.Annotated[_Matrix, numpy.float64, "[m, n]"], y: typing.Annotated[_Vector, numpy.float64, "[m, 1]"], R1: typing.Any = None, R2: typing.Any = None, gamma1: typing.SupportsFloat | typing.SupportsIndex = 0.0, gamma2: typing.SupportsFloat | typing.SupportsIndex = 0.0) -> MCMCResult:
        """Search coefficients for ``y ~ X @ beta`` with optional weighted penalties; deterministic for a given seed."""
def boundary_reduce_1d(deg: typing.SupportsInt | typing.SupportsIndex, x_min: typing.SupportsFloat | typing.SupportsIndex, x_max: typing.SupportsFloat | typing.SupportsIndex) -> typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, n]"]:
    """Matrix of the term f' * f'' between ``x_min`` and ``x_max`` in the monomial basis of degree ``deg``."""
def build_penalty_matrices_nd(degrees: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex], bounds: collections.abc.Sequence[tuple[typing.SupportsFloat | typing.SupportsIndex, typing.SupportsFloat | typing.SupportsIndex]], n_grid_per_dim: typing.SupportsInt | typing.SupportsIndex = 30) -> tuple[typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, n]"], typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, n]"], list[list[int]]]:
    """Tensor-product basis of the given degrees: the penalty pair (gradient, Hessian) over a grid, and the multi-indices."""
def compute_sr(yp: typing.Annotated[_Vector, numpy.float64, "[m, 1]"], yt: typing.Annotated[_Vector, numpy.float64, "[m, 1]"], eps: typing.SupportsFloat | typing.SupportsIndex) -> float:
    """Fraction of residuals ``|yp - yt|`` strictly below ``eps``, floored at 1/(2n)."""
def design_matrix_1d(deg: typing.SupportsInt | typing.SupportsIndex, x: typing.Annotated[_Vector, numpy.float64, "[m, 1]"]) -> typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, n]"]:
    """Columns ``1, x, ..., x**deg``."""
def design_matrix_nd(multi_indices: collections.abc.Sequence[collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex]], X_cols: collections.abc.Sequence[typing.Annotated[_Vector, numpy.float64, "[m, 1]"]]) -> typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, n]"]:
    """One column per multi-index: the product over k of ``X_cols[k] ** index[k]``."""
def fit_regularized_linear(Phi: typing.Annotated[_Matrix, numpy.float64, "[m, n]"], y: typing.Annotated[_Vector, numpy.float64, "[m, 1]"], R1: typing.Any = None, R2: typing.Any = None, gamma1: typing.SupportsFloat | typing.SupportsIndex = 0.0, gamma2: typing.SupportsFloat | typing.SupportsIndex = 0.0, ridge: typing.SupportsFloat | typing.SupportsIndex = 1e-10) -> typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, 1]"]:
    """Penalised least squares; the penalty weights are scaled by the number of observations."""
def gibbs_entropy(energies: typing.Annotated[_Vector, numpy.float64, "[m, 1]"], T: typing.SupportsFloat | typing.SupportsIndex = 1.0) -> GibbsResult:
    """Entropy summary of the Boltzmann distribution of ``energies`` at temperature ``T``."""
def mad(y: typing.Annotated[_Vector, numpy.float64, "[m, 1]"]) -> float:
    """Raw median absolute deviation (no consistency factor)."""
def mdl_score(yp: typing.Annotated[_Vector, numpy.float64, "[m, 1]"], yt: typing.Annotated[_Vector, numpy.float64, "[m, 1]"], k: typing.SupportsInt | typing.SupportsIndex, H: typing.SupportsInt | typing.SupportsIndex = 20) -> float:
    """MDL score ``k**2 ln(2H) / n - n ln(success rate)``, tolerance ``0.4 * mad(yt)``."""
def mdl_score_reg(yp: typing.Annotated[_Vector, numpy.float64, "[m, 1]"], yt: typing.Annotated[_Vector, numpy.float64, "[m, 1]"], k: typing.SupportsInt | typing.SupportsIndex, H: typing.SupportsInt | typing.SupportsIndex, beta: typing.Annotated[_Vector, numpy.float64, "[m, 1]"], R1: typing.Annotated[_Matrix, numpy.float64, "[m, n]"], R2: typing.Annotated[_Matrix, numpy.float64, "[m, n]"], gamma1: typing.SupportsFloat | typing.SupportsIndex = 0.0, gamma2: typing.SupportsFloat | typing.SupportsIndex = 0.0) -> float:
    """`mdl_score` plus ``gamma1 beta' R1 beta + gamma2 beta' R2 beta``."""
def ols(X: typing.Annotated[_Matrix, numpy.float64, "[m, n]"], y: typing.Annotated[_Vector, numpy.float64, "[m, 1]"]) -> typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, 1]"]:
    """Minimum-norm least squares by singular value decomposition."""
def smoothness_penalty_matrices_1d(deg: typing.SupportsInt | typing.SupportsIndex, x_min: typing.SupportsFloat | typing.SupportsIndex, x_max: typing.SupportsFloat | typing.SupportsIndex, n_grid: typing.SupportsInt | typing.SupportsIndex = 600) -> tuple[typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, n]"], typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, n]"]]:
    """Penalty pair (R1, R2): grid sums of f'**2 and f''**2 over ``[x_min, x_max]``."""
def robust_fit(T: collections.abc.Sequence[_Vector], powers: collections.abc.Sequence[collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex]], y: _Vector, w: _Vector, seed: typing.SupportsInt | typing.SupportsIndex = 0, disabled: collections.abc.Sequence[str] = [], var_weights: _Vector | None = None, zero: typing.SupportsFloat | typing.SupportsIndex = 0.0, noise: str = "auto") -> dict[str, typing.Any]:
    """High-breakdown fit of ``y`` on the monomials ``powers`` of the feature columns ``T`` with frequency weights ``w`` and relative inverse variances ``var_weights`` (all 1 by default): elemental starts, concentration, then the noise model (``noise``: "constant", "power", "two_component", "log_linear" or "auto"; its signal is y less ``zero``) jointly with biweight MM refinement at its local scales; returns beta, weights, scale, residuals, leverage, s0, noise_kind, noise_params, noise_scores (criterion of every model fitted; with "auto", power and two_component are absent when the constant fit's residuals show no trend with the mean that could make them win), trimmed_rms (root of the trimmed objective over its mass), counters, and cluster_veto (True when "auto" kept constant noise only because the varying model that would have won takes back a one-sided cluster of the rows constant noise rejects; without replicates such a model is not chosen) and kept_rows_trend (True when "auto" without replicates keeps constant noise though the rows it keeps show on their own the spread trend a varying model needs). Stages named in ``disabled`` ("elemental", "concentration", "reweighting") are skipped."""
def design_matrix(T: collections.abc.Sequence[_Vector], powers: collections.abc.Sequence[collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex]]) -> typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, n]"]:
    """Design of the terms ``powers`` at the feature columns ``T``, as `robust_fit` builds it: column j is the product over k of ``T[k] ** powers[j][k]``. Raises ValueError on shapes that disagree, non-finite features, negative exponents or a design that overflows."""
def biweight(u: typing.Annotated[_Vector, numpy.float64, "[m, 1]"]) -> tuple[typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, 1]"], typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, 1]"], typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, 1]"], typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, 1]"]]:
    """Tukey's biweight at ``u`` with c = `BIWEIGHT_C`: ``(rho, psi, psi_prime, weight)``, rho = c**2/6 (1 - (1 - (u/c)**2)**3) (c**2/6 beyond c), psi = rho', weight = psi / u; psi, psi' and weight are 0 beyond c. Raises ValueError on non-finite ``u``."""
BIWEIGHT_C: float
"""Tukey's biweight constant of `robust_fit`'s refinement and of `biweight`: 4.685, 95 % efficiency at the normal."""
INLIER_CUT: float
"""2.5: `robust_fit` estimates its noise models from the rows whose residuals lie within this many local noise sd."""
def degree_score(residuals: _Vector, leverage: _Vector, scale: _Vector, weights: _Vector, s0: typing.SupportsFloat | typing.SupportsIndex, n_params: typing.SupportsInt | typing.SupportsIndex, w: _Vector, mass: typing.SupportsFloat | typing.SupportsIndex, order: numpy.typing.NDArray[numpy.integer[typing.Any]] | collections.abc.Sequence[int] | None = None) -> tuple[float, float, float]:
    """The degree score of one candidate fit in its parts ``(trimmed, penalty, serial)``, lower better in sum: the trimmed likelihood term of its leave-one-out residuals (below W = 30 its standardised residuals) over the rows of positive ``w``, judged on its best rows up to the weight ``mass`` (every row from W on; for the high-breakdown candidates of the degree search max(floor((W + p + 1) / 2), min(W - 1, 2 p + 2)) at most W, p the terms of the largest candidate, and below W = 30 at least what a candidate within 6 of the lowest score keeps; W for least squares); ``n_params`` log W; and the serial correlation of its inliers in ``order``, the permutation that sorts the rows by x (none without it). Raises ValueError on lengths that disagree, an order that is not a permutation, non-finite input, scales not positive, weights below 0 or not summing to a finite total of at least 1, counts below 0, a ``mass`` not above 0, and a score beyond the double range."""
def search_degrees(T: collections.abc.Sequence[_Vector], candidates: collections.abc.Sequence[collections.abc.Sequence[collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex]]], y: _Vector, w: _Vector, seed: typing.SupportsInt | typing.SupportsIndex = 0, var_weights: _Vector | None = None, zero: typing.SupportsFloat | typing.SupportsIndex = 0.0, noise: str = "auto") -> tuple[list[dict[str, typing.Any]], list[tuple[float, float, float, float]], int]:
    """The degree search among the term sets ``candidates`` (lowest degree first): ``(fits, scores, best)``, each fit `robust_fit`'s dict without ``residuals``, ``scale`` and ``leverage`` (and, but for the chosen, with empty ``weights``), each score `degree_score`'s parts (at the mass of the most terms of any candidate, the rows in the order of the one feature, none for several; below a total weight of 30 the mass is the most weight of rows that a candidate within 6 of the lowest score keeps, if more, decided under "auto" by the constant-noise fits) and a fourth, the charge for rows given up: from a total weight of 30, for a candidate within 14 of the lowest score, 4.685**2 times the most weight of rows it rejects that a candidate of fewer terms within 12 of the lowest keeps and passes within 2.576 of in the first one's noise sd, net of the rows it keeps that that candidate rejects, where there are any; ``best`` the `parsimonious` choice by the sums. A named ``noise`` model is fitted to every candidate. With "auto" every candidate is first fitted under constant noise (`robust_fit` with ``noise="constant"``); the one those scores choose is fitted with "auto", and only when that fits a varying model is every candidate fitted with "auto" and scored again. The candidates run side by side on the core's threads, each with the bits of `robust_fit` alone; the first failure in candidate order is raised."""
def parsimonious(scores: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex]) -> int:
    """The index of the first of ``scores`` (the lowest degree) within 2 of the lowest: a difference of 2 is the least that counts as positive evidence on the BIC's scale (Kass & Raftery 1995; Occam's window, Madigan & Raftery 1994). Raises ValueError on no scores or a NaN."""
def noise_scale(kind: str, params: _Vector, zero: typing.SupportsFloat | typing.SupportsIndex, mean: _Vector, T: collections.abc.Sequence[_Vector]) -> typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, 1]"]:
    """The noise sd of the model ``kind`` with ``params`` (as `robust_fit` returns them) at fitted means ``mean`` and feature columns ``T``, never below 1e-9. Raises ValueError on an unknown kind, shapes that disagree, non-finite input or parameters that give no positive sd."""
def log_sd_gradient(kind: str, params: _Vector, zero: typing.SupportsFloat | typing.SupportsIndex, mean: _Vector, T: collections.abc.Sequence[_Vector]) -> typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, n]"]:
    """Gradient of the log noise sd of the model ``kind`` with ``params`` (as `noise_scale` takes them) at fitted means ``mean`` and feature columns ``T``, one row per point, in the parameters that the data determine: log s for "constant", (log s, theta) for "power", (a**2, b**2) for "two_component" and (g_0, ..., g_d) unclipped for "log_linear". Raises ValueError as `noise_scale` does."""
def fit_series(T: collections.abc.Sequence[_Vector], y: _Vector, w: _Vector, var_weights: _Vector, offsets: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex], candidates: collections.abc.Sequence[collections.abc.Sequence[collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex]]], n_candidates: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex], zero: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex], seeds: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex], noise: str) -> list[tuple[list[dict[str, typing.Any]], list[tuple[float, float, float, float]], int, dict[str, typing.Any]] | str]:
    """Many data sets fitted in one call, stacked in rows: rows ``offsets[s]`` to ``offsets[s + 1]`` of the scaled feature columns ``T``, readings ``y``, sample weights ``w`` and relative ``var_weights`` are data set s, which tries the first ``n_candidates[s]`` term sets of ``candidates`` under the noise model ``noise``, with its own scaled ``zero`` signal and seed. For each, ``(fits, scores, best, uncertainty)``: `search_degrees` of its rows and `fit_uncertainty` of its chosen fit (robust), the same bits as those two calls on it alone, on any number of threads; or, for a data set that either rejects, the message of its ValueError, the others unaffected. Several data sets run side by side on the core's threads, each on one; a lone one runs its candidates side by side. The interpreter lock is released throughout. Raises ValueError on offsets that are not a non-decreasing cover of the rows from 0, per-data-set lists of another length, a candidate count outside [1, len(candidates)] and columns whose lengths disagree."""
def fit_uncertainty(T: collections.abc.Sequence[_Vector], powers: collections.abc.Sequence[collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex]], beta: _Vector, y: _Vector, w: _Vector, var_weights: _Vector, weights: _Vector, noise: str, noise_params: _Vector, zero: typing.SupportsFloat | typing.SupportsIndex, robust: bool) -> dict[str, typing.Any]:
    """The uncertainty of the fitted curve ``beta`` of the terms ``powers`` at the scaled feature columns ``T``, for scaled readings ``y`` of sample weights ``w``, relative ``var_weights`` and the fit's final robustness ``weights``, under the noise model ``noise`` with ``noise_params`` (``zero`` the scaled y of a zero signal), a biweight fit if ``robust`` else least squares: a dict of ``mean`` and ``scale`` (each row's fitted mean and noise sd), ``beta_cov`` (Huber's H2 at local scales), ``noise_cov`` (the inverse restricted information of the `log_sd_gradient` parameters), ``dof_moments`` (A^+ and A^+ S_k A^+ stacked, shape (1 + q, p, p)) and ``scale_dof``. Accumulated over fixed blocks of rows, without an n x p array. Rows of zero ``w`` take no part. Raises ValueError on shapes that disagree, non-finite input, a negative ``w``, ``var_weights`` not positive, and as `design_matrix` and `noise_scale` do."""
def weighted_leverage(X: typing.Annotated[_Matrix, numpy.float64, "[m, n]"], w: typing.Annotated[_Vector, numpy.float64, "[m, 1]"]) -> typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, 1]"]:
    """Diagonal of the hat matrix of the rows of ``X`` scaled by ``sqrt(w)``, each in [0, 1] (0 where w is 0). Raises ValueError on shapes that disagree, non-finite input or a negative weight."""
