"""The plot of a fit: the curve with its bands over the data, and the scaled residuals."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import numpy.typing as npt
from matplotlib.figure import Figure
from matplotlib.ticker import FixedLocator, FormatStrFormatter

from vasq import PolynomialModel
from vasq.cli import outputs
from vasq.cli.fit import format_degree

# Coverage of the bands.
LEVEL = 0.95
# The residual panel is linear up to this many noise scales, beyond any normal residual,
# and logarithmic beyond, so that gross outliers do not flatten the inliers.
RESIDUAL_LINEAR = 5.0
# Resolution of raster formats.
DPI = 120


def check_format(path: Path) -> None:
    """Refuse a suffix that matplotlib cannot write, before the fit."""
    formats = Figure().canvas.get_supported_filetypes()
    suffix = path.suffix[1:].lower()
    if suffix not in formats:
        raise ValueError(f"{path}: Format {suffix!r} is not supported (supported formats: "
                         f"{', '.join(sorted(formats))})")


def write(path: Path, model: PolynomialModel, X: npt.NDArray[np.float64],
          y: npt.NDArray[np.float64]) -> None:
    """Write the plot of the fit to `path`, in the format its suffix names."""
    figure = plot_fit(model, X, y)
    with outputs.written(path, binary=True) as file:
        figure.savefig(file, format=path.suffix[1:].lower(), dpi=DPI)


def plot_fit(model: PolynomialModel, X: npt.NDArray[np.float64], y: npt.NDArray[np.float64],
             ) -> Figure:
    """The fit over the data, and the residuals over the local noise scale below it.

    One input: y against x with the fitted curve, its 95 % confidence and prediction
    bands and the curve plus and minus the modelled noise scale, and the scaled residuals
    against x. Several: observed against fitted values, with
    the line where they agree, and the scaled residuals against the fitted values. Inliers
    and outliers (``model.inlier_mask``) are marked in both panels.
    """
    inliers = model.inlier_mask
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
        curve, noise = model.predict(grid[:, None]), model.noise_scale(grid[:, None])
        for sign, label in ((1.0, "fit \u00b1 noise scale"), (-1.0, None)):
            ax.plot(grid, curve + sign * noise, c="tab:orange", lw=1, ls="--", label=label)
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
