"""A camera's stored recordings as the live view serves them: the list of
its videos and events, each file named by an address of its own, the file
an address names, and a video's frame times from its log, by which a
browser finds the moment it is asked to play.

An address names a file by its place under the output's folder, and the
file is found by comparing that name with those of the files the output's
pattern names: no text of an address is ever joined to a path, so no
address reaches any other file."""

from __future__ import annotations

import os
from datetime import datetime
from pathlib import Path
from typing import Any
from urllib.parse import quote

from velmar.export.catalogue import StoredEvent, StoredVideo, stored_events, stored_videos
from velmar.export.frame_logs import local, read_rows
from velmar.recording.outputs import output_folder

STEADY = 0.002  # the share by which a video's average rate may miss its frames' own


def moment(text: str | None, name: str) -> datetime | None:
    """A query's ISO time (a final Z meaning UTC), None when not given;
    ValueError, with a line that says which, when it does not read."""
    if text is None:
        return None
    try:
        return datetime.fromisoformat(text[:-1] + "+00:00" if text.endswith("Z") else text)
    except ValueError:
        raise ValueError(f"{name}: not an ISO time: {text[:40]!r}") from None


def shown(time: datetime) -> str:
    """A log's time with the local offset: a browser elsewhere places it right."""
    return time.astimezone().isoformat(timespec="milliseconds")


def file_name(path: Path, output: str) -> str:
    """A stored file's name under the output's folder, with '/' between folders."""
    return Path(os.path.relpath(path, output_folder(output))).as_posix()


def address(camera: str, kind: str, path: Path, output: str) -> str:
    return f"/camera/{quote(camera)}/{kind}/{quote(file_name(path, output))}"


def listing(camera: str, output: str, after: datetime | None,
            before: datetime | None) -> dict[str, Any]:
    """recordings.json: the videos and events between `after` and `before`, newest first."""
    return {"camera": camera,
            "recordings": [_video(camera, video, output)
                           for video in stored_videos(output, after, before)],
            "events": [_event(camera, event, output)
                       for event in stored_events(output, after, before)]}


def _video(camera: str, video: StoredVideo, output: str) -> dict[str, Any]:
    return {"video": address(camera, "video", video.path, output), "first": shown(video.first),
            "last": shown(video.last), "frames": video.frames, "bytes": video.bytes,
            "times": address(camera, "times", video.path, output)}


def _event(camera: str, event: StoredEvent, output: str) -> dict[str, Any]:
    return {"event": event.number, "start": shown(event.start), "end": shown(event.end),
            "seconds": event.seconds, "video": address(camera, "video", event.video, output),
            "thumbnail": (None if event.thumbnail is None else
                          address(camera, "thumbnail", event.thumbnail, output))}


def stored_video(output: str, name: str) -> Path | None:
    """The stored video of this name, if the output's pattern names one."""
    return next((video.path for video in stored_videos(output)
                 if file_name(video.path, output) == name), None)


def stored_thumbnail(output: str, name: str) -> Path | None:
    """The picture of a stored event of this name, if there is one."""
    return next((event.thumbnail for event in stored_events(output)
                 if event.thumbnail is not None
                 and file_name(event.thumbnail, output) == name), None)


def frame_times(output: str, name: str) -> dict[str, Any] | None:
    """The times of a stored video's frames, in milliseconds from its first,
    a frame each in the video's order, and its steady rate; None without
    such a video or log."""
    video = stored_video(output, name)
    try:
        rows = [] if video is None else read_rows(video)
        rate = steady_rate(video) if rows else None
    except (OSError, ValueError, IndexError):  # deleted by retention meanwhile, or no video
        return None
    if not rows:
        return None
    first = local(rows[0].time)
    return {"rate": rate,
            "times": [round((local(row.time) - first).total_seconds() * 1000) for row in rows]}


def steady_rate(video: Path) -> float | None:
    """Frames a second of a video whose frames come at one rate, without gaps
    (every encoded one, and a copy of a steady stream): its frame N is at N
    / rate from its first. None for any other: its frames are where their
    times are."""
    import av  # once a video is played: the live view loads no FFmpeg before
    with av.open(str(video)) as container:
        stream = container.streams.video[0]
        steady, average = stream.base_rate, stream.average_rate
    if not steady or not average or abs(steady - average) > steady * STEADY:
        return None
    return float(steady)
