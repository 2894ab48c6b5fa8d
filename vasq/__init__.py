"""Robust polynomial regression with the degree chosen by minimum description length.

The numbers come from the native core :mod:`vasq_core`; this package holds what users
touch: a scikit-learn estimator, a command line, and fitting many curves at once.
"""

from vasq._estimator import RobustPolynomialRegressor
from vasq._uncertainty import InversePredictionWarning
from vasq._many import fit_curves
from vasq._model import PolynomialModel
from vasq._model import load_model

__all__ = [
    "RobustPolynomialRegressor",
    "InversePredictionWarning",
    "fit_curves",
    "PolynomialModel",
    "load_model",
]
__version__ = "0.1.0"
