"""The fitted model: predictions, intervals, inverse prediction and coefficients in user units."""

from __future__ import annotations

import dataclasses
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Literal, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

from vasq import _basis, _calibration, _model_file, _report, _uncertainty
from vasq._calibration import DetectionLimit, LackOfFit, PureErrorSums
from vasq._files import atomic_open
from vasq._scaling import Scaling, to_user_covariance, to_user_units
from vasq._uncertainty import NoiseModel

Vector = NDArray[np.float64]
Matrix = NDArray[np.float64]
Degree = int | tuple[int, ...]


@dataclass(frozen=True, eq=False)
class PolynomialModel:
    """A fitted polynomial, with what its uncertainty rests on and how its degree was chosen.

    What :meth:`RobustPolynomialRegressor.fit` leaves in ``model_``, :func:`load_model`
    reads and :meth:`save` writes: it answers every question the fitted estimator answers,
    to the bit. The polynomial is ``y = y_loc + y_scale * sum_i beta[i] * prod_k t_k **
    powers[i, k]`` in the scaled features ``t = (x - centre) / half``, which keeps it
    accurate far from zero; `coef` gives it in plain powers of the features.

    Attributes
    ----------
    feature_names : tuple of str
        Names of the inputs, one per column of X (``x0``, ``x1``, ... unless the fit was on
        a DataFrame).
    target_name : str
        Name of the modelled quantity.
    method : {"robust", "penalized", "ols"}
        How the model was fitted.
    degree : int or tuple of int
        The degree: an int for one feature, one int per feature for several.
    powers : ndarray of int64, shape (n_terms, n_features)
        Exponents of each monomial term, the constant first.
    beta : ndarray of shape (n_terms,)
        Coefficients of the terms in the scaled coordinates.
    beta_cov : ndarray of shape (n_terms, n_terms)
        Their covariance (NaN throughout with too little weight among the inliers).
    scaling : Scaling
        `centre` and `half` of the features, `y_loc` and `y_scale` of y.
    noise : NoiseModel
        The noise model: its `kind` ("constant", "power", "two_component" or
        "log_linear") and parameters, in scaled-y units (see `noise_scale`).
    noise_cov : ndarray of shape (n_noise_params, n_noise_params)
        Covariance of the noise model's estimated parameters, the curve being fitted
        too (restricted information, see `vasq_core.fit_uncertainty`), for the degrees
        of freedom of prediction intervals.
    unit_var_weight : float
        The var_weight, in the units the fit was given them, of a reading whose noise sd
        is the noise model's: the fit's var_weights' geometric mean weighted by
        sample_weight (1 without var_weights). A new reading of var_weight v has that sd
        over sqrt(v / unit_var_weight).
    weights : ndarray of shape (n_samples,)
        Final robustness weight of every fitted observation, in [0, 1] (1 for the
        least-squares methods); 0 marks an outlier.
    pure_error : PureErrorSums
        The sums of squares of lack of fit and pure error over the inliers, for
        `lack_of_fit`.
    dof_moments : ndarray of shape (1 + n_noise_params, n_terms, n_terms)
        A^-1 and A^-1 S_k A^-1, A = sum W x x^T and S_k = sum W J_k x x^T over the fitted
        rows x of the scaled design, W their weights in the fit's last weighted least
        squares and J the gradient of their log noise sd in the noise model's parameters:
        what the curve's degrees of freedom at a new point read
        (`_uncertainty.curve_dof`).
    dof : float
        Degrees of freedom of Student's t in the coefficients' intervals, and in the
        curve's under constant noise: those of the noise scale for
        the robust method (`vasq_core.fit_uncertainty`; about 0.68 times the inliers' total
        sample weight less the number of terms under constant noise); the total sample
        weight less the number of terms for least squares (NaN when not positive).
    bic_scores : dict
        Robust BIC of every degree tried and comparable with the chosen one (lower is
        better).
    reached_max_degree : bool
        Whether ``degree="auto"`` chose the highest degree it could try: a higher one
        might fit better.
    """

    feature_names: tuple[str, ...]
    target_name: str
    method: str
    degree: Degree
    powers: NDArray[np.int64]
    beta: Vector
    beta_cov: Matrix
    scaling: Scaling
    noise: NoiseModel
    noise_cov: Matrix
    unit_var_weight: float
    weights: Vector
    pure_error: PureErrorSums
    dof_moments: NDArray[np.float64]
    dof: float
    bic_scores: dict[Degree, float]
    reached_max_degree: bool

    @property
    def coef(self) -> Vector:
        """Coefficients in the user's units.

        Term i is ``coef[i] * prod_k X[:, k] ** powers[i, k]``, each the exact one rounded
        once; a ValueError if one lies beyond the range of double precision (a narrow range
        of x far from zero at a high degree), which predictions do not suffer.
        """
        return to_user_units(self.beta, self.powers, self.scaling)

    @property
    def coef_cov(self) -> Matrix:
        """Covariance of `coef`.

        The covariance of the fit mapped to the user's units (Huber's H2 at the local noise
        scales for the robust method, that of weighted least squares for least squares).
        NaN throughout when the inliers' total weight does not exceed the number of terms;
        a ValueError when `coef` raises one.
        """
        return to_user_covariance(self.beta_cov, self.powers, self.scaling)

    @property
    def coef_se(self) -> Vector:
        """Standard errors of `coef`, the roots of the diagonal of `coef_cov`."""
        se: Vector = np.sqrt(np.diag(self.coef_cov))
        return se

    @property
    def scale(self) -> float:
        """The fit's global noise scale s0 in the units of y.

        A normal standard deviation for normal noise; where the fit models noise that
        changes across the data, the local scale is `noise_scale`.
        """
        return self.noise.s0 * self.scaling.y_scale

    @property
    def n_samples(self) -> int:
        """Number of observations fitted."""
        return int(self.weights.size)

    @property
    def inlier_mask(self) -> NDArray[np.bool_]:
        """The observations with a positive final weight."""
        mask: NDArray[np.bool_] = self.weights > 0.0
        return mask

    @property
    def n_inliers(self) -> int:
        """Number of observations with a positive final weight."""
        return int(np.count_nonzero(self.weights))

    @property
    def bic_score(self) -> float:
        """Robust BIC of the chosen degree."""
        return self.bic_scores[self.degree]

    def with_names(
        self, feature_names: Sequence[str] | None = None, target_name: str | None = None
    ) -> PolynomialModel:
        """The same model with other names of the features or the target."""
        names = self.feature_names if feature_names is None else tuple(map(str, feature_names))
        if len(names) != len(self.feature_names):
            raise ValueError(
                f"feature_names must hold {len(self.feature_names)} names, got {len(names)}"
            )
        target = self.target_name if target_name is None else str(target_name)
        return dataclasses.replace(self, feature_names=names, target_name=target)

    @overload
    def predict(self, X: ArrayLike, return_std: Literal[False] = ...) -> Vector: ...

    @overload
    def predict(self, X: ArrayLike, return_std: Literal[True]) -> tuple[Vector, Vector]: ...

    def predict(self, X: ArrayLike, return_std: bool = False) -> Vector | tuple[Vector, Vector]:
        """The fitted curve at each row of X, and its standard error.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Inputs, one column per feature, in the order of `feature_names`.
        return_std : bool, default=False
            Also return the standard error of the fitted curve (the mean of y) at X, from
            the covariance of the coefficients; it leaves out the noise of a new
            observation (see `predict_interval`).

        Returns
        -------
        y_mean : ndarray of shape (n_samples,)
            The predictions, in the units of y.
        y_std : ndarray of shape (n_samples,)
            Their standard errors, only when `return_std` is True.

        Raises
        ------
        ValueError
            If X is not numeric and two-dimensional with one column per feature.
        """
        T = self._scaled(X)
        mean = self.curve(T)
        if not return_std:
            return mean
        sd = _uncertainty.curve_sd(_basis.design_matrix(T, self.powers), self.beta_cov)
        return mean, sd * self.scaling.y_scale

    def predict_interval(
        self, X: ArrayLike, level: float = 0.95, kind: str = "confidence",
        var_weights: ArrayLike | None = None,
    ) -> tuple[Vector, Vector]:
        """Interval for the fitted curve, or for a new observation, at each row of X.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Inputs, one column per feature, in the order of `feature_names`.
        level : float, default=0.95
            Coverage of the intervals, in (0, 1).
        kind : {"confidence", "prediction"}, default="confidence"
            "confidence": for the true curve (the mean of y) at X. "prediction": for a new
            observation at X, combining the curve's standard error with the noise sd the
            fit models at X and its fitted mean there (`noise_scale`).
        var_weights : float or array-like of shape (n_samples,), optional
            The var_weight of each new observation, in the units of the fit's var_weights
            (for instance 1 / x^2 at X when the fit had 1 / x^2): its noise sd is
            divided by sqrt(var_weights / unit_var_weight). By default a reading of the
            fit's typical precision, var_weight `unit_var_weight`. Only for "prediction".

        Returns
        -------
        lower, upper : ndarray of shape (n_samples,)
            The prediction minus and plus Student's t quantile times the standard error,
            in the units of y; NaN when the covariance or `dof` is. The quantile is on
            the degrees of freedom of the curve's estimated variance c at X for
            "confidence": nu_c = 1 / (2 g' noise_cov g), g the gradient of the log noise sd
            in the noise model's parameters averaged over the fitted rows with their
            shares in c as weights (`_uncertainty.curve_dof`), which is `dof` under
            constant noise; for "prediction" on those of the
            estimated variance c + s^2 (c the curve's, s the noise sd): the noise model's
            parameters have the covariance `noise_cov`, so s^2 counts as a scaled
            chi-square on nu_0 = 1 / (2 J^T noise_cov J), J the gradient of log s in
            them, and 1 / sqrt(nu) = (c / V) / sqrt(nu_c) + (s^2 / V) / sqrt(nu_0)
            with V = c + s^2 (Satterthwaite, 1946; `dof` for constant noise by least
            squares, as statsmodels' WLS), and nu is not below 1
            (`_uncertainty.prediction_dof`).

        Raises
        ------
        ValueError
            If `level` is not in (0, 1), `kind` is unknown, X is not valid as in
            `predict`, or `var_weights` are not positive finite numbers, one per row of X,
            or are given for "confidence".
        """
        level = _uncertainty.check_level(level)
        kind = _uncertainty.check_kind(kind)
        T = self._scaled(X)
        if var_weights is not None and kind != "prediction":
            raise ValueError("var_weights are those of new observations: they need "
                             "kind='prediction'")
        return self._band(T, level, kind, 1, self._relative(var_weights, T.shape[0]))

    def noise_scale(self, X: ArrayLike, var_weights: ArrayLike | None = None) -> Vector:
        """The noise sd of one new reading at each row of X, in the units of y.

        The noise model's sd at X and at the fitted mean there (see `noise`), over
        sqrt(var_weights / `unit_var_weight`); by default a reading of var_weight
        `unit_var_weight`, the fit's typical precision. X must be valid as in `predict`,
        `var_weights` as in `predict_interval`.
        """
        T = self._scaled(X)
        mean = _basis.design_matrix(T, self.powers) @ self.beta
        sd = self.noise.at(T, mean, self.scaling.zero) / np.sqrt(
            self._relative(var_weights, T.shape[0]))
        scale: Vector = sd * self.scaling.y_scale
        return scale

    def inverse_predict(
        self, y: ArrayLike, level: float = 0.95, n_replicates: int = 1,
        var_weight: float | None = None,
    ) -> tuple[Vector, Vector, Vector]:
        """The x at which the fitted curve equals each y, with its interval (one feature).

        Calibration: the concentration that a new reading, or the mean of `n_replicates`
        readings, implies. Only the fitted range of x is searched. The interval is the
        classical one (NIST/SEMATECH e-Handbook of Statistical Methods, on calibration):
        the x0 with abs(y - f(x0)) <= t sqrt(Var f(x0) + s(x0)^2 / m), f the fitted curve,
        s(x0) its noise scale (`noise_scale`), m = `n_replicates` and t Student's
        quantile at `level` on the prediction interval's degrees of freedom at x0 (see
        `predict_interval`); for a straight line with constant noise fitted by least
        squares it is Fieller's interval.

        Parameters
        ----------
        y : array-like of shape (n_values,)
            Finite values in the units of y: single readings, or means of `n_replicates`.
        level : float, default=0.95
            Coverage of the intervals, in (0, 1).
        n_replicates : int, default=1
            Number of readings each y is the mean of.
        var_weight : float, optional
            The var_weight of the new readings, one number for every y, in the units of
            the fit's var_weights: s(x0) is divided by sqrt(var_weight /
            `unit_var_weight`) all along the search. By default readings of the fit's
            typical precision, var_weight `unit_var_weight`.

        Returns
        -------
        x, lower, upper : ndarray of shape (n_values,)
            The x of each y and the ends of its interval. x and both ends are NaN for a y
            the curve does not reach within the fitted range, or reaches at several x (on a
            curve that is not monotone); both ends are NaN when the band also holds y away
            from x, or the covariance is NaN; one end is NaN when the band holds y up to
            the edge of the fitted range.

        Warns
        -----
        InversePredictionWarning
            A UserWarning, once per kind of NaN above, giving how many values it hit.

        Raises
        ------
        ValueError
            If the model has more than one feature, its curve is constant, `level` is not
            in (0, 1), `n_replicates` is not a positive integer, y holds NaN, infinity
            or non-numeric values, or `var_weight` is not a positive finite number.
        """
        relative = None if var_weight is None else float(self._relative(var_weight, 1)[0])
        return _calibration.inverse_predict(self, y, level, n_replicates, relative)

    def lack_of_fit(self) -> LackOfFit:
        """The pure-error F test of the polynomial against the means of replicated levels.

        The fitted rows with equal features form a level; with k levels, p terms and n
        readings (the inliers' total sample weight), F = [SS_lack / (k - p)] /
        [SS_pure / (n - k)] on (k - p, n - k) degrees of freedom (the lack-of-fit test of
        the NIST/SEMATECH e-Handbook of Statistical Methods). Sums are weighted by each
        row's sample weight over its noise scale squared, so a noise model that changes
        over the data is allowed for; for the robust method only the inliers take part,
        with full weight. Computed at fit time: a loaded model answers the same.

        Returns
        -------
        LackOfFit
            F, df_lack, df_pure and p_value.

        Raises
        ------
        ValueError
            If no level is replicated (df_pure = 0), or there are no more levels than
            terms (df_lack = 0).
        """
        return _calibration.lack_of_fit(self.pure_error, self.beta.size)

    def detection_limit(self, level: float = 0.95) -> DetectionLimit:
        """Critical signal, detection limit and quantitation limit (Hubaux-Vos, one feature).

        From the one-sided prediction limits at `level` (those of `predict_interval` at
        ``2 level - 1``, with the fit's noise model), after Currie (Anal. Chem. 40, 586,
        1968), Hubaux and Vos (Anal. Chem. 42, 849, 1970) and ISO 11843-2: the critical
        signal y_C is the upper limit at x = 0, so that a blank exceeds it with
        probability 1 - `level`; the detection limit x_D is the x whose lower limit equals
        y_C, so that a reading at x_D exceeds y_C with probability `level`. The
        quantitation limit x_Q is the smallest x at which the x read from one reading has
        a relative standard deviation of 10 %: x = 10 sqrt(Var f(x) + s(x)^2) / abs(f'(x))
        (the delta method). For a falling curve the roles of the limits swap. x_D and x_Q
        are searched from 0 to the top of the fitted range.

        Parameters
        ----------
        level : float, default=0.95
            Probability of each one-sided limit, in (0.5, 1): 1 - alpha = 1 - beta.

        Returns
        -------
        DetectionLimit
            critical_signal (units of y), detection_limit and quantitation_limit (units of
            x); a limit not reached within the fitted range is NaN, and all are NaN when
            the covariance is.

        Raises
        ------
        ValueError
            If the model has more than one feature, its curve is constant, `level` is not
            in (0.5, 1), or the fitted range lies below x = 0.
        """
        return _calibration.detection_limit(self, level)

    def summary(self, feature_names: Sequence[str] | None = None) -> str:
        """A table of the fit: coefficients with their tests and intervals, degrees, noise.

        Each term with its coefficient in the user's units, standard error, t = coef / se,
        the two-sided p-value of t and the 95 % confidence interval, both from Student's t
        with the intervals' degrees of freedom (n_inliers - n_terms); terms by total
        degree, features in input order. Then every degree tried with its trimmed BIC, the
        noise scale and the number of inliers.

        Parameters
        ----------
        feature_names : sequence of str, optional
            Names of the inputs in the terms, by default `feature_names`.

        Returns
        -------
        str
            The table, as lines of text.

        Raises
        ------
        ValueError
            If `feature_names` does not hold one name per feature, or a coefficient lies
            beyond the range of double precision (see `coef`).
        """
        return _report.summary(self.with_names(feature_names))

    def to_json(self) -> str:
        """The model as JSON text, which `from_json` reads back exactly.

        A ValueError if a score is not finite (JSON has no such numbers).
        """
        return _model_file.to_json(self)

    @classmethod
    def from_json(cls, text: str) -> PolynomialModel:
        """The model of a JSON text written by `to_json`.

        A ValueError naming the key if the text is not a vasq model or a field is missing,
        malformed or impossible (see :func:`load_model`).
        """
        return cls(**_model_file.fields_of_json(text))

    def save(self, path: str | Path) -> None:
        """Write the model to `path` as JSON, which `load_model` reads back exactly.

        The old file, if any, is replaced whole once the new one is written, or kept (OSError).
        """
        text = self.to_json()
        with atomic_open(path) as file:
            file.write(text)

    def _scaled(self, X: ArrayLike) -> Matrix:
        """X as floats, one column per feature, in the scaled coordinates."""
        Xa = np.asarray(X, dtype=np.float64)
        n_features = len(self.feature_names)
        if Xa.ndim != 2 or Xa.shape[1] != n_features:
            raise ValueError(f"X must have shape (n_samples, {n_features}), got {Xa.shape}")
        return self.scaling.features(Xa)

    def curve(self, T: Matrix) -> Vector:
        """The fitted curve at the scaled points `T`, in the units of y."""
        return self.scaling.to_y(_basis.design_matrix(T, self.powers) @ self.beta)

    def _relative(self, var_weights: ArrayLike | None, n: int) -> Vector:
        """New readings' `var_weights` over `unit_var_weight`, n of them (1 if None)."""
        if var_weights is None:
            return np.ones(n)
        v = np.asarray(var_weights, dtype=np.float64)
        if v.ndim > 1 or (v.ndim == 1 and v.size != n):
            raise ValueError(f"var_weights must be a number or hold {n} numbers, got an "
                             f"array of shape {v.shape}")
        if not (np.isfinite(v) & (v > 0.0)).all():
            raise ValueError("var_weights must be positive finite numbers")
        relative: Vector = np.broadcast_to(v / self.unit_var_weight, (n,))
        return relative

    def _band(
        self, T: Matrix, level: float, kind: str, n_readings: int = 1,
        relative: Vector | None = None,
    ) -> tuple[Vector, Vector]:
        """Lower and upper ends of the intervals at the scaled points `T`, in y units.

        A prediction interval is for the mean of `n_readings` new observations, of
        var_weights `relative` times `unit_var_weight` (1 times by default).
        """
        D = _basis.design_matrix(T, self.powers)
        mean = D @ self.beta
        sd = _uncertainty.curve_sd(D, self.beta_cov)
        # Constant noise: every point's curve dof is the scale's (`curve_dof`).
        curve_dof = self.dof if self.noise.kind == "constant" else _uncertainty.curve_dof(
            self.dof_moments, self.noise_cov, D)
        if kind == "confidence":
            width = _uncertainty.half_width(sd, None, level, curve_dof)
        else:
            spread = n_readings if relative is None else n_readings * relative
            noise = self.noise.at(T, mean, self.scaling.zero) / np.sqrt(spread)
            J = self.noise.log_sd_gradient(T, mean, self.scaling.zero)
            log_sd_var = np.einsum("ij,jk,ik->i", J, self.noise_cov, J)
            dof = _uncertainty.prediction_dof(sd**2, noise**2, log_sd_var, curve_dof)
            width = _uncertainty.half_width(sd, noise, level, dof)
        return self.scaling.to_y(mean - width), self.scaling.to_y(mean + width)


def load_model(path: str | Path) -> PolynomialModel:
    """Read a model written by :meth:`PolynomialModel.save` (or ``python -m vasq fit --json``).

    Parameters
    ----------
    path : str or Path
        The JSON file.

    Returns
    -------
    PolynomialModel
        The model as it was saved, to the bit.

    Raises
    ------
    OSError
        If the file cannot be read.
    ValueError
        If it is not a vasq model file, or a field is missing, malformed or impossible (a
        covariance that is not symmetric positive semi-definite, a degree that contradicts
        the powers, a number that must be finite and is not, ...); the message names the
        file and the key.
    """
    try:
        text = Path(path).read_text(encoding="utf-8")
    except UnicodeDecodeError:
        raise ValueError(f"{path} is not a UTF-8 text file") from None
    try:
        return PolynomialModel.from_json(text)
    except ValueError as error:
        raise ValueError(f"{path}: {error}") from None
