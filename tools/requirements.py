"""Print the project's requirements from pyproject.toml, one a line: the run-time
dependencies and those of the extras named on the command line."""

import sys
import tomllib
from pathlib import Path

project = tomllib.loads((Path(__file__).parents[1] / "pyproject.toml").read_text())["project"]
requirements = list(project["dependencies"])
for extra in sys.argv[1:]:
    requirements += project["optional-dependencies"][extra]
print("\n".join(requirements))
