"""The documentation's build tools: the fitter tables, the core reference, the page checker.

They need the ``docs`` extra (``make docs`` installs it); the page checker also needs
Chromium. Without them these tests are skipped.
"""

import ast
import importlib.util
import json
import shutil
import sys
from pathlib import Path

import numpy as np
import pytest

TOOLS = Path(__file__).parents[2] / "docs" / "_tools"


def load(name):
    spec = importlib.util.spec_from_file_location(f"docs_tools_{name}", TOOLS / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # dataclasses look their module up while it executes
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def quality():
    pytest.importorskip("matplotlib")
    return load("quality")


def record(problem, fitter, median, **fields):
    base = dict(problem=problem, fitter=fitter, median_rmse=median, worst_rmse=median,
                outliers_flagged=None, clean_flagged=None, ms_per_fit=1.0,
                true_degree_hits=None, n_seeds=10)
    return base | fields


class TestQualityTables:
    RECORDS = [
        record("line", "a", 2.0, ms_per_fit=10.0),
        record("line", "b", 1.0, ms_per_fit=250.0),
        record("cubic", "a", 3.0, ms_per_fit=30.0, true_degree_hits=8),
        record("cubic", "b", 12.0, ms_per_fit=350.0, outliers_flagged=0.5, clean_flagged=0.04),
        record("cubic", "c", None, ms_per_fit=None),  # a fitter that failed on this problem
    ]

    def test_ratios_divide_by_the_best_median_of_each_problem(self, quality):
        assert quality.ratios(self.RECORDS) == {
            ("line", "a"): 2.0, ("line", "b"): 1.0, ("cubic", "a"): 1.0, ("cubic", "b"): 4.0}

    def test_summary_gives_each_fitter_median_worst_and_share_near_best(self, quality):
        table = quality.summary_table(self.RECORDS)
        rows = table.split("   * - ")[2:]  # after the title block and the header row
        cells = [[c.strip() for c in row.split("\n     - ")] for row in rows]
        assert cells[0] == ["a", "2", "1.5", "2 (line)", "1 of 2", "20.0"]
        assert cells[1] == ["b", "2", "2.5", "4 (cubic)", "1 of 2", "300"]
        assert cells[2] == ["c", "1", "–", "–", "0 of 0", "–"]

    def test_problem_tables_show_shares_in_percent_and_hits_out_of_seeds(self, quality):
        text = quality.problem_tables(self.RECORDS)
        assert ".. list-table:: line (10 seeds)" in text
        assert "- 50 %\n     - 4 %\n     - –" in text
        assert "- 8/10" in text

    def test_write_makes_tables_and_plot_and_refuses_incomplete_records(self, quality, tmp_path):
        data = tmp_path / "quality.json"
        data.write_text(json.dumps(self.RECORDS))
        quality.write(data, tmp_path / "out")
        assert {p.name for p in (tmp_path / "out").iterdir()} == {
            "quality_summary.inc", "quality_problems.inc", "quality.png"}
        assert (tmp_path / "out" / "quality.png").read_bytes()[:4] == b"\x89PNG"
        data.write_text(json.dumps([{k: v for k, v in self.RECORDS[0].items()
                                     if k != "ms_per_fit"}]))
        with pytest.raises(ValueError, match=r"record 0 lacks \['ms_per_fit'\]"):
            quality.load(data)
        data.write_text("{}")
        with pytest.raises(ValueError, match="non-empty list of records"):
            quality.load(data)


@pytest.fixture(scope="module")
def core_api():
    pytest.importorskip("sphinx")
    return load("core_api")


class TestCoreReference:
    def test_every_public_entry_of_the_module_is_documented(self, core_api):
        import vasq_core

        text = "\n".join(core_api.stub_rst(core_api.STUB.read_text()))
        documented = {line.split("::")[1].strip().split("(")[0]
                      for line in text.splitlines() if line.lstrip().startswith(".. py:")
                      and "py:module" not in line and not line.startswith("   ")}
        public = {name for name in dir(vasq_core) if not name.startswith("_")}
        assert documented == public

    @pytest.mark.parametrize(("annotation", "words"), [
        ('typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"]',
         "array-like of float64, shape (m,)"),
        ('typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, n]"]',
         "ndarray of float64, shape (m, n)"),
        ("typing.SupportsInt | typing.SupportsIndex", "int"),
        ("typing.SupportsFloat | typing.SupportsIndex", "float"),
        ("str | None", "str or None"),
        ("collections.abc.Sequence[tuple[typing.SupportsFloat, typing.SupportsFloat]]",
         "sequence of tuple (float; float)"),
        ("list[list[int]]", "list of list of int"),
    ])
    def test_stub_types_read_as_numpydoc_types(self, core_api, annotation, words):
        assert core_api.type_text(ast.parse(annotation, mode="eval").body) == words

    def test_stars_outside_literals_are_escaped(self, core_api):
        assert core_api._escape_stars("sums of f'**2 and ``x**deg``") == (
            r"sums of f'\*\*2 and ``x**deg``")


@pytest.fixture(scope="module")
def check_site():
    pytest.importorskip("websocket")
    pytest.importorskip("matplotlib")
    if shutil.which("chromium") is None:
        pytest.skip("chromium is not installed")
    return load("check_site")


def page(body):
    return f"<!DOCTYPE html><html><head><title>t</title></head><body>{body}</body></html>"


def test_page_checker_passes_a_sound_site_and_names_every_fault(check_site, tmp_path, capsys):
    import matplotlib.pyplot as plt

    good = tmp_path / "good"
    (good / "sub").mkdir(parents=True)
    (good / "index.html").write_text(page(
        '<a href="sub/">folder</a> <a href="sub/other.html#here">anchor</a> <a href="#top">'
        'self</a> <span id="top"></span> <img src="dot.png"> <a href="https://example.org/">'
        'out</a>'))
    (good / "sub" / "index.html").write_text(page('<a href="../index.html">up</a>'))
    (good / "sub" / "other.html").write_text(page('<h1 id="here">x</h1>'))
    plt.imsave(good / "dot.png", np.zeros((2, 2)))
    (good / "_static").mkdir()
    (good / "_static" / "not_a_page.html").write_text(page("<script>throw 1</script>"))
    assert check_site.check(good) == 0
    assert "3 pages, 5 links (1 external, not followed): 0 pages with problems" in (
        capsys.readouterr().out)

    bad = tmp_path / "bad"
    shutil.copytree(good, bad)
    (bad / "broken.png").write_bytes((good / "dot.png").read_bytes()[:20])  # cut short
    (bad / "sub" / "other.html").write_text(page(
        '<h1 id="here">x</h1> <a href="../missing.html">gone</a>'
        '<a href="../index.html#nowhere">anchor</a>'
        '<img src="../absent.png"> <img src="../broken.png">'
        '<script>console.error("logged"); undefinedFunction();</script>'))
    assert check_site.check(bad) == 1
    out = capsys.readouterr().out
    report = out[out.index("sub/other.html"):]
    for fault in ("broken link: http://127.0.0.1:", "/missing.html",
                  "missing anchor: http://127.0.0.1:", "/index.html#nowhere",
                  "image does not load: http://127.0.0.1:", "/absent.png", "/broken.png",
                  "HTTP 404: http://127.0.0.1:", "console error: logged",
                  "script error: ReferenceError: undefinedFunction is not defined"):
        assert fault in report
    assert out.endswith("1 pages with problems\n")
