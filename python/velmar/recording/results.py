"""What a recording gives back, what its progress reports carry, and what
an observer of it is told as it goes."""

from __future__ import annotations

from dataclasses import dataclass, field
from datetime import datetime
from pathlib import Path
from typing import Any, Protocol


@dataclass(frozen=True)
class OutputFile:
    """One video and its frame log; `frames` is both its frames and its log's rows."""

    video: Path
    log: Path
    frames: int
    size: tuple[int, int] | None = None  # (width, height) as written


@dataclass(frozen=True)
class Progress:
    """A progress report: counts so far, the input's frame count (None when
    unknown, as for live sources), seconds since the start and seconds of input."""

    frames_read: int
    frames_kept: int
    frame_count: int | None
    elapsed: float
    position: float
    reconnecting: int = 0  # the attempt under way while a live source is away; else 0
    outages: int = 0  # outages of a live source so far


@dataclass(frozen=True)
class Recording:
    """The result of `velmar.record()`.

    `stop` says why the recording ended: "end" (input ended), "duration",
    "key" (q or Esc in the preview), "interrupt" (SIGINT), "terminate"
    (SIGTERM or SIGHUP), "disk_full" (below `min_free`, or no space left:
    `problem` names the folder or the file), "source_lost" (a live source
    stayed away for `give_up` seconds, or stalled without `reconnect`) or
    "region" (the frames are smaller than the region).
    """

    frames_read: int
    frames_kept: int
    files: list[OutputFile]
    stop: str
    started: datetime
    elapsed: float
    rate: float | None = None  # frames per second the videos were written at
    notes: list[str] = field(default_factory=list)  # e.g. a size the codec changed
    events: list = field(default_factory=list)  # velmar.Event, motion-based recordings only
    events_log: Path | None = None
    contact_sheets: list[Path] = field(default_factory=list)
    problem: str | None = None  # what ended a "disk_full" recording, in words
    deleted: list[Path] = field(default_factory=list)  # old recordings retention deleted
    outages: list = field(default_factory=list)  # velmar.Outage, live sources only
    outages_log: Path | None = None
    codec: str | None = None  # that wrote the videos: "copy" for the source's own stream


class SourceError(OSError):
    """The source could not be opened."""


class Observer(Protocol):
    """Told of a recording as it goes, on its thread: each method must return at once.
    A copy decodes only a keyframe now and then for it; an observer with a
    `picture(frame)` method is given that PyAV frame, else `frame()` a NumPy image.
    An observer whose `pictures` is False is shown no frame at all."""

    def frame(self, image: Any) -> None:
        """A kept frame, once written (a NumPy array the recording may reuse)."""

    def event(self, event: Any) -> None:
        """A `velmar.Event`, as it ends."""
