"""Memory: flat over many calls of every entry, one working copy in mad, aligned vectors read
in place, and hopeless N-D penalty requests refused before anything large is allocated."""

import os
import subprocess
import sys

import numpy as np
import pytest

import vasq_core as vc

rng = np.random.default_rng(5)
N = 10_000  # a leaked copy of an input of this size per call shows within a few hundred calls
y = rng.standard_normal(N)
X = np.vander(np.linspace(-1.0, 1.0, N), 4, increasing=True)
R = np.diag([0.0, 1.0, 2.0, 3.0])
beta = np.array([1.0, -2.0, 0.5, 0.25])
E = rng.standard_normal(N)


def fit():
    return vc.TournamentMCMC(4, 3, 3, 2).fit(X, y, R, R, 1e-3, 1e-3)


def read_result():
    result = fit()
    return result.beta_mcmc.sum() + result.gibbs.H + result.energy


# Per entry: a call that returns and one that raises.
CALLS = {
    "mad": (lambda: vc.mad(y), lambda: vc.mad(X)),
    "compute_sr": (lambda: vc.compute_sr(y, y, 0.1), lambda: vc.compute_sr(y[:-1], y, 0.1)),
    "mdl_score": (lambda: vc.mdl_score(y, y, 3), lambda: vc.mdl_score(y[:-1], y, 3)),
    "mdl_score_reg": (lambda: vc.mdl_score_reg(y, y, 4, 20, beta, R, R, 1.0, 1.0),
                      lambda: vc.mdl_score_reg(y, y, 4, 20, beta[:3], R, R, 1.0, 1.0)),
    "design_matrix_1d": (lambda: vc.design_matrix_1d(3, y), lambda: vc.design_matrix_1d(-1, y)),
    "smoothness_penalty_matrices_1d": (lambda: vc.smoothness_penalty_matrices_1d(5, 0.0, 1.0),
                                       lambda: vc.smoothness_penalty_matrices_1d(5, 0.0, 1.0, 1)),
    "boundary_reduce_1d": (lambda: vc.boundary_reduce_1d(40, 0.0, 1.0),
                           lambda: vc.boundary_reduce_1d(-2, 0.0, 1.0)),
    "design_matrix_nd": (lambda: vc.design_matrix_nd([[1, 2], [0, 3]], [y, E]),
                         lambda: vc.design_matrix_nd([[1, 2]], [y, E[:-1]])),
    "build_penalty_matrices_nd": (
        lambda: vc.build_penalty_matrices_nd([2, 2], [(0.0, 1.0), (0.0, 1.0)], 12),
        lambda: vc.build_penalty_matrices_nd([1] * 24, [(0.0, 1.0)] * 24, 2)),
    "ols": (lambda: vc.ols(X, y), lambda: vc.ols(X, y[:-1])),
    "fit_regularized_linear": (lambda: vc.fit_regularized_linear(X, y, R, R, 1e-3, 1e-3),
                               lambda: vc.fit_regularized_linear(X, y, "R")),
    "GibbsResult": (lambda: vc.gibbs_entropy(E).H, lambda: vc.GibbsResult.__new__(vc.GibbsResult)),
    "gibbs_entropy": (lambda: vc.gibbs_entropy(E), lambda: vc.gibbs_entropy(X)),
    "MCMCResult": (read_result, lambda: vc.MCMCResult.__new__(vc.MCMCResult)),
    "TournamentMCMC": (lambda: vc.TournamentMCMC(), lambda: vc.TournamentMCMC(seed=-1)),
    "TournamentMCMC.fit": (fit, lambda: vc.TournamentMCMC(-1).fit(X, y)),
}


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def repeat(calls, count):
    good, bad = calls
    for _ in range(count):
        good()
        with pytest.raises((ValueError, TypeError, RuntimeError, MemoryError)):
            bad()


@pytest.mark.parametrize("entry", CALLS)
def test_resident_memory_stays_flat(entry, calls_per_entry, address_sanitizer, resident_growth):
    if address_sanitizer:
        pytest.skip("the sanitizer's quarantine holds freed memory")
    repeat(CALLS[entry], 20)  # caches and allocator pools reach their steady size
    before = resident_bytes()
    repeat(CALLS[entry], calls_per_entry)
    resident_growth[entry] = resident_bytes() - before
    assert resident_growth[entry] < 8 * 2**20


def peak_growth(call, setup):
    """Growth of the peak resident size, in bytes, over `call` in a fresh interpreter.

    VmHWM, not ru_maxrss: a child started by vfork inherits the parent's ru_maxrss across
    exec, so below the size of the test process any growth read as 0.
    """
    script = f"""
import numpy as np, vasq_core as vc
def peak():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
{setup}
vc.mad([1.0, 2.0])
before = peak()
try:
    {call}
except MemoryError:
    print("MemoryError")
print((peak() - before) * 1024)
"""
    path = os.pathsep.join([os.path.dirname(vc.__file__), *sys.path])
    done = subprocess.run([sys.executable, "-c", script], env=dict(os.environ, PYTHONPATH=path),
                          capture_output=True, text=True, check=True, timeout=120)
    return done.stdout.split()


def test_mad_needs_one_copy_of_its_input():
    n = 10_000_000  # 80 MB
    growth = peak_growth("vc.mad(y)", f"y = np.random.default_rng(0).standard_normal({n})")
    assert int(growth[-1]) < 1.5 * 8 * n


def test_vectors_are_read_in_place_where_aligned():
    # Contiguous float64 rows aligned as Eigen's storage are read in NumPy's memory; a view
    # 8 bytes off is copied (its sums would round differently). The design of one column is
    # as large as a copy of x.
    n = 10_000_000
    setup = f"x = np.empty({n}); x.fill(0.5)"  # no temporary raises the peak before the call
    growth = peak_growth("vc.design_matrix([x], [[0]])", setup)
    assert int(growth[-1]) < 1.5 * 8 * n
    growth = peak_growth("vc.design_matrix([x[1:]], [[0]])", setup)
    assert int(growth[-1]) > 1.75 * 8 * n, growth


@pytest.mark.parametrize(("degrees", "d"), [([1] * 24, 2), ([2] * 15, 2), ([1] * 20, 30)])
def test_hopeless_penalty_request_fails_before_allocating(degrees, d):
    call = f"vc.build_penalty_matrices_nd({degrees}, [(0.0, 1.0)] * {len(degrees)}, {d})"
    outcome, growth = peak_growth(call, "")
    assert outcome == "MemoryError"
    assert int(growth) < 32 * 2**20
