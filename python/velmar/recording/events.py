"""The events of a motion-based recording: `NAME.events.csv` beside the first
video, one row per event written as the event ends, and the contact sheet."""

from __future__ import annotations

import csv
import os
from dataclasses import dataclass
from datetime import datetime
from pathlib import Path

from velmar.recording.contact_sheet import ContactSheet
from velmar.recording.outputs import free_name

HEADER = ("event", "first_frame", "last_frame", "start", "end", "seconds", "frames", "video")


@dataclass(frozen=True)
class Event:
    """One event: motion with its padding, from its first written frame to its last."""

    event: int
    first_frame: int
    last_frame: int
    start: datetime
    end: datetime
    seconds: float
    frames: int
    video: Path


class EventLog:
    """Told of each event by the engine as it ends; writes its row at once."""

    def __init__(self, contact_sheet: bool):
        self.events: list[Event] = []
        self.path: str | None = None
        self.file = None
        self.writer = None
        self.sheet: ContactSheet | None = None
        self.wants_sheet = contact_sheet

    def __call__(self, first, last, start, end, seconds, frames, video, thumbnail):
        if self.file is None:
            self._open(os.path.splitext(video)[0])
        event = Event(len(self.events) + 1, first, last, datetime.fromisoformat(start),
                      datetime.fromisoformat(end), seconds, frames, Path(video))
        self.writer.writerow([event.event, first, last, start, end, f"{seconds:.6f}", frames,
                              os.path.basename(video)])
        self.events.append(event)
        if self.sheet is not None:
            self.sheet.add(thumbnail, event)

    def _open(self, stem: str) -> None:
        self.path = free_name(stem, ".events.csv")
        # Its video column holds a name, which may be any the file system takes.
        self.file = open(self.path, "w", newline="", encoding="utf-8",
                         errors="surrogateescape")
        self.file.reconfigure(write_through=True)  # a row is on disk once written
        self.writer = csv.writer(self.file)
        self.writer.writerow(HEADER)
        if self.wants_sheet:
            self.sheet = ContactSheet(stem)

    def close(self) -> list[str]:
        """Closes the log and writes the last sheet; the sheets' names."""
        if self.file is None:
            return []
        self.file.close()
        return self.sheet.close() if self.sheet is not None else []
