"""The work of a batch on the worker side: `record_one()` records one input
and answers with its index row, in any process that has velmar (a local
worker process or a cluster's worker)."""

from __future__ import annotations

import os
import signal
import time
from contextlib import suppress
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from velmar.batch.index import IndexRow
from velmar.shared import stops
from velmar.recording.signals import STOP_SIGNALS


@dataclass(frozen=True)
class Job:
    """One input to record into `output_dir/folder/<input stem><extension>`."""

    input: str
    size: int
    mtime: float
    output_dir: str
    folder: str
    extension: str = ".mp4"
    options: dict[str, Any] = field(default_factory=dict)

    @property
    def output(self) -> str:
        return os.path.join(self.output_dir, self.folder, Path(self.input).stem + self.extension)

    def row(self, **outcome: Any) -> IndexRow:
        return IndexRow(self.input, self.size, self.mtime, **outcome)


# The signal that told this process to stop, noted outside a recording or
# ending one: the recording under way, if any, and every later one end at once.
_stop_signal: int | None = None
# SIGTERM ends a worker process: its pool sends it when it gives up on its
# workers, and they must not outlive it. A recording under way ends in
# order first, then the process, this many seconds later at most.
END_AFTER_SECONDS = 1.0
NOTED_SIGNALS = tuple(s for s in STOP_SIGNALS if s != signal.SIGTERM)


def record_one(job: Job) -> IndexRow | None:
    """Records `job` with one OpenCV thread; every failure goes into the row's
    error. None when a stop signal came before the input was started."""
    if _stop_signal is not None:
        return None
    import cv2

    from velmar import recording
    cv2.setNumThreads(1)  # the batch runs one input per core
    folder = os.path.dirname(job.output)
    os.makedirs(folder, exist_ok=True)
    before, clock = set(os.listdir(folder)), time.monotonic()
    declared = _declared_frames(job.input)

    def progress(report):
        if _stop_signal is not None:  # came after the check above, before record() listened
            os.kill(os.getpid(), _stop_signal)

    try:
        result = recording.record(job.input, job.output, progress=progress, **job.options)
    except Exception as error:
        new = sorted(set(os.listdir(folder)) - before)
        row = job.row(outputs=tuple(_relative(job, os.path.join(folder, n)) for n in new),
                      stop="error", seconds=_seconds(clock),
                      error=_error_text(error))
    else:
        row = _result_row(job, result, declared, _seconds(clock))
    if not row.outputs:
        with suppress(OSError):
            os.rmdir(folder)  # only when empty: a folder exists only with files in it
    if row.stop in stops.UNFINISHED:
        note_signal(stops.REASONS[row.stop].signal)
    if row.stop == "terminate" and hasattr(signal, "setitimer"):
        signal.setitimer(signal.ITIMER_REAL, END_AFTER_SECONDS)  # SIGALRM ends the process
    return row


def _seconds(clock: float) -> float:
    return round(time.monotonic() - clock, 3)  # as the index keeps it


def _declared_frames(path: str) -> int | None:
    """The frame count the file's header declares: a truncated file reads
    fewer, where its packets alone would not tell."""
    import cv2
    capture = cv2.VideoCapture(path)
    try:
        count = int(capture.get(cv2.CAP_PROP_FRAME_COUNT)) if capture.isOpened() else 0
    finally:
        capture.release()
    return count if count > 0 else None


def _result_row(job: Job, result, declared, seconds: float) -> IndexRow:
    besides = [result.events_log, *result.contact_sheets]
    outputs = (*(_relative(job, path) for f in result.files for path in (f.video, f.log)),
               *(_relative(job, path) for path in besides if path is not None))
    events = getattr(result, "events", None)
    return job.row(outputs=outputs, frames_read=result.frames_read,
                   frames_kept=result.frames_kept,
                   events=None if events is None else len(events), stop=result.stop,
                   seconds=seconds, error=_failure(result, declared))


def _failure(result, count) -> str:
    """What makes a finished recording a failed input."""
    if result.stop in stops.UNFINISHED:
        return ""
    if result.stop == "region":
        return "the region is larger than the frames; nothing recorded"
    if result.stop == "disk_full":
        return result.problem
    if result.frames_read == 0:
        return "no frame could be read"
    if result.stop == "end" and count is not None and result.frames_read < count:
        return (f"the input ended after {result.frames_read} of its {count} frames "
                f"(truncated or damaged)")
    return ""


def _error_text(error: Exception) -> str:
    """The reason an input failed, in the index's words where it has them."""
    from velmar.recording import SourceError
    if isinstance(error, SourceError):
        return "not a video"
    return f"{type(error).__name__}: {error}"


def _relative(job: Job, path) -> str:
    return Path(os.path.relpath(path, job.output_dir)).as_posix()


def note_signal(signum: int, _frame=None) -> None:
    """Ends the recording under way, if any, and every later one in this process."""
    global _stop_signal
    _stop_signal = signum
