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
# Files still waiting for their annotations; each entry goes once its file passes.
NOT_YET_TYPED = {
    "vasq/_estimator.py": "the provisional estimator is not annotated",
    "vasq/_cli_fit.py": "calls the provisional estimator, which is not annotated",
    "examples/demo.py": "the demo is not fully annotated",
}


@pytest.fixture(scope="module")
def mypy_errors():
    """mypy's error lines, by file."""
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", *CHECKED], cwd=ROOT,
                            capture_output=True, text=True, check=False)
    assert result.returncode in (0, 1), result.stdout + result.stderr  # 2: mypy could not run
    errors = defaultdict(list)
    for line in result.stdout.splitlines():
        if match := re.match(r"(.+?):\d+: error: ", line):
            errors[match[1]].append(line)
    return errors


@pytest.mark.parametrize(
    "path",
    [pytest.param(p, marks=pytest.mark.xfail(reason=NOT_YET_TYPED[p])) if p in NOT_YET_TYPED else p
     for p in CHECKED],
)
def test_file_passes_mypy_strict(mypy_errors, path):
    errors = mypy_errors.get(path, [])
    assert not errors, "\n".join(errors)


def test_no_errors_outside_the_checked_files(mypy_errors):
    """Errors in what the checked files import, such as the core's installed stubs."""
    elsewhere = {path: lines for path, lines in mypy_errors.items() if path not in CHECKED}
    assert not elsewhere, "\n".join(line for lines in elsewhere.values() for line in lines)
