"""Robust fitting steps of the estimator, in the internal scaled coordinates.

The estimator maps every feature to [-1, 1] and y to a robust location and scale before it
calls anything here, so the core's tolerances, random starts and step sizes, which are
absolute numbers, always meet data of order one.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray
from scipy.stats import chi2

import vasq_core as vc

Vector = NDArray[np.float64]
Matrix = NDArray[np.float64]
Mask = NDArray[np.bool_]

# Tukey's biweight constant: 95 % efficiency at the normal distribution.
BIWEIGHT_C = 4.685
# The unscaled MAD times this estimates a normal standard deviation.
MAD_TO_SD = 1.4826
# The mean absolute value of a normal deviate times this is its standard deviation.
ABS_TO_SD = float(np.sqrt(np.pi / 2.0))
# Scale floor in the scaled units of y (which are of order one): a fit that is exact on
# more than half of the points keeps exactly those as inliers instead of dividing by zero.
SCALE_FLOOR = 1e-9
# The scale model is fitted to residuals within this many scales: beyond, a normal
# residual is rare (0.3 %) and an outlier would drag the scale up.
SCALE_CUT = 3.0
# Lowest local scale, as a share of the global one.
LOCAL_FLOOR = 0.1
IRLS_MAX_ITER = 100
IRLS_TOL = 1e-10
# Level of the test by which a simpler fit is kept in place of the best-scoring one.
ALIKE_LEVEL = 0.9999


@dataclass
class RobustFit:
    """A candidate model fitted in the scaled coordinates."""

    degrees: tuple[int, ...]
    powers: NDArray[np.int64]  # (n_terms, n_features)
    design: Matrix  # (n_samples, n_terms)
    beta: Vector  # (n_terms,)
    weights: Vector  # (n_samples,), 0 for rejected points
    scale: Vector  # (n_samples,), the noise scale at every point

    def fitted(self) -> Vector:
        """The fitted values at the samples."""
        values: Vector = self.design @ self.beta
        return values


def robust_scale(r: Vector) -> float:
    """Normal-consistent MAD of the residuals `r`, floored."""
    return max(MAD_TO_SD * vc.mad(r), SCALE_FLOOR)


def biweight(r: Vector, scale: float | Vector) -> Vector:
    """Tukey's biweight of the residuals `r` at `scale`: 0 beyond BIWEIGHT_C scales."""
    u = r / (BIWEIGHT_C * scale)
    return np.where(np.abs(u) < 1.0, (1.0 - u * u) ** 2, 0.0)


def tournament_start(X: Matrix, y: Vector, sampler: vc.TournamentMCMC) -> Vector:
    """A high-breakdown starting fit: the tournament's consensus around a least-squares pilot.

    The sampler's hit tolerance is 0.4 MAD of the target it is handed, and its starts and
    steps are in absolute coefficient units.  Handing it the residuals of the least-squares
    fit, centred on their median and divided by their MAD, makes the tolerance a fraction
    of the residual spread rather than of the curve's, and the correction it searches for
    a curve of order one.  Column 0 of `X` must be the constant term.
    """
    pilot = vc.ols(X, y)
    r = y - X @ pilot
    pilot[0] += float(np.median(r))
    r = y - X @ pilot
    scale = vc.mad(r)
    if scale == 0.0:  # the pilot already passes through more than half of the points
        return pilot
    correction = sampler.fit(X, r / scale).beta_mcmc
    return pilot + scale * correction


def local_scale(S: Matrix, r: Vector, near: Mask) -> Vector:
    """Scale of each residual: a linear model of |r| over the residuals `near` zero, floored.

    `S` is the degree-1 design matrix of the features.  The fitted mean absolute residual is
    rescaled to a normal standard deviation; the floor keeps a model that dips towards zero
    from turning good points into outliers.  With too few residuals to fit the model, every
    residual gets the global scale.
    """
    floor = robust_scale(r[near])
    if np.count_nonzero(near) <= S.shape[1]:
        return np.full(r.size, floor)
    gamma = vc.ols(S[near], np.abs(r[near]))
    return np.maximum(S @ gamma * ABS_TO_SD, LOCAL_FLOOR * floor)


def irls_biweight(X: Matrix, S: Matrix, y: Vector, beta: Vector) -> tuple[Vector, Vector, Vector]:
    """Iteratively reweighted least squares with Tukey's biweight, from `beta`.

    Noise that grows or shrinks across the data is common, so every residual is judged
    against its own scale, a linear model of the absolute residuals within SCALE_CUT scales
    over the features (design matrix `S`), and weighted by the inverse of its variance.
    The scale model and the weights are re-estimated at every step.  Returns the
    coefficients, the final weights (0 for the points the fit rejects) and the scale of
    every residual.
    """
    r = y - X @ beta
    s = np.full(r.size, robust_scale(r))
    for _ in range(IRLS_MAX_ITER):
        s = local_scale(S, r, np.abs(r) < SCALE_CUT * s)
        root = np.sqrt(biweight(r, s)) / s
        new = vc.ols(X * root[:, None], y * root)
        done = np.max(np.abs(new - beta)) <= IRLS_TOL * (1.0 + np.max(np.abs(new)))
        beta, r = new, y - X @ new
        if done:
            break
    s = local_scale(S, r, np.abs(r) < SCALE_CUT * s)
    return beta, biweight(r, s), s


def simplest_alike(fits: list[RobustFit], best: int) -> int:
    """Index of the simplest fit that cannot be told apart from `fits[best]`.

    Fits come in order of growing complexity, each holding the terms of the ones before.
    The squared difference of a simpler fitted curve from the best one, weighted as in the
    best fit's final weighted least squares (biweight over local variance), is, when the
    simpler model is adequate, a chi-square variable with as many degrees of freedom as the
    fits differ in terms.  The simpler fit is kept unless that is overwhelmingly unlikely
    (level 1e-4): several candidates are compared, and outliers that the weights only partly
    remove inflate the statistic.
    """
    b = fits[best]
    weight = b.weights / b.scale**2
    for i, f in enumerate(fits[:best]):
        d = f.fitted() - b.fitted()
        if float(np.sum(weight * d * d)) <= chi2.ppf(ALIKE_LEVEL, b.beta.size - f.beta.size):
            return i
    return best
