"""Files the toolkit writes: a new file replaces the old one whole or not at all."""

from __future__ import annotations

import contextlib
import os
import tempfile
from collections.abc import Iterator
from pathlib import Path
from typing import IO, Any

# Read once: os.umask can only be read by setting it, which is not safe beside other threads.
_UMASK = os.umask(0o022)
os.umask(_UMASK)


@contextlib.contextmanager
def atomic_open(
    path: str | Path, *, binary: bool = False, newline: str | None = None
) -> Iterator[IO[Any]]:
    """Open a file that replaces `path` only once everything has been written.

    The text goes to a temporary file in the same folder, which is flushed, synced to
    disk and renamed over `path` when the block ends without an exception. On any
    failure (an exception in the block, a full disk, a file-size limit, a rename that is
    refused) the temporary file is removed and `path` keeps its old content.

    Parameters
    ----------
    path : str or pathlib.Path
        The file to write. Its folder must exist.
    binary : bool, default=False
        Open for bytes rather than text.
    newline : str, optional
        As for :func:`open`, for text.

    Yields
    ------
    file object
        The temporary file, open for writing bytes or text as UTF-8.
    """
    # Through a symbolic link the file it names is replaced, and the link stays.
    target = Path(os.path.realpath(path))
    fd, temporary = tempfile.mkstemp(
        dir=target.parent, prefix=f".{target.name}.", suffix=".tmp"
    )
    try:
        text: dict[str, Any] = {} if binary else {"encoding": "utf-8", "newline": newline}
        with os.fdopen(fd, "wb" if binary else "w", **text) as file:
            yield file
            file.flush()
            os.fsync(file.fileno())
        # mkstemp creates the file for its owner only; a written file gets the usual mode.
        os.chmod(temporary, 0o666 & ~_UMASK)
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise
