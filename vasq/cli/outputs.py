"""Files a command writes: checked against its inputs and each other first, then written whole."""

from __future__ import annotations

import contextlib
import os
from collections.abc import Iterator, Mapping, Sequence
from pathlib import Path
from typing import IO, Any

from vasq._files import atomic_open
from vasq.cli.table import STDIO


def check_outputs(inputs: Sequence[str | Path], outputs: Mapping[str, str | Path | None]) -> None:
    """Refuse, before any work, an output that cannot be written or that names another file.

    Parameters
    ----------
    inputs : sequence of path
        The files read; ``-`` (standard input) is no file.
    outputs : mapping of option name to path or None
        The files to write, by the option that names them; None is not asked for, ``-``
        is standard output.

    Raises
    ------
    ValueError
        When an output's folder is missing or not writable, the output is a folder, it is
        the same file as an input or as another output (compared by resolved path and,
        for files that exist, by device and inode, so that ``./``, symbolic and hard links
        are seen through), or two outputs are standard output.
    """
    given = {option: str(path) for option, path in outputs.items() if path is not None}
    for path in given.values():
        _check_writable(path)
    streamed = [option for option, path in given.items() if path == STDIO]
    if len(streamed) > 1:
        raise ValueError(f"{' and '.join(streamed)} cannot both write standard output (-)")
    files = [(option, path) for option, path in given.items() if path != STDIO]
    for data in (str(path) for path in inputs if str(path) != STDIO):
        for option, path in files:
            if same_file(path, data):
                raise ValueError(f"{option} {path} would overwrite the input {data}")
    for i, (option, path) in enumerate(files):
        for other, other_path in files[i + 1:]:
            if same_file(path, other_path):
                raise ValueError(f"{option} and {other} both name {path}")


def same_file(a: str | Path, b: str | Path) -> bool:
    """Whether two paths name one file: the same resolved path, or the same device and inode."""
    if os.path.realpath(a) == os.path.realpath(b):
        return True
    try:
        return os.path.samefile(a, b)
    except FileNotFoundError:  # a file yet to be written is no other file
        return False


def _check_writable(path: str) -> None:
    if path == STDIO:
        return
    folder = Path(path).parent
    if not folder.is_dir():
        raise ValueError(f"{path}: the folder {folder} does not exist")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise ValueError(f"{path}: the folder {folder} is not writable")
    if Path(path).is_dir():
        raise ValueError(f"{path} is a folder")


@contextlib.contextmanager
def named(path: str | Path) -> Iterator[None]:
    """Give an OSError raised in the block the name of the file being written.

    A failed write names no file, and a refused temporary file names itself, not the
    file the user asked for.
    """
    try:
        yield
    except OSError as error:
        raise OSError(error.errno, error.strerror or str(error), str(path)) from error


@contextlib.contextmanager
def written(path: str | Path, *, binary: bool = False) -> Iterator[IO[Any]]:
    """A file that replaces `path` whole once the block ends, or leaves it as it was.

    Text is written as UTF-8 with line ends as given (``newline=""``), for CSV writers.
    """
    with named(path), atomic_open(path, binary=binary, newline="") as file:
        yield file
