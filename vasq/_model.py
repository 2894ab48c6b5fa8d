"""A fitted polynomial as plain data: evaluate it, save it as JSON and load it again."""

from __future__ import annotations

import json
import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

import vasq_core as vc

FORMAT = "vasq-polynomial-model/1"

Degree = int | tuple[int, ...]


@dataclass(frozen=True, eq=False)
class PolynomialModel:
    """A fitted polynomial ``y = sum_i coef[i] * prod_k X[:, k] ** powers[i, k]``.

    The plain-data form of a fitted :class:`RobustPolynomialRegressor`: enough to predict,
    and a summary of how the model was chosen. It is what ``python -m vasq fit --json``
    writes and :func:`load_model` reads.

    Parameters
    ----------
    feature_names : tuple of str
        Names of the inputs, one per column of ``X``.
    target_name : str
        Name of the modelled quantity.
    powers : ndarray of int, shape (n_terms, n_features)
        Exponents of each monomial term.
    coef : ndarray of float, shape (n_terms,)
        Coefficient of each term, in the units of the data.
    degree : int or tuple of int
        Chosen degree (one per feature when there are several).
    method : str
        Fitting method: ``"tournament"``, ``"penalized"`` or ``"ols"``.
    mdl_score : float
        MDL score of the chosen degree.
    mdl_scores : dict
        MDL score of every candidate degree.
    n_samples : int
        Number of observations fitted.
    n_inliers : int
        Number of them that the final fit treats as inliers.

    Raises
    ------
    ValueError
        If the shapes of ``powers``, ``coef`` and ``feature_names`` disagree, an exponent
        is negative or a coefficient is not finite.

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
    """

    feature_names: tuple[str, ...]
    target_name: str
    powers: npt.NDArray[np.int64]
    coef: npt.NDArray[np.float64]
    degree: Degree
    method: str
    mdl_score: float
    mdl_scores: dict[Degree, float]
    n_samples: int
    n_inliers: int

    def __post_init__(self) -> None:
        powers = np.asarray(self.powers)
        coef = np.asarray(self.coef, dtype=np.float64)
        n_features = len(self.feature_names)
        if not all(isinstance(name, str) for name in self.feature_names):
            raise ValueError(f"feature names must be strings, got {self.feature_names!r}")
        if powers.ndim != 2 or powers.shape[1] != n_features or not np.issubdtype(powers.dtype, np.integer):
            raise ValueError(f"powers must be integers of shape (n_terms, {n_features}), "
                             f"got {powers.dtype} of shape {powers.shape}")
        if (powers < 0).any():
            raise ValueError("powers must not be negative")
        if coef.shape != (powers.shape[0],):
            raise ValueError(f"coef must have shape ({powers.shape[0]},), got {coef.shape}")
        if not np.isfinite(coef).all():
            raise ValueError("coef must be finite")
        # Private copies, so that the model cannot change behind the caller's back.
        object.__setattr__(self, "powers", powers.astype(np.int64))
        object.__setattr__(self, "coef", coef.copy())
        object.__setattr__(self, "mdl_scores", dict(self.mdl_scores))

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
            Predicts what the estimator predicts.

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
            coef=np.asarray(estimator.coef_),
            degree=_as_degree(estimator.degree_),
            method=str(estimator.method),
            mdl_score=float(estimator.mdl_score_),
            mdl_scores={_as_degree(d): float(s) for d, s in estimator.mdl_scores_.items()},
            n_samples=int(mask.size),
            n_inliers=int(mask.sum()),
        )

    def predict(self, X: npt.ArrayLike) -> npt.NDArray[np.float64]:
        """Evaluate the polynomial.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Inputs, one column per feature, in the order of `feature_names`.

        Returns
        -------
        ndarray of shape (n_samples,)
            Predicted values.

        Raises
        ------
        ValueError
            If ``X`` is not two-dimensional with one column per feature, or is not numeric.

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
        X = np.asarray(X, dtype=np.float64)
        n_features = len(self.feature_names)
        if X.ndim != 2 or X.shape[1] != n_features:
            raise ValueError(f"X must have shape (n_samples, {n_features}), got {X.shape}")
        design = vc.design_matrix_nd(self.powers.tolist(), list(X.T))
        return design @ self.coef

    def save(self, path: str | Path) -> None:
        """Write the model as JSON; :func:`load_model` reads it back exactly.

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
            "coef": self.coef.tolist(),
            "mdl_score": self.mdl_score,
            "mdl_scores": [{"degree": _degree_to_json(d), "score": s} for d, s in self.mdl_scores.items()],
            "n_samples": self.n_samples,
            "n_inliers": self.n_inliers,
        }
        # Python's JSON writes floats by repr, which reads back to the same double.
        Path(path).write_text(json.dumps(record, indent=2, allow_nan=False) + "\n", encoding="utf-8")


def load_model(path: str | Path) -> PolynomialModel:
    """Read a model written by ``python -m vasq fit --json`` or :meth:`PolynomialModel.save`.

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
        If it is not a vasq model file or a field is missing or malformed.

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
    record = json.loads(Path(path).read_text(encoding="utf-8"))
    if not isinstance(record, dict) or record.get("format") != FORMAT:
        raise ValueError(f"{path} is not a vasq model file")
    try:
        return PolynomialModel(
            feature_names=tuple(_typed(record, "features", list)),
            target_name=_typed(record, "target", str),
            powers=np.array(_typed(record, "powers", list)),
            coef=np.array(_typed(record, "coef", list), dtype=np.float64),
            degree=_degree_from_json(record["degree"]),
            method=_typed(record, "method", str),
            mdl_score=float(record["mdl_score"]),
            mdl_scores={_degree_from_json(e["degree"]): float(e["score"]) for e in record["mdl_scores"]},
            n_samples=_typed(record, "n_samples", int),
            n_inliers=_typed(record, "n_inliers", int),
        )
    except (KeyError, TypeError, ValueError) as error:
        raise ValueError(f"{path}: malformed model: {error}") from None


def _typed[T](record: Mapping[str, object], key: str, kind: type[T]) -> T:
    value = record[key]
    if not isinstance(value, kind):
        raise ValueError(f"{key!r} must be of type {kind.__name__}")
    return value


def _as_degree(value: Any) -> Degree:
    """A degree as plain Python ints (the estimator may hold NumPy integers)."""
    return int(value) if np.ndim(value) == 0 else tuple(int(d) for d in value)


def _degree_to_json(degree: Degree) -> int | list[int]:
    return degree if isinstance(degree, int) else list(degree)


def _degree_from_json(value: object) -> Degree:
    if isinstance(value, int):
        return value
    if isinstance(value, list) and all(isinstance(d, int) for d in value):
        return tuple(value)
    raise ValueError(f"a degree must be an int or a list of ints, got {value!r}")

