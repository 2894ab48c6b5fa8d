"""
Where each fitter breaks: a contamination ramp
==============================================

A cubic is measured at 200 points. A growing share of the points, from none to 45 %, follows
a *shadow* curve instead: the same shape, shifted by about 20 noise standard deviations, as
when a second process or a miscalibrated channel feeds the same record. Scattered outliers
pull a fit a little; a coherent group pulls it towards its own curve, and the question is at
which share each fitter gives in.

The peers are handed the true degree (3); ``vasq`` chooses its degree. Least squares on the
clean points alone, which no real fitter can know, is the reference.
"""

# %%
import warnings

import matplotlib.pyplot as plt
import numpy as np
import statsmodels.api as sm
from sklearn.exceptions import ConvergenceWarning
from sklearn.linear_model import (
    HuberRegressor,
    LinearRegression,
    RANSACRegressor,
    TheilSenRegressor,
)
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import PolynomialFeatures, StandardScaler

from vasq import RobustPolynomialRegressor

warnings.simplefilter("ignore", ConvergenceWarning)
N, SD, SHIFT = 200, 0.5, 10.0
SHARES = [0.0, 0.1, 0.2, 0.3, 0.4, 0.45]
SEEDS = [0, 1]
grid = np.linspace(0.0, 10.0, 501)[:, None]


def truth(x: np.ndarray) -> np.ndarray:
    return 1.0 + 4.0 * x - 1.5 * x**2 + 0.12 * x**3


def sample(share: float, seed: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    x = rng.uniform(0.0, 10.0, N)
    y = truth(x) + rng.normal(0.0, SD, N)
    shadow = rng.random(N) < share
    y[shadow] += SHIFT
    return x[:, None], y, shadow


# %%
# The fitters
# -----------
# Each returns a prediction function. The scikit-learn fitters work on polynomial features,
# standardised so that their default tolerances suit the data.
def features() -> list:
    return [PolynomialFeatures(3, include_bias=False), StandardScaler()]


FITTERS = {
    "vasq (degree chosen)": lambda X, y, s: RobustPolynomialRegressor(random_state=s).fit(X, y),
    "statsmodels RLM (biweight)": lambda X, y, s: RLMFit(X, y),
    "sklearn Huber": lambda X, y, s: make_pipeline(*features(), HuberRegressor()).fit(X, y),
    "sklearn RANSAC": lambda X, y, s: make_pipeline(
        *features(), RANSACRegressor(LinearRegression(), random_state=s)).fit(X, y),
    "sklearn TheilSen": lambda X, y, s: make_pipeline(
        *features(), TheilSenRegressor(random_state=s, max_subpopulation=2000)).fit(X, y),
}


class RLMFit:
    """statsmodels' RLM with Tukey's biweight at degree 3, behind a predict method."""

    def __init__(self, X: np.ndarray, y: np.ndarray) -> None:
        self.poly = PolynomialFeatures(3)
        self.fit = sm.RLM(y, self.poly.fit_transform(X), M=sm.robust.norms.TukeyBiweight()).fit()

    def predict(self, X: np.ndarray) -> np.ndarray:
        return self.fit.predict(self.poly.transform(X))


def rmse(model, X_grid: np.ndarray = grid) -> float:
    return float(np.sqrt(np.mean((model.predict(X_grid) - truth(X_grid[:, 0])) ** 2)))


# %%
# The ramp
# --------
# Median RMSE against the true cubic over the seeds, at each share of shadow points.
errors = {name: np.zeros(len(SHARES)) for name in [*FITTERS, "least squares, clean points"]}
for i, share in enumerate(SHARES):
    runs = {name: [] for name in errors}
    for seed in SEEDS:
        X, y, shadow = sample(share, seed)
        for name, fit in FITTERS.items():
            runs[name].append(rmse(fit(X, y, seed)))
        oracle = np.polynomial.Polynomial.fit(X[~shadow, 0], y[~shadow], 3)
        runs["least squares, clean points"].append(
            float(np.sqrt(np.mean((oracle(grid[:, 0]) - truth(grid[:, 0])) ** 2))))
    for name in errors:
        errors[name][i] = np.median(runs[name])

print(f"{'fitter':<30}" + "".join(f"{s:>8.0%}" for s in SHARES))
for name, e in errors.items():
    print(f"{name:<30}" + "".join(f"{v:8.2f}" for v in e))

# %%
# The plot
# --------
# Left: the error as the share grows (a fit that follows the shadow curve has an error near
# the shift, 10). Right: the fits on one sample with 40 % shadow points.
fig, (left, right) = plt.subplots(1, 2, figsize=(11.0, 4.5))
for name, e in errors.items():
    style = dict(ls="--", c="k") if name.startswith("least") else dict(marker="o")
    left.plot(100 * np.array(SHARES), e, label=name, **style)
left.set(yscale="log", xlabel="points on the shadow curve (%)",
         ylabel="median RMSE against the true curve", title="Contamination ramp")
left.legend(fontsize=8)

X, y, shadow = sample(0.4, SEEDS[0])
right.scatter(X[~shadow, 0], y[~shadow], s=8, c="0.4", label="clean")
right.scatter(X[shadow, 0], y[shadow], s=8, c="tab:red", label="shadow curve")
for name, fit in FITTERS.items():
    right.plot(grid[:, 0], fit(X, y, SEEDS[0]).predict(grid), lw=1.5, label=name)
right.plot(grid[:, 0], truth(grid[:, 0]), "k--", lw=1, label="true curve")
right.set(xlabel="x", ylabel="y", title="40 % on the shadow curve")
right.legend(fontsize=7)
fig.tight_layout()
plt.show()
