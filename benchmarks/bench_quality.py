"""Accuracy of RobustPolynomialRegressor against the robust fitters a user would reach for.

    python benchmarks/bench_quality.py [--seeds N] [--problems INDEX ...] [--short-fits N]
                                       [--guard-seeds N] [--no-ablation] [--json PATH]

The problems (benchmarks/_problems.py) have a known true curve and planted outliers: the
four original ones (noise growing with x, a fifth of gross outliers), short quadratics of 7
to 14 points, a cubic with 10 to 45 % of the points on a shadow curve, a contiguous block
fault, bad leverage points in one and three features, a calibration with replicates, and
the problems of the degree choice: windows of 20-40 % of the range 5-15 sd off in the
middle or at the end, true degrees 4-6 with 35 % scattered outliers at n = 60 and 300,
clusters stacked at one x at the end or in the middle, bad and good leverage at 10 and
20 %, and short series of 6 to 15 points with 0 to 2 outliers at degrees 1 and 2.
Each is drawn with `--seeds` seeds; the fitters run interleaved seed by seed. Ours chooses
the degree itself (default parameters, seeded); every peer is handed the true degree (for
the logistic, which has none, the degree at which RLM does best, chosen in hindsight):

- statsmodels RLM with Tukey's biweight, and RLMDetSMM, its MM-estimator started from
  deterministic high-breakdown S-estimates (statsmodels >= 0.15), both on the polynomial
  design of the features mapped to [-1, 1];
- scikit-learn HuberRegressor, RANSACRegressor (LinearRegression inside, default threshold)
  and TheilSenRegressor, each after MinMaxScaler(-1, 1), PolynomialFeatures and
  StandardScaler;
- least squares on the clean points alone, weighted by their true inverse noise variance
  where the noise grows (the oracle, told which points are outliers and how noisy each is);
- ours handed the same degree as the peers, beside ours with degree="auto".

Columns: median and worst RMSE against the true curve on a grid spanning the clean points;
the median's ratio to the oracle's and to RLM's; the share of the planted outliers each
fitter flags and the share of clean points it flags, pooled over the seeds; the median
time per fit (ours includes the degree search); the degrees ours chose. Flagged means:
ours, outside `inlier_mask_`; RLM and MM, a final biweight weight below 0.01 (a residual
beyond 4.44 scales); Huber, `outliers_`; RANSAC, outside `inlier_mask_`; Theil-Sen and
the oracle flag nothing ("-"). A peer that raises is counted as failed and its RMSE as
infinite (shown as "failed").

Then: the original problems' guard against RLM again over `--guard-seeds` seeds (40; ten hide
how often a fit goes far wrong), with the fits beyond 4 x RLM's median RMSE; the short
quadratics again over `--short-fits` seeds (1000: a share near the 2 % target
has a standard error of 0.4 points there, 1 point over 200), ours at the default max_degree
and at n/2, counting fits off by more than 3 noise sd anywhere inside the data and degrees
above the true one, beside ours handed the true degree (a wrong fit at the right degree
rather than a wrong degree) and the oracle; the units invariance on the original problems; and
the ablation, the core's robust fit with each stage switched off in turn, on four problems.
Then: stackloss at degree=1 against the published reweighted LTS (least squares without
runs 1, 3, 4 and 21, computed with NumPy); the seed sensitivity, on six hard problems,
of ours with "auto" and at the true degree over random_state 0-9 (the table's fits use
random_state = the data seed, one draw of that spread).
`--json PATH` writes one record per problem and fitter for the documentation.

All fits run on this process's threads: NumPy's BLAS (used by every peer) and our OpenMP
team with the counts printed on the first line. The machine may be shared: times are noisy.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import statistics
import time
import warnings
from collections.abc import Callable
from dataclasses import dataclass, field

import numpy as np
import statsmodels.api as sm
from _common import thread_report
from _problems import PROBLEMS, Problem, Sample
from sklearn.linear_model import HuberRegressor, RANSACRegressor, TheilSenRegressor
from sklearn.pipeline import Pipeline, make_pipeline
from sklearn.preprocessing import MinMaxScaler, PolynomialFeatures, StandardScaler
from statsmodels.robust.resistant_linear_model import RLMDetSMM

import vasq_core as vc
from vasq import RobustPolynomialRegressor

OURS = "vasq RobustPolynomialRegressor"
OURS_FIXED = "vasq at the peers' degree"
RLM = "statsmodels RLM biweight"
ORACLE = "least squares on clean points"
WEIGHT_FLOOR = 0.01  # RLM and MM: a final weight below this flags the point
STAGES = ("elemental", "concentration", "reweighting")
ABLATION = (
    "cubic, two-sided outliers",
    "cubic, 45% on a shadow curve",
    "cubic, block fault over 30-40 % of x",
    "line, 5-20 % leverage points",
)
Predict = Callable[[np.ndarray], np.ndarray]


@dataclass
class Fit:
    predict: Predict
    flagged: np.ndarray | None  # points the fitter treats as outliers, None if it cannot say
    degree: str | None = None  # the degree it chose, when it chooses one


Fitter = Callable[[Sample, int, int], Fit]  # (sample, degree handed to peers, seed)


def ours(**params: int) -> Fitter:
    def fit(sample: Sample, degree: int, seed: int) -> Fit:
        model = RobustPolynomialRegressor(random_state=seed, **params).fit(sample.X, sample.y)
        return Fit(model.predict, ~model.inlier_mask_, str(model.degree_).replace(" ", ""))

    return fit


def ours_at_degree(sample: Sample, degree: int, seed: int) -> Fit:
    """Ours handed the peers' degree, as they are."""
    model = RobustPolynomialRegressor(degree, random_state=seed).fit(sample.X, sample.y)
    return Fit(model.predict, ~model.inlier_mask_, str(model.degree_).replace(" ", ""))


