"""A live source that comes back: a camera, a device or a stream, read on a
thread of its own so that no read can hang the recording.

A read that fails, ends or stalls is an outage. The engine closes its open
file and asks `reconnect()`, which opens the source again after waits of 1,
2, 4, ... and at most 30 seconds (the first attempt at once) until it gives
a frame, the outage outlasts `give_up` seconds (stop "source_lost"), or a
signal comes. A source that does not open at the start is retried the same
way only when `give_up` is set: a wrong address should fail at once.
"""

from __future__ import annotations

import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from datetime import datetime, timedelta
from itertools import islice
from typing import Any

import cv2

from velmar.recording.background import POLL, Background
from velmar.recording.outages import ENDED, NOT_OPENED, STALLED, Outage, OutageLog
from velmar.recording.read_ahead import DEPTH, ReadAhead

LONGEST_WAIT = 30.0
STALL_FRAMES = 3  # a stall is never shorter than three frame intervals
SOURCE_LOST = "source_lost"


@dataclass(frozen=True)
class Policy:
    reconnect: bool
    give_up: float | None
    stall_timeout: float
    read_ahead: bool


def waits() -> Iterator[float]:
    """Seconds to wait before each attempt: 0, 1, 2, 4, ..., then 30 each."""
    yield 0.0
    wait = 1.0
    while True:
        yield wait
        wait = min(2 * wait, LONGEST_WAIT)


@dataclass
class OpenOutage:
    start: datetime
    since: float  # monotonic time of its start
    reason: str
    attempts: int = 0

    def closed(self, end: datetime, now: float) -> Outage:
        return Outage(self.start, end, now - self.since, self.reason, self.attempts)


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
        self.reason = ENDED
        self.opened = False

    @property
    def attempt(self) -> int:
        """The attempt under way in an outage; 0 while frames come."""
        return 0 if self.outage is None else self.outage.attempts

    def open(self) -> LiveSource:
        """The first opening; a source that did not open is retried only
        within `give_up` seconds."""
        capture = self._attempt(None)
        if capture is not None:
            self.reader = self._reader(capture)
        elif not self.stop and self.policy.reconnect and self.policy.give_up is not None:
            self.outage = self._outage_since_last_frame(NOT_OPENED, attempts=1)
            self.reader = self._ride_out(islice(waits(), 1, None), first_frame=False)
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
        if self.outage is not None:
            self._end_outage()
        self.last_frame = time.monotonic()
        return ok, frame

    def reconnect(self) -> bool:
        """The engine's hook once it closed its file: True when frames come again."""
        if not self.opened or self.stop:
            return False
        if self.outage is None:  # else the start's outage goes on
            self.outage = self._outage_since_last_frame(self.reason)
        self._drop_reader()
        self.reader = self._ride_out(waits(), first_frame=True)
        return self.reader is not None

    def release(self) -> None:
        """On every way out: an outage still open is logged up to now."""
        if self.outage is not None:
            self._end_outage()
        self._drop_reader()

    def _ride_out(self, schedule: Iterator[float], first_frame: bool) -> ReadAhead | None:
        """Attempts until the source opens (and, after an outage, gives a frame)."""
        deadline = None if self.policy.give_up is None else self.outage.since + self.policy.give_up
        for wait in schedule:
            if not self._pause(wait, deadline):
                return None
            self.outage.attempts += 1
            self.on_attempt(self.outage.attempts)
            capture = self._attempt(deadline)
            if capture is None:
                continue
            reader = self._reader(capture)
            if not first_frame:
                return reader
            try:
                ok, frame = reader.read()
            except BaseException:  # the capture goes with the reader on this path too
                reader.release()
                raise
            if frame is not None:
                self.pending = (ok, frame)
                return reader
            reader.release()
        return None  # the waits never end

    def _pause(self, seconds: float, deadline: float | None) -> bool:
        """Waits, answering a signal within POLL; False once the outage must end."""
        end = time.monotonic() + seconds
        while not self.stop:
            now = time.monotonic()
            if deadline is not None and now >= deadline:
                self.stop.append(SOURCE_LOST)
                return False
            if now >= end:
                return True
            time.sleep(min(POLL, end - now))
        return False

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

    def _end_outage(self) -> None:
        outage, self.outage = self.outage, None
        self.outages.add(outage.closed(datetime.now(), time.monotonic()))

    def _drop_reader(self) -> None:
        reader, self.reader = self.reader, None
        if reader is not None:
            reader.release()
