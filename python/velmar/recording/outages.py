"""The outages of a live source: `NAME.outages.csv` beside the first video,
in the frame log's conventions, one row per outage written as it ends, and
one for an outage still open when the recording ends. An outage runs from
the last frame before it to when frames came again."""

from __future__ import annotations

import csv
import os
from collections.abc import Callable
from dataclasses import dataclass
from datetime import datetime
from pathlib import Path

from velmar.recording.outputs import free_name
from velmar.shared.companions import OUTAGES_HEADER, OUTAGES_SUFFIX

# Why an outage began.
ENDED, STALLED, NOT_OPENED = "ended", "stalled", "not_opened"


@dataclass(frozen=True)
class Outage:
    """A time without frames: from the last frame before it (or the start of
    the recording) to when frames came again (or the end of the recording),
    `seconds` long by the monotonic clock; `reason` is "ended" (the source's
    read failed or ended), "stalled" (no frame within the stall timeout) or
    "not_opened" (it did not open at the start); `attempts` the openings
    tried during it."""

    start: datetime
    end: datetime
    seconds: float
    reason: str
    attempts: int


class OutageLog:
    """`beside()` names the first video, or the one it would be, once the
    first outage ends."""

    def __init__(self, beside: Callable[[], str], utc_offset: bool):
        self.beside, self.utc_offset = beside, utc_offset
        self.outages: list[Outage] = []
        self.path: str | None = None
        self.file = None
        self.writer = None

    def add(self, outage: Outage) -> None:
        if self.file is None:
            self._open()
        self.writer.writerow([self._text(outage.start), self._text(outage.end),
                              f"{outage.seconds:.6f}", outage.reason, outage.attempts])
        os.fsync(self.file.fileno())  # rare and precious: on the disk at once
        self.outages.append(outage)

    def _text(self, moment: datetime) -> str:
        moment = moment.astimezone() if self.utc_offset else moment
        return moment.isoformat(timespec="microseconds")

    def _open(self) -> None:
        self.path = free_name(os.path.splitext(self.beside())[0], OUTAGES_SUFFIX)
        self.file = open(self.path, "w", newline="", encoding="ascii")
        self.file.reconfigure(line_buffering=True)  # a row reaches the OS once written
        self.writer = csv.writer(self.file)
        self.writer.writerow(OUTAGES_HEADER)

    def close(self) -> Path | None:
        if self.file is not None:
            self.file.close()
            self.file = None
        return None if self.path is None else Path(self.path)
