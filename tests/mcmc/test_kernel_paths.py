"""The energy kernel's baseline x86-64 and AVX2 builds give the same fits, bit for bit."""

import json
import os
import subprocess
import sys

import pytest

import vasq_core

# Rows below, at and around the blocks of both builds (16 and 32 rows) and their tails;
# columns from none to the widest the kernel serves and one beyond, where Eigen's own
# product takes over.
SHAPES = [(m, p) for m in (1, 3, 16, 31, 32, 33, 100, 1001) for p in (0, 1, 2, 6, 9, 17)]
SHAPES += [(40, 127), (70, 130)]

FITS = f"""
import json
import numpy as np, vasq_core

def fits():
    out = []
    for m, p in {SHAPES!r}:
        for seed in range(3):
            rng = np.random.default_rng(seed)
            x = np.linspace(-1.3, 1.3, m)
            X = np.vander(x, p, increasing=True) * rng.choice([1.0, 1e150, 1e-150], size=p)
            y = np.sin(3.0 * x) + 0.2 * rng.standard_normal(m)
            if m > 5:
                # Huge, tiny, subnormal, signed zero and infinite entries; a NaN observation.
                X[m // 2, :] *= 2.0 ** rng.integers(-500, 500, size=p)
                X[2, :] = [5e-324, -0.0, np.inf, 1e-310][: p] + [0.5] * max(p - 4, 0)
                y[m // 3] = np.nan
            R = np.diag(np.linspace(0.0, 1.0, p))
            sampler = vasq_core.TournamentMCMC(4, 10, 20, 3, 0.2, 20, 17 * m + p + 1000 * seed)
            r = sampler.fit(X, y, R, R, 1e-3, 1e-4)
            out.append([v.hex() for v in [*r.beta_mcmc, r.energy, r.gibbs.r_heat]])
    return out

print(json.dumps(fits()))
"""


def has_avx2():
    with open("/proc/cpuinfo") as cpuinfo:
        return any(line.startswith("flags") and " avx2" in line for line in cpuinfo)


def run(kernel):
    path = os.pathsep.join([os.path.dirname(vasq_core.__file__), *sys.path])
    env = {k: v for k, v in os.environ.items() if k != "VASQ_KERNEL"}
    # One thread: this compares kernels, the thread count has its own test.
    env.update(PYTHONPATH=path, OMP_NUM_THREADS="1", **({"VASQ_KERNEL": kernel} if kernel else {}))
    done = subprocess.run(
        [sys.executable, "-c", FITS], env=env, capture_output=True, text=True, check=True
    )
    return done.stdout


@pytest.mark.skipif(not os.path.exists("/proc/cpuinfo") or not has_avx2(), reason="no AVX2")
def test_baseline_and_avx2_kernels_give_the_same_fits():
    avx2, baseline = run(None), run("baseline")
    assert len(json.loads(avx2)) == 3 * len(SHAPES)
    assert avx2 == baseline
