"""Print the project's requirements from pyproject.toml, one a line.

    python tools/requirements.py [--extras-only] [EXTRA ...]

The run-time dependencies (unless ``--extras-only``) and those of the extras named.
"""

import sys
import tomllib
from pathlib import Path

project = tomllib.loads((Path(__file__).parents[1] / "pyproject.toml").read_text())["project"]
args = sys.argv[1:]
requirements = [] if "--extras-only" in args else list(project["dependencies"])
for extra in (a for a in args if a != "--extras-only"):
    requirements += project["optional-dependencies"][extra]
print("\n".join(requirements))
