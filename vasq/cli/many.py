"""``vasq fit-many``: fit every series of a long CSV table, one result row per series."""

from __future__ import annotations

import argparse
import contextlib
import itertools
import json
import sys
from collections.abc import Callable, Iterator
from typing import IO, Any

import numpy as np
import pandas as pd

from vasq import PolynomialModel, RobustPolynomialRegressor, fit_curves
from vasq._many_local import BACKENDS
from vasq.cli import outputs, table
from vasq.cli.fit import add_model_arguments, estimator_params, parse_seed
from vasq.cli.parts import series_parts

# Seconds to wait for the scheduler before giving up.
CONNECT_TIMEOUT = 10
# Series fitted and written at a time: the results of a table are not held whole (a million
# series' models take several GB), and a part this large keeps every worker busy.
SERIES_PER_PART = 10000
# Rows read at a time: the table is never held whole.
ROWS_PER_CHUNK = 2**19


def add_parser(subparsers: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    """Add the ``fit-many`` subcommand and its arguments."""
    parser = subparsers.add_parser(
        "fit-many",
        help="fit many independent series of a CSV table",
        description="Fit a robust polynomial to every series of a long CSV table (one row "
                    "per point) and write one row per series with the columns of "
                    "vasq.fit_curves: id, degree, coef, coef_se, scale, n_samples, n_inliers, "
                    "bic_score, reached_max_degree, model and error. coef and coef_se (and "
                    "degree with several inputs) are JSON lists, coef in the data's units; "
                    "model is the whole fitted model as JSON (read it with "
                    "vasq.PolynomialModel.from_json). A series that cannot be fitted has its "
                    "message under error. Columns are given by header name or 0-based index; "
                    "the first line is a header unless all its cells are numbers or missing, "
                    "and column names must be unique.")
    parser.add_argument("data", metavar="DATA.csv", help="input table; - reads standard input")
    parser.add_argument("--id", required=True, metavar="COLUMN", help="series id column")
    parser.add_argument("--id-type", choices=table.ID_TYPES, default="str",
                        help="type of the ids: str keeps every id as written (007 and 7, NA "
                             "and null are distinct ids), int reads 64-bit integers and float "
                             "finite numbers (default: str); rows with an empty id are left out")
    parser.add_argument("--x", required=True, action="append", metavar="COLUMN",
                        help="input column; repeat it for several inputs")
    parser.add_argument("--y", required=True, metavar="COLUMN", help="response column")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--jobs", type=int, metavar="N",
                       help="local workers (-1: all cores; default 1)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on the Dask cluster of this scheduler, e.g. tcp://host:8786")
    parser.add_argument("--backend", choices=BACKENDS, default="threads",
                        help="what the --jobs workers are: threads of this process, sharing "
                             "its copy of the table, or worker processes (default: threads); "
                             "not used with --scheduler")
    parser.add_argument("--out", required=True, metavar="RESULTS.csv",
                        help="output table; - writes standard output")
    parser.add_argument("--points", metavar="POINTS.csv",
                        help="also write the result of every fitted point: id, row (0-based "
                             "position of the point among its series' rows in DATA, rows with "
                             "missing values counted), fitted, residual, weight (of the final "
                             "fit, 0 for an outlier) and inlier (1 or 0); rows with missing "
                             "values and series that cannot be fitted are not listed; - writes "
                             "standard output, unless --out does")
    add_model_arguments(parser)
    parser.add_argument("--seed", type=parse_seed, default=0,
                        help="base of the series' seeds of the random elemental starts, from 0 "
                             "to 2**32 - 1: each series' seed is a hash of it and the series' "
                             "id (default: 0)")
    table.add_format_arguments(parser)


def read_table(args: argparse.Namespace) -> tuple[Callable[[], Iterator[pd.DataFrame]],
                                                  dict[str, Any]]:
    """The id, x and y columns named in `args` as chunks, and fit_curves' column arguments.

    Each call of the first result reads the table again, ROWS_PER_CHUNK rows at a time.
    """
    data = table.Table.open(table.Source.of(args.data), args.delimiter, args.decimal,
                            args.missing)
    id_index, y_index = data.index(args.id), data.index(args.y)
    xs = [data.index(spec) for spec in args.x]

    def chunks() -> Iterator[pd.DataFrame]:
        for frame in data.chunks([*xs, y_index], {id_index: args.id_type}, ROWS_PER_CHUNK):
            frame.columns = [data.name(int(i)) for i in frame.columns]
            yield frame

    names = dict(id=data.name(id_index), x=[data.name(i) for i in xs], y=data.name(y_index))
    return chunks, names


def run(args: argparse.Namespace) -> int:
    """Fit every series, part by part, and write the table and, if asked, the points."""
    outputs.check_outputs([args.data], {"--out": args.out, "--points": args.points})
    # The option parsers admit only settings the estimator accepts.
    estimator = RobustPolynomialRegressor(**estimator_params(args))
    fit = dict(estimator=estimator, random_state=args.seed, missing=args.missing)
    chunks, columns = read_table(args)
    parts = series_parts(chunks, columns["id"], SERIES_PER_PART)
    # The whole file is read once, and checked, before the first fit.
    parts = itertools.chain([next(parts)], parts)
    local = args.scheduler is None
    failed = total = 0
    with (contextlib.nullcontext() if local else _connect(args.scheduler) as client,
          csv_file(args.out) as out,
          contextlib.nullcontext() if args.points is None else csv_file(args.points)
          as points_out):
        options = dict(**columns, **fit, n_jobs=args.jobs, backend=args.backend, client=client)
        for k, part in enumerate(parts):
            part_failed, part_total = fit_part(part, options, out, points_out, header=k == 0)
            failed, total = failed + part_failed, total + part_total
    if failed:
        print(f"vasq: {failed} of {total} series could not be fitted; see the error "
              f"column of {args.out}", file=sys.stderr)
    return 0


def fit_part(part: pd.DataFrame, options: dict[str, Any], out: IO[str],
             points_out: IO[str] | None, header: bool) -> tuple[int, int]:
    """Fit the series of one part and write their rows (and points).

    Returns the numbers of series that failed and of all series. The part's results are
    dropped on return, before the next part is fitted.
    """
    if points_out is None:
        result, points = fit_curves(part, **options), None
    else:
        result, points = fit_curves(part, **options, per_point=True)
    cells(result).to_csv(out, index=False, header=header)
    if points is not None:
        points.astype({"inlier": int}).to_csv(points_out, index=False, header=header)
    return int(result["error"].notna().sum()), len(result)


def cells(result: pd.DataFrame) -> pd.DataFrame:
    """The result table as CSV cells (`as_cell`).

    Its object columns stay objects: an integer degree is written as an integer whether or
    not another series of the part failed.
    """
    return result.assign(**{
        str(name): pd.Series([as_cell(v) for v in result[name]], index=result.index, dtype=object)
        for name in result.columns if result[name].dtype == object})


def as_cell(value: Any) -> Any:
    """A value of the result table as a CSV cell: a model or a list as JSON, others as they are."""
    if isinstance(value, PolynomialModel):
        return value.to_json()
    if isinstance(value, list | tuple | np.ndarray):
        return json.dumps(np.asarray(value).tolist())
    return value


@contextlib.contextmanager
def csv_file(path: str) -> Iterator[IO[str]]:
    """Standard output (-), or a file that replaces `path` whole once the block ends."""
    if path == table.STDIO:
        yield sys.stdout
    else:
        with outputs.written(path) as file:
            yield file


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