def core_without(stage: str) -> Fitter:
    """The core's robust fit at the degree handed to the peers, `stage` switched off."""

    def fit(sample: Sample, degree: int, seed: int) -> Fit:
        scaler = MinMaxScaler((-1.0, 1.0)).fit(sample.X)
        powers = [[e] for e in range(degree + 1)] if sample.X.shape[1] == 1 else (
            PolynomialFeatures(degree).fit(sample.X).powers_.tolist()
        )

        def columns(G: np.ndarray) -> list[np.ndarray]:
            T = scaler.transform(G)
            return [np.ascontiguousarray(T[:, k]) for k in range(T.shape[1])]

        result = vc.robust_fit(columns(sample.X), powers, sample.y, np.ones(sample.y.size), seed,
                               [stage])
        return Fit(lambda G: vc.design_matrix(columns(G), powers) @ result["beta"],
                   result["weights"] == 0.0, str(degree))

    return fit


def scaled_design(degree: int, bias: bool) -> Pipeline:
    return make_pipeline(MinMaxScaler((-1.0, 1.0)), PolynomialFeatures(degree, include_bias=bias))


def rlm(sample: Sample, degree: int, seed: int) -> Fit:
    design = scaled_design(degree, True).fit(sample.X)
    result = sm.RLM(
        sample.y, design.transform(sample.X), M=sm.robust.norms.TukeyBiweight()
    ).fit()
    return Fit(lambda G: design.transform(G) @ result.params, result.weights < WEIGHT_FLOOR)


def mm(sample: Sample, degree: int, seed: int) -> Fit:
    design = scaled_design(degree, True).fit(sample.X)
    result = RLMDetSMM(sample.y, design.transform(sample.X)).fit()
    return Fit(lambda G: design.transform(G) @ result.params, result.weights < WEIGHT_FLOOR)


