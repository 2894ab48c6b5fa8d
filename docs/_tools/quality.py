"""Tables and a plot of the fitter comparison, from the quality benchmark's JSON output.

    python docs/_tools/quality.py [docs/_data/quality.json] [OUT_DIR]

``benchmarks/bench_quality.py --json PATH`` writes one record per problem and fitter:
problem, fitter, median_rmse, worst_rmse, outliers_flagged, clean_flagged, ms_per_fit,
true_degree_hits and n_seeds (a share or count is null where it does not apply). As a Sphinx
extension this module writes ``_generated/quality_*.inc`` (reST tables) and
``_generated/quality.png`` when the build starts, so the page is regenerated whenever the
JSON changes; run alone it writes the same files into OUT_DIR.
"""

from __future__ import annotations

import json
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

DOCS = Path(__file__).parents[1]
DATA = DOCS / "_data" / "quality.json"
OUT = DOCS / "_generated"
FIELDS = ("problem", "fitter", "median_rmse", "worst_rmse", "outliers_flagged",
          "clean_flagged", "ms_per_fit", "true_degree_hits", "n_seeds")

Record = dict[str, Any]


def load(path: Path) -> list[Record]:
    """The records of the JSON file, checked for the fields the pages use."""
    records = json.loads(path.read_text())
    if not isinstance(records, list) or not records:
        raise ValueError(f"{path}: expected a non-empty list of records")
    for i, record in enumerate(records):
        missing = [f for f in FIELDS if f not in record]
        if missing:
            raise ValueError(f"{path}: record {i} lacks {missing}")
    return records


def ordered(records: list[Record], key: str) -> list[str]:
    """Distinct values of `key` in order of first appearance."""
    return list(dict.fromkeys(r[key] for r in records))


def _percent(share: float | None) -> str:
    return "–" if share is None else f"{100.0 * share:.0f} %"


def _number(value: float | None) -> str:
    return "–" if value is None else f"{value:.3g}"


def list_table(title: str, header: list[str], rows: list[list[str]]) -> str:
    """A reST list-table."""
    lines = [f".. list-table:: {title}", "   :header-rows: 1", "   :stub-columns: 1", ""]
    for row in [header, *rows]:
        lines.append(f"   * - {row[0]}")
        lines += [f"     - {cell}" for cell in row[1:]]
    return "\n".join(lines) + "\n"


def problem_tables(records: list[Record]) -> str:
    """One table per problem: every fitter with every measure."""
    header = ["fitter", "median RMSE", "worst RMSE", "outliers flagged", "clean points flagged",
              "true degree", "ms per fit"]
    out = []
    for problem in ordered(records, "problem"):
        rows = []
        for r in (r for r in records if r["problem"] == problem):
            hits = r["true_degree_hits"]
            degree = "–" if hits is None else f"{hits}/{r['n_seeds']}"
            rows.append([r["fitter"], _number(r["median_rmse"]), _number(r["worst_rmse"]),
                         _percent(r["outliers_flagged"]), _percent(r["clean_flagged"]), degree,
                         _number(r["ms_per_fit"])])
        n_seeds = max(r["n_seeds"] for r in records if r["problem"] == problem)
        out.append(list_table(f"{problem} ({n_seeds} seeds)", header, rows))
    return "\n".join(out)


def summary_table(records: list[Record]) -> str:
    """Median RMSE of every fitter (columns) on every problem (rows)."""
    fitters = ordered(records, "fitter")
    cell = {(r["problem"], r["fitter"]): r["median_rmse"] for r in records}
    rows = [[p] + [_number(cell.get((p, f))) for f in fitters]
            for p in ordered(records, "problem")]
    return list_table("Median RMSE against the true curve", ["problem", *fitters], rows)


def plot(records: list[Record], path: Path) -> None:
    """Median RMSE of each fitter on each problem, with the worst seed as a whisker."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import numpy as np

    problems, fitters = ordered(records, "problem"), ordered(records, "fitter")
    by_key = {(r["problem"], r["fitter"]): r for r in records}
    fig, ax = plt.subplots(figsize=(9.0, 0.55 * len(problems) * (1 + 0.12 * len(fitters)) + 1.5))
    height = 0.8 / len(fitters)
    for j, fitter in enumerate(fitters):
        y = np.arange(len(problems)) + (j - (len(fitters) - 1) / 2) * height
        med = [_value(by_key, p, fitter, "median_rmse") for p in problems]
        worst = [_value(by_key, p, fitter, "worst_rmse") for p in problems]
        ax.barh(y, med, height=height, label=fitter)
        ax.errorbar(worst, y, fmt="|", color="0.2", ms=4, lw=0)
    ax.set_yticks(np.arange(len(problems)), problems)
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.set_xlabel("RMSE against the true curve (bar: median over seeds, tick: worst seed)")
    ax.legend(fontsize=8, loc="upper center", bbox_to_anchor=(0.5, -0.12), ncol=3)
    fig.savefig(path, dpi=110, bbox_inches="tight")
    plt.close(fig)


def _value(by_key: dict[tuple[str, str], Record], problem: str, fitter: str,
           field: str) -> float:
    record = by_key.get((problem, fitter))
    value = None if record is None else record[field]
    return float("nan") if value is None else float(value)


def write(data: Path, out: Path) -> None:
    """Write the tables and the plot for `data` into `out`."""
    records = load(data)
    out.mkdir(parents=True, exist_ok=True)
    writers: dict[str, Callable[[list[Record]], str]] = {
        "quality_summary.inc": summary_table, "quality_problems.inc": problem_tables}
    for name, make in writers.items():
        (out / name).write_text(make(records))
    plot(records, out / "quality.png")


def _on_builder_inited(app: Any) -> None:
    write(DATA, OUT)


def setup(app: Any) -> dict[str, object]:
    app.connect("builder-inited", _on_builder_inited)
    return {"parallel_read_safe": True, "parallel_write_safe": True}


if __name__ == "__main__":
    write(Path(sys.argv[1]) if len(sys.argv) > 1 else DATA,
          Path(sys.argv[2]) if len(sys.argv) > 2 else OUT)
