"""First cut of the estimator: the public API is fixed, the algorithm is provisional."""

from __future__ import annotations

import numpy as np
from numpy.polynomial import Polynomial
from sklearn.base import BaseEstimator, RegressorMixin
from sklearn.utils import check_random_state
from sklearn.utils.validation import check_is_fitted, validate_data

import vasq_core as vc


class RobustPolynomialRegressor(RegressorMixin, BaseEstimator):
    """Robust polynomial regression, degree chosen by MDL score (provisional)."""

    def __init__(self, degree="auto", *, max_degree=6, method="tournament", H=20, gamma1=0.0,
                 gamma2=0.0, n_chains=25, n_warmup=200, n_deep=2000, n_elite=5, step_size=0.05,
                 random_state=None):
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

    def fit(self, X, y):
        X, y = validate_data(self, X, y, y_numeric=True)
        if X.shape[1] != 1:
            raise NotImplementedError("provisional: one feature only")
        x = X[:, 0]
        self._x_centre = 0.5 * (x.max() + x.min())
        self._x_half = max(0.5 * (x.max() - x.min()), np.finfo(float).tiny)
        t = (x - self._x_centre) / self._x_half
        self._y_loc = float(np.median(y))
        self._y_scale = float(vc.mad(y)) or 1.0
        ys = (y - self._y_loc) / self._y_scale
        seed = int(check_random_state(self.random_state).randint(0, 2**31 - 1))
        degrees = range(1, self.max_degree + 1) if self.degree == "auto" else [int(self.degree)]
        self.mdl_scores_ = {}
        best = None
        for d in degrees:
            Xd = vc.design_matrix_1d(d, t)
            beta = vc.TournamentMCMC(self.n_chains, self.n_warmup, self.n_deep, self.n_elite,
                                     self.step_size, self.H, seed).fit(Xd, ys).beta_mcmc
            eps = 0.4 * (vc.mad(ys) or 1.0)
            inliers = np.abs(Xd @ beta - ys) < eps
            beta = vc.ols(Xd[inliers], ys[inliers])
            score = vc.mdl_score(Xd @ beta, ys, d + 1, self.H)
            self.mdl_scores_[d] = score
            if best is None or score < best[0]:
                best = (score, d, beta, inliers)
        self.mdl_score_, self.degree_, beta_s, self.inlier_mask_ = best
        p = Polynomial(beta_s)(Polynomial([-self._x_centre / self._x_half, 1.0 / self._x_half]))
        self.polynomial_ = p * self._y_scale + self._y_loc
        coef = np.zeros(self.degree_ + 1)
        coef[: self.polynomial_.coef.size] = self.polynomial_.coef
        self.coef_ = coef
        self.powers_ = np.arange(self.degree_ + 1)[:, None]
        return self

    def predict(self, X):
        check_is_fitted(self)
        X = validate_data(self, X, reset=False)
        return self.polynomial_(X[:, 0])
