"""The core's degree score against its definition computed with NumPy and SciPy on repeated rows."""

import numpy as np
import pytest
from scipy import stats

import vasq_core as vc


def criterion_mass(W, largest_terms):
    """The degree search's mass of the high-breakdown candidates, in whole rows."""
    return min(W, max((W + largest_terms + 1) // 2, min(W - 1, 2 * largest_terms + 2)))


def reference(r, lev, scale, robustness, s0, k, counts, h, order):
    """The score's parts with every row of integer weight m written out m times.

    The mass h is a whole number of repeated rows here.
    """
    keep = np.repeat(np.arange(r.size), counts)
    W = counts.sum()
    # Leave-one-out residuals, standardised ones below 30 rows.
    kept = 1.0 - np.minimum(lev, 0.99)
    e = r / (np.sqrt(kept) if W < 30 else kept) / (scale / s0)
    u2 = (e**2)[keep]
    best = keep[np.argsort(u2, kind="stable")[:h]]
    inliers = counts[robustness > 0].sum()
    share = min(1.0, h / inliers)
    q = stats.norm.ppf(0.5 + 0.5 * share)
    c = 1.0 - 2.0 * q * stats.norm.pdf(q) / share if share < 1.0 else 1.0
    log_v = np.log((scale / s0) ** 2)[keep]
    trimmed = h * np.log(np.sum(e[best] ** 2) / (h * c)) + h * np.mean(log_v)
    serial = 0.0
    if order is not None:
        ordered = order[(counts[order] > 0) & (robustness[order] > 0)]
        u = (r / scale)[np.repeat(ordered, counts[ordered])]
        rho = 1.0 - (np.sum(np.diff(u) ** 2) / (2 * (u.size - 1))) / np.mean(u**2)
        serial = u.size * max(0.0, rho) ** 2
    return trimmed, k * np.log(W), serial


@pytest.mark.parametrize("case", ["unit", "repeated", "zeros", "several features",
                                  "least squares", "short series"])
def test_score_is_the_trimmed_bic_and_serial_term_of_its_rows(case):
    rng = np.random.default_rng(len(case))
    n = 14 if case == "short series" else 40
    x = rng.uniform(0.0, 1.0, n)
    r = rng.normal(0.0, 1.0, n) + 2.0 * np.sin(6.0 * x)  # smooth misfit: positive correlation
    r[:4] += 9.0
    scale = np.exp(rng.uniform(-0.5, 0.5, n))
    lev = rng.uniform(0.0, 0.5, n)
    lev[0] = 1.0  # clamped at 0.99
    robustness = np.where(np.abs(r) < 4.0, 0.5, 0.0)
    counts = {"unit": np.ones(n), "repeated": rng.integers(1, 4, n),
              "zeros": rng.integers(0, 3, n), "several features": np.ones(n),
              "least squares": rng.integers(1, 3, n), "short series": rng.integers(1, 3, n)
              }[case].astype(int)
    order = None if case == "several features" else np.argsort(x, kind="stable")
    # Least squares keeps every row and is judged on all of them, here one past the total.
    if case == "least squares":
        robustness, h, mass = np.ones(n), counts.sum(), counts.sum() + 1.0
    else:
        h = mass = criterion_mass(counts.sum(), 4)
    got = vc.degree_score(r, lev, scale, robustness, 0.9, 5, counts.astype(float), mass, order)
    want = reference(r, lev, scale, robustness, 0.9, 5, counts, h, order)
    np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-12)
    assert (got[2] > 1.0) == (order is not None)


def test_the_last_row_of_the_trimmed_mass_counts_in_part():
    """h = 2 of W = 4: all of the best row (weight 1) and 1 of the next (weight 2.5)."""
    r = np.array([1.0, 2.0, 3.0])
    ones = np.ones(3)
    trimmed, _, _ = vc.degree_score(r, np.zeros(3), ones, ones, 1.0, 1, np.array([1.0, 2.5, 0.5]), 2)
    share = 2 / 4
    q = stats.norm.ppf(0.5 + 0.5 * share)
    c = 1.0 - 2.0 * q * stats.norm.pdf(q) / share
    assert trimmed == pytest.approx(2 * np.log((1.0 + 1.0 * 4.0) / (2 * c)), rel=1e-13)


@pytest.mark.parametrize(
    ("change", "message"),
    [
        (dict(leverage=np.zeros(4)), "Dimension mismatch."),
        (dict(order=np.array([0, 1, 2])), "Dimension mismatch."),
        (dict(order=np.array([0, 1, 2, 2, 4])), "the order must be a permutation of the rows"),
        (dict(order=np.array([0, 1, 2, 3, 5])), "the order must be a permutation of the rows"),
        (dict(residuals=np.array([0.0, 1, 2, np.nan, 4])), "Non-finite input."),
        (dict(scale=np.array([1.0, 1, 0, 1, 1])), "the noise scales must be positive"),
        (dict(s0=0.0), "the noise scales must be positive"),
        (dict(w=np.full(5, 0.1)), "the weights must be >= 0 with a finite sum of at least 1"),
        (dict(w=np.array([1.0, -1, 1, 1, 1])),
         "the weights must be >= 0 with a finite sum of at least 1"),
        (dict(w=np.full(5, 1e308)), "the weights must be >= 0 with a finite sum of at least 1"),
        (dict(n_params=-1), "n_params must be >= 0"),
        (dict(mass=0.0), "the mass must be > 0"),
        (dict(scale=np.full(5, 1e-300), s0=1e300), "the score overflows the double range"),
    ],
)
def test_invalid_input_raises_value_error(change, message):
    args = dict(residuals=np.arange(5.0), leverage=np.zeros(5), scale=np.ones(5), weights=np.ones(5),
                s0=1.0, n_params=2, w=np.ones(5), mass=3.0, order=np.arange(5))
    with pytest.raises(ValueError, match=f"^{message}$"):
        vc.degree_score(**(args | change))
