"""Gibbs analysis against closed forms and a literal step-by-step evaluation."""

import math

import numpy as np
import pytest

import vasq_core as vc

FIELDS = ("H", "Hmax", "He", "r_heat", "var_E", "T")


def as_tuple(g):
    return tuple(getattr(g, f) for f in FIELDS)


def literal(E, T):
    """The steps in their order, with the same guards, in plain Python floats."""
    n = len(E)
    Emin, D = min(E), T + 1e-300
    w = [math.exp(-(e - Emin) / D) for e in E]
    Z = 0.0
    for wi in w:
        Z += wi
    H = 0.0
    for wi in w:
        p = wi / Z
        H = H - math.log(p + 1e-300) * p
    Hmax = math.log(max(n, 2))
    He = H / (Hmax + 1e-300)
    return H, Hmax, He, He * 0.99 + 0.01


def closed_form_two(d):
    """H of energies [0, d] at T = 1."""
    a = math.exp(-d)
    return math.log(1 + a) + d * a / (1 + a)


@pytest.mark.parametrize(
    ("E", "T", "H", "Hmax", "var_E"),
    [
        ([0, 1], 1.0, closed_form_two(1), math.log(2), 0.25),
        ([100, 101], 1.0, closed_form_two(1), math.log(2), 0.25),
        ([0, 1], 2.0, closed_form_two(0.5), math.log(2), 0.25),
        ([1, 1, 2], 0.0, math.log(2), math.log(3), 2 / 9),
        ([3, 3, 3, 3], 0.7, math.log(4), math.log(4), 0.0),
        ([5], 1.0, 0.0, math.log(2), 0.0),
        ([1e6, 0], 1.0, 0.0, math.log(2), 2.5e11),  # far weight underflows to 0, not NaN
    ],
)
def test_worked_examples(E, T, H, Hmax, var_E):
    g = vc.gibbs_entropy(E, T)
    np.testing.assert_allclose(
        as_tuple(g), (H, Hmax, H / Hmax, 0.99 * H / Hmax + 0.01, var_E, T), rtol=1e-14, atol=1e-15
    )
    assert as_tuple(g)[:4] == literal([float(e) for e in E], T)


def test_matches_literal_steps_and_numpy_moments():
    rng = np.random.default_rng(4)
    E = rng.standard_normal(1000) * 3 + 50
    g = vc.gibbs_entropy(energies=E, T=0.8)
    assert as_tuple(g)[:4] == literal(E.tolist(), 0.8)
    np.testing.assert_allclose(g.var_E, np.var(E), rtol=1e-13)


def test_empty_sample():
    g = vc.gibbs_entropy(np.empty(0), 2.5)
    assert (g.H, g.Hmax, g.He, g.r_heat, g.T) == (0.0, math.log(2), 0.0, 0.01, 2.5)
    assert math.isnan(g.var_E)


@pytest.mark.parametrize("T", [0.0, -0.0, 1.0, 0.1, 1e-300, 5e-324, -3.0, math.inf, math.nan])
def test_temperature_returned_bit_for_bit(T):
    assert np.float64(vc.gibbs_entropy([1.0, 2.0], T).T).tobytes() == np.float64(T).tobytes()


@pytest.mark.parametrize(
    "E", [[math.nan, 1.0], [1.0, math.inf], [-math.inf, 0.0], [math.inf, math.inf], [math.nan] * 40]
)
def test_non_finite_energies_do_not_fail(E):
    assert vc.gibbs_entropy(E).T == 1.0


@pytest.mark.parametrize("field", FIELDS)
def test_result_is_read_only(field):
    g = vc.gibbs_entropy([0.0, 1.0])
    with pytest.raises(AttributeError):
        setattr(g, field, 0.0)