def sklearn_peer(
    make: Callable[[int], object], flags: Callable[[object], np.ndarray | None]
) -> Fitter:
    def fit(sample: Sample, degree: int, seed: int) -> Fit:
        pipe = make_pipeline(
            MinMaxScaler((-1.0, 1.0)),
            PolynomialFeatures(degree, include_bias=False),
            StandardScaler(),
            make(seed),
        ).fit(sample.X, sample.y)
        return Fit(pipe.predict, flags(pipe[-1]))

    return fit


def oracle(sample: Sample, degree: int, seed: int) -> Fit:
    """Least squares on the clean points, weighted by their true inverse noise variance."""
    clean = ~sample.outlier
    design = scaled_design(degree, True).fit(sample.X[clean])
    w = 1.0 / sample.sd[clean]
    A = design.transform(sample.X[clean]) * w[:, None]
    coef = np.linalg.lstsq(A, sample.y[clean] * w, rcond=None)[0]
    return Fit(lambda G: design.transform(G) @ coef, None)


FITTERS: dict[str, Fitter] = {
    OURS: ours(),
    OURS_FIXED: ours_at_degree,
    RLM: rlm,
    "statsmodels RLMDetSMM (MM)": mm,
    "sklearn HuberRegressor": sklearn_peer(lambda seed: HuberRegressor(), lambda m: m.outliers_),
    "sklearn RANSACRegressor": sklearn_peer(
        lambda seed: RANSACRegressor(random_state=seed), lambda m: ~m.inlier_mask_
    ),
    "sklearn TheilSenRegressor": sklearn_peer(
        lambda seed: TheilSenRegressor(random_state=seed), lambda m: None
    ),
    ORACLE: oracle,
}


@dataclass
class Tally:
    """One fitter's results on one problem, over the seeds."""

    errors: list[float] = field(default_factory=list)  # RMSE, inf when the fit failed
    worst_errors: list[float] = field(default_factory=list)  # largest |error| on the grid, in sd
    seconds: list[float] = field(default_factory=list)
    degrees: list[str] = field(default_factory=list)
    outliers_flagged: int = 0
    planted: int = 0
    clean_flagged: int = 0
    clean: int = 0
    flags: bool = False  # whether the fitter reported flags at all

    def add(self, problem: Problem, sample: Sample, fitter: Fitter, degree: int, seed: int) -> None:
        start = time.perf_counter()
        try:
            fit = fitter(sample, degree, seed)
        except Exception:  # a peer that raises is a failed fit, not a crashed benchmark
            self.errors.append(math.inf)
            self.worst_errors.append(math.inf)
            return
        self.seconds.append(time.perf_counter() - start)
        G = problem.grid(sample)
        error = fit.predict(G) - problem.truth(G)
        self.errors.append(float(np.sqrt(np.mean(error**2))))
        self.worst_errors.append(float(np.max(np.abs(error)) / np.median(sample.sd)))
        if fit.degree is not None:
            self.degrees.append(fit.degree)
        if fit.flagged is not None:
            self.flags = True
            self.outliers_flagged += int(np.sum(fit.flagged & sample.outlier))
            self.planted += int(np.sum(sample.outlier))
            self.clean_flagged += int(np.sum(fit.flagged & ~sample.outlier))
            self.clean += int(np.sum(~sample.outlier))

    @property
    def median(self) -> float:
        return statistics.median(self.errors)

    @property
    def failures(self) -> int:
        return sum(math.isinf(e) for e in self.errors)

    def outlier_share(self) -> float | None:
        return self.outliers_flagged / self.planted if self.flags and self.planted else None

    def clean_share(self) -> float | None:
        return self.clean_flagged / self.clean if self.flags and self.clean else None

    def ms_per_fit(self) -> float | None:
        return statistics.median(self.seconds) * 1e3 if self.seconds else None

    def hits(self, problem: Problem) -> int | None:
        if not self.degrees or problem.degree is None:
            return None
        return sum(d == true_degree(problem) for d in self.degrees)

    def off_by(self, limit: float) -> int:
        """Fits off by more than `limit` noise sd somewhere inside the data, failures included."""
        return sum(e > limit for e in self.worst_errors)

    def record(self, problem: Problem, fitter: str) -> dict[str, object]:
        def finite(x: float | None) -> float | None:
            return x if x is not None and math.isfinite(x) else None

        return {
            "problem": problem.name,
            "fitter": fitter,
            "median_rmse": finite(self.median),
            "worst_rmse": finite(max(self.errors)),
            "outliers_flagged": self.outlier_share(),
            "clean_flagged": self.clean_share(),
            "ms_per_fit": self.ms_per_fit(),
            "true_degree_hits": self.hits(problem),
            "n_seeds": len(self.errors),
        }


