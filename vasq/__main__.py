"""``python -m vasq``: the command line (see ``python -m vasq --help``)."""

import sys

from vasq.cli import main

if __name__ == "__main__":
    sys.exit(main())
