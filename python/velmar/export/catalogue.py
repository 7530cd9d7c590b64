"""The recordings an output has on disk: each video its pattern names that
has a frame log beside it, with its first and last frame's times, and the
events its events logs hold, newest first, within a time range."""

from __future__ import annotations

import csv
import glob
import os
import re
from dataclasses import dataclass
from datetime import datetime
from pathlib import Path

from velmar.export.frame_logs import first_and_last, local
from velmar.recording.retention import recordings_of
from velmar.shared.companions import EVENTS_SUFFIX


@dataclass(frozen=True)
class StoredVideo:
    """`first` and `last` are its first and last frame's times, as its log has them."""

    path: Path
    first: datetime
    last: datetime
    frames: int
    bytes: int


@dataclass(frozen=True)
class StoredEvent:
    number: int
    start: datetime
    end: datetime
    seconds: float
    video: Path
    thumbnail: Path | None


def stored_videos(output: str, after: datetime | None = None,
                  before: datetime | None = None) -> list[StoredVideo]:
    """The videos with a frame of theirs between `after` and `before` (either
    open), newest first; those without a whole row in their log, and those
    gone meanwhile, are left out."""
    found = (_stored(video) for video in recordings_of(output))
    kept = [video for video in found if video is not None
            and overlaps(video.first, video.last, after, before)]
    return sorted(kept, key=lambda video: local(video.first), reverse=True)


def stored_events(output: str, after: datetime | None = None,
                  before: datetime | None = None) -> list[StoredEvent]:
    """The events between `after` and `before` whose video is still on
    disk, newest first."""
    videos = stored_videos(output)
    events = [event for log in _events_logs(videos) for event in _read_events(log, videos)]
    kept = [event for event in events if overlaps(event.start, event.end, after, before)]
    return sorted(kept, key=lambda event: local(event.start), reverse=True)


def overlaps(first: datetime, last: datetime, after: datetime | None,
             before: datetime | None) -> bool:
    return ((after is None or local(last) >= local(after))
            and (before is None or local(first) <= local(before)))


def _stored(video: Path) -> StoredVideo | None:
    try:
        ends = first_and_last(video)
        size = video.stat().st_size
    except OSError:  # deleted by retention meanwhile
        return None
    if ends is None:
        return None
    first, last = ends
    return StoredVideo(video, first.time, last.time, last.outframe + 1, size)


def _events_logs(videos: list[StoredVideo]) -> list[Path]:
    """The events logs beside the videos: `STEM.events.csv`, or numbered
    (`STEM.events_001.csv`) where that name was taken."""
    logs = []
    for video in videos:
        stem = str(video.path.with_suffix(""))
        pattern = re.compile(re.escape(stem) + re.escape(EVENTS_SUFFIX[:-4]) + r"(_\d{3,})?\.csv")
        logs += [Path(name) for name in glob.glob(glob.escape(stem) + ".events*.csv")
                 if pattern.fullmatch(name)]
    return sorted(logs)


def _read_events(log: Path, videos: list[StoredVideo]) -> list[StoredEvent]:
    """Its whole rows; a row cut short by a crash, or of a video no longer
    stored, is left out."""
    try:
        text = log.read_text("utf-8", errors="surrogateescape")
    except OSError:
        return []
    whole = text[:text.rfind("\n") + 1]
    events = []
    for row in csv.DictReader(whole.splitlines()):
        event = _event(row, log, videos)
        if event is not None:
            events.append(event)
    return events


def _event(row: dict, log: Path, videos: list[StoredVideo]) -> StoredEvent | None:
    try:
        number = int(row["event"])
        start, end = datetime.fromisoformat(row["start"]), datetime.fromisoformat(row["end"])
        seconds, name = float(row["seconds"]), row["video"]
    except (KeyError, TypeError, ValueError):
        return None
    video = _video_named(name, log.parent, start, videos)
    if video is None:
        return None
    thumbnail = Path(f"{os.path.splitext(log)[0]}.{number:03d}.jpg")
    return StoredEvent(number, start, end, seconds, video,
                       thumbnail if thumbnail.is_file() else None)


def _video_named(name: str, folder: Path, start: datetime,
                 videos: list[StoredVideo]) -> Path | None:
    """The stored video an events row names by its file name: the one in
    the log's folder, else (an event in a later dated folder) the one of
    that name whose frames cover the event's start."""
    named = [video for video in videos if video.path.name == name]
    for video in named:
        if video.path.parent == folder:
            return video.path
    return next((video.path for video in named
                 if local(video.first) <= local(start) <= local(video.last)), None)
