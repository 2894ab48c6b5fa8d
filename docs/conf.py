"""Sphinx configuration of the vasq documentation, built by ``make docs``."""

from __future__ import annotations

import re
import sys
from pathlib import Path

import vasq

HERE = Path(__file__).parent
sys.path.insert(0, str(HERE / "_tools"))

project = "vasq"
author = "the vasq developers"
copyright = "the vasq developers"
release = version = vasq.__version__

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.duration",  # the build log lists the slowest pages (those that run code)
    "numpydoc",
    "sphinx_gallery.gen_gallery",
    "runblock",
    "quality",
    "core_api",
]

exclude_patterns = ["_build", "_generated", "examples/*.rst"]
templates_path = ["_templates"]
html_static_path: list[str] = []

html_theme = "pydata_sphinx_theme"
html_title = f"vasq {release}"
# Without a default, the theme's script logs an error on a reader's first visit.
html_context = {"default_mode": "auto"}
# Pages without sub-pages need no section navigation; wide tables get the room.
html_sidebars = {page: [] for page in (
    "index", "installation", "getting_started", "choosing", "cli", "faq", "citing", "changelog")}
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "secondary_sidebar_items": ["page-toc"],
}

autosummary_generate = True
autodoc_default_options = {"members": True}
# numpydoc renders the parameters; a second list from the annotations would repeat them.
autodoc_typehints = "none"
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False

sphinx_gallery_conf = {
    "examples_dirs": "examples",
    "gallery_dirs": "auto_examples",
    "filename_pattern": r"/plot_",
    "download_all_examples": False,
    "remove_config_comments": True,
    "within_subsection_order": "FileNameSortKey",
    "image_scrapers": ("matplotlib",),
    "matplotlib_animations": False,
    # Its page loads scripts from a CDN; the build log lists the same times.
    "write_computation_times": False,
    "show_memory": False,
    "reset_modules_order": "both",
    # Every build runs every example, so that its output is that of the package being built.
    "run_stale_examples": True,
}


# A trailing underscore makes a word a link in reST; the attribute names of scikit-learn's
# conventions (``n_features_in_``) appear bare in docstrings, in type fields and in prose.
_BARE_ATTRIBUTE = re.compile(r"(?<![\w\\])([A-Za-z]\w*)_(?=[,.;:)\s]|$)")
# Backquoted spans (literals, roles, real links) are left as they are.
_QUOTED = re.compile(r"(:?[\w:]*`+[^`]*`+_{0,2})")


def escape_attribute_names(lines: list[str]) -> list[str]:
    """Escape bare trailing underscores of prose lines; code is shown as it is written.

    Left alone: directive lines and their bodies, literal blocks after ``::``, and doctest
    blocks (from ``>>>`` to the next blank line), where a backslash would be shown.
    """
    out = []
    block_indent: int | None = None  # indentation of the line that opened a code block
    in_doctest = False
    for line in lines:
        text = line.lstrip()
        indent = len(line) - len(text)
        if block_indent is not None and (not text or indent > block_indent):
            out.append(line)
            continue
        block_indent = None
        in_doctest = bool(text) and (in_doctest or text.startswith(">>>"))
        if in_doctest or text.startswith(".."):
            out.append(line)
        else:
            parts = _QUOTED.split(line)
            parts[::2] = [_BARE_ATTRIBUTE.sub(r"\1\\_", part) for part in parts[::2]]
            out.append("".join(parts))
        if text.startswith("..") and "::" in text or text.endswith("::"):
            block_indent = indent
    return out


def _escape_attribute_names(app: object, what: str, name: str, obj: object, options: object,
                            lines: list[str]) -> None:
    lines[:] = escape_attribute_names(lines)


def _skip_request_setters(app: object, what: str, name: str, obj: object, skip: bool,
                          options: object) -> bool | None:
    # scikit-learn adds set_*_request methods to every estimator for metadata routing.
    return True if name.startswith("set_") and name.endswith("_request") else None


def setup(app: object) -> None:
    """Connect the docstring hooks."""
    app.connect("autodoc-process-docstring", _escape_attribute_names)  # type: ignore[attr-defined]
    app.connect("autodoc-skip-member", _skip_request_setters)  # type: ignore[attr-defined]
