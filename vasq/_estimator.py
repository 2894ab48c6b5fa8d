"""The scikit-learn estimator: parameter checks and the fit, whose result is one PolynomialModel."""

from __future__ import annotations

from collections.abc import Sequence
from numbers import Integral, Real
from typing import Any, Literal, cast, overload

import numpy as np
from numpy.polynomial import Polynomial
from numpy.typing import ArrayLike, NDArray
from sklearn import get_config
from sklearn.base import BaseEstimator, RegressorMixin
from sklearn.utils._param_validation import Interval, StrOptions
from sklearn.utils.validation import (
    _check_sample_weight,
    _get_feature_names,
    check_is_fitted,
    check_X_y,
    validate_data,
)

from vasq._calibration import DetectionLimit, LackOfFit
from vasq._fit import INT32_MAX, fit_model
from vasq._model import PolynomialModel
from vasq._uncertainty import NOISE_KINDS

Vector = NDArray[np.float64]
# The parameter names of the estimator's class and of each subclass, read once.
_PARAM_NAMES: dict[type, tuple[str, ...]] = {}


def _reads(field: str, doc: str) -> Any:
    """A fitted attribute of the estimator: the `field` of its `model_`."""

    def read(estimator: RobustPolynomialRegressor) -> Any:
        return getattr(estimator._model(), field)

    return property(read, doc=doc)


