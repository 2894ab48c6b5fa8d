"""A fitted polynomial as plain data: evaluate it, save it as JSON and load it again."""

from __future__ import annotations

import json
import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Literal, TypeIs, overload

import numpy as np
import numpy.typing as npt

from vasq import _basis, _uncertainty
from vasq._uncertainty import Spread

FORMAT = "vasq-polynomial-model/2"
# Files of the first version hold the coefficients in the units of the data (`coef`).
FORMAT_RAW = "vasq-polynomial-model/1"
# Exponents travel to the core as C ints.
MAX_POWER = 2**31 - 1

Degree = int | tuple[int, ...]


@dataclass(frozen=True, eq=False, init=False)
class PolynomialModel:
    """A fitted polynomial ``y = y_loc + y_scale * sum_i beta[i] * prod_k t_k ** powers[i, k]``
    in the scaled features ``t_k = (X[:, k] - centre[k]) / half[k]``.

    The plain-data form of a fitted :class:`RobustPolynomialRegressor`: enough to predict
    exactly as the estimator does, and a summary of how the model was chosen. It is what
    ``python -m vasq fit --json`` writes and :func:`load_model` reads. With the default
    scaling (no shift, unit widths and scale), `beta` are the coefficients of plain powers
    of the features.

    Parameters
    ----------
    feature_names : sequence of str
        Names of the inputs, one per column of ``X``.
    target_name : str
        Name of the modelled quantity.
    powers : array-like of int, shape (n_terms, n_features)
        Exponents of each monomial term.
    beta : array-like of float, shape (n_terms,)
        Coefficient of each term, in the scaled coordinates.
    degree : int or tuple of int
        Chosen degree (one per feature when there are several).
    method : str
        Fitting method: ``"tournament"``, ``"penalized"`` or ``"ols"``.
    mdl_score : float
        Degree criterion (robust BIC, lower is better) of the chosen degree.
    mdl_scores : mapping
        Degree criterion of every candidate degree.
    n_samples : int
        Number of observations fitted.
    n_inliers : int
        Number of them that the final fit treats as inliers.
    centre, half : array-like of float, shape (n_features,), optional
        Centre and half-width of each feature's range (default 0 and 1).
    y_loc, y_scale : float, default=0.0, 1.0
        Location and scale of the modelled quantity.
    spread : vasq._uncertainty.Spread, optional
        What the intervals rest on, in the scaled coordinates: the covariance of `beta`,
        the degrees of freedom, the noise inflation and the noise model, as
        :meth:`from_estimator` takes them. Without it (files written before models held
        it), :meth:`predict_interval`, :meth:`noise_scale` and the standard errors of
        :meth:`predict` are refused.
    inlier_mask : array-like of bool, shape (n_samples,), optional
        Which of the fitted observations the fit treats as inliers.

    Attributes
    ----------
    coef : ndarray of float, shape (n_terms,)
        The coefficients in the units of the data: term i is
        ``coef[i] * prod_k X[:, k] ** powers[i, k]``. Far from zero these cancel heavily, so
        :meth:`predict` uses the scaled form.

    Raises
    ------
    ValueError
        If the shapes of ``powers``, ``beta``, ``centre``, ``half`` and ``feature_names``
        disagree, an exponent is negative, a number is not finite, a half-width or the
        scale is not positive, or a shifted model lacks a term below one of its terms; if
        `spread` or `inlier_mask` does not fit the model.

    See Also
    --------
    load_model : Read a model saved with :meth:`save`.

    Examples
    --------
    >>> import numpy as np
    >>> from vasq import PolynomialModel
    >>> model = PolynomialModel(("x",), "y", np.array([[0], [2]]), np.array([1.0, 0.5]),
    ...                         degree=2, method="ols", mdl_score=0.0, mdl_scores={2: 0.0},
    ...                         n_samples=3, n_inliers=3)
    >>> model.predict([[0.0], [2.0]])
    array([1., 3.])
    >>> shifted = PolynomialModel(("x",), "y", np.array([[0], [1]]), np.array([0.0, 1.0]),
    ...                           degree=1, method="ols", mdl_score=0.0, mdl_scores={1: 0.0},
    ...                           n_samples=3, n_inliers=3, centre=[10.0], half=[2.0],
    ...                           y_loc=5.0, y_scale=4.0)
    >>> shifted.coef
    array([-15.,   2.])
    """

    feature_names: tuple[str, ...]
    target_name: str
    powers: npt.NDArray[np.int64]
    beta: npt.NDArray[np.float64]
    degree: Degree
    method: str
    mdl_score: float
    mdl_scores: dict[Degree, float]
    n_samples: int
    n_inliers: int
    centre: npt.NDArray[np.float64]
    half: npt.NDArray[np.float64]
    y_loc: float
    y_scale: float
    spread: Spread | None
    inlier_mask: npt.NDArray[np.bool_] | None

    def __init__(
        self,
        feature_names: Sequence[str],
        target_name: str,
        powers: npt.ArrayLike,
        beta: npt.ArrayLike,
        degree: Degree,
        method: str,
        mdl_score: float,
        mdl_scores: Mapping[Degree, float],
        n_samples: int,
        n_inliers: int,
        *,
        centre: npt.ArrayLike | None = None,
        half: npt.ArrayLike | None = None,
        y_loc: float = 0.0,
        y_scale: float = 1.0,
        spread: Spread | None = None,
        inlier_mask: npt.ArrayLike | None = None,
    ) -> None:
        names = tuple(feature_names)
        if not names or not all(isinstance(name, str) for name in names):
            raise ValueError(f"feature names must be one string or more, got {names!r}")
        n_features = len(names)
        exponents = np.asarray(powers)
        if (exponents.ndim != 2 or exponents.shape[1] != n_features
                or not np.issubdtype(exponents.dtype, np.integer)):
            raise ValueError(f"powers must be integers of shape (n_terms, {n_features}), "
                             f"got {exponents.dtype} of shape {exponents.shape}")
        if exponents.shape[0] == 0:
            raise ValueError("powers must hold at least one term")
        if (exponents < 0).any() or (exponents > MAX_POWER).any():
            raise ValueError(f"powers must be from 0 to {MAX_POWER}")
        coefficients = _floats("beta", beta, (exponents.shape[0],))
        shift = _floats("centre", 0.0 if centre is None else centre, (n_features,))
        width = _floats("half", 1.0 if half is None else half, (n_features,))
        y_loc, y_scale = float(y_loc), float(y_scale)
        if not (width > 0.0).all() or not np.isfinite([y_loc, y_scale]).all() or y_scale <= 0:
            raise ValueError("half-widths and y_scale must be positive and y_loc finite")
        if (shift != 0.0).any() or y_loc != 0.0:
            _check_closed(exponents)
        if spread is not None:
            spread = _checked_spread(spread, exponents.shape[0], n_features)
        if inlier_mask is not None:
            inlier_mask = np.array(inlier_mask)
            if inlier_mask.dtype != bool or inlier_mask.shape != (n_samples,):
                raise ValueError(f"inlier_mask must be booleans of shape ({n_samples},), got "
                                 f"{inlier_mask.dtype} of shape {inlier_mask.shape}")
            if np.count_nonzero(inlier_mask) != n_inliers:
                raise ValueError(f"inlier_mask marks {np.count_nonzero(inlier_mask)} inliers, "
                                 f"not n_inliers={n_inliers}")
        fields = {
            "feature_names": names,
            "target_name": target_name,
            # Private copies, so that the model cannot change behind the caller's back.
            "powers": exponents.astype(np.int64),
            "beta": coefficients,
            "degree": degree,
            "method": method,
            "mdl_score": mdl_score,
            "mdl_scores": dict(mdl_scores),
            "n_samples": n_samples,
            "n_inliers": n_inliers,
            "centre": shift,
            "half": width,
            "y_loc": y_loc,
            "y_scale": y_scale,
            "spread": spread,
            "inlier_mask": inlier_mask,
        }
        for name, value in fields.items():
            object.__setattr__(self, name, value)

    @property
    def coef(self) -> npt.NDArray[np.float64]:
        """Coefficients in the units of the data, each correctly rounded.

        Raises
        ------
        ValueError
            If one lies beyond the range of double precision (features or y far from
            zero on a narrow range, at a high degree).
        """
        return _basis.to_user_units(self.beta, self.powers, self.centre, self.half,
                                    self.y_loc, self.y_scale)

    @classmethod
    def from_estimator(cls, estimator: Any, feature_names: Sequence[str] | None = None,
                       target_name: str = "y") -> PolynomialModel:
        """Take the model out of a fitted :class:`RobustPolynomialRegressor`.

        Parameters
        ----------
        estimator : RobustPolynomialRegressor
            A fitted estimator.
        feature_names : sequence of str, optional
            Names of the inputs. By default the estimator's ``feature_names_in_`` when it
            was fitted on a DataFrame, otherwise ``x0``, ``x1``, ...
        target_name : str, default="y"
            Name of the modelled quantity.

        Returns
        -------
        PolynomialModel
            Predicts what the estimator predicts, with the same standard errors and
            intervals, to the bit; it holds the estimator's inlier mask.

        Examples
        --------
        >>> import numpy as np
        >>> from vasq import PolynomialModel, RobustPolynomialRegressor
        >>> x = np.linspace(0.0, 1.0, 50)[:, None]
        >>> est = RobustPolynomialRegressor(degree=1, random_state=0).fit(x, 1 + 2 * x[:, 0])
        >>> PolynomialModel.from_estimator(est).feature_names
        ('x0',)
        """
        if feature_names is None:
            feature_names = getattr(estimator, "feature_names_in_", None)
            if feature_names is None:
                feature_names = [f"x{k}" for k in range(estimator.n_features_in_)]
        mask = np.asarray(estimator.inlier_mask_, dtype=bool)
        return cls(
            feature_names=tuple(str(name) for name in feature_names),
            target_name=target_name,
            powers=np.asarray(estimator.powers_),
            beta=np.asarray(estimator._beta),
            degree=_as_degree(estimator.degree_),
            method=str(estimator.method),
            mdl_score=float(estimator.mdl_score_),
            mdl_scores={_as_degree(d): float(s) for d, s in estimator.mdl_scores_.items()},
            n_samples=int(mask.size),
            n_inliers=int(mask.sum()),
            centre=estimator._centre,
            half=estimator._half,
            y_loc=estimator._y_loc,
            y_scale=estimator._y_scale,
            spread=estimator._spread(),
            inlier_mask=mask,
        )

    @overload
    def predict(self, X: npt.ArrayLike,
                return_std: Literal[False] = ...) -> npt.NDArray[np.float64]: ...

    @overload
    def predict(self, X: npt.ArrayLike,
                return_std: Literal[True]) -> tuple[npt.NDArray[np.float64],
                                                    npt.NDArray[np.float64]]: ...

    def predict(self, X: npt.ArrayLike, return_std: bool = False
                ) -> npt.NDArray[np.float64] | tuple[npt.NDArray[np.float64],
                                                     npt.NDArray[np.float64]]:
        """Evaluate the polynomial, in the scaled coordinates, and its standard error.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Inputs, one column per feature, in the order of `feature_names`.
        return_std : bool, default=False
            Also return the standard error of the fitted curve at X, as the estimator's
            ``predict(X, return_std=True)``.

        Returns
        -------
        y_mean : ndarray of shape (n_samples,)
            Predicted values.
        y_std : ndarray of shape (n_samples,)
            Their standard errors, only when `return_std` is True.

        Raises
        ------
        ValueError
            If ``X`` is not two-dimensional with one column per feature, or is not numeric;
            if `return_std` is True and the model holds no uncertainty.

        Examples
        --------
        >>> import numpy as np
        >>> from vasq import PolynomialModel
        >>> model = PolynomialModel(("u", "v"), "w", np.array([[1, 1]]), np.array([2.0]),
        ...                         degree=(1, 1), method="ols", mdl_score=0.0,
        ...                         mdl_scores={(1, 1): 0.0}, n_samples=4, n_inliers=4)
        >>> model.predict([[1.0, 3.0], [2.0, 0.5]])
        array([6., 2.])
        """
        X = self._checked(X)
        mean = _basis.evaluate(X, self.powers, self.beta, self.centre, self.half, self.y_loc,
                               self.y_scale)
        if not return_std:
            return mean
        T = (X - self.centre) / self.half
        return mean, self._known_spread().std(T, self.powers, self.y_scale)

    def predict_interval(self, X: npt.ArrayLike, level: float = 0.95, kind: str = "confidence"
                         ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
        """Interval for the fitted curve, or for a new observation, at each row of X.

        The same intervals, to the bit, as the estimator's ``predict_interval``.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Inputs, one column per feature, in the order of `feature_names`.
        level : float, default=0.95
            Coverage of the intervals, in (0, 1).
        kind : {"confidence", "prediction"}, default="confidence"
            "confidence": for the true curve at X. "prediction": for a new observation at
            X, with the noise scale the fit models there.

        Returns
        -------
        lower, upper : ndarray of shape (n_samples,)
            The ends of the intervals, in the units of the modelled quantity.

        Raises
        ------
        ValueError
            If the model holds no uncertainty, `level` is not in (0, 1), `kind` is unknown,
            or X is not valid as in :meth:`predict`.
        """
        spread = self._known_spread()
        level = _uncertainty.check_level(level)
        kind = _uncertainty.check_kind(kind)
        T = (self._checked(X) - self.centre) / self.half
        return spread.band(T, self.powers, self.beta, level, kind, self.y_loc, self.y_scale)

    def noise_scale(self, X: npt.ArrayLike) -> npt.NDArray[np.float64]:
        """The noise scale that the fit models at each row of X, in the units of y.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Inputs, one column per feature, in the order of `feature_names`.

        Returns
        -------
        ndarray of shape (n_samples,)
            The local standard deviation of the noise (when it is normal).

        Raises
        ------
        ValueError
            If the model holds no uncertainty or X is not valid as in :meth:`predict`.
        """
        spread = self._known_spread()
        T = (self._checked(X) - self.centre) / self.half
        scale: npt.NDArray[np.float64] = (
            _uncertainty.noise_scale(spread.noise_model, T) * self.y_scale)
        return scale

    def _checked(self, X: npt.ArrayLike) -> npt.NDArray[np.float64]:
        """X as floats, one column per feature."""
        X = np.asarray(X, dtype=np.float64)
        n_features = len(self.feature_names)
        if X.ndim != 2 or X.shape[1] != n_features:
            raise ValueError(f"X must have shape (n_samples, {n_features}), got {X.shape}")
        return X

    def _known_spread(self) -> Spread:
        if self.spread is None:
            raise ValueError("the model holds no uncertainty: its file was written without it; "
                             "fit and save the model again for standard errors and intervals")
        return self.spread

    def save(self, path: str | Path) -> None:
        """Write the model as JSON; :func:`load_model` reads it back exactly.

        Besides the polynomial, the file holds the uncertainty (the covariance of `beta`,
        the degrees of freedom, the noise inflation and the noise model; NaN written as
        null) and the inlier mask (a string with "1" for each inlier and "0" for each
        outlier), when the model has them.

        Parameters
        ----------
        path : str or Path
            File to write (replaced if it exists).

        Raises
        ------
        OSError
            If the file cannot be written.
        ValueError
            If an MDL score is not finite (JSON has no such numbers).

        See Also
        --------
        load_model : Read the file back.

        Examples
        --------
        >>> import numpy as np, tempfile, pathlib
        >>> from vasq import PolynomialModel
        >>> model = PolynomialModel(("x",), "y", np.array([[1]]), np.array([2.0]), degree=1,
        ...                         method="ols", mdl_score=0.0, mdl_scores={1: 0.0},
        ...                         n_samples=2, n_inliers=2)
        >>> model.save(pathlib.Path(tempfile.mkdtemp()) / "model.json")
        """
        record = {
            "format": FORMAT,
            "features": list(self.feature_names),
            "target": self.target_name,
            "degree": _degree_to_json(self.degree),
            "method": self.method,
            "powers": self.powers.tolist(),
            "centre": self.centre.tolist(),
            "half": self.half.tolist(),
            "y_loc": self.y_loc,
            "y_scale": self.y_scale,
            "beta": self.beta.tolist(),
            "mdl_score": self.mdl_score,
            "mdl_scores": [{"degree": _degree_to_json(d), "score": s}
                           for d, s in self.mdl_scores.items()],
            "n_samples": self.n_samples,
            "n_inliers": self.n_inliers,
        }
        if self.inlier_mask is not None:
            # One character per observation, "1" for an inlier: compact for long series.
            record["inlier_mask"] = (self.inlier_mask.view(np.uint8) + ord("0")).tobytes().decode()
        if self.spread is not None:
            record["uncertainty"] = {
                "covariance": [[_or_null(v) for v in row] for row in self.spread.cov.tolist()],
                "dof": _or_null(self.spread.dof),
                "noise_inflation": _or_null(self.spread.noise_inflation),
                "noise_model": dict(self.spread.noise_model),
            }
        # Python's JSON writes floats by repr, which reads back to the same double.
        Path(path).write_text(json.dumps(record, indent=2, allow_nan=False) + "\n",
                              encoding="utf-8")


def load_model(path: str | Path) -> PolynomialModel:
    """Read a model written by ``python -m vasq fit --json`` or :meth:`PolynomialModel.save`.

    Files of the first format version, which hold the coefficients in the units of the
    data, load too and predict as they did. Files written before models held their
    uncertainty load without it, and refuse intervals.

    Parameters
    ----------
    path : str or Path
        The JSON file.

    Returns
    -------
    PolynomialModel
        The model, with the coefficients exactly as fitted.

    Raises
    ------
    OSError
        If the file cannot be read.
    ValueError
        If it is not a vasq model file or a field is missing or malformed; the message
        names the file and the field.

    Examples
    --------
    >>> import numpy as np, tempfile, pathlib
    >>> from vasq import PolynomialModel, load_model
    >>> model = PolynomialModel(("x",), "y", np.array([[0], [1]]), np.array([1.0, -2.0]),
    ...                         degree=1, method="ols", mdl_score=0.0, mdl_scores={1: 0.0},
    ...                         n_samples=2, n_inliers=2)
    >>> path = pathlib.Path(tempfile.mkdtemp()) / "model.json"
    >>> model.save(path)
    >>> load_model(path).predict([[3.0]])
    array([-5.])
    """
    try:
        record = json.loads(Path(path).read_text(encoding="utf-8"))
    except UnicodeDecodeError:
        raise ValueError(f"{path} is not a UTF-8 text file") from None
    except json.JSONDecodeError as error:
        raise ValueError(f"{path} is not valid JSON: {error}") from None
    except RecursionError:
        raise ValueError(f"{path} is nested too deeply to be a vasq model file") from None
    if not isinstance(record, dict) or record.get("format") not in (FORMAT, FORMAT_RAW):
        raise ValueError(f"{path} is not a vasq model file")
    try:
        names = _list(record, "features", str, "strings")
        if record["format"] == FORMAT:
            scaling: dict[str, Any] = {
                "beta": _numbers(record, "beta"),
                "centre": _numbers(record, "centre"),
                "half": _numbers(record, "half"),
                "y_loc": _number(_field(record, "y_loc"), "'y_loc'"),
                "y_scale": _number(_field(record, "y_scale"), "'y_scale'"),
            }
            if "uncertainty" in record:
                scaling["spread"] = _spread_from_json(record["uncertainty"])
            if "inlier_mask" in record:
                scaling["inlier_mask"] = _mask_from_json(record["inlier_mask"])
        else:
            scaling = {"beta": _numbers(record, "coef")}
        return PolynomialModel(
            feature_names=names,
            target_name=_typed(record, "target", str, "a string"),
            powers=_powers(record, len(names)),
            degree=_degree_from_json(_field(record, "degree")),
            method=_typed(record, "method", str, "a string"),
            mdl_score=_number(_field(record, "mdl_score"), "'mdl_score'"),
            mdl_scores=dict(map(_score_from_json, _list(record, "mdl_scores", dict, "objects"))),
            n_samples=_typed(record, "n_samples", int, "an integer"),
            n_inliers=_typed(record, "n_inliers", int, "an integer"),
            **scaling,
        )
    except ValueError as error:
        raise ValueError(f"{path}: {error}") from None


def _field(record: Mapping[str, object], key: str) -> object:
    if key not in record:
        raise ValueError(f"missing key {key!r}")
    return record[key]


def _kind(value: object) -> str:
    """The JSON name of a value's type."""
    names = {dict: "an object", list: "a list", str: "a string", bool: "a boolean",
             int: "an integer", float: "a number", type(None): "null"}
    return names.get(type(value), type(value).__name__)


def _is[T](value: object, kind: type[T]) -> TypeIs[T]:
    """isinstance, except that a boolean is no integer here."""
    return isinstance(value, kind) and not (isinstance(value, bool) and kind is not bool)


def _typed[T](record: Mapping[str, object], key: str, kind: type[T], expected: str) -> T:
    value = _field(record, key)
    if not _is(value, kind):
        raise ValueError(f"{key!r} must be {expected}, got {_kind(value)}")
    return value


def _list[T](record: Mapping[str, object], key: str, kind: type[T], items: str) -> list[T]:
    values = _typed(record, key, list, f"a list of {items}")
    for value in values:
        if not _is(value, kind):
            raise ValueError(f"{key!r} must be a list of {items}, got {_kind(value)} in it")
    return values


def _number(value: object, what: str) -> float:
    if not (_is(value, int) or isinstance(value, float)):
        raise ValueError(f"{what} must be a number, got {_kind(value)}")
    try:
        return float(value)
    except OverflowError:
        raise ValueError(f"{what} holds an integer beyond double precision") from None


def _or_null(value: float) -> float | None:
    """NaN as JSON's null: the uncertainty of a fit with too few inliers is NaN."""
    return None if math.isnan(value) else value


def _number_or_nan(value: object, what: str) -> float:
    return math.nan if value is None else _number(value, what)


def _spread_from_json(value: object) -> Spread:
    if not isinstance(value, dict):
        raise ValueError(f"'uncertainty' must be an object, got {_kind(value)}")
    rows = _list(value, "covariance", list, "lists of numbers")
    if any(len(row) != len(rows) for row in rows):
        raise ValueError("'covariance' must be a square list of lists")
    cov = [[_number_or_nan(v, "'covariance' items") for v in row] for row in rows]
    return Spread(
        cov=np.array(cov, dtype=np.float64).reshape(len(rows), len(rows)),
        dof=_number_or_nan(_field(value, "dof"), "'dof'"),
        noise_inflation=_number_or_nan(_field(value, "noise_inflation"), "'noise_inflation'"),
        noise_model=_typed(value, "noise_model", dict, "an object"),
    )


def _mask_from_json(value: object) -> npt.NDArray[np.bool_]:
    if not isinstance(value, str) or value.strip("01"):
        raise ValueError("'inlier_mask' must be a string of 0 and 1")
    mask: npt.NDArray[np.bool_] = np.frombuffer(value.encode(), dtype=np.uint8) == ord("1")
    return mask


def _checked_spread(spread: Spread, n_terms: int, n_features: int) -> Spread:
    """A private copy of `spread`, if it fits a model of `n_terms` terms in `n_features`."""
    cov = np.array(spread.cov, dtype=np.float64)
    if cov.shape != (n_terms, n_terms) or np.isinf(cov).any():
        raise ValueError(f"the covariance must be finite numbers or NaN of shape "
                         f"({n_terms}, {n_terms}), got shape {cov.shape}")
    dof, inflation = float(spread.dof), float(spread.noise_inflation)
    for name, value in (("dof", dof), ("noise_inflation", inflation)):
        if not (math.isnan(value) or 0.0 < value < math.inf):
            raise ValueError(f"{name} must be a positive number or NaN, got {value!r}")
    noise_model = _uncertainty.check_noise_model(spread.noise_model, n_features)
    return Spread(cov, dof, inflation, noise_model)


def _numbers(record: Mapping[str, object], key: str) -> list[float]:
    return [_number(v, f"{key!r} items") for v in _typed(record, key, list, "a list of numbers")]


def _powers(record: Mapping[str, object], n_features: int) -> npt.NDArray[np.int64]:
    rows = _list(record, "powers", list, "lists of integers")
    for row in rows:
        if len(row) != n_features or not all(_is(e, int) and 0 <= e <= MAX_POWER for e in row):
            raise ValueError(f"'powers' must be lists of {n_features} integers "
                             f"from 0 to {MAX_POWER}")
    return np.array(rows, dtype=np.int64).reshape(len(rows), n_features)


def _score_from_json(entry: dict[str, object]) -> tuple[Degree, float]:
    return (_degree_from_json(_field(entry, "degree")),
            _number(_field(entry, "score"), "'mdl_scores' scores"))


def _floats(name: str, values: npt.ArrayLike, shape: tuple[int]) -> npt.NDArray[np.float64]:
    """A private float copy of `values` (a scalar fills the shape), finite and of that shape."""
    array = np.asarray(values, dtype=np.float64)
    if array.ndim == 0:
        array = np.full(shape, array)
    if array.shape != shape:
        raise ValueError(f"{name} must have shape {shape}, got {array.shape}")
    if not np.isfinite(array).all():
        raise ValueError(f"{name} must be finite")
    return array.copy()


def _check_closed(powers: npt.NDArray[np.integer[Any]]) -> None:
    """Shifted coordinates spread every term over the lower ones: they must be terms too."""
    terms = set(map(tuple, powers.tolist()))
    for term in terms:
        for k, e in enumerate(term):
            if e and term[:k] + (e - 1,) + term[k + 1:] not in terms:
                raise ValueError("a model with a centre or y location must hold every term "
                                 "below each of its terms, down to the constant")


def _as_degree(value: Any) -> Degree:
    """A degree as plain Python ints (the estimator may hold NumPy integers)."""
    return int(value) if np.ndim(value) == 0 else tuple(int(d) for d in value)


def _degree_to_json(degree: Degree) -> int | list[int]:
    return degree if isinstance(degree, int) else list(degree)


def _degree_from_json(value: object) -> Degree:
    if _is(value, int):
        return value
    if isinstance(value, list) and all(_is(d, int) for d in value):
        return tuple(value)
    raise ValueError(f"a degree must be an int or a list of ints, got {_kind(value)}")
