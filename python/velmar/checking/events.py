"""An events log `STEM.events.csv` held against the videos it names: its
rows are kept while each event's frames are in the videos, and the log is
cut back to those rows. Events are written in order as they end, so what
a crash loses of them is their tail; the frame logs tell what was lost, an
event being a run of consecutive input frames, and it is written back."""

from __future__ import annotations

import csv
import io
import re
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from pathlib import Path

from velmar.checking.atomic import replace_bytes
from velmar.checking.logs import Row
from velmar.shared.companions import EVENTS_HEADER, EVENTS_SUFFIX, header_line


@dataclass(frozen=True)
class EventsLog:
    path: Path
    lines: tuple[bytes, ...]           # the header line, then a line per event
    videos: tuple[str | None, ...]     # each event's video
    frames: tuple[tuple[int, int] | None, ...]  # its first and last frame; None if unreadable

    @property
    def has_header(self) -> bool:
        return bool(self.lines) and self.lines[0].rstrip(b"\r\n") == header_line(EVENTS_HEADER)

    def names(self, video: str) -> bool:
        """Whether `video` is one of this log's: named in it, or named as
        its first video, numbered or not, or as another of its numbers."""
        base = re.sub(r"_\d{3,}$", "", self.path.name[:-len(EVENTS_SUFFIX)])
        return video in self.videos or re.fullmatch(
            re.escape(base) + r"(_\d{3,})?\.[^.]+", video) is not None


@dataclass(frozen=True)
class Run:
    """Rows of consecutive input frames, from `video` on: one event, or two
    that met with no frame between them."""

    rows: tuple[Row, ...]
    video: str


def events_logs(folder: Path) -> list[Path]:
    return sorted(folder.glob("*" + EVENTS_SUFFIX))


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


def runs(videos: Iterable[tuple[str, tuple[Row, ...]]]) -> list[Run]:
    """The runs of the rows of `videos` (each a name and the rows of the
    frames in it, in order), an event running on into the next video."""
    found: list[Run] = []
    for video, rows in videos:
        for row in rows:
            if found and row.inframe == found[-1].rows[-1].inframe + 1:
                found[-1] = Run(found[-1].rows + (row,), found[-1].video)
            else:
                found.append(Run((row,), video))
    return found


def rewrite_events(log: EventsLog, kept: int, added: list[Run]) -> None:
    """The header, the first `kept` events, then a row for each run `added`."""
    text = io.StringIO()
    writer = csv.writer(text)
    for number, run in enumerate(added, kept + 1):
        writer.writerow(_event_row(number, run))
    added_lines = text.getvalue().encode("utf-8", "surrogateescape")
    header = header_line(EVENTS_HEADER) + b"\r\n"
    replace_bytes(log.path, header + b"".join(log.lines[1:1 + kept]) + added_lines)


def _event_row(number: int, run: Run) -> list:
    first, last = run.rows[0], run.rows[-1]
    return [number, first.inframe, last.inframe, _time(first), _time(last),
            f"{(last.time - first.time).total_seconds():.6f}", len(run.rows), run.video]


def _time(row: Row) -> str:
    return row.time.isoformat(timespec="microseconds")
