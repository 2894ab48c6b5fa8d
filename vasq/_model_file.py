"""The model file: a fitted model as JSON, and the checks that a file holds a possible model."""

from __future__ import annotations

import json
import math
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, TypeIs

import numpy as np
from numpy.typing import NDArray

from vasq import _basis
from vasq._calibration import PureErrorSums
from vasq._scaling import Scaling
from vasq._uncertainty import NOISE_KINDS, NoiseModel, estimated_count

if TYPE_CHECKING:
    from vasq._model import Degree, PolynomialModel

FORMAT = "vasq-model/1"
METHODS = ("robust", "penalized", "ols")
# Exponents travel to the core as C ints.
MAX_POWER = 2**31 - 1
# A saved covariance may be asymmetric, and have negative eigenvalues, by this much relative
# to its largest entry: the rounding of a written and re-read covariance is far below it.
COV_TOLERANCE = 1e-10


def to_json(model: PolynomialModel) -> str:
    """The model as JSON text; floats are written by repr, which reads back to the same double."""
    record = {
        "format": FORMAT,
        "features": list(model.feature_names),
        "target": model.target_name,
        "method": model.method,
        "degree": _degree_to_json(model.degree),
        "powers": model.powers.tolist(),
        "beta": model.beta.tolist(),
        # NaN (too little weight among the inliers) as JSON's null.
        "beta_cov": _nan_as_null(model.beta_cov),
        "centre": model.scaling.centre.tolist(),
        "half": model.scaling.half.tolist(),
        "y_loc": model.scaling.y_loc,
        "y_scale": model.scaling.y_scale,
        "noise": {
            "kind": model.noise.kind,
            "params": model.noise.params.tolist(),
            "s0": model.noise.s0,
        },
        "noise_cov": model.noise_cov.tolist(),
        # NaN throughout (a weighted design that overflows) as nulls.
        "dof_moments": _nan_as_null(model.dof_moments),
        "unit_var_weight": model.unit_var_weight,
        "weights": model.weights.tolist(),
        "pure_error": {
            "lack_ss": model.pure_error.lack_ss,
            "pure_ss": model.pure_error.pure_ss,
            "n_levels": model.pure_error.n_levels,
            "n_readings": model.pure_error.n_readings,
        },
        # NaN (no positive degrees of freedom) as null.
        "dof": None if math.isnan(model.dof) else model.dof,
        "bic_scores": [
            {"degree": _degree_to_json(d), "score": s} for d, s in model.bic_scores.items()
        ],
        "reached_max_degree": model.reached_max_degree,
    }
    return json.dumps(record, indent=1, allow_nan=False) + "\n"


def fields_of_json(text: str) -> dict[str, Any]:
    """The fields of the model a JSON text holds, checked; a ValueError names the bad key."""
    try:
        record = json.loads(text)
    except json.JSONDecodeError as error:
        raise ValueError(f"not valid JSON: {error}") from None
    except RecursionError:
        raise ValueError("nested too deeply to be a vasq model file") from None
    if not isinstance(record, dict) or record.get("format") != FORMAT:
        raise ValueError(f"not a vasq model file (format {FORMAT!r})")
    names = tuple(_list(record, "features", str, "strings"))
    if not names:
        raise ValueError("'features' must hold one name or more")
    method = _typed(record, "method", str, "a string")
    if method not in METHODS:
        raise ValueError(f"'method' must be one of {METHODS}, got {method!r}")
    powers = _powers(record, len(names))
    degree = _degree(record, powers)
    k = powers.shape[0]
    noise = _noise(_typed(record, "noise", dict, "an object"), len(names))
    scores = dict(map(_score, _list(record, "bic_scores", dict, "objects")))
    if degree not in scores:
        raise ValueError("'bic_scores' must hold the chosen degree")
    weights = _finite(record, "weights", None)
    if ((weights < 0.0) | (weights > 1.0)).any():
        raise ValueError("'weights' must be numbers in [0, 1]")
    return {
        "feature_names": names,
        "target_name": _typed(record, "target", str, "a string"),
        "method": method,
        "degree": degree,
        "powers": powers,
        "beta": _finite(record, "beta", (k,)),
        "beta_cov": _covariance(record, "beta_cov", k),
        "scaling": Scaling(
            _finite(record, "centre", (len(names),)),
            _positive(_finite(record, "half", (len(names),)), "half"),
            float(_finite(record, "y_loc", ())),
            float(_positive(_finite(record, "y_scale", ()), "y_scale")),
        ),
        "noise": noise,
        "noise_cov": _covariance(record, "noise_cov", estimated_count(noise.kind, len(names))),
        "unit_var_weight": float(
            _positive(_finite(record, "unit_var_weight", ()), "unit_var_weight")),
        "weights": weights,
        "pure_error": _pure_error(record),
        "dof_moments": _finite_or_nulls(
            record, "dof_moments", (1 + estimated_count(noise.kind, len(names)), k, k)),
        "dof": _dof(record),
        "bic_scores": scores,
        "reached_max_degree": _typed(record, "reached_max_degree", bool, "a boolean"),
    }


