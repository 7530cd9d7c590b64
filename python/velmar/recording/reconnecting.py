"""When a source that dropped out is tried again, and an outage while it
lasts: shared by the engine's live sources and by copies, without OpenCV."""

from __future__ import annotations

import time
from dataclasses import dataclass
from datetime import datetime, timedelta

from velmar.recording.background import POLL
from velmar.recording.outages import Outage

SOURCE_LOST = "source_lost"

QUICK_SPACING = 0.25  # seconds between attempts: a source that is back is found at once
QUICK_PERIOD = 300.0  # seconds of an outage through which attempts keep that pace
LONGEST_SPACING = 5.0


def spacing(age: float, last: float | None) -> float:
    """Seconds from the start of an attempt made `age` seconds into an outage
    to the next one's, `last` the one before: a quarter second through the
    first five minutes (an attempt on a source that is not there costs a
    refused connection), then twice the last, up to 5 s."""
    if age < QUICK_PERIOD or last is None:
        return QUICK_SPACING
    return min(2 * last, LONGEST_SPACING)


@dataclass
class OpenOutage:
    start: datetime
    since: float  # monotonic time of its start
    reason: str
    attempts: int = 0

    def closed(self, back: float) -> Outage:
        """The outage up to the monotonic time `back`, when frames came again."""
        seconds = back - self.since
        return Outage(self.start, self.start + timedelta(seconds=seconds), seconds,
                      self.reason, self.attempts)


def pause_until(stop: list, due: float, deadline: float | None) -> bool:
    """Waits for the monotonic time `due`, answering a signal within POLL;
    False once the outage must end: a signal came, or the `deadline` to give
    up at passed (the stop list then says the source was lost)."""
    while not stop:
        now = time.monotonic()
        if deadline is not None and now >= deadline:
            stop.append(SOURCE_LOST)
            return False
        if now >= due:
            return True
        time.sleep(min(POLL, due - now))
    return False
