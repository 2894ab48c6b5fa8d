"""Objects of the registered classes exist only with a constructed C++ value."""

import copy

import numpy as np
import pytest

import vasq_core as vc

CLASSES = [vc.GibbsResult, vc.MCMCResult, vc.TournamentMCMC]

def subclass_new(cls):
    sub = type("Sub", (cls,), {})
    return sub.__new__(sub)


WAYS = {
    "own __new__": lambda cls: cls.__new__(cls),
    "base __new__": lambda cls: cls.__mro__[1].__new__(cls),
    "object.__new__": lambda cls: object.__new__(cls),
    "subclass __new__": subclass_new,
}


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
@pytest.mark.parametrize("make", WAYS.values(), ids=WAYS.keys())
def test_new_alone_makes_no_object(cls, make):
    with pytest.raises(TypeError):
        make(cls)


def small_fit(sampler):
    x = np.linspace(-1.0, 1.0, 20)
    return sampler.fit(np.vander(x, 3, increasing=True), x**2)


def test_subclasses_are_still_made_by_calling_them():
    class Sampler(vc.TournamentMCMC):
        def __new__(cls, *args, **kwargs):
            return super().__new__(cls)

    made = Sampler(n_chains=3, n_warmup=4, n_deep=4, seed=7)
    direct = vc.TournamentMCMC(n_chains=3, n_warmup=4, n_deep=4, seed=7)
    np.testing.assert_array_equal(small_fit(made).beta_mcmc, small_fit(direct).beta_mcmc)


def test_subclass_that_skips_init_is_refused():
    class Sampler(vc.TournamentMCMC):
        def __init__(self):
            pass

    with pytest.raises(TypeError, match=r"__init__\(\) must be called"):
        Sampler()


@pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy])
def test_copies_are_refused(copier):
    sampler = vc.TournamentMCMC(n_chains=2, n_warmup=2, n_deep=2)
    result = small_fit(sampler)
    for obj in (sampler, result, result.gibbs):
        with pytest.raises(TypeError):
            copier(obj)
