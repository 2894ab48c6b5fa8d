"""The scikit-learn estimator: robust polynomial regression, its degree chosen by a robust BIC."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import replace
from numbers import Integral, Real

import numpy as np
from numpy.polynomial import Polynomial
from numpy.typing import ArrayLike, NDArray
from sklearn.base import BaseEstimator, RegressorMixin
from sklearn.utils import check_random_state
from sklearn.utils.validation import _check_sample_weight, check_is_fitted, validate_data

import vasq_core as vc
from vasq import _basis, _robust
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
        ``coef_[i] * prod_k X[:, k] ** powers_[i, k]``.
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
        Xa, ya = validate_data(self, X, y, dtype=np.float64, y_numeric=True)
        ys = np.asarray(ya, dtype=np.float64)
        w = _check_sample_weight(sample_weight, Xa, dtype=np.float64, ensure_non_negative=True)
        # Rows of zero weight take no part, not even in the scaling.
        kept = w > 0.0
        n_features = Xa.shape[1]
        candidates = self._candidates(int(np.count_nonzero(kept)), n_features)

        lo, hi = Xa[kept].min(axis=0), Xa[kept].max(axis=0)
        self._centre = 0.5 * lo + 0.5 * hi
        half = 0.5 * hi - 0.5 * lo
        self._half = np.where(half > 0.0, half, 1.0)
        T = (Xa - self._centre) / self._half
        y_kept = ys[kept]
        self._y_loc = float(np.median(y_kept))
        self._y_scale = _robust.MAD_TO_SD * vc.mad(y_kept) or float(np.std(y_kept)) or 1.0
        ys = (ys - self._y_loc) / self._y_scale

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
        self._fit = chosen
        coef = _basis.to_user_units(chosen.beta, chosen.powers, self._centre, self._half)
        coef *= self._y_scale
        coef[0] += self._y_loc
        self.coef_ = coef
        if one:
            self.polynomial_ = Polynomial(coef)
        return self

    def predict(self, X: ArrayLike) -> NDArray[np.float64]:
        """Predict with the fitted polynomial.

        The polynomial is evaluated in the internal scaled coordinates, which keeps the
        predictions accurate far from the origin.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Finite numbers, with as many features as seen during fit.

        Returns
        -------
        ndarray of shape (n_samples,)
            The predictions, in the units of y.

        Raises
        ------
        sklearn.exceptions.NotFittedError
            If the estimator has not been fitted.
        ValueError
            If X is not 2-D, holds NaN, infinity or non-numeric values, or has another
            number of features than seen during fit.
        """
        check_is_fitted(self)
        Xa: NDArray[np.float64] = validate_data(self, X, dtype=np.float64, reset=False)
        T = (Xa - self._centre) / self._half
        scaled: NDArray[np.float64] = _basis.design_matrix(T, self.powers_) @ self._beta
        return scaled * self._y_scale + self._y_loc

    def _noise_scale(self, T: NDArray[np.float64]) -> NDArray[np.float64]:
        """Noise scale of the chosen fit at scaled points `T` (n, n_features), in scaled y units."""
        return self._fit.noise_scale(T)

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

    def _candidates(self, n_samples: int, n_features: int) -> list[tuple[int, ...]]:
        """The degrees to try, each with at least two samples (of positive weight) per term."""
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
            robust_short = self.method == "tournament" and 3 * k - 1 > n_samples
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


def _is_int(value: object, low: int) -> bool:
    """Whether `value` is an integer (not a bool) in [low, INT32_MAX]."""
    return (
        isinstance(value, Integral)
        and not isinstance(value, bool)
        and low <= int(value) <= INT32_MAX
    )