class RobustPolynomialRegressor(RegressorMixin, BaseEstimator):
    """Robust polynomial regression with the degree chosen by a robust information criterion.

    Fits y as a polynomial in one or several features, ignoring gross outliers, and picks
    the degree itself. Results do not depend on the units of the data: scaling or shifting
    a feature, or scaling y, changes the predictions accordingly and nothing else. Shifting
    y moves the zero signal from which the noise models of the mean measure it (``noise``),
    so it changes nothing else at constant noise. The fitted result
    is one :class:`PolynomialModel`, `model_`; the estimator's fitted attributes read it and
    its methods delegate to it.

    Algorithm (``method="robust"``), for every candidate degree, in one call of the core:

    1. Every feature is mapped to [-1, 1] and y to (y - median) / (1.4826 MAD); the fit is
       equivariant, so this changes nothing but keeps the core's absolute floors meaningful.
    2. High-breakdown start (least trimmed squares, as FAST-LTS): ceil(log 0.01 /
       log(1 - 0.5^p)) random p-point subsets (p terms, at most 3000), each solved exactly
       and given one concentration step on 128 rows spread evenly over the sample, where
       they are ranked by the trimmed sum of squares over a weight mass h = floor((W + p +
       1) / 2), W the total weight, and below W = 30 at least W - max(1, floor((W - p) /
       4)). The best 10 of them and least squares get two concentration steps on all rows
       (least squares on the weight mass h of best-fitting points), and the best 3 of those
       steps until the trimmed objective stops falling. Above 1500 samples this runs on a
       subsample of 1500. Half the points may be outliers of any kind, leverage points
       included; below 30, a quarter of those beyond the terms and at least one: the better
       half of so few is often a chance group that a curve fits far below the noise, and
       its scale then rejects clean readings.
    3. The noise scale s0 of the trimmed fit: the root mean square of the residuals within
       2.5 s0, made consistent at the normal, iterated from the trimmed scale, and again
       from the biweight M-scale of all residuals (breakdown 1/2) when it ends below half
       of that with fewer than 10 samples per term: a chance half of a few points can
       agree far below the noise.
    4. The noise model and the MM refinement, jointly. The first shape of the noise model
       is a trimmed regression of log abs(r) on its covariates, which needs no scale and so
       sees the noisy end whole. Then, until nothing changes (at most 10 cycles): the rows
       with abs(r_i) <= 2.5 sigma_i against the previous local sd are the inliers; the
       model's parameters maximise the likelihood of normal residuals seen only within
       that cut (the cut is part of the likelihood, so the noisy end is neither truncated
       nor over-read; for the two-component model the pseudo-likelihood of the variance
       function, Davidian & Carroll, 1987), each residual divided by sqrt(1 - h_i), h_i
       its leverage in the biweight's weighted least squares, so that the curve's share of
       each reading is taken out where it is (the ends of the range) and not on average;
       iteratively reweighted least squares with Tukey's biweight (c = 4.685, 95 %
       efficiency) runs at those fixed local scales. A variance grows only towards rows it
       already admits, so a block of bad readings at the noisy end stays out. With fewer
       than 10 samples per term, where a spurious half of the points can agree by chance,
       the refinement also runs from least squares and the end with the lower biweight
       objective at these scales is kept. Points with weight 0 are the outliers:
       abs(r_i) / sigma_i beyond c.

    ``noise="auto"`` fits constant noise and then, where the spread trends with the mean,
    the power and two-component models, or, where it trends with the features instead, a
    log-linear sd over them (both below), and keeps the lowest robust pseudo-likelihood
    BIC, sum_i w_i [2 rho(r_i / sigma_i) + 2 log max(sigma_i, abs(r_i) / c)] + k log W, k
    the noise model's free parameters: the normal -2
    log-likelihood near the fit, while a rejected reading costs the same whatever sigma_i
    below abs(r_i) / c, so no model gains by shrinking its sd at an outlier. With
    replicates (the samples repeat their X twice over on average), every model is also
    charged sum_g 2 log C(m_g, k_g) over the levels g of X, m_g the weight of a level's
    readings and k_g that of those the model rejects (abs(r_i) >= c sigma_i): the length
    of the enumerative code that names them given their count at each level (Cover, IEEE
    Trans. Inf. Theory 19, 1973). The bounded loss makes each rejection cheap, and a sd too
    small at the noisy end would call the clean readings there outliers (constant noise won
    so on 3 % of two-component calibrations over two decades, rejecting 6-14 clean
    readings at the top standards); replicates show that spread apart from the curve. A
    level all of whose readings but one are rejected, as when a fault shifts a standard's
    readings together, costs only 2 log m_g. Without replicates the charge would favour a sd
    grown to take in a group of outliers at large means, and is not made. Ties go to the
    simpler model, and a two-component model that beats constant noise is kept over a
    power of the mean that is not 6 better: the two have as many parameters and differ
    chiefly at small signals, where the power's sd vanishes (on calibrations with a floor
    and a 3 % CV over two decades the power won a third of the fits at equal charge, and a
    blank then exceeded its critical signal in up to 65 % of draws, not 5 %). Unless the
    samples repeat their X twice over on average (replicates, whose spread measures the
    noise apart from any curve), a power or two-component model
    is charged 6 more (and so is a log-linear sd), strong evidence (Kass & Raftery, JASA
    90, 1995): without replicates a
    sd growing with the mean and a group of outliers at large means explain the data alike,
    and the varying model would take the group in. Without replicates, neither is a
    varying model chosen when the readings that constant noise rejects and it takes back
    form a cluster on one side of its curve or of the constant fit's curve (a sd rising
    to take a group in bends its own curve into the group's middle): a sign test at
    level 1 % (Dixon & Mood, JASA 41, 1946) on their weights,
    abs(W+ - W-) - 1 > 2.576 sqrt(W+ + W-), rejects symmetry, and those on the side
    holding more of them, but for a tenth at each end, span at most 40 % of the data's
    range in some feature (a sensor fault can shift a third of the readings). A coherent
    group of outliers is one-sided and confined; noise that grows is on both sides, and a
    curve of too low a degree one-sided along a whole end of the range. The power and
    two-component models are
    not fitted at all when the readings show no trend of their spread with the mean: z, the
    z-score of the slope of log abs(r_i) in a regression on log abs(mu_i) or on mu_i^2
    (upwards only; the larger of the two), r the constant model's residuals or, with
    replicates, the larger z of those and of the deviations from the replicate means, below
    1.96, or, with at least 10 samples per term, below sqrt(log W + m) - 1.5, m the 6
    charged without replicates (else 0). Under constant noise z is about the absolute value
    of a normal variable. The log-linear sd is fitted instead of them when, with at least 10
    samples per term, the largest z of the slope of log abs(r_i) on a feature passes the
    same test and exceeds the mean's z by more than 1 (with replicates, the z's of the
    deviations decide that lead): noise that grows along x under a curve that turns, which
    no function of the mean follows (where the mean rises with x, as on calibrations, the
    two z's differ by 0.5 at most). Elsewhere it is left to an explicit choice: it can rise
    steeply at an edge of the design to meet a group of bad readings there, and with fewer
    samples it follows the chance pattern of a few residuals. An explicitly named model is
    always fitted.

    Every degree from 0 to `max_degree` that has enough points per term is fitted and
    scored by the core's ``search_degrees``. With ``noise="auto"`` the noise model is chosen
    once: every degree is first fitted and scored under constant noise; "auto" is then
    fitted at the degree those scores choose, and only if it keeps a varying model there is
    every degree fitted with "auto" and scored again; when that model is the log-linear sd,
    only the degrees within 10 of the chosen one's constant-noise score (very strong
    evidence) are, with that sd, and the others are neither chosen nor listed in
    `bic_scores_`: a degree that far behind would win only by reading its misfit as noise.
    Where the noise is constant, the varying models of the other degrees are never fitted:
    at a degree too low for the curve the misfit reads as noise that grows with the mean.
    Beside a varying model, a degree that keeps constant noise only because its own varying
    model would take back a one-sided cluster (above) is neither chosen nor listed in
    `bic_scores_`: its data prefer a varying model, and its score under constant noise is
    no comparison for the others' (under noise growing along a logistic, a quadratic that
    rejected the noisy end as such a cluster won). That holds of the degree the
    constant-noise scores choose too, when the spread of the readings it keeps trends on
    its own (the root of its trend statistic at least sqrt(log W + 6), W their weight) and
    a higher degree's varying model takes in the readings it rejects while rejecting fewer
    than a tenth as many that it keeps: every other degree is then fitted with "auto" (with
    the log-linear sd alone, where that is the model) and scored again, whatever its
    constant-noise score, and a degree that keeps constant noise though the readings it
    keeps trend is not chosen or listed either. A coherent group of outliers is taken in
    only by a curve that bends away from clean readings, or beside clean readings whose
    spread does not trend.
    The score is the trimmed BIC h log(T / (h c(h / N))) + (h / W) sum_i log v_i + k log W,
    with e_i the residual divided by 1 - h_i (h_i its leverage, rows weighted by their
    biweight weight over the noise variance: the leave-one-out residual of the last
    reweighted least squares, so that near-interpolating fits gain nothing; below W = 30 by
    sqrt(1 - h_i), the standardised residual, since there the leave-one-out residuals of a
    flexible candidate's end points are extrapolations whose variance is several times the
    noise's), v_i the square of the candidate's noise-model shape (its log averaged over
    every row, so that no candidate gains by keeping its noisiest rows out of H), H the rows
    of smallest abs(e_i) / sqrt(v_i) up to a weight h = max(floor((W + p + 1) / 2),
    min(W - 1, 2 p + 2)) (W the total sample weight, p the terms of the largest candidate;
    on short series a flexible candidate fits its own best half by chance, so h rises to
    2 p + 2 and fewer outliers than half can be told apart; below W = 30 h rises further
    to the most weight of rows that a candidate within 6 of the lowest score keeps, so that
    no candidate gains by rejecting clean rows there, and under "auto" the constant-noise
    fits decide it), T the sum of e_i^2 / v_i
    over H, k the number of terms plus the noise model's parameters beyond its scale (1
    for power and two-component), N the weight of the candidate's inliers and c(a) the
    variance of the central share a of a standard normal (1 for a >= 1), so that a
    candidate that takes a group of outliers in gains nothing from choosing its h points
    among more inliers; plus, for one feature, W_in max(0, 1 - D / V)^2 of
    the inliers' residuals over their scales in the order of x (V their mean square, D the
    mean square successive difference over 2, W_in their weight): the serial correlation
    that a curve bending through a group of outliers leaves on the points around it; plus,
    from W = 30 on, c^2 = 4.685^2 (the least squared standardised residual of a rejected
    reading) for each reading the degree rejects that a lower degree within 12 of the
    lowest score keeps and passes within 2.576 of (in the first degree's noise sd), net of
    those it keeps that the lower one rejects, where there are any (the most over such lower
    degrees, for the degrees within 14 of the lowest): more terms can follow the simpler
    curve, and judged on its own best rows a degree that trades clean readings the simpler
    curve fits for others would pay nothing for them. Where the readings it keeps that the
    lower one rejects weigh less than half its other kept readings, and weighted least
    squares on those others (weights over its noise variance; only where they determine
    every coefficient) misses more than half their weight by more than 4.685 of its noise
    sd, it pays for them as well, not net of them: it reaches them only by bending through
    them (a group far beyond the others' x). The lowest degree whose score is within 2 of
    the lowest wins (a difference of 2 is the least that counts as positive
    evidence on the BIC's scale, Kass & Raftery 1995; Occam's window, Madigan & Raftery
    1994). Finally the coefficients are converted exactly to the user's units.

    ``method="ols"`` and ``method="penalized"`` replace steps 2 to 4 by plain or penalised
    least squares with weights sample_weight * var_weights (not robust to outliers) and
    choose the degree by the same score with h = W, every row: a least-squares curve keeps
    its outliers and is pulled by them, so its best half of residuals is no guide to the
    degree (the BIC of its leave-one-out residuals). The noise is constant over
    sqrt(var_weights), its scale the root mean square weighted residual.

    Parameters
    ----------
    degree : "auto", int or sequence of int, default="auto"
        Degree of the polynomial. "auto" chooses among 0 ... `max_degree` (the same degree
        for every feature) by the trimmed BIC described above. An int gives
        that degree for every feature; a sequence gives one maximum exponent per feature.
        For several features the model holds every monomial whose exponents stay within
        these and whose total degree is at most their maximum.
    max_degree : int, default=6
        Highest degree tried by "auto"; every degree from 0 up is fitted and scored. Each
        degree needs two samples, and a total sample weight of two, per term; for the robust
        method, a degree above 2 needs 3 k + 1 samples and distinct rows for its k terms.
    method : {"robust", "penalized", "ols"}, default="robust"
        "robust": the high-breakdown fit described above. "penalized": least squares with
        the smoothness penalties weighted by `gamma1` and `gamma2`. "ols": least squares.
    noise : {"auto", "constant", "power", "two_component", "log_linear"}, default="auto"
        How the noise sd changes, for the robust method (the least-squares methods take
        "auto" or "constant"). With mu the signal (the fitted mean in the units of y):
        "constant"; "power", s abs(mu)^theta (Carroll & Ruppert, 1988; theta = 1 is a
        constant coefficient of variation; theta within [-1, 3]), abs(mu) floored at 1e-6
        of its largest fitted value;
        "two_component", sqrt(a^2 + b^2 mu^2), a floor near zero plus a constant
        coefficient of variation (Rocke & Lorenzato, 1995); "log_linear", log sd linear in
        the features, held within the range it takes on the inliers. "auto" chooses among the
        first three by the criterion below. Each is over sqrt(var_weights).
    gamma1, gamma2 : float, default=0.0, 1e-6
        Weights of the squared first and second derivative penalties (integrated over the
        features scaled to [-1, 1], times the number of samples), for "penalized" only.
        Several features are supported up to three.
    random_state : int, RandomState instance or None, default=None
        Seed of the random subsets. An int gives bit-identical results on every machine and
        thread count.

    Attributes
    ----------
    model_ : PolynomialModel
        The fitted model; the attributes below read it.
    degree_ : int or tuple of int
        Chosen degree: an int for one feature, one int per feature for several.
    powers_ : ndarray of shape (n_terms, n_features), dtype int64
        Exponents of each monomial term, the constant first.
    coef_ : ndarray of shape (n_terms,)
        Coefficients in the user's units, each the exact one rounded once (see
        :attr:`PolynomialModel.coef`, which may raise ValueError beyond double range).
    coef_cov_ : ndarray of shape (n_terms, n_terms)
        Covariance of `coef_` (see Notes); NaN throughout when the inliers' total sample
        weight does not exceed the number of terms.
    coef_se_ : ndarray of shape (n_terms,)
        Standard errors of `coef_`, the square roots of the diagonal of `coef_cov_`.
    polynomial_ : numpy.polynomial.Polynomial
        The fitted polynomial in the user's units (one feature only).
    inlier_mask_ : ndarray of shape (n_samples,), dtype bool
        The observations of positive final weight (all for the least-squares methods).
    n_inliers_ : int
        Number of samples with a nonzero weight in the final fit.
    weights_ : ndarray of shape (n_samples,)
        Final robustness weights in [0, 1] (1 for the least-squares methods).
    scale_ : float
        The fit's global noise scale s0 in the units of y; prediction intervals use the
        local sd of `model_.noise_scale`, where the fit models noise changing over X.
    noise_ : NoiseModel
        The fitted noise model: `kind` (one of the names of `noise`) and its parameters.
    bic_scores_ : dict
        Robust BIC (see Algorithm) of every candidate degree tried (keys as in `degree_`);
        lower is better. A degree that ``noise="auto"`` left under constant noise while the
        chosen one has a log-linear sd is not listed: the two scores are not comparable.
    bic_score_ : float
        Robust BIC of the chosen degree.
    n_features_in_ : int
        Number of features seen during fit.
    feature_names_in_ : ndarray of shape (n_features_in_,)
        Names of the features, when X was a DataFrame with string column names.

    See Also
    --------
    sklearn.linear_model.RANSACRegressor : Consensus of random subsets, then least squares.
    sklearn.linear_model.HuberRegressor : Huber loss, robust to moderate outliers only.

    Notes
    -----
    Uncertainty is computed with NumPy and SciPy from the core's fit, in the scaled
    coordinates; `coef_cov_` is that covariance mapped linearly to the user's units. Each
    residual r and row x of the design is divided by its local noise sd s, and the
    covariance is Huber's H2 in those coordinates, K [sum psi(u)^2 / (n - p)] /
    [sum psi'(u) / n] (sum psi'(u) x x^T / s^2)^-1, u = r / s, K = 1 + (p / n)
    Var(psi') / Mean(psi')^2, over the n inliers (as statsmodels' RLM computes H2). The
    least-squares methods use psi(u) = u, which gives the classical covariance of weighted
    least squares (statsmodels' WLS with weights var_weights). The penalty of "penalized"
    is left out. Coefficient intervals use Student's t on the noise scale's degrees of
    freedom, 1 / (2 g' C g), C the covariance of the noise model's parameters and g the
    gradient of the log noise sd averaged over the fitted rows weighted by their leverage
    (about 0.68 times the inliers' total sample weight less p for constant noise, the scale
    being read from the readings within 2.5 sd); the total sample weight less p for least
    squares. The curve's intervals at x weigh the rows by their share in the curve's
    variance there instead, so that where the noise varies they count the few rows the
    curve rests on at x (see `PolynomialModel.predict_interval`).
    Prediction intervals combine the curve's standard error with
    the local noise sd at X and its fitted mean (`noise_scale`): the robust and the
    least-squares scales are corrected for the terms fitted already.

    A fit computes its whole result first and then sets it on the estimator in one step:
    separate estimators may be fitted from several threads at once (the core releases the
    interpreter lock); fits of one estimator from several threads leave it holding the
    whole result of the last to finish, never a mixture.

    Examples
    --------
    >>> import numpy as np
    >>> from vasq import RobustPolynomialRegressor
    >>> rng = np.random.default_rng(0)
    >>> x = rng.uniform(0.0, 10.0, 200)
    >>> y = 3.0 - 2.0 * x + 0.5 * x**2 + rng.normal(0.0, 0.1, 200)
    >>> y[::5] += 40.0  # every fifth point is a gross outlier
    >>> model = RobustPolynomialRegressor(random_state=0).fit(x[:, None], y)
    >>> model.degree_
    2
    >>> np.round(model.coef_, 1)
    array([ 3. , -2. ,  0.5])
    >>> int(model.inlier_mask_.sum())
    160
    """

    _parameter_constraints: dict[str, list[Any]] = {
        "degree": [StrOptions({"auto"}), Interval(Integral, 0, INT32_MAX, closed="both"),
                   "array-like"],
        "max_degree": [Interval(Integral, 1, INT32_MAX, closed="both")],
        "method": [StrOptions({"robust", "penalized", "ols"})],
        "noise": [StrOptions({"auto", *NOISE_KINDS})],
        "gamma1": [Interval(Real, 0.0, np.inf, closed="left")],
        "gamma2": [Interval(Real, 0.0, np.inf, closed="left")],
        "random_state": ["random_state"],
    }

    def __init__(
        self,
        degree: int | Sequence[int] | str = "auto",
        *,
        max_degree: int = 6,
        method: str = "robust",
        noise: str = "auto",
        gamma1: float = 0.0,
        gamma2: float = 1e-6,
        random_state: int | np.random.RandomState | None = None,
    ) -> None:
        self.degree = degree
        self.max_degree = max_degree
        self.method = method
        self.noise = noise
        self.gamma1 = gamma1
        self.gamma2 = gamma2
        self.random_state = random_state

    @classmethod
    def _get_param_names(cls) -> list[str]:
        """scikit-learn's names of the parameters, read from `__init__` once per class.

        scikit-learn reads the signature anew on every `get_params`, and so on every check
        of the parameters: a sixth of the Python of a fit at n = 50.
        """
        names = _PARAM_NAMES.get(cls)
        if names is None:
            names = _PARAM_NAMES[cls] = tuple(super()._get_param_names())
        return list(names)

    def fit(
        self,
        X: ArrayLike,
        y: ArrayLike,
        sample_weight: ArrayLike | None = None,
        var_weights: ArrayLike | None = None,
    ) -> RobustPolynomialRegressor:
        """Fit the model, choosing the degree when `degree` is "auto".

        All input is checked before the core is called; a fit with the same data, parameters
        and integer `random_state` gives bit-identical results.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            The features: finite numbers, a 2-D array or a DataFrame.
        y : array-like of shape (n_samples,)
            The observations: finite numbers.
        sample_weight : array-like of shape (n_samples,), default=None
            Non-negative frequency of every observation (all 1 by default): a weight of 0
            is the same as leaving the observation out, and the fit, the degree criterion
            and the standard errors treat a weight of 2 as two observations (the random
            subsets of the robust fit are drawn among the rows, so they differ from those
            of repeated rows); so do the intervals' degrees of freedom. The total weight must
            be large enough for the model (see `max_degree`). Relative precisions go to
            `var_weights`.
        var_weights : array-like of shape (n_samples,), default=None
            Positive relative inverse variances (all 1 by default), such as the 1/x or
            1/x^2 that analytical methods prescribe: the noise sd of observation i is the
            noise model's over sqrt(var_weights[i]). Only their ratios matter: they are
            divided by their geometric mean (weighted by `sample_weight`), so multiplying
            them all by a constant changes no result, and `noise_scale` is by default
            that of a reading of the typical precision (that mean, kept as the model's
            `unit_var_weight`); `predict_interval`, `noise_scale` and `inverse_predict`
            take a new reading's var_weights in the same units.

        Returns
        -------
        RobustPolynomialRegressor
            The fitted estimator itself.

        Raises
        ------
        ValueError
            If X is not 2-D, X and y differ in length, either holds NaN, infinity or
            non-numeric values, a sample weight is negative or not finite, their sum
            overflows, a var_weight is not finite or not positive where the sample weight
            is, the var_weights span more than a factor of 1e100, `noise` is not "auto"
            or "constant" with a least-squares method, there are too few samples or too
            little total weight for the degree (see `max_degree`), or a parameter is out
            of range (not checked under scikit-learn's ``skip_parameter_validation``).
        """
        Xa, ys, w, v, names = self._fit_data(X, y, sample_weight, var_weights)
        model = fit_model(self, Xa, ys, w, v, names)
        # The whole result in one step: a concurrent fit of this object leaves one of the
        # results, never parts of two.
        state = self.__dict__
        if names is None:
            state.pop("feature_names_in_", None)
        fitted: dict[str, Any] = {"model_": model, "n_features_in_": Xa.shape[1]}
        if names is not None:
            fitted["feature_names_in_"] = names
        state.update(fitted)
        return self

    def _fit_data(
        self, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None,
        var_weights: ArrayLike | None,
    ) -> tuple[NDArray[np.float64], Vector, Vector, Vector | None, NDArray[Any] | None]:
        """`fit`'s checks of the parameters and the data: X, y, w, v and X's column names."""
        if not get_config()["skip_parameter_validation"]:
            self._validate_params()
        if not isinstance(self.degree, str) and isinstance(self.degree, Sequence) and not (
            self.degree and all(_is_degree(d) for d in self.degree)
        ):
            raise ValueError(f"degree must be \"auto\", an integer >= 0 or one per feature, "
                             f"got {self.degree!r}")
        # An array has no column names: the probes for data frames are a tenth of the Python
        # of a short fit.
        names = None if isinstance(X, np.ndarray) else _get_feature_names(X)
        if _checked_already(X, y):
            Xa, ys = cast(NDArray[np.float64], X), cast(Vector, y)
        else:
            # scikit-learn's quick finiteness test sums the data, which may overflow (to a
            # NaN that the exact test behind it then clears).
            with np.errstate(over="ignore", invalid="ignore"):
                Xa, ya = check_X_y(X, y, dtype=np.float64, y_numeric=True, estimator=self)
            ys = np.asarray(ya, dtype=np.float64)
        if not np.isfinite(ys).all():
            # An object array holding None becomes NaN after scikit-learn's check of y.
            raise ValueError("Input y contains NaN or None.")
        w = _weights(sample_weight, Xa)
        v = None if var_weights is None else _weights(var_weights, Xa)
        return Xa, ys, w, v, names

    def _model(self) -> PolynomialModel:
        check_is_fitted(self)
        model: PolynomialModel = self.model_
        return model

    degree_ = _reads("degree", "Chosen degree (an int for one feature).")
    powers_ = _reads("powers", "Exponents of each monomial term, the constant first.")
    coef_ = _reads("coef", "Coefficients in the user's units (see the class docstring).")
    coef_cov_ = _reads("coef_cov", "Covariance of `coef_` (see the class docstring).")
    coef_se_ = _reads("coef_se", "Standard errors of `coef_`.")
    inlier_mask_ = _reads("inlier_mask", "The observations the final fit treats as inliers.")
    n_inliers_ = _reads("n_inliers", "Number of samples with a nonzero final weight.")
    weights_ = _reads("weights", "Final robustness weights in [0, 1].")
    scale_ = _reads("scale", "The global noise scale s0 in the units of y.")
    noise_ = _reads("noise", "The fitted noise model (its `kind` and parameters).")
    bic_scores_ = _reads("bic_scores", "Robust BIC of every degree tried.")
    bic_score_ = _reads("bic_score", "Robust BIC of the chosen degree.")

    @property
    def polynomial_(self) -> Polynomial:
        """The fitted polynomial in the user's units, for one feature."""
        model = self._model()
        if len(model.feature_names) != 1:
            raise AttributeError("polynomial_ is only defined for one feature")
        return Polynomial(model.coef)

    def _checked(self, X: ArrayLike) -> NDArray[np.float64]:
        """X checked against the fit, as scikit-learn checks it."""
        check_is_fitted(self)
        with np.errstate(over="ignore", invalid="ignore"):
            Xa: NDArray[np.float64] = validate_data(self, X, dtype=np.float64, reset=False)
        return Xa

    @overload
    def predict(self, X: ArrayLike, return_std: Literal[False] = ...) -> Vector: ...

    @overload
    def predict(self, X: ArrayLike, return_std: Literal[True]) -> tuple[Vector, Vector]: ...

    def predict(self, X: ArrayLike, return_std: bool = False) -> Vector | tuple[Vector, Vector]:
        """Predict with the fitted polynomial: :meth:`PolynomialModel.predict` of `model_`.

        Raises
        ------
        sklearn.exceptions.NotFittedError
            If the estimator has not been fitted.
        ValueError
            If X is not 2-D, holds NaN, infinity or non-numeric values, or has another
            number of features than seen during fit.
        """
        Xa = self._checked(X)
        model = self._model()
        return model.predict(Xa, True) if return_std else model.predict(Xa)

    def predict_interval(
        self, X: ArrayLike, level: float = 0.95, kind: str = "confidence",
        var_weights: ArrayLike | None = None,
    ) -> tuple[Vector, Vector]:
        """Interval for the fitted curve, or for a new observation, at each row of X.

        :meth:`PolynomialModel.predict_interval` of `model_`, X checked as in `predict`;
        `var_weights` are the new observations', in the units given to `fit`.
        """
        return self._model().predict_interval(self._checked(X), level, kind, var_weights)

    def inverse_predict(
        self, y: ArrayLike, level: float = 0.95, n_replicates: int = 1,
        var_weight: float | None = None,
    ) -> tuple[Vector, Vector, Vector]:
        """The x at which the fitted curve equals each y, with its interval (one feature).

        :meth:`PolynomialModel.inverse_predict` of `model_`; `var_weight` is the new
        readings', in the units given to `fit`.
        """
        return self._model().inverse_predict(y, level, n_replicates, var_weight)

    def lack_of_fit(self) -> LackOfFit:
        """The pure-error F test from replicates: :meth:`PolynomialModel.lack_of_fit`."""
        return self._model().lack_of_fit()

    def detection_limit(self, level: float = 0.95) -> DetectionLimit:
        """Detection limits (one feature): :meth:`PolynomialModel.detection_limit`."""
        return self._model().detection_limit(level)

    def summary(self, feature_names: Sequence[str] | None = None) -> str:
        """A table of the fit: :meth:`PolynomialModel.summary` of `model_`."""
        return self._model().summary(feature_names)


