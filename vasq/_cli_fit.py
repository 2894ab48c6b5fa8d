"""``python -m vasq fit``: fit one curve (or surface) from columns of a CSV file."""

from __future__ import annotations

import argparse
import csv
import sys
from pathlib import Path

import numpy as np
import numpy.typing as npt
from matplotlib.figure import Figure
from matplotlib.ticker import FixedLocator, FormatStrFormatter

from vasq import _csv
from vasq._estimator import RobustPolynomialRegressor
from vasq._model import Degree, PolynomialModel

METHODS = ("tournament", "penalized", "ols")
# Coverage of the bands in the plot.
LEVEL = 0.95
# The residual panel is linear up to this many noise scales, beyond any normal residual,
# and logarithmic beyond, so that gross outliers do not flatten the inliers.
RESIDUAL_LINEAR = 5.0


def add_parser(subparsers: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    """Add the ``fit`` subcommand and its arguments."""
    parser = subparsers.add_parser(
        "fit", help="fit a robust polynomial to columns of a CSV file",
        description="Fit a robust polynomial to columns of a CSV file, print a summary of the "
                    "fit (coefficients with standard errors, the robust BIC of every candidate "
                    "degree), and optionally write a plot, the per-row results and the model as "
                    "JSON (read it back with vasq.load_model). The first line is taken as a "
                    "header unless all its cells are numbers; column names must be unique.")
    parser.add_argument("data", metavar="DATA.csv", help="comma-separated values; - reads "
                                                         "standard input")
    parser.add_argument("--x", action="append", required=True, metavar="COLUMN",
                        help="input column: a header name or a 0-based index; "
                             "repeat for several inputs")
    parser.add_argument("--y", required=True, metavar="COLUMN", help="output column")
    parser.add_argument("--degree", type=parse_degree, default="auto", metavar="auto|N",
                        help="polynomial degree, or auto to choose it by a robust BIC (default)")
    parser.add_argument("--max-degree", type=parse_max_degree, default=6, metavar="N",
                        help="highest degree tried by auto (default: 6)")
    parser.add_argument("--method", choices=METHODS, default="tournament",
                        help="fitting method (default: tournament)")
    parser.add_argument("--seed", type=int, default=0,
                        help="random seed of the tournament; the same seed gives the same fit "
                             "(default: 0)")
    parser.add_argument("--plot", type=Path, metavar="PATH",
                        help="write a plot of the fit with its 95%% confidence and prediction "
                             "bands, and of the residuals over the local noise scale, inliers "
                             "and outliers marked (format from the suffix: .png, .pdf, .svg)")
    parser.add_argument("--json", type=Path, metavar="PATH", help="write the model as JSON")
    parser.add_argument("--points", type=Path, metavar="PATH",
                        help="write the results of every fitted row as CSV: row (0-based, among "
                             "the data rows of DATA, rows left out for missing values counted), "
                             "the input columns, the output column, fitted, residual, weight (of "
                             "the final fit, 0 for an outlier) and inlier (1 or 0)")
    _csv.add_format_arguments(parser)


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


def read_columns(args: argparse.Namespace) -> tuple[list[str], str, npt.NDArray[np.float64],
                                                    npt.NDArray[np.float64], npt.NDArray[np.intp]]:
    """The x and y columns named in `args`: names, X (n, k) and y, rows with NaN dropped, and
    the 0-based data rows of the file that they come from."""
    table = _csv.Table.open(_csv.Source.of(args.data), args.delimiter, args.decimal,
                            args.missing)
    xs, y_index = [table.index(spec) for spec in args.x], table.index(args.y)
    frame = table.read([*xs, y_index])
    X, y = frame[xs].to_numpy(), frame[y_index].to_numpy()
    values = np.column_stack([X, y])
    if not np.isfinite(values[~np.isnan(values)]).all():
        table.locate([*xs, y_index], {}, _csv.not_finite)
    kept = ~np.isnan(values).any(axis=1)
    if not kept.any():
        raise ValueError(f"{table.source.name} has no row without missing values")
    if not kept.all():
        print(f"vasq: {np.count_nonzero(~kept)} of {kept.size} rows left out for missing "
              "values", file=sys.stderr)
    return [table.name(i) for i in xs], table.name(y_index), X[kept], y[kept], np.flatnonzero(kept)


def check_plot_format(path: Path) -> None:
    """Refuse a plot suffix that matplotlib cannot write, before the fit."""
    formats = Figure().canvas.get_supported_filetypes()
    suffix = path.suffix[1:].lower()
    if suffix not in formats:
        raise ValueError(f"{path}: Format {suffix!r} is not supported (supported formats: "
                         f"{', '.join(sorted(formats))})")


def run(args: argparse.Namespace) -> int:
    """Fit, print the report, write the requested files."""
    for path in (args.json, args.plot, args.points):
        _csv.check_output(path)
    if args.plot is not None:
        check_plot_format(args.plot)
    x_names, y_name, X, y, rows = read_columns(args)
    estimator = RobustPolynomialRegressor(degree=args.degree, max_degree=args.max_degree,
                                          method=args.method, random_state=args.seed).fit(X, y)
    model = PolynomialModel.from_estimator(estimator, x_names, y_name)
    inliers = np.asarray(estimator.inlier_mask_, dtype=bool)
    print(report(estimator, model, Path(args.data)))
    if args.json is not None:
        model.save(args.json)
    if args.points is not None:
        write_points(args.points, model, rows, X, y, estimator._weights, inliers)
    if args.plot is not None:
        figure = plot_fit(model, X, y, inliers)
        figure.savefig(args.plot, dpi=120)
    return 0


def write_points(path: Path, model: PolynomialModel, rows: npt.NDArray[np.intp],
                 X: npt.NDArray[np.float64], y: npt.NDArray[np.float64],
                 weights: npt.NDArray[np.float64], inliers: npt.NDArray[np.bool_]) -> None:
    """Every fitted row, numbered as in the file, with its fitted value, residual, weight and
    inlier flag."""
    fitted = model.predict(X)
    with path.open("w", newline="", encoding="utf-8") as f:
        writer = csv.writer(f)
        writer.writerow(["row", *model.feature_names, model.target_name, "fitted", "residual",
                         "weight", "inlier"])
        # repr writes the shortest text that reads back to the same double.
        for i, xs, *values, ok in zip(rows.tolist(), X.tolist(), y.tolist(), fitted.tolist(),
                                      (y - fitted).tolist(), weights.tolist(), inliers.tolist()):
            writer.writerow([i, *map(repr, xs), *map(repr, values), int(ok)])


def report(estimator: RobustPolynomialRegressor, model: PolynomialModel, source: Path) -> str:
    """What was fitted, the chosen degree and inliers, then the estimator's summary."""
    inputs = ", ".join(model.feature_names)
    share = model.n_inliers / model.n_samples
    lines = [f"{source}: {model.n_samples} rows, {model.target_name} against {inputs}",
             f"chosen: degree {format_degree(model.degree)} ({model.method}), "
             f"{model.n_inliers} of {model.n_samples} rows inliers ({share:.1%})"]
    try:
        lines.append(estimator.summary(model.feature_names))
    except ValueError as error:  # the fit itself, its plot and JSON are sound
        scores = ", ".join(f"{format_degree(d)}: {s:.4f}" for d, s in model.mdl_scores.items())
        lines += [f"robust BIC by degree: {scores}", f"coefficients not shown: {error}"]
    return "\n".join(lines)


def format_degree(degree: Degree) -> str:
    """``3`` for one input, ``(2, 1)`` for several."""
    return str(degree) if isinstance(degree, int) else "(" + ", ".join(map(str, degree)) + ")"


def plot_fit(model: PolynomialModel, X: npt.NDArray[np.float64], y: npt.NDArray[np.float64],
             inliers: npt.NDArray[np.bool_]) -> Figure:
    """The fit over the data, and the residuals over the local noise scale below it.

    One input: y against x with the fitted curve and its 95 % confidence and prediction
    bands, and the scaled residuals against x. Several: observed against fitted values, with
    the line where they agree, and the scaled residuals against the fitted values. Inliers
    and outliers are marked in both panels. `model` must hold its uncertainty.
    """
    figure = Figure(figsize=(8, 7))
    ax, lower = figure.subplots(2, 1, sharex=True, height_ratios=[3, 1])
    fitted = model.predict(X)
    if X.shape[1] == 1:
        x = X[:, 0]
        grid = np.linspace(x.min(), x.max(), 400)
        ax.plot(grid, model.predict(grid[:, None]), c="tab:blue", lw=2, label="fit")
        for kind, alpha in (("prediction", 0.15), ("confidence", 0.35)):
            low, high = model.predict_interval(grid[:, None], LEVEL, kind)
            ax.fill_between(grid, low, high, color="tab:blue", alpha=alpha, lw=0,
                            label=f"{LEVEL:.0%} {kind} band")
        shown = x
        ax.set(ylabel=model.target_name)
        lower.set(xlabel=model.feature_names[0])
    else:
        ends = [min(fitted.min(), y.min()), max(fitted.max(), y.max())]
        ax.plot(ends, ends, c="tab:blue", lw=1, label="observed = fitted")
        shown = fitted
        ax.set(ylabel=f"observed {model.target_name}")
        lower.set(xlabel=f"fitted {model.target_name}")
    scaled = (y - fitted) / model.noise_scale(X)
    for panel, values in ((ax, y), (lower, scaled)):
        panel.scatter(shown[inliers], values[inliers], s=10, c="0.3", label="inliers")
        panel.scatter(shown[~inliers], values[~inliers], s=14, c="tab:red", marker="x",
                      label="outliers")
    lower.axhline(0.0, c="tab:blue", lw=1)
    lower.set_yscale("symlog", linthresh=RESIDUAL_LINEAR, linscale=2.0)
    # Ticks at the linear threshold and decades beyond: the default crowds 0 and +-1.
    ticks = RESIDUAL_LINEAR * 10.0 ** np.arange(16)
    lower.yaxis.set_major_locator(FixedLocator([*(-ticks), 0.0, *ticks]))
    lower.yaxis.set_major_formatter(FormatStrFormatter("%g"))
    lower.set(ylabel="residual / noise scale")
    ax.set_title(f"degree {format_degree(model.degree)}, {model.method}: "
                 f"{model.n_inliers} of {model.n_samples} points inliers")
    ax.legend(loc="best")
    return figure
