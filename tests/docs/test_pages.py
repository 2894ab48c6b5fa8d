"""The code of the site and the README runs and prints what the text shows.

The site's pages run their blocks while ``make docs`` builds them (the ``vasq-run`` and
``vasq-shell`` directives); these tests check that no block escapes that, that the
directives fail a build on a failing block, and run the README's Python blocks.
"""

import contextlib
import doctest
import importlib
import importlib.util
import io
import pkgutil
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).parents[2]
DOCS = ROOT / "docs"
# Blocks that show code without running it; a shell block is fine unless it runs vasq.
STATIC_BLOCK = re.compile(r"^\s*\.\. (?:code-block|code|sourcecode)::\s*(\S*)", re.MULTILINE)
PYTHON = {"python", "py", "python3", "pycon", "ipython"}


def pages():
    return sorted(p for p in DOCS.rglob("*.rst") if "_build" not in p.parts
                  and "auto_examples" not in p.parts and "generated" not in p.parts)


def static_blocks(text):
    """(line, language, body) of every code block that is shown but not run."""
    for match in STATIC_BLOCK.finditer(text):
        line = text.count("\n", 0, match.start()) + 1
        body = []
        for row in text[match.end():].splitlines()[1:]:
            if row.strip() and not row.startswith(" "):
                break
            body.append(row)
        yield line, match.group(1).lower(), "\n".join(body)


def test_every_python_block_and_vasq_command_of_the_site_runs_when_it_is_built():
    escaped = []
    for page in pages():
        text = page.read_text()
        escaped += [f"{page.relative_to(ROOT)}:{line}" for line, language, body in
                    static_blocks(text) if language in PYTHON or "python -m vasq" in body]
        escaped += [f"{page.relative_to(ROOT)}: doctest" for _ in re.findall(r"^\s*>>> ", text,
                                                                             re.MULTILINE)][:1]
    assert escaped == []


def readme_blocks():
    """The README's Python blocks, each with the text block that follows it (or None)."""
    blocks = re.findall(r"```(\w*)\n(.*?)```", (ROOT / "README.md").read_text(), re.DOTALL)
    for i, (language, code) in enumerate(blocks):
        if language == "python":
            after = blocks[i + 1] if i + 1 < len(blocks) else ("", "")
            yield code, after[1] if after[0] == "text" else None


def test_readme_python_blocks_run_in_order_and_print_what_the_readme_shows(tmp_path,
                                                                           monkeypatch):
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "__main__"}
    shown = list(readme_blocks())
    assert len(shown) >= 3
    for code, expected in shown:
        printed = io.StringIO()
        with contextlib.redirect_stdout(printed):
            exec(compile(code, "README.md", "exec"), namespace)
        if expected is not None:
            assert printed.getvalue() == expected


@pytest.fixture(scope="module")
def build(tmp_path_factory):
    """Build a page with the run directives as text; return (exit code, log, text)."""
    pytest.importorskip("sphinx")

    def run(page):
        source = tmp_path_factory.mktemp("site")
        (source / "conf.py").write_text(
            f"import sys\nsys.path.insert(0, {str(DOCS / '_tools')!r})\n"
            "extensions = ['runblock']\n")
        (source / "index.rst").write_text(page)
        out = source / "_build"
        done = subprocess.run([sys.executable, "-m", "sphinx", "-W", "-q", "-b", "text",
                               str(source), str(out)], capture_output=True, text=True)
        text = (out / "index.txt").read_text() if done.returncode == 0 else ""
        return done.returncode, done.stdout + done.stderr, text

    return run


def test_blocks_of_a_page_share_names_and_folder_and_show_their_output(build):
    code, log, text = build("""Page
====

.. vasq-run::

   total = 6 * 7
   with open("answer.txt", "w") as f:
       print(total, file=f)

.. vasq-run::
   :hide-code:

   print("total is", total)

.. vasq-shell::

   cat answer.txt
   python -c "print('from', 'python')"
""")
    assert code == 0, log
    assert "total is 42" in text
    assert "total = 6 * 7" in text and 'print("total is"' not in text
    assert "cat answer.txt" in text and "42\n   from python" in text


@pytest.mark.parametrize(("block", "message"), [
    (".. vasq-run::\n\n   undefined_name\n", "index.rst, block at line 4 raised"),
    (".. vasq-shell::\n\n   ls no-such-file\n", "`ls no-such-file` exited with 2"),
])
def test_a_failing_block_fails_the_build_naming_its_place(build, block, message):
    code, log, _ = build(f"Page\n====\n\n{block}")
    assert code != 0
    assert message in log


def load_conf():
    spec = importlib.util.spec_from_file_location("docs_conf", DOCS / "conf.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize(("lines", "escaped"), [
    (["The fitted coef_ and n_inliers_."], ["The fitted coef\\_ and n_inliers\\_."]),
    (["``coef_`` and :attr:`coef_` stay."], ["``coef_`` and :attr:`coef_` stay."]),
    ([">>> model.degree_", "2", "", "After degree_."],
     [">>> model.degree_", "2", "", "After degree\\_."]),
    (["Read it::", "", "    model.coef_", "", "Then coef_."],
     ["Read it::", "", "    model.coef_", "", "Then coef\\_."]),
    ([".. code-block:: python", "", "   model.coef_", "coef_"],
     [".. code-block:: python", "", "   model.coef_", "coef\\_"]),
])
def test_attribute_names_are_escaped_in_prose_only(lines, escaped):
    assert load_conf().escape_attribute_names(lines) == escaped


def docstring_modules():
    import vasq

    names = [m.name for m in pkgutil.walk_packages(vasq.__path__, "vasq.")]
    return ["vasq", *names]


@pytest.mark.parametrize("name", docstring_modules())
def test_docstring_examples_run_and_print_what_they_show(name, tmp_path, monkeypatch):
    # The API pages show these examples; they run as the reader would run them.
    monkeypatch.chdir(tmp_path)
    module = importlib.import_module(name)
    flags = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
    finder = doctest.DocTestFinder(exclude_empty=True)
    runner = doctest.DocTestRunner(optionflags=flags)
    failures = []
    for test in finder.find(module, name, module=module):
        runner.run(test, out=failures.append)
    assert "".join(failures) == ""
