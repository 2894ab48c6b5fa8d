"""``python -m vasq fit``: fit one curve (or surface) from columns of a CSV file."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

import numpy as np
import numpy.typing as npt
from matplotlib.figure import Figure

from vasq import _csv
from vasq._estimator import RobustPolynomialRegressor
from vasq._model import Degree, PolynomialModel

METHODS = ("tournament", "penalized", "ols")


def add_parser(subparsers: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    """Add the ``fit`` subcommand and its arguments."""
    parser = subparsers.add_parser(
        "fit", help="fit a robust polynomial to columns of a CSV file",
        description="Fit a robust polynomial to columns of a CSV file, print the MDL score of "
                    "every candidate degree and the chosen model, and optionally write a plot "
                    "and the model as JSON (read it back with vasq.load_model). The first line "
                    "is taken as a header unless all its cells are numbers; column names must "
                    "be unique.")
    parser.add_argument("data", metavar="DATA.csv", help="comma-separated values; - reads "
                                                         "standard input")
    parser.add_argument("--x", action="append", required=True, metavar="COLUMN",
                        help="input column: a header name or a 0-based index; "
                             "repeat for several inputs")
    parser.add_argument("--y", required=True, metavar="COLUMN", help="output column")
    parser.add_argument("--degree", type=parse_degree, default="auto", metavar="auto|N",
                        help="polynomial degree, or auto to choose it by MDL score (default)")
    parser.add_argument("--max-degree", type=parse_max_degree, default=6, metavar="N",
                        help="highest degree tried by auto (default: 6)")
    parser.add_argument("--method", choices=METHODS, default="tournament",
                        help="fitting method (default: tournament)")
    parser.add_argument("--seed", type=int, default=0,
                        help="random seed of the tournament; the same seed gives the same fit "
                             "(default: 0)")
    parser.add_argument("--plot", type=Path, metavar="PATH",
                        help="write a plot of the fit, inliers and outliers marked "
                             "(format from the suffix: .png, .pdf, .svg)")
    parser.add_argument("--json", type=Path, metavar="PATH", help="write the model as JSON")
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
                                                    npt.NDArray[np.float64]]:
    """The x and y columns named in `args`: names, X (n, k) and y, rows with NaN dropped."""
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
    return [table.name(i) for i in xs], table.name(y_index), X[kept], y[kept]


def check_plot_format(path: Path) -> None:
    """Refuse a plot suffix that matplotlib cannot write, before the fit."""
    formats = Figure().canvas.get_supported_filetypes()
    suffix = path.suffix[1:].lower()
    if suffix not in formats:
        raise ValueError(f"{path}: Format {suffix!r} is not supported (supported formats: "
                         f"{', '.join(sorted(formats))})")


def run(args: argparse.Namespace) -> int:
    """Fit, print the report, write the requested files."""
    for path in (args.json, args.plot):
        _csv.check_output(path)
    if args.plot is not None:
        check_plot_format(args.plot)
    x_names, y_name, X, y = read_columns(args)
    estimator = RobustPolynomialRegressor(degree=args.degree, max_degree=args.max_degree,
                                          method=args.method, random_state=args.seed).fit(X, y)
    model = PolynomialModel.from_estimator(estimator, x_names, y_name)
    print(report(model, Path(args.data)))
    if args.json is not None:
        model.save(args.json)
    if args.plot is not None:
        figure = plot_fit(model, X, y, np.asarray(estimator.inlier_mask_, dtype=bool))
        figure.savefig(args.plot, dpi=120)
    return 0


def report(model: PolynomialModel, source: Path) -> str:
    """The MDL score of every candidate degree, then the chosen model term by term."""
    inputs = ", ".join(model.feature_names)
    lines = [f"{source}: {model.n_samples} rows, {model.target_name} against {inputs}",
             f"{'degree':>10}  {'MDL score':>12}"]
    for degree, score in model.mdl_scores.items():
        mark = "  <- chosen" if degree == model.degree else ""
        lines.append(f"{format_degree(degree):>10}  {score:12.4f}{mark}")
    share = model.n_inliers / model.n_samples
    lines += [f"chosen: degree {format_degree(model.degree)} ({model.method}), "
              f"{model.n_inliers} of {model.n_samples} rows inliers ({share:.1%})",
              f"{'coefficient':>24}  term"]
    for c, powers in zip(model.coef, model.powers):
        lines.append(f"{c:>24.10g}  {term(model.feature_names, powers)}")
    return "\n".join(lines)


def format_degree(degree: Degree) -> str:
    """``3`` for one input, ``(2, 1)`` for several."""
    return str(degree) if isinstance(degree, int) else "(" + ", ".join(map(str, degree)) + ")"


def term(names: tuple[str, ...], powers: npt.NDArray[np.int64]) -> str:
    """A monomial as text, for example ``x^2*t``; the constant term is ``1``."""
    factors = [name if p == 1 else f"{name}^{p}" for name, p in zip(names, powers.tolist()) if p]
    return "*".join(factors) or "1"


def plot_fit(model: PolynomialModel, X: npt.NDArray[np.float64], y: npt.NDArray[np.float64],
             inliers: npt.NDArray[np.bool_]) -> Figure:
    """Data with inliers and outliers marked, and the fit.

    One input: y against x with the fitted curve. Several: observed against fitted values,
    with the line where they agree.
    """
    figure = Figure(figsize=(8, 5))
    ax = figure.add_subplot()
    if X.shape[1] == 1:
        x = X[:, 0]
        grid = np.linspace(x.min(), x.max(), 400)
        ax.scatter(x[inliers], y[inliers], s=10, c="0.3", label="inliers")
        ax.scatter(x[~inliers], y[~inliers], s=14, c="tab:red", marker="x", label="outliers")
        ax.plot(grid, model.predict(grid[:, None]), c="tab:blue", lw=2, label="fit")
        ax.set(xlabel=model.feature_names[0], ylabel=model.target_name)
    else:
        fitted = model.predict(X)
        ax.scatter(fitted[inliers], y[inliers], s=10, c="0.3", label="inliers")
        ax.scatter(fitted[~inliers], y[~inliers], s=14, c="tab:red", marker="x", label="outliers")
        ends = [min(fitted.min(), y.min()), max(fitted.max(), y.max())]
        ax.plot(ends, ends, c="tab:blue", lw=1, label="observed = fitted")
        ax.set(xlabel=f"fitted {model.target_name}", ylabel=f"observed {model.target_name}")
    ax.set_title(f"degree {format_degree(model.degree)}, {model.method}: "
                 f"{model.n_inliers} of {model.n_samples} points inliers")
    ax.legend(loc="best")
    return figure
