"""A file replaced whole or not at all: the new content goes to a temporary
file beside it, reaches the disk, then takes the file's name."""

from __future__ import annotations

import os
import tempfile
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path


@contextmanager
def replacing(path: Path) -> Iterator[Path]:
    """Yields the temporary file's path, with the same suffix so that
    muxers know its format; it replaces `path` when the block succeeds
    and is removed when it fails."""
    handle, name = tempfile.mkstemp(dir=path.parent, prefix=f".{path.name}.", suffix=path.suffix)
    os.close(handle)
    temporary = Path(name)
    try:
        yield temporary
        os.chmod(temporary, os.stat(path).st_mode & 0o7777)
        _sync(temporary)
        os.replace(temporary, path)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise
    _sync(path.parent)


def replace_bytes(path: Path, data: bytes) -> None:
    with replacing(path) as temporary:
        temporary.write_bytes(data)


def _sync(path: Path) -> None:
    handle = os.open(path, os.O_RDONLY)
    try:
        os.fsync(handle)
    finally:
        os.close(handle)
