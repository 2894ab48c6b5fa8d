"""Objects of the registered classes exist only with a constructed C++ value."""

import copy
import os
import subprocess
import sys

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


# Each recipe would let a subclass keep its object after the base constructor failed, or
# make an object of a class the binding layer does not know.
KEEPING_INIT = """
def keep(self, *args):
    kept.append(self)
    super(type(self), self).__init__(*args)
"""
RECIPES = {
    "subclass keeps self": "class Sub(cls):\n    __init__ = keep\nSub('bad')",
    "metaclass makes subclass": "type(cls)('Sub', (cls,), {'__init__': keep})('bad')",
    "metaclass on the common base": "type(cls)('Sub', (cls.__mro__[1],), {})()",
    "metaclass on object": "type(cls)('Sub', (), {})()",
}
CHILD = """
import vasq_core as vc
kept = []
{keep}
cls = vc.{cls}
try:
{recipe}
except TypeError:
    print("TypeError")
for obj in kept:
    print([getattr(obj, name) for name in dir(cls) if not name.startswith("_")])
"""


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
@pytest.mark.parametrize("recipe", RECIPES.values(), ids=RECIPES.keys())
def test_no_unconstructed_object_escapes(cls, recipe):
    """Run in a child: reading an unconstructed object's fields would end it with a signal."""
    indented = "\n".join("    " + line for line in recipe.splitlines())
    script = CHILD.format(keep=KEEPING_INIT, cls=cls.__name__, recipe=indented)
    path = os.pathsep.join([os.path.dirname(vc.__file__), *sys.path])
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=60, env=dict(os.environ, PYTHONPATH=path))
    assert (done.returncode, done.stdout, done.stderr) == (0, "TypeError\n", "")


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_classes_are_final(cls):
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy])
def test_copies_are_refused(copier):
    sampler = vc.TournamentMCMC(n_chains=2, n_warmup=2, n_deep=2)
    x = np.linspace(-1.0, 1.0, 20)
    result = sampler.fit(np.vander(x, 3, increasing=True), x**2)
    for obj in (sampler, result, result.gibbs):
        with pytest.raises(TypeError):
            copier(obj)
