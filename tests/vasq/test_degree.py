"""The degree criterion: rejecting clean points never pays."""

import numpy as np

from vasq._candidate import CandidateFit, fit_candidate
from vasq._degree import leave_one_out, robust_bic


def test_rejecting_clean_points_does_not_pay_in_the_degree_criterion():
    """A fit that rejects clean points has a smaller scale and must still score worse."""
    rng = np.random.default_rng(8)
    x = np.sort(rng.uniform(-1.0, 1.0, 200))
    y = 1.0 + x + rng.normal(0.0, 0.1, x.size)
    T, w = x[:, None], np.ones(x.size)
    powers = np.array([[0], [1]])
    honest = fit_candidate("robust", T, y, w, np.ones(y.size), ("constant", 0.0), (1,), 0,
                           (0.0, 0.0))
    # Reject the points more than half a noise sd above the line and refit the rest: a
    # smaller scale, and a line pulled down.
    kept = honest.residuals < 0.05
    beta = np.polynomial.polynomial.polyfit(x[kept], y[kept], 1)
    r = y - np.polynomial.polynomial.polyval(x, beta)
    s = float(np.std(r[kept]))
    greedy = CandidateFit(
        (1,), powers, beta, kept.astype(float), r, honest.leverage, np.full(x.size, s), s,
        honest.noise, honest.noise_scores,
    )
    assert greedy.s0 < 0.7 * honest.s0
    fits = [honest, greedy]
    scores = robust_bic([leave_one_out(f, w) for f in fits], [2, 2], w)
    assert scores[0] < scores[1]
