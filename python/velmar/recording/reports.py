"""Progress reports of a recording: from the engine, at most about ten a
second while frames come, and from a live source at each attempt to open it
again, while the engine waits."""

from __future__ import annotations

import time
from collections.abc import Callable

from velmar.recording.results import Progress


class Reports:
    def __init__(self, progress: Callable[[Progress], None], clock: float,
                 frame_count: int | None, outages: Callable[[], int]):
        self.progress, self.clock, self.frame_count = progress, clock, frame_count
        self.outages = outages  # how many have ended so far
        self.counts = (0, 0, None, 0.0)  # read, kept, the engine's frame count, position

    def engine(self, read: int, kept: int, count: int, position: float) -> None:
        """The engine's hook."""
        self.counts = (read, kept, count, position)
        self._report(0)

    def attempt(self, number: int) -> None:
        """A live source's: attempt `number` of the current outage."""
        self._report(number)

    def last(self, read: int, kept: int, count: int, position: float, elapsed: float) -> None:
        """The one at the end, with the result's counts and time."""
        self.counts = (read, kept, count, position)
        self._report(0, elapsed)

    def _report(self, reconnecting: int, elapsed: float | None = None) -> None:
        read, kept, count, position = self.counts
        elapsed = time.monotonic() - self.clock if elapsed is None else elapsed
        self.progress(Progress(read, kept, frame_count(self.frame_count, count), elapsed,
                               position, reconnecting, self.outages()))


def frame_count(probed: int | None, reported: int | None) -> int | None:
    """The file's own count, else OpenCV's where it knows one."""
    return probed or (reported if reported is not None and reported > 0 else None)