def _noise(record: Mapping[str, object], n_features: int) -> NoiseModel:
    """The noise model, checked: a known kind, its number of parameters, a positive sd."""
    kind = _typed(record, "kind", str, "a string")
    if kind not in NOISE_KINDS:
        raise ValueError(f"'noise' 'kind' must be one of {NOISE_KINDS}, got {kind!r}")
    count = {"constant": 1, "power": 3, "two_component": 2, "log_linear": n_features + 3}[kind]
    params = _finite(record, "params", (count,), "noise")
    s0 = float(_positive(_finite(record, "s0", (), "noise"), "s0"))
    model = NoiseModel(kind, params, s0)
    # The core refuses parameters that give no positive sd (a negative component, a floor
    # of 0, bounds out of order): checked at a point, with the core's own message.
    try:
        model.at(np.zeros((1, n_features)), np.zeros(1), 0.0)
    except ValueError as error:
        raise ValueError(f"'noise' 'params' are impossible: {error}") from None
    return model


def _dof(record: Mapping[str, object]) -> float:
    """The degrees of freedom: a positive number, or null for NaN."""
    if _field(record, "dof") is None:
        return math.nan
    return float(_positive(_finite(record, "dof", ()), "dof"))


def _nan_as_null(array: NDArray[np.float64]) -> list[Any]:
    """The nested lists of `array`, NaN as JSON's null."""
    if array.ndim > 1:
        return [_nan_as_null(part) for part in array]
    return [None if math.isnan(v) else v for v in array.tolist()]


def _finite_or_nulls(
    record: Mapping[str, object], key: str, shape: tuple[int, ...]
) -> NDArray[np.float64]:
    """The numbers under `key` of the `shape`: all null (NaN throughout), or all finite."""
    value = _field(record, key)
    nulls = isinstance(value, list) and all(v is None for v in _flatten(value))
    if nulls and _shape_of(value) == shape:
        return np.full(shape, np.nan)
    return _finite(record, key, shape)


def _shape_of(value: object) -> tuple[int, ...] | None:
    """The shape of nested lists of equal lengths, () for a leaf; None when ragged."""
    if not isinstance(value, list):
        return ()
    inner = {_shape_of(v) for v in value}
    if len(inner) > 1:
        return None
    rest = inner.pop() if inner else ()
    return None if rest is None else (len(value), *rest)


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


def _finite(
    record: Mapping[str, object], key: str, shape: tuple[int, ...] | None, within: str = ""
) -> NDArray[np.float64]:
    """The finite numbers under `key`: a number or nested lists of the `shape`.

    A None in `shape` admits any length of that list.
    """
    name = f"{within!r} {key!r}" if within else repr(key)
    value = _field(record, key)
    try:
        array = np.array(value, dtype=np.float64)
    except (TypeError, ValueError, OverflowError):
        array = None
    items = value if isinstance(value, list) else [value]
    # Booleans and strings convert to floats; nothing but JSON numbers is a number here.
    flat = [v for v in _flatten(items)]
    if array is None or not all(_is(v, int) or isinstance(v, float) for v in flat):
        raise ValueError(f"{name} must hold numbers only")
    if (shape is None and array.ndim != 1) or (shape is not None and array.shape != shape):
        raise ValueError(f"{name} must have shape {shape or '(n,)'}, got {array.shape}")
    if not np.isfinite(array).all():
        raise ValueError(f"{name} must be finite numbers")
    return array