def true_degree(problem: Problem) -> str:
    d = problem.degree
    return str(d) if problem.n_features == 1 else str((d,) * problem.n_features).replace(" ", "")


def peer_degree(problem: Problem, seeds: list[int]) -> int:
    """The true degree, or where there is none the degree at which RLM does best."""
    if problem.degree is not None:
        return problem.degree
    tallies = {d: Tally() for d in range(1, 7)}
    for seed in seeds:
        sample = problem.sample(seed)
        for d, tally in tallies.items():
            tally.add(problem, sample, rlm, d, seed)
    return min(tallies, key=lambda d: tallies[d].median)


def run_problem(
    problem: Problem, fitters: dict[str, Fitter], seeds: list[int], degree: int
) -> dict[str, Tally]:
    tallies = {label: Tally() for label in fitters}
    for seed in seeds:  # fitters interleaved within each seed
        sample = problem.sample(seed)
        for label, fitter in fitters.items():
            tallies[label].add(problem, sample, fitter, degree, seed)
    return tallies


def share(x: float | None) -> str:
    return "-" if x is None else f"{x:6.1%}"


def ratio(a: float, b: float) -> str:
    return f"{a / b:6.2f}" if math.isfinite(a) and b > 0 else "     -"


def number(x: float) -> str:
    return f"{x:9.4g}" if math.isfinite(x) else "   failed"


def print_table(problem: Problem, tallies: dict[str, Tally]) -> None:
    print(
        f"  {'fitter':<31}{'median':>9} {'worst':>9} {'/oracle':>7} {'/RLM':>6} "
        f"{'outl.flag':>9} {'clean flag':>10} {'ms/fit':>8}   degrees chosen"
    )
    ref_oracle, ref_rlm = tallies[ORACLE].median, tallies[RLM].median
    for label, t in tallies.items():
        ms = t.ms_per_fit()
        chosen = " ".join(t.degrees)
        hits = t.hits(problem)
        if hits is not None:
            chosen = f"true {hits}/{len(t.degrees)}: {chosen}"
        if t.failures:
            chosen = f"failed {t.failures}/{len(t.errors)} {chosen}"
        print(
            f"  {label:<31}{number(t.median)} {number(max(t.errors))} "
            f"{ratio(t.median, ref_oracle):>7} {ratio(t.median, ref_rlm):>6} "
            f"{share(t.outlier_share()):>9} {share(t.clean_share()):>10} "
            f"{'-' if ms is None else f'{ms:8.1f}':>8}   {chosen}",
            flush=True,
        )


def verdict(ok: bool) -> str:
    return "met" if ok else "MISSED"


