"""Design matrices and the N-D penalty pair against the same computations in NumPy."""

import functools
import itertools
import math
import subprocess
import sys

import numpy as np
import numpy.polynomial.polynomial as P
from _common import median_time, report, thread_report

import vasq_core as vc

N_1D, DEG_1D = 1_000_000, 10
N_ND, DEGREES, GRID = 100_000, [3, 3, 3], 30


def numpy_design_nd(multi_indices, X):
    """Powers of every dimension once, then one product of looked-up columns per basis function."""
    E = np.asarray(multi_indices)
    powers = [x[:, None] ** np.arange(E[:, k].max() + 1) for k, x in enumerate(X)]
    return functools.reduce(np.multiply, (p[:, E[:, k]] for k, p in enumerate(powers)))


def numpy_tables(t, deg):
    """Derivatives of order 0, 1, 2 of t^e, e = 0..deg, at the points t."""
    e = np.arange(deg + 1)
    return (t[:, None] ** e,
            np.where(e >= 1, e * t[:, None] ** np.maximum(e - 1, 0), 0.0),
            np.where(e >= 2, e * (e - 1) * t[:, None] ** np.maximum(e - 2, 0), 0.0))


def numpy_penalty_nd(degrees, bounds, d):
    """The same grid sums: Phi as a Kronecker product of table columns, Phi' Phi by matmul."""
    n = len(degrees)
    tables = [numpy_tables(np.linspace(a, b, d), g)
              for g, (a, b) in zip(degrees, bounds, strict=True)]
    K = math.prod((b - a) / (d - 1) for a, b in bounds)

    def gram(orders):
        Phi = functools.reduce(np.kron, (tables[k][o] for k, o in enumerate(orders)))
        return Phi.T @ Phi

    unit = np.eye(n, dtype=int)
    R1 = K * sum(gram(unit[q]) for q in range(n))
    R2 = K * sum(gram(unit[p] + unit[q]) for p in range(n) for q in range(n))
    return R1, R2


PEAK_MEMORY = """
import sys
sys.path[:0] = {path!r}
import vasq_core as vc

def status_kib(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field))

with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # resets the peak resident size to the current one
before = status_kib("VmRSS:")
vc.build_penalty_matrices_nd({degrees!r}, {bounds!r}, {grid!r})
print((status_kib("VmHWM:") - before) / 1024)
"""


def peak_memory_mb(degrees, bounds, grid):
    """Growth of the peak resident size of a fresh interpreter over one call, in MiB (Linux)."""
    code = PEAK_MEMORY.format(path=sys.path, degrees=degrees, bounds=bounds, grid=grid)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return float(done.stdout)


def main():
    rng = np.random.default_rng(0)
    print(thread_report())

    x = rng.uniform(-1.0, 1.0, size=N_1D)
    assert np.array_equal(vc.design_matrix_1d(DEG_1D, x), P.polyvander(x, DEG_1D))
    report(f"design_matrix_1d, n = {N_1D}, deg = {DEG_1D}",
           median_time(lambda: vc.design_matrix_1d(DEG_1D, x)),
           median_time(lambda: P.polyvander(x, DEG_1D)))

    X = list(rng.uniform(-1.0, 1.0, size=(len(DEGREES), N_ND)))
    multi = [list(m) for m in itertools.product(*(range(g + 1) for g in DEGREES))]
    assert np.allclose(vc.design_matrix_nd(multi, X), numpy_design_nd(multi, X), rtol=1e-14)
    report(f"design_matrix_nd, n = {N_ND}, {len(multi)} columns",
           median_time(lambda: vc.design_matrix_nd(multi, X)),
           median_time(lambda: numpy_design_nd(multi, X)))

    bounds = [(-1.0, 1.0), (0.0, 2.0), (-0.5, 1.5)]
    R1, R2, multi = vc.build_penalty_matrices_nd(DEGREES, bounds, GRID)
    for ours, theirs in zip((R1, R2), numpy_penalty_nd(DEGREES, bounds, GRID), strict=True):
        assert np.allclose(ours, theirs, rtol=1e-10, atol=1e-10 * np.abs(theirs).max())
    ours = median_time(lambda: vc.build_penalty_matrices_nd(DEGREES, bounds, GRID))
    n, M, G = len(DEGREES), len(multi), GRID ** len(DEGREES)
    # Multiply-add = 2 flops; only the lower triangle with its diagonal is formed.
    flops = (n * n + n) * G * M * (M + 1)
    report(f"build_penalty_matrices_nd, {DEGREES}, {GRID}^{n} grid", ours,
           median_time(lambda: numpy_penalty_nd(DEGREES, bounds, GRID)),
           f"rank updates {flops / ours / 1e9:.2f} GFLOP/s over the whole call")
    one_phi = G * M * 8 / 2**20
    growth = peak_memory_mb(DEGREES, bounds, GRID)
    print(f"build_penalty_matrices_nd peak memory growth {growth:.1f} MiB"
          f" (one evaluation matrix: {one_phi:.1f} MiB, outputs: {2 * M * M * 8 / 2**20:.2f} MiB)")


if __name__ == "__main__":
    main()
