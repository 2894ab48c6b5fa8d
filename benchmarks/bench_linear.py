"""ols and fit_regularized_linear against the same work done with NumPy.

NumPy's lstsq (LAPACK gelsd) reduces a tall X by blocked QR, bidiagonalises only the
n x n factor and applies the transformations to y without forming U; ols builds the
thin U and V that Eigen's solve() needs. NumPy's Phi.T @ Phi is a symmetric rank
update (half the flops); ours is Eigen's general product, which gives the bits that
the results are defined by.
"""

import numpy as np
from _common import median_time, report, thread_report

import vasq_core as vc

REPEAT = 11  # the machine is shared: more runs steady the medians


def bench_ols(m, n, label):
    rng = np.random.default_rng(0)
    X, y = rng.standard_normal((m, n)), rng.standard_normal(m)
    ours = median_time(lambda: vc.ols(X, y), REPEAT)
    numpy = median_time(lambda: np.linalg.lstsq(X, y, rcond=None), REPEAT)
    diff = np.abs(vc.ols(X, y) - np.linalg.lstsq(X, y, rcond=None)[0]).max()
    report(f"ols {m} x {n} ({label})", ours, numpy, f"max |diff| {diff:.1e}")


def numpy_regularized(Phi, y, R1, R2, gamma1, gamma2, ridge):
    n = len(y)
    A = Phi.T @ Phi
    A[np.diag_indices_from(A)] += ridge
    A += (n * gamma1) * R1
    A += (n * gamma2) * R2
    return np.linalg.solve(A, Phi.T @ y)


def bench_regularized(m, p):
    rng = np.random.default_rng(1)
    Phi, y = rng.standard_normal((m, p)), rng.standard_normal(m)
    B1, B2 = rng.standard_normal((p, p)), rng.standard_normal((p, p))
    args = (Phi, y, B1 @ B1.T, B2 @ B2.T, 1e-4, 1e-5, 1e-10)
    ours = median_time(lambda: vc.fit_regularized_linear(*args), REPEAT)
    numpy = median_time(lambda: numpy_regularized(*args), REPEAT)
    diff = np.abs(vc.fit_regularized_linear(*args) - numpy_regularized(*args)).max()
    report(f"fit_regularized_linear {m} x {p}, R1 and R2", ours, numpy, f"max |diff| {diff:.1e}")


if __name__ == "__main__":
    print(thread_report())
    bench_ols(100_000, 10, "Jacobi")
    bench_ols(2000, 200, "divide and conquer")
    bench_regularized(100_000, 20)
