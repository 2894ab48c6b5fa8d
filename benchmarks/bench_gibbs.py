"""gibbs_entropy against the same formulas written with NumPy.

NumPy evaluates exp and log with SIMD kernels; ours calls the C library's scalar exp
and log, whose bits the results are defined by.
"""

import numpy as np
from _common import median_time, report, thread_report

import vasq_core as vc

REPEAT = 11  # the machine is shared: more runs steady the medians


def numpy_gibbs(E, T):
    w = np.exp(-(E - E.min()) / (T + 1e-300))
    p = w / w.sum()
    H = -np.dot(np.log(p + 1e-300), p)
    Hmax = np.log(max(len(E), 2))
    He = H / (Hmax + 1e-300)
    return H, Hmax, He, He * 0.99 + 0.01, np.var(E), T


if __name__ == "__main__":
    print(thread_report())
    E = np.random.default_rng(0).standard_normal(1_000_000) * 5 + 100
    ours = median_time(lambda: vc.gibbs_entropy(E, 1.0), REPEAT)
    numpy = median_time(lambda: numpy_gibbs(E, 1.0), REPEAT)
    diff = abs(vc.gibbs_entropy(E, 1.0).H - numpy_gibbs(E, 1.0)[0])
    report("gibbs_entropy 10^6 energies", ours, numpy, f"|diff H| {diff:.1e}")
