"""TournamentMCMC.fit against the same tournament written with NumPy.

The default configuration on m = 1000 observations, a degree-5 basis and both penalties;
the warm-up speed-up is measured in fresh interpreters with 1 and 2 OpenMP threads.
"""

import os
import subprocess
import sys

import numpy as np

import vasq_core as vc
from _common import median_time, report, thread_report

M, DEG = 1000, 5
GAMMA1, GAMMA2 = 1e-3, 1e-4
CONFIG = dict(n_chains=25, n_warmup=200, n_deep=2000, n_elite=5, step_size=0.05, H_piH=20, seed=42)
WARMUP_ONLY = dict(n_chains=64, n_warmup=1000, n_deep=0)


def problem():
    """A noisy cubic with a fifth of gross outliers, its design matrix and a penalty pair."""
    rng = np.random.default_rng(0)
    x = np.linspace(-1.0, 1.0, M)
    y = x**3 - 0.5 * x + 0.02 * rng.standard_normal(M)
    outliers = rng.random(M) < 0.2
    y[outliers] += rng.normal(0.0, 2.0, outliers.sum())
    X = np.vander(x, DEG + 1, increasing=True)
    # Grid sums of squared first and second derivatives of the monomials on [-1, 1].
    t, e = np.linspace(-1.0, 1.0, 600), np.arange(DEG + 1)
    d1 = e * t[:, None] ** np.maximum(e - 1, 0)
    d2 = e * (e - 1) * t[:, None] ** np.maximum(e - 2, 0)
    h = t[1] - t[0]
    return X, y, d1.T @ d1 * h, d2.T @ d2 * h


def numpy_tournament(X, y, R1, R2, n_chains, n_warmup, n_deep, n_elite, step_size, H_piH, seed):
    """The same phases and energy evaluations, with NumPy's generator for the deviates."""
    m, p = X.shape
    med = np.median(y)
    s = np.median(np.abs(y - med))
    eps = 0.4 * s if s > 0 else 0.4
    model = p * p * np.log(2.0 * H_piH) / m

    def energy(b):
        sr = max(np.count_nonzero(np.abs(X @ b - y) < eps) / m, 0.5 / m)
        return model - m * np.log(sr) + GAMMA1 * (b @ R1 @ b) + GAMMA2 * (b @ R2 @ b)

    def step(b, E, T, sigma, rng):
        b2 = b + rng.normal(0.0, sigma, p)
        E2 = energy(b2)
        if E > E2 or np.exp(min((E - E2) / T, 0.0)) > rng.random():
            return b2, E2
        return b, E

    chains = []
    for c in range(n_chains):
        rng = np.random.default_rng(seed + 1000 * c)
        b = rng.normal(0.0, 0.5, p)
        E, T = energy(b), 2.0
        for _ in range(n_warmup):
            b, E = step(b, E, T, step_size, rng)
            T *= 0.995
        chains.append((b, E))
    energies = np.array([E for _, E in chains])
    w = np.exp(-(energies - energies.min()))
    prob = w / w.sum()
    He = -np.dot(np.log(prob + 1e-300), prob) / np.log(max(n_chains, 2))
    ranked = sorted(chains, key=lambda chain: chain[1])
    elites = [ranked[0]]
    for b, E in ranked[1:]:
        if len(elites) >= n_elite:
            break
        if all(np.linalg.norm(b - e) > 0.1 for e, _ in elites):
            elites.append((b, E))
    elites += ranked[len(elites) : min(n_elite, n_chains)]
    best, T = ranked[0], 0.5 * (0.99 * He + 0.01)
    for j, (b, E) in enumerate(elites):
        rng = np.random.default_rng(seed + 13 * j + 7777)
        for _ in range(n_deep):
            b, E = step(b, E, T, 0.3 * step_size, rng)
            if best[1] > E:
                best = (b, E)
            T *= 0.9997
    return best


WARMUP_TIMER = f"""
import sys
sys.path[:0] = {sys.path!r}
import vasq_core
from bench_mcmc import problem, GAMMA1, GAMMA2
from _common import median_time
X, y, R1, R2 = problem()
sampler = vasq_core.TournamentMCMC(**{WARMUP_ONLY!r})
print(median_time(lambda: sampler.fit(X, y, R1, R2, GAMMA1, GAMMA2)))
"""


def warmup_time(threads):
    env = dict(os.environ, OMP_NUM_THREADS=str(threads))
    done = subprocess.run(
        [sys.executable, "-c", WARMUP_TIMER], env=env, capture_output=True, text=True, check=True
    )
    return float(done.stdout)


if __name__ == "__main__":
    print(thread_report())
    X, y, R1, R2 = problem()
    sampler = vc.TournamentMCMC(**CONFIG)
    ours = median_time(lambda: sampler.fit(X, y, R1, R2, GAMMA1, GAMMA2))
    numpy = median_time(lambda: numpy_tournament(X, y, R1, R2, **CONFIG), repeat=3)
    c = CONFIG
    evaluations = c["n_chains"] * (c["n_warmup"] + 1) + c["n_elite"] * c["n_deep"]
    ours_energy = sampler.fit(X, y, R1, R2, GAMMA1, GAMMA2).energy
    numpy_energy = numpy_tournament(X, y, R1, R2, **CONFIG)[1]
    report(
        f"tournament defaults, m={M}, degree {DEG}, R1+R2",
        ours,
        numpy,
        f"energy {ours_energy:.4f} (numpy {numpy_energy:.4f})",
    )
    print(
        f"energy evaluations: {evaluations} per fit, {evaluations / ours:,.0f}/s "
        f"(numpy {evaluations / numpy:,.0f}/s)"
    )
    one, two = warmup_time(1), warmup_time(2)
    print(
        f"warm-up only {WARMUP_ONLY}: 1 thread {one * 1e3:.1f} ms, 2 threads {two * 1e3:.1f} ms, "
        f"speed-up x{one / two:.2f}"
    )
