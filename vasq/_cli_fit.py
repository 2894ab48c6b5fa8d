"""``python -m vasq fit``: fit one curve (or surface) from columns of a CSV file."""

from __future__ import annotations

import argparse
import csv
import math
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import numpy.typing as npt
from matplotlib.figure import Figure
from matplotlib.ticker import FixedLocator, FormatStrFormatter

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
                    "fit (coefficients with standard errors, the MDL score of every candidate "
                    "degree), and optionally write a plot, the per-row results and the model as "
                    "JSON (read it back with vasq.load_model). The first line is taken as a "
                    "header unless all its cells are numbers.")
    parser.add_argument("data", type=Path, metavar="DATA.csv", help="comma-separated values")
    parser.add_argument("--x", action="append", required=True, metavar="COLUMN",
                        help="input column: a header name or a 0-based index; "
                             "repeat for several inputs")
    parser.add_argument("--y", required=True, metavar="COLUMN", help="output column")
    parser.add_argument("--degree", type=parse_degree, default="auto", metavar="auto|N",
                        help="polynomial degree, or auto to choose it by MDL score (default)")
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
                        help="write the results of every row as CSV: row (0-based), the input "
                             "columns, the output column, fitted, residual, weight (of the final "
                             "fit, 0 for an outlier) and inlier (1 or 0)")


def parse_degree(text: str) -> int | str:
    """``auto`` or a non-negative integer."""
    if text == "auto":
        return text
    if text.isdecimal():
        return int(text)
    raise argparse.ArgumentTypeError(f"expected auto or a non-negative integer, got {text!r}")


def run(args: argparse.Namespace) -> int:
    """Fit, print the report, write the requested files."""
    table = read_table(args.data)
    xs = [table.column(spec) for spec in args.x]
    y_name, y = table.column(args.y)
    X = np.column_stack([values for _, values in xs])
    if args.points is not None:
        check_writable(args.points)
    estimator = RobustPolynomialRegressor(degree=args.degree, method=args.method,
                                          random_state=args.seed).fit(X, y)
    model = PolynomialModel.from_estimator(estimator, [name for name, _ in xs], y_name)
    inliers = np.asarray(estimator.inlier_mask_, dtype=bool)
    print(report(estimator, model, args.data))
    if args.json is not None:
        model.save(args.json)
    if args.points is not None:
        write_points(args.points, model, X, y, estimator._weights, inliers)
    if args.plot is not None:
        figure = plot_fit(model, X, y, inliers)
        figure.savefig(args.plot, dpi=120)
    return 0


def check_writable(path: Path) -> None:
    """Raise the OSError of writing `path` now, rather than after a long fit."""
    existed = path.exists()
    with path.open("a"):
        pass
    if not existed:
        path.unlink()


def write_points(path: Path, model: PolynomialModel, X: npt.NDArray[np.float64],
                 y: npt.NDArray[np.float64], weights: npt.NDArray[np.float64],
                 inliers: npt.NDArray[np.bool_]) -> None:
    """Every row of the fitted data with its fitted value, residual, weight and inlier flag."""
    fitted = model.predict(X)
    with path.open("w", newline="", encoding="utf-8") as f:
        writer = csv.writer(f)
        writer.writerow(["row", *model.feature_names, model.target_name, "fitted", "residual",
                         "weight", "inlier"])
        # repr writes the shortest text that reads back to the same double.
        for i, (xs, *values, ok) in enumerate(
                zip(X.tolist(), y.tolist(), fitted.tolist(), (y - fitted).tolist(),
                    weights.tolist(), inliers.tolist())):
            writer.writerow([i, *map(repr, xs), *map(repr, values), int(ok)])


@dataclass(frozen=True)
class Table:
    """The cells of a CSV file, with its header if it has one."""

    path: Path
    header: tuple[str, ...] | None
    rows: list[tuple[int, list[str]]]  # (line number, cells)

    @property
    def width(self) -> int:
        """Number of columns."""
        return len(self.rows[0][1])

    def column(self, spec: str) -> tuple[str, npt.NDArray[np.float64]]:
        """The name and values of a column given by header name or 0-based index."""
        index = self._index(spec)
        name = self.header[index] if self.header is not None else f"column {index}"
        values = np.empty(len(self.rows))
        for i, (line, cells) in enumerate(self.rows):
            try:
                values[i] = float(cells[index])
            except ValueError:
                raise ValueError(f"{self.path}, line {line}, {name}: not a number: {cells[index]!r}") from None
            if not math.isfinite(values[i]):
                raise ValueError(f"{self.path}, line {line}, {name}: not a finite number: {cells[index]!r}")
        return name, values

    def _index(self, spec: str) -> int:
        if self.header is not None and spec in self.header:
            return self.header.index(spec)
        if spec.isdecimal() and int(spec) < self.width:
            return int(spec)
        known = (f"names {', '.join(self.header)} or indices" if self.header is not None
                 else "no header, so indices")
        raise ValueError(f"{self.path} has no column {spec!r} ({known} 0 to {self.width - 1})")


def read_table(path: Path) -> Table:
    """Read a CSV file; blank lines are skipped and every other line has the same width."""
    with path.open(newline="", encoding="utf-8-sig") as f:
        reader = csv.reader(f)
        try:
            records = [(reader.line_num, cells) for cells in reader if cells]
        except UnicodeDecodeError:
            raise ValueError(f"{path} is not a UTF-8 text file") from None
        except csv.Error as error:
            raise ValueError(f"{path}, line {reader.line_num}: {error}") from None
    if not records:
        raise ValueError(f"{path} is empty")
    first = records[0][1]
    header = None if all(is_number(cell) for cell in first) else tuple(c.strip() for c in first)
    rows = records[1:] if header is not None else records
    if not rows:
        raise ValueError(f"{path} has a header but no data")
    for line, cells in rows:
        if len(cells) != len(first):
            raise ValueError(f"{path}, line {line}: {len(cells)} fields, expected {len(first)}")
    return Table(path, header, rows)


def is_number(cell: str) -> bool:
    """Whether ``float`` accepts the cell."""
    try:
        float(cell)
    except ValueError:
        return False
    return True


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
        lines += [f"MDL score by degree: {scores}", f"coefficients not shown: {error}"]
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
