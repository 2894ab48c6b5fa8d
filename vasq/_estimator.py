"""The scikit-learn estimator: robust polynomial regression with the degree chosen by MDL."""

from __future__ import annotations

import math
from collections.abc import Sequence
from numbers import Integral, Real
from typing import Any

import numpy as np
from numpy.polynomial import Polynomial
from numpy.typing import ArrayLike, NDArray
from sklearn.base import BaseEstimator, RegressorMixin
from sklearn.utils import check_random_state
from sklearn.utils.validation import check_is_fitted, validate_data

import vasq_core as vc
from vasq import _basis, _robust
from vasq._robust import RobustFit

METHODS = ("tournament", "penalized", "ols")
INT32_MAX = 2**31 - 1


class RobustPolynomialRegressor(RegressorMixin, BaseEstimator):
    """Robust polynomial regression with the degree chosen by minimum description length.

    Fits y as a polynomial in one or several features, ignoring gross outliers, and picks
    the degree itself. Results do not depend on the units of the data: scaling or shifting
    a feature or y changes the predictions accordingly and nothing else.

    Algorithm (``method="tournament"``), for every candidate degree, lowest first:

    1. Every feature is mapped to [-1, 1] and y to (y - median) / (1.4826 MAD), so that the
       core's absolute step sizes and random starts always meet numbers of order one.
    2. A least-squares pilot, shifted to the median of its residuals, gives the target of
       the tournament of Metropolis chains: those residuals divided by their MAD. The
       sampler's hit tolerance, 0.4 MAD of its target, then reflects the noise rather than
       the curve's spread, and the correction it searches for is of order one. Maximising
       the number of points within the tolerance, the tournament finds a high-breakdown
       consensus fit even when a large minority of points follows another curve.
    3. Iteratively reweighted least squares with Tukey's biweight (constant 4.685) refines
       it. The tournament finds the consensus set but not the best coefficients inside it,
       and its result follows the random search; this step is deterministic and efficient.
       Each residual is judged against a local noise scale, a linear model over the
       features of the absolute residuals within three scales, and weighted by its inverse
       variance, since noise that grows across the data is the rule in measurements. The
       same refinement also starts from the previous, simpler candidate (whose terms are a
       subset), and the result with the smaller noise scale is kept. Points with weight 0
       are the outliers.

    The candidates are then scored by the core's MDL score, on residuals standardised by
    the local noise scale of the candidate with the smallest one, so that the hit
    tolerance (0.4 MAD of the target) is the same for all and reflects the noise. The hit
    count behind the score cannot tell apart fits that differ by less than the tolerance,
    and a more flexible fit gains a few hits by chance. So among the candidates up to the
    best-scoring one, the simplest whose fitted curve cannot be told apart from the best
    one is chosen: the squared difference of the two curves, weighted as in the best fit's
    final weighted least squares, is compared with the chi-square distribution of nested
    least-squares fits, and the simpler fit is kept unless the difference is
    overwhelmingly unlikely (level 1e-4). Finally the coefficients are converted exactly to
    the user's units.

    ``method="ols"`` and ``method="penalized"`` replace steps 2 and 3 by plain or penalised
    least squares (not robust to outliers) and choose the degree the same way.

    Parameters
    ----------
    degree : "auto", int or sequence of int, default="auto"
        Degree of the polynomial. "auto" chooses among 1 ... `max_degree` (the same degree
        for every feature). An int gives that degree for every feature; a sequence gives
        one maximum exponent per feature. For several features the model holds every
        monomial whose exponents stay within these and whose total degree is at most their
        maximum.
    max_degree : int, default=6
        Highest degree tried by "auto". Degrees whose model has more than half as many
        terms as there are samples are not tried.
    method : {"tournament", "penalized", "ols"}, default="tournament"
        "tournament": robust fit as described above. "penalized": least squares with the
        smoothness penalties weighted by `gamma1` and `gamma2`. "ols": least squares.
    H : int, default=20
        Model-cost parameter of the MDL score, also used by the tournament's energy.
    gamma1, gamma2 : float, default=0.0, 1e-6
        Weights of the squared first and second derivative penalties (integrated over the
        features scaled to [-1, 1], times the number of samples), for "penalized" only.
        Several features are supported up to three.
    n_chains : int, default=25
        Warm-up chains of the tournament.
    n_warmup : int, default=200
        Metropolis steps of each warm-up chain.
    n_deep : int, default=500
        Metropolis steps of each refinement chain.
    n_elite : int, default=5
        Number of warm-up results refined.
    step_size : float, default=0.05
        Standard deviation of the warm-up proposals, in the scaled coordinates.
    random_state : int, RandomState instance or None, default=None
        Seed of the tournament. An int gives bit-identical results on every machine and
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
        MDL score of every candidate degree tried (keys as in `degree_`); lower is better.
    mdl_score_ : float
        MDL score of the chosen degree.
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

    def fit(self, X: ArrayLike, y: ArrayLike) -> RobustPolynomialRegressor:
        """Fit the model, choosing the degree when `degree` is "auto".

        All input is checked before the core is called; a fit with the same data, parameters
        and integer `random_state` gives bit-identical results.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            The features: finite numbers, a 2-D array or a DataFrame.
        y : array-like of shape (n_samples,)
            The observations: finite numbers.

        Returns
        -------
        RobustPolynomialRegressor
            The fitted estimator itself.

        Raises
        ------
        ValueError
            If X is not 2-D, X and y differ in length, either holds NaN, infinity or
            non-numeric values, there are too few samples for the degree (a model of k
            terms needs 2 k samples), or a parameter is out of range.
        """
        self._check_params()
        Xa: NDArray[np.float64]
        # scikit-learn's quick finiteness test sums the data, which may overflow (to a NaN
        # that the exact test behind it then clears).
        with np.errstate(over="ignore", invalid="ignore"):
            Xa, ya = validate_data(self, X, y, dtype=np.float64, y_numeric=True)
        ys = np.asarray(ya, dtype=np.float64)
        if not np.isfinite(ys).all():
            # An object array holding None becomes NaN after scikit-learn's check of y.
            raise ValueError("Input y contains NaN or None.")
        n_samples, n_features = Xa.shape
        candidates = self._candidates(n_samples, n_features)

        lo, hi = Xa.min(axis=0), Xa.max(axis=0)
        self._centre = 0.5 * lo + 0.5 * hi
        half = 0.5 * hi - 0.5 * lo
        self._half = np.where(half > 0.0, half, 1.0)
        T = (Xa - self._centre) / self._half
        self._y_loc, self._y_scale, ys = _standardise(ys)

        seed = int(check_random_state(self.random_state).randint(INT32_MAX))
        fits: list[RobustFit] = []
        for degrees in candidates:
            fits.append(self._fit_one(T, ys, degrees, seed, fits[-1] if fits else None))
        scores = self._mdl_scores(ys, fits)
        best = min(range(len(fits)), key=lambda i: (scores[i], i))
        chosen = fits[_robust.simplest_alike(fits, best)]

        one = n_features == 1
        self.mdl_scores_ = {(f.degrees[0] if one else f.degrees): s for f, s in zip(fits, scores)}
        self.degree_ = chosen.degrees[0] if one else chosen.degrees
        self.mdl_score_ = self.mdl_scores_[self.degree_]
        self.powers_ = chosen.powers
        self.inlier_mask_ = chosen.weights > 0.0
        self._beta = chosen.beta
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
        with np.errstate(over="ignore", invalid="ignore"):
            Xa: NDArray[np.float64] = validate_data(self, X, dtype=np.float64, reset=False)
        return _basis.evaluate(
            Xa, self.powers_, self._beta, self._centre, self._half, self._y_loc, self._y_scale
        )

    def _fit_one(
        self,
        T: NDArray[np.float64],
        ys: NDArray[np.float64],
        degrees: tuple[int, ...],
        seed: int,
        simpler: RobustFit | None,
    ) -> RobustFit:
        """Fit one candidate in the scaled coordinates; `simpler` is the one tried before."""
        powers = _basis.monomial_powers(degrees)
        X = _basis.design_matrix(T, powers)
        if self.method == "tournament":
            S = _basis.design_matrix(T, _basis.monomial_powers((1,) * T.shape[1]))
            sampler = vc.TournamentMCMC(
                self.n_chains,
                self.n_warmup,
                self.n_deep,
                self.n_elite,
                self.step_size,
                self.H,
                seed,
            )
            starts = [_robust.tournament_start(X, ys, sampler)]
            if simpler is not None:
                # Its terms are a subset of these: a start the random search may have missed.
                starts.append(_basis.embed(simpler.beta, simpler.powers, powers))
            ends = [
                RobustFit(degrees, powers, X, *_robust.irls_biweight(X, S, ys, b)) for b in starts
            ]
            return min(ends, key=lambda f: float(np.median(f.scale)))
        if self.method == "ols":
            beta = vc.ols(X, ys)
        else:
            R1, R2 = _basis.penalty_matrices(powers)
            beta = vc.fit_regularized_linear(X, ys, R1, R2, self.gamma1, self.gamma2)
        # Least squares keeps every point and judges all residuals by one scale.
        rms = max(float(np.sqrt(np.mean((ys - X @ beta) ** 2))), _robust.SCALE_FLOOR)
        return RobustFit(degrees, powers, X, beta, np.ones(ys.size), np.full(ys.size, rms))

    def _mdl_scores(self, ys: NDArray[np.float64], fits: list[RobustFit]) -> list[float]:
        """MDL score of every candidate, against the residuals of the tightest one."""
        # Standardised by the reference's noise scale, the target's MAD, and so the hit
        # tolerance, reflects the noise rather than the curve's spread, the same for every
        # candidate and not dominated by the regions of small noise.
        ref = min(fits, key=lambda f: float(np.median(f.scale)))
        target = (ys - ref.fitted()) / ref.scale
        return [
            vc.mdl_score((f.fitted() - ref.fitted()) / ref.scale, target, f.beta.size, self.H)
            for f in fits
        ]

    def _candidates(self, n_samples: int, n_features: int) -> list[tuple[int, ...]]:
        """The degrees to try, each with at least two samples per term."""
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
            if 2 * k > n_samples:
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


def _standardise(y: NDArray[np.float64]) -> tuple[float, float, NDArray[np.float64]]:
    """Robust location and scale of y, and y in those units.

    Worked out on y times a power of two that brings it below 1 in size, which is exact:
    differences, sums of the middle values and squares of y would overflow near the top of
    the double range. The scale is kept below 2**1023 so that it stays finite.
    """
    k = math.frexp(float(np.abs(y).max()))[1]
    small = np.ldexp(y, -k)
    loc = float(np.median(small))
    scale = _robust.MAD_TO_SD * vc.mad(small) or float(np.std(small))
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
