"""Independent pure-Python tournament, written from the algorithm's definition.

Every sum is accumulated left to right, as the native code's products do for p <= 3, so
that results can be compared bit for bit.
"""

from __future__ import annotations

import math
from types import SimpleNamespace

import numpy as np

MASK64 = (1 << 64) - 1


class MT64:
    """MT19937-64 with the standard seeding rule."""

    N, M = 312, 156
    UPPER, LOWER = 0xFFFFFFFF80000000, 0x7FFFFFFF

    def __init__(self, seed: int) -> None:
        mt = [seed & MASK64]
        for i in range(1, self.N):
            prev = mt[-1]
            mt.append((6364136223846793005 * (prev ^ (prev >> 62)) + i) & MASK64)
        self.mt, self.i = mt, self.N

    def _twist(self) -> None:
        mt = self.mt
        for k in range(self.N):
            x = (mt[k] & self.UPPER) | (mt[(k + 1) % self.N] & self.LOWER)
            mt[k] = mt[(k + self.M) % self.N] ^ (x >> 1) ^ (0xB5026F5AA96619E9 if x & 1 else 0)
        self.i = 0

    def __call__(self) -> int:
        if self.i == self.N:
            self._twist()
        y = self.mt[self.i]
        self.i += 1
        y ^= (y >> 29) & 0x5555555555555555
        y ^= (y << 17) & 0x71D67FFFEDA60000
        y ^= (y << 37) & 0xFFF7EEE000000000
        return y ^ (y >> 43)


def uniform(engine: MT64) -> float:
    return (engine() >> 11) * 2.0**-53


class Normal:
    """Polar method, second deviate of each pair cached."""

    def __init__(self, mu: float, sigma: float) -> None:
        self.mu, self.sigma, self.cached = mu, sigma, None

    def __call__(self, engine: MT64) -> float:
        if self.cached is not None:
            z, self.cached = self.cached, None
            return z * self.sigma + self.mu
        while True:
            x1 = 2.0 * uniform(engine) - 1.0
            x2 = 2.0 * uniform(engine) - 1.0
            s = x1 * x1 + x2 * x2
            if s < 1.0 and x1 != 0.0 and x2 != 0.0:
                break
        if s > 1e-4:
            L = math.log(s)
        else:
            e = math.frexp(max(abs(x1), abs(x2)))[1] - 1  # ilogb
            x1, x2 = math.ldexp(x1, -e), math.ldexp(x2, -e)
            s = x1 * x1 + x2 * x2
            L = math.log(s) + e * 1.3862943611198906
        f = math.sqrt((-2.0 * L) / s)
        self.cached = f * x2
        return f * x1 * self.sigma + self.mu


def seq_sum(values) -> float:
    total = 0.0
    for v in values:
        total = total + v
    return total


def median(w) -> float:
    w, n = sorted(w), len(w)
    if n == 0:
        return 0.0
    return w[n // 2] if n % 2 else (w[n // 2 - 1] + w[n // 2]) * 0.5


def hit_tolerance(y) -> float:
    med = median(y)
    s = median([abs(v - med) for v in y])
    return s * 0.4 if s > 0 else 0.4


def quadratic_form(R, beta) -> float:
    v = [seq_sum(R[i, j] * beta[j] for j in range(len(beta))) for i in range(len(beta))]
    return seq_sum(beta[i] * v[i] for i in range(len(beta)))


def energy(X, y, beta, H, eps, penalties=()) -> float:
    """MDL energy; penalties is a sequence of (R, gamma), applied in order."""
    m, p = X.shape
    yp = np.zeros(m)
    for j in range(p):
        yp = yp + X[:, j] * beta[j]
    n = float(len(y))
    r = int(np.sum(eps > np.abs(yp - y))) / n
    f = 1.0 / (n + n)
    sr = f if f > r else r
    t = math.log(2.0 * H) * p if p > 0 else 0.0
    score = (t / n) * p - math.log(sr) * n
    for R, gamma in penalties:
        if gamma != 0.0 and R is not None:
            score = quadratic_form(R, beta) * gamma + score
    return score


def r_heat(E) -> float:
    w = [math.exp(-(e - min(E)) / (1.0 + 1e-300)) for e in E]
    Z = seq_sum(w)
    H = 0.0
    for wi in w:
        H = H - math.log(wi / Z + 1e-300) * (wi / Z)
    return H / (math.log(max(len(E), 2)) + 1e-300) * 0.99 + 0.01


def tournament(
    X, y, n_chains, n_warmup, n_deep, n_elite, step_size, H, seed, penalties=(), retemper=None
):
    """The result (beta, energy, r_heat) with the ranked warm-up states, the elite ranks,
    found_by, the deep chain that found beta (-1: none improved on rank 0), and
    deep_energies, the energies after each step of each deep chain.

    retemper, for tests that show a case depends on every temperature: a function of the
    elite index j and the temperature about to start deep chain j, returning the one to use
    (it carries over to the later chains)."""
    eps = hit_tolerance(y)

    def E(beta):
        return energy(X, y, beta, H, eps, penalties)

    def step(beta, e, T, proposal, engine):
        beta2 = beta.copy()
        for j in range(len(beta2)):
            beta2[j] = beta2[j] + proposal(engine)
        e2 = E(beta2)
        q = (e - e2) / T
        if e > e2 or math.exp(q if q < 0.0 else 0.0) > uniform(engine):
            return beta2, e2
        return beta, e

    chains = []
    for c in range(n_chains):
        engine = MT64(seed + 1000 * c)
        start = Normal(0.0, 0.5)
        beta = np.array([start(engine) for _ in range(X.shape[1])])
        e, proposal, T = E(beta), Normal(0.0, step_size), 2.0
        for _ in range(n_warmup):
            beta, e = step(beta, e, T, proposal, engine)
            T = T * 0.995
        chains.append((beta, e))
    heat = r_heat([e for _, e in chains])
    ranked = sorted(chains, key=lambda chain: chain[1])  # stable

    elites = [0]
    for i in range(1, n_chains):
        if len(elites) >= n_elite:
            break
        if not any(np.linalg.norm(ranked[i][0] - ranked[r][0]) <= 0.1 for r in elites):
            elites.append(i)
    while len(elites) < n_elite and len(elites) < n_chains:
        elites.append(len(elites))

    best, found_by, T, deep_energies = ranked[0], -1, 0.5 * heat, []
    for j, r in enumerate(elites):
        engine, proposal = MT64(seed + 13 * j + 7777), Normal(0.0, 0.3 * step_size)
        beta, e = ranked[r]
        if retemper is not None:
            T = retemper(j, T)
        deep_energies.append([])
        for _ in range(n_deep):
            beta, e = step(beta, e, T, proposal, engine)
            deep_energies[-1].append(e)
            if best[1] > e:
                best, found_by = (beta, e), j
            T = T * 0.9997
    return SimpleNamespace(
        beta=best[0],
        energy=best[1],
        r_heat=heat,
        ranked=ranked,
        elites=elites,
        found_by=found_by,
        deep_energies=deep_energies,
    )
