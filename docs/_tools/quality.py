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
import math
import statistics
import sys
import textwrap
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


def _ms(value: float | None) -> str:
    return "–" if value is None else f"{value:.1f}" if value < 100 else f"{value:.0f}"


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
                         _ms(r["ms_per_fit"])])
        n_seeds = max(r["n_seeds"] for r in records if r["problem"] == problem)
        out.append(list_table(f"{problem} ({n_seeds} seeds)", header, rows))
    return "\n".join(out)


def ratios(records: list[Record]) -> dict[tuple[str, str], float]:
    """Median RMSE of each (problem, fitter) over the best median RMSE on that problem."""
    best: dict[str, float] = {}
    for r in records:
        if r["median_rmse"] is not None:
            best[r["problem"]] = min(best.get(r["problem"], math.inf), r["median_rmse"])
    return {(r["problem"], r["fitter"]): r["median_rmse"] / best[r["problem"]]
            for r in records if r["median_rmse"] is not None and best[r["problem"]] > 0}


def summary_table(records: list[Record]) -> str:
    """Every fitter on one line: its error relative to the best fitter, over all problems."""
    ratio = ratios(records)
    header = ["fitter", "problems", "RMSE ÷ best, median", "RMSE ÷ best, worst",
              "within 1.5 × best", "ms per fit, median"]
    rows = []
    for fitter in ordered(records, "fitter"):
        mine = [r for r in records if r["fitter"] == fitter]
        got = {r["problem"]: ratio[(r["problem"], fitter)] for r in mine
               if (r["problem"], fitter) in ratio}
        times = [r["ms_per_fit"] for r in mine if r["ms_per_fit"] is not None]
        worst = max(got, key=got.__getitem__) if got else None
        rows.append([
            fitter, str(len(mine)),
            _number(statistics.median(got.values())) if got else "–",
            f"{_number(got[worst])} ({worst})" if worst else "–",
            f"{sum(v <= 1.5 for v in got.values())} of {len(got)}",
            _ms(statistics.median(times)) if times else "–"])
    return list_table("Each fitter over all problems", header, rows)


def plot(records: list[Record], path: Path) -> None:
    """Each fitter's median RMSE relative to the best on each problem, one row a problem."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    ratio = ratios(records)
    problems, fitters = ordered(records, "problem"), ordered(records, "fitter")
    fig, ax = plt.subplots(figsize=(9.0, 0.5 * len(problems) + 2.0))
    markers = "osD^v<>ph*X"
    for j, fitter in enumerate(fitters):
        rows = [(i, ratio[(p, fitter)]) for i, p in enumerate(problems) if (p, fitter) in ratio]
        ax.plot([v for _, v in rows], [i for i, _ in rows], ls="none",
                marker=markers[j % len(markers)], ms=7, alpha=0.8, label=fitter)
    ax.set_yticks(range(len(problems)), [textwrap.fill(p, 32) for p in problems], fontsize=8)
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.axvline(1.0, c="0.6", lw=1)
    ax.grid(axis="y", c="0.9")
    ax.set_xlabel("median RMSE ÷ the best fitter's median RMSE on that problem (1 = best)")
    ax.legend(fontsize=8, loc="upper center", bbox_to_anchor=(0.5, -0.12), ncol=2)
    fig.savefig(path, dpi=110, bbox_inches="tight")
    plt.close(fig)


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
    """Write the tables and the plot when a build starts."""
    app.connect("builder-inited", _on_builder_inited)
    return {"parallel_read_safe": True, "parallel_write_safe": True}


if __name__ == "__main__":
    write(Path(sys.argv[1]) if len(sys.argv) > 1 else DATA,
          Path(sys.argv[2]) if len(sys.argv) > 2 else OUT)
