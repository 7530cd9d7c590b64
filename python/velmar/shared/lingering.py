"""Threads a recording stopped waiting for while they were still inside
FFmpeg: an opening or a read of a stream that does not answer. PyAV's
timeout check takes the GIL from inside FFmpeg, so such a thread must not
outlive the interpreter, or the process crashes as it ends. A command ends
its process at once with its status instead of finalizing Python; any
other caller's interpreter waits, at its exit, for the thread's own
timeout to end it."""

from __future__ import annotations

import atexit
import os
import sys
import threading
import time

_left: list[tuple[threading.Thread, float]] = []  # with the monotonic time it ends by


def leave(thread: threading.Thread, ends_within: float | None) -> None:
    """Note a thread that is left to finish alone within `ends_within`
    seconds (None: no bound of its own)."""
    if not _left:
        atexit.register(_wait_for_left)
    _left.append((thread, time.monotonic() + (ends_within or 0.0)))


def lingering() -> bool:
    return any(thread.is_alive() for thread, _ in _left)


def exit_status(status: int) -> int:
    """`status`, or the process ended here with it, its output flushed,
    while a thread is still inside FFmpeg. Every file of the recording is
    closed by the time a command has its status."""
    if lingering():
        for stream in (sys.stdout, sys.stderr):
            try:
                stream.flush()
            except (OSError, ValueError, AttributeError):  # closed, or none
                pass
        os._exit(status)
    return status


def _wait_for_left() -> None:
    for thread, ends_by in _left:
        thread.join(max(0.0, ends_by - time.monotonic()) + 1.0)
