"""TournamentMCMC.fit against an independent pure-Python tournament (reference.py)."""

import importlib.util
import math
from pathlib import Path

import numpy as np
import pytest

import vasq_core


def _load_reference():
    path = Path(__file__).with_name("reference.py")
    spec = importlib.util.spec_from_file_location("mcmc_reference", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


ref = _load_reference()

x = np.linspace(-1.0, 1.0, 15)
Y = x**2 - 0.3 * x + 0.05 * np.sin(7.0 * x)
R_A = np.array([[2.0, 0.5, 0.0], [0.5, 1.0, 0.25], [0.0, 0.25, 3.0]])
R_B = np.ones((3, 3))


def design(p, m=15):
    return np.vander(np.linspace(-1.0, 1.0, m), p, increasing=True)


def fit(config, X, y=Y, penalties=()):
    """fit with penalties given as (R, gamma) pairs for R1 then R2."""
    args = [r for r, _ in penalties] + [None] * (2 - len(penalties))
    gammas = [g for _, g in penalties] + [0.0] * (2 - len(penalties))
    return vasq_core.TournamentMCMC(*config).fit(X, y, *args, *gammas)


def test_engine_standard_check_value():
    engine = ref.MT64(5489)
    outputs = [engine() for _ in range(10000)]
    assert outputs[-1] == 9981545732273789042


@pytest.mark.parametrize("p, y", [(3, Y), (5, np.arange(4.0))])
def test_start_of_chain_0(p, y):
    # Seed 42 starts chain 0 at (0.647, 0.352, 0.199) to the digits given, whatever the data.
    beta = matching((1, 0, 0, 5, 0.05, 20, 42), design(p, len(y)), (), y)[0].beta_mcmc
    assert beta[:3] == pytest.approx([0.647, 0.352, 0.199], abs=5e-4)


def case(config, basis, penalties=(), elites=None, y=Y):
    """config = (n_chains, n_warmup, n_deep, n_elite, step_size, H_piH, seed); basis is X
    or the number of monomials of a design on len(y) points."""
    X = design(basis, len(y)) if isinstance(basis, int) else basis
    return config, X, penalties, elites, y


# No observation is ever hit, so the energy moves only with the penalty, by amounts of the
# order of the temperatures: every temperature shows in the result.
MISSED = np.full(15, 50.0)
WIDE_X = np.linspace(-1.0, 1.0, 71)
# Products of 1.7e308 with coefficients beyond about 1.03 overflow: the two penalty terms
# are then +inf and -inf and the energy is NaN, elsewhere it is finite.
OVERFLOWING = ((np.array([[1.7e308]]), 1e-300), (np.array([[-1.7e308]]), 1e-300))
# Every row picks one coefficient, so X beta is exact in any order of summation.
SELECTING = np.eye(130)[np.arange(260) % 130]

CASES = {
    # The first polar pair of seed 19110 has s < 1e-4: the rescaled branch.
    "start from a rescaled pair": case((1, 0, 0, 5, 0.05, 20, 19110), 2),
    # Chains 3 and 5 tie at the lowest start energy: rank 0 must be chain 3.
    "lowest start, tied": case((8, 0, 0, 1, 0.5, 20, 0), 3),
    # Past 16 entries an unstable sort would reorder such ties.
    "many chains, tied": case((40, 0, 0, 1, 0.5, 20, 0), 3),
    "seeds wrap around 2^64": case((3, 2, 3, 2, 0.05, 20, 2**64 - 1500), 2, ((np.eye(2), 0.5),)),
    "n_deep = 0": case((5, 10, 0, 3, 0.1, 20, 11), 3, ((R_A, 0.01), (R_B, 0.02))),
    "temperatures": case((4, 100, 200, 3, 0.3, 20, 21), 3, ((R_A, 0.5), (R_B, 0.25)), y=MISSED),
    "one chain": case((1, 10, 100, 5, 0.05, 20, 42), 3, ((R_A, 0.05),), [0], y=MISSED),
    "diverse elites": case((5, 10, 10, 3, 0.2, 5, 3), 2, ((np.eye(2), 0.5),), [0, 2, 3]),
    "all near rank 0": case((3, 3, 12, 3, 0.05, 20, 240), 1, ((np.eye(1), 1.0),), [0, 1, 2]),
    "duplicate elite": case((4, 0, 4, 3, 0.5, 20, 135), 1, ((np.eye(1), 1.0),), [0, 2, 2]),
    "n_elite above n_chains": case((3, 5, 5, 5, 0.1, 20, 8), 2, (), [0, 1, 2]),
    "n_elite = 0": case((4, 5, 5, 0, 0.1, 20, 9), 2, (), [0]),
    "step_size = 0": case((3, 4, 4, 2, 0.0, 20, 10), 3, ((R_A, 0.1),)),
    "H_piH = 1": case((4, 8, 8, 2, 0.1, 1, 12), 3, ((R_A, 0.1),)),
    "no coefficients": case((3, 3, 3, 2, 0.1, 20, 13), 0),
    # Every energy is NaN: every proposal must be accepted.
    "NaN energies": case((3, 5, 5, 2, 0.1, 20, 14), 2, ((np.eye(2), math.nan),)),
    # Rows in whole blocks of the energy kernel and a tail of single rows.
    "wide basis, many rows": case(
        (4, 20, 30, 3, 0.02, 20, 5), 9, y=np.cos(3 * WIDE_X) + 0.1 * np.sin(40 * WIDE_X)
    ),
    "one observation": case((3, 10, 10, 2, 0.3, 20, 6), 7, y=np.array([0.25])),
    "128 columns and more": case(
        (3, 6, 8, 2, 0.3, 20, 7), SELECTING, y=0.3 * np.sin(np.arange(260.0))
    ),
    # The first strict minimum: deep chain 1 reaches the energy that chain 0 found first.
    "deep minima tie": case((4, 10, 30, 3, 0.1, 20, 4), 2),
    # Chain 0 passes through NaN energies; chain 2 finds the best.
    "NaN energies in the deep phase": case((4, 5, 20, 3, 0.3, 20, 11), 1, OVERFLOWING, y=Y + 0.7),
    # Chain 0 finds the best, then passes through NaN energies.
    "NaN energies after the best": case((4, 5, 20, 3, 0.3, 20, 1805), 1, OVERFLOWING, y=Y + 0.7),
}


def reference(config, X, penalties, y, retemper=None):
    with np.errstate(over="ignore", invalid="ignore"):
        return ref.tournament(X, y, *config, penalties=penalties, retemper=retemper)


def matching(config, X, penalties, y):
    """fit and the reference, once fit has found the reference's best state bit for bit."""
    result, expected = fit(config, X, y, penalties), reference(config, X, penalties, y)
    np.testing.assert_equal(result.beta_mcmc, expected.beta)
    np.testing.assert_equal(result.energy, expected.energy)
    return result, expected


@pytest.mark.parametrize("config, X, penalties, elites, y", CASES.values(), ids=CASES.keys())
def test_matches_reference(config, X, penalties, elites, y):
    result, expected = matching(config, X, penalties, y)
    np.testing.assert_equal(result.gibbs.r_heat, expected.r_heat)
    assert (result.n_chains, result.n_elite) == (config[0], config[3])
    if elites is not None:
        assert expected.elites == elites


def reference_of(name):
    config, X, penalties, _, y = CASES[name]
    return reference(config, X, penalties, y)


def test_cases_are_what_they_claim():
    def near(a, b):
        return np.linalg.norm(a - b) <= 0.1

    b = [beta for beta, _ in reference_of("all near rank 0").ranked]
    assert near(b[1], b[0]) and near(b[2], b[0])
    duplicate = reference_of("duplicate elite")
    b = [beta for beta, _ in duplicate.ranked]
    assert near(b[1], b[0]) and not near(b[2], b[0]) and near(b[3], b[2])
    # The best state comes from the repeated elite's own deep chain (seed + 26 + 7777).
    assert duplicate.found_by == 2
    tied = reference_of("lowest start, tied")
    assert tied.ranked[0][1] == tied.ranked[1][1]
    tie = reference_of("deep minima tie")
    assert tie.found_by == 0 and min(tie.deep_energies[1]) == tie.energy
    # Chain 0 itself returns to that energy later: the first visit must be kept.
    assert tie.deep_energies[0].count(tie.energy) > 1
    nan = reference_of("NaN energies in the deep phase")
    assert all(math.isfinite(e) for _, e in nan.ranked)
    assert any(math.isnan(e) for e in nan.deep_energies[0])
    assert nan.found_by == 2 and math.isfinite(nan.energy)
    late = reference_of("NaN energies after the best")
    assert late.found_by == 0 and all(math.isfinite(e) for _, e in late.ranked)
    chain = late.deep_energies[0]
    assert any(math.isnan(e) for e in chain[chain.index(late.energy) :])


# Deep chain j finds the best state of each case, and the temperature chain j starts at
# shows in it: one multiplication by 0.9997 fewer (a factor 1 / 0.9997) or more (0.9997)
# before chain j changes what it finds. So each chain must start at the temperature the
# deep phase reaches when the chains run one after another.
TEMPERED = {
    "chain 0, one fewer": (0, (4, 30, 120, 3, 0.3, 20, 199), 1 / 0.9997),
    "chain 1, one fewer": (1, (4, 30, 120, 3, 0.3, 20, 75), 1 / 0.9997),
    "chain 2, one fewer": (2, (4, 30, 600, 3, 0.3, 20, 64), 1 / 0.9997),
    "chain 0, one more": (0, (4, 30, 300, 3, 2.0, 20, 141), 0.9997),
    "chain 1, one more": (1, (4, 30, 300, 3, 1.0, 20, 73), 0.9997),
    "chain 2, one more": (2, (4, 30, 300, 3, 2.0, 20, 1), 0.9997),
}


@pytest.mark.parametrize("j, config, factor", TEMPERED.values(), ids=TEMPERED.keys())
def test_each_deep_chain_starts_at_its_temperature(j, config, factor):
    X, penalties = design(3), ((R_A, 0.5), (R_B, 0.25))
    expected = matching(config, X, penalties, MISSED)[1]
    assert expected.found_by == j

    def changed(retemper):
        return reference(config, X, penalties, MISSED, retemper).energy != expected.energy

    assert changed(lambda k, T: T * factor if k == j else T)
    if j > 0 and factor > 1.0:
        # Restarting every chain at the first temperature shows too.
        T0 = 0.5 * expected.r_heat
        assert changed(lambda k, T: T0)


def test_deep_temperatures_are_multiplied_not_powers():
    # Chain 1 starts at T0 multiplied by 0.9997 2000 times, a few units in the last place
    # away from T0 * 0.9997**2000. The penalty weight puts the first step of chain 1 on the
    # edge of acceptance, so that those last bits decide it and the result.
    config, X = (2, 0, 2000, 2, 0.3, 20, 34), np.ones((15, 1))
    penalties = ((np.eye(1), float.fromhex("0x1.8ca3ce1202c7dp+1")),)
    expected = matching(config, X, penalties, MISSED)[1]
    T0 = 0.5 * expected.r_heat
    powered = reference(config, X, penalties, MISSED, lambda j, T: T0 * 0.9997 ** (2000 * j))
    assert powered.energy != expected.energy


def test_one_chain_starts_deep_phase_at_0_005():
    gibbs = fit(CASES["one chain"][0], design(3), MISSED).gibbs
    assert (gibbs.He, gibbs.r_heat, gibbs.T) == (0.0, 0.01, 1.0)


def test_unapplied_penalty_is_not_read():
    config = (4, 5, 5, 2, 0.1, 20, 1)
    unpenalised = fit(config, design(3))
    ignored = fit(config, design(3), penalties=((np.eye(2), 0.0), (np.ones((1, 5)), 0.0)))
    np.testing.assert_equal(ignored.beta_mcmc, unpenalised.beta_mcmc)


SMALL = dict(n_warmup=2, n_deep=2)
LENGTH_ERROR = r"^cannot create std::vector larger than max_size\(\)$"


@pytest.mark.parametrize(
    "config, args, error, message",
    [
        (dict(n_chains=0), {}, ValueError, r"^n_chains < 1$"),
        (dict(n_chains=-1), {}, ValueError, LENGTH_ERROR),
        (dict(H_piH=0), {}, ValueError, r"^H_piH < 1$"),
        (dict(H_piH=-3), {}, ValueError, r"^H_piH < 1$"),
        ({}, dict(y=Y[:-1]), ValueError, r"^Dimension mismatch\.$"),
        ({}, dict(R1=np.eye(2), gamma1=1.0), ValueError, r"^Dimension mismatch\.$"),
        ({}, dict(R2=np.ones((3, 2)), gamma2=1.0), ValueError, r"^Dimension mismatch\.$"),
        ({}, dict(R1="R1"), RuntimeError, r"^Unable to cast Python instance of type <class 'str'>"),
        (dict(seed=-1), {}, TypeError, "incompatible constructor arguments"),
        (dict(seed=2**64), {}, TypeError, "incompatible constructor arguments"),
        (dict(n_chains=2.0), {}, TypeError, "incompatible constructor arguments"),
    ],
)
def test_refusals(config, args, error, message):
    with pytest.raises(error, match=message):
        vasq_core.TournamentMCMC(**SMALL, **config).fit(**{"X": design(3), "y": Y, **args})