def targets(problem: Problem, tallies: dict[str, Tally]) -> str:
    """The estimator's targets that apply to this problem, with whether this run met them."""
    t = tallies[OURS]
    parts = []
    if problem.family in ("ramp", "block"):
        r = t.median / tallies[ORACLE].median
        hits = t.hits(problem) or 0
        parts += [
            f"median {r:.2f} x the oracle's, target <= 2 ({verdict(r <= 2.0)})",
            f"true degree {hits}/{len(t.errors)}, target >= 80 % "
            f"({verdict(hits >= 0.8 * len(t.errors))})",
        ]
    if problem.family == "leverage":
        out, clean = t.outlier_share() or 0.0, t.clean_share() or 0.0
        parts += [
            f"outliers flagged {out:.1%}, target >= 95 % ({verdict(out >= 0.95)})",
            f"clean flagged {clean:.1%}, target <= 5 % ({verdict(clean <= 0.05)})",
        ]
    if problem.family == "existing":
        r = t.median / tallies[RLM].median
        parts.append(f"median {r:.2f} x RLM's, target <= 1.1 ({verdict(r <= 1.1)})")
    if problem.family in ("window", "high", "stacked", "far", "few"):
        parts += selection_targets(problem, tallies)
    if problem.family == "short":
        parts.append(
            f"off by > 3 sd inside the data: ours {t.off_by(3.0)}/{len(t.errors)}, "
            f"oracle {tallies[ORACLE].off_by(3.0)}/{len(t.errors)} (rate over many fits below)"
        )
    return "  targets: " + "; ".join(parts) if parts else "  targets: none of its own"


def selection_targets(problem: Problem, tallies: dict[str, Tally]) -> list[str]:
    """The degree choice's targets on its problems (ours with degree="auto")."""
    t, n = tallies[OURS], len(tallies[OURS].errors)
    r = t.median / tallies[ORACLE].median
    worst = max(t.errors) / tallies[ORACLE].median
    hits = t.hits(problem) or 0
    out, clean = t.outlier_share(), t.clean_share() or 0.0
    if problem.family == "window" and "5 sd" not in problem.name:
        return [f"true degree {hits}/{n}, target >= 7 ({verdict(hits >= 7 * n / 10)})",
                f"median {r:.2f} x the oracle's, target <= 1.5 ({verdict(r <= 1.5)})"]
    if problem.family == "high":
        return [f"true degree {hits}/{n}, target >= 9 ({verdict(hits >= 9 * n / 10)})",
                f"worst {worst:.1f} x the oracle's median, target <= 15 ({verdict(worst <= 15)})"]
    if problem.family == "stacked" and "end" in problem.name:
        return [f"flagged {out or 0.0:.1%}, target >= 80 % ({verdict((out or 0.0) >= 0.8)})",
                f"median {r:.2f} x the oracle's, target <= 1.5 ({verdict(r <= 1.5)})"]
    if problem.family == "far" and out is not None:
        return [f"flagged {out:.1%}, target >= 95 % ({verdict(out >= 0.95)})",
                f"worst {worst:.2f} x the oracle's median, target <= 2 ({verdict(worst <= 2)})"]
    if problem.family == "far":
        return [f"clean flagged {clean:.1%}, target <= 1 % ({verdict(clean <= 0.01)})"]
    if problem.family == "few" and problem.name.startswith("degree 2, n = 7"):
        return [f"median {r:.2f} x the oracle's, target <= 2 ({verdict(r <= 2)})"]
    return [f"true degree {hits}/{n}, median {r:.2f} x the oracle's (no target of its own)"]


