"""Robust polynomial regression, its degree chosen by a trimmed BIC.

The numbers come from the native core :mod:`vasq_core`; this package holds what users
touch: a scikit-learn estimator, the fitted model it holds, a command line, and fitting
many curves at once.
"""

from vasq._calibration import DetectionLimit, InversePredictionWarning, LackOfFit
from vasq._estimator import RobustPolynomialRegressor
from vasq._many import fit_curves
from vasq._model import PolynomialModel, load_model

__all__ = [
    "RobustPolynomialRegressor",
    "InversePredictionWarning",
    "LackOfFit",
    "DetectionLimit",
    "fit_curves",
    "PolynomialModel",
    "load_model",
]
__version__ = "0.1.0"
