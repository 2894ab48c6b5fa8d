"""``vasq fit-many``: fit every series of a long CSV table, one result row per series."""

from __future__ import annotations

import argparse
import json
import sys
from typing import Any

import pandas as pd

from vasq._estimator import RobustPolynomialRegressor
from vasq._many import fit_curves


def _degree(text: str) -> str | int:
    if text == "auto":
        return text
    try:
        degree = int(text)
    except ValueError:
        degree = -1
    if degree < 0:
        raise argparse.ArgumentTypeError(f"expected 'auto' or an integer >= 0, got {text!r}")
    return degree


def add_parser(subparsers: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    parser = subparsers.add_parser(
        "fit-many",
        help="fit many independent series of a CSV table",
        description="Fit a robust polynomial to every series of a long CSV table (one row "
                    "per point) and write one row per series: id, degree, coef, powers, "
                    "mdl_score, inlier_share, n_points and error. coef and powers are JSON "
                    "lists; a series that cannot be fitted has its message under error.")
    parser.add_argument("data", metavar="DATA.csv", help="input table")
    parser.add_argument("--id", required=True, metavar="COLUMN", help="series id column")
    parser.add_argument("--x", required=True, action="append", metavar="COLUMN",
                        help="input column; repeat it for several inputs")
    parser.add_argument("--y", required=True, metavar="COLUMN", help="response column")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--jobs", type=int, metavar="N",
                       help="local worker processes (-1: all cores; default 1)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on the Dask cluster of this scheduler, e.g. tcp://host:8786")
    parser.add_argument("--out", required=True, metavar="RESULTS.csv", help="output table")
    parser.add_argument("--degree", type=_degree, help="'auto' (MDL choice) or a fixed degree")
    parser.add_argument("--method", choices=["tournament", "penalized", "ols"])


def _as_json(value: Any) -> str | None:
    return None if value is None else json.dumps(value)


def run(args: argparse.Namespace) -> int:
    given = {"degree": args.degree, "method": args.method}
    settings = {k: v for k, v in given.items() if v is not None}
    estimator = RobustPolynomialRegressor(**settings)
    table = pd.read_csv(args.data)
    columns = dict(id=args.id, x=args.x, y=args.y)
    if args.scheduler is None:
        result = fit_curves(table, **columns, estimator=estimator, n_jobs=args.jobs)
    else:
        try:
            from distributed import Client
        except ImportError as exc:
            raise ValueError("--scheduler needs Dask: pip install 'vasq[dask]'") from exc
        with Client(args.scheduler, set_as_default=False) as client:
            result = fit_curves(table, **columns, estimator=estimator, client=client)
    for name in ("degree", "coef", "powers"):
        result[name] = result[name].map(_as_json)
    result.to_csv(args.out, index=False)
    failed = int(result["error"].notna().sum())
    if failed:
        print(f"vasq: {failed} of {len(result)} series could not be fitted; see the error "
              f"column of {args.out}", file=sys.stderr)
    return 0
