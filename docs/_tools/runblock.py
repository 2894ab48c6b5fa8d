"""Directives that run the code of a page at build time and show it with what it printed.

``vasq-run`` runs a block of Python, ``vasq-shell`` a block of shell commands (one a line,
``python`` being the interpreter that builds the site). Printed output in the pages is
produced by the code beside it on the machine that builds the documentation, so it cannot
drift from what the package does.

The blocks of a page run in order, as a reader copying them would run them: the Python
blocks share one namespace, and every block of the page runs in one temporary working
directory, so a file one block writes is there for the next (the folder vanishes after the
page). An exception or a failing command fails the build. ``:hide-code:`` shows only the
output.
"""

from __future__ import annotations

import contextlib
import io
import os
import subprocess
import sys
import tempfile
import traceback
from pathlib import Path
from typing import Any

from docutils import nodes
from docutils.parsers.rst import directives
from sphinx.application import Sphinx
from sphinx.util.docutils import SphinxDirective

_PAGE = "vasq-run page"


class _Page:
    """What the blocks of one page share: a namespace and a working directory."""

    def __init__(self) -> None:
        self.namespace: dict[str, Any] = {"__name__": "__main__"}
        # Removed when the page is read and the build drops its per-page data.
        self._folder = tempfile.TemporaryDirectory(prefix="vasq-docs-")
        self.folder = self._folder.name


class _Block(SphinxDirective):
    has_content = True
    option_spec = {"hide-code": directives.flag}
    language = ""

    def run(self) -> list[nodes.Node]:
        """The block as a literal, unless hidden, and what it printed."""
        code = "\n".join(self.content).strip("\n")
        page = self.env.temp_data.setdefault(_PAGE, _Page())
        where = f"{self.env.docname}.rst, block at line {self.lineno}"
        printed = self.execute(code, page, where)
        result: list[nodes.Node] = []
        if "hide-code" not in self.options:
            result.append(nodes.literal_block(code, code, language=self.language))
        text = printed.rstrip()
        if text:
            block = nodes.literal_block(text, text, language="text")
            block["classes"].append("vasq-output")
            result.append(block)
        return result

    def execute(self, code: str, page: _Page, where: str) -> str:
        """Run `code` for `page`; what it printed."""
        raise NotImplementedError


class RunPython(_Block):
    """Run the block in the page's namespace and show what it printed."""

    language = "python"

    def execute(self, code: str, page: _Page, where: str) -> str:
        """Run the block in the page's namespace and folder; what it printed."""
        printed = io.StringIO()
        cwd = os.getcwd()
        try:
            os.chdir(page.folder)
            with contextlib.redirect_stdout(printed):
                exec(compile(code, where, "exec"), page.namespace)
        except Exception:
            raise self.error(f"{where} raised:\n{traceback.format_exc()}") from None
        finally:
            os.chdir(cwd)
        return printed.getvalue()


class RunShell(_Block):
    """Run each line with bash in the page's folder; show its standard output and error."""

    language = "sh"

    def execute(self, code: str, page: _Page, where: str) -> str:
        """Run each line in the page's folder; what the commands printed."""
        # `python` is the interpreter building the site, with the package it documents.
        path = f"{Path(sys.executable).parent}{os.pathsep}{os.environ.get('PATH', '')}"
        env = os.environ | {"PATH": path, "COLUMNS": "100"}
        out = []
        for line in filter(str.strip, code.splitlines()):
            done = subprocess.run(["bash", "-c", line], cwd=page.folder, env=env, text=True,
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT, check=False)
            if done.returncode != 0:
                raise self.error(f"{where}: `{line}` exited with {done.returncode}:\n"
                                 f"{done.stdout}")
            out.append(done.stdout)
        return "".join(out)


def setup(app: Sphinx) -> dict[str, object]:
    """Register the directives."""
    app.add_directive("vasq-run", RunPython)
    app.add_directive("vasq-shell", RunShell)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
