"""Fit a noisy cubic with gross outliers three ways and pick the degree by MDL score.

    python examples/demo.py [DATA.csv] [--plot PATH]

Without a file the demo generates its own data: a cubic on [-1, 1], 300 points, small
Gaussian noise, and a quarter of the points replaced by gross outliers. A CSV file of
x,y pairs (one pair a line, an optional header line) can be given instead.

For every degree from 1 to 6 it fits ordinary least squares, penalised least squares with
the 1-D smoothness penalties, and the tournament of Metropolis chains, keeps for each method
the degree with the lowest MDL score, prints a table and writes a plot of data and fits.
"""

from __future__ import annotations

import argparse
import sys
import time
from dataclasses import dataclass
from pathlib import Path

import numpy as np

import vasq_core as vc

DEGREES = range(1, 7)
H = 20  # the MDL model-cost parameter, the same for scoring and for the sampler
GAMMA = 1e-6  # smoothness weights of the penalised fits (scaled by n inside)
TRUE_BETA = np.array([0.3, -1.0, 0.4, 1.6])  # 0.3 - x + 0.4 x^2 + 1.6 x^3


@dataclass
class Data:
    x: np.ndarray
    y: np.ndarray
    inlier: np.ndarray | None = None  # known only for the generated data

    def truth(self, x):
        return np.polynomial.polynomial.polyval(x, TRUE_BETA)


@dataclass
class Fit:
    method: str
    degree: int
    beta: np.ndarray
    score: float
    seconds: float


def generated_data(n=300, outlier_share=0.25, seed=2026) -> Data:
    rng = np.random.default_rng(seed)
    x = np.sort(rng.uniform(-1.0, 1.0, n))
    y = np.polynomial.polynomial.polyval(x, TRUE_BETA) + rng.normal(0.0, 0.05, n)
    outliers = rng.choice(n, size=int(outlier_share * n), replace=False)
    y[outliers] += rng.uniform(0.5, 2.0, outliers.size) * rng.choice([-1.0, 1.0], outliers.size)
    inlier = np.ones(n, dtype=bool)
    inlier[outliers] = False
    return Data(x, y, inlier)


def csv_data(path: Path) -> Data:
    try:
        with path.open() as f:
            first = f.readline()
        has_header = any(c.isalpha() and c not in "eE" for c in first)
        table = np.loadtxt(path, delimiter=",", skiprows=int(has_header), ndmin=2)
    except (OSError, ValueError) as e:
        raise SystemExit(f"error: cannot read {path}: {e}") from None
    if table.shape[1] != 2 or table.shape[0] < 8 or not np.isfinite(table).all():
        raise SystemExit(f"error: {path} must hold at least 8 finite x,y pairs, two per line")
    return Data(table[:, 0], table[:, 1])


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return result, time.perf_counter() - start


def fits_for_degree(data: Data, deg: int, sampler: vc.TournamentMCMC) -> list[Fit]:
    X = vc.design_matrix_1d(deg, data.x)
    R1, R2 = vc.smoothness_penalty_matrices_1d(deg, data.x.min(), data.x.max())
    k = deg + 1

    def fit(method, solve):
        beta, seconds = timed(solve)
        return Fit(method, deg, beta, vc.mdl_score(X @ beta, data.y, k, H), seconds)

    return [
        fit("least squares", lambda: vc.ols(X, data.y)),
        fit("penalised least squares",
            lambda: vc.fit_regularized_linear(X, data.y, R1, R2, GAMMA, GAMMA)),
        fit("tournament MCMC", lambda: sampler.fit(X, data.y, R1, R2, GAMMA, GAMMA).beta_mcmc.copy()),
    ]


def best_by_method(fits: list[Fit]) -> list[Fit]:
    best: dict[str, Fit] = {}
    for f in fits:
        if f.method not in best or f.score < best[f.method].score:
            best[f.method] = f
    return list(best.values())


def inlier_rmse(data: Data, beta: np.ndarray) -> str:
    if data.inlier is None:
        return "n/a"
    x = data.x[data.inlier]
    fitted = np.polynomial.polynomial.polyval(x, beta)
    return f"{np.sqrt(np.mean((fitted - data.truth(x)) ** 2)):.4f}"


def print_table(data: Data, chosen: list[Fit], total_seconds: dict[str, float]) -> None:
    print(f"{'method':<24} {'deg':>3} {'RMSE vs truth':>13} {'MDL score':>10} {'time (ms)':>10}  coefficients")
    for f in chosen:
        coefficients = " ".join(f"{b:+.3f}" for b in f.beta)
        print(f"{f.method:<24} {f.degree:>3} {inlier_rmse(data, f.beta):>13} {f.score:>10.2f} "
              f"{total_seconds[f.method] * 1e3:>10.1f}  {coefficients}")
    if data.inlier is not None:
        truth = " ".join(f"{b:+.3f}" for b in TRUE_BETA)
        print(f"{'true curve':<24} {3:>3} {'':>13} {'':>10} {'':>10}  {truth}")
    print("RMSE on the inliers; time summed over the degrees 1 to 6.")


def plot(data: Data, chosen: list[Fit], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(8, 5))
    if data.inlier is None:
        ax.scatter(data.x, data.y, s=8, c="0.5", label="data")
    else:
        ax.scatter(data.x[data.inlier], data.y[data.inlier], s=8, c="0.4", label="inliers")
        ax.scatter(data.x[~data.inlier], data.y[~data.inlier], s=8, c="0.75", label="outliers")
    grid = np.linspace(data.x.min(), data.x.max(), 400)
    if data.inlier is not None:
        ax.plot(grid, data.truth(grid), "k--", lw=1.5, label="true curve")
    styles = [("tab:red", "-"), ("tab:orange", ":"), ("tab:blue", "-")]
    for f, (colour, line) in zip(chosen, styles):
        ax.plot(grid, np.polynomial.polynomial.polyval(grid, f.beta), color=colour, ls=line, lw=2,
                label=f"{f.method} (degree {f.degree})")
    ax.set(xlabel="x", ylabel="y", title="Polynomial fits chosen by MDL score")
    ax.legend(loc="best", fontsize=8)
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=120, bbox_inches="tight")
    plt.close(fig)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("data", nargs="?", type=Path, help="CSV file of x,y pairs")
    parser.add_argument("--plot", type=Path, default=Path(__file__).parent / "out" / "demo.png")
    args = parser.parse_args(argv)

    data = csv_data(args.data) if args.data else generated_data()
    source = args.data or "generated cubic, 25% gross outliers"
    print(f"{data.x.size} points ({source}); degrees {DEGREES.start}-{DEGREES.stop - 1}, "
          f"chosen by MDL score with H = {H}\n")

    sampler = vc.TournamentMCMC(H_piH=H)
    fits = [f for deg in DEGREES for f in fits_for_degree(data, deg, sampler)]
    total_seconds: dict[str, float] = {}
    for f in fits:
        total_seconds[f.method] = total_seconds.get(f.method, 0.0) + f.seconds
    chosen = best_by_method(fits)
    print_table(data, chosen, total_seconds)
    plot(data, chosen, args.plot)
    print(f"\nplot written to {args.plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
