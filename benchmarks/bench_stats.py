"""mad and compute_sr on 10^6 entries against the same computation in NumPy."""

import numpy as np
from _common import median_time, report, thread_report

import vasq_core as vc

N = 1_000_000


def numpy_mad(y):
    return np.median(np.abs(y - np.median(y)))


def numpy_sr(yp, yt, eps):
    return max(np.mean(np.abs(yp - yt) < eps), 1 / (2 * yt.size))


def main():
    rng = np.random.default_rng(0)
    yt = rng.normal(size=N)
    yp = yt + rng.standard_t(3, size=N) * 0.1
    assert vc.mad(yt) == numpy_mad(yt)
    assert vc.compute_sr(yp, yt, 0.05) == numpy_sr(yp, yt, 0.05)

    print(thread_report())
    report(f"mad, n = {N}", median_time(lambda: vc.mad(yt)), median_time(lambda: numpy_mad(yt)))
    report(f"compute_sr, n = {N} (includes copying both inputs)",
           median_time(lambda: vc.compute_sr(yp, yt, 0.05)),
           median_time(lambda: numpy_sr(yp, yt, 0.05)))


if __name__ == "__main__":
    main()
