"""Events held to the frames on disk: a full disk cuts the last video back
to its last whole fragment, after the events that reached into the lost
frames were logged. Each such event keeps the frames its videos still hold,
and one that has none goes, so that no event names a frame no video holds."""

from __future__ import annotations

import csv
import dataclasses
from collections.abc import Iterable
from datetime import datetime
from pathlib import Path

from velmar.recording.events import Event


def held_events(events: list[Event], logs: Iterable[Path]) -> list[Event]:
    """`events` as the frame `logs` of the recording's videos, newest
    first, hold them; the logs are read back only as far as needed."""
    rows: dict[int, str] = {}
    last_held = None
    for log in logs:
        read = logged_rows(log)
        rows.update(read)
        if last_held is None and read:
            last_held = max(read)
        reaching = [e.first_frame for e in events if last_held is None or e.last_frame > last_held]
        if not reaching or (read and min(read) <= min(reaching)):
            break
    if last_held is None:
        return []
    held = (_held(event, rows) if event.last_frame > last_held else event for event in events)
    return [event for event in held if event is not None]


def _held(event: Event, rows: dict[int, str]) -> Event | None:
    kept = sorted(frame for frame in rows if event.first_frame <= frame <= event.last_frame)
    if not kept:
        return None
    start = (event.start if kept[0] == event.first_frame
             else datetime.fromisoformat(rows[kept[0]]))
    end = datetime.fromisoformat(rows[kept[-1]])
    return dataclasses.replace(event, first_frame=kept[0], last_frame=kept[-1], start=start,
                               end=end, seconds=(end - start).total_seconds(),
                               frames=len(kept))


def logged_rows(log: Path) -> dict[int, str]:
    """A frame log's rows: the time of each source frame it holds."""
    rows = {}
    try:
        with open(log, newline="", encoding="utf-8") as file:
            for row in csv.reader(file):
                if len(row) == 3 and row[0].isdigit():
                    rows[int(row[0])] = row[2]
    except OSError:  # deleted by retention, or never written
        pass
    return rows
