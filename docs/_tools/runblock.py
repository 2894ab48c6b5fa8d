"""The ``vasq-run`` directive: run a block of Python at build time, show it and what it printed.

Printed output in the pages is produced by the code beside it on the machine that builds the
documentation, so it cannot drift from what the package does. The block runs in a fresh
namespace inside a temporary working directory (files it writes vanish); an exception fails
the build.

Options: ``:hide-code:`` shows only the output; ``:setup:`` names lines at the start of the
block that run but are not shown (a count).
"""

from __future__ import annotations

import contextlib
import io
import os
import tempfile
import traceback

from docutils import nodes
from docutils.parsers.rst import directives
from sphinx.application import Sphinx
from sphinx.util.docutils import SphinxDirective


class RunBlock(SphinxDirective):
    has_content = True
    option_spec = {"hide-code": directives.flag, "setup": directives.nonnegative_int}

    def run(self) -> list[nodes.Node]:
        lines = list(self.content)
        code = "\n".join(lines)
        shown = "\n".join(lines[self.options.get("setup", 0) :]).strip("\n")
        printed = io.StringIO()
        where = f"{self.env.docname}.rst, block at line {self.lineno}"
        cwd = os.getcwd()
        try:
            with tempfile.TemporaryDirectory() as tmp, contextlib.redirect_stdout(printed):
                os.chdir(tmp)
                exec(compile(code, where, "exec"), {"__name__": "__main__"})
        except Exception:
            raise self.error(f"the block raised:\n{traceback.format_exc()}") from None
        finally:
            os.chdir(cwd)
        result: list[nodes.Node] = []
        if "hide-code" not in self.options:
            result.append(nodes.literal_block(shown, shown, language="python"))
        text = printed.getvalue().rstrip()
        if text:
            block = nodes.literal_block(text, text, language="text")
            block["classes"].append("vasq-output")
            result.append(block)
        return result


def setup(app: Sphinx) -> dict[str, object]:
    app.add_directive("vasq-run", RunBlock)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
