"""The shipped type stubs agree with the registered signatures and are found by mypy."""

import ast
import re
import subprocess
import sys
from pathlib import Path

import pytest

import vasq_core as vc

STUB = Path(__file__).parents[2] / "src" / "module" / "vasq_core-stubs" / "__init__.pyi"
ALLOWLIST = Path(__file__).with_name("stubtest_allowlist.txt")
# Annotations that the stub and the rendered signature spell alike.
KINDS = {"typing.SupportsInt | typing.SupportsIndex", "typing.SupportsFloat | typing.SupportsIndex",
         "GibbsResult", "MCMCResult"}


def kind(text):
    """An int or float parameter, or a result class; None for the arrays, spelt differently."""
    text = text.replace("vasq_core.", "")
    return text if text in KINDS else None


def split_top_level(text):
    """Split at commas outside brackets and quotes."""
    parts, depth, quoted, start = [], 0, False, 0
    for i, c in enumerate(text):
        if c == '"':
            quoted = not quoted
        elif not quoted and c in "[(":
            depth += 1
        elif not quoted and c in "])":
            depth -= 1
        elif not quoted and c == "," and depth == 0:
            parts.append(text[start:i].strip())
            start = i + 1
    return parts + [text[start:].strip()] if text.strip() else parts


def runtime_parameters(fn):
    """(name, default text or None, kind) from the rendered signature, without self; the
    result last."""
    line = fn.__doc__.split("\n")[0]
    inner = line[line.index("(") + 1 : line.rindex(") -> ")]
    params = []
    for part in split_top_level(inner):
        name, annotation = part.split(": ", 1)
        default = part.split(" = ")[1] if " = " in part else None
        if name != "self":
            params.append((name, default, kind(annotation.split(" = ")[0])))
    return params + [("->", None, kind(line[line.rindex(") -> ") + 5:]))]


def stub_parameters(node):
    args = [a for a in node.args.args if a.arg != "self"]
    defaults = [None] * (len(args) - len(node.args.defaults)) + [
        repr(ast.literal_eval(d)) for d in node.args.defaults
    ]
    kinds = [kind(ast.unparse(a.annotation)) for a in args]
    return [*zip([a.arg for a in args], defaults, kinds, strict=True),
            ("->", None, kind(ast.unparse(node.returns)))]


def stub_functions():
    tree = ast.parse(STUB.read_text())
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            yield node.name, getattr(vc, node.name), node
        elif isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef) and not any(
                    isinstance(d, ast.Name) and d.id == "property" for d in item.decorator_list
                ):
                    yield f"{node.name}.{item.name}", getattr(getattr(vc, node.name), item.name), item


@pytest.mark.parametrize(("name", "fn", "node"), list(stub_functions()), ids=lambda v: v if isinstance(v, str) else "")
def test_stub_parameters_match_the_module(name, fn, node):
    assert stub_parameters(node) == runtime_parameters(fn), name


def test_stub_lists_every_public_name():
    tree = ast.parse(STUB.read_text())
    declared = {n.name for n in tree.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))}
    declared |= {n.target.id for n in tree.body
                 if isinstance(n, ast.AnnAssign) and not n.target.id.startswith("_")}
    assert declared == {n for n in vc.__dict__ if not n.startswith("_")}


def test_stubtest_finds_the_installed_stubs_in_agreement_with_the_module():
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "vasq_core", "--allowlist", str(ALLOWLIST)],
                            capture_output=True, text=True, check=False)
    assert result.returncode == 0, result.stdout + result.stderr


ACCEPTED = """
vc.mad([1.0, 2, 3])
vc.mad(np.zeros(3))
vc.mad(np.arange(3))
vc.mad(np.zeros(3, dtype=np.float32))
vc.ols([[1.0, 0.0], [0.0, 1]], (1.0, 2.0))
vc.design_matrix_nd([[0], [1]], [np.zeros(3), [1.0, 2.0, 3.0]])
vc.TournamentMCMC().fit(np.eye(2), np.ones(2))
"""
REFUSED = """
vc.mad("a string")
vc.mad(["a", "b"])
vc.ols("ab", [1.0])
vc.ols(["ab"], [1.0])
vc.design_matrix_nd([[0]], ["abc"])
"""


def test_stubs_take_numbers_and_refuse_text(tmp_path):
    """Text is array-like to NumPy; the stubs accept only arrays and sequences of numbers."""
    header = "import numpy as np\nimport vasq_core as vc\n"
    (tmp_path / "user.py").write_text(header + ACCEPTED + REFUSED)
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir",
                             str(tmp_path / "cache"), "user.py"],
                            cwd=tmp_path, capture_output=True, text=True, check=False)
    lines = {int(n) for n in re.findall(r"^user\.py:(\d+): error", result.stdout, re.MULTILINE)}
    first = len((header + ACCEPTED).splitlines()) + 2
    assert lines == set(range(first, first + len(REFUSED.strip().splitlines()))), result.stdout
