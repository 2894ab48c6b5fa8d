"""``python -m vasq fit``: fit one curve (or surface) from columns of a CSV file."""

from __future__ import annotations

import argparse
import csv
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from vasq import PolynomialModel, RobustPolynomialRegressor
from vasq.cli import outputs, table

METHODS = ("robust", "penalized", "ols")
# Probability of the one-sided limits of detection that the report gives.
LEVEL = 0.95
# The estimator's own default, for the help text.
DEFAULT_MAX_DEGREE = RobustPolynomialRegressor().max_degree


def add_parser(subparsers: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    """Add the ``fit`` subcommand and its arguments."""
    parser = subparsers.add_parser(
        "fit", help="fit a robust polynomial to columns of a CSV file",
        description="Fit a robust polynomial to columns of a CSV file, print a summary of the "
                    "fit (coefficients with standard errors, the trimmed BIC of every candidate "
                    "degree; with replicated inputs, the pure-error lack-of-fit test and, for one "
                    "input, the limits of detection and quantitation), and optionally write a "
                    "plot, the per-row results and the model as JSON (read it back with "
                    "vasq.load_model). The first line is taken as a header unless all its cells "
                    "are numbers or missing (empty, NA, NaN, null); column names must be unique.")
    parser.add_argument("data", metavar="DATA.csv", help="comma-separated values; - reads "
                                                         "standard input")
    parser.add_argument("--x", action="append", required=True, metavar="COLUMN",
                        help="input column: a header name or a 0-based index; "
                             "repeat for several inputs")
    parser.add_argument("--y", required=True, metavar="COLUMN", help="output column")
    add_model_arguments(parser)
    parser.add_argument("--seed", type=parse_seed, default=0,
                        help="seed of the random elemental starts of the robust fit, from 0 to "
                             "2**32 - 1; the same seed gives the same fit (default: 0)")
    parser.add_argument("--plot", type=Path, metavar="PATH",
                        help="write a plot of the fit with its 95%% confidence and prediction "
                             "bands and the modelled noise scale about the curve, and of the "
                             "residuals over the local noise scale, inliers "
                             "and outliers marked (format from the suffix: .png, .pdf, .svg)")
    parser.add_argument("--json", type=Path, metavar="PATH", help="write the model as JSON")
    parser.add_argument("--points", type=Path, metavar="PATH",
                        help="write the results of every fitted row as CSV: row (0-based, among "
                             "the data rows of DATA, rows left out for missing values counted), "
                             "the input columns, the output column, fitted, residual, weight (of "
                             "the final fit, 0 for an outlier) and inlier (1 or 0)")
    table.add_format_arguments(parser)


def add_model_arguments(parser: argparse.ArgumentParser) -> None:
    """The options of the model, shared by the commands that fit."""
    parser.add_argument("--degree", type=parse_degree, default="auto", metavar="auto|N",
                        help="polynomial degree, or auto to choose it by a trimmed BIC (default)")
    parser.add_argument("--max-degree", type=parse_max_degree, metavar="N",
                        help="highest degree tried by --degree auto (default: "
                             f"{DEFAULT_MAX_DEGREE})")
    parser.add_argument("--method", choices=METHODS, default="robust",
                        help="robust: a high-breakdown fit from random elemental starts, "
                             "outliers weighted down; penalized: least squares with smoothness "
                             "penalties; ols: least squares (default: robust)")


def estimator_params(args: argparse.Namespace) -> dict[str, Any]:
    """The estimator's degree, max_degree and method from the options.

    Raises
    ------
    ValueError
        When --max-degree is given with a fixed --degree, which it would not change.
    """
    params: dict[str, Any] = dict(degree=args.degree, method=args.method)
    if args.max_degree is not None:
        if args.degree != "auto":
            raise ValueError(f"--max-degree applies to --degree auto, not to --degree "
                             f"{args.degree}")
        params["max_degree"] = args.max_degree
    return params


# Degrees the estimator accepts; larger ones are refused before the data are read.
MAX_DEGREE = 2**31 - 1


def parse_degree(text: str) -> int | str:
    """``auto`` or an integer in [0, 2**31 - 1]."""
    if text == "auto":
        return text
    if text.isdecimal() and int(text) <= MAX_DEGREE:
        return int(text)
    raise argparse.ArgumentTypeError(
        f"expected auto or an integer from 0 to {MAX_DEGREE}, got {text!r}")


def parse_max_degree(text: str) -> int:
    """An integer in [1, 2**31 - 1]."""
    if text.isdecimal() and 1 <= int(text) <= MAX_DEGREE:
        return int(text)
    raise argparse.ArgumentTypeError(f"expected an integer from 1 to {MAX_DEGREE}, got {text!r}")


def parse_seed(text: str) -> int:
    """An integer in [0, 2**32 - 1]."""
    if text.isdecimal() and int(text) < 2**32:
        return int(text)
    raise argparse.ArgumentTypeError(f"expected an integer from 0 to 2**32 - 1, got {text!r}")


def read_columns(args: argparse.Namespace) -> tuple[list[str], str, npt.NDArray[np.float64],
                                                    npt.NDArray[np.float64], npt.NDArray[np.intp]]:
    """The x and y columns named in `args`.

    Their names, X (n, k) and y with rows holding NaN dropped, and the 0-based data rows of
    the file that they come from.
    """
    data = table.Table.open(table.Source.of(args.data), args.delimiter, args.decimal,
                            args.missing)
    xs, y_index = [data.index(spec) for spec in args.x], data.index(args.y)
    frame = data.read([*xs, y_index])
    X, y = frame[xs].to_numpy(), frame[y_index].to_numpy()
    values = np.column_stack([X, y])
    if not np.isfinite(values[~np.isnan(values)]).all():
        data.locate([*xs, y_index], {}, table.not_finite)
    kept = ~np.isnan(values).any(axis=1)
    if not kept.any():
        raise ValueError(f"{data.source.name} has no row without missing values")
    if not kept.all():
        print(f"vasq: {np.count_nonzero(~kept)} of {kept.size} rows left out for missing "
              "values", file=sys.stderr)
    return [data.name(i) for i in xs], data.name(y_index), X[kept], y[kept], np.flatnonzero(kept)


def run(args: argparse.Namespace) -> int:
    """Fit, print the report, write the requested files."""
    outputs.check_outputs([args.data], {"--json": args.json, "--plot": args.plot,
                                        "--points": args.points})
    params = estimator_params(args) | dict(random_state=args.seed)
    if args.plot is not None:
        from vasq.cli import plot  # matplotlib only when a plot is asked for

        plot.check_format(args.plot)
    x_names, y_name, X, y, rows = read_columns(args)
    estimator = RobustPolynomialRegressor(**params).fit(X, y)
    model = estimator.model_.with_names(x_names, y_name)
    print(report(model, args.data))
    if args.json is not None:
        with outputs.named(args.json):
            model.save(args.json)
    if args.points is not None:
        write_points(args.points, model, rows, X, y)
    if args.plot is not None:
        plot.write(args.plot, model, X, y)
    return 0


def write_points(path: Path, model: PolynomialModel, rows: npt.NDArray[np.intp],
                 X: npt.NDArray[np.float64], y: npt.NDArray[np.float64]) -> None:
    """Write every fitted row with its fitted value, residual, weight and inlier flag.

    Rows are numbered as in the file.
    """
    fitted = model.predict(X)
    with outputs.written(path) as f:
        writer = csv.writer(f)
        writer.writerow(["row", *model.feature_names, model.target_name, "fitted", "residual",
                         "weight", "inlier"])
        # repr writes the shortest text that reads back to the same double.
        for i, xs, *values, ok in zip(rows.tolist(), X.tolist(), y.tolist(), fitted.tolist(),
                                      (y - fitted).tolist(), model.weights.tolist(),
                                      model.inlier_mask.tolist(), strict=True):
            writer.writerow([i, *map(repr, xs), *map(repr, values), int(ok)])


def report(model: PolynomialModel, source: str) -> str:
    """What was fitted, the chosen degree and inliers, then the model's summary."""
    inputs = ", ".join(model.feature_names)
    share = model.n_inliers / model.n_samples
    lines = [f"{source}: {model.n_samples} rows, {model.target_name} against {inputs}",
             f"chosen: degree {format_degree(model.degree)} ({model.method}), "
             f"{model.n_inliers} of {model.n_samples} rows inliers ({share:.1%})"]
    try:
        lines.append(model.summary())
    except ValueError as error:  # coefficients beyond double range; the fit itself is sound
        scores = ", ".join(f"{format_degree(d)}: {s:.4f}" for d, s in model.bic_scores.items())
        lines += [f"trimmed BIC by degree: {scores}", f"coefficients not shown: {error}"]
    return "\n".join(lines + calibration(model))


def calibration(model: PolynomialModel) -> list[str]:
    """Lack of fit and, for one input, the detection limits; nothing without replicates."""
    if model.pure_error.n_readings <= model.pure_error.n_levels:
        return []
    try:
        test = model.lack_of_fit()
        lines = [f"lack of fit (pure error): F = {test.F:.4g} on ({test.df_lack:g}, "
                 f"{test.df_pure:g}) df, p = {test.p_value:.4g}"]
    except ValueError as error:
        lines = [f"lack of fit not tested: {error}"]
    if len(model.feature_names) == 1:
        try:
            limits = model.detection_limit(LEVEL)
            lines.append(f"detection at {LEVEL:.0%} (Hubaux-Vos): critical signal "
                         f"{limits.critical_signal:.6g}, detection limit "
                         f"{limits.detection_limit:.6g}, quantitation limit (10 % RSD) "
                         f"{limits.quantitation_limit:.6g}")
        except ValueError as error:
            lines.append(f"detection limit not computed: {error}")
    return lines


def format_degree(degree: int | Sequence[int]) -> str:
    """``3`` for one input, ``(2, 1)`` for several."""
    return str(degree) if isinstance(degree, int) else "(" + ", ".join(map(str, degree)) + ")"
