"""Quick checks of the high-breakdown fit on structured contamination, short series and speed.

    python benchmarks/robust_targets.py [SECTION ...] [--disable STAGE ...] [--large]

Sections: contamination (a cubic with 10-45 % of the points on a shadow curve 10-35 noise sd
off, or a block of 30-40 % of the x range shifted down), leverage (5-20 % of the points far
outside the x range with wrong y, one and three features, degree 1), short (clean and
one-outlier quadratics with 8-14 points, max_degree = n / 2, and sine data with n = 60 and
max_degree = 29), speed (a default fit of 400 points against statsmodels' RLM at the true
degree; --large adds one feature with 10^6 points and the resident memory it takes).
--disable switches stages off as benchmarks/bench_quality.py's ablation does. Ten seeds
each; RMSE against the truth, relative to least squares on the clean points.
"""

from __future__ import annotations

import argparse
import os
import resource
import time

import numpy as np
from numpy.polynomial import polynomial as P

from vasq import RobustPolynomialRegressor

CUBIC = [1.0, 4.0, -1.5, 0.12]
QUADRATIC = [1.0, -0.8, 0.12]


def estimator(disabled: frozenset[str], **params: object) -> RobustPolynomialRegressor:
    model = RobustPolynomialRegressor(**params)
    model._disabled_stages = disabled
    return model


def contamination(disabled: frozenset[str]) -> None:
    grid = np.linspace(0.0, 10.0, 1001)
    for kind, shares in (("shadow", (0.1, 0.2, 0.3, 0.4, 0.45)), ("block", (0.3, 0.35, 0.4))):
        for share in shares:
            ratios, right = [], 0
            for seed in range(10):
                rng = np.random.default_rng(seed)
                sd = 0.3
                x = np.sort(rng.uniform(0.0, 10.0, 400))
                y = P.polyval(x, CUBIC) + rng.normal(0.0, sd, x.size)
                offset = rng.uniform(10.0, 35.0) * sd
                if kind == "shadow":
                    out = rng.random(x.size) < share
                    y[out] += offset * (1.0 if seed % 2 else -1.0)
                else:
                    start = rng.uniform(0.0, 10.0 - 10.0 * share)
                    out = (x > start) & (x < start + 10.0 * share)
                    y[out] -= offset
                model = estimator(disabled, random_state=seed).fit(x[:, None], y)
                oracle = P.polyfit(x[~out], y[~out], 3)
                truth = P.polyval(grid, CUBIC)
                error = np.sqrt(np.mean((model.predict(grid[:, None]) - truth) ** 2))
                best = np.sqrt(np.mean((P.polyval(grid, oracle) - truth) ** 2))
                ratios.append(error / best)
                right += model.degree_ == 3
            print(
                f"{kind} {share:.2f}: RMSE / oracle median {np.median(ratios):.2f} "
                f"worst {max(ratios):.1f}, true degree {right}/10"
            )


def leverage(disabled: frozenset[str]) -> None:
    for n_features in (1, 3):
        for share in (0.05, 0.1, 0.2):
            planted, clean = [], []
            for seed in range(10):
                rng = np.random.default_rng(seed)
                X = rng.uniform(0.0, 10.0, (200, n_features))
                beta = rng.normal(0.0, 1.0, n_features)
                y = 2.0 + X @ beta + rng.normal(0.0, 0.5, 200)
                out = rng.random(200) < share
                X[out] = rng.uniform(30.0, 40.0, (out.sum(), n_features))
                y[out] = 2.0 + X[out] @ beta - 25.0 + rng.normal(0.0, 1.0, out.sum())
                model = estimator(disabled, degree=1, random_state=seed).fit(X, y)
                planted.append(np.mean(~model.inlier_mask_[out]))
                clean.append(np.mean(~model.inlier_mask_[~out]))
            print(
                f"leverage, {n_features} feature(s), {share:.0%}: planted flagged "
                f"{np.mean(planted):.1%}, clean flagged {np.mean(clean):.1%}"
            )


def short(disabled: frozenset[str]) -> None:
    off = total = 0
    for n in (8, 10, 12, 14):
        for outlier in (False, True):
            for seed in range(25):
                rng = np.random.default_rng(1000 * n + seed + 500 * outlier)
                sd = 0.2
                x = np.sort(rng.uniform(0.0, 10.0, n))
                y = P.polyval(x, QUADRATIC) + rng.normal(0.0, sd, n)
                if outlier:
                    y[rng.integers(n)] += rng.choice([-1.0, 1.0]) * rng.uniform(10.0, 30.0) * sd
                model = estimator(disabled, max_degree=n // 2, random_state=seed)
                model.fit(x[:, None], y)
                grid = np.linspace(x.min(), x.max(), 200)
                error = np.abs(model.predict(grid[:, None]) - P.polyval(grid, QUADRATIC))
                off += error.max() > 3.0 * sd
                total += 1
    print(f"short series: {off}/{total} fits off by more than 3 sd inside the data")
    rng = np.random.default_rng(0)
    x = np.sort(rng.uniform(0.0, 10.0, 60))
    y = np.sin(x) + rng.normal(0.0, 0.05, 60)
    model = estimator(disabled, max_degree=29, random_state=0).fit(x[:, None], y)
    grid = np.linspace(x.min(), x.max(), 500)
    error = np.sqrt(np.mean((model.predict(grid[:, None]) - np.sin(grid)) ** 2))
    print(f"sine, n = 60, max_degree = 29: degree {model.degree_}, RMSE {error:.3f}")


def speed(disabled: frozenset[str], large: bool) -> None:
    import statsmodels.api as sm

    sizes = (400, 10**6) if large else (400,)
    for n in sizes:
        rng = np.random.default_rng(0)
        x = rng.uniform(0.0, 10.0, n)
        y = P.polyval(x, CUBIC) + rng.normal(0.0, 0.3, n)
        y[rng.random(n) < 0.2] += 10.0
        repeat = 20 if n <= 1000 else 1
        resident = int(open("/proc/self/statm").read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
        start = time.perf_counter()
        for _ in range(repeat):
            estimator(disabled, random_state=0).fit(x[:, None], y)
        ours = (time.perf_counter() - start) / repeat
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
        start = time.perf_counter()
        for _ in range(repeat):
            sm.RLM(y, np.vander(x, 4, increasing=True), M=sm.robust.norms.TukeyBiweight()).fit()
        rlm = (time.perf_counter() - start) / repeat
        line = f"n = {n}: ours {ours * 1e3:.1f} ms, RLM at degree 3 {rlm * 1e3:.1f} ms"
        line += f", ratio {ours / rlm:.2f}"
        if n > 1000:  # the process's peak above its size before the fit, against X and y
            growth = (peak - resident) / (x.nbytes + y.nbytes)
            line += f"; our peak memory {growth:.1f} x the input"
        print(line)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sections = ["contamination", "leverage", "short", "speed"]
    parser.add_argument("sections", nargs="*", default=sections)
    parser.add_argument("--disable", nargs="*", default=[])
    parser.add_argument("--large", action="store_true")
    args = parser.parse_args()
    disabled = frozenset(args.disable)
    threads = os.environ.get("OMP_NUM_THREADS", "default")
    print(f"OMP_NUM_THREADS={threads}, disabled: {sorted(disabled)}")
    checks = {"contamination": contamination, "leverage": leverage, "short": short}
    for section in args.sections:
        if section == "speed":
            speed(disabled, args.large)
        else:
            checks[section](disabled)


if __name__ == "__main__":
    main()
