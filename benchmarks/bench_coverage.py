"""Coverage of RobustPolynomialRegressor's intervals and standard errors on simulated data.

    python benchmarks/bench_coverage.py [--seeds N]

Eight problems: a quadratic in one feature and one in two, each with constant noise and
with noise that grows across the data, each clean and with 20 % gross outliers (shifted by
5 to 25 either way). Each is drawn with N seeds (default 200) and fitted at its true
degree, so that the coefficients of all fits can be compared. Per problem:

- "curve": the share of a grid on which the 95 % confidence interval holds the true curve,
  averaged over the seeds, with Student's t quantile (the estimator's) and the normal's;
- "new obs": the share of 200 new clean observations, at random points, inside their 95 %
  prediction interval;
- "coef": the share of true coefficients inside coef +- t se, and of those inside
  statsmodels RLM's conf_int (Tukey biweight 4.685, MAD scale, H1), fitted in the same run
  on the same data with the same terms;
- "se/sd": the mean standard error of each coefficient over its standard deviation across
  the seeds, the worst coefficient's (its distance from 1) shown.

Then a calibration: 12 standards, 4 replicates each, a gently curved response whose noise
grows with the signal (fitted as a quadratic), and 10 unknown concentrations per data set
between the second and the tenth standard, whose new reading is inverted with
inverse_predict: the share of 95 % intervals that hold the true concentration (an interval
with a NaN end, open at the edge of the standards, counts as a miss), the same among closed
intervals, and the share with a NaN end.

Targets: coverage in [93 %, 97 %] and se/sd within 15 % of 1. With N = 200 the standard
error of a coverage of 95 % is about 1.5 % for one interval per data set, less for the
averaged ones.
"""

from __future__ import annotations

import argparse
import time
import warnings
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np
import statsmodels.api as sm
from _common import thread_report
from scipy.stats import norm
from scipy.stats import t as student_t

from vasq import InversePredictionWarning, RobustPolynomialRegressor

LEVEL = 0.95
COVERAGE_TARGET = (0.93, 0.97)
SE_TARGET = 0.15
N_NEW = 200


@dataclass
class Problem:
    name: str
    n_features: int
    n_samples: int
    coef: np.ndarray  # true coefficients, in the estimator's order of terms
    powers: np.ndarray  # (n_terms, n_features)
    noise: Callable[[np.ndarray], np.ndarray]  # X -> standard deviation
    outliers: float

    def truth(self, X: np.ndarray) -> np.ndarray:
        return design(X, self.powers) @ self.coef

    def sample(self, rng: np.random.Generator, n: int) -> tuple[np.ndarray, np.ndarray]:
        X = rng.uniform(0.0, 10.0, (n, self.n_features))
        return X, self.truth(X) + rng.normal(0.0, 1.0, n) * self.noise(X)

    def grid(self) -> np.ndarray:
        if self.n_features == 1:
            return np.linspace(0.0, 10.0, 41)[:, None]
        a, b = np.meshgrid(np.linspace(0.0, 10.0, 11), np.linspace(0.0, 10.0, 11))
        return np.column_stack([a.ravel(), b.ravel()])


def design(X: np.ndarray, powers: np.ndarray) -> np.ndarray:
    return np.column_stack([np.prod(X**p, axis=1) for p in powers])


def problems() -> list[Problem]:
    one = np.arange(3)[:, None]
    two = np.array([[0, 0], [0, 1], [0, 2], [1, 0], [1, 1], [2, 0]])
    result = []
    for noise_name, noise in (
        ("constant noise", lambda X: np.full(len(X), 0.5)),
        ("growing noise", lambda X: 0.1 + 0.12 * X[:, 0]),
    ):
        for share in (0.0, 0.2):
            result.append(
                Problem(
                    f"1 feature, {noise_name}, {share:.0%} outliers",
                    1, 80, np.array([1.0, 2.0, -0.15]), one, noise, share,
                )
            )
            result.append(
                Problem(
                    f"2 features, {noise_name}, {share:.0%} outliers",
                    2, 100, np.array([1.0, -0.5, 0.02, 1.0, 0.1, -0.05]), two, noise, share,
                )
            )
    return result


def contaminate(rng: np.random.Generator, y: np.ndarray, share: float) -> np.ndarray:
    out = rng.random(y.size) < share
    y = y.copy()
    y[out] += rng.choice([-1.0, 1.0], out.sum()) * rng.uniform(5.0, 25.0, out.sum())
    return y


