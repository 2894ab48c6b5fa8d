"""TournamentMCMC.fit against the same tournament written with NumPy, two ways.

Vectorised NumPy is the way a competent NumPy user writes it: the warm-up chains advance in
lock-step with one X @ B product per step for all of them, then the deep chains do the same
with their temperatures precomputed; buffers are reused and the number of energy
evaluations is the same as ours. Per-step NumPy runs one chain at a time with one X @ b per
energy evaluation, as a direct port of the algorithm would.

The default configuration on a degree-5 basis with both penalties, for m = 100, 1000 and
100,000 observations. Our fit is timed in fresh interpreters with 1 and 2 OpenMP threads,
and with the baseline x86-64 kernel forced on 1 thread, in interleaved rounds; NumPy runs
with its BLAS's default thread count.
"""

import json
import os
import statistics
import subprocess
import sys

import numpy as np
from _common import median_time, thread_report

import vasq_core as vc

SIZES = (100, 1000, 100_000)
DEG = 5
GAMMA1, GAMMA2 = 1e-3, 1e-4
CONFIG = dict(n_chains=25, n_warmup=200, n_deep=2000, n_elite=5, step_size=0.05, H_piH=20, seed=42)
ROUNDS = 3  # interleaved rounds of our three settings


def repeats(m):
    """Timed calls per measurement: fewer for the large problem."""
    return 5 if m <= 1000 else 2


def numpy_repeats(m):
    """Timed calls and warm-up calls of a NumPy tournament: one of each is minutes at 100,000."""
    return (3, 1) if m <= 1000 else (1, 0)


def problem(m):
    """A noisy cubic with a fifth of gross outliers, its design matrix and a penalty pair."""
    rng = np.random.default_rng(0)
    x = np.linspace(-1.0, 1.0, m)
    y = x**3 - 0.5 * x + 0.02 * rng.standard_normal(m)
    outliers = rng.random(m) < 0.2
    y[outliers] += rng.normal(0.0, 2.0, outliers.sum())
    X = np.vander(x, DEG + 1, increasing=True)
    # Grid sums of squared first and second derivatives of the monomials on [-1, 1].
    t, e = np.linspace(-1.0, 1.0, 600), np.arange(DEG + 1)
    d1 = e * t[:, None] ** np.maximum(e - 1, 0)
    d2 = e * (e - 1) * t[:, None] ** np.maximum(e - 2, 0)
    h = t[1] - t[0]
    return X, y, d1.T @ d1 * h, d2.T @ d2 * h


def evaluations(n_chains, n_warmup, n_deep, n_elite, **_):
    return n_chains * (n_warmup + 1) + min(n_elite, n_chains) * n_deep


def tolerance(y):
    s = np.median(np.abs(y - np.median(y)))
    return 0.4 * s if s > 0 else 0.4


def gibbs_heat(E):
    w = np.exp(-(E - E.min()))
    prob = w / w.sum()
    He = -np.dot(np.log(prob + 1e-300), prob) / np.log(max(len(E), 2))
    return 0.99 * He + 0.01


def elite_indices(B, order, n_elite):
    """Rank 0, ranks farther than 0.1 from every elite, then fill-up by rank."""
    elites = [order[0]]
    for c in order[1:]:
        if len(elites) >= n_elite:
            break
        if all(np.linalg.norm(B[:, c] - B[:, e]) > 0.1 for e in elites):
            elites.append(c)
    elites += list(order[len(elites) : min(n_elite, len(order))])
    return elites


def vectorised_tournament(X, y, R1, R2, n_chains, n_warmup, n_deep, n_elite, step_size, H_piH,
                          seed):
    """All chains of a phase in lock-step: coefficients are the columns of a p x n matrix,
    predictions the rows of an n x m one, so that each chain's hits are counted along
    contiguous memory; both penalties are one weighted matrix."""
    m, p = X.shape
    rng = np.random.default_rng(seed)
    eps, model, floor = tolerance(y), p * p * np.log(2.0 * H_piH) / m, 0.5 / m
    XT, R = np.ascontiguousarray(X.T), GAMMA1 * R1 + GAMMA2 * R2

    def energy_of(n):
        """The energy of n chains at once, in buffers allocated once per phase."""
        YP, HIT, RB = np.empty((n, m)), np.empty((n, m), dtype=bool), np.empty((p, n))

        def energy(B):
            np.matmul(B.T, XT, out=YP)
            np.subtract(YP, y, out=YP)
            np.abs(YP, out=YP)
            np.less(YP, eps, out=HIT)
            E = model - m * np.log(np.maximum(np.count_nonzero(HIT, axis=1) / m, floor))
            np.matmul(R, B, out=RB)
            E += np.einsum("ij,ij->j", B, RB)
            return E

        return energy

    def step(B, E, T, sigma, energy):
        B2 = B + rng.normal(0.0, sigma, B.shape)
        E2 = energy(B2)
        accept = (E > E2) | (np.exp(np.minimum((E - E2) / T, 0.0)) > rng.random(E.shape))
        B[:, accept] = B2[:, accept]
        E[accept] = E2[accept]

    energy = energy_of(n_chains)
    B = rng.normal(0.0, 0.5, (p, n_chains))
    E, T = energy(B), 2.0
    for _ in range(n_warmup):
        step(B, E, T, step_size, energy)
        T *= 0.995
    order = np.argsort(E, kind="stable")
    elites = elite_indices(B, order, n_elite)
    n = len(elites)
    energy = energy_of(n)
    Bd, Ed = B[:, elites].copy(), E[elites].copy()
    T = 0.5 * gibbs_heat(E) * 0.9997 ** (np.arange(n) * max(n_deep, 0))
    best_B, best_E = Bd.copy(), np.full(n, np.inf)
    for _ in range(n_deep):
        step(Bd, Ed, T, 0.3 * step_size, energy)
        lower = best_E > Ed
        best_B[:, lower] = Bd[:, lower]
        best_E[lower] = Ed[lower]
        T *= 0.9997
    j = int(np.argmin(best_E))
    if E[order[0]] > best_E[j]:
        return best_B[:, j], best_E[j]
    return B[:, order[0]], E[order[0]]


