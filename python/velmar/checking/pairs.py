"""A video and its log as found, and what disagrees between them, a phrase each."""

from __future__ import annotations

from dataclasses import dataclass

from velmar.checking.finding import Pair
from velmar.checking.logs import FrameLog, read_log
from velmar.shared.videos import VideoFrames, read_frames

HEADER_PROBLEMS = {"empty": "the log is empty", "cut": "the log is cut off in its header",
                   "missing": "the log has no header"}


@dataclass(frozen=True)
class Found:
    """`log` and `video` are None where the file is missing."""

    pair: Pair
    log: FrameLog | None
    video: VideoFrames | None

    @property
    def rows(self) -> int:
        return 0 if self.log is None else len(self.log.rows)

    @property
    def frames(self) -> int:
        return 0 if self.video is None else self.video.frames

    @property
    def agrees(self) -> bool:
        return not self.problems()

    def logged(self) -> set[int] | None:
        """The input frames logged and in the video; None where either is missing
        or the video does not open."""
        if self.log is None or self.video is None or not self.video.opens:
            return None
        return self.log.inframes(self.video.frames)

    def problems(self) -> list[str]:
        if self.video is None or self.log is None:
            return ["its video is missing" if self.video is None else "its log is missing"]
        if not self.video.opens:
            return ["the video does not open"]
        return _log_problems(self.log) + _count_problems(self.rows, self.frames)


def find(pair: Pair) -> Found:
    log = read_log(pair.log) if pair.log.exists() else None
    video = read_frames(pair.video) if pair.video.exists() else None
    return Found(pair, log, video)


def _log_problems(log: FrameLog) -> list[str]:
    found = [HEADER_PROBLEMS[log.header]] if log.header in HEADER_PROBLEMS else []
    if log.unreadable is not None:
        found.append(f"line {log.unreadable} of the log is not a frame row")
    if log.out_of_order is not None:
        found.append(f"rows out of order from line {log.out_of_order}")
    if log.cut_row:
        found.append("the last row is cut off")
    return found


def _count_problems(rows: int, frames: int) -> list[str]:
    counts = f"({counted(rows, 'row')}, {counted(frames, 'frame')})"
    if rows > frames:
        return [f"{lost_rows(rows - frames)} not in the video {counts}"]
    if rows < frames:
        return [f"{counted(frames - rows, 'frame')} past the last row {counts}"]
    return []


def counted(number: int, noun: str) -> str:
    return f"{number} {noun}{'' if number == 1 else 's'}"


def lost_rows(number: int) -> str:
    """`12 rows of frames`, `1 row of a frame`."""
    return f"{number} row of a frame" if number == 1 else f"{number} rows of frames"
