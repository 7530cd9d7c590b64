"""A live source that comes back: a camera, a device or a stream, read on a
thread of its own so that no read can hang the recording.

A read that fails, ends or stalls is an outage. The engine closes its open
file and asks `reconnect()`, which opens the source again at once, then
every quarter second through the outage's first five minutes and less often
after that, up to every 5 seconds, until it gives a frame, the outage
outlasts `give_up` seconds (stop "source_lost"), or a signal comes. Attempts
are spaced from one's start to the next's: one that took long (an opening
that timed out) is followed at once. A source that does not open at the
start is retried the same way only when `give_up` is set: a wrong address
should fail at once.

An outage runs from the last frame read before it to when frames came
again. An opening hands out its first frame only once FFmpeg has read enough
of the stream to know its format (about 20 frames of a live stream), so the
frames came back that long before it: as long as the quickest opening of the
source took, and never before the opening began.
"""

from __future__ import annotations

import time
from collections.abc import Callable
from dataclasses import dataclass
from datetime import datetime, timedelta
from typing import Any

import cv2

from velmar.recording.background import Background
from velmar.recording.outages import ENDED, NOT_OPENED, STALLED, OutageLog
from velmar.recording.read_ahead import DEPTH, ReadAhead
from velmar.recording.reconnecting import (QUICK_SPACING, SOURCE_LOST, OpenOutage,
                                           pause_until, spacing)

STALL_FRAMES = 3  # a stall is never shorter than three frame intervals


@dataclass(frozen=True)
class Policy:
    reconnect: bool
    give_up: float | None
    stall_timeout: float
    read_ahead: bool


def _release(capture) -> None:
    capture.release()


class LiveSource:
    """What the engine reads from, as from a `cv2.VideoCapture`. `open_capture`
    makes a new capture of the source; `on_attempt(n)` is told of each attempt."""

    def __init__(self, open_capture: Callable[[], Any], policy: Policy, stop: list,
                 outages: OutageLog, on_attempt: Callable[[int], None]):
        self.open_capture, self.policy, self.stop = open_capture, policy, stop
        self.outages, self.on_attempt = outages, on_attempt
        self.settings: list[tuple[int, Any]] = []  # asked of every capture made
        self.reader: ReadAhead | None = None
        self.pending: tuple[bool, Any] | None = None  # the frame that ended an outage
        self.outage: OpenOutage | None = None
        self.last_frame = time.monotonic()  # of the last frame read, or of the start
        self.opening_began: float | None = None  # of the opening whose first frame is due
        self.quickest_opening: float | None = None  # seconds from its start to its first frame
        self.reason = ENDED
        self.opened = False

    @property
    def attempt(self) -> int:
        """The attempt under way in an outage; 0 while frames come."""
        return 0 if self.outage is None else self.outage.attempts

    def open(self) -> LiveSource:
        """The first opening; a source that did not open is retried only
        within `give_up` seconds."""
        began = time.monotonic()
        capture = self._attempt(None)
        if capture is not None:
            self.reader, self.opening_began = self._reader(capture), began
        elif not self.stop and self.policy.reconnect and self.policy.give_up is not None:
            self.outage = self._outage_since_last_frame(NOT_OPENED, attempts=1)
            self.reader = self._ride_out(began + QUICK_SPACING, first_frame=False)
        self.opened = self.reader is not None
        return self

    # What the engine asks of a capture.
    def isOpened(self) -> bool:
        return self.reader is not None and self.reader.isOpened()

    def set(self, prop, value):
        self.settings.append((prop, value))
        return self.reader.set(prop, value) if self.reader is not None else False

    def get(self, prop):
        return self.reader.get(prop) if self.reader is not None else 0.0

    def read(self):
        if self.pending is not None:
            (ok, frame), self.pending = self.pending, None
        elif self.reader is None:
            return False, None
        else:
            ok, frame = self.reader.read()
        if frame is None:
            self.reason = STALLED if self.reader.stalled else ENDED
            if self.reason == STALLED and not self.policy.reconnect and not self.stop:
                self.stop.append(SOURCE_LOST)  # a stall is no end of the input
            return False, None
        now = time.monotonic()
        if self.opening_began is not None:
            self._time_opening(now)
        if self.outage is not None:
            self._end_outage(now - self.quickest_opening)
        self.last_frame = now
        return ok, frame

    def reconnect(self) -> bool:
        """The engine's hook once it closed its file: True when frames come again."""
        if not self.opened or self.stop:
            return False
        if self.outage is None:  # else the start's outage goes on
            self.outage = self._outage_since_last_frame(self.reason)
        self._drop_reader()
        self.reader = self._ride_out(time.monotonic(), first_frame=True)
        return self.reader is not None

    def release(self) -> None:
        """On every way out: an outage still open is logged up to now."""
        if self.outage is not None:
            self._end_outage(time.monotonic())
        self._drop_reader()

    def _ride_out(self, first_attempt: float, first_frame: bool) -> ReadAhead | None:
        """Attempts, the first at the monotonic time `first_attempt`, until the
        source opens (and, after an outage, gives a frame)."""
        deadline = None if self.policy.give_up is None else self.outage.since + self.policy.give_up
        due, last = first_attempt, None
        while pause_until(self.stop, due, deadline):
            began = time.monotonic()
            reader = self._try_once(deadline, first_frame)
            if reader is not None:
                self.opening_began = began
                return reader
            last = spacing(began - self.outage.since, last)
            due = began + last
        return None

    def _try_once(self, deadline: float | None, first_frame: bool) -> ReadAhead | None:
        self.outage.attempts += 1
        self.on_attempt(self.outage.attempts)
        capture = self._attempt(deadline)
        if capture is None:
            return None
        reader = self._reader(capture)
        if first_frame and not self._first_frame_of(reader):
            reader.release()
            return None
        return reader

    def _first_frame_of(self, reader: ReadAhead) -> bool:
        """Reads it into `pending`: False when none comes within the stall timeout."""
        try:
            ok, frame = reader.read()
        except BaseException:  # the capture goes with the reader on this path too
            reader.release()
            raise
        if frame is None:
            return False
        self.pending = (ok, frame)
        return True

    def _attempt(self, deadline: float | None):
        """One opening on its own thread: an open capture, or None."""
        capture = Background(self.open_capture, _release).wait(self.stop, deadline)
        if capture is None:
            return None
        if not capture.isOpened():
            capture.release()
            return None
        for prop, value in self.settings:
            capture.set(prop, value)
        return capture

    def _reader(self, capture) -> ReadAhead:
        fps = capture.get(cv2.CAP_PROP_FPS)
        shortest = STALL_FRAMES / fps if 0 < fps <= 1000 else 0.0
        return ReadAhead(capture, self.stop, DEPTH if self.policy.read_ahead else 1,
                         max(self.policy.stall_timeout, shortest))

    def _outage_since_last_frame(self, reason: str, attempts: int = 0) -> OpenOutage:
        now = time.monotonic()
        start = datetime.now() - timedelta(seconds=now - self.last_frame)
        return OpenOutage(start, self.last_frame, reason, attempts)

    def _time_opening(self, first_frame: float) -> None:
        took, self.opening_began = first_frame - self.opening_began, None
        if self.quickest_opening is None or took < self.quickest_opening:
            self.quickest_opening = took

    def _end_outage(self, back: float) -> None:
        outage, self.outage = self.outage, None
        self.outages.add(outage.closed(back))

    def _drop_reader(self) -> None:
        reader, self.reader = self.reader, None
        if reader is not None:
            reader.release()
