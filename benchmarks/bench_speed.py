"""Time of a default RobustPolynomialRegressor fit against statsmodels' robust fitters.

    python benchmarks/bench_speed.py [--repeat N] [--big N] [--quick]

1. n = 50, 400 and 10^4, one feature: a cubic with noise growing with x and a fifth of gross
   outliers either side (the second problem of bench_quality). Ours fits with default
   parameters, the degree searched among 0 ... 6; statsmodels RLM (Tukey's biweight) is
   handed the true degree, on the polynomial design of x mapped to [-1, 1], its construction
   included in its time, and at n = 400 so is RLMDetSMM (MM-estimator with deterministic
   S-estimator starts). The fitters run interleaved on `--repeat` samples (a quarter of them
   at 10^4), one fit each per sample; each table gives the median time per fit and the
   median of the per-sample ratios.
2. n = `--big` (default 10^6), one feature, the same problem: ours against RLM at the true
   degree, each fitter in a fresh child process, one fit each: wall time, and the growth of
   the child's peak resident size over the fit (VmHWM reset just before it), next to the
   input's size (X and y as float64). The MM-estimator is left out at this size.

Both sides run on this machine's threads as printed on the first line: our OpenMP team at
its default, NumPy's BLAS (the peers' linear algebra) as threadpoolctl reports it. The
machine may be shared with other work, so single timings are noisy; medians of interleaved
runs are quoted.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import time
import warnings

from _common import reset_peak_rss, status_kib, thread_report
from _problems import Problem, cubic, gross_outliers
from bench_quality import Fitter, mm, ours, rlm

TRUE_DEGREE = 3
FITTERS: dict[str, Fitter] = {
    "vasq, degree searched 0..6": ours(),
    f"statsmodels RLM biweight, deg {TRUE_DEGREE}": rlm,
    f"statsmodels RLMDetSMM (MM), deg {TRUE_DEGREE}": mm,
}


def problem(n: int) -> Problem:
    return gross_outliers(
        f"cubic, two-sided outliers, n = {n}", cubic, TRUE_DEGREE, 1, n, two_sided=True
    )


# The sizes of the interleaved table, each with its samples as a share of --repeat: a fit
# at 10^4 points takes about 25 times one at 400.
SIZES = {50: 1.0, 400: 1.0, 10**4: 0.25}
# Where the MM-estimator runs: at 10^4 points one fit takes several seconds.
MM_SIZE = 400


def mark(met: bool) -> str:
    return "met" if met else "MISSED"


def targets(n: int, ours_s: float, rlm_ratio: float, mm_ratio: float | None) -> str:
    """The targets of the table at n points, met or missed."""
    if n == 50:
        return (f"ours {ours_s * 1e3:.2f} ms (target <= 1 ms: {mark(ours_s <= 1e-3)}); "
                f"ours / RLM {rlm_ratio:.2f}")
    if n == MM_SIZE:
        assert mm_ratio is not None
        return (f"ours / RLM {rlm_ratio:.2f} (target <= 1: {mark(rlm_ratio <= 1)}; the "
                f"present bound <= 2: {mark(rlm_ratio <= 2)}); MM / ours {mm_ratio:.1f} "
                f"(target >= 20: {mark(mm_ratio >= 20)})")
    return f"ours / RLM {rlm_ratio:.2f} (no target)"


def small(repeat: int) -> None:
    for n, share in SIZES.items():
        fitters = dict(FITTERS) if n == MM_SIZE else dict(list(FITTERS.items())[:2])
        samples = max(3, round(repeat * share))
        times: dict[str, list[float]] = {label: [] for label in fitters}
        for seed in range(samples):  # fitters interleaved on each sample
            sample = problem(n).sample(seed)
            for label, fit in fitters.items():
                start = time.perf_counter()
                fit(sample, TRUE_DEGREE, seed)
                times[label].append(time.perf_counter() - start)
        ours_t, rlm_t, *mm_t = times.values()
        rlm_ratio = statistics.median(o / r for o, r in zip(ours_t, rlm_t, strict=True))
        mm_ratio = (statistics.median(m / o for o, m in zip(ours_t, mm_t[0], strict=True))
                    if mm_t else None)
        print(f"n = {n}, one feature, {samples} samples, median time per fit")
        for label, t in times.items():
            print(f"  {label:<40}{statistics.median(t) * 1e3:10.2f} ms")
        print(f"  {targets(n, statistics.median(ours_t), rlm_ratio, mm_ratio)}; medians of "
              "the per-sample ratios\n", flush=True)


def child(label: str, n: int) -> None:
    """Run in a fresh process: one fit on n points; print its time and memory as JSON."""
    warnings.simplefilter("ignore")
    sample = problem(n).sample(0)
    reset_peak_rss()
    before = status_kib("VmRSS:")
    start = time.perf_counter()
    FITTERS[label](sample, TRUE_DEGREE, 0)
    seconds = time.perf_counter() - start
    print(
        json.dumps(
            {
                "seconds": seconds,
                "growth_mib": (status_kib("VmHWM:") - before) / 1024,
                "peak_mib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
                "input_mib": (sample.X.nbytes + sample.y.nbytes) / 2**20,
            }
        )
    )


def big(n: int) -> None:
    print(f"n = {n}, one feature, one fit per fitter, each in a fresh process")
    results = {}
    for label in list(FITTERS)[:2]:
        run = subprocess.run(
            [sys.executable, __file__, "--child", label, str(n)],
            capture_output=True, text=True, check=True,
        )
        results[label] = json.loads(run.stdout.splitlines()[-1])
        r = results[label]
        print(
            f"  {label:<40}{r['seconds']:10.2f} s   peak grows {r['growth_mib']:8.1f} MiB "
            f"({r['growth_mib'] / r['input_mib']:5.1f} x the input's {r['input_mib']:.1f} MiB); "
            f"process peak {r['peak_mib']:.0f} MiB",
            flush=True,
        )
    ours_r, rlm_r = results.values()
    ratio = ours_r["seconds"] / rlm_r["seconds"]
    memory = ours_r["growth_mib"] / ours_r["input_mib"]
    print(
        f"  ours / RLM {ratio:.2f} (target <= 1: {mark(ratio <= 1)}); our peak growth "
        f"{memory:.1f} x the input (target <= 10: {mark(memory <= 10)})"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeat", type=int, default=21, help="samples at n = 50 and 400")
    parser.add_argument("--big", type=int, default=10**6, help="size of the large fit (0: none)")
    parser.add_argument("--quick", action="store_true", help="7 samples and a large fit of 10^5")
    parser.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child[0], int(args.child[1]))
        return
    warnings.simplefilter("ignore")  # the peers' convergence chatter
    print(thread_report())
    print("load average at start: {:.1f} {:.1f} {:.1f}; timings on a shared machine are "
          "noisy\n".format(*os.getloadavg()))
    small(7 if args.quick else args.repeat)
    if args.quick or args.big > 0:
        big(10**5 if args.quick else args.big)


if __name__ == "__main__":
    main()
