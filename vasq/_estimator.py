"""The scikit-learn estimator: robust polynomial regression, its degree chosen by a robust BIC."""

from __future__ import annotations

import math
import textwrap
from collections.abc import Sequence
from dataclasses import replace
from numbers import Integral, Real
from typing import Any, Literal, overload

import numpy as np
from numpy.polynomial import Polynomial
from numpy.typing import ArrayLike, NDArray
from sklearn.base import BaseEstimator, RegressorMixin
from sklearn.utils import check_random_state
from sklearn.utils.validation import (
    _check_sample_weight,
    check_array,
    check_is_fitted,
    validate_data,
)

import vasq_core as vc
from vasq import _basis, _robust, _uncertainty
from vasq._robust import RobustFit

METHODS = ("tournament", "penalized", "ols")
INT32_MAX = 2**31 - 1
EMPTY = np.empty(0)
# The degree search stops after this many candidates in a row score worse than the best.
PATIENCE = 2


class RobustPolynomialRegressor(RegressorMixin, BaseEstimator):
    """Robust polynomial regression with the degree chosen by a robust information criterion.

    Fits y as a polynomial in one or several features, ignoring gross outliers, and picks
    the degree itself. Results do not depend on the units of the data: scaling or shifting
    a feature or y changes the predictions accordingly and nothing else.

    Algorithm (``method="tournament"``), for every candidate degree, in one call of the core:

    1. Every feature is mapped to [-1, 1] and y to (y - median) / (1.4826 MAD); the fit is
       equivariant, so this changes nothing but keeps the core's absolute floors meaningful.
    2. High-breakdown start (least trimmed squares, as FAST-LTS): ceil(log 0.01 /
       log(1 - 0.5^p)) random p-point subsets (p terms, at most 3000), solved exactly and
       ranked by the sum of the h = (n + p + 1) / 2 smallest squared residuals, then
       concentration steps (least squares on the h best-fitting points until that set stops
       changing) from the best ten and from least squares. Above 1500 samples this runs on a
       subsample of 1500. Half the points may be outliers of any kind, leverage points
       included; the starts are found by search, not by walking from a pilot.
    3. The noise scale s0 of the trimmed fit: the root mean square of the residuals within
       2.5 s0, made consistent at the normal. A log-linear model of the scale over the
       features, fitted to those inliers only, clamped to the range it takes on them and to
       a ratio of 4, is kept when a test supports it (level 1e-3).
    4. MM refinement: iteratively reweighted least squares with Tukey's biweight
       (c = 4.685, 95 % efficiency) at these fixed scales. The scale never grows, so the
       points the trimmed fit rejected stay out. With fewer than 10 samples per term, where
       a spurious half of the points can agree by chance, it also runs from least squares
       and the end with the lower biweight objective at these scales is kept. Points with
       weight 0 are the outliers.

    The candidates are compared by a robust BIC, sum_i w_i rho(e_i / s) + k log(W), rho
    Tukey's biweight loss (u^2 near zero, c^2 / 3 beyond c = 4.685), e_i the residual
    divided by 1 - h_i with h_i its leverage (rows weighted by the inverse noise variance;
    the leave-one-out residual, so that near-interpolating fits gain nothing), k the
    number of terms, W the total sample weight, and s one common scale for all candidates:
    the smallest of their high-breakdown scales, corrected in the same way. Rejecting a
    clean point costs c^2 / 3 rather than its small squared residual, so the criterion
    never rewards throwing points away; it depends on the fits only, not on which start
    won. Degrees are tried from the lowest; the search stops after two in a row score
    worse than the best, and a robust candidate needs 3 k - 1 samples for its k terms.
    Finally the coefficients are converted exactly to the user's units.

    ``method="ols"`` and ``method="penalized"`` replace steps 2 to 4 by plain or penalised
    least squares (not robust to outliers) and choose the degree the same way, with the
    root mean square residual as the scale.

    Parameters
    ----------
    degree : "auto", int or sequence of int, default="auto"
        Degree of the polynomial. "auto" chooses among 1 ... `max_degree` (the same degree
        for every feature). An int gives that degree for every feature; a sequence gives
        one maximum exponent per feature. For several features the model holds every
        monomial whose exponents stay within these and whose total degree is at most their
        maximum.
    max_degree : int, default=6
        Highest degree tried by "auto", lowest first; the search stops once two degrees in
        a row score worse than the best one. Degrees whose model has more than half as
        many terms as there are samples (for the robust method: more than a third, plus
        one sample) are not tried.
    method : {"tournament", "penalized", "ols"}, default="tournament"
        "tournament": robust fit as described above. "penalized": least squares with the
        smoothness penalties weighted by `gamma1` and `gamma2`. "ols": least squares.
    H : int, default=20
        Model-cost parameter of the MDL energy of the tournament sampler (kept for
        compatibility; the robust pipeline above does not run the tournament).
    gamma1, gamma2 : float, default=0.0, 1e-6
        Weights of the squared first and second derivative penalties (integrated over the
        features scaled to [-1, 1], times the number of samples), for "penalized" only.
        Several features are supported up to three.
    n_chains : int, default=25
        Warm-up chains of the tournament (kept for compatibility, as `H`, like the four
        parameters below).
    n_warmup : int, default=200
        Metropolis steps of each warm-up chain.
    n_deep : int, default=500
        Metropolis steps of each refinement chain.
    n_elite : int, default=5
        Number of warm-up results refined.
    step_size : float, default=0.05
        Standard deviation of the warm-up proposals, in the scaled coordinates.
    random_state : int, RandomState instance or None, default=None
        Seed of the random subsets. An int gives bit-identical results on every machine and
        thread count.

    Attributes
    ----------
    degree_ : int or tuple of int
        Chosen degree: an int for one feature, one int per feature for several.
    powers_ : ndarray of shape (n_terms, n_features), dtype int64
        Exponents of each monomial term, the constant first.
    coef_ : ndarray of shape (n_terms,)
        Coefficients in the user's units: term i is
        ``coef_[i] * prod_k X[:, k] ** powers_[i, k]``; each is the exact one, rounded once.
        Reading it raises ValueError when one lies beyond the range of double precision (a
        narrow range of x far from zero at a high degree); `predict` is not affected.
    polynomial_ : numpy.polynomial.Polynomial
        The fitted polynomial in the user's units (one feature only).
    inlier_mask_ : ndarray of shape (n_samples,), dtype bool
        The observations the final fit treats as inliers (all of them for the least-squares
        methods).
    mdl_scores_ : dict
        Robust BIC (see Algorithm) of every candidate degree tried (keys as in `degree_`);
        lower is better. The search stops after two degrees worse than the best.
    mdl_score_ : float
        Robust BIC of the chosen degree.
    coef_cov_ : ndarray of shape (n_terms, n_terms)
        Covariance of `coef_`: the robust sandwich covariance of the final biweight fit
        with Huber's small-sample correction (see Notes).
    coef_se_ : ndarray of shape (n_terms,)
        Standard errors of `coef_`, the square roots of the diagonal of `coef_cov_`.
    scale_ : float
        The global noise scale of the fit in the units of y (a normal standard deviation
        when the noise is normal). When the fit models noise that changes across the data,
        this is its typical (median) value over the samples; prediction intervals use the
        local scale at each X.
    n_inliers_ : int
        Number of samples with a nonzero weight in the final fit.
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
    Predictions are computed in the internal scaled coordinates, so they stay accurate when
    the features are far from zero (where `coef_` in raw monomials cancel heavily).

    Uncertainty is computed with NumPy and SciPy from the core's fit, in the scaled
    coordinates (features in [-1, 1], y divided by its robust scale); `coef_cov_` is that
    covariance mapped linearly to the user's units. Each residual r and row x of the
    design is divided by its noise scale s, and the covariance is the sandwich
    A^-1 B A^-1 with A = sum psi'(r/s) x x^T / s^2 and B = sum psi(r/s)^2 x x^T / s^2
    (psi the biweight's), times K^2 n / (n - p), K = 1 + (p / n) Var(psi') / Mean(psi')^2,
    over the n inliers: with a constant scale and an unchanging psi' that is Huber's H1 (as
    statsmodels' RLM computes it). The least-squares methods use psi(u) = u, which gives
    HC1. The penalty of "penalized" is left out. Intervals use Student's t with
    n_inliers - p degrees of freedom, which covers the true curve at the nominal rate on
    simulated data more closely than the normal distribution for samples of under a
    hundred points. Prediction intervals add the local noise scale times
    sqrt(n / (n - p)), since the residuals the scale comes from are smaller than the noise
    by that factor on average. With a covariance of NaN (too few inliers), every interval
    is NaN too.

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

    # An int for one feature and a tuple for several: typed loosely, so that code for one
    # feature needs no cast.
    degree_: Any
    mdl_scores_: dict[Any, float]

    def __init__(
        self,
        degree: int | Sequence[int] | str = "auto",
        *,
        max_degree: int = 6,
        method: str = "tournament",
        H: int = 20,
        gamma1: float = 0.0,
        gamma2: float = 1e-6,
        n_chains: int = 25,
        n_warmup: int = 200,
        n_deep: int = 500,
        n_elite: int = 5,
        step_size: float = 0.05,
        random_state: int | np.random.RandomState | None = None,
    ) -> None:
        self.degree = degree
        self.max_degree = max_degree
        self.method = method
        self.H = H
        self.gamma1 = gamma1
        self.gamma2 = gamma2
        self.n_chains = n_chains
        self.n_warmup = n_warmup
        self.n_deep = n_deep
        self.n_elite = n_elite
        self.step_size = step_size
        self.random_state = random_state

    def fit(
        self, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None = None
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
            Non-negative weight of every observation (all 1 by default): it multiplies the
            observation's part in every stage. A weight of 0 is the same as leaving the
            observation out, an integer weight the same as repeating it.

        Returns
        -------
        RobustPolynomialRegressor
            The fitted estimator itself.

        Raises
        ------
        ValueError
            If X is not 2-D, X and y differ in length, either holds NaN, infinity or
            non-numeric values, a sample weight is negative or not finite, there are too few
            samples of positive weight for the degree (a model of k terms needs 2 k), or a
            parameter is out of range.
        """
        self._check_params()
        disabled = frozenset(getattr(self, "_disabled_stages", frozenset()))
        if not disabled <= _robust.STAGES:
            raise ValueError(f"unknown stages {sorted(disabled - _robust.STAGES)}")
        Xa: NDArray[np.float64]
        # scikit-learn's quick finiteness test sums the data, which may overflow (to a NaN
        # that the exact test behind it then clears).
        with np.errstate(over="ignore", invalid="ignore"):
            Xa, ya = validate_data(self, X, y, dtype=np.float64, y_numeric=True)
        ys = np.asarray(ya, dtype=np.float64)
        if not np.isfinite(ys).all():
            # An object array holding None becomes NaN after scikit-learn's check of y.
            raise ValueError("Input y contains NaN or None.")
        w = _check_sample_weight(sample_weight, Xa, dtype=np.float64, ensure_non_negative=True)
        # Rows of zero weight take no part, not even in the scaling.
        kept = w > 0.0
        n_features = Xa.shape[1]
        distinct = np.unique(Xa[kept], axis=0).shape[0]
        candidates = self._candidates(int(np.count_nonzero(kept)), n_features, distinct)

        lo, hi = Xa[kept].min(axis=0), Xa[kept].max(axis=0)
        self._centre = 0.5 * lo + 0.5 * hi
        half = 0.5 * hi - 0.5 * lo
        self._half = np.where(half > 0.0, half, 1.0)
        T = (Xa - self._centre) / self._half
        self._y_loc, self._y_scale, ys = _standardise(ys, kept)

        seed = int(check_random_state(self.random_state).randint(INT32_MAX))
        fits: list[RobustFit] = []
        loo: list[tuple[NDArray[np.float64], float]] = []
        for degrees in candidates:
            fit = self._fit_one(T, ys, w, degrees, seed, disabled)
            loo.append(_robust.leave_one_out(fit, w))
            # Only the weights of each candidate are read again: on large data, holding every
            # candidate's per-point arrays would cost several copies of the input.
            fits.append(replace(fit, residuals=EMPTY, leverage=EMPTY, scale=EMPTY))
            scores = _robust.robust_bic(loo, [f.beta.size for f in fits], w)
            best = min(range(len(fits)), key=lambda i: (scores[i], i))
            if len(fits) - 1 - best >= PATIENCE:
                break
        chosen = fits[best]

        one = n_features == 1
        self.mdl_scores_ = {(f.degrees[0] if one else f.degrees): s for f, s in zip(fits, scores)}
        self.degree_ = chosen.degrees[0] if one else chosen.degrees
        self.mdl_score_ = self.mdl_scores_[self.degree_]
        self.powers_ = chosen.powers
        self.inlier_mask_ = chosen.weights > 0.0
        self._beta = chosen.beta
        self._weights = chosen.weights
        self._s0 = chosen.s0
        self._noise = _uncertainty.loglinear_noise(chosen.s0, chosen.scale_coef, chosen.scale_bounds)
        self._set_uncertainty(T, ys, w)
        return self

    @property
    def coef_(self) -> NDArray[np.float64]:
        """Coefficients in the user's units (see the class docstring)."""
        check_is_fitted(self)
        return _basis.to_user_units(
            self._beta, self.powers_, self._centre, self._half, self._y_loc, self._y_scale
        )

    @property
    def polynomial_(self) -> Polynomial:
        """The fitted polynomial in the user's units, for one feature."""
        check_is_fitted(self)
        if self.n_features_in_ != 1:
            raise AttributeError("polynomial_ is only defined for one feature")
        return Polynomial(self.coef_)

    @property
    def coef_cov_(self) -> NDArray[np.float64]:
        """Covariance of `coef_` (see the class docstring)."""
        check_is_fitted(self)
        return _uncertainty.to_user_covariance(
            self._coef_cov, self.powers_, self._centre, self._half, self._y_scale
        )

    @property
    def coef_se_(self) -> NDArray[np.float64]:
        """Standard errors of `coef_`."""
        se: NDArray[np.float64] = np.sqrt(np.diag(self.coef_cov_))
        return se

    @overload
    def predict(self, X: ArrayLike, return_std: Literal[False] = ...) -> NDArray[np.float64]: ...

    @overload
    def predict(
        self, X: ArrayLike, return_std: Literal[True]
    ) -> tuple[NDArray[np.float64], NDArray[np.float64]]: ...

    def predict(
        self, X: ArrayLike, return_std: bool = False
    ) -> NDArray[np.float64] | tuple[NDArray[np.float64], NDArray[np.float64]]:
        """Predict with the fitted polynomial, and the standard error of the fitted curve.

        The polynomial is evaluated in the internal scaled coordinates, which keeps the
        predictions accurate far from the origin.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Finite numbers, with as many features as seen during fit.
        return_std : bool, default=False
            Also return the standard error of the fitted curve (the mean of y) at X, from
            `coef_cov_`. It leaves out the noise of a new observation: see
            `predict_interval` with ``kind="prediction"``.

        Returns
        -------
        y_mean : ndarray of shape (n_samples,)
            The predictions, in the units of y.
        y_std : ndarray of shape (n_samples,)
            The standard errors of the predictions, only when `return_std` is True.

        Raises
        ------
        sklearn.exceptions.NotFittedError
            If the estimator has not been fitted.
        ValueError
            If X is not 2-D, holds NaN, infinity or non-numeric values, or has another
            number of features than seen during fit.
        """
        Xa = self._checked(X)
        mean = _basis.evaluate(
            Xa, self.powers_, self._beta, self._centre, self._half, self._y_loc, self._y_scale
        )
        if not return_std:
            return mean
        T = (Xa - self._centre) / self._half
        return mean, self._spread().std(T, self.powers_, self._y_scale)

    def _fit_one(
        self,
        T: NDArray[np.float64],
        ys: NDArray[np.float64],
        w: NDArray[np.float64],
        degrees: tuple[int, ...],
        seed: int,
        disabled: frozenset[str],
    ) -> RobustFit:
        """Fit one candidate in the scaled coordinates."""
        powers = _basis.monomial_powers(degrees)
        if self.method == "tournament":
            return _robust.high_breakdown_fit(T, ys, w, degrees, powers, seed, disabled)
        X = _basis.design_matrix(T, powers)
        root = np.sqrt(w)
        if self.method == "ols":
            beta = vc.ols(X * root[:, None], ys * root)
        else:
            R1, R2 = _basis.penalty_matrices(powers)
            beta = vc.fit_regularized_linear(
                X * root[:, None], ys * root, R1, R2, self.gamma1, self.gamma2
            )
        return _robust.least_squares_fit(X, ys, w, beta, degrees, powers)

    def _candidates(
        self, n_samples: int, n_features: int, n_distinct: int
    ) -> list[tuple[int, ...]]:
        """The degrees to try, each with at least two samples (of positive weight) per term.

        `n_distinct` counts the distinct rows of X among them: replicates pin a curve down
        only at their own x, and between too few distinct x a flexible one may swing freely.
        """
        degree = self.degree
        if isinstance(degree, str):
            wanted = [(d,) * n_features for d in range(1, self.max_degree + 1)]
        elif not isinstance(degree, Sequence):
            wanted = [(int(degree),) * n_features]
        elif len(degree) != n_features:
            raise ValueError(f"degree has {len(degree)} entries but X has {n_features} features")
        else:
            wanted = [tuple(int(d) for d in degree)]
        feasible: list[tuple[int, ...]] = []
        for degrees in wanted:
            # The feature of highest degree alone brings max + 1 terms; when those are too
            # many already, the others (possibly a huge number) are not counted.
            k = max(degrees) + 1
            exact = n_features == 1 or 2 * k <= n_samples
            if 2 * k <= n_samples:
                k = _basis.n_terms(degrees)
            # A robust fit of k terms trusts about half of the samples: with fewer than
            # 3 k - 1 samples it has fewer residual degrees of freedom than terms, and its
            # scale, from the best-fitting half, is far too small to compare candidates by.
            robust_short = self.method == "tournament" and 3 * k - 1 > min(n_samples, n_distinct)
            if 2 * k > n_samples or (feasible and robust_short):
                if feasible:
                    break
                shown = degrees[0] if n_features == 1 else degrees
                raise ValueError(
                    f"n_samples={n_samples} is too few for degree {shown}: its "
                    f"{k if exact else f'at least {k}'} terms need at least {2 * k} samples"
                )
            feasible.append(degrees)
        return feasible

    def _check_params(self) -> None:
        """Refuse parameters the core must never see, with a message naming the value."""
        if self.method not in METHODS:
            raise ValueError(f"method must be one of {METHODS}, got {self.method!r}")
        degree = self.degree
        if isinstance(degree, str):
            ok = degree == "auto"
        elif isinstance(degree, Sequence):
            ok = len(degree) > 0 and all(_is_int(d, 0) for d in degree)
        else:
            ok = _is_int(degree, 0)
        if not ok:
            raise ValueError(
                f'degree must be "auto", an integer >= 0 or one per feature, got {degree!r}'
            )
        for name, low in (
            ("max_degree", 1),
            ("H", 1),
            ("n_chains", 1),
            ("n_warmup", 0),
            ("n_deep", 0),
            ("n_elite", 1),
        ):
            value = getattr(self, name)
            if not _is_int(value, low):
                raise ValueError(f"{name} must be an integer in [{low}, {INT32_MAX}], got {value!r}")
        for name, positive in (("gamma1", False), ("gamma2", False), ("step_size", True)):
            value = getattr(self, name)
            finite = (
                isinstance(value, Real)
                and not isinstance(value, bool)
                and np.isfinite(float(value))
            )
            if not finite or value < 0 or (positive and value == 0):
                raise ValueError(
                    f"{name} must be a finite number {'> 0' if positive else '>= 0'}, got {value!r}"
                )

    def predict_interval(
        self, X: ArrayLike, level: float = 0.95, kind: str = "confidence"
    ) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """Interval for the fitted curve, or for a new observation, at each row of X.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Finite numbers, with as many features as seen during fit.
        level : float, default=0.95
            Coverage of the intervals, in (0, 1).
        kind : {"confidence", "prediction"}, default="confidence"
            "confidence": for the true curve (the mean of y) at X. "prediction": for a new
            observation at X, adding the noise scale at X, which follows the fit's model of
            noise that changes across the data.

        Returns
        -------
        lower, upper : ndarray of shape (n_samples,)
            The ends of the intervals, in the units of y: the prediction plus and minus
            Student's t quantile (n_inliers_ - n_terms degrees of freedom) times the
            standard error.

        Raises
        ------
        ValueError
            If `level` is not in (0, 1), `kind` is unknown, or X is not valid as in
            `predict`.
        """
        level = _uncertainty.check_level(level)
        kind = _uncertainty.check_kind(kind)
        return self._band(self._scaled_points(X), level, kind)

    def inverse_predict(
        self, y: ArrayLike, level: float = 0.95
    ) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]:
        """The x at which the fitted curve equals each y, with its interval (one feature).

        Calibration: the concentration that a new reading implies. Only the fitted range of
        x is searched. The interval holds the x whose prediction interval (at `level`)
        contains y.

        Parameters
        ----------
        y : array-like of shape (n_values,)
            Finite values in the units of y.
        level : float, default=0.95
            Coverage of the prediction band that gives the intervals, in (0, 1).

        Returns
        -------
        x, lower, upper : ndarray of shape (n_values,)
            The x of each y and the ends of its interval. x and both ends are NaN for a y
            the curve does not reach within the fitted range, or reaches at several x (on a
            curve that is not monotone); both ends are NaN when the band also holds y away
            from x; one end is NaN when the band holds y up to the edge of the fitted
            range.

        Warns
        -----
        InversePredictionWarning
            A UserWarning, once per kind of NaN above, giving how many values it hit.

        Raises
        ------
        ValueError
            If the model has more than one feature, its curve is constant, `level` is not in
            (0, 1) or y holds NaN, infinity or non-numeric values.
        """
        check_is_fitted(self)
        if self.n_features_in_ != 1:
            raise ValueError(
                f"inverse_predict needs a model of one feature, this one has {self.n_features_in_}"
            )
        level = _uncertainty.check_level(level)
        values = check_array(y, ensure_2d=False, dtype=np.float64, input_name="y")
        if values.ndim != 1:
            raise ValueError(f"y must be 1-D, got an array of shape {values.shape}")
        curve = Polynomial(self._beta * self._y_scale) + self._y_loc  # in the scaled feature
        if not curve.deriv().coef.any():
            raise ValueError("inverse_predict needs a curve that is not constant")

        def band(t: NDArray[np.float64]) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
            return self._band(t[:, None], level, "prediction")

        t, lower, upper = _uncertainty.inverse_curve(curve, band, values)
        centre, half = float(self._centre[0]), float(self._half[0])
        return centre + half * t, centre + half * lower, centre + half * upper

    def summary(self, feature_names: Sequence[str] | None = None) -> str:
        """A table of the fit: coefficients with their tests and intervals, degrees, noise.

        Each term of `coef_` with its standard error, z = coef / se, the two-sided p-value
        of z under the normal distribution and the 95 % confidence interval (Student's t,
        as `predict_interval`); then every degree tried with its MDL score and the rule that
        chose one; the noise scale and the number of inliers.

        Parameters
        ----------
        feature_names : sequence of str, optional
            Names of the inputs in the terms. By default `feature_names_in_` when the fit
            was on a DataFrame, otherwise ``x0``, ``x1``, ...

        Returns
        -------
        str
            The table, as lines of text.

        Raises
        ------
        ValueError
            If `feature_names` does not hold one name per feature, or a coefficient lies
            beyond the range of double precision (see `coef_`).
        """
        check_is_fitted(self)
        if feature_names is None:
            feature_names = [str(f) for f in getattr(self, "feature_names_in_", [])] or [
                f"x{k}" for k in range(self.n_features_in_)
            ]
        features = list(feature_names)
        if len(features) != self.n_features_in_:
            raise ValueError(
                f"feature_names must hold {self.n_features_in_} names, got {len(features)}"
            )
        best = min(self.mdl_scores_, key=lambda d: self.mdl_scores_[d])
        rows = [
            (
                str(d),
                score,
                " ".join(m for m, on in (("chosen", d == self.degree_), ("lowest", d == best)) if on),
            )
            for d, score in self.mdl_scores_.items()
        ]
        if isinstance(self.degree, str):
            rule = (
                "the lowest robust BIC (leave-one-out biweight loss at one common scale plus "
                f"k log W); the search stops after {PATIENCE} degrees in a row score worse"
            )
        else:
            rule = "given by the degree parameter"
        text = _uncertainty.summary_text(
            names=_uncertainty.term_names(self.powers_, features),
            coef=self.coef_,
            se=self.coef_se_,
            dof=self._dof,
            degree_rows=rows,
            header=[
                ("Method", self.method),
                ("Degree", str(self.degree_)),
                ("Observations", str(self._weights.size)),
                ("Inliers", str(self.n_inliers_)),
                ("Noise scale", f"{self.scale_:.4g}"),
                ("Df residuals", f"{self._dof:g}"),
                ("Covariance", "sandwich, H1"),
            ],
        )
        return "\n".join([text, *textwrap.wrap(f"Degree rule: {rule}.", 78)])

    def _checked(self, X: ArrayLike) -> NDArray[np.float64]:
        """X checked against the fit."""
        check_is_fitted(self)
        with np.errstate(over="ignore", invalid="ignore"):
            Xa: NDArray[np.float64] = validate_data(self, X, dtype=np.float64, reset=False)
        return Xa

    def _scaled_points(self, X: ArrayLike) -> NDArray[np.float64]:
        """X checked against the fit and mapped to the scaled coordinates."""
        T: NDArray[np.float64] = (self._checked(X) - self._centre) / self._half
        return T

    def _band(
        self, T: NDArray[np.float64], level: float, kind: str
    ) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """Lower and upper ends of the intervals at the scaled points `T`, in y units."""
        return self._spread().band(
            T, self.powers_, self._beta, level, kind, self._y_loc, self._y_scale
        )

    def _spread(self) -> _uncertainty.Spread:
        """What the intervals rest on, as a saved model holds it."""
        return _uncertainty.Spread(
            self._coef_cov, self._dof, self._noise_inflation, self._noise_model()
        )

    def _set_uncertainty(
        self, T: NDArray[np.float64], ys: NDArray[np.float64], w: NDArray[np.float64]
    ) -> None:
        """Covariance, standard errors, noise scale and inliers of the fit just made."""
        D = _basis.design_matrix(T, self.powers_)
        psi = _uncertainty.biweight_psi if self.method == "tournament" else (
            _uncertainty.least_squares_psi
        )
        cov = _uncertainty.sandwich_covariance(
            D, ys - D @ self._beta, self._noise_scale(T), w, self._weights > 0.0, psi
        )
        self._coef_cov = cov
        self.scale_ = self._s0 * self._y_scale
        self.n_inliers_ = int(np.count_nonzero(self._weights))
        dof = self.n_inliers_ - self._beta.size
        self._dof = float(dof) if dof > 0 else np.nan
        # Both the robust and the least-squares scales are corrected for the terms fitted
        # already, so a new observation's noise is the scale itself.
        self._noise_inflation = 1.0

    def _noise_model(self) -> dict[str, Any]:
        """The chosen fit's noise-scale model as plain data, for model files."""
        noise: dict[str, Any] = self._noise
        return noise

    def _noise_scale(self, T: NDArray[np.float64]) -> NDArray[np.float64]:
        """The noise scale at the scaled points `T`, in scaled-y units."""
        return _uncertainty.noise_scale(self._noise_model(), T)


def _standardise(
    y: NDArray[np.float64], kept: NDArray[np.bool_]
) -> tuple[float, float, NDArray[np.float64]]:
    """Robust location and scale of the `kept` values of y, and all of y in those units.

    Worked out on y times a power of two that brings it below 1 in size, which is exact:
    differences, sums of the middle values and squares of y would overflow near the top of
    the double range. The scale is kept below 2**1023 so that it stays finite.
    """
    k = math.frexp(float(np.abs(y).max()))[1]
    small = np.ldexp(y, -k)
    loc = float(np.median(small[kept]))
    scale = _robust.MAD_TO_SD * vc.mad(small[kept]) or float(np.std(small[kept]))
    if k > 0:
        scale = min(scale, math.ldexp(1.0, 1023 - k))
    if scale == 0.0:  # y is constant
        return math.ldexp(loc, k), 1.0, np.zeros_like(y)
    return math.ldexp(loc, k), math.ldexp(scale, k), (small - loc) / scale


def _is_int(value: object, low: int) -> bool:
    """Whether `value` is an integer (not a bool) in [low, INT32_MAX]."""
    return (
        isinstance(value, Integral)
        and not isinstance(value, bool)
        and low <= int(value) <= INT32_MAX
    )