def _flatten(values: list[object]) -> list[object]:
    flat: list[object] = []
    for v in values:
        flat.extend(_flatten(v) if isinstance(v, list) else [v])
    return flat


def _positive(array: NDArray[np.float64], key: str) -> NDArray[np.float64]:
    if not (array > 0.0).all():
        raise ValueError(f"{key!r} must be positive")
    return array


def _covariance(record: Mapping[str, object], key: str, k: int) -> NDArray[np.float64]:
    """The covariance under `key`, k x k, checked.

    All null (NaN, too little weight), or symmetric positive semi-definite up to
    COV_TOLERANCE times its largest entry.
    """
    cov = _finite_or_nulls(record, key, (k, k))
    if np.isnan(cov).all():
        return cov
    size = float(np.abs(cov).max())
    if (np.diag(cov) < 0.0).any():
        raise ValueError(f"{key!r} holds a negative variance")
    if np.abs(cov - cov.T).max() > COV_TOLERANCE * size:
        raise ValueError(f"{key!r} is not symmetric (to {COV_TOLERANCE:g} of its largest entry)")
    if np.linalg.eigvalsh(cov).min() < -COV_TOLERANCE * size:
        raise ValueError(
            f"{key!r} is not positive semi-definite (to {COV_TOLERANCE:g} of its largest entry)"
        )
    return cov


def _pure_error(record: Mapping[str, object]) -> PureErrorSums:
    """The sums of the lack-of-fit test: non-negative numbers, the count of levels an integer."""
    sums = _typed(record, "pure_error", dict, "an object")
    lack, pure, readings = (float(_finite(sums, key, (), "pure_error"))
                            for key in ("lack_ss", "pure_ss", "n_readings"))
    levels = _typed(sums, "n_levels", int, "an integer")
    if min(lack, pure, readings, levels) < 0:
        raise ValueError("'pure_error' must hold numbers >= 0")
    return PureErrorSums(lack, pure, levels, readings)


def _powers(record: Mapping[str, object], n_features: int) -> NDArray[np.int64]:
    rows = _list(record, "powers", list, "lists of integers")
    for row in rows:
        if len(row) != n_features or not all(_is(e, int) and 0 <= e <= MAX_POWER for e in row):
            raise ValueError(f"'powers' must be lists of {n_features} integers "
                             f"from 0 to {MAX_POWER}")
    if not rows:
        raise ValueError("'powers' must hold one term or more")
    return np.array(rows, dtype=np.int64).reshape(len(rows), n_features)


def _degree(record: Mapping[str, object], powers: NDArray[np.int64]) -> Degree:
    """The degree, which must give exactly the terms `powers`."""
    degree = _degree_from_json(_field(record, "degree"))
    if powers.shape[1] == 1 and not isinstance(degree, int):
        raise ValueError("'degree' of a model of one feature must be an integer")
    degrees = (degree,) if isinstance(degree, int) else degree
    # The highest exponent of each feature is its degree: checked first, so that a huge
    # degree never lists its terms.
    if len(degrees) != powers.shape[1] or list(degrees) != powers.max(axis=0).tolist() or (
        not np.array_equal(_basis.monomial_powers(degrees), powers)
    ):
        raise ValueError(f"'degree' {degree} contradicts the terms of 'powers'")
    return degree


def _score(entry: dict[str, object]) -> tuple[Degree, float]:
    return (_degree_from_json(_field(entry, "degree")),
            float(_finite(entry, "score", (), "bic_scores")))


def _degree_to_json(degree: Degree) -> int | list[int]:
    return degree if isinstance(degree, int) else list(degree)


def _degree_from_json(value: object) -> Degree:
    if _is(value, int):
        return value
    if isinstance(value, list) and value and all(_is(d, int) for d in value):
        return tuple(value)
    raise ValueError(f"a degree must be an int or a list of ints, got {_kind(value)}")
