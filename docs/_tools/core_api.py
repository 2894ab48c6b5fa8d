"""The ``vasq-core-api`` directive: the reference of ``vasq_core``, rendered from its stubs.

The compiled module carries signatures but no prose; the stub file installed beside it
holds both, so the page is generated from the stub's syntax tree. Types are written the way
numpydoc pages write them ("array-like of float64, shape (m,)") rather than as the typing
expressions the stub generator produced.
"""

from __future__ import annotations

import ast
from pathlib import Path

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.application import Sphinx
from sphinx.util.docutils import SphinxDirective
from sphinx.util.nodes import nested_parse_with_titles

STUB = Path(__file__).parents[2] / "src" / "module" / "vasq_core-stubs" / "__init__.pyi"
SCALARS = {"SupportsInt": "int", "SupportsFloat": "float", "SupportsIndex": "int", "Any": "object"}
SHAPES = {"[m, 1]": "shape (m,)", "[m, n]": "shape (m, n)"}


def _name(node: ast.expr) -> str:
    """The last part of a dotted name: ``numpy.typing.ArrayLike`` -> ``ArrayLike``."""
    return ast.unparse(node).rsplit(".", 1)[-1]


def type_text(node: ast.expr | None) -> str:
    """A stub annotation in the words of a numpydoc parameter list."""
    if node is None:
        return ""
    if isinstance(node, ast.BinOp):  # a union: int-like | index-like reads as one type
        parts = dict.fromkeys([type_text(node.left), type_text(node.right)])
        if parts.keys() == {"float", "int"}:  # an int is accepted wherever a float is
            return "float"
        return " or ".join(parts)
    if isinstance(node, ast.Constant):
        return "None" if node.value is None else repr(node.value)
    if not isinstance(node, ast.Subscript):
        name = _name(node)
        return SCALARS.get(name, name)
    outer = _name(node.value)
    args = node.slice.elts if isinstance(node.slice, ast.Tuple) else [node.slice]
    if outer == "Annotated":
        kind = type_text(args[0])
        shape = [a.value for a in args[1:] if isinstance(a, ast.Constant)]
        dtype = [_name(a) for a in args[1:-1] if not isinstance(a, ast.Constant)]
        base = "array-like" if kind == "ArrayLike" else kind
        of = f" of {dtype[0]}" if dtype else ""
        return f"{base}{of}, {SHAPES.get(str(shape[-1]), shape[-1])}" if shape else base + of
    if outer == "NDArray":
        return f"ndarray of {type_text(args[0])}"
    if outer in ("Sequence", "list"):
        return f"{'sequence' if outer == 'Sequence' else 'list'} of {type_text(args[0])}"
    if outer == "tuple":
        return "tuple (" + "; ".join(type_text(a) for a in args) + ")"
    return ast.unparse(node)


def signature(fn: ast.FunctionDef) -> str:
    """Parameter names and defaults, without ``self`` and without annotations."""
    args = fn.args.args
    defaults = [None] * (len(args) - len(fn.args.defaults)) + list(fn.args.defaults)
    parts = [
        a.arg if d is None else f"{a.arg}={ast.unparse(d)}"
        for a, d in zip(args, defaults, strict=True)
        if a.arg != "self"
    ]
    return f"({', '.join(parts)})"


def _indent(text: str, by: str) -> list[str]:
    return [by + line if line else "" for line in _escape_stars(text).splitlines()]


def _escape_stars(text: str) -> str:
    """Stars outside double-backquoted literals, as in ``f'**2``, are text, not emphasis."""
    parts = text.split("``")
    return "``".join(p if i % 2 else p.replace("*", r"\*") for i, p in enumerate(parts))


def function_rst(fn: ast.FunctionDef, directive: str, by: str = "") -> list[str]:
    """The reST of a function or method, indented by `by`."""
    lines = [f"{by}.. py:{directive}:: {fn.name}{signature(fn)}", ""]
    lines += _indent(ast.get_docstring(fn) or "", by + "   ") + [""]
    for a in fn.args.args:
        if a.arg != "self":
            lines.append(f"{by}   :param {a.arg}: ")
            lines.append(f"{by}   :type {a.arg}: {type_text(a.annotation)}")
    if fn.returns is not None and type_text(fn.returns) != "None":
        lines.append(f"{by}   :rtype: {type_text(fn.returns)}")
    return lines + [""]


def property_rst(fn: ast.FunctionDef, by: str) -> list[str]:
    """The reST of a property, indented by `by`."""
    lines = [f"{by}.. py:property:: {fn.name}", f"{by}   :type: {type_text(fn.returns)}", ""]
    return lines + _indent(ast.get_docstring(fn) or "", by + "   ") + [""]


def class_rst(cls: ast.ClassDef) -> list[str]:
    """The reST of a class with its methods and properties."""
    body = [n for n in cls.body if isinstance(n, ast.FunctionDef)]
    init = next((n for n in body if n.name == "__init__"), None)
    sig = signature(init) if init else ""
    lines = [f".. py:class:: {cls.name}{sig}", ""]
    lines += _indent(ast.get_docstring(cls) or "", "   ") + [""]
    if init is not None:
        lines += _indent(ast.get_docstring(init) or "", "   ") + [""]
        for a in init.args.args[1:]:
            lines += [f"   :param {a.arg}: ", f"   :type {a.arg}: {type_text(a.annotation)}"]
        lines.append("")
    for fn in body:
        if any(_name(d) == "property" for d in fn.decorator_list):
            lines += property_rst(fn, "   ")
        elif not fn.name.startswith("_"):
            lines += function_rst(fn, "method", "   ")
    return lines


def constant_rst(node: ast.AnnAssign) -> list[str]:
    """The reST of a module constant, with its value as the built module holds it."""
    import vasq_core

    name = ast.unparse(node.target)
    return [f".. py:data:: {name}", f"   :type: {type_text(node.annotation)}",
            f"   :value: {getattr(vasq_core, name)!r}", ""]


def stub_rst(source: str) -> list[str]:
    """The reST of every public class, function and constant of a stub file, in that order."""
    tree = ast.parse(source)
    lines = [".. py:module:: vasq_core", ""]
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
            lines += class_rst(node)
    for node in tree.body:
        if isinstance(node, ast.FunctionDef) and not node.name.startswith("_"):
            lines += function_rst(node, "function")
    for node in tree.body:
        if (isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name)
                and not node.target.id.startswith("_")):
            lines += constant_rst(node)
    return lines


class CoreApi(SphinxDirective):
    """The reference of every entry of the stub file."""

    has_content = False

    def run(self) -> list[nodes.Node]:
        """The parsed reference; the page is rebuilt when the stub changes."""
        self.env.note_dependency(str(STUB))
        content = StringList(stub_rst(STUB.read_text()), source=str(STUB))
        holder = nodes.container()
        nested_parse_with_titles(self.state, content, holder)
        return holder.children


def setup(app: Sphinx) -> dict[str, object]:
    """Register the directive."""
    app.add_directive("vasq-core-api", CoreApi)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