def per_step_tournament(X, y, R1, R2, n_chains, n_warmup, n_deep, n_elite, step_size, H_piH, seed):
    """One chain at a time, one energy evaluation per call."""
    m, p = X.shape
    eps, model = tolerance(y), p * p * np.log(2.0 * H_piH) / m

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
    B, E = np.array([b for b, _ in chains]).T, np.array([E for _, E in chains])
    order = np.argsort(E, kind="stable")
    elites = elite_indices(B, order, n_elite)
    best, T = chains[order[0]], 0.5 * gibbs_heat(E)
    for j, c in enumerate(elites):
        rng = np.random.default_rng(seed + 13 * j + 7777)
        b, e = chains[c]
        for _ in range(n_deep):
            b, e = step(b, e, T, 0.3 * step_size, rng)
            if best[1] > e:
                best = (b, e)
            T *= 0.9997
    return best


CHILD = f"""
import json, sys
sys.path[:0] = {sys.path!r}
import vasq_core
from bench_mcmc import CONFIG, GAMMA1, GAMMA2, SIZES, problem, repeats
from _common import median_time
sampler = vasq_core.TournamentMCMC(**CONFIG)
times = {{}}
for m in SIZES:
    X, y, R1, R2 = problem(m)
    times[m] = median_time(lambda: sampler.fit(X, y, R1, R2, GAMMA1, GAMMA2), repeats(m))
print(json.dumps(times))
"""

SETTINGS = {
    "1 thread": dict(OMP_NUM_THREADS="1"),
    "2 threads": dict(OMP_NUM_THREADS="2"),
    "1 thread, baseline ISA": dict(OMP_NUM_THREADS="1", VASQ_KERNEL="baseline"),
}


def our_times():
    """Median fit time per setting and size over interleaved rounds of fresh interpreters."""
    samples = {name: {m: [] for m in SIZES} for name in SETTINGS}
    for _ in range(ROUNDS):
        for name, env in SETTINGS.items():
            done = subprocess.run(
                [sys.executable, "-c", CHILD],
                env=dict(os.environ, **env),
                capture_output=True,
                text=True,
                check=True,
            )
            for m, t in json.loads(done.stdout).items():
                samples[name][int(m)].append(t)
    return {name: {m: statistics.median(ts) for m, ts in by_m.items()}
            for name, by_m in samples.items()}


def isa_report():
    with open("/proc/cpuinfo") as cpuinfo:
        info = dict(line.split(":", 1) for line in cpuinfo if ":" in line)
    flags = set(info.get("flags\t\t", "").split())
    model = info.get("model name\t", "?").strip()
    have = ", ".join(f"{f} {'yes' if f in flags else 'no'}" for f in ("avx2", "fma", "avx512f"))
    kernel = "AVX2" if "avx2" in flags else "baseline x86-64"
    return f"CPU: {model}; {have}; energy kernel: {kernel} (no FMA on any path)"


if __name__ == "__main__":
    print(thread_report())
    print(isa_report())
    c = CONFIG
    print(f"config {c}, degree {DEG}, R1 + R2; {evaluations(**c)} energy evaluations per fit")
    ours = our_times()
    header = (
        f"{'m':>7} | {'1 thread':>9} {'2 threads':>9} {'x1->2':>6} {'baseline':>9} | "
        f"{'vectorised':>10} {'ratio':>6} | {'per-step':>9} {'ratio':>6} | "
        "energies (ours, vec., step)"
    )
    print("times in ms, medians; ratio = NumPy time / our 2-thread time")
    print(header)
    print("-" * len(header))
    for m in SIZES:
        X, y, R1, R2 = problem(m)
        sampler = vc.TournamentMCMC(**CONFIG)
        args = (X, y, R1, R2)
        vec = median_time(lambda: vectorised_tournament(*args, **CONFIG), *numpy_repeats(m))
        step = median_time(lambda: per_step_tournament(*args, **CONFIG), *numpy_repeats(m))
        one, two = ours["1 thread"][m], ours["2 threads"][m]
        base = ours["1 thread, baseline ISA"][m]
        energies = "(not rerun)"
        if m <= 1000:
            energies = ", ".join(
                f"{e:.2f}"
                for e in (
                    sampler.fit(X, y, R1, R2, GAMMA1, GAMMA2).energy,
                    vectorised_tournament(*args, **CONFIG)[1],
                    per_step_tournament(*args, **CONFIG)[1],
                )
            )
        print(
            f"{m:>7} | {one * 1e3:9.2f} {two * 1e3:9.2f} {one / two:6.2f} {base * 1e3:9.2f} | "
            f"{vec * 1e3:10.2f} {vec / two:6.1f} | {step * 1e3:9.1f} {step / two:6.1f} | "
            + energies,
            flush=True,
        )
