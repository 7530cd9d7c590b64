"""Retention: a recording of weeks deletes its own oldest files, so that it
never fills the disk. Only files it can tell it wrote go: videos that match
the output's name (its strftime fields and numbering) and have a frame log
beside them; each goes with its log and the events files of its name. A
stray file survives, and so do the file being written and the recording's
latest file, however large."""

from __future__ import annotations

import glob
import os
import re
import time
from collections.abc import Callable, Collection
from dataclasses import dataclass
from pathlib import Path

from velmar.recording.segments import FIELD
from velmar.shared.companions import FRAME_LOG_HEADER, header_line

LOG_HEADER = header_line(FRAME_LOG_HEADER)


def _glob_and_pattern(output: str) -> tuple[str, re.Pattern]:
    """A glob of the candidates and the expression they must match: each
    strftime field stands for any text within a name, and a number
    (`_001`) may come before the extension."""
    stem, suffix = os.path.splitext(output)
    pieces = re.split(r"(%%|%[A-Za-z])", stem)
    as_glob, as_expression = [], []
    for piece in pieces:
        if piece == "%%":
            as_glob.append("%")
            as_expression.append("%")
        elif FIELD.fullmatch(piece):
            as_glob.append("*")
            as_expression.append(r"[^/]+?")
        else:
            as_glob.append(glob.escape(piece))
            as_expression.append(re.escape(piece))
    expression = "".join(as_expression) + r"(?:_\d{3,})?" + re.escape(suffix)
    return "".join(as_glob) + "*" + glob.escape(suffix), re.compile(expression)


def recordings_of(output: str) -> list[Path]:
    """The videos of this output that have a velmar log beside them."""
    candidates, expression = _glob_and_pattern(output)
    return [Path(name) for name in glob.glob(candidates)
            if expression.fullmatch(name) and _has_log(name)]


def _has_log(video: str) -> bool:
    try:
        with open(video + ".csv", "rb") as log:
            return log.read(len(LOG_HEADER)) == LOG_HEADER
    except OSError:
        return False


def _files_of(video: Path) -> list[Path]:
    """A video, its log, and the events log, contact sheets and outages log
    of its name."""
    stem = glob.escape(str(video.with_suffix("")))
    besides = [Path(name) for pattern in (".events*", ".outages.csv")
               for name in glob.glob(stem + pattern)]
    return [video, Path(f"{video}.csv"), *besides]


@dataclass
class _Recording:
    video: Path
    files: list[Path]
    size: int
    mtime: float


def _recording(video: Path) -> _Recording | None:
    files = [path for path in _files_of(video) if path.exists()]
    try:
        stats = [path.stat() for path in files]
    except OSError:  # gone meanwhile
        return None
    return _Recording(video, files, sum(s.st_size for s in stats), stats[0].st_mtime)


class Retention:
    """Keeps the recordings of `output` within `keep_for` seconds of age and
    `max_size` bytes in all; `report` is told of each deletion, and `notes`
    say once that the limit cannot hold."""

    def __init__(self, output: str, *, keep_for: float | None, max_size: int | None,
                 report: Callable[[str], None]):
        self.output, self.keep_for, self.max_size, self.report = (
            output, keep_for, max_size, report)
        self.deleted: list[Path] = []
        self.notes: list[str] = []
        self.undeletable: set[Path] = set()  # tried once; not again
        # The files the running recording still needs: its latest video,
        # which never goes, and the files beside its first video that it
        # still writes (its events and outages logs), which stay when that
        # video goes.
        self.held: Callable[[], Collection[str | None]] = lambda: ()

    def _oldest_first(self, writing: Collection[str]) -> list[_Recording]:
        """The finished recordings, held ones included: they count towards
        `max_size`."""
        kept = {os.path.normpath(name) for name in writing}
        found = [_recording(video) for video in recordings_of(self.output)
                 if os.path.normpath(video) not in kept and video not in self.undeletable]
        return sorted((r for r in found if r is not None), key=lambda r: r.mtime)

    def _held(self) -> set[str]:
        return {os.path.normpath(name) for name in self.held() if name is not None}

    def prune(self, writing: Collection[str] = (), now: float | None = None) -> None:
        """After a finished file: the oldest go until both limits hold."""
        now = time.time() if now is None else now
        recordings, held = self._oldest_first(writing), self._held()
        total = sum(r.size for r in recordings)
        for recording in recordings:
            if os.path.normpath(recording.video) in held:
                continue
            too_old = self.keep_for is not None and now - recording.mtime > self.keep_for
            too_large = self.max_size is not None and total > self.max_size
            if not (too_old or too_large):
                break
            if self._delete(recording, "older than the keep_for limit" if too_old
                            else "over the max_size limit"):
                total -= recording.size
        if self.max_size is not None and total > self.max_size and not self.notes:
            self.notes.append(f"this output's recordings take {readable(total)}, more than "
                              f"max_size ({readable(self.max_size)}), but the latest one "
                              f"is never deleted")

    def delete_oldest(self, writing: Collection[str] = ()) -> bool:
        """Makes room on a full disk; False when nothing is left to delete."""
        held = self._held()
        return any(self._delete(recording, "to keep min_free on the disk")
                   for recording in self._oldest_first(writing)
                   if os.path.normpath(recording.video) not in held)

    def _delete(self, recording: _Recording, why: str) -> bool:
        held = self._held()
        try:
            for path in recording.files:
                if os.path.normpath(path) not in held:
                    path.unlink(missing_ok=True)
        except OSError as error:  # a file it may not remove: the recording goes on
            self.undeletable.add(recording.video)
            self.report(f"could not delete {recording.video}: {error.strerror or error}")
            return False
        self.deleted.append(recording.video)
        self.report(f"deleted {recording.video} and its log: {why}")
        self._remove_empty_folders(recording.video.parent)
        return True

    def _remove_empty_folders(self, folder: Path) -> None:
        """Folders of dated names left empty; never the output's own folder."""
        root = Path(os.path.dirname(self.output.split("%", 1)[0]) or ".")
        while folder != root and root in folder.parents:
            try:
                folder.rmdir()
            except OSError:  # not empty
                return
            folder = folder.parent


def readable(count: float) -> str:
    """Bytes as the size options write them: 900, 1.5K, 40.0M, 2.1G."""
    unit = ""
    for larger in ("K", "M", "G"):
        if count < 1024:
            break
        count, unit = count / 1024, larger
    return f"{count:.1f}{unit}" if unit else f"{int(count)}"