def run_problem(problem: Problem, seeds: int) -> dict[str, float]:
    grid = problem.grid()
    truth_grid = problem.truth(grid)
    z = norm.ppf(0.5 + LEVEL / 2)
    curve_t, curve_z, new_obs, ours_coef, rlm_coef = [], [], [], [], []
    coefs, ses = [], []
    for seed in range(seeds):
        rng = np.random.default_rng(seed)
        X, y = problem.sample(rng, problem.n_samples)
        y = contaminate(rng, y, problem.outliers)
        model = RobustPolynomialRegressor(2, random_state=seed).fit(X, y)
        assert np.array_equal(model.powers_, problem.powers)
        low, high = model.predict_interval(grid, LEVEL)
        curve_t.append(np.mean((low <= truth_grid) & (truth_grid <= high)))
        mean, sd = model.predict(grid, return_std=True)
        curve_z.append(np.mean(np.abs(mean - truth_grid) <= z * sd))
        X_new, y_new = problem.sample(rng, N_NEW)
        low, high = model.predict_interval(X_new, LEVEL, kind="prediction")
        new_obs.append(np.mean((low <= y_new) & (y_new <= high)))
        dof = model.n_inliers_ - model.coef_.size
        half = model.coef_se_ * student_t.ppf(0.5 + LEVEL / 2, dof)
        ours_coef.append(np.mean(np.abs(model.coef_ - problem.coef) <= half))
        coefs.append(model.coef_)
        ses.append(model.coef_se_)
        rlm = sm.RLM(y, design(X, problem.powers), M=sm.robust.norms.TukeyBiweight(4.685))
        ci = rlm.fit().conf_int(1.0 - LEVEL)
        rlm_coef.append(np.mean((ci[:, 0] <= problem.coef) & (problem.coef <= ci[:, 1])))
    ratio = np.mean(ses, axis=0) / np.std(coefs, axis=0, ddof=1)
    return {
        "curve t": float(np.mean(curve_t)),
        "curve z": float(np.mean(curve_z)),
        "new obs": float(np.mean(new_obs)),
        "coef": float(np.mean(ours_coef)),
        "RLM coef": float(np.mean(rlm_coef)),
        "se/sd": float(ratio[np.argmax(np.abs(ratio - 1.0))]),
    }


def run_calibration(seeds: int) -> dict[str, float]:
    """Inverse prediction of unknown concentrations from 12 standards in 4 replicates."""
    standards = np.repeat(np.linspace(1.0, 12.0, 12), 4)

    def response(c: np.ndarray) -> np.ndarray:
        return 0.2 + 1.5 * c - 0.03 * c**2

    def noise(signal: np.ndarray) -> np.ndarray:
        return 0.05 + 0.04 * signal

    hits, lost, closed_hits = [], [], []
    for seed in range(seeds):
        rng = np.random.default_rng(10_000 + seed)
        signal = response(standards)
        y = signal + rng.normal(0.0, 1.0, signal.size) * noise(signal)
        model = RobustPolynomialRegressor(2, random_state=seed).fit(standards[:, None], y)
        c = rng.uniform(2.0, 10.0, 10)
        reading = response(c) + rng.normal(0.0, 1.0, c.size) * noise(response(c))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", InversePredictionWarning)
            _, low, high = model.inverse_predict(reading, LEVEL)
        hit = (low <= c) & (c <= high)
        closed = np.isfinite(low) & np.isfinite(high)
        hits.append(np.mean(hit))
        lost.append(1.0 - np.mean(closed))
        closed_hits.append(np.sum(hit) / max(np.sum(closed), 1))
    return {
        "coverage": float(np.mean(hits)),
        "closed": float(np.mean(closed_hits)),
        "NaN": float(np.mean(lost)),
    }


def verdict(ok: bool) -> str:
    return "met" if ok else "MISSED"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seeds", type=int, default=200, help="data sets per problem")
    args = parser.parse_args()
    print(thread_report())
    print(f"{args.seeds} data sets per problem, {LEVEL:.0%} intervals")
    lo, hi = COVERAGE_TARGET
    header = f"{'problem':<42}{'curve t':>9}{'curve z':>9}{'new obs':>9}{'coef':>8}"
    print(header + f"{'RLM coef':>10}{'se/sd':>8}{'s/fit':>8}  targets")
    met = True
    for problem in problems():
        start = time.perf_counter()
        r = run_problem(problem, args.seeds)
        per_fit = (time.perf_counter() - start) / args.seeds
        missed = [k for k in ("curve t", "new obs", "coef") if not lo <= r[k] <= hi]
        missed += ["se/sd"] if abs(r["se/sd"] - 1.0) > SE_TARGET else []
        print(
            f"{problem.name:<42}{r['curve t']:>9.3f}{r['curve z']:>9.3f}{r['new obs']:>9.3f}"
            f"{r['coef']:>8.3f}{r['RLM coef']:>10.3f}{r['se/sd']:>8.3f}{per_fit:>8.3f}  "
            + (f"MISSED {', '.join(missed)}" if missed else "met"),
            flush=True,
        )
        met &= not missed
    cal = run_calibration(args.seeds)
    print(
        f"calibration, 12 standards x 4, inverse prediction: coverage {cal['coverage']:.3f} "
        f"(of closed intervals {cal['closed']:.3f}), intervals with a NaN end {cal['NaN']:.3f}"
    )
    print(f"interval coverage in [{lo:.0%}, {hi:.0%}] and se/sd within {SE_TARGET:.0%} of 1 on "
          f"every problem: {verdict(met)}")
    print(f"inverse prediction coverage in [{lo:.0%}, {hi:.0%}]: "
          f"{verdict(lo <= cal['coverage'] <= hi)}")


if __name__ == "__main__":
    main()
