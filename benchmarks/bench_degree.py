"""Why the degree search picks what it picks: every candidate's score in parts, per data set.

    python benchmarks/bench_degree.py [--problems INDEX ...] [--seeds N]

For each problem of benchmarks/_problems.py (by default the windows of readings shifted
together) and seed, the degree chosen with degree="auto", then one line per candidate: its
score, the trimmed likelihood term, the penalty k log W,
the serial term, the noise model the core chose for it, and the rows it rejects, planted
outliers and clean ones. A last line gives the true degree's fit at noise="constant": when it
rejects the planted outliers where the "auto" candidate does not, the true degree lost in the
core's noise choice, not in the score. The candidates and their scores' parts are those of one
fit: the core's search is wrapped to keep them.
"""

from __future__ import annotations

import argparse

import numpy as np
from _problems import PROBLEMS, Sample

from vasq import RobustPolynomialRegressor, _degree
from vasq._candidate import CandidateFit

WINDOWS = [i for i, p in enumerate(PROBLEMS) if p.family == "window"]
Kept = tuple[list[CandidateFit], list[tuple[float, float, float]]]


def kept_candidates() -> list[Kept]:
    """Wrap vasq's reading of the core's search so that the candidates of the last fit are kept."""
    kept: list[Kept] = [([], [])]
    search = _degree.robust_search

    def keeping(degrees, found):
        result = search(degrees, found)
        kept[0] = (result.fits, found[1])
        return result

    _degree.robust_search = keeping
    return kept


def rejected(weights: np.ndarray, sample: Sample) -> str:
    out = weights == 0.0
    return (f"rejects {np.sum(out & sample.outlier):3d} of {sample.outlier.sum():3d} planted, "
            f"{np.sum(out & ~sample.outlier):3d} clean")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--problems", type=int, nargs="*", default=WINDOWS)
    parser.add_argument("--seeds", type=int, default=10)
    args = parser.parse_args()
    kept = kept_candidates()
    for index in args.problems:
        problem = PROBLEMS[index]
        print(f"{index} {problem.name} (true degree {problem.degree})")
        for seed in range(args.seeds):
            sample = problem.sample(seed)
            model = RobustPolynomialRegressor(random_state=seed).fit(sample.X, sample.y)
            print(f"  seed {seed}: degree {model.degree_}")
            for fit, (trimmed, penalty, serial, given_up) in zip(*kept[0], strict=True):
                # The search returns the chosen fit's weights alone; a candidate is the fit of
                # its noise model named at its degree.
                alone = RobustPolynomialRegressor(fit.degrees[0], noise=fit.noise.kind,
                                                  random_state=seed).fit(sample.X, sample.y)
                print(f"    {fit.degrees[0]}: {trimmed + penalty + serial + given_up:8.2f} = "
                      f"{trimmed:8.2f} + {penalty:5.2f} + {serial:5.2f} + {given_up:5.2f}  "
                      f"{fit.noise.kind:<13} "
                      f"{rejected(alone.model_.weights, sample)}")
            constant = RobustPolynomialRegressor(problem.degree, noise="constant",
                                                 random_state=seed).fit(sample.X, sample.y)
            print(f"    {problem.degree} at constant noise: "
                  f"{rejected(constant.model_.weights, sample)}")


if __name__ == "__main__":
    main()