def _checked_already(X: object, y: object) -> bool:
    """Whether X and y are float64 arrays that scikit-learn's check_X_y returns as they are.

    A 2-D X and a 1-D y of one positive length, finite throughout: the check's own
    conversions and probes for data frames are then a fifth of the Python of a short fit.
    Anything else goes through the check, which words its errors.
    """
    return (
        type(X) is np.ndarray and type(y) is np.ndarray
        and X.dtype == np.float64 and y.dtype == np.float64
        and X.ndim == 2 and y.ndim == 1 and X.shape[1] > 0 and 0 < y.size == X.shape[0]
        and bool(np.isfinite(X).all()) and bool(np.isfinite(y).all())
    )


def _weights(values: ArrayLike | None, X: NDArray[np.float64]) -> Vector:
    """Checked non-negative weights, one per row of X: ones when None, without a check."""
    if values is None:
        ones = np.ones(X.shape[0])
        ones.flags.writeable = False
        return ones
    checked: Vector = _check_sample_weight(values, X, dtype=np.float64, ensure_non_negative=True)
    return checked


def _is_degree(value: object) -> bool:
    """Whether `value` is an integer (not a bool) in [0, INT32_MAX]."""
    return (
        isinstance(value, Integral) and not isinstance(value, bool)
        and 0 <= int(value) <= INT32_MAX
    )
