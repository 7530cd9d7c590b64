"""An events log `STEM.events.csv` held against the videos it names: its
rows are kept while each event's frames are in the videos, and the log is
cut back to those rows. Events are written in order as they end, so what
a crash loses of them is their tail."""

from __future__ import annotations

import csv
import io
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

from velmar.checking.atomic import replace_bytes

SUFFIX = ".events.csv"


@dataclass(frozen=True)
class EventsLog:
    path: Path
    lines: tuple[bytes, ...]           # the header line, then a line per event
    videos: tuple[str | None, ...]     # each event's video
    frames: tuple[tuple[int, int] | None, ...]  # its first and last frame; None if unreadable


def events_logs(folder: Path) -> list[Path]:
    return sorted(folder.glob("*" + SUFFIX))


def read_events(path: Path) -> EventsLog:
    """A last line without its line end is an event the recorder never
    finished writing: it counts, with neither video nor frames."""
    lines = tuple(path.read_bytes().splitlines(keepends=True))
    whole = lines if not lines or lines[-1].endswith(b"\n") else lines[:-1]
    rows = list(csv.reader(io.StringIO(b"".join(whole).decode("utf-8", "replace"))))
    header = rows[0] if rows else []
    events = [_event(header, cells) for cells in rows[1:]] + [(None, None)] * (len(lines) - len(whole))
    return EventsLog(path, lines, tuple(video for video, _ in events),
                     tuple(frames for _, frames in events))


def _event(header: list[str], cells: list[str]) -> tuple[str | None, tuple[int, int] | None]:
    named = dict(zip(header, cells))
    try:
        return named["video"], (int(named["first_frame"]), int(named["last_frame"]))
    except (KeyError, ValueError):  # a row cut short
        return named.get("video"), None


def events_kept(log: EventsLog, logged: Callable[[str], set[int] | None],
                anywhere: set[int]) -> int:
    """How many events, from the first, have their frames in the videos:
    the first frame logged in its video, the last in any video of the
    folder (an event may run on into the next file). `logged(name)` is
    None for a video not checked, whose events are taken as they are."""
    for number, (video, frames) in enumerate(zip(log.videos, log.frames)):
        frames_in = logged(video) if video is not None else set()
        if frames_in is None:
            continue
        if frames is None or frames[0] not in frames_in or frames[1] not in anywhere:
            return number
    return len(log.frames)


def cut_events(log: EventsLog, kept: int) -> None:
    replace_bytes(log.path, b"".join(log.lines[:1 + kept]))