def stackloss() -> list[str]:
    """Ours at degree=1 on the stackloss data (21 runs, 3 predictors) against the published
    reweighted LTS: least squares on the runs other than 1, 3, 4 and 21, computed here with
    NumPy, with its standard errors."""
    data = sm.datasets.stackloss.load_pandas().data
    y = data["STACKLOSS"].to_numpy(float)
    X = data[["AIRFLOW", "WATERTEMP", "ACIDCONC"]].to_numpy(float)
    keep = np.ones(y.size, dtype=bool)
    keep[[0, 2, 3, 20]] = False
    A = np.column_stack([np.ones(y.size), X])
    ref = np.linalg.lstsq(A[keep], y[keep], rcond=None)[0]
    r = y[keep] - A[keep] @ ref
    se = np.sqrt(np.diag(r @ r / (keep.sum() - 4) * np.linalg.inv(A[keep].T @ A[keep])))
    model = RobustPolynomialRegressor(1, random_state=0).fit(X, y)
    # Our terms in the order of the reference: intercept, air flow, water temperature, acid.
    order = [model.powers_.tolist().index(p) for p in ([0, 0, 0], [1, 0, 0], [0, 1, 0],
                                                         [0, 0, 1])]
    ours_coef = model.coef_[order]
    flagged = [int(i) + 1 for i in np.flatnonzero(~model.inlier_mask_)]
    z = np.abs(ours_coef - ref) / se
    print("Stackloss at degree=1 (n = 21, 3 predictors); reference: least squares on the runs "
          "other than 1, 3, 4, 21 (the published reweighted LTS), computed with NumPy")
    print(f"  runs flagged: {flagged} (target 1, 3, 4, 21)")
    print(f"  coefficients: ours {np.round(ours_coef, 4)}, reference {np.round(ref, 4)}, "
          f"reference SE {np.round(se, 4)}; |ours - reference| / SE {np.round(z, 2)}\n")
    return [f"  stackloss: runs flagged {flagged}, target [1, 3, 4, 21] "
            f"({verdict(flagged == [1, 3, 4, 21])}); largest |coef - reference| {z.max():.2f} "
            f"SE, target <= 2 ({verdict(bool(z.max() <= 2.0))})"]


SEED_PROBLEMS = (
    "quadratic, 35% window 10 sd off, middle",
    "quadratic, 35% window 10 sd off, end",
    "cubic, block fault over 30-40 % of x",
    "degree 4, 35 % scattered, n = 60",
    "degree 6, 35 % scattered, n = 60",
    "quadratic, 15 of 60 stacked at the end",
)


def seed_sensitivity(problems: list[Problem], seeds: list[int]) -> list[str]:
    """Share of data sets whose result changes materially over random_state 0-9: another
    degree, or the curve moving by more than one noise sd somewhere on the grid."""
    print("Seed sensitivity: data sets (seeds of the table) changing materially over "
          "random_state 0-9 (another degree, or the curve moving > 1 noise sd on the grid)")
    lines = []
    for problem in problems:
        changed = {"auto": 0, "true degree": 0}
        for seed in seeds:
            sample = problem.sample(seed)
            G = problem.grid(sample)
            for setting, degree in (("auto", "auto"), ("true degree", problem.degree)):
                fits = [RobustPolynomialRegressor(degree, random_state=r).fit(sample.X, sample.y)
                        for r in range(10)]
                curves = np.array([m.predict(G) for m in fits])
                moved = np.max(np.abs(curves - curves[0])) > np.median(sample.sd)
                changed[setting] += moved or len({str(m.degree_) for m in fits}) > 1
        auto, fixed = (changed[k] / len(seeds) for k in ("auto", "true degree"))
        print(f"  {problem.name:<46} auto {auto:6.1%}   at the true degree {fixed:6.1%}")
        lines.append(f"  seeds, {problem.name}: {auto:.0%} of data sets change (true degree "
                     f"{fixed:.0%}), target <= 10 % ({verdict(auto <= 0.10)})")
    print()
    return lines


def guard_over_more_seeds(problems: list[Problem], n_seeds: int) -> list[str]:
    """The original problems' guard against RLM over `n_seeds` seeds: ten hide how often a
    fit goes far wrong (on the logistic, 1.17 x RLM over seeds 0-9 and 1.25 x over 0-39).
    Counts ours' fits worse than 4 x RLM's median RMSE. Returns the verdict lines."""
    print(f"The original problems over {n_seeds} seeds, ours and RLM at the peers' degree")
    seeds, lines = list(range(n_seeds)), []
    for problem in problems:
        degree = peer_degree(problem, seeds)
        tallies = run_problem(problem, {OURS: FITTERS[OURS], RLM: FITTERS[RLM]}, seeds, degree)
        ours, peer = tallies[OURS], tallies[RLM].median
        r, far = ours.median / peer, sum(e > 4.0 * peer for e in ours.errors)
        print(f"  {problem.name:<46} degree {degree}: median {r:.2f} x RLM's, "
              f"{far}/{n_seeds} fits beyond 4 x its median", flush=True)
        lines.append(f"  {problem.name}, {n_seeds} seeds: median {r:.2f} x RLM's, target <= 1.1 "
                     f"({verdict(r <= 1.1)}); {far}/{n_seeds} fits beyond 4 x RLM's median")
    print()
    return lines


