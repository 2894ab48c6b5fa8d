"""The package and the examples pass ``mypy --strict``, reported file by file."""

import re
import subprocess
import sys
from collections import defaultdict
from pathlib import Path

import pytest

ROOT = Path(__file__).parents[2]
CHECKED = sorted(p.relative_to(ROOT).as_posix() for folder in ("vasq", "examples")
                 for p in (ROOT / folder).rglob("*.py"))


@pytest.fixture(scope="module")
def mypy_errors():
    """mypy's error lines, by file."""
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", *CHECKED], cwd=ROOT,
                            capture_output=True, text=True, check=False)
    assert result.returncode in (0, 1), result.stdout + result.stderr  # 2: mypy could not run
    errors = defaultdict(list)
    for line in result.stdout.splitlines():
        if match := re.match(r"(.+?):\d+(?::\d+)?: error: ", line):
            errors[match[1]].append(line)
    assert result.returncode == 0 or errors, result.stdout
    return errors


@pytest.mark.parametrize("path", CHECKED)
def test_file_passes_mypy_strict(mypy_errors, path):
    errors = mypy_errors.get(path, [])
    assert not errors, "\n".join(errors)


@pytest.fixture(scope="module")
def user_cache(tmp_path_factory):
    """One mypy cache for the user-code checks, kept apart from the source tree's."""
    return tmp_path_factory.mktemp("mypy_cache")


@pytest.mark.parametrize(
    ("code", "error"),
    [
        ("model = vasq.load_model('m.json')\nspread: float = vasq_core.mad(model.predict([[1.0]]))\n", None),
        ("est = vasq.RobustPolynomialRegressor().fit([[0.0], [1.0]], [0.0, 1.0])\n"
         "degree: int = est.degree_\nscore: float = est.bic_scores_[degree]\n", None),
        ("name: int = vasq.load_model('m.json').target_name\n", 'expression has type "str", variable has type "int"'),
        ("vasq_core.design_matrix_1d(2, x=[1.0], deg=3)\n", '"design_matrix_1d" gets multiple values for keyword argument "deg"'),
    ],
    ids=["typed-use", "one-feature-degree", "vasq-misuse", "core-misuse"],
)
def test_user_code_is_checked_against_the_installed_packages(tmp_path, user_cache, code, error):
    """Away from the source tree, mypy finds both packages installed and knows their types."""
    (tmp_path / "user.py").write_text("import vasq\nimport vasq_core\n\n" + code)
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(user_cache), "user.py"],
                            cwd=tmp_path, capture_output=True, text=True, check=False)
    if error is None:
        assert result.returncode == 0, result.stdout + result.stderr
    else:
        assert result.returncode == 1 and error in result.stdout, result.stdout + result.stderr
