"""The events of a motion-based recording: `NAME.events.csv` beside the first
video, one row per event written as the event ends, the contact sheet, and,
for those told of each event (an event command, the live view), a thumbnail
of each beside the log (`NAME.events.001.jpg`)."""

from __future__ import annotations

import csv
import os
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from datetime import datetime
from pathlib import Path
from typing import TYPE_CHECKING


from velmar.recording.outputs import free_name
from velmar.shared.companions import EVENTS_HEADER, EVENTS_SUFFIX

if TYPE_CHECKING:
    from velmar._engine import EndedEvent


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
    thumbnail: Path | None = None  # NAME.events.NNN.jpg, for those told of each event


class EventLog:
    """Told of each event by the engine as it ends; has `seal()` put the
    event's frames into its video, writes its row at once, then tells
    `listeners`; with `thumbnails`, the event's picture goes beside the log
    first."""

    def __init__(self, contact_sheet: bool, listeners: Sequence[Callable[[Event], None]] = (),
                 thumbnails: bool = False, seal: Callable[[], None] = lambda: None):
        self.listeners, self.thumbnails, self.seal = tuple(listeners), thumbnails, seal
        self.events: list[Event] = []
        self.path: str | None = None
        self.file = None
        self.writer = None
        self.sheet = None  # the contact sheet, once an event comes
        self.wants_sheet = contact_sheet

    def __call__(self, ended: EndedEvent) -> None:
        self.seal()  # a row names only frames that are in its video
        if self.file is None:
            self._open(os.path.splitext(ended.video)[0])
        number = len(self.events) + 1
        event = Event(number, ended.first_frame, ended.last_frame,
                      datetime.fromisoformat(ended.start), datetime.fromisoformat(ended.end),
                      ended.seconds, ended.frames, Path(ended.video),
                      self._thumbnail(number, ended.thumbnail) if self.thumbnails else None)
        self.writer.writerow([event.event, ended.first_frame, ended.last_frame, ended.start,
                              ended.end, f"{ended.seconds:.6f}", ended.frames,
                              os.path.basename(ended.video)])
        self.events.append(event)
        if self.sheet is not None:
            self.sheet.add(ended.thumbnail, event)
        for listener in self.listeners:
            listener(event)

    def hold(self, events: list[Event]) -> None:
        """The log rewritten with `events`, the frames its videos still
        hold after a full disk cut the last one back."""
        if events == self.events or self.file is None:
            return
        kept = {event.event for event in events}
        for gone in self.events:
            if gone.event not in kept and gone.thumbnail is not None:
                gone.thumbnail.unlink(missing_ok=True)
        self.events = events
        self.file.seek(0)
        self.file.truncate()
        self.writer.writerow(EVENTS_HEADER)
        for event in events:
            self.writer.writerow([event.event, event.first_frame, event.last_frame,
                                  _time(event.start), _time(event.end), f"{event.seconds:.6f}",
                                  event.frames, event.video.name])

    def _thumbnail(self, number: int, image) -> Path | None:
        """The event's picture, small; None when it cannot be written (the
        event itself is logged all the same)."""
        import cv2  # pictures only once an event has one: a copy without events loads none

        from velmar.recording.contact_sheet import THUMB_WIDTH
        name = f"{os.path.splitext(self.path)[0]}.{number:03d}.jpg"
        height = max(1, round(image.shape[0] * THUMB_WIDTH / image.shape[1]))
        small = cv2.resize(image, (THUMB_WIDTH, height), interpolation=cv2.INTER_AREA)
        try:
            return Path(name) if cv2.imwrite(name, small) else None
        except cv2.error:
            return None

    def _open(self, stem: str) -> None:
        self.path = free_name(stem, EVENTS_SUFFIX)
        # Its video column holds a name, which may be any the file system takes.
        self.file = open(self.path, "w", newline="", encoding="utf-8",
                         errors="surrogateescape")
        self.file.reconfigure(line_buffering=True)  # a row reaches the OS once written
        self.writer = csv.writer(self.file)
        self.writer.writerow(EVENTS_HEADER)
        if self.wants_sheet:
            from velmar.recording.contact_sheet import ContactSheet
            self.sheet = ContactSheet(stem)

    def close(self) -> list[str]:
        """Closes the log and writes the last sheet; the sheets' names."""
        if self.file is None:
            return []
        self.file.close()
        return self.sheet.close() if self.sheet is not None else []


def _time(moment: datetime) -> str:
    return moment.isoformat(timespec="microseconds")