def short_series(problems: list[Problem], n_fits: int) -> list[str]:
    """Ours, at the default max_degree and at n/2, ours handed the true degree, and the oracle
    over many seeds: fits off by more than 3 noise sd inside the data, and how often ours
    chose more than the true degree. Ours at the true degree tells a wrong degree from a
    wrong fit at the right one. Returns the verdict lines."""
    print(f"Short quadratics (true degree 2), {n_fits} fits each")
    print(
        f"  {'problem':<38}{'max_degree':>11}{'off > 3 sd':>11}{'deg > 2':>8}   "
        "degrees chosen (count); off > 3 sd of ours at degree 2 and of the oracle"
    )
    seeds = list(range(n_fits))
    lines = []
    for problem in problems:
        n = problem.sample(0).y.size
        fitters = {"default": ours(), f"n/2 = {n // 2}": ours(max_degree=n // 2),
                   OURS_FIXED: ours_at_degree, ORACLE: oracle}
        tallies = run_problem(problem, fitters, seeds, 2)
        oracle_off = tallies.pop(ORACLE).off_by(3.0) / n_fits
        fixed_off = tallies.pop(OURS_FIXED).off_by(3.0) / n_fits
        for setting, t in tallies.items():
            off = t.off_by(3.0) / n_fits
            over = sum(int(d) > 2 for d in t.degrees)
            counts = " ".join(f"{d}:{t.degrees.count(d)}" for d in sorted(set(t.degrees)))
            print(
                f"  {problem.name:<38}{setting:>11}{off:>11.1%}{over:>8}   {counts}; "
                f"at degree 2 {fixed_off:.1%}, oracle {oracle_off:.1%}",
                flush=True,
            )
            lines.append(
                f"  {problem.name}, max_degree {setting}: ours off by > 3 sd in {off:.1%}, "
                f"target <= 2 % ({verdict(off <= 0.02)}; at the true degree {fixed_off:.1%}, "
                f"the oracle {oracle_off:.1%}, under 1 % expected); degree above the true one "
                f"{over}/{n_fits} (target 0: {verdict(over == 0)})"
            )
    return lines


def invariance(problem: Problem, seeds: list[int]) -> tuple[float, float]:
    """Largest relative change of our RMSE when y is scaled by 1000, and when x is shifted."""
    scaled, shifted = 0.0, 0.0
    for seed in seeds:
        s = problem.sample(seed)
        G = problem.grid(s)

        def rmse(predict: Predict) -> float:
            return float(np.sqrt(np.mean((predict(G) - problem.truth(G)) ** 2)))

        base = rmse(RobustPolynomialRegressor(random_state=seed).fit(s.X, s.y).predict)
        m = RobustPolynomialRegressor(random_state=seed).fit(s.X, 1000.0 * s.y)
        e_scaled = rmse(lambda G: m.predict(G) / 1000.0)
        m2 = RobustPolynomialRegressor(random_state=seed).fit(s.X + 1000.0, s.y)
        e_shifted = rmse(lambda G: m2.predict(G + 1000.0))
        scaled = max(scaled, abs(e_scaled / base - 1.0))
        shifted = max(shifted, abs(e_shifted / base - 1.0))
    return scaled, shifted


def ablation(
    problems: list[Problem], seeds: list[int], full: dict[str, Tally], records: list[dict]
) -> None:
    """Ours with each stage switched off in turn; the full fit is the main table's."""
    variants = {f"without {stage}": core_without(stage) for stage in STAGES}
    print(
        "Ablation: the core's robust fit at the problem's degree with one stage switched off "
        "(all on = ours in the table above); median RMSE / ms per fit"
    )
    print(f"  {'problem':<40}" + "".join(f"{v:>24}" for v in ["all on", *variants]))
    for problem in problems:
        tallies = run_problem(problem, variants, seeds, problem.degree or 0)
        cells = [full[problem.name], *tallies.values()]
        print(
            f"  {problem.name:<40}"
            + "".join(f"{number(t.median):>14} / {t.ms_per_fit() or 0:7.1f}" for t in cells),
            flush=True,
        )
        records += [tallies[v].record(problem, f"{OURS} {v}") for v in variants]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seeds", type=int, default=10)
    parser.add_argument("--problems", nargs="*", type=int, help="indices into the problem list")
    parser.add_argument("--short-fits", type=int, default=1000, help="seeds of the short series")
    parser.add_argument("--guard-seeds", type=int, default=40,
                        help="seeds of the original problems' guard against RLM")
    parser.add_argument("--no-ablation", action="store_true")
    parser.add_argument("--json", help="write the table's records to this file")
    args = parser.parse_args()
    seeds = list(range(args.seeds))
    warnings.simplefilter("ignore")  # the peers' convergence and overflow chatter
    print(thread_report())
    print("load average at start: {:.1f} {:.1f} {:.1f}".format(*os.getloadavg()))
    print(
        f"{len(seeds)} seeds per problem; RMSE against the true curve on a grid spanning the "
        "clean points; /oracle and /RLM = median over theirs; flagged shares pooled over the "
        "seeds; time = median per fit; the machine may be shared, so times are noisy; "
        "Theil-Sen (10^4 subsets at most) is fast enough to run on every problem\n"
    )
    chosen = [PROBLEMS[i] for i in args.problems] if args.problems else PROBLEMS
    records: list[dict] = []
    verdicts: list[str] = []
    full: dict[str, Tally] = {}
    for problem in chosen:
        degree = peer_degree(problem, seeds)
        n = problem.sample(0).X.shape[0]
        given = "true" if problem.degree else "RLM's best in hindsight"
        print(f"{problem.name} (n = {n}; peers handed degree {degree}, {given})")
        tallies = run_problem(problem, FITTERS, seeds, degree)
        print_table(problem, tallies)
        if problem.family == "existing":
            scaled, shifted = invariance(problem, seeds)
            print(
                f"  units: y x 1000 changes our relative RMSE by at most {scaled:.2e}, "
                f"x + 1000 by at most {shifted:.2e} (target < 1 %: "
                f"{verdict(max(scaled, shifted) < 0.01)})"
            )
        line = targets(problem, tallies)
        print(line + "\n", flush=True)
        if problem.family != "short":  # their verdict comes from the many fits below
            verdicts.append(f"  {problem.name}:{line.split(':', 1)[1]}")
        records += [t.record(problem, label) for label, t in tallies.items()]
        full[problem.name] = tallies[OURS]
    existing = [p for p in chosen if p.family == "existing"]
    if existing and args.guard_seeds:
        verdicts += guard_over_more_seeds(existing, args.guard_seeds)
    short = [p for p in chosen if p.family == "short"]
    if short and args.short_fits:
        verdicts += short_series(short, args.short_fits)
        print()
    verdicts += stackloss()
    hard = [p for p in chosen if p.name in SEED_PROBLEMS]
    if hard:
        verdicts += seed_sensitivity(hard, seeds)
    ablated = [p for p in chosen if p.name in ABLATION]
    if ablated and not args.no_ablation:
        ablation(ablated, seeds, full, records)
        print()
    print("Targets of the estimator, this run:")
    print("\n".join(verdicts))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(records, f, indent=1)
        print(f"\n{len(records)} records written to {args.json}")


if __name__ == "__main__":
    main()
