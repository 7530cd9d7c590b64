"""FFmpeg kept quiet while damaged files are read: a file cut off mid-frame
is what is being checked, not news for the console."""

from __future__ import annotations

from collections.abc import Iterator
from contextlib import contextmanager


@contextmanager
def quiet_ffmpeg() -> Iterator[None]:
    import av.logging
    level = av.logging.get_level()
    av.logging.set_level(None)
    try:
        yield
    finally:
        av.logging.set_level(level)
