"""``vasq fit-many``: fit every series of a long CSV table, one result row per series."""

from __future__ import annotations

import argparse
import contextlib
import json
import sys
from pathlib import Path
from typing import Any

import pandas as pd

from vasq import _csv
from vasq._cli_fit import parse_degree, parse_max_degree
from vasq._estimator import RobustPolynomialRegressor
from vasq._many import fit_curves

# Columns of the table written as JSON lists.
JSON_COLUMNS = ("degree", "coef", "powers", "centre", "half_width", "beta")
# Seconds to wait for the scheduler before giving up.
CONNECT_TIMEOUT = 10


def _seed(text: str) -> int:
    if text.isdecimal() and int(text) < 2**32:
        return int(text)
    raise argparse.ArgumentTypeError(f"expected an integer from 0 to 2**32 - 1, got {text!r}")


def add_parser(subparsers: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    parser = subparsers.add_parser(
        "fit-many",
        help="fit many independent series of a CSV table",
        description="Fit a robust polynomial to every series of a long CSV table (one row "
                    "per point) and write one row per series: id, degree, coef, powers, "
                    "centre, half_width, y_loc, y_scale, beta, mdl_score, inlier_share, "
                    "n_points and error. degree, coef, powers, centre, half_width and beta "
                    "are JSON lists; coef is in the data's units, and the scaled model "
                    "(prod(((x - centre) / half_width) ** powers) . beta) * y_scale + y_loc "
                    "gives the fit's values without coef's loss of digits far from zero. A "
                    "series that cannot be fitted has its message under error. Columns are "
                    "given by header name or 0-based index; the first line is a header "
                    "unless all its cells are numbers, and column names must be unique.")
    parser.add_argument("data", metavar="DATA.csv", help="input table; - reads standard input")
    parser.add_argument("--id", required=True, metavar="COLUMN", help="series id column")
    parser.add_argument("--id-type", choices=list(_csv.ID_TYPES), default="str",
                        help="type of the ids: str keeps every id as written (007 and 7, NA "
                             "and null are distinct ids), int and float read numbers "
                             "(default: str); rows with an empty id are left out")
    parser.add_argument("--x", required=True, action="append", metavar="COLUMN",
                        help="input column; repeat it for several inputs")
    parser.add_argument("--y", required=True, metavar="COLUMN", help="response column")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--jobs", type=int, metavar="N",
                       help="local worker processes (-1: all cores; default 1)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on the Dask cluster of this scheduler, e.g. tcp://host:8786")
    parser.add_argument("--out", required=True, metavar="RESULTS.csv",
                        help="output table; - writes standard output")
    parser.add_argument("--points", metavar="POINTS.csv",
                        help="also write the result of every fitted point: id, row (0-based "
                             "position of the point among its series' rows in DATA, rows with "
                             "missing values counted), fitted, residual, weight (of the final "
                             "fit, 0 for an outlier) and inlier (1 or 0); rows with missing "
                             "values and series that cannot be fitted are not listed; - writes "
                             "standard output, unless --out does")
    parser.add_argument("--degree", type=parse_degree, default="auto", metavar="auto|N",
                        help="polynomial degree, or auto to choose it by a robust BIC (default)")
    parser.add_argument("--max-degree", type=parse_max_degree, default=6, metavar="N",
                        help="highest degree tried by auto (default: 6)")
    parser.add_argument("--method", choices=["tournament", "penalized", "ols"],
                        default="tournament", help="fitting method (default: tournament)")
    parser.add_argument("--seed", type=_seed, default=0,
                        help="base of the series' seeds, from 0 to 2**32 - 1: each series' "
                             "seed is a hash of it and the series' id (default: 0)")
    _csv.add_format_arguments(parser)


def _as_json(value: Any) -> str | None:
    return None if value is None else json.dumps(value)


def read_table(args: argparse.Namespace) -> tuple[pd.DataFrame, dict[str, Any]]:
    """The id, x and y columns named in `args`, and the column arguments of fit_curves."""
    table = _csv.Table.open(_csv.Source.of(args.data), args.delimiter, args.decimal,
                            args.missing)
    id_index, y_index = table.index(args.id), table.index(args.y)
    xs = [table.index(spec) for spec in args.x]
    frame = table.read([*xs, y_index], {id_index: args.id_type})
    frame.columns = [table.name(int(i)) for i in frame.columns]
    names = dict(id=table.name(id_index), x=[table.name(i) for i in xs], y=table.name(y_index))
    return frame, names


def check_outputs(out: str, points: str | None) -> None:
    """Refuse an unusable output path, or --points naming the same output as --out."""
    _csv.check_output(out)
    if points is None:
        return
    _csv.check_output(points)
    if _csv.STDIO in (out, points):
        if out == points:
            raise ValueError("--out and --points cannot both write standard output (-)")
    elif Path(out).resolve() == Path(points).resolve():
        raise ValueError(f"--out and --points both name {out}")


def run(args: argparse.Namespace) -> int:
    check_outputs(args.out, args.points)
    estimator = RobustPolynomialRegressor(degree=args.degree, max_degree=args.max_degree,
                                          method=args.method)
    estimator._check_params()  # a bad setting would fail every series: refuse it up front
    fit = dict(estimator=estimator, random_state=args.seed, missing=args.missing)
    table, columns = read_table(args)
    local = args.scheduler is None
    with contextlib.nullcontext() if local else _connect(args.scheduler) as client:
        options = dict(**columns, **fit, n_jobs=args.jobs, client=client)
        if args.points is None:
            result, points = fit_curves(table, **options), None
        else:
            result, points = fit_curves(table, **options, per_point=True)
    for name in JSON_COLUMNS:
        result[name] = result[name].map(_as_json)
    _write(result, args.out)
    if points is not None:
        _write(points.astype({"inlier": int}), args.points)
    failed = int(result["error"].notna().sum())
    if failed:
        print(f"vasq: {failed} of {len(result)} series could not be fitted; see the error "
              f"column of {args.out}", file=sys.stderr)
    return 0


def _write(frame: pd.DataFrame, path: str) -> None:
    frame.to_csv(sys.stdout if path == _csv.STDIO else path, index=False)


def _connect(address: str) -> Any:
    """A client of the scheduler at `address`, or a one-line ValueError without waiting long."""
    try:
        from distributed import Client
        from distributed.comm import get_address_host_port, parse_address
    except ImportError as exc:
        raise ValueError("--scheduler needs Dask: pip install 'vasq[dask]'") from exc
    # A Client that fails to parse its address is left half-built, and its finaliser then
    # waits on a loop that never started: check the address first.
    try:
        if parse_address(address)[0] != "inproc":  # a scheduler in this process has no port
            get_address_host_port(address)
    except ValueError as exc:
        raise ValueError(f"--scheduler {address!r} is not a scheduler address such as "
                         f"tcp://HOST:8786 ({exc})") from None
    try:
        return Client(address, set_as_default=False, timeout=CONNECT_TIMEOUT)
    except OSError as exc:
        raise ValueError(f"cannot reach the scheduler at {address}: {exc}") from None
